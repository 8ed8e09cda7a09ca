#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

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

bool UsableFolder(const std::string& folder) {
  return !folder.empty() && CreateFolderTree(folder) == S_OK && ::access(folder.c_str(), W_OK) == 0;
}

}  // namespace

void LogAttachModule() {
  std::string folder = EnvOr("ORVEL_LOG_DIR");
  if (folder.empty()) {
    const std::string moduleFolder = ModuleFolder();
    folder = moduleFolder == "/" ? "/log" : moduleFolder + "/log";
    if (!UsableFolder(folder)) {
      // Installed read-only (e.g. under /usr/lib): keep the log in the user's state folder.
      const std::string fallback = StateFolder();
      if (UsableFolder(fallback)) folder = fallback;
    }
  } else {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    CreateFolderTree(folder);  // its result is not checked: a missing folder only drops lines
  }
  const std::string logName = std::string("sdkrd") + ".log";
  LogSetNames(logName, (folder == "/" ? std::string() : folder) + "/" + logName);

  const std::string level = EnvOr("ORVEL_LOG_LEVEL");
  if (level.size() == 1 && level[0] >= '0' && level[0] <= '9') orvel::logtest::SetThreshold(level[0] - '0');
}
