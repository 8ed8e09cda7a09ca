// Folder listing and item changes with the result codes a client meets.
#include <gtest/gtest.h>

#include "harness.h"

using namespace emutest;

namespace {

class EmulatorItems : public ::testing::Test {
protected:
    Emulator emu{{"--user", "demo:demo", "--user", "eve:eve"}};
    std::string token = emu.Login();

    Answer Call(const std::string& op, Fields fields) const {
        fields.insert(fields.begin(), {"token", token});
        return emu.Post("/osvr/" + op + "/", fields);
    }
    std::string NewFolder(const std::string& parent, const std::string& name) const {
        Answer a = Call("newFolder", {{"parentId", parent}, {"name", name}});
        return a.result == "ok" ? a["fileId"] : std::string();
    }
    std::vector<std::string> Names(const std::string& folder) const {
        std::vector<std::string> names;
        for (const auto& c : Call("dir", {{"fileId", folder}}).children) names.push_back(c.at("name"));
        return names;
    }
};

}  // namespace

TEST_F(EmulatorItems, NewFolderAndDirListFoldersFirst) {
    ASSERT_EQ(Call("dir", {{"fileId", "0"}}).result, "ok");
    EXPECT_TRUE(Call("dir", {{"fileId", "0"}}).children.empty());
    std::string docs = NewFolder("0", "docs");
    ASSERT_FALSE(docs.empty());
    ASSERT_EQ(Upload(emu, token, "0", "a.txt", "hello").failure, "");
    NewFolder("0", "zeta");
    EXPECT_EQ(Names("0"), (std::vector<std::string>{"docs", "zeta", "a.txt"}));
    Answer listing = Call("dir", {{"fileId", "0"}});
    const auto& file = listing.children[2];
    EXPECT_EQ(file.at("type"), "file");
    EXPECT_EQ(file.at("size"), "5");
    EXPECT_EQ(file.at("sha1"), Sha1Hex("hello"));
    EXPECT_EQ(file.at("fileVer"), "1");
    EXPECT_EQ(file.at("parentId"), "0");
    EXPECT_EQ(file.at("modTime"), "2026-12-07 10:00:00");
    EXPECT_EQ(listing.children[0].at("type"), "folder");
}

TEST_F(EmulatorItems, NewFolderConflictsAndMissingParents) {
    std::string docs = NewFolder("0", "docs");
    Answer again = Call("newFolder", {{"parentId", "0"}, {"name", "docs"}});
    EXPECT_EQ(again.result, "targetExist");
    EXPECT_EQ(again["fileId"], docs);
    EXPECT_EQ(Call("newFolder", {{"parentId", "999"}, {"name", "x"}}).result, "parentNotExist");
    ASSERT_EQ(Upload(emu, token, "0", "f", "x").failure, "");
    std::string fileId = Call("dir", {{"fileId", "0"}}).children[1].at("fileId");
    EXPECT_EQ(Call("newFolder", {{"parentId", fileId}, {"name", "x"}}).result, "parentNotExist");
    EXPECT_EQ(Call("dir", {{"fileId", "12345"}}).result, "targetNotExist");
}

TEST_F(EmulatorItems, RenameMoveAndTheirConflicts) {
    std::string a = NewFolder("0", "a"), b = NewFolder("0", "b"), inner = NewFolder(a, "inner");
    EXPECT_EQ(Call("rename", {{"fileId", a}, {"name", "b"}}).result, "targetExist");
    EXPECT_EQ(Call("rename", {{"fileId", a}, {"name", "a2"}}).result, "ok");
    EXPECT_EQ(Call("rename", {{"fileId", "777"}, {"name", "q"}}).result, "targetNotExist");
    EXPECT_EQ(Call("move", {{"fileId", b}, {"parentId", a}, {"name", "b"}}).result, "ok");
    EXPECT_EQ(Names(a), (std::vector<std::string>{"b", "inner"}));
    // A folder cannot go below itself.
    EXPECT_EQ(Call("move", {{"fileId", a}, {"parentId", inner}, {"name", "a2"}}).result, "clientBadParams");
    EXPECT_EQ(Call("move", {{"fileId", inner}, {"parentId", "4040"}, {"name", "inner"}}).result, "parentNotExist");
    Answer info = Call("getItemInfo", {{"fileId", b}});
    EXPECT_EQ(info["parentId"], a);
    EXPECT_EQ(info["fileName"], "b");
}

TEST_F(EmulatorItems, DeletesRespectNonEmptyFoldersAndTreeVersions) {
    std::string top = NewFolder("0", "top");
    std::string sub = NewFolder(top, "sub");
    EXPECT_EQ(Call("delete", {{"fileId", top}}).result, "folderNonEmpty");
    EXPECT_EQ(Call("deleteExVirtual", {{"fileId", top}, {"toRecycel", "true"}}).result, "folderNonEmpty");
    EXPECT_EQ(Call("deleteVerTree", {{"fileId", top}, {"treeOpVer", "0"}, {"toRecycel", "true"}}).result,
              "treeVerDeny");
    EXPECT_EQ(Call("deleteVerTree", {{"fileId", top}, {"treeOpVer", "-1"}, {"toRecycel", "true"}}).result, "ok");
    EXPECT_TRUE(Names("0").empty());
    EXPECT_EQ(Call("getItemInfo", {{"fileId", sub}}).result, "targetNotExist");
    // Gone already: the second delete is told so.
    EXPECT_EQ(Call("deleteExVirtual", {{"fileId", top}, {"toRecycel", "false"}}).result, "targetNotExist");
    std::string empty = NewFolder("0", "empty");
    EXPECT_EQ(Call("deleteExVirtual", {{"fileId", empty}, {"toRecycel", "false"}}).result, "ok");
    // The change feed of deletions lists all three, recycled or not.
    Answer feed = Call("syncDelFile", {{"opVer", "0"}, {"size", "100"}});
    ASSERT_EQ(feed.result, "ok");
    EXPECT_EQ(feed.children.size(), 3u);
}

TEST_F(EmulatorItems, AnotherUsersItemsAreDenied) {
    std::string mine = NewFolder("0", "private");
    std::string eve = emu.Login("eve", "eve");
    Fields base{{"token", eve}};
    EXPECT_EQ(emu.Post("/osvr/dir/", {{"token", eve}, {"fileId", mine}}).result, "permissionDenied");
    EXPECT_EQ(emu.Post("/osvr/getItemInfo/", {{"token", eve}, {"fileId", mine}}).result, "permissionDenied");
    EXPECT_EQ(emu.Post("/osvr/rename/", {{"token", eve}, {"fileId", mine}, {"name", "x"}}).result, "permissionDenied");
    EXPECT_EQ(emu.Post("/osvr/newFolder/", {{"token", eve}, {"parentId", mine}, {"name", "x"}}).result,
              "permissionDenied");
    EXPECT_EQ(emu.Post("/osvr/deleteExVirtual/", {{"token", eve}, {"fileId", mine}, {"toRecycel", "true"}}).result,
              "permissionDenied");
    EXPECT_EQ(Download(emu, eve, mine).failure, "requestDownload:permissionDenied");
    // Each account has its own root "0".
    EXPECT_TRUE(emu.Post("/osvr/dir/", {{"token", eve}, {"fileId", "0"}}).children.empty());
}

TEST_F(EmulatorItems, SetModTimeAndChangeFeed) {
    std::string f = NewFolder("0", "f");
    EXPECT_EQ(Call("setModTime", {{"fileId", f}, {"modTime", "2020-01-02 03:04:05"}}).result, "ok");
    EXPECT_EQ(Call("getItemInfo", {{"fileId", f}})["modTime"], "2020-01-02 03:04:05");
    EXPECT_EQ(Call("setModTime", {{"fileId", f}, {"modTime", ""}}).result, "clientBadParams");
    Answer all = Call("syncFile", {{"opVer", "0"}, {"size", "10"}});
    ASSERT_EQ(all.children.size(), 1u);
    std::string since = all["opVer"];
    NewFolder("0", "g");
    Answer changed = Call("syncFile", {{"opVer", since}, {"size", "10"}});
    ASSERT_EQ(changed.children.size(), 1u);
    EXPECT_EQ(changed.children[0].at("name"), "g");
    EXPECT_EQ(Call("syncFile", {{"opVer", "x"}, {"size", "10"}}).result, "clientBadParams");
    // The client passes its caller's page size through: 0 and huge sizes are pages too.
    EXPECT_EQ(Call("syncFile", {{"opVer", "0"}, {"size", "0"}}).children.size(), 2u);
    EXPECT_EQ(Call("syncDelFile", {{"opVer", "0"}, {"size", "99999999"}}).result, "ok");
    EXPECT_EQ(Call("syncFile", {{"opVer", "0"}, {"size", "-1"}}).result, "clientBadParams");
}

TEST_F(EmulatorItems, SharingBetweenAccounts) {
    ASSERT_EQ(Upload(emu, token, "0", "shared.txt", "data").failure, "");
    std::string id = Call("dir", {{"fileId", "0"}}).children[0].at("fileId");
    Answer share = Call("asmShareFileWithJoinAllMsg", {{"fileId", id},
                                                       {"sharers", "eve"},
                                                       {"msg", ""},
                                                       {"writable", "true"},
                                                       {"sendMail", "false"},
                                                       {"mailContent", ""}});
    ASSERT_EQ(share.result, "ok");
    EXPECT_EQ(Call("asmShareFileWithJoinAllMsg", {{"fileId", id}, {"sharers", "ghost"}}).result, "targetNotExist");
    std::string eve = emu.Login("eve", "eve");
    Answer toMe = emu.Post("/osvr/asmGetAllSharedFiles/", {{"token", eve}, {"type", "toMe"}});
    ASSERT_EQ(toMe.children.size(), 1u);
    EXPECT_EQ(toMe.children[0].at("owner"), "demo");
    EXPECT_EQ(emu.Post("/osvr/asmGetSharedFileInfo/", {{"token", eve}, {"fileId", id}}).result, "ok");
    Answer shares = emu.Post("/osvr/syncShares/", {{"token", eve}, {"opVer", "0"}, {"size", "10"}});
    ASSERT_EQ(shares.children.size(), 1u);
    std::string shareId = shares.children[0].at("shareId");
    EXPECT_EQ(shareId, share.children.at(0).at("shareId"));
    Answer items =
        emu.Post("/osvr/syncShareFile/", {{"token", eve}, {"opVer", "0"}, {"shareId", shareId}, {"size", "10"}});
    ASSERT_EQ(items.children.size(), 1u);
    EXPECT_EQ(items.children[0].at("name"), "shared.txt");
    EXPECT_EQ(
        emu.Post("/osvr/syncShareFile/", {{"token", eve}, {"opVer", "0"}, {"shareId", "999"}, {"size", "1"}}).result,
        "targetNotExist");
    EXPECT_EQ(
        emu.Post("/osvr/asmUnshare/", {{"token", eve}, {"fileId", id}, {"sharers", ""}, {"sendMail", "false"}}).result,
        "ok");
    EXPECT_TRUE(emu.Post("/osvr/asmGetAllSharedFiles/", {{"token", eve}, {"type", "toMe"}}).children.empty());
    EXPECT_EQ(emu.Post("/osvr/asmGetSharedFileInfo/", {{"token", eve}, {"fileId", id}}).result, "permissionDenied");
}
