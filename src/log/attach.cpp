#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>

#include "log/log.h"
#include "platform/module.h"

namespace {

std::string EnvOr(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? v : "";
}

std::string StateFolder() {
    std::string state = EnvOr("XDG_STATE_HOME");
    if (state.empty()) {
        std::string home = EnvOr("HOME");
        if (home.empty()) {
            if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) home = pw->pw_dir;
        }
        if (home.empty()) return {};
        state = home + "/.local/state";
    }
    return state + "/orvelsdk/log";
}

// True for a library still in the tree it was built in (its log stays there,
// where developers and tests look); false once it is installed elsewhere, and
// for a build that does not say where its tree is.
bool InBuildTree(const std::string& moduleFolder) {
#ifdef ORVEL_BUILD_TREE
    const std::string_view tree = ORVEL_BUILD_TREE;
    return moduleFolder.size() > tree.size() && moduleFolder.compare(0, tree.size(), tree) == 0 &&
           moduleFolder[tree.size()] == '/';
#else
    (void)moduleFolder;
    return false;
#endif
}

bool UsableFolder(const std::string& folder) {
    return !folder.empty() && CreateFolderTree(folder) == S_OK && ::access(folder.c_str(), W_OK) == 0;
}

}  // namespace

void LogAttachModule() {
    std::string folder = EnvOr("ORVEL_LOG_DIR");
    if (folder.empty()) {
        const std::string moduleFolder = ModuleFolder();
        const std::string beside = moduleFolder == "/" ? "/log" : moduleFolder + "/log";
        if (InBuildTree(moduleFolder)) {
            folder = beside;
            if (!UsableFolder(folder)) {
                const std::string fallback = StateFolder();
                if (UsableFolder(fallback)) folder = fallback;
            }
        } else {
            // An installed library never writes into its prefix: the log goes to
            // the user's state folder, and beside the module only when there is none.
            folder = StateFolder();
            if (!UsableFolder(folder)) folder = beside;
        }
    } else {
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        CreateFolderTree(folder);  // its result is not checked: a missing folder only drops lines
    }
    const std::string logName = std::string("sdkrd") + ".log";
    LogSetNames(logName, (folder == "/" ? std::string() : folder) + "/" + logName);

    const std::string level = EnvOr("ORVEL_LOG_LEVEL");
    if (level.size() == 1 && level[0] >= '0' && level[0] <= '9') LogSetThreshold(level[0] - '0');
}
