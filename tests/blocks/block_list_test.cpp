// Block arithmetic, hashes, identifiers, hex keys and temporary names.
#include <gtest/gtest.h>

#include <regex>

#include "blocks/codec/block_codec.h"
#include "test_support.h"

using namespace blocktest;

namespace {
constexpr char kEmptySha1[] = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
constexpr char kEmptyMd5[] = "d41d8cd98f00b204e9800998ecf8427e";
}  // namespace

TEST(HexToBytes, SwapExchangesTheDigitsOfEachByte) {
    uint8_t b = 0;
    ASSERT_TRUE(HexToBytes(1, "a1", true, &b));
    EXPECT_EQ(b, 0x1a);
    ASSERT_TRUE(HexToBytes(1, "a1", false, &b));
    EXPECT_EQ(b, 0xa1);
    uint8_t two[2];
    ASSERT_TRUE(HexToBytes(2, "0FfE", false, two));
    EXPECT_EQ(two[0], 0x0f);
    EXPECT_EQ(two[1], 0xfe);
}

TEST(HexToBytes, RejectsWrongLengthAndNonHex) {
    uint8_t out[4] = {};
    EXPECT_FALSE(HexToBytes(2, "abc", false, out));
    EXPECT_FALSE(HexToBytes(2, "abcdef", false, out));
    EXPECT_FALSE(HexToBytes(2, "ab g", false, out));
    EXPECT_FALSE(HexToBytes(1, "-1", false, out));
    EXPECT_FALSE(HexToBytes(1, "ab", false, nullptr));
    EXPECT_TRUE(HexToBytes(0, "", false, out));
}

TEST(HexToBytes, KeyTextGivesTheKeyBytes) {
    KeyPair key = MakeKey(7);
    uint8_t out[32];
    ASSERT_TRUE(HexToBytes(32, key.text, true, out));
    EXPECT_EQ(Bytes(out, out + 32), key.bytes);
    EXPECT_EQ(BytesToHex(key.bytes.data(), 2).size(), 4u);
}

TEST(BlockId, FormatAndReader) {
    std::string id = MakeBlockId(0, kEmptySha1);
    EXPECT_EQ(id, std::string("000000") + kEmptySha1);
    EXPECT_EQ(BlockIdSize(id), 0);
    EXPECT_EQ(MakeBlockId(kBlockSize, kEmptySha1).substr(0, 6), "400000");
    EXPECT_EQ(BlockIdSize(MakeBlockId(kBlockSize, kEmptySha1)), kBlockSize);
    EXPECT_EQ(BlockIdSize(std::string("00A0fF") + kEmptySha1), 0xa0ff);
    EXPECT_EQ(BlockIdSize(std::string("00001") + kEmptySha1), -1);  // 45 characters
    EXPECT_EQ(BlockIdSize(""), -1);
    EXPECT_EQ(BlockIdSize(std::string("-00001") + kEmptySha1), -1);
    EXPECT_EQ(BlockIdSize(std::string("0x0001") + kEmptySha1), -1);
}

TEST(BlockCount, Arithmetic) {
    EXPECT_EQ(BlockCount(0), 1);
    EXPECT_EQ(BlockCount(1), 1);
    EXPECT_EQ(BlockCount(kBlockSize), 1);
    EXPECT_EQ(BlockCount(kBlockSize + 1LL), 2);
    EXPECT_EQ(BlockCount(3LL * kBlockSize), 3);
}

TEST(BuildBlockList, EmptyFileHasOneEmptyBlock) {
    TempDir dir;
    WriteBytes(dir.File("empty"), {});
    std::vector<BlockRecord> blocks{BlockRecord{"x", "y", 5}};
    std::string sha1 = "stale";
    ASSERT_EQ(BuildBlockList(dir.File("empty"), blocks, sha1), S_OK);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].size, 0);
    EXPECT_EQ(blocks[0].sha1, kEmptySha1);
    EXPECT_EQ(blocks[0].md5, kEmptyMd5);
    EXPECT_EQ(sha1, kEmptySha1);
}

TEST(BuildBlockList, BlockBoundaries) {
    TempDir dir;
    Bytes exact = RandomBytes(kBlockSize, 1);
    WriteBytes(dir.File("exact"), exact);
    std::vector<BlockRecord> blocks;
    std::string sha1;
    ASSERT_EQ(BuildBlockList(dir.File("exact"), blocks, sha1), S_OK);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].size, kBlockSize);
    EXPECT_EQ(blocks[0].sha1, Sha1Hex(exact));
    EXPECT_EQ(blocks[0].md5, Md5Hex(exact));
    EXPECT_EQ(sha1, Sha1Hex(exact));

    Bytes one = {0x42};
    Bytes plusOne = Concat(exact, one);
    WriteBytes(dir.File("plus"), plusOne);
    ASSERT_EQ(BuildBlockList(dir.File("plus"), blocks, sha1), S_OK);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].sha1, Sha1Hex(exact));
    EXPECT_EQ(blocks[1].size, 1);
    EXPECT_EQ(blocks[1].sha1, Sha1Hex(one));
    EXPECT_EQ(blocks[1].md5, Md5Hex(one));
    EXPECT_EQ(sha1, Sha1Hex(plusOne));

    // A chunk-unaligned tail inside the second block.
    Bytes tail = RandomBytes(kBlockSize + 100000, 2);
    WriteBytes(dir.File("tail"), tail);
    ASSERT_EQ(BuildBlockList(dir.File("tail"), blocks, sha1), S_OK);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[1].size, 100000);
    EXPECT_EQ(blocks[1].md5, Md5Hex(Bytes(tail.begin() + kBlockSize, tail.end())));
}

// On several threads the list is the one a single pass gives, for every
// shape of file: empty, one byte, either side of a block boundary, whole
// blocks, a short tail, and more blocks than buffers in flight (workers + 2).
TEST(BuildBlockList, SeveralThreadsGiveTheSameList) {
    TempDir dir;
    const size_t block = kBlockSize;
    const Bytes big = RandomBytes(11 * block + 77, 3);
    for (size_t size : {size_t{0}, size_t{1}, block - 1, block, block + 1, 3 * block, 5 * block + 77, big.size()}) {
        const Bytes data(big.begin(), big.begin() + static_cast<std::ptrdiff_t>(size));
        WriteBytes(dir.File("f"), data);
        std::vector<BlockRecord> one;
        std::string sha1One;
        ASSERT_EQ(BuildBlockList(dir.File("f"), one, sha1One, 1), S_OK);
        EXPECT_EQ(sha1One, Sha1Hex(data));
        ASSERT_EQ(one.size(), size == 0 ? 1 : (size + block - 1) / block) << size;
        for (int workers : {2, 3, 8}) {
            std::vector<BlockRecord> many{BlockRecord{"x", "y", 5}};
            std::string sha1Many = "stale";
            ASSERT_EQ(BuildBlockList(dir.File("f"), many, sha1Many, workers), S_OK);
            EXPECT_EQ(sha1One, sha1Many) << size << " " << workers;
            ASSERT_EQ(one.size(), many.size()) << size << " " << workers;
            for (size_t i = 0; i < one.size(); ++i) {
                EXPECT_EQ(one[i].size, many[i].size) << size << " " << workers << " " << i;
                EXPECT_EQ(one[i].sha1, many[i].sha1) << size << " " << workers << " " << i;
                EXPECT_EQ(one[i].md5, many[i].md5) << size << " " << workers << " " << i;
            }
        }
    }
    std::vector<BlockRecord> blocks{BlockRecord{"x", "y", 5}};
    std::string sha1 = "stale";
    EXPECT_EQ(BuildBlockList(dir.File("missing"), blocks, sha1, 3), E_FAIL);
    EXPECT_TRUE(blocks.empty());
    EXPECT_TRUE(sha1.empty());
}

TEST(BuildBlockList, MissingOrUnreadablePathFails) {
    TempDir dir;
    std::vector<BlockRecord> blocks;
    std::string sha1;
    EXPECT_EQ(BuildBlockList(dir.File("missing"), blocks, sha1), E_FAIL);
    EXPECT_EQ(BuildBlockList(dir.Path(), blocks, sha1), E_FAIL);
    EXPECT_TRUE(blocks.empty());
}

TEST(CutBlock, CopiesExactlyTheNumberedBlock) {
    TempDir dir;
    Bytes data = RandomBytes(2 * kBlockSize + 70000, 3);
    WriteBytes(dir.File("src"), data);
    WriteBytes(dir.File("blk"), RandomBytes(kBlockSize + 5, 4));  // replaced, not appended
    ASSERT_TRUE(CutBlock(dir.File("src"), dir.File("blk"), 1));
    EXPECT_EQ(ReadBytes(dir.File("blk")), Bytes(data.begin() + kBlockSize, data.begin() + 2 * kBlockSize));
    ASSERT_TRUE(CutBlock(dir.File("src"), dir.File("blk"), 2));
    EXPECT_EQ(ReadBytes(dir.File("blk")), Bytes(data.begin() + 2 * kBlockSize, data.end()));
}

TEST(CutBlock, EdgesAndFailures) {
    TempDir dir;
    WriteBytes(dir.File("empty"), {});
    ASSERT_TRUE(CutBlock(dir.File("empty"), dir.File("blk"), 0));
    EXPECT_TRUE(ReadBytes(dir.File("blk")).empty());
    EXPECT_FALSE(CutBlock(dir.File("empty"), dir.File("blk2"), 1));

    WriteBytes(dir.File("small"), RandomBytes(1000, 5));
    EXPECT_FALSE(CutBlock(dir.File("small"), dir.File("blk3"), 1));  // past the end
    EXPECT_FALSE(CutBlock(dir.File("small"), dir.File("blk4"), -1));
    EXPECT_FALSE(CutBlock(dir.File("missing"), dir.File("blk5"), 0));
    EXPECT_FALSE(CutBlock(dir.File("small"), dir.File("no/such/folder/blk"), 0));
}

TEST(FileSha1, HashesWholeFile) {
    TempDir dir;
    Bytes data = TextBytes(3 * 65536 + 11, 6);
    WriteBytes(dir.File("f"), data);
    std::string sha1;
    ASSERT_EQ(FileSha1(dir.File("f"), sha1), S_OK);
    EXPECT_EQ(sha1, Sha1Hex(data));
    WriteBytes(dir.File("abc"), Bytes{'a', 'b', 'c'});
    ASSERT_EQ(FileSha1(dir.File("abc"), sha1), S_OK);
    EXPECT_EQ(sha1, "a9993e364706816aba3e25717850c26c9cd0d89d");
    sha1 = "kept";
    EXPECT_EQ(FileSha1(dir.File("missing"), sha1), E_FAIL);
    EXPECT_EQ(FileSha1(dir.Path(), sha1), E_FAIL);  // a folder cannot be read
    EXPECT_EQ(sha1, "kept");
}

TEST(TempNames, GuidNamesAndJoins) {
    std::string name = TempName();
    EXPECT_TRUE(
        std::regex_match(name, std::regex(R"(\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\})")))
        << name;
    EXPECT_NE(TempName(), TempName());
    EXPECT_EQ(TempPath("/tmp/x").substr(0, 7), "/tmp/x/");
    EXPECT_EQ(TempPath("/tmp/x/").substr(0, 7), "/tmp/x/");
    EXPECT_EQ(TempPath("/tmp/x").size(), 7u + 38u);
    EXPECT_EQ(SiblingPath("/a/b/c.bin", "n"), "/a/b/n");
    EXPECT_EQ(SiblingPath("/c.bin", "n"), "/n");
    EXPECT_EQ(SiblingPath("c.bin", "n"), "n");
}
