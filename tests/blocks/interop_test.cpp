// Block files against tools nobody here wrote: openssl, xz and 7z.
#include <gtest/gtest.h>

#include <cstring>

#include "blocks/codec/block_codec.h"
#include "test_support.h"

using namespace blocktest;

namespace {

class InteropTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"openssl", "xz", "7z", "dd"}) {
            if (!HaveTool(tool)) GTEST_SKIP() << tool << " is not installed; interoperability not checked";
        }
    }

    std::string F(std::string_view name) const { return dir.File(name); }

    // The key as openssl wants it: the real key bytes in hex, i.e. the
    // server's text with the two digits of every byte exchanged back.
    std::string OpensslKey() const { return BytesToHex(key.bytes.data(), key.bytes.size()); }

    // Decrypts a block file's data section with openssl and cuts the padding.
    Bytes OpensslPayload(const std::string& blockFile) {
        Bytes file = ReadBytes(blockFile);
        EXPECT_GE(file.size(), 64u);
        WriteBytes(F("data.enc"), Bytes(file.begin() + 64, file.end()));
        EXPECT_TRUE(RunShell("openssl enc -d -aes-256-ecb -nopad -K " + OpensslKey() + " -in " + F("data.enc") +
                             " -out " + F("data.dec")));
        Bytes payload = ReadBytes(F("data.dec"));
        EXPECT_LE(file[40], payload.size());
        payload.resize(payload.size() - file[40]);
        return payload;
    }

    Bytes OpensslEncrypt(const Bytes& plain) {
        WriteBytes(F("to.enc"), ZeroPad16(plain));
        EXPECT_TRUE(RunShell("openssl enc -e -aes-256-ecb -nopad -K " + OpensslKey() + " -in " + F("to.enc") +
                             " -out " + F("enc.out")));
        return ReadBytes(F("enc.out"));
    }

    TempDir dir;
    KeyPair key = MakeKey(2024);
};

Bytes Header(uint8_t flags, uint32_t plainSize, const Bytes& block, size_t payloadSize) {
    Bytes h(64, 0);
    std::memcpy(h.data(), "BMF0", 4);
    h[4] = 1;
    h[5] = flags;
    for (int i = 0; i < 4; ++i) h[8 + i] = static_cast<uint8_t>(plainSize >> (8 * i));
    HexToBytes(20, Sha1Hex(block), false, h.data() + 12);
    h[40] = static_cast<uint8_t>((16 - payloadSize % 16) % 16);
    return h;
}

}  // namespace

TEST_F(InteropTest, EncodedCompressedBlockOpensWithOpensslAndXz) {
    Bytes block = TextBytes(600000, 1);
    WriteBytes(F("block"), block);
    ASSERT_EQ(EncodeFile(key.text, "report.txt", 600000, Sha1Hex(block), F("block"), F("enc")), S_OK);
    ASSERT_EQ(ReadBytes(F("enc"))[5], 0x03);
    WriteBytes(F("payload.lzma"), OpensslPayload(F("enc")));
    ASSERT_TRUE(RunShell("xz --format=lzma -d -c " + F("payload.lzma") + " > " + F("xz.out")));
    EXPECT_EQ(ReadBytes(F("xz.out")), block);
}

TEST_F(InteropTest, EncodedPlainBlockOpensWithOpenssl) {
    Bytes block = RandomBytes(1000003, 2);
    WriteBytes(F("block"), block);
    ASSERT_EQ(EncodeFile(key.text, "movie.MKV", 1000003, Sha1Hex(block), F("block"), F("enc")), S_OK);
    ASSERT_EQ(ReadBytes(F("enc"))[5], 0x02);
    EXPECT_EQ(OpensslPayload(F("enc")), block);
}

TEST_F(InteropTest, BlockFileMadeWithXzAndOpensslDecodes) {
    Bytes block = TextBytes(1000001, 3);
    WriteBytes(F("block"), block);
    ASSERT_TRUE(RunShell("xz --format=lzma -2 -c " + F("block") + " > " + F("block.lzma")));
    Bytes stream = ReadBytes(F("block.lzma"));
    Bytes file = Concat(Header(0x03, 1000001, block, stream.size()), OpensslEncrypt(stream));
    WriteBytes(F("in"), file);
    ASSERT_EQ(DecodeFile(F("out"), key.text, F("in")), S_OK);
    EXPECT_EQ(ReadBytes(F("out")), block);

    Bytes plain = RandomBytes(33, 4);
    WriteBytes(F("in2"), Concat(Header(0x02, 33, plain, 33), OpensslEncrypt(plain)));
    ASSERT_EQ(DecodeFile(F("out2"), key.text, F("in2")), S_OK);
    EXPECT_EQ(ReadBytes(F("out2")), plain);
}

TEST_F(InteropTest, LegacyFileWith7zArchiveDecodes) {
    Bytes block = TextBytes(900000, 5);
    ASSERT_TRUE(RunShell("mkdir -p " + F("src/sub") + " && cd " + F("src") + " && true"));
    WriteBytes(F("src/sub/block.bin"), block);
    // The directory entry comes first; the first file entry is the block.
    ASSERT_TRUE(RunShell("cd " + F("src") + " && 7z a -t7z -bd " + F("a.7z") + " sub >/dev/null"));
    Bytes archive = ReadBytes(F("a.7z"));
    WriteBytes(F("legacy"), LegacyFile(key.bytes, archive));
    // Cross-check the cipher text with openssl as well.
    Bytes file = ReadBytes(F("legacy"));
    ASSERT_EQ(Bytes(file.begin() + 47, file.end()), OpensslEncrypt(archive));
    ASSERT_EQ(DecodeFile(F("out"), key.text, F("legacy")), S_OK);
    EXPECT_EQ(ReadBytes(F("out")), block);

    // An archive whose entry is larger than a block is refused.
    WriteBytes(F("huge.bin"), Bytes(kBlockSize + 1, 'z'));
    ASSERT_TRUE(RunShell("cd " + dir.Path() + " && 7z a -t7z -bd " + F("b.7z") + " huge.bin >/dev/null"));
    WriteBytes(F("legacy2"), LegacyFile(key.bytes, ReadBytes(F("b.7z"))));
    EXPECT_EQ(DecodeFile(F("out2"), key.text, F("legacy2")), E_FAIL);
    EXPECT_FALSE(Exists(F("out2")));
}
