// Folder listings through the file-list handle, against the emulator.
#include <gtest/gtest.h>

#include <set>

#include "test_util.h"

namespace {

class ListingTest : public EmulatorTest {};

TEST_F(ListingTest, HundredsOfItemsWithEveryAccessor) {
    const Session s = SignIn();
    const std::string folder = MakeFolder(s, "0", "many");
    constexpr int kItems = 300;
    std::set<std::string> made;
    for (int i = 0; i < kItems; ++i) made.insert(MakeFolder(s, folder, "item-" + std::to_string(i)));
    ASSERT_EQ(made.size(), static_cast<size_t>(kItems));

    ORVEL_FILELIST h = nullptr;
    ASSERT_EQ(ORVEL_EnumFiles(W(s.token).c_str(), W(folder).c_str(), &h), S_OK);
    int count = 0;
    ASSERT_EQ(ORVEL_GetFilesNum(h, &count), S_OK);
    ASSERT_EQ(count, kItems);
    std::set<std::string> listed, names;
    for (unsigned i = 0; i < static_cast<unsigned>(count); ++i) {
        int type = -1, size = -1;
        int64_t size64 = -1;
        Bstr id, parent, name, modTime, sha1, version;
        ASSERT_EQ(ORVEL_GetFileType(h, i, &type), S_OK);
        ASSERT_EQ(ORVEL_GetFileSize(h, i, &size), S_OK);
        ASSERT_EQ(ORVEL_GetFileSize64(h, i, &size64), S_OK);
        ASSERT_EQ(ORVEL_GetFileId(h, i, &id), S_OK);
        ASSERT_EQ(ORVEL_GetParentId(h, i, &parent), S_OK);
        ASSERT_EQ(ORVEL_GetFileName(h, i, &name), S_OK);
        ASSERT_EQ(ORVEL_GetModifyTime(h, i, &modTime), S_OK);
        ASSERT_EQ(ORVEL_GetFileSha1(h, i, &sha1), S_OK);
        ASSERT_EQ(ORVEL_GetFileVersion(h, i, &version), S_OK);
        EXPECT_EQ(type, 0);
        EXPECT_EQ(size, 0);
        EXPECT_EQ(size64, 0);
        EXPECT_EQ(parent.str(), folder);
        // Values a folder lacks still come back as allocated strings.
        EXPECT_NE(sha1.get(), nullptr);
        EXPECT_NE(version.get(), nullptr);
        EXPECT_NE(modTime.get(), nullptr);
        listed.insert(id.str());
        names.insert(name.str());
    }
    EXPECT_EQ(listed, made);
    EXPECT_EQ(names.size(), static_cast<size_t>(kItems));
    EXPECT_EQ(ORVEL_DestoryFiles(h), S_OK);
}

TEST_F(ListingTest, IndexAtOrBeyondTheCountIsRefused) {
    const Session s = SignIn();
    const std::string folder = MakeFolder(s, "0", "two-items");
    MakeFolder(s, folder, "x");
    MakeFolder(s, folder, "y");
    ORVEL_FILELIST h = nullptr;
    ASSERT_EQ(ORVEL_EnumFiles(W(s.token).c_str(), W(folder).c_str(), &h), S_OK);

    LogWatch log;
    int n = 42;
    int64_t n64 = 42;
    BSTR text = nullptr;
    for (unsigned index : {2u, 3u, 0xFFFFFFFFu}) {
        EXPECT_EQ(ORVEL_GetFileType(h, index, &n), E_INVALIDARG);
        EXPECT_EQ(ORVEL_GetFileSize(h, index, &n), E_INVALIDARG);
        EXPECT_EQ(ORVEL_GetFileSize64(h, index, &n64), E_INVALIDARG);
        EXPECT_EQ(ORVEL_GetFileId(h, index, &text), E_INVALIDARG);
        EXPECT_EQ(ORVEL_GetParentId(h, index, &text), E_INVALIDARG);
        EXPECT_EQ(ORVEL_GetFileName(h, index, &text), E_INVALIDARG);
        EXPECT_EQ(ORVEL_GetModifyTime(h, index, &text), E_INVALIDARG);
        EXPECT_EQ(ORVEL_GetFileSha1(h, index, &text), E_INVALIDARG);
        EXPECT_EQ(ORVEL_GetFileVersion(h, index, &text), E_INVALIDARG);
    }
    EXPECT_EQ(n, 42);
    EXPECT_EQ(n64, 42);
    EXPECT_EQ(text, nullptr);
    EXPECT_TRUE(log.Contains("*ASSERT*: index < m_files.size()"));

    // A null out pointer on a good handle and index.
    EXPECT_EQ(ORVEL_GetFileName(h, 0, nullptr), E_POINTER);
    EXPECT_EQ(ORVEL_GetFileSize(h, 0, nullptr), E_POINTER);
    EXPECT_EQ(ORVEL_GetFilesNum(h, nullptr), E_POINTER);
    EXPECT_TRUE(log.Contains("*ASSERT*: strFileName"));
    EXPECT_TRUE(log.Contains("*ASSERT*: fileSize"));
    EXPECT_EQ(ORVEL_DestoryFiles(h), S_OK);
}

TEST_F(ListingTest, EmptyFolderGivesAHandleWithNoItems) {
    // The service lists an empty folder with no child elements at all.
    const Session s = SignIn();
    const std::string folder = MakeFolder(s, "0", "empty-one");
    ORVEL_FILELIST h = nullptr;
    ASSERT_EQ(ORVEL_EnumFiles(W(s.token).c_str(), W(folder).c_str(), &h), S_OK);
    int count = -1;
    EXPECT_EQ(ORVEL_GetFilesNum(h, &count), S_OK);
    EXPECT_EQ(count, 0);
    int type = 9;
    EXPECT_EQ(ORVEL_GetFileType(h, 0, &type), E_INVALIDARG);
    EXPECT_EQ(type, 9);
    EXPECT_EQ(ORVEL_DestoryFiles(h), S_OK);
}

}  // namespace
