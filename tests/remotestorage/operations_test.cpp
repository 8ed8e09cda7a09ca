// Every operation's exact request: method, path with query, body bytes and
// header lines, and its result for a plain "ok" answer.
#include <fstream>
#include <functional>

#include "rs_fixture.h"
#include "rs_objects.h"

namespace rstest {
namespace {

using Invoke = std::function<HRESULT(IRemoteStorage&, RecordTree&)>;

struct WireCase {
    const char* name;
    Invoke invoke;
    const char* method;
    const char* target;
    std::string body;
    const char* version = "2";
    bool gzip = false;
    HRESULT onOk = S_OK;
    uint32_t isent = 0;
    // A raw file upload replaces the header lines with its own fixed list.
    bool headerLines = true;
};

void PrintTo(const WireCase& c, std::ostream* os) { *os << c.name; }

std::string Xml(const std::string& inner) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\" ?><Orvel>" + inner + "</Orvel>";
}

template <class T>
T WithToken() {
    T rec;
    rec.strToken = "tok";
    rec.strId = "f1";
    return rec;
}

TaskData_Snapshot Feed() {
    auto rec = WithToken<TaskData_Snapshot>();
    rec.strOpVersion = "5";
    rec.strSize = "100";
    rec.strShareId = "s9";
    return rec;
}

std::string CommandFile() { return RemoteStorageTest::tempDir + "/command.bin"; }

class WireTest : public RemoteStorageTest, public ::testing::WithParamInterface<WireCase> {};

TEST_P(WireTest, SendsTheExactRequest) {
    const auto& c = GetParam();
    SetIsEnt(c.isent);
    std::ofstream(CommandFile(), std::ios::binary | std::ios::trunc) << "file\x01body";
    auto storage = MakeStorage();
    RecordTree answer;
    EXPECT_EQ(c.invoke(*storage, answer), c.onOk);

    auto reqs = server->Requests();
    ASSERT_EQ(reqs.size(), 1u);
    const auto& r = reqs[0];
    EXPECT_EQ(r.method, c.method);
    EXPECT_EQ(r.target, c.target);
    EXPECT_EQ(r.body, c.body);
    EXPECT_EQ(r.HasLine(std::string("v:") + c.version), c.headerLines);
    EXPECT_EQ(r.HasLine("User-Agent:sdkrd-1%2e0%2e0%2e0"), c.headerLines);
    EXPECT_EQ(r.HasLine("cv:sdkrd-1%2e0%2e0%2e0"), c.headerLines);
    EXPECT_FALSE(r.HasHeader("Expect"));
    EXPECT_FALSE(r.HasHeader("Transfer-Encoding"));
    if (c.gzip) {
        EXPECT_TRUE(r.HasLine("Accept-Encoding:gzip"));
    } else {
        EXPECT_FALSE(r.HasHeader("Accept-Encoding"));
    }
}

std::string CommandUrlArg() { return "http://" + RemoteStorageTest::server->Root() + "/cmdfile?"; }

const WireCase kCases[] = {
    {"Login",
     [](IRemoteStorage& s, RecordTree& a) {
         TaskData_Login rec;
         rec.strUser = "u@x";
         rec.strPassword = "p&w";
         rec.strDeviceId = "dev";
         rec.strClientName = "cn";
         rec.strClientVersion = "1.0";
         return s.Login(rec, nullptr, nullptr, a);
     },
     "POST", "/osvr/login/",
     Xml("<user>u@x</user><password>p&amp;w</password><deviceId>dev</deviceId><clientName>cn</clientName>"
         "<clientVersion>1.0</clientVersion>")},
    {"ReLogin",
     [](IRemoteStorage& s, RecordTree& a) {
         auto rec = WithToken<TaskData_ReLogin>();
         rec.strDeviceId = "dev";
         return s.ReLogin(rec, nullptr, nullptr, a);
     },
     "POST", "/osvr/reLogin/", Xml("<token>tok</token><deviceId>dev</deviceId>")},
    {"Get189LoginReqValue",
     [](IRemoteStorage& s, RecordTree&) {
         std::string value;
         return s.Get189LoginReqValue(value);
     },
     "POST", "/osvr/getUDBLoginRequestValue/",
     Xml("<clientType>pc</clientType><returnURL>http://127.0.0.1:18750/osvr/udbLoginReturn/</returnURL>")},
    {"TeleUdbLogin",
     [](IRemoteStorage& s, RecordTree& a) {
         TaskData_TeleUdbLogin rec;
         rec.strPlrValue = "plr";
         rec.strDeviceId = "dev";
         rec.strClientName = "cn";
         rec.strClientVersion = "1.0";
         return s.TeleUdbLogin(rec, a);
     },
     "POST", "/osvr/lazyTeleudbLogin/",
     Xml("<plrValue>plr</plrValue><clientType>pc</clientType><deviceId>dev</deviceId><clientName>cn</clientName>"
         "<clientVersion>1.0</clientVersion>")},
    {"GetSpacePersonal",
     [](IRemoteStorage& s, RecordTree& a) {
         auto rec = WithToken<TaskData_GetSpace>();
         rec.strUid = "42";
         rec.strEmail = "a@b";
         return s.GetSpace(rec, nullptr, nullptr, a);
     },
     "POST", "/kmg/usertask/getuserspace/", "token=tok&uid=42&email=a@b"},
    {"GetSpaceEnterprise",
     [](IRemoteStorage& s, RecordTree& a) {
         auto rec = WithToken<TaskData_GetSpace>();
         rec.strUid = "42";
         rec.strEmail = "a@b";
         return s.GetSpace(rec, nullptr, nullptr, a);
     },
     "POST", "/osvr/getSpace/?isent=1", Xml("<token>tok</token>"), "2", false, S_OK, 1},
    {"GetMaxVers",
     [](IRemoteStorage& s, RecordTree& a) { return s.GetMaxVers(WithToken<TaskData_Dir>(), nullptr, nullptr, a); },
     "POST", "/osvr/getMaxVers/", Xml("<token>tok</token>")},
    {"PushNotify",
     [](IRemoteStorage& s, RecordTree& a) {
         TaskData_PushNotify rec;
         rec.strUserId = "42";
         return s.PushNotify(rec, nullptr, nullptr, a);
     },
     "GET", "/sync/get?uid=42", ""},
    {"GetNormalItemSnapshot",
     [](IRemoteStorage& s, RecordTree& a) { return s.GetNormalItemSnapshot(Feed(), nullptr, nullptr, a); }, "POST",
     "/osvr/syncFile/", Xml("<token>tok</token><opVer>5</opVer><size>100</size>"), "2", true},
    {"GetDeletedItemSnapshot",
     [](IRemoteStorage& s, RecordTree& a) { return s.GetDeletedItemSnapshot(Feed(), nullptr, nullptr, a); }, "POST",
     "/osvr/syncDelFile/", Xml("<token>tok</token><opVer>5</opVer><size>100</size>"), "2", true},
    {"GetAllShareFileToMe",
     [](IRemoteStorage& s, RecordTree& a) {
         auto rec = WithToken<TaskData_AllShareFile>();
         rec.nToMe = 1;
         return s.GetAllShareFile(rec, nullptr, nullptr, a);
     },
     "POST", "/osvr/asmGetAllSharedFiles/", Xml("<token>tok</token><type>toMe</type>"), "3", true},
    {"GetAllShareFileOut",
     [](IRemoteStorage& s, RecordTree& a) {
         return s.GetAllShareFile(WithToken<TaskData_AllShareFile>(), nullptr, nullptr, a);
     },
     "POST", "/osvr/asmGetAllSharedFiles/", Xml("<token>tok</token><type>out</type>"), "3", true},
    {"SyncSharers", [](IRemoteStorage& s, RecordTree& a) { return s.SyncSharers(Feed(), nullptr, nullptr, a); }, "POST",
     "/osvr/syncShares/", Xml("<token>tok</token><opVer>5</opVer><size>100</size>"), "2", true},
    {"GetNormalShareItems",
     [](IRemoteStorage& s, RecordTree& a) { return s.GetNormalShareItems(Feed(), nullptr, nullptr, a); }, "POST",
     "/osvr/syncShareFile/", Xml("<token>tok</token><opVer>5</opVer><shareId>s9</shareId><size>100</size>"), "2", true},
    {"GetDeletedShareItems",
     [](IRemoteStorage& s, RecordTree& a) { return s.GetDeletedShareItems(Feed(), nullptr, nullptr, a); }, "POST",
     "/osvr/syncShareDelFile/", Xml("<token>tok</token><opVer>5</opVer><shareId>s9</shareId><size>100</size>"), "2",
     true},
    {"Dir",
     [](IRemoteStorage& s, RecordTree& a) {
         auto rec = WithToken<TaskData_Dir>();
         rec.strDirId = "d7";
         return s.Dir(rec, nullptr, nullptr, a);
     },
     "POST", "/osvr/dir/", Xml("<token>tok</token><fileId>d7</fileId>")},
    {"Delete",
     [](IRemoteStorage& s, RecordTree&) { return s.Delete(WithToken<TaskData_GetItemInfo>(), nullptr, nullptr); },
     "POST", "/osvr/delete/", Xml("<token>tok</token><fileId>f1</fileId>")},
    {"DeleteExToRecycle",
     [](IRemoteStorage& s, RecordTree&) {
         auto rec = WithToken<TaskData_DeleteEx>();
         rec.bToRecycle = 1;
         return s.DeleteEx(rec, nullptr, nullptr);
     },
     "POST", "/osvr/deleteExVirtual/", Xml("<token>tok</token><fileId>f1</fileId><toRecycel>true</toRecycel>")},
    {"DeleteVerTree",
     [](IRemoteStorage& s, RecordTree&) { return s.DeleteVerTree(WithToken<TaskData_DeleteEx>(), nullptr, nullptr); },
     "POST", "/osvr/deleteVerTree/",
     Xml("<token>tok</token><fileId>f1</fileId><treeOpVer>-1</treeOpVer><toRecycel>false</toRecycel>")},
    {"Rename",
     [](IRemoteStorage& s, RecordTree&) {
         auto rec = WithToken<TaskData_Rename>();
         rec.strNewName = "new <name>";
         return s.Rename(rec, nullptr, nullptr);
     },
     "POST", "/osvr/rename/", Xml("<token>tok</token><fileId>f1</fileId><name>new &lt;name&gt;</name>")},
    {"Move",
     [](IRemoteStorage& s, RecordTree&) {
         auto rec = WithToken<TaskData_Move>();
         rec.strParentId = "p2";
         return s.Move(rec, nullptr, nullptr);
     },
     "POST", "/osvr/move/", Xml("<token>tok</token><fileId>f1</fileId><parentId>p2</parentId><name></name>")},
    {"NewFolder",
     [](IRemoteStorage& s, RecordTree& a) {
         TaskData_DirectoryAdd rec("a\\b\\Docs");
         rec.strToken = "tok";
         rec.strParentId = "p2";
         return s.NewFolder(rec, nullptr, nullptr, a);
     },
     "POST", "/osvr/newFolder/", Xml("<token>tok</token><parentId>p2</parentId><name>Docs</name>")},
    {"GetItemInfo",
     [](IRemoteStorage& s, RecordTree& a) {
         return s.GetItemInfo(WithToken<TaskData_GetItemInfo>(), nullptr, nullptr, a);
     },
     "POST", "/osvr/getItemInfo/", Xml("<token>tok</token><fileId>f1</fileId>")},
    {"ShareFile",
     [](IRemoteStorage& s, RecordTree&) {
         std::string text;
         return s.ShareFile("tok", "f1", "x@y", true, false, "hi", nullptr, nullptr, 5, text);
     },
     "POST", "/osvr/asmShareFileWithJoinAllMsg/",
     Xml("<token>tok</token><fileId>f1</fileId><sharers>x@y</sharers><msg></msg><writable>true</writable>"
         "<sendMail>false</sendMail><mailContent>hi</mailContent>")},
    {"ShareCancel",
     [](IRemoteStorage& s, RecordTree&) {
         std::string text;
         return s.ShareCancel("tok", "f1", "x@y", true, nullptr, nullptr, 5, text);
     },
     "POST", "/osvr/asmUnshare/",
     Xml("<token>tok</token><fileId>f1</fileId><sharers>x@y</sharers><sendMail></sendMail>")},
    {"RegistAndShare",
     [](IRemoteStorage& s, RecordTree&) {
         std::string text;
         return s.RegistAndShare("tok", "f1", "x@y", false, true, "m", nullptr, nullptr, 5, text);
     },
     "POST", "/osvr/asmShareToUnregUser/",
     Xml("<token>tok</token><fileId>f1</fileId><sharers>x@y</sharers><writable>false</writable>"
         "<sendMail>true</sendMail><mailContent>m</mailContent>")},
    {"GetSharedFileInfo",
     [](IRemoteStorage& s, RecordTree&) {
         std::string text;
         return s.GetSharedFileInfo("tok", "f1", nullptr, nullptr, 5, text);
     },
     "POST", "/osvr/asmGetSharedFileInfo/", Xml("<token>tok</token><fileId>f1</fileId>")},
    {"ExitShare",
     [](IRemoteStorage& s, RecordTree& a) {
         return s.ExitShare(WithToken<TaskData_GetItemInfo>(), nullptr, nullptr, a);
     },
     "POST", "/osvr/asmUnshare/",
     Xml("<token>tok</token><fileId>f1</fileId><sharers></sharers><sendMail>false</sendMail>")},
    {"SetFileModTime",
     [](IRemoteStorage& s, RecordTree& a) {
         auto rec = WithToken<TaskData_SetModTime>();
         rec.strMTime = "2011-05-03 09:05:03";
         return s.SetFileModTime(rec, nullptr, nullptr, a);
     },
     "POST", "/osvr/setModTime/", Xml("<token>tok</token><fileId>f1</fileId><modTime>2011-05-03 09:05:03</modTime>")},
    {"SetUserProp",
     [](IRemoteStorage& s, RecordTree& a) { return s.SetUserProp("tok", "k", "v", nullptr, nullptr, a); }, "POST",
     "/osvr/setProp/", Xml("<token>tok</token><key>k</key><value>v</value>")},
    {"GetUserProp", [](IRemoteStorage& s, RecordTree& a) { return s.GetUserProp("tok", "k", nullptr, nullptr, a); },
     "POST", "/osvr/getProp/", Xml("<token>tok</token><key>k</key>")},
    {"SubmitServerCommandData",
     [](IRemoteStorage& s, RecordTree& a) {
         return s.SubmitServerCommandData("/cmd/submit/", "raw <data>", nullptr, nullptr, a);
     },
     "POST", "/cmd/submit/", "raw <data>"},
    {"UploadServerCommandFileWithoutFile",
     [](IRemoteStorage& s, RecordTree& a) {
         return s.UploadServerCommandFile("", "bob", CommandFile(), CommandUrlArg(), nullptr, nullptr, a, false);
     },
     "GET", "/cmdfile?fileId=notFound&user=bob", ""},
    {"UploadServerCommandFileWithFile",
     [](IRemoteStorage& s, RecordTree& a) {
         return s.UploadServerCommandFile("f1", "bob", CommandFile(), CommandUrlArg(), nullptr, nullptr, a, false);
     },
     "POST", "/cmdfile?fileId=f1&user=bob", "file\x01body", "2", false, S_OK, 0, false},
    {"UploadServerCommandFileCommand",
     [](IRemoteStorage& s, RecordTree& a) {
         return s.UploadServerCommandFile("", "bob", CommandFile(), CommandUrlArg(), nullptr, nullptr, a, true);
     },
     "POST", "/cmdfile?type=cmd&un=bob", "file\x01body", "2", false, S_OK, 0, false},
    {"GetInvideURL", [](IRemoteStorage& s, RecordTree& a) { return s.GetInvideURL("tok", "a@b", nullptr, nullptr, a); },
     "POST", "/kmg/space/getchannel/", "token=tok&email=a@b"},
    {"GetMessages", [](IRemoteStorage& s, RecordTree& a) { return s.GetMessages("42", "a@b", "1.2", a); }, "POST",
     "/kmg/msg/getmsg/", "userid=42&email=a@b&version=1.2"},
    {"GetMessagesEnterprise", [](IRemoteStorage& s, RecordTree& a) { return s.GetMessages("42", "a@b", "1.2", a); },
     "POST", "/kmg/msg/getmsg/?isent=1", "userid=42&email=a@b&version=1.2", "2", false, S_OK, 1},
    {"CheckProxyServer", [](IRemoteStorage& s, RecordTree&) { return s.CheckProxyServer(""); }, "GET", "/osvr/", "",
     "2", false, S_FALSE},
    {"ForkToken", [](IRemoteStorage& s, RecordTree& a) { return s.ForkToken("tok", "dev", "cn", a); }, "POST",
     "/osvr/forkToken/", Xml("<token>tok</token><deviceId>dev</deviceId><clientName>cn</clientName>")},
    {"QueryNetSpeedLimit",
     [](IRemoteStorage& s, RecordTree& a) { return s.QueryNetSpeedLimit("42", nullptr, nullptr, a); }, "GET",
     "/getcinfo?uid=42", ""},
};

INSTANTIATE_TEST_SUITE_P(Operations, WireTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace rstest
