// Which blocks are LZMA-compressed before encryption.
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include "blocks/codec/block_codec.h"
#include "test_support.h"

using namespace blocktest;

namespace {

bool Policy(std::string_view name, const std::string& block) {
    bool compress = false;
    EXPECT_EQ(CompressPolicy(name, block, compress), S_OK);
    return compress;
}

// A ZIP holding one stored entry of `content`.
void WriteZip(const std::string& path, const Bytes& content) {
    archive* a = archive_write_new();
    archive_write_set_format_zip(a);
    archive_write_zip_set_compression_store(a);
    ASSERT_EQ(archive_write_open_filename(a, path.c_str()), ARCHIVE_OK);
    archive_entry* e = archive_entry_new();
    archive_entry_set_pathname(e, "inner.bin");
    archive_entry_set_size(e, static_cast<la_int64_t>(content.size()));
    archive_entry_set_filetype(e, AE_IFREG);
    archive_entry_set_perm(e, 0644);
    archive_write_header(a, e);
    archive_write_data(a, content.data(), content.size());
    archive_entry_free(e);
    archive_write_close(a);
    archive_write_free(a);
}

}  // namespace

TEST(CompressPolicy, SmallBlocksAreNeverCompressed) {
    TempDir dir;
    WriteBytes(dir.File("b"), TextBytes(1023, 1));
    EXPECT_FALSE(Policy("notes.txt", dir.File("b")));
    WriteBytes(dir.File("b"), TextBytes(1024, 1));
    EXPECT_TRUE(Policy("notes.txt", dir.File("b")));
    Bytes small7z = {0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C, 0, 4};
    WriteBytes(dir.File("s"), Concat(small7z, RandomBytes(500, 2)));
    EXPECT_FALSE(Policy("a.bin", dir.File("s")));
}

TEST(CompressPolicy, ExtensionLists) {
    TempDir dir;
    WriteBytes(dir.File("b"), RandomBytes(2000, 3));
    EXPECT_FALSE(Policy("song.mp3", dir.File("b")));
    EXPECT_FALSE(Policy("SONG.Mp3", dir.File("b")));
    EXPECT_FALSE(Policy("archive.tar.gz", dir.File("b")));
    EXPECT_FALSE(Policy("x.mp+", dir.File("b")));
    EXPECT_FALSE(Policy("photo.TIFF", dir.File("b")));
    EXPECT_TRUE(Policy("song.mp3.txt", dir.File("b")));
    EXPECT_TRUE(Policy("noextension", dir.File("b")));
    EXPECT_TRUE(Policy("dir.mp3/readme", dir.File("b")));  // only the name's own extension
    EXPECT_TRUE(Policy("report.pdf", dir.File("b")));
    EXPECT_TRUE(Policy("report.docx", dir.File("b")));
}

TEST(CompressPolicy, ExecutableSizeRule) {
    TempDir dir;
    WriteBytes(dir.File("big"), RandomBytes(3500000, 4));
    EXPECT_FALSE(Policy("lib.dll", dir.File("big")));
    EXPECT_FALSE(Policy("setup.EXE", dir.File("big")));
    EXPECT_TRUE(Policy("report.pdf", dir.File("big")));  // the pdf limit is 5 MiB
    EXPECT_TRUE(Policy("table.xlsx", dir.File("big")));  // the document limit is 10 MiB
    WriteBytes(dir.File("limit"), RandomBytes(3145728, 5));
    EXPECT_TRUE(Policy("lib.dll", dir.File("limit")));
    WriteBytes(dir.File("small"), RandomBytes(3000000, 5));
    EXPECT_TRUE(Policy("lib.dll", dir.File("small")));
}

TEST(CompressPolicy, ArchivesInsideBlocksAreCompressed) {
    TempDir dir;
    Bytes sevenZip = {0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C};
    WriteBytes(dir.File("7z"), Concat(sevenZip, RandomBytes(1994, 6)));
    EXPECT_TRUE(Policy("movie.mp3", dir.File("7z")));
    EXPECT_TRUE(Policy("lib.dll", dir.File("7z")));

    WriteZip(dir.File("zip"), RandomBytes(5000, 7));
    EXPECT_TRUE(Policy("song.mp3", dir.File("zip")));

    // "PK\5\6" somewhere without a central directory behind it is no ZIP.
    Bytes fake = RandomBytes(3000, 8);
    Bytes eocd = {'P', 'K', 5, 6, 0, 0, 0, 0, 1, 0, 1, 0, 46, 0, 0, 0, 0x10, 0, 0, 0, 0, 0};
    std::copy(eocd.begin(), eocd.end(), fake.end() - eocd.size());
    WriteBytes(dir.File("fake"), fake);
    EXPECT_FALSE(Policy("song.mp3", dir.File("fake")));
}

TEST(CompressPolicy, MissingBlockFails) {
    TempDir dir;
    bool compress = true;
    EXPECT_EQ(CompressPolicy("a.txt", dir.File("missing"), compress), E_FAIL);
    EXPECT_FALSE(compress);
    EXPECT_EQ(CompressPolicy("a.txt", dir.Path(), compress), E_FAIL);
}
