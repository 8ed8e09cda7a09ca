// What the operations make of the service's answers: normal failures, items
// filed, lines written, callbacks honoured or ignored.
#include <chrono>
#include <fstream>
#include <thread>

#include <zlib.h>

#include "rs_fixture.h"
#include "rs_objects.h"

namespace rstest {
namespace {

class ResultTest : public RemoteStorageTest {
protected:
    void Unreachable() {
        std::ofstream(tempDir + "/settings.ini", std::ios::trunc)
            << "[Tavik]\nServerRoot=" << ClosedRoot() << "\nPushNotifyRoot=" << ClosedRoot() << "\n";
    }
    bool AnyLineContains(const std::string& text) {
        for (const auto& line : Log()) {
            if (line.message.find(text) != std::string::npos) return true;
        }
        return false;
    }
};

TaskData_DeleteEx DeleteRecord() {
    TaskData_DeleteEx rec;
    rec.strToken = "tok";
    rec.strId = "f1";
    return rec;
}

TEST_F(ResultTest, LoginWithEmptyPasswordAssertsAndStillAsks) {
    server->AnswerXml(Answer("accountNotMatch"));
    auto storage = MakeStorage();
    TaskData_Login rec;
    rec.strUser = "u";
    rec.strDeviceId = "d";
    RecordTree answer;
    EXPECT_EQ(storage->Login(rec, nullptr, nullptr, answer), E_OV_ACCOUNT_NOT_MATCH);
    EXPECT_TRUE(Logged('E', "*ASSERT*: !IsStrEmpty(TaskData.strPassword)"));
    EXPECT_TRUE(Logged('W', "ERROR_CHECK_COM hr = 80041017: hr"));
    ASSERT_EQ(server->Requests().size(), 1u);
    EXPECT_NE(server->Requests()[0].body.find("<password></password>"), std::string::npos);
}

TEST_F(ResultTest, CredentialsNeverReachTheLog) {
    server->AnswerXml(Answer("ok", "<userId>1</userId>"));
    auto storage = MakeStorage();
    TaskData_Login rec;
    rec.strUser = "u";
    rec.strPassword = "secretpw";
    rec.strDeviceId = "d";
    RecordTree answer;
    ASSERT_EQ(storage->Login(rec, nullptr, nullptr, answer), S_OK);
    TaskData_Dir dir;
    dir.strToken = "tok123";
    ASSERT_EQ(storage->Dir(dir, nullptr, nullptr, answer), S_OK);
    EXPECT_TRUE(Logged('T',
                       "CTraceStack In, CRemoteStorage::Login() : User = u, DeviceId = d, ClientName = , "
                       "ClientVersion = "));
    EXPECT_FALSE(AnyLineContains("secretpw"));
    EXPECT_FALSE(AnyLineContains("tok123"));
}

TEST_F(ResultTest, Get189LoginReqValueSetsTheValueOnlyOnSuccess) {
    auto storage = MakeStorage();
    std::string value = "old";
    server->AnswerXml(Answer("ok", "<value>v=1&amp;x</value>"));
    EXPECT_EQ(storage->Get189LoginReqValue(value), S_OK);
    EXPECT_EQ(value, "v=1&x");
    server->AnswerXml(Answer("ok"));
    EXPECT_EQ(storage->Get189LoginReqValue(value), S_OK);
    EXPECT_EQ(value, "");
    value = "kept";
    server->AnswerXml(Answer("serverDeny"));
    EXPECT_EQ(storage->Get189LoginReqValue(value), E_OV_SERVER_ERROR);
    EXPECT_EQ(value, "kept");
}

TEST_F(ResultTest, GetUserPropTreatsAMissingPropertyAsNormal) {
    auto storage = MakeStorage();
    RecordTree answer;
    server->AnswerXml(Answer("targetNotExist"));
    EXPECT_EQ(storage->GetUserProp("tok", "k", nullptr, nullptr, answer), E_OV_TARGET_NOT_EXISTS);
    EXPECT_FALSE(AnyLineContains("ERROR_CHECK_BOOLEX:S_OK == hr"));
    EXPECT_FALSE(Logged('W', "ERROR_CHECK_COM hr = 8004101b: hr"));

    server->AnswerXml(Answer("clientTokenExpired"));
    RecordTree other;
    EXPECT_EQ(storage->GetUserProp("tok", "k", nullptr, nullptr, other), E_OV_CLIENT_TOKEN_EXPIRED);
    EXPECT_TRUE(Logged('W', "ERROR_CHECK_BOOLEX:S_OK == hr || E_OV_TARGET_NOT_EXISTS == hr"));
    EXPECT_FALSE(Logged('W', "ERROR_CHECK_COM hr = 80041014: hr"));
}

TEST_F(ResultTest, DeleteExOfAGoneItemOrFullFolderFilesNothing) {
    auto storage = MakeStorage();
    server->AnswerXml(Answer("targetNotExist"));
    EXPECT_EQ(storage->DeleteEx(DeleteRecord(), nullptr, nullptr), E_OV_TARGET_NOT_EXISTS);
    server->AnswerXml(Answer("folderNonEmpty"));
    EXPECT_EQ(storage->DeleteEx(DeleteRecord(), nullptr, nullptr), E_OV_FOLDER_NON_EMPTY);
    EXPECT_TRUE(ItemsOf("DeleteFailed").empty());
    EXPECT_FALSE(AnyLineContains("ERROR_CHECK_BOOLEX:S_OK == hr"));
}

TEST_F(ResultTest, DeleteExFailureFilesTheResultCode) {
    server->AnswerXml(Answer("permissionDenied"));
    auto storage = MakeStorage();
    EXPECT_EQ(storage->DeleteEx(DeleteRecord(), nullptr, nullptr), E_OV_SERVER_ERROR);
    EXPECT_TRUE(Logged('W',
                       "ERROR_CHECK_BOOLEX:S_OK == hr || E_OV_TARGET_NOT_EXISTS == hr || "
                       "E_OV_FOLDER_NON_EMPTY == hr"));
    auto items = ItemsOf("DeleteFailed");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].GetValue("Detail"), "permissionDenied");
}

TEST_F(ResultTest, DeleteExNetworkFailureFilesNetwork) {
    Unreachable();
    auto storage = MakeStorage();
    EXPECT_EQ(storage->DeleteEx(DeleteRecord(), nullptr, nullptr), E_OV_NETWORK_ERROR);
    auto items = ItemsOf("DeleteFailed");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].GetValue("Detail"), "Network");
}

TEST_F(ResultTest, NewFolderKeepsTheAnswerAndFilesOnlyRealFailures) {
    auto storage = MakeStorage();
    TaskData_DirectoryAdd rec("Docs");
    rec.strToken = "tok";
    rec.strParentId = "p";

    server->AnswerXml(Answer("targetExist", "<fileId>77</fileId>"));
    RecordTree answer;
    EXPECT_EQ(storage->NewFolder(rec, nullptr, nullptr, answer), E_OV_TARGET_EXISTS);
    EXPECT_EQ(answer.GetValue("fileId"), "77");
    server->AnswerXml(Answer("parentNotExist"));
    RecordTree gone;
    EXPECT_EQ(storage->NewFolder(rec, nullptr, nullptr, gone), E_OV_PARENT_NOT_EXIST);
    EXPECT_TRUE(ItemsOf("NewFolderFailed").empty());

    server->AnswerXml(Answer("serverBusy"));
    RecordTree busy;
    EXPECT_EQ(storage->NewFolder(rec, nullptr, nullptr, busy), E_OV_SERVER_ERROR);
    EXPECT_TRUE(Logged('W',
                       "ERROR_CHECK_BOOLEX:S_OK == hr || E_OV_TARGET_EXISTS == hr || "
                       "E_OV_PARENT_NOT_EXIST == hr"));
    auto items = ItemsOf("NewFolderFailed");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].GetValue("Detail"), "serverBusy");
}

struct FeedCase {
    const char* name;
    HRESULT (IRemoteStorage::*op)(const TaskData_Snapshot&, ProgressCallback, void*, RecordTree&);
    const char* item;
};

void PrintTo(const FeedCase& c, std::ostream* os) { *os << c.name; }

class FeedFailureTest : public ResultTest, public ::testing::WithParamInterface<FeedCase> {};

TEST_P(FeedFailureTest, FilesItsItemOnFailure) {
    auto storage = MakeStorage();
    TaskData_Snapshot rec;
    rec.strToken = "tok";
    rec.strOpVersion = "1";
    RecordTree ok;
    EXPECT_EQ(((*storage).*GetParam().op)(rec, nullptr, nullptr, ok), S_OK);
    EXPECT_TRUE(ItemsOf(GetParam().item).empty());

    Unreachable();
    RecordTree failed;
    EXPECT_EQ(((*storage).*GetParam().op)(rec, nullptr, nullptr, failed), E_OV_NETWORK_ERROR);
    EXPECT_TRUE(Logged('W', "ERROR_CHECK_COM hr = 80044005: hr"));
    EXPECT_EQ(ItemsOf(GetParam().item).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Feeds, FeedFailureTest,
    ::testing::Values(FeedCase{"Normal", &IRemoteStorage::GetNormalItemSnapshot, "SyncFileFailed"},
                      FeedCase{"Deleted", &IRemoteStorage::GetDeletedItemSnapshot, "SyncDeletesFileFailed"},
                      FeedCase{"Sharers", &IRemoteStorage::SyncSharers, "SyncSharesFailed"},
                      FeedCase{"ShareItems", &IRemoteStorage::GetNormalShareItems, "GetNormalShareItemFailed"},
                      FeedCase{"DeletedShareItems", &IRemoteStorage::GetDeletedShareItems, "GetDeleteShareItemFailed"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ResultTest, GetAllShareFileFilesItsItemOnFailure) {
    server->AnswerXml(Answer("serverDeny"));
    auto storage = MakeStorage();
    TaskData_AllShareFile rec;
    rec.strToken = "tok";
    RecordTree answer;
    EXPECT_EQ(storage->GetAllShareFile(rec, nullptr, nullptr, answer), E_OV_SERVER_ERROR);
    EXPECT_EQ(ItemsOf("GetAllShareFileFailed").size(), 1u);
}

std::string Gzip(const std::string& text) {
    z_stream zs{};
    deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&zs, text.size()) + 32, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    zs.avail_in = static_cast<uInt>(text.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

TEST_F(ResultTest, FeedAnswersArriveGzipped) {
    const std::string packed = Gzip(Answer("ok", "<n>3</n>"));
    server->SetResponder([packed](const Captured&) { return Reply{200, packed, "Content-Encoding: gzip\r\n"}; });
    auto storage = MakeStorage();
    TaskData_Snapshot rec;
    rec.strToken = "tok";
    rec.strOpVersion = "1";
    RecordTree answer;
    EXPECT_EQ(storage->GetNormalItemSnapshot(rec, nullptr, nullptr, answer), S_OK);
    EXPECT_EQ(answer.GetValue("n"), "3");
}

TEST_F(ResultTest, SharingAnswersOkForAnyNonEmptyAnswer) {
    server->AnswerXml(Answer("permissionDenied"));
    auto storage = MakeStorage();
    std::string text;
    EXPECT_EQ(storage->GetSharedFileInfo("tok", "f1", nullptr, nullptr, 5, text), S_OK);
    EXPECT_EQ(text, Answer("permissionDenied"));
    std::string shared;
    EXPECT_EQ(storage->ShareFile("tok", "f1", "x", true, false, "", nullptr, nullptr, 5, shared), S_OK);
    EXPECT_EQ(shared, Answer("permissionDenied"));

    std::string empty;
    EXPECT_EQ(storage->ShareCancel("", "", "x", false, nullptr, nullptr, 5, empty), S_OK);
    EXPECT_TRUE(Logged('E', "*ASSERT*: !IsStrEmpty(szToken)"));
    EXPECT_TRUE(Logged('E', "*ASSERT*: !IsStrEmpty(szFileId)"));
}

TEST_F(ResultTest, CheckProxyServerWantsTheVersionComplaint) {
    auto storage = MakeStorage();
    server->AnswerXml(Answer("MethodVersionNotMatch"));
    EXPECT_EQ(storage->CheckProxyServer(""), S_OK);
    server->AnswerXml(Answer("ok"));
    EXPECT_EQ(storage->CheckProxyServer(""), S_FALSE);
    server->AnswerXml("<html>proxy page");
    EXPECT_EQ(storage->CheckProxyServer(""), E_FAIL);
    EXPECT_TRUE(Logged('W', "ERROR_CHECK_BOOL:S_OK == hr && L\"CRemoteStorage::_HttpRequest() Process Xml Failed\""));
}

TEST_F(ResultTest, QueryNetSpeedLimitDoesNotCheckTheResult) {
    server->AnswerXml(Answer("serverBusy", "<up>10</up>"));
    auto storage = MakeStorage();
    RecordTree answer;
    EXPECT_EQ(storage->QueryNetSpeedLimit("42", nullptr, nullptr, answer), S_OK);
    EXPECT_EQ(answer.GetValue("up"), "10");
}

TEST_F(ResultTest, PushNotifyIsNotFoldedAndWritesItsOwnLine) {
    Unreachable();
    auto storage = MakeStorage();
    TaskData_PushNotify rec;
    RecordTree answer;
    EXPECT_EQ(storage->PushNotify(rec, nullptr, nullptr, answer), E_OV_NETWORK_UNREACHABLE);
    EXPECT_TRUE(Logged('E', "*ASSERT*: !IsStrEmpty(TaskData.strUserId)"));
    EXPECT_TRUE(Logged('T', "CHECK_COM2:hr hr = 80044002, MSG: CRemoteStorage::PushNotify Failed!"));
    EXPECT_FALSE(Logged('W', "ERROR_CHECK_COM hr = 80044002: hr"));
}

TEST_F(ResultTest, UploadServerCommandFileJudgesWithoutFolding) {
    auto storage = MakeStorage();
    const std::string url = "http://" + server->Root() + "/cmdfile?";
    RecordTree a1, a2, a3;
    server->AnswerXml(Answer("serverBusy"));
    EXPECT_EQ(storage->UploadServerCommandFile("", "bob", "", url, nullptr, nullptr, a1, false), E_OV_SERVER_BUSY);
    server->AnswerXml("<answer/>");
    EXPECT_EQ(storage->UploadServerCommandFile("", "bob", "", url, nullptr, nullptr, a2, false), E_OV_SERVER_ERROR);
    EXPECT_TRUE(Logged('W', "ERROR_CHECK_BOOLEX:!IsStrEmpty(strResultCode)"));
    server->AnswerXml("not xml");
    EXPECT_EQ(storage->UploadServerCommandFile("", "bob", "", url, nullptr, nullptr, a3, false), E_FAIL);
    EXPECT_TRUE(Logged('W', "ERROR_CHECK_BOOL:S_OK == hr && L\"CRemoteStorage::_UploadFile() Process XML Failed\""));
    EXPECT_TRUE(Items().empty());
}

TEST_F(ResultTest, UploadServerCommandFileTransportFailureLine) {
    auto storage = MakeStorage();
    RecordTree answer;
    EXPECT_EQ(
        storage->UploadServerCommandFile("", "", "", "http://" + ClosedRoot() + "/x?", nullptr, nullptr, answer, false),
        E_OV_NETWORK_UNREACHABLE);
    EXPECT_TRUE(Logged('E', "*ASSERT*: !IsStrEmpty(szUser)"));
    EXPECT_TRUE(Logged('E',
                       "ERROR_CHECK_COM: hr = 80044002 MSG: CRemoteStorage::_UploadFile() Call "
                       "CTransport::Upload() Failed"));
}

TEST_F(ResultTest, RequiredInputsOnlyAssert) {
    auto storage = MakeStorage();
    TaskData_Move rec;
    EXPECT_EQ(storage->Move(rec, nullptr, nullptr), S_OK);
    EXPECT_TRUE(Logged('E', "*ASSERT*: !IsStrEmpty(TaskData.strToken)"));
    EXPECT_TRUE(Logged('E', "*ASSERT*: !IsStrEmpty(TaskData.strId)"));
    TaskData_SetModTime mod;
    RecordTree answer;
    EXPECT_EQ(storage->SetFileModTime(mod, nullptr, nullptr, answer), S_OK);
    EXPECT_TRUE(Logged('E', "*ASSERT*: !IsStrEmpty(TaskData.strMTime)"));
    EXPECT_EQ(server->Requests().size(), 2u);
}

TEST_F(ResultTest, RenameTracesUnderTheExportsName) {
    auto storage = MakeStorage();
    TaskData_Rename rec;
    rec.strToken = "tok";
    rec.strId = "f1";
    rec.strNewName = "n";
    EXPECT_EQ(storage->Rename(rec, nullptr, nullptr), S_OK);
    EXPECT_TRUE(Logged('T', "CTraceStack In, ORVEL_Rename() : Id = f1, NewName = n"));
}

HRESULT StopAtOnce(void*, double, double, double, double, double) { return E_FAIL; }

TEST_F(ResultTest, RenameIgnoresTheCallbackWhileMoveHonoursIt) {
    server->SetResponder([](const Captured&) { return Reply{200, Answer("ok"), "", 1200}; });
    auto storage = MakeStorage();
    TaskData_Rename rename;
    rename.strToken = "tok";
    rename.strId = "f1";
    rename.strNewName = "n";
    EXPECT_EQ(storage->Rename(rename, &StopAtOnce, nullptr), S_OK);
    TaskData_Move move;
    move.strToken = "tok";
    move.strId = "f1";
    EXPECT_EQ(storage->Move(move, &StopAtOnce, nullptr), E_OV_CANCELLED);
}

TEST_F(ResultTest, RecordsExecuteTheirOperation) {
    server->AnswerXml(Answer("ok", "<token>new</token>"));
    auto storage = MakeStorage();
    TaskData_ReLogin rec;
    rec.strToken = "tok";
    rec.strDeviceId = "d";
    RecordTree answer;
    EXPECT_EQ(rec.Execute(storage.get(), answer), S_OK);
    EXPECT_EQ(answer.GetValue("token"), "new");
    ASSERT_EQ(server->Requests().size(), 1u);
    EXPECT_EQ(server->Requests()[0].target, "/osvr/reLogin/");

    TaskData_Dir dir;
    RecordTree none;
    EXPECT_EQ(dir.Execute(nullptr, none), E_POINTER);
    EXPECT_TRUE(Logged('E', "*ASSERT*: storage"));
}

}  // namespace
}  // namespace rstest
