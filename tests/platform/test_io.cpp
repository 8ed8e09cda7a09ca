// The I/O kit: digests and hex against known values, the write loop under
// short, stalled and interrupted writes, and the copy's fallback.
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <string>

#include "platform/digest.h"
#include "platform/hex.h"
#include "platform/io.h"
#include "support/temp_env.h"

using orvel::testsupport::TempDir;

namespace {

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Writes one byte at a time, is interrupted once, and copies by no other way
// than the buffer; `stallAfter` bytes in, it stops making progress.
class TrickleFileSystem : public platform::FileSystem {
public:
    size_t stallAfter = SIZE_MAX;
    int copyError = EXDEV;
    size_t written = 0;
    bool interrupted = false;

    ssize_t Write(int fd, const void* data, size_t len) override {
        if (!interrupted) {
            interrupted = true;
            errno = EINTR;
            return -1;
        }
        if (written >= stallAfter) return 0;
        ++written;
        return platform::FileSystem::Write(fd, data, len > 0 ? 1 : 0);
    }
    ssize_t CopyRange(int, int, size_t) override {
        errno = copyError;
        return -1;
    }
};

TEST(IoKit, DigestsAndHexMatchKnownValues) {
    EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", platform::Digest::Hex(platform::DigestKind::Sha1, "abc", 3));
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", platform::Digest::Hex(platform::DigestKind::Md5, "abc", 3));
    EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", platform::Digest::Hex(platform::DigestKind::Sha1, "", 0));
    // Fed in pieces, and again after finishing: the digest restarts.
    platform::Digest sha1(platform::DigestKind::Sha1);
    ASSERT_TRUE(sha1.Ok());
    for (int round = 0; round < 2; ++round) {
        EXPECT_TRUE(sha1.Update("a", 1));
        EXPECT_TRUE(sha1.Update("bc", 2));
        EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", sha1.HexDigest());
    }
    uint8_t raw[platform::kMaxDigestSize];
    unsigned len = 0;
    ASSERT_TRUE(sha1.FinishBytes(raw, &len));
    EXPECT_EQ(20u, len);
    EXPECT_EQ("DA39A3EE5E6B4B0D3255BFEF95601890AFD80709", HexEncode(raw, len, true));
    const uint8_t bytes[] = {0x00, 0x0f, 0xa5, 0xff};
    EXPECT_EQ("000fa5ff", HexEncode(bytes, sizeof bytes));
    EXPECT_EQ("", HexEncode(bytes, 0));
    for (int v = 0; v < 16; ++v) EXPECT_EQ(v, HexDigitValue(HexDigit(v, v % 2 == 0)));
}

TEST(IoKit, WriteAndCopyLoopsFinishOrFail) {
    TempDir dir;
    const std::string text = "short writes still write everything";
    TrickleFileSystem fs;
    {
        platform::UniqueFd fd = fs.OpenWrite(dir.File("a"), platform::WriteMode::Exclusive);
        ASSERT_TRUE(fd.valid());
        EXPECT_TRUE(platform::WriteAll(fd.get(), text.data(), text.size(), fs));
        EXPECT_TRUE(fd.Close());
        EXPECT_FALSE(fs.OpenWrite(dir.File("a"), platform::WriteMode::Exclusive).valid());
    }
    EXPECT_EQ(text, Slurp(dir.File("a")));
    EXPECT_EQ(static_cast<int64_t>(text.size()), fs.Size(dir.File("a")));

    // No copy_file_range between these files: the buffer copy appends all.
    {
        platform::UniqueFd in = fs.OpenRead(dir.File("a"));
        platform::UniqueFd out = fs.OpenWrite(dir.File("b"), platform::WriteMode::Truncate);
        fs.written = 0;
        EXPECT_TRUE(platform::AppendAll(out.get(), in.get(), fs));
    }
    EXPECT_EQ(text, Slurp(dir.File("b")));
    // A write that makes no progress and a copy that hits a full disk fail, not spin.
    {
        platform::UniqueFd in = fs.OpenRead(dir.File("a"));
        platform::UniqueFd out = fs.OpenWrite(dir.File("c"), platform::WriteMode::Truncate);
        fs.written = 0;
        fs.stallAfter = 5;
        errno = 0;
        EXPECT_FALSE(platform::AppendAll(out.get(), in.get(), fs));
        EXPECT_EQ(ENOSPC, errno);
        fs.copyError = ENOSPC;
        EXPECT_FALSE(platform::AppendAll(out.get(), in.get(), fs));
    }
    EXPECT_EQ(text.substr(0, 5), Slurp(dir.File("c")));

    // Reads stop at the end; pread leaves the offset alone.
    platform::UniqueFd in = fs.OpenRead(dir.File("a"));
    char buf[64] = {};
    EXPECT_EQ(4, platform::PreadAll(in.get(), buf, 4, 6));
    EXPECT_EQ("writ", std::string(buf, 4));
    EXPECT_EQ(static_cast<ssize_t>(text.size()), platform::ReadAll(in.get(), buf, sizeof buf));
    EXPECT_EQ(0, platform::PreadAll(in.get(), buf, 4, 1000));
    EXPECT_EQ(-1, platform::ReadAll(-1, buf, 4));
}

}  // namespace
