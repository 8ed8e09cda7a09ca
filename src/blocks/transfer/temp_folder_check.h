// The temporary folder of a transfer holds block files and decoded blocks; it
// must be a real place the caller chose, never "/" or the working folder by accident.
#pragma once

#include <string>
#include <string_view>

#include "common/hresult.h"

// Empty when `folder` is an absolute path of an existing folder this process can
// write into; else why it cannot be used.
std::string TempFolderProblem(std::string_view folder);

// S_OK for a usable folder; else logs "Unusable temporary folder '<folder>': <why>"
// and returns E_INVALIDARG. Called before a transfer writes anything.
HRESULT CheckTempFolder(std::string_view folder);
