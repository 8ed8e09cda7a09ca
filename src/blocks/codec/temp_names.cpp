#include "blocks/codec/block_codec.h"
#include "platform/guid.h"

std::string TempName() { return NewGuidString(); }

std::string TempPath(std::string_view folder) {
    std::string path(folder);
    if (!path.empty() && path.back() != '/') path.push_back('/');
    path += TempName();
    return path;
}

std::string SiblingPath(std::string_view path, std::string_view name) {
    size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return std::string(name);  // current folder
    std::string result(path.substr(0, slash + 1));
    result.append(name);
    return result;
}
