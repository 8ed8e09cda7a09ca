#include "blocks/transfer/temp_folder_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include "log/log.h"

std::string TempFolderProblem(std::string_view folder) {
    if (folder.empty()) return "no folder given";
    if (folder.front() != '/') return "not an absolute path";
    if (folder.find('\0') != std::string_view::npos) return "not a path";
    const std::string path(folder);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return "does not exist";
    if (!S_ISDIR(st.st_mode)) return "not a folder";
    if (::access(path.c_str(), W_OK | X_OK) != 0) return "not writable";
    return {};
}

HRESULT CheckTempFolder(std::string_view folder) {
    const std::string why = TempFolderProblem(folder);
    if (why.empty()) return S_OK;
    LOGF(5, "Unusable temporary folder '%s': %s", std::string(folder).c_str(), why.c_str());
    return E_INVALIDARG;
}
