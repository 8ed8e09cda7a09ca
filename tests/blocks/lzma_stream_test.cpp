// The LZMA-alone payload stream: header bytes, round trips, hostile streams.
#include <gtest/gtest.h>

#include "blocks/codec/block_codec.h"
#include "test_support.h"

using namespace blocktest;

namespace {

Bytes Compress(const TempDir& dir, const Bytes& plain) {
    WriteBytes(dir.File("plain"), plain);
    EXPECT_TRUE(LzmaCompressFile(dir.File("plain"), dir.File("lzma")));
    return ReadBytes(dir.File("lzma"));
}

bool Decompress(const TempDir& dir, const Bytes& stream) {
    WriteBytes(dir.File("stream"), stream);
    return LzmaDecompressFile(dir.File("stream"), dir.File("out"));
}

void SetDeclaredSize(Bytes& stream, uint64_t size) {
    for (int i = 0; i < 8; ++i) stream[5 + i] = static_cast<uint8_t>(size >> (8 * i));
}

}  // namespace

TEST(LzmaStream, HeaderDeclaresLevelFiveDefaultsAndKnownSize) {
    TempDir dir;
    Bytes plain = TextBytes(300000, 1);
    Bytes stream = Compress(dir, plain);
    ASSERT_GE(stream.size(), 13u);
    EXPECT_EQ(Bytes(stream.begin(), stream.begin() + 5), (Bytes{0x5D, 0x00, 0x00, 0x00, 0x01}));
    EXPECT_EQ(Bytes(stream.begin() + 5, stream.begin() + 13),
              (Bytes{0xE0, 0x93, 0x04, 0, 0, 0, 0, 0}));  // 300000 little-endian
    EXPECT_LT(stream.size(), plain.size() / 2);
    ASSERT_TRUE(Decompress(dir, stream));
    EXPECT_EQ(ReadBytes(dir.File("out")), plain);
}

TEST(LzmaStream, RoundTripsEdgeSizes) {
    TempDir dir;
    for (size_t n : {size_t{0}, size_t{1}, size_t{65536}, size_t{65537}, size_t{kBlockSize}}) {
        Bytes plain = n == kBlockSize ? Bytes(n, 0x11) : TextBytes(n, 3);
        Bytes stream = Compress(dir, plain);
        ASSERT_TRUE(Decompress(dir, stream)) << n;
        EXPECT_EQ(ReadBytes(dir.File("out")), plain) << n;
    }
}

TEST(LzmaStream, UnknownSizeWithEndMarkerDecodes) {
    TempDir dir;
    Bytes plain = TextBytes(200000, 4);
    Bytes stream = LzmaAloneUnknownSize(plain);
    ASSERT_TRUE(Decompress(dir, stream));
    EXPECT_EQ(ReadBytes(dir.File("out")), plain);
}

TEST(LzmaStream, TruncatedStreamFails) {
    TempDir dir;
    Bytes stream = Compress(dir, TextBytes(500000, 5));
    for (size_t keep :
         {stream.size() - 1, stream.size() - 20, stream.size() / 2, size_t{14}, size_t{13}, size_t{12}, size_t{0}}) {
        EXPECT_FALSE(Decompress(dir, Bytes(stream.begin(), stream.begin() + keep))) << keep;
    }
    Bytes unknown = LzmaAloneUnknownSize(TextBytes(100000, 6));
    EXPECT_FALSE(Decompress(dir, Bytes(unknown.begin(), unknown.end() - 6)));
}

TEST(LzmaStream, DeclaredLengthMustMatchTheData) {
    TempDir dir;
    Bytes plain = TextBytes(100000, 7);
    Bytes stream = Compress(dir, plain);
    Bytes longer = stream;
    SetDeclaredSize(longer, plain.size() + 1);
    EXPECT_FALSE(Decompress(dir, longer));
    Bytes garbled = stream;
    garbled[garbled.size() / 2] ^= 0x55;
    garbled[garbled.size() / 2 + 1] ^= 0xAA;
    if (Decompress(dir, garbled)) {
        EXPECT_NE(ReadBytes(dir.File("out")), plain);  // LZMA has no checksum of its own
    }
}

TEST(LzmaStream, NeverDecodesMoreThanOneBlock) {
    TempDir dir;
    // A claim above 4 MiB is refused before anything is decoded.
    Bytes stream = Compress(dir, TextBytes(1000, 8));
    SetDeclaredSize(stream, kBlockSize + 1ULL);
    EXPECT_FALSE(Decompress(dir, stream));
    SetDeclaredSize(stream, ~0ULL - 1);
    EXPECT_FALSE(Decompress(dir, stream));
    // A stream of unknown size that produces more than 4 MiB is cut off.
    Bytes bomb = LzmaAloneUnknownSize(Bytes(kBlockSize + 1, 0));
    EXPECT_LT(bomb.size(), 4096u);
    EXPECT_FALSE(Decompress(dir, bomb));
    EXPECT_LE(ReadBytes(dir.File("out")).size(), static_cast<size_t>(kBlockSize));
    Bytes exact = LzmaAloneUnknownSize(Bytes(kBlockSize, 0));
    EXPECT_TRUE(Decompress(dir, exact));
}

TEST(LzmaStream, HostileHeadersFail) {
    TempDir dir;
    Bytes stream = Compress(dir, TextBytes(5000, 9));
    Bytes bad = stream;
    bad[0] = 225;  // no valid lc/lp/pb
    EXPECT_FALSE(Decompress(dir, bad));
    bad[0] = 8 + 9 * 4;  // lc 8, lp 4: beyond what the decoder supports
    EXPECT_FALSE(Decompress(dir, bad));
    bad = stream;
    bad[1] = bad[2] = bad[3] = bad[4] = 0xFF;  // 4 GiB window claim costs nothing
    EXPECT_TRUE(Decompress(dir, bad));
    Bytes tiny = Compress(dir, TextBytes(3000, 10));
    tiny[1] = tiny[2] = tiny[3] = tiny[4] = 0;  // a tiny claim is raised to the 4 KiB minimum
    EXPECT_TRUE(Decompress(dir, tiny));
    WriteBytes(dir.File("big"), Bytes(kBlockSize + 1, 0));
    EXPECT_FALSE(LzmaCompressFile(dir.File("big"), dir.File("out")));  // above one block
    EXPECT_FALSE(LzmaDecompressFile(dir.File("missing"), dir.File("out")));
    EXPECT_FALSE(LzmaCompressFile(dir.File("missing"), dir.File("out")));
}

// In memory the stream is byte for byte the file's; a stream that would not
// fit its limit (one that does not shrink the block) is refused; the memory
// decoder reads what the file encoder wrote and refuses a cut stream.
TEST(LzmaStream, MemoryStreamMatchesTheFileStream) {
    TempDir dir;
    const Bytes text = TextBytes(700000, 5);
    const Bytes fromFile = Compress(dir, text);
    std::vector<uint8_t> fromMemory;
    ASSERT_TRUE(LzmaCompressBuffer(text.data(), text.size(), fromMemory, text.size()));
    EXPECT_EQ(fromFile, Bytes(fromMemory.begin(), fromMemory.end()));
    std::vector<uint8_t> back;
    ASSERT_TRUE(LzmaDecompressBuffer(fromFile.data(), fromFile.size(), back));
    EXPECT_EQ(text, Bytes(back.begin(), back.end()));
    EXPECT_FALSE(LzmaDecompressBuffer(fromFile.data(), fromFile.size() / 2, back));

    const Bytes random = RandomBytes(kBlockSize, 6);
    EXPECT_FALSE(LzmaCompressBuffer(random.data(), random.size(), fromMemory, random.size()));
    EXPECT_FALSE(QuickProbeShrinks(random.data(), random.size(), 0.97));
    EXPECT_TRUE(QuickProbeShrinks(text.data(), text.size(), 0.97));
    EXPECT_TRUE(QuickProbeShrinks(text.data(), 2000, 0.97));  // shorter than one sample
    EXPECT_FALSE(QuickProbeShrinks(random.data(), 2000, 0.97));
    // The worst case the download accepts covers a forced compression of it.
    const Bytes forced = Compress(dir, random);
    EXPECT_LE(static_cast<int64_t>(64 + (forced.size() + 15) / 16 * 16), MaxBlockFileSize(kBlockSize));
}
