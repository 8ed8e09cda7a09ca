// GUIDs in registry form, from the kernel's random source.
#pragma once

#include <string>

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hex, random (version 4).
std::string NewGuidString();
