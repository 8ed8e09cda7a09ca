// Sign-in, space and item management against the emulator.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "test_util.h"

namespace {

class AccountTest : public EmulatorTest {};
class ItemTest : public EmulatorTest {};

// Names of a folder listing, sorted.
std::vector<std::string> ListNames(const Session& s, const std::string& folderId) {
    std::vector<std::string> names;
    ORVEL_FILELIST h = nullptr;
    EXPECT_EQ(ORVEL_EnumFiles(W(s.token).c_str(), W(folderId).c_str(), &h), S_OK);
    if (h == nullptr) return names;
    int count = 0;
    EXPECT_EQ(ORVEL_GetFilesNum(h, &count), S_OK);
    for (int i = 0; i < count; ++i) {
        Bstr name;
        EXPECT_EQ(ORVEL_GetFileName(h, static_cast<unsigned>(i), &name), S_OK);
        names.push_back(name.str());
    }
    EXPECT_EQ(ORVEL_DestoryFiles(h), S_OK);
    std::sort(names.begin(), names.end());
    return names;
}

bool Contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

TEST_F(AccountTest, LoginRenewAndSpace) {
    Bstr userId, token, nick;
    ASSERT_EQ(ORVEL_Login(u"alice", u"secret", u"dev-1", u"orvel-tests", u"1.0", &userId, &token, &nick), S_OK);
    EXPECT_FALSE(userId.str().empty());
    EXPECT_FALSE(token.str().empty());
    ASSERT_NE(nick.get(), nullptr);  // an allocated string even when the service sends none

    Bstr renewed;
    ASSERT_EQ(ORVEL_Relogin(token.get(), u"dev-1", &renewed), S_OK);
    EXPECT_FALSE(renewed.str().empty());

    int64_t used = -1, total = -1;
    ASSERT_EQ(ORVEL_GetSpace(renewed.get(), u"", userId.get(), &used, &total), S_OK);
    EXPECT_GE(used, 0);
    EXPECT_GT(total, 0);
    EXPECT_LE(used, total);
}

TEST_F(AccountTest, WrongPasswordLeavesOutParametersAlone) {
    BSTR userId = nullptr, token = nullptr, nick = nullptr;
    const HRESULT hr = ORVEL_Login(u"alice", u"wrong", u"dev", u"c", u"1", &userId, &token, &nick);
    EXPECT_LT(hr, 0);
    EXPECT_EQ(userId, nullptr);
    EXPECT_EQ(token, nullptr);
    EXPECT_EQ(nick, nullptr);
}

TEST_F(AccountTest, UnknownTokenIsRefused) {
    BSTR id = nullptr;
    EXPECT_EQ(ORVEL_NewFolder(u"not-a-token", u"0", u"x", &id), E_OV_CLIENT_NO_LOGIN);
    EXPECT_EQ(id, nullptr);
    ORVEL_FILELIST h = nullptr;
    EXPECT_EQ(ORVEL_EnumFiles(u"", u"0", &h), E_OV_CLIENT_NO_LOGIN);
    EXPECT_EQ(h, nullptr);
}

TEST_F(AccountTest, ExpiredTokenThenRenewal) {
    // A second service whose sessions last a minute, a minute its clock is moved past.
    EmulatorProcess shortLived(ORVEL_EMULATOR_PATH);
    std::string error;
    ASSERT_TRUE(shortLived.Start({"--user", "carol:pw", "--token-ttl", "60"}, error)) << error;
    TempDir folder;
    const std::string previous = std::getenv("ORVEL_SETTINGS_FILE");
    ::setenv("ORVEL_SETTINGS_FILE", shortLived.WriteSettingsFile(folder.Path()).c_str(), 1);

    Bstr userId, token, nick;
    ASSERT_EQ(ORVEL_Login(u"carol", u"pw", u"d", u"c", u"1", &userId, &token, &nick), S_OK);
    ASSERT_TRUE(shortLived.AdvanceClock(61));
    ORVEL_FILELIST h = nullptr;
    HRESULT hr = ORVEL_EnumFiles(token.get(), u"0", &h);
    EXPECT_EQ(hr, E_OV_CLIENT_TOKEN_EXPIRED);
    EXPECT_EQ(h, nullptr);
    BSTR id = nullptr;
    EXPECT_EQ(ORVEL_NewFolder(token.get(), u"0", u"x", &id), E_OV_CLIENT_TOKEN_EXPIRED);
    EXPECT_EQ(id, nullptr);
    Bstr renewed;
    EXPECT_EQ(ORVEL_Relogin(token.get(), u"d", &renewed), S_OK);
    EXPECT_NE(renewed.str(), token.str());

    ::setenv("ORVEL_SETTINGS_FILE", previous.c_str(), 1);
}

TEST_F(ItemTest, FolderTreeCreateRenameMoveDelete) {
    const Session s = SignIn();
    const std::string top = MakeFolder(s, "0", "tree-top");
    const std::string a = MakeFolder(s, top, "a");
    const std::string b = MakeFolder(s, top, "b");
    const std::string inner = MakeFolder(s, a, "inner \u00e9t\u00e9");  // non-ASCII survives the round trip
    EXPECT_EQ(ListNames(s, top), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(ListNames(s, a), (std::vector<std::string>{"inner \u00e9t\u00e9"}));

    const auto T = W(s.token);
    EXPECT_EQ(ORVEL_Rename(T.c_str(), W(inner).c_str(), u"renamed"), S_OK);
    EXPECT_EQ(ListNames(s, a), (std::vector<std::string>{"renamed"}));
    EXPECT_EQ(ORVEL_Move(T.c_str(), W(inner).c_str(), W(b).c_str()), S_OK);
    EXPECT_TRUE(ListNames(s, a).empty());
    EXPECT_EQ(ListNames(s, b), (std::vector<std::string>{"renamed"}));

    // A folder with content stays; empty ones go; a second delete finds nothing.
    EXPECT_EQ(ORVEL_Delete(T.c_str(), W(b).c_str()), E_OV_FOLDER_NON_EMPTY);
    EXPECT_EQ(ORVEL_Delete(T.c_str(), W(inner).c_str()), S_OK);
    EXPECT_EQ(ORVEL_Delete(T.c_str(), W(a).c_str()), S_OK);
    EXPECT_EQ(ORVEL_Delete(T.c_str(), W(b).c_str()), S_OK);
    EXPECT_TRUE(ListNames(s, top).empty());
    EXPECT_EQ(ORVEL_Delete(T.c_str(), W(a).c_str()), E_OV_TARGET_NOT_EXISTS);
    EXPECT_EQ(ORVEL_Delete(T.c_str(), W(top).c_str()), S_OK);
    EXPECT_FALSE(Contains(ListNames(s, "0"), "tree-top"));
}

TEST_F(ItemTest, NewFolderWithTakenNameReturnsTheExistingId) {
    const Session s = SignIn();
    const std::string first = MakeFolder(s, "0", "taken-name");
    Bstr again;
    EXPECT_EQ(ORVEL_NewFolder(W(s.token).c_str(), u"0", u"taken-name", &again), E_OV_TARGET_EXISTS);
    EXPECT_EQ(again.str(), first);
}

TEST_F(ItemTest, FailuresLeaveTheIdVariableAlone) {
    const Session s = SignIn();
    BSTR id = nullptr;
    EXPECT_EQ(ORVEL_NewFolder(W(s.token).c_str(), u"987654321", u"orphan", &id), E_OV_PARENT_NOT_EXIST);
    EXPECT_EQ(id, nullptr);
    EXPECT_LT(ORVEL_Rename(W(s.token).c_str(), u"987654321", u"x"), 0);
}

TEST_F(ItemTest, AnotherUsersItemsAreOutOfReach) {
    const Session alice = SignIn("alice", "secret");
    const Session bob = SignIn("bob", "hunter2");
    const std::string mine = MakeFolder(alice, "0", "alice-private");
    const auto B = W(bob.token);
    EXPECT_LT(ORVEL_Rename(B.c_str(), W(mine).c_str(), u"stolen"), 0);
    EXPECT_LT(ORVEL_Move(B.c_str(), W(mine).c_str(), u"0"), 0);
    EXPECT_LT(ORVEL_Delete(B.c_str(), W(mine).c_str()), 0);
    BSTR id = nullptr;
    EXPECT_LT(ORVEL_NewFolder(B.c_str(), W(mine).c_str(), u"intruder", &id), 0);
    EXPECT_EQ(id, nullptr);
    ORVEL_FILELIST h = nullptr;
    EXPECT_LT(ORVEL_EnumFiles(B.c_str(), W(mine).c_str(), &h), 0);
    EXPECT_EQ(h, nullptr);
    EXPECT_TRUE(Contains(ListNames(alice, "0"), "alice-private"));
    EXPECT_FALSE(Contains(ListNames(bob, "0"), "alice-private"));
}

}  // namespace
