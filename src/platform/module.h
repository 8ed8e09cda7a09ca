// Where this code lives on disk (the shared library, or the executable when linked statically).
#pragma once

#include <string>

std::string ModulePath();
// ModulePath() without its file name and without a trailing '/'.
std::string ModuleFolder();
