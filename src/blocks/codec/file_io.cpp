#include "blocks/codec/file_io.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "blocks/codec/block_codec.h"

namespace orvel::codec {

File File::OpenRead(std::string_view path) { return File(platform::ActiveFileSystem().OpenRead(std::string(path))); }

File File::Create(std::string_view path) {
    return File(platform::ActiveFileSystem().OpenWrite(std::string(path), platform::WriteMode::Truncate));
}

ssize_t File::ReadFull(void* buf, size_t len) { return platform::ReadAll(m_fd.get(), buf, len); }

bool File::WriteAll(const void* buf, size_t len) { return platform::WriteAll(m_fd.get(), buf, len); }

bool File::Seek(int64_t offset) {
    return ::lseek(m_fd.get(), static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

int64_t File::Size() const {
    struct stat st {};
    if (!m_fd.valid() || ::fstat(m_fd.get(), &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

bool File::Close() { return m_fd.valid() && m_fd.Close(); }

bool PathExists(std::string_view path) {
    struct stat st {};
    return ::stat(std::string(path).c_str(), &st) == 0;
}

bool IsRegularFile(std::string_view path) {
    struct stat st {};
    return ::stat(std::string(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int64_t FileSizeOf(std::string_view path) { return platform::ActiveFileSystem().Size(std::string(path)); }

bool RemoveFile(std::string_view path) { return platform::ActiveFileSystem().Remove(std::string(path)); }

bool MoveReplace(std::string_view from, std::string_view to) {
    platform::FileSystem& fs = platform::ActiveFileSystem();
    const std::string src(from), dst(to);
    if (fs.Rename(src, dst)) return true;
    // Across file systems a rename cannot work: copy beside `to`, then rename
    // there, so `to` is never left half written.
    platform::UniqueFd in = fs.OpenRead(src);
    if (!in.valid()) return false;
    platform::ScopedFile copy(SiblingPath(dst, TempName()));
    platform::UniqueFd out = fs.OpenWrite(copy.path(), platform::WriteMode::Truncate);
    if (!out.valid() || !platform::AppendAll(out.get(), in.get(), fs) || !out.Close()) return false;
    if (!fs.Rename(copy.path(), dst)) return false;
    copy.Keep();
    fs.Remove(src);
    return true;
}

}  // namespace orvel::codec
