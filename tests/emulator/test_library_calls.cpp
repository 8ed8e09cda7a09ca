// Every operation of the library's remote-storage object against the
// emulator: the emulator takes each request exactly as the library writes it
// (paths, XML and form bodies, header lines, queries) and answers with the
// values and result codes the library reads.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/hresult.h"
#include "common/xml_helper.h"
#include "platform/registry.h"
#include "remotestorage/records.h"
#include "remotestorage/remote_storage.h"
#include "support/emulator_process.h"
#include "support/temp_env.h"

namespace {

using orvel::testsupport::EmulatorProcess;
using orvel::testsupport::ScopedEnv;
using orvel::testsupport::TempDir;

struct Release {
    void operator()(IRemoteStorage* p) const { p->Release(); }
};

class LibraryCalls : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = std::make_unique<TempDir>();
        s_emu = std::make_unique<EmulatorProcess>(ORVEL_EMULATOR_PATH);
        std::string error;
        ASSERT_TRUE(s_emu->Start({"--user", "alice:secret", "--user", "bob:secret"}, error)) << error;
        const std::string hp = s_emu->HostPort();
        orvel::testsupport::WriteFileBytes(s_dir->File("settings.ini"),
                                           "[Tavik]\nServerRoot=" + hp + "\nSvrCommandRoot=" + hp +
                                               "\nPushNotifyRoot=" + hp + "\nMessageServerRoot=" + hp +
                                               "\n[TavikShell]\nWebServerRoot=" + hp + "\n");
        orvel::testsupport::WriteFileBytes(s_dir->File("registry.reg"), "Windows Registry Editor Version 5.00\n");
        s_settings = std::make_unique<ScopedEnv>("ORVEL_SETTINGS_FILE", s_dir->File("settings.ini"));
        s_registry = std::make_unique<ScopedEnv>("ORVEL_REGISTRY_FILE", s_dir->File("registry.reg"));
    }
    static void TearDownTestSuite() {
        s_registry.reset();
        s_settings.reset();
        s_emu.reset();
        s_dir.reset();
    }

    void SetUp() override {
        IRemoteStorage* p = nullptr;
        ASSERT_EQ(CreateRemoteStorage(&p), S_OK);
        rs.reset(p);
    }

    // Signs in through the library; the answer's token ("" on failure).
    std::string SignIn(const char* user, std::string* userId = nullptr) {
        TaskData_Login login;
        login.strUser = user;
        login.strPassword = "secret";
        login.strDeviceId = "dev-1";
        login.strClientName = "tests";
        login.strClientVersion = "1.0.0.0";
        RecordTree answer;
        EXPECT_EQ(rs->Login(login, nullptr, nullptr, answer), S_OK);
        EXPECT_FALSE(answer.GetValue("nickName").empty());
        if (userId) *userId = answer.GetValue("userId");
        return answer.GetValue("token");
    }

    std::string NewFolder(const std::string& token, const std::string& parent, const std::string& name,
                          HRESULT expected = S_OK) {
        TaskData_DirectoryAdd add(name.c_str());
        add.strToken = token;
        add.strParentId = parent;
        RecordTree answer;
        EXPECT_EQ(rs->NewFolder(add, nullptr, nullptr, answer), expected) << name;
        return answer.GetValue("fileId");
    }

    static std::unique_ptr<TempDir> s_dir;
    static std::unique_ptr<EmulatorProcess> s_emu;
    static std::unique_ptr<ScopedEnv> s_settings, s_registry;
    std::unique_ptr<IRemoteStorage, Release> rs;
};

std::unique_ptr<TempDir> LibraryCalls::s_dir;
std::unique_ptr<EmulatorProcess> LibraryCalls::s_emu;
std::unique_ptr<ScopedEnv> LibraryCalls::s_settings, LibraryCalls::s_registry;

TEST_F(LibraryCalls, AccountAndSession) {
    std::string userId;
    const std::string token = SignIn("alice", &userId);
    ASSERT_FALSE(token.empty());
    EXPECT_FALSE(userId.empty());

    TaskData_Login wrong;
    wrong.strUser = "alice";
    wrong.strPassword = "nope";
    wrong.strDeviceId = "dev-1";
    RecordTree refused;
    EXPECT_EQ(rs->Login(wrong, nullptr, nullptr, refused), E_OV_ACCOUNT_NOT_MATCH);

    TaskData_ReLogin relogin;
    relogin.strToken = token;
    relogin.strDeviceId = "dev-1";
    RecordTree renewed;
    ASSERT_EQ(rs->ReLogin(relogin, nullptr, nullptr, renewed), S_OK);
    const std::string fresh = renewed.GetValue("token");
    EXPECT_FALSE(fresh.empty());

    RecordTree forked;
    EXPECT_EQ(rs->ForkToken(fresh, "dev-2", "other client", forked), S_OK);
    EXPECT_FALSE(forked.GetValue("token").empty());

    // Both forms of the space query: the web host's form body, then the XML one.
    TaskData_GetSpace space;
    space.strToken = fresh;
    space.strUid = userId;
    space.strEmail = "alice@example.com";
    ASSERT_TRUE(RegSetDword("isent", 0));
    RecordTree web;
    EXPECT_EQ(rs->GetSpace(space, nullptr, nullptr, web), S_OK);
    EXPECT_EQ(web.GetValue("used"), "0");
    EXPECT_FALSE(web.GetValue("total").empty());
    ASSERT_TRUE(RegSetDword("isent", 1));
    RecordTree xml;
    EXPECT_EQ(rs->GetSpace(space, nullptr, nullptr, xml), S_OK);
    EXPECT_EQ(xml.GetValue("total"), web.GetValue("total"));
    ASSERT_TRUE(RegSetDword("isent", 0));

    TaskData_GetItemInfo maxVers;  // any record with only the base fields
    maxVers.strToken = fresh;
    RecordTree vers;
    EXPECT_EQ(rs->GetMaxVers(maxVers, nullptr, nullptr, vers), S_OK);

    RecordTree set, got, missing;
    EXPECT_EQ(rs->SetUserProp(fresh, "theme", "dark & <bold>", nullptr, nullptr, set), S_OK);
    EXPECT_EQ(rs->GetUserProp(fresh, "theme", nullptr, nullptr, got), S_OK);
    EXPECT_EQ(got.GetValue("value"), "dark & <bold>");
    EXPECT_EQ(rs->GetUserProp(fresh, "never-set", nullptr, nullptr, missing), E_OV_TARGET_NOT_EXISTS);

    std::string value;
    ASSERT_EQ(rs->Get189LoginReqValue(value), S_OK);
    EXPECT_FALSE(value.empty());
    TaskData_TeleUdbLogin tele;
    tele.strPlrValue = value;
    tele.strDeviceId = "dev-3";
    tele.strClientName = "tests";
    tele.strClientVersion = "1.0.0.0";
    RecordTree teleAnswer;
    EXPECT_EQ(rs->TeleUdbLogin(tele, teleAnswer), S_OK);
    EXPECT_FALSE(teleAnswer.GetValue("token").empty());

    // A token that the service never handed out is a session failure, not folded.
    TaskData_GetItemInfo stale;  // any record with only the base fields
    stale.strToken = "0123456789abcdef";
    RecordTree staleAnswer;
    EXPECT_EQ(rs->GetMaxVers(stale, nullptr, nullptr, staleAnswer), E_OV_CLIENT_NO_LOGIN);
}

TEST_F(LibraryCalls, Items) {
    const std::string token = SignIn("alice");
    const std::string top = NewFolder(token, "0", "items-top");
    ASSERT_FALSE(top.empty());
    EXPECT_EQ(NewFolder(token, "0", "items-top", E_OV_TARGET_EXISTS), top);
    NewFolder(token, "987654321", "orphan", E_OV_PARENT_NOT_EXIST);
    const std::string inner = NewFolder(token, top, "inner");
    const std::string other = NewFolder(token, "0", "items-other");

    TaskData_Dir dir;
    dir.strToken = token;
    dir.strDirId = top;
    RecordTree listing;
    ASSERT_EQ(rs->Dir(dir, nullptr, nullptr, listing), S_OK);
    ASSERT_EQ(listing.Children.size(), 1u);
    EXPECT_EQ(listing.Children[0].GetValue("type"), "folder");
    EXPECT_EQ(listing.Children[0].GetValue("name"), "inner");
    EXPECT_EQ(listing.Children[0].GetValue("fileId"), inner);
    EXPECT_EQ(listing.Children[0].GetValue("parentId"), top);

    TaskData_Rename rename;
    rename.strToken = token;
    rename.strId = inner;
    rename.strNewName = "renamed";
    EXPECT_EQ(rs->Rename(rename, nullptr, nullptr), S_OK);

    TaskData_Move move;
    move.strToken = token;
    move.strId = inner;
    move.strParentId = other;
    move.strName = "moved";
    EXPECT_EQ(rs->Move(move, nullptr, nullptr), S_OK);

    TaskData_GetItemInfo info;
    info.strToken = token;
    info.strId = inner;
    RecordTree item;
    ASSERT_EQ(rs->GetItemInfo(info, nullptr, nullptr, item), S_OK);
    EXPECT_EQ(item.GetValue("fileName"), "moved");
    EXPECT_EQ(item.GetValue("parentId"), other);
    EXPECT_EQ(item.GetValue("fileId"), inner);

    TaskData_SetModTime modTime;
    modTime.strToken = token;
    modTime.strId = inner;
    modTime.strMTime = "2026-12-07 10:00:00";
    RecordTree touched;
    EXPECT_EQ(rs->SetFileModTime(modTime, nullptr, nullptr, touched), S_OK);
    EXPECT_EQ(touched.GetValue("modTime"), "2026-12-07 10:00:00");

    TaskData_DeleteEx del;
    del.strToken = token;
    del.strId = other;
    del.bToRecycle = 1;
    EXPECT_EQ(rs->DeleteEx(del, nullptr, nullptr), E_OV_FOLDER_NON_EMPTY);
    del.strId = inner;
    EXPECT_EQ(rs->DeleteEx(del, nullptr, nullptr), S_OK);
    EXPECT_EQ(rs->DeleteEx(del, nullptr, nullptr), E_OV_TARGET_NOT_EXISTS);

    TaskData_DeleteEx tree;
    tree.strToken = token;
    tree.strId = top;
    tree.nFolderVer = -1;
    EXPECT_EQ(rs->DeleteVerTree(tree, nullptr, nullptr), S_OK);

    TaskData_GetItemInfo plain;  // any record with only the base fields
    plain.strToken = token;
    plain.strId = other;
    EXPECT_EQ(rs->Delete(plain, nullptr, nullptr), S_OK);
    EXPECT_EQ(rs->Delete(plain, nullptr, nullptr), E_OV_TARGET_NOT_EXISTS);
}

TEST_F(LibraryCalls, FeedsAndSharing) {
    const std::string alice = SignIn("alice");
    const std::string bob = SignIn("bob");
    const std::string folder = NewFolder(alice, "0", "shared-folder");
    NewFolder(alice, folder, "below");

    TaskData_Snapshot feed;
    feed.strToken = alice;
    feed.strOpVersion = "0";
    feed.strSize = "100";
    RecordTree normal, deleted;
    EXPECT_EQ(rs->GetNormalItemSnapshot(feed, nullptr, nullptr, normal), S_OK);
    EXPECT_GE(normal.Children.size(), 2u);
    EXPECT_EQ(rs->GetDeletedItemSnapshot(feed, nullptr, nullptr, deleted), S_OK);

    std::string text;
    ASSERT_EQ(rs->ShareFile(alice, folder, "bob", true, false, "", nullptr, nullptr, 60, text), S_OK);
    RecordTree shared;
    ASSERT_EQ(FromXml(text, shared), S_OK);
    EXPECT_EQ(shared.GetAttr("result"), "ok");
    ASSERT_FALSE(shared.Children.empty());
    const std::string shareId = shared.Children[0].GetValue("shareId");
    ASSERT_FALSE(shareId.empty());

    ASSERT_EQ(rs->GetSharedFileInfo(bob, folder, nullptr, nullptr, 60, text), S_OK);
    EXPECT_NE(text.find("result=\"ok\""), std::string::npos) << text;

    TaskData_AllShareFile toMe, out;
    toMe.strToken = bob;
    toMe.nToMe = 1;
    out.strToken = alice;
    RecordTree toMeAnswer, outAnswer;
    EXPECT_EQ(rs->GetAllShareFile(toMe, nullptr, nullptr, toMeAnswer), S_OK);
    EXPECT_EQ(toMeAnswer.Children.size(), 1u);
    EXPECT_EQ(rs->GetAllShareFile(out, nullptr, nullptr, outAnswer), S_OK);
    EXPECT_EQ(outAnswer.Children.size(), 1u);

    TaskData_Snapshot shares;
    shares.strToken = bob;
    shares.strOpVersion = "0";
    shares.strSize = "0";
    RecordTree sharers;
    EXPECT_EQ(rs->SyncSharers(shares, nullptr, nullptr, sharers), S_OK);
    EXPECT_EQ(sharers.Children.size(), 1u);

    TaskData_Snapshot items = shares;
    items.strShareId = shareId;
    RecordTree shareItems, shareDeleted;
    EXPECT_EQ(rs->GetNormalShareItems(items, nullptr, nullptr, shareItems), S_OK);
    EXPECT_EQ(shareItems.Children.size(), 2u);
    EXPECT_EQ(rs->GetDeletedShareItems(items, nullptr, nullptr, shareDeleted), S_OK);

    ASSERT_EQ(
        rs->RegistAndShare(alice, folder, "someone@example.com", false, true, "hello", nullptr, nullptr, 60, text),
        S_OK);
    EXPECT_NE(text.find("result=\"ok\""), std::string::npos) << text;
    ASSERT_EQ(rs->ShareCancel(alice, folder, "someone@example.com", true, nullptr, nullptr, 60, text), S_OK);
    EXPECT_NE(text.find("result=\"ok\""), std::string::npos) << text;

    TaskData_GetItemInfo leave;  // any record with only the base fields
    leave.strToken = bob;
    leave.strId = folder;
    RecordTree left;
    EXPECT_EQ(rs->ExitShare(leave, nullptr, nullptr, left), S_OK);
    // Left already: the service's refusal comes back as text, the call succeeds.
    ASSERT_EQ(rs->GetSharedFileInfo(bob, folder, nullptr, nullptr, 60, text), S_OK);
    EXPECT_NE(text.find("result=\"permissionDenied\""), std::string::npos) << text;
}

TEST_F(LibraryCalls, AuxiliaryHosts) {
    std::string userId;
    const std::string token = SignIn("alice", &userId);

    TaskData_PushNotify push;
    push.strUserId = userId;
    RecordTree pushed;
    EXPECT_EQ(rs->PushNotify(push, nullptr, nullptr, pushed), S_OK);
    EXPECT_FALSE(pushed.GetValue("opVer").empty());

    RecordTree submitted;
    EXPECT_EQ(rs->SubmitServerCommandData("/cmd/report", "state=1&note=text", nullptr, nullptr, submitted), S_OK);
    EXPECT_EQ(submitted.GetValue("received"), "17");

    const std::string file = s_dir->File("command.bin");
    orvel::testsupport::WriteFileBytes(file, "twelve bytes");
    for (const std::string& url : {s_emu->Url("/cmdfile/?"), s_emu->Url("/cmdfile/")}) {
        RecordTree command, upload;
        EXPECT_EQ(rs->UploadServerCommandFile("", "alice", file, url, nullptr, nullptr, command, true), S_OK) << url;
        EXPECT_EQ(command.GetValue("received"), "12") << url;
        EXPECT_EQ(rs->UploadServerCommandFile("42", "alice", file, url, nullptr, nullptr, upload, false), S_OK) << url;
        EXPECT_EQ(upload.GetValue("received"), "12") << url;
    }
    RecordTree notFound;  // no file id: a plain GET
    EXPECT_EQ(
        rs->UploadServerCommandFile("", "alice", file, s_emu->Url("/cmdfile/?"), nullptr, nullptr, notFound, false),
        S_OK);

    RecordTree invite;
    EXPECT_EQ(rs->GetInvideURL(token, "friend@example.com", nullptr, nullptr, invite), S_OK);
    EXPECT_FALSE(invite.GetValue("url").empty());

    for (uint32_t isent : {0u, 1u}) {
        ASSERT_TRUE(RegSetDword("isent", isent));
        RecordTree messages;
        EXPECT_EQ(rs->GetMessages(userId, "alice@example.com", "7", messages), S_OK) << isent;
        EXPECT_EQ(messages.GetValue("version"), "7") << isent;
    }
    ASSERT_TRUE(RegSetDword("isent", 0));

    // The bare service path answers as the real service does behind a proxy.
    EXPECT_EQ(rs->CheckProxyServer(""), S_OK);

    RecordTree limits;
    EXPECT_EQ(rs->QueryNetSpeedLimit(userId, nullptr, nullptr, limits), S_OK);
    EXPECT_EQ(limits.GetValue("uploadLimit"), "0");
}

}  // namespace
