#include "platform/module.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>

namespace {
void Anchor() {}
}  // namespace

std::string ModulePath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&Anchor), &info) != 0 && info.dli_fname != nullptr && info.dli_fname[0] == '/') {
        char resolved[PATH_MAX];
        if (realpath(info.dli_fname, resolved) != nullptr) return resolved;
        return info.dli_fname;
    }
    // Statically linked into an executable: dladdr may give a bare name; ask the kernel.
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return {};
    return std::string(buf, static_cast<size_t>(n));
}

std::string ModuleFolder() {
    std::string path = ModulePath();
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}
