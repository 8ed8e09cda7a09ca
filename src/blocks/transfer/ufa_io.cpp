#include "blocks/transfer/ufa_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <new>
#include <vector>

#include <openssl/evp.h>

#include "common/exceptions.h"
#include "common/hresult.h"

namespace ufa {

namespace {

constexpr size_t kCopyChunk = 65536;

// Reads until `len` bytes or the end; -1 on an error.
ssize_t ReadFull(int fd, void* buffer, size_t len) {
    size_t got = 0;
    auto* p = static_cast<char*>(buffer);
    while (got < len) {
        ssize_t n = ::read(fd, p + got, len - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

}  // namespace

bool WriteFull(int fd, const void* data, size_t len) {
    const auto* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = ::write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

UniqueFd::~UniqueFd() { Close(); }

bool UniqueFd::Close() {
    if (m_fd < 0) return true;
    int rc = ::close(m_fd);
    m_fd = -1;
    return rc == 0;
}

Sha1::Sha1() : m_ctx(EVP_MD_CTX_new()) {
    if (m_ctx == nullptr || EVP_DigestInit_ex(m_ctx, EVP_sha1(), nullptr) != 1) throw std::bad_alloc();
}

Sha1::~Sha1() { EVP_MD_CTX_free(m_ctx); }

void Sha1::Update(const void* data, size_t len) { EVP_DigestUpdate(m_ctx, data, len); }

std::string Sha1::HexDigest() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(m_ctx, digest, &len);
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(len * 2);
    for (unsigned int i = 0; i < len; ++i) {
        out.push_back(kHex[digest[i] >> 4]);
        out.push_back(kHex[digest[i] & 15]);
    }
    return out;
}

ScopedFile::~ScopedFile() {
    if (!m_path.empty()) RemoveFile(m_path);
}

bool HashFile(const std::string& path, int64_t& size, std::string& sha1) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return false;
    std::vector<char> buffer(kCopyChunk);
    Sha1 hash;
    int64_t total = 0;
    for (;;) {
        ssize_t n = ReadFull(fd.get(), buffer.data(), buffer.size());
        if (n < 0) return false;
        if (n == 0) break;
        hash.Update(buffer.data(), static_cast<size_t>(n));
        total += n;
    }
    size = total;
    sha1 = hash.HexDigest();
    return true;
}

int64_t FileSize(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<int64_t>(st.st_size);
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

void RemoveFile(const std::string& path) { ::unlink(path.c_str()); }

CutResult ReadAndCheckBlock(int fd, int64_t offset, int32_t size, std::string_view expectedSha1,
                            std::vector<uint8_t>& block) {
    block.resize(static_cast<size_t>(size));
    size_t got = 0;
    while (got < block.size()) {
        ssize_t n = ::pread(fd, block.data() + got, block.size() - got, static_cast<off_t>(offset + got));
        if (n < 0) {
            if (errno == EINTR) continue;
            return CutResult::IoError;
        }
        if (n == 0) return CutResult::Changed;  // the file got shorter
        got += static_cast<size_t>(n);
    }
    Sha1 hash;
    hash.Update(block.data(), block.size());
    return hash.HexDigest() == expectedSha1 ? CutResult::Ok : CutResult::Changed;
}

bool AppendFile(int to, int from) {
    for (;;) {
        ssize_t n = ::copy_file_range(from, nullptr, to, nullptr, 1 << 30, 0);
        if (n == 0) return true;
        if (n > 0) continue;
        if (errno == EINTR) continue;
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) return false;
        break;  // not between these files: copy through a buffer
    }
    std::vector<char> buffer(1 << 20);
    for (;;) {
        ssize_t n = ReadFull(from, buffer.data(), buffer.size());
        if (n < 0) return false;
        if (n == 0) return true;
        if (!WriteFull(to, buffer.data(), static_cast<size_t>(n))) return false;
    }
}

FileReader::FileReader(const std::string& path) : m_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (!m_fd.valid()) throw EXCEPT::FileReadError("FileReader::FileReader", "Open path: " + path, E_FAIL);
}

size_t FileReader::Read(void* buffer, size_t len) {
    ssize_t n = ReadFull(m_fd.get(), buffer, len);
    if (n < 0) {
        char detail[64];
        std::snprintf(detail, sizeof detail, "Want to read %d bytes", static_cast<int>(len));
        throw EXCEPT::FileReadError("FileReader::Read", detail, E_FAIL);
    }
    return static_cast<size_t>(n);
}

FileWriter::FileWriter(const std::string& path)
    : m_fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)) {
    if (!m_fd.valid()) throw EXCEPT::FileWriteError("FileWriter::FileWriter", "Create file: " + path, E_FAIL);
}

void FileWriter::Write(const void* data, size_t len) {
    if (!WriteFull(m_fd.get(), data, len)) {
        char detail[64];
        std::snprintf(detail, sizeof detail, "Want to write %d bytes", static_cast<int>(len));
        throw EXCEPT::FileWriteError("FileWriter::Write", detail, E_FAIL);
    }
}

void FileWriter::Close() {
    if (!m_fd.Close()) throw EXCEPT::FileWriteError("FileWriter::Write", "Close", E_FAIL);
}

}  // namespace ufa
