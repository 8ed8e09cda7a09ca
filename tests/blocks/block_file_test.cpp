// EncodeFile / DecodeFile: exact header bytes, both formats, hostile files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "blocks/codec/block_codec.h"
#include "log/log.h"
#include "log/log_testing.h"
#include "support/faulty_fs.h"
#include "test_support.h"

using namespace blocktest;

namespace {

Bytes RawSha1(const Bytes& data) {
    std::string hex = Sha1Hex(data);
    Bytes raw(20);
    EXPECT_TRUE(HexToBytes(20, hex, false, raw.data()));
    return raw;
}

uint32_t Le32(const Bytes& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// Sends the log into the test's folder so that its lines can be checked.
class BlockFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogSetNames("sdkrd.log", dir.File("sdkrd.log"));
        orvel::logtest::SetSleepEnabled(false);
    }
    void TearDown() override { orvel::logtest::SetSleepEnabled(true); }

    std::string LogText() const {
        std::string path = orvel::logtest::CurrentFile();
        if (!Exists(path)) return {};
        Bytes b = ReadBytes(path);
        return std::string(b.begin(), b.end());
    }

    HRESULT Encode(const std::string& name, const Bytes& block, const KeyPair& key) {
        WriteBytes(dir.File("block"), block);
        return EncodeFile(key.text, name, static_cast<int32_t>(block.size()), Sha1Hex(block), dir.File("block"),
                          dir.File("encoded"));
    }

    HRESULT Decode(const Bytes& file, const KeyPair& key) {
        WriteBytes(dir.File("in"), file);
        return DecodeFile(dir.File("out"), key.text, dir.File("in"));
    }

    // Only the files the test itself made may remain: no temporaries.
    void ExpectNoTemporaries() {
        for (const auto& name : dir.Entries()) EXPECT_NE(name[0], '{') << name;
    }

    TempDir dir;
    KeyPair key = MakeKey(42);
};

}  // namespace

TEST_F(BlockFileTest, PlainBlockHeaderIsExact) {
    Bytes block = RandomBytes(2000, 1);
    ASSERT_EQ(Encode("clip.mp3", block, key), S_OK);
    Bytes file = ReadBytes(dir.File("encoded"));
    ASSERT_EQ(file.size(), 64u + 2000u);  // 2000 is a multiple of 16: no padding
    EXPECT_EQ(std::memcmp(file.data(), "BMF0", 4), 0);
    EXPECT_EQ(file[4], 1);
    EXPECT_EQ(file[5], 0x02);
    EXPECT_EQ(file[6], 0);
    EXPECT_EQ(file[7], 0);
    EXPECT_EQ(Le32(file, 8), 2000u);
    EXPECT_EQ(Bytes(file.begin() + 12, file.begin() + 32), RawSha1(block));
    EXPECT_EQ(Bytes(file.begin() + 32, file.begin() + 41), Bytes(9, 0));  // hint, padding 0
    EXPECT_EQ(Bytes(file.begin() + 41, file.begin() + 64), Bytes(23, 0));
    EXPECT_EQ(Bytes(file.begin() + 64, file.end()), EcbEncrypt(key.bytes, block));
    ExpectNoTemporaries();

    ASSERT_EQ(Decode(file, key), S_OK);
    EXPECT_EQ(ReadBytes(dir.File("out")), block);
    ExpectNoTemporaries();
}

// Sizes around the writer's internal batches: every byte lands in place, the
// file ends exactly after the padded data, and a longer old file is replaced.
TEST_F(BlockFileTest, LargePlainBlocksAreExactAcrossBatches) {
    for (size_t size : {size_t{262144 - 64}, size_t{262144 + 1}, size_t{kBlockSize} - 5, size_t{kBlockSize}}) {
        Bytes block = RandomBytes(size, static_cast<uint32_t>(size));
        WriteBytes(dir.File("encoded"), RandomBytes(kBlockSize + 4096, 1));
        ASSERT_EQ(Encode("clip.mkv", block, key), S_OK) << size;
        Bytes file = ReadBytes(dir.File("encoded"));
        Bytes padded = ZeroPad16(block);
        ASSERT_EQ(file.size(), 64u + padded.size()) << size;
        EXPECT_EQ(file[5], 0x02);
        EXPECT_EQ(Le32(file, 8), size);
        EXPECT_EQ(file[40], padded.size() - size);
        EXPECT_TRUE(Bytes(file.begin() + 64, file.end()) == EcbEncrypt(key.bytes, padded)) << size;
    }
    ExpectNoTemporaries();
}

TEST_F(BlockFileTest, SeventeenBytePayloadHasPaddingFifteen) {
    Bytes block = RandomBytes(17, 2);
    ASSERT_EQ(Encode("a.txt", block, key), S_OK);  // below 1024: stored plain
    Bytes file = ReadBytes(dir.File("encoded"));
    ASSERT_EQ(file.size(), 64u + 32u);
    EXPECT_EQ(file[5], 0x02);
    EXPECT_EQ(file[40], 15);
    EXPECT_EQ(Bytes(file.begin() + 64, file.end()), EcbEncrypt(key.bytes, ZeroPad16(block)));
    ASSERT_EQ(Decode(file, key), S_OK);
    EXPECT_EQ(ReadBytes(dir.File("out")), block);
}

TEST_F(BlockFileTest, EmptyBlockRoundTrips) {
    ASSERT_EQ(Encode("empty.txt", {}, key), S_OK);
    Bytes file = ReadBytes(dir.File("encoded"));
    ASSERT_EQ(file.size(), 64u);
    EXPECT_EQ(file[40], 0);
    ASSERT_EQ(Decode(file, key), S_OK);
    EXPECT_TRUE(ReadBytes(dir.File("out")).empty());
}

TEST_F(BlockFileTest, CompressedBlockRoundTrips) {
    Bytes block = TextBytes(700005, 3);
    ASSERT_EQ(Encode("notes.txt", block, key), S_OK);
    Bytes file = ReadBytes(dir.File("encoded"));
    EXPECT_EQ(file[5], 0x03);
    EXPECT_EQ(Le32(file, 8), 700005u);
    EXPECT_LT(file.size(), block.size() / 2);
    EXPECT_EQ((file.size() - 64) % 16, 0u);
    ExpectNoTemporaries();
    WriteBytes(dir.File("out"), RandomBytes(100, 4));  // replaced
    ASSERT_EQ(Decode(file, key), S_OK);
    EXPECT_EQ(ReadBytes(dir.File("out")), block);
    ExpectNoTemporaries();

    // A full block (archive signature, so compressed whatever the name).
    Bytes full(kBlockSize, 0);
    const uint8_t sig[] = {0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C};
    std::copy(sig, sig + 6, full.begin());
    ASSERT_EQ(Encode("full.mkv", full, key), S_OK);
    file = ReadBytes(dir.File("encoded"));
    EXPECT_EQ(file[5], 0x03);
    ASSERT_EQ(Decode(file, key), S_OK);
    EXPECT_EQ(ReadBytes(dir.File("out")), full);
}

TEST_F(BlockFileTest, EncodeRefusesBadArguments) {
    Bytes block = TextBytes(5000, 5);
    WriteBytes(dir.File("block"), block);
    const std::string sha1 = Sha1Hex(block);
    EXPECT_EQ(EncodeFile(key.text.substr(2), "a.txt", 5000, sha1, dir.File("block"), dir.File("e")), E_FAIL);
    EXPECT_EQ(EncodeFile(key.text, "a.txt", 5000, "xyz", dir.File("block"), dir.File("e")), E_FAIL);
    // The block must be the size its record states.
    EXPECT_EQ(EncodeFile(key.text, "a.txt", 4999, sha1, dir.File("block"), dir.File("e")), E_FAIL);
    EXPECT_EQ(EncodeFile(key.text, "a.txt", 5000, sha1, dir.File("missing"), dir.File("e")), E_FAIL);
    EXPECT_EQ(EncodeFile(key.text, "a.txt", 5000, sha1, dir.File("block"), dir.File("no/dir/e")), E_FAIL);
    ExpectNoTemporaries();
}

TEST_F(BlockFileTest, UnknownMagicFailsWithDecryptLine) {
    EXPECT_EQ(Decode(RandomBytes(200, 6), key), E_FAIL);
    EXPECT_NE(LogText().find("DecryptFile File Failded!"), std::string::npos);
    EXPECT_FALSE(Exists(dir.File("out")));
    EXPECT_EQ(Decode({}, key), E_FAIL);
    // A failed decode leaves an existing destination as it was.
    WriteBytes(dir.File("out"), Bytes{1, 2, 3});
    EXPECT_EQ(Decode(RandomBytes(64, 7), key), E_FAIL);
    EXPECT_EQ(ReadBytes(dir.File("out")), (Bytes{1, 2, 3}));
    EXPECT_EQ(DecodeFile(dir.File("out"), key.text, dir.File("missing")), E_FAIL);
    EXPECT_EQ(DecodeFile(dir.File("out"), "zz", dir.File("in")), E_FAIL);  // unusable key
    ExpectNoTemporaries();
}

TEST_F(BlockFileTest, HostileCurrentHeadersFail) {
    Bytes block = RandomBytes(100, 7);
    Bytes good = CurrentFile(0x02, 100, RawSha1(block), key.bytes, block);
    ASSERT_EQ(Decode(good, key), S_OK);
    EXPECT_EQ(ReadBytes(dir.File("out")), block);

    auto expectFail = [&](Bytes file, const char* what) {
        std::remove(dir.File("out").c_str());
        EXPECT_EQ(Decode(file, key), E_FAIL) << what;
        EXPECT_FALSE(Exists(dir.File("out"))) << what;
    };
    Bytes f = good;
    f[40] = 16;
    expectFail(f, "padding 16");
    f[40] = 255;
    expectFail(f, "padding 255");
    expectFail(Bytes(good.begin(), good.end() - 1), "data not a multiple of 16");
    expectFail(Concat(good, Bytes(8, 0)), "data not a multiple of 16");
    expectFail(Bytes(good.begin(), good.begin() + 63), "shorter than the header");
    f = good;
    f[4] = 2;
    expectFail(f, "version 2");
    for (uint8_t flags : {0x00, 0x01, 0x06, 0x83}) {
        f = good;
        f[5] = flags;
        expectFail(f, "flags");
    }
    f = good;
    f[8] = 101;
    expectFail(f, "plain size differs from the payload");
    f = good;
    f[11] = 0x80;
    expectFail(f, "negative plain size");
    f = CurrentFile(0x02, 0, RawSha1({}), key.bytes, {});
    f[40] = 1;
    expectFail(f, "padding beyond an empty payload");
    f = good;
    f[12] ^= 1;
    expectFail(f, "SHA-1 in the header does not match the block");
    // ECB has no integrity: a wrong key is caught by the header's SHA-1.
    std::remove(dir.File("out").c_str());
    EXPECT_EQ(Decode(good, MakeKey(43)), E_FAIL);
    EXPECT_FALSE(Exists(dir.File("out")));
    ExpectNoTemporaries();
}

TEST_F(BlockFileTest, BrokenCompressedPayloadsFailWithUncompressLine) {
    Bytes block = TextBytes(300000, 8);
    ASSERT_EQ(Encode("a.txt", block, key), S_OK);
    Bytes encoded = ReadBytes(dir.File("encoded"));
    // Decrypt to get the LZMA payload back, then rebuild variants of it.
    ASSERT_EQ(Decode(encoded, key), S_OK);
    WriteBytes(dir.File("block"), block);
    ASSERT_TRUE(LzmaCompressFile(dir.File("block"), dir.File("lz")));
    Bytes stream = ReadBytes(dir.File("lz"));

    Bytes truncated(stream.begin(), stream.end() - 40);
    EXPECT_EQ(Decode(CurrentFile(0x03, 300000, RawSha1(block), key.bytes, truncated), key), E_FAIL);
    EXPECT_NE(LogText().find("UnCompress File Failded!"), std::string::npos);
    EXPECT_EQ(LogText().find("DecryptFile File Failded!"), std::string::npos);

    // The stream must agree with the block size in the header.
    EXPECT_EQ(Decode(CurrentFile(0x03, 299999, RawSha1(block), key.bytes, stream), key), E_FAIL);
    // Too short to hold a stream header.
    EXPECT_EQ(Decode(CurrentFile(0x03, 5, RawSha1(block), key.bytes, Bytes(12, 0x5D)), key), E_FAIL);
    // A payload that would unpack to more than one block.
    Bytes bomb = LzmaAloneUnknownSize(Bytes(kBlockSize + 65536, 'a'));
    EXPECT_EQ(Decode(CurrentFile(0x03, kBlockSize, RawSha1({}), key.bytes, bomb), key), E_FAIL);
    // The wrong key turns the stream into noise.
    EXPECT_EQ(Decode(encoded, MakeKey(43)), E_FAIL);
    ExpectNoTemporaries();
}

TEST_F(BlockFileTest, UnknownSizeStreamFromOtherWritersDecodes) {
    Bytes block = TextBytes(70000, 9);
    Bytes stream = LzmaAloneUnknownSize(block);
    ASSERT_EQ(Decode(CurrentFile(0x03, 70000, RawSha1(block), key.bytes, stream), key), S_OK);
    EXPECT_EQ(ReadBytes(dir.File("out")), block);
}

TEST_F(BlockFileTest, LegacyPlainFile) {
    Bytes block = RandomBytes(5000, 10);
    Bytes file = LegacyFile(key.bytes, block);
    ASSERT_EQ(file.size(), 47u + 5008u);
    ASSERT_EQ(Decode(file, key), S_OK);
    EXPECT_EQ(ReadBytes(dir.File("out")), block);

    Bytes f = file;
    f[23] ^= 1;  // stored MD5
    EXPECT_EQ(Decode(f, key), E_FAIL);
    f = file;
    f[file.size() - 1] ^= 1;  // data no longer matches the MD5
    EXPECT_EQ(Decode(f, key), E_FAIL);
    f = file;
    f[43] = 0x87;  // section 4999 (0x1387): below the plain size 5000
    f[44] = 0x13;
    EXPECT_EQ(Decode(f, key), E_FAIL);
    f = file;
    f[39] = 0x89;  // plain 5001 still fits the section: the output is cut there
    f[40] = 0x13;
    ASSERT_EQ(Decode(f, key), S_OK);
    EXPECT_EQ(ReadBytes(dir.File("out")).size(), 5001u);
    f = file;
    f[45] = 1;  // section claims far more than the file holds
    EXPECT_EQ(Decode(f, key), E_FAIL);
    f = file;
    f[19] = 2;  // version
    EXPECT_EQ(Decode(f, key), E_FAIL);
    EXPECT_EQ(Decode(Bytes(file.begin(), file.begin() + 46), key), E_FAIL);
    ExpectNoTemporaries();
}

// The in-memory writer is the codec's one writer of plain blocks: exact bytes,
// the written file's SHA-1 and size, and the same file as EncodeFile.
TEST_F(BlockFileTest, BufferEncoderWritesExactBytesAndTheirSha1) {
    for (size_t size : {size_t{0}, size_t{17}, size_t{262144 - 64}, size_t{262144 + 1}, size_t{kBlockSize}}) {
        Bytes block = RandomBytes(size, static_cast<uint32_t>(size) + 7);
        std::string fileSha1;
        ASSERT_EQ(
            EncodeBlockBuffer(block.data(), block.size(), Sha1Hex(block), key.text, dir.File("buffer"), &fileSha1),
            S_OK)
            << size;
        Bytes file = ReadBytes(dir.File("buffer"));
        Bytes padded = ZeroPad16(block);
        ASSERT_EQ(file.size(), 64u + padded.size()) << size;
        EXPECT_EQ(EncodedBlockSize(size), static_cast<int64_t>(file.size()));
        EXPECT_EQ(std::memcmp(file.data(), "BMF0\x01\x02\x00\x00", 8), 0);
        EXPECT_EQ(Le32(file, 8), size);
        EXPECT_EQ(Bytes(file.begin() + 12, file.begin() + 32), RawSha1(block));
        EXPECT_EQ(Bytes(file.begin() + 32, file.begin() + 40), Bytes(8, 0));
        EXPECT_EQ(file[40], padded.size() - size);
        EXPECT_EQ(Bytes(file.begin() + 41, file.begin() + 64), Bytes(23, 0));
        EXPECT_TRUE(Bytes(file.begin() + 64, file.end()) == EcbEncrypt(key.bytes, padded)) << size;
        EXPECT_EQ(fileSha1, Sha1Hex(file));

        ASSERT_EQ(Encode("clip.mp4", block, key), S_OK);
        EXPECT_TRUE(ReadBytes(dir.File("encoded")) == file) << size;
        ASSERT_EQ(EncodeBlockBuffer(block.data(), block.size(), Sha1Hex(block), key.text, dir.File("nohash"), nullptr),
                  S_OK);
        EXPECT_TRUE(ReadBytes(dir.File("nohash")) == file);

        // In memory, into buffers that held bigger blocks before: the same bytes.
        EncodedBlock memory;
        memory.bytes.assign(kBlockSize + 4096, 0xAA);
        ASSERT_EQ(EncodeBlockMemory(block.data(), block.size(), false, Sha1Hex(block), key.text, memory), S_OK);
        EXPECT_TRUE(memory.bytes == file) << size;
        EXPECT_EQ(memory.sha1, Sha1Hex(file));
        std::vector<uint8_t> plain(kBlockSize + 4096, 0x55);
        EXPECT_EQ(
            DecodeBlockMemory(file.data(), file.size(), key.text, static_cast<int32_t>(size), Sha1Hex(block), plain),
            MemoryDecode::Ok);
        EXPECT_TRUE(plain == block) << size;
    }
    ExpectNoTemporaries();
}

TEST_F(BlockFileTest, BufferEncoderRefusesBadArguments) {
    Bytes block = RandomBytes(100, 3);
    std::string sha1 = Sha1Hex(block);
    EXPECT_EQ(EncodeBlockBuffer(block.data(), block.size(), sha1, key.text.substr(2), dir.File("e"), nullptr), E_FAIL);
    EXPECT_EQ(EncodeBlockBuffer(block.data(), block.size(), "xyz", key.text, dir.File("e"), nullptr), E_FAIL);
    EXPECT_EQ(EncodeBlockBuffer(block.data(), block.size(), sha1, key.text, dir.File("no/dir/e"), nullptr), E_FAIL);
    Bytes big(static_cast<size_t>(kBlockSize) + 1);
    EXPECT_EQ(EncodeBlockBuffer(big.data(), big.size(), Sha1Hex(big), key.text, dir.File("e"), nullptr), E_FAIL);
    EXPECT_FALSE(Exists(dir.File("e")));
}

TEST_F(BlockFileTest, HeaderReaderStatesWhatTheFileHolds) {
    Bytes block = RandomBytes(5000, 4);
    ASSERT_EQ(Encode("clip.mp4", block, key), S_OK);
    Bytes file = ReadBytes(dir.File("encoded"));
    BlockFileHeader header;
    ASSERT_TRUE(ReadBlockFileHeader(file.data(), static_cast<int64_t>(file.size()), header));
    EXPECT_FALSE(header.compressed);
    EXPECT_EQ(header.plainSize, 5000);
    EXPECT_EQ(header.payloadLength, 5000);
    EXPECT_EQ(Bytes(header.plainSha1, header.plainSha1 + 20), RawSha1(block));
    // A file shorter or longer than the header says, and other formats, are refused.
    EXPECT_FALSE(ReadBlockFileHeader(file.data(), static_cast<int64_t>(file.size()) - 16, header));
    EXPECT_FALSE(ReadBlockFileHeader(file.data(), static_cast<int64_t>(file.size()) + 1, header));
    Bytes other = file;
    other[3] = '1';
    EXPECT_FALSE(ReadBlockFileHeader(other.data(), static_cast<int64_t>(other.size()), header));

    ASSERT_EQ(Encode("notes.txt", TextBytes(5000, 1), key), S_OK);
    file = ReadBytes(dir.File("encoded"));
    ASSERT_TRUE(ReadBlockFileHeader(file.data(), static_cast<int64_t>(file.size()), header));
    EXPECT_TRUE(header.compressed);
    EXPECT_EQ(header.plainSize, 5000);
}

// A full disk while the block file, or the compressed payload before it, is
// written: the call fails with the failed write in the log, and the old
// destination and no temporary remain.
TEST_F(BlockFileTest, FullDiskWhileEncodingKeepsTheOldBlockFile) {
    orvel::logtest::SetThreshold(5);  // the failed checks are logged at level 5
    const Bytes old = {'o', 'l', 'd'};
    struct Case {
        std::string name;
        Bytes block;
        std::string logged;
    };
    const Case cases[] = {
        {"clip.mp4", RandomBytes(70000, 5), "ERROR_CHECK_BOOL:out.WriteAll(buffer.get(), offset + blocks)"},
        {"notes.txt", TextBytes(70000, 6), "ERROR_CHECK_BOOL:LzmaCompressFile(sourcePath, compressed.path)"},
    };
    for (const Case& c : cases) {
        WriteBytes(dir.File("encoded"), old);
        WriteBytes(dir.File("block"), c.block);
        orvel::testsupport::FaultyFileSystem fs;
        fs.FailWrites(dir.Path(), 4096);
        EXPECT_EQ(EncodeFile(key.text, c.name, static_cast<int32_t>(c.block.size()), Sha1Hex(c.block),
                             dir.File("block"), dir.File("encoded")),
                  E_FAIL)
            << c.name;
        EXPECT_GE(fs.WriteFaults(), 1) << c.name;
        EXPECT_EQ(ReadBytes(dir.File("encoded")), old) << c.name;
        EXPECT_NE(LogText().find(c.logged), std::string::npos) << c.name;
        ExpectNoTemporaries();
    }
}

// Writes that take a few bytes at a time make the same block file, and decode.
TEST_F(BlockFileTest, ShortWritesMakeTheSameFiles) {
    for (const std::string name : {"clip.mp4", "notes.txt"}) {
        const Bytes block = name == "clip.mp4" ? RandomBytes(70000, 7) : TextBytes(70000, 8);
        ASSERT_EQ(Encode(name, block, key), S_OK);
        const Bytes whole = ReadBytes(dir.File("encoded"));
        orvel::testsupport::FaultyFileSystem fs;
        fs.ShortWrites(1000);
        ASSERT_EQ(Encode(name, block, key), S_OK) << name;
        EXPECT_EQ(ReadBytes(dir.File("encoded")), whole) << name;
        ASSERT_EQ(Decode(whole, key), S_OK) << name;
        EXPECT_EQ(ReadBytes(dir.File("out")), block) << name;
        EXPECT_GT(fs.ShortWritesMade(), 0) << name;
        ExpectNoTemporaries();
    }
}

// Renames that fail (and the copy that stands in for them, which ends in a
// rename too): the decoded block never replaces the destination, which keeps
// the user's bytes; a full disk while decrypting does the same.
TEST_F(BlockFileTest, FailedRenamesAndAFullDiskWhileDecodingKeepTheDestination) {
    orvel::logtest::SetThreshold(5);  // the failed checks are logged at level 5
    const Bytes original = {'m', 'i', 'n', 'e'};
    const Bytes block = RandomBytes(5000, 11);
    ASSERT_EQ(Encode("clip.mp4", block, key), S_OK);
    const Bytes current = ReadBytes(dir.File("encoded"));
    const Bytes legacy = LegacyFile(key.bytes, block);
    struct Case {
        const Bytes& file;
        std::string renameOnto;  // prefix of the paths whose renames fail; empty: writes fail
        std::string logged;
    };
    const Case cases[] = {
        {current, dir.File("out"), "ERROR_CHECK_BOOL:orvel::codec::MoveReplace(staged.path, destinationPath)"},
        {legacy, dir.File("{"), "ERROR_CHECK_BOOL:orvel::codec::MoveReplace(decrypted, staged)"},
        {legacy, "", "DecryptFile File Failded!"},
    };
    for (const Case& c : cases) {
        WriteBytes(dir.File("out"), original);
        WriteBytes(dir.File("in"), c.file);
        orvel::testsupport::FaultyFileSystem fs;
        if (c.renameOnto.empty())
            fs.FailWrites(dir.File("{"));
        else
            fs.FailRenames(c.renameOnto);
        EXPECT_EQ(DecodeFile(dir.File("out"), key.text, dir.File("in")), E_FAIL) << c.logged;
        EXPECT_GE(fs.RenameFaults() + fs.WriteFaults(), 1) << c.logged;
        EXPECT_EQ(ReadBytes(dir.File("out")), original) << c.logged;
        EXPECT_NE(LogText().find(c.logged), std::string::npos) << c.logged;
        ExpectNoTemporaries();
    }
}

// A full disk while a block is cut out of a file: the old block file stays.
TEST_F(BlockFileTest, FullDiskWhileCuttingKeepsTheOldBlockFile) {
    orvel::logtest::SetThreshold(5);
    const Bytes old = {'o', 'l', 'd'};
    WriteBytes(dir.File("src"), RandomBytes(kBlockSize + 70000, 12));
    WriteBytes(dir.File("blk"), old);
    orvel::testsupport::FaultyFileSystem fs;
    fs.FailWrites(dir.Path(), 65536 + 100);
    EXPECT_FALSE(CutBlock(dir.File("src"), dir.File("blk"), 0));
    EXPECT_EQ(1, fs.WriteFaults());
    EXPECT_EQ(ReadBytes(dir.File("blk")), old);
    EXPECT_NE(LogText().find("ERROR_CHECK_BOOL:block.WriteAll(buffer.get(), want)"), std::string::npos);
    ExpectNoTemporaries();
}
