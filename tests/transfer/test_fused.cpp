// The codec's in-memory encoder and the single-pass download decoder agree
// byte for byte with the file codec.
#include <gtest/gtest.h>

#include "blocks/codec/block_codec.h"
#include "blocks/transfer/ufa_fused.h"
#include "test_support.h"

using namespace xfertest;

namespace {

const std::string kKey = "a1b2c3d4e5f60718293a4b5c6d7e8f90a1b2c3d4e5f60718293a4b5c6d7e8f90";

TEST(FusedCodec, EncodesExactlyAsTheCodecAndDecodesBack)
{
    TempDir dir;
    for (size_t size : {size_t{0}, size_t{1}, size_t{16}, size_t{100003}, size_t{4194304}}) {
        const std::string plain = RandomBytes(size, static_cast<uint32_t>(size));
        const std::string sha1 = Sha1Hex(plain);
        WriteFileBytes(dir.File("plain"), plain);
        ASSERT_EQ(S_OK, EncodeFile(kKey, "x.mp4", static_cast<int32_t>(size), sha1, dir.File("plain"),
                                   dir.File("codec")));
        std::string encodedSha1;
        ASSERT_EQ(S_OK, EncodeBlockBuffer(reinterpret_cast<const uint8_t*>(plain.data()), plain.size(),
                                          sha1, kKey, dir.File("fused"), &encodedSha1));
        const int64_t encodedSize = EncodedBlockSize(plain.size());
        const std::string codec = ReadFileBytes(dir.File("codec"));
        EXPECT_TRUE(codec == ReadFileBytes(dir.File("fused"))) << size;
        EXPECT_EQ(static_cast<int64_t>(codec.size()), encodedSize);
        EXPECT_EQ(Sha1Hex(codec), encodedSha1);

        ASSERT_EQ(ufa::FusedDecode::Ok, ufa::DecodePlainBlock(dir.File("fused"), kKey, encodedSha1, dir.File("done"),
                                                              static_cast<int32_t>(size), sha1));
        EXPECT_TRUE(plain == ReadFileBytes(dir.File("done"))) << size;
    }
}

TEST(FusedCodec, DecoderOutcomes)
{
    TempDir dir;
    const std::string plain = TextBytes(5000);
    const std::string sha1 = Sha1Hex(plain);
    std::string stored;
    ASSERT_EQ(S_OK, EncodeBlockBuffer(reinterpret_cast<const uint8_t*>(plain.data()), plain.size(), sha1,
                                      kKey, dir.File("enc"), &stored));
    // Upper-case listed SHA-1 is the same SHA-1.
    std::string upper = stored;
    for (auto& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(ufa::FusedDecode::Ok, ufa::DecodePlainBlock(dir.File("enc"), kKey, upper, dir.File("done"), 5000, sha1));
    EXPECT_EQ(ufa::FusedDecode::Dropped,
              ufa::DecodePlainBlock(dir.File("enc"), kKey, std::string(40, '0'), dir.File("d2"), 5000, sha1));
    EXPECT_FALSE(Exists(dir.File("d2")));
    EXPECT_EQ(ufa::FusedDecode::Failed,
              ufa::DecodePlainBlock(dir.File("enc"), std::string(64, '7'), stored, dir.File("d3"), 5000, sha1));
    EXPECT_FALSE(Exists(dir.File("d3")));
    // A size that is not the block's, a compressed block and junk go to the general decoder.
    EXPECT_EQ(ufa::FusedDecode::NotHandled,
              ufa::DecodePlainBlock(dir.File("enc"), kKey, stored, dir.File("d4"), 4999, sha1));
    WriteFileBytes(dir.File("plain"), plain);
    ASSERT_EQ(S_OK, EncodeFile(kKey, "x.txt", 5000, sha1, dir.File("plain"), dir.File("lzma")));
    EXPECT_EQ(ufa::FusedDecode::NotHandled,
              ufa::DecodePlainBlock(dir.File("lzma"), kKey, Sha1Hex(ReadFileBytes(dir.File("lzma"))), dir.File("d5"),
                                    5000, sha1));
    WriteFileBytes(dir.File("junk"), "BMF0");
    EXPECT_EQ(ufa::FusedDecode::NotHandled,
              ufa::DecodePlainBlock(dir.File("junk"), kKey, Sha1Hex("BMF0"), dir.File("d6"), 0, sha1));
    EXPECT_FALSE(Exists(dir.File("d4")) || Exists(dir.File("d5")) || Exists(dir.File("d6")));
}

}  // namespace
