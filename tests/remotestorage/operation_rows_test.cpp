// Each operation's row as the transport sees it: time limit, whether the
// caller's callback is installed, the trace scope it opens, and what its three
// pipeline flags make of a time-out and of a "serverBusy" answer. A scripted
// transport stands in for the network so every limit is observed exactly.
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "rs_fixture.h"
#include "rs_objects.h"

namespace rstest {
namespace {

struct TransportCall {
    std::string kind;  // "GET", "POST" or "FILE"
    std::string url;
    int32_t timeLimit = -1;
    bool callback = false;
};

// What every scripted transport answers, and what it saw.
HRESULT g_scriptResult = S_OK;
std::string g_scriptAnswer;
std::vector<TransportCall> g_calls;

class ScriptedTransport final : public ITransport {
public:
    uint32_t AddRef() override { return ++m_ref; }
    uint32_t Release() override {
        const uint32_t left = --m_ref;
        if (left == 0) delete this;  // COM-style lifetime, as the real transport
        return left;
    }
    HRESULT SetCallback(ProgressCallback callback, void*) override {
        m_callback = callback != nullptr;
        return S_OK;
    }
    HRESULT Request(const std::string& url, const std::string&, const std::string* post,
                    std::optional<std::string>* response, int32_t timeLimit, int32_t) override {
        return Answer(post ? "POST" : "GET", url, response, timeLimit);
    }
    HRESULT DownloadFile(const std::string&, const std::string&, const std::string&, const std::string*,
                         int32_t) override {
        return E_NOTIMPL;
    }
    HRESULT PostMultiForm(const std::string&, const std::string&, const std::string&, const std::string&,
                          std::optional<std::string>*, int32_t) override {
        return E_NOTIMPL;
    }
    HRESULT PostFile(const std::string& url, const std::string&, const std::string&, int32_t,
                     std::optional<std::string>* response, int32_t timeLimit) override {
        return Answer("FILE", url, response, timeLimit);
    }
    HRESULT Cancel() override { return S_OK; }
    HRESULT SetSpeedLimit(int32_t, int32_t) override { return S_OK; }

    ~ScriptedTransport() override = default;

private:
    HRESULT Answer(std::string kind, const std::string& url, std::optional<std::string>* response, int32_t timeLimit) {
        g_calls.push_back({std::move(kind), url, timeLimit, m_callback});
        if (response != nullptr) {
            if (SUCCEEDED(g_scriptResult)) {
                *response = g_scriptAnswer;
            } else {
                response->reset();
            }
        }
        return g_scriptResult;
    }

    uint32_t m_ref = 1;
    bool m_callback = false;
};

HRESULT ScriptedFactory(ITransport** pp) {
    // The caller's reference owns the object from here; Release() ends it.
    *pp = std::make_unique<ScriptedTransport>().release();
    return S_OK;
}

HRESULT Progress(void*, double, double, double, double, double) { return S_OK; }

using Invoke = std::function<HRESULT(IRemoteStorage&, ProgressCallback, RecordTree&)>;

struct RowCase {
    const char* name;
    Invoke invoke;
    const char* trace;  // the scope's entry line without "CTraceStack In, "; null: no scope
    const char* kind;
    int32_t timeLimit;
    bool callback;
    HRESULT onOk;
    HRESULT onTimeout;
    bool timeoutItem;
    HRESULT onBusy;
};

void PrintTo(const RowCase& c, std::ostream* os) { *os << c.name; }

class RowTest : public RemoteStorageTest, public ::testing::WithParamInterface<RowCase> {
protected:
    void SetUp() override {
        RemoteStorageTest::SetUp();
        g_calls.clear();
    }
    HRESULT Run(HRESULT result, const std::string& answerText) {
        g_scriptResult = result;
        g_scriptAnswer = answerText;
        auto storage = MakeStorage();
        Impl(storage).SetTransportFactory(&ScriptedFactory);
        RecordTree answer;
        return GetParam().invoke(*storage, &Progress, answer);
    }
};

TEST_P(RowTest, MatchesItsRow) {
    const auto& c = GetParam();
    EXPECT_EQ(Run(S_OK, Answer("ok")), c.onOk);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].kind, c.kind);
    EXPECT_EQ(g_calls[0].timeLimit, c.timeLimit);
    EXPECT_EQ(g_calls[0].callback, c.callback);
    if (c.trace != nullptr) {
        EXPECT_TRUE(Logged('T', std::string("CTraceStack In, ") + c.trace)) << c.trace;
    } else {
        for (const auto& line : Log()) EXPECT_EQ(line.message.find("CTraceStack In, "), std::string::npos);
    }

    EXPECT_EQ(Run(E_OV_NETWORK_TIMEOUT, {}), c.onTimeout);
    const auto items = ItemsOf("time_out");
    ASSERT_EQ(items.size(), c.timeoutItem ? 1u : 0u);
    if (c.timeoutItem) {
        EXPECT_EQ(items[0].GetValue("operation"), g_calls.back().url);
    }

    EXPECT_EQ(Run(S_OK, Answer("serverBusy")), c.onBusy);
}

template <class T>
T Rec() {
    T rec;
    rec.strToken = "tok";
    rec.strId = "f1";
    return rec;
}

TaskData_Snapshot Feed() {
    auto rec = Rec<TaskData_Snapshot>();
    rec.strOpVersion = "5";
    rec.strSize = "100";
    rec.strShareId = "s9";
    return rec;
}

constexpr HRESULT NE = E_OV_NETWORK_ERROR;
constexpr HRESULT NT = E_OV_NETWORK_TIMEOUT;
constexpr HRESULT SE = E_OV_SERVER_ERROR;

const RowCase kRows[] = {
    {"Login",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree& a) {
         TaskData_Login rec;
         rec.strUser = "u";
         rec.strPassword = "pw";
         rec.strDeviceId = "d";
         rec.strClientName = "c";
         rec.strClientVersion = "v";
         return s.Login(rec, cb, nullptr, a);
     },
     "CRemoteStorage::Login() : User = u, DeviceId = d, ClientName = c, ClientVersion = v", "POST", 60, true, S_OK,
     NE, true, SE},
    {"ReLogin",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree& a) {
         return s.ReLogin(Rec<TaskData_ReLogin>(), cb, nullptr, a);
     },
     "CRemoteStorage::ReLogin() : ", "POST", 60, true, S_OK, NE, true, SE},
    {"Get189LoginReqValue",
     [](IRemoteStorage& s, ProgressCallback, RecordTree&) {
         std::string value;
         return s.Get189LoginReqValue(value);
     },
     "CRemoteStorage::Get189LoginReqValue() : ", "POST", 60, false, S_OK, NE, true, SE},
    {"TeleUdbLogin",
     [](IRemoteStorage& s, ProgressCallback, RecordTree& a) { return s.TeleUdbLogin(TaskData_TeleUdbLogin(), a); },
     "CRemoteStorage::TeleUdbLogin() : ", "POST", 60, false, S_OK, NE, true, SE},
    {"GetSpace",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree& a) {
         return s.GetSpace(Rec<TaskData_GetSpace>(), cb, nullptr, a);
     },
     "CRemoteStorage::GetSpace() : ", "POST", 5, true, S_OK, NE, true, SE},
    {"GetMaxVers",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree& a) {
         return s.GetMaxVers(Rec<TaskData_Dir>(), cb, nullptr, a);
     },
     "CRemoteStorage::GetMaxVers() : ", "POST", 0, true, S_OK, NE, true, SE},
    {"PushNotify",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree& a) {
         TaskData_PushNotify rec;
         rec.strUserId = "42";
         return s.PushNotify(rec, cb, nullptr, a);
     },
     "CRemoteStorage::PushNotify() : UserId = 42", "GET", 270, true, S_OK, NT, false, E_OV_SERVER_BUSY},
    {"GetNormalItemSnapshot",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree& a) {
         return s.GetNormalItemSnapshot(Feed(), cb, nullptr, a);
     },
     "CRemoteStorage::GetNormalItemSnapshot() : OpVersion = 5", "POST", 10, true, S_OK, NE, true, SE},
    {"GetDeletedItemSnapshot",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree& a) {
         return s.GetDeletedItemSnapshot(Feed(), cb, nullptr, a);
     },
     "CRemoteStorage::GetDeletedItemSnapshot() : OpVersion = 5", "POST", 60, true, S_OK, NE, true, SE},
    {"GetAllShareFile",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree& a) {
         return s.GetAllShareFile(Rec<TaskData_AllShareFile>(), cb, nullptr, a);
     },
     "CRemoteStorage::GetAllShareFile() : ", "POST", 60, true, S_OK, NE, true, SE},
    {"SyncSharers",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree& a) { return s.SyncSharers(Feed(), cb, nullptr, a); },
     "CRemoteStorage::SyncSharers() : ", "POST", 60, true, S_OK, NE, true, SE},
    {"GetNormalShareItems",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree& a) {
         return s.GetNormalShareItems(Feed(), cb, nullptr, a);
     },
     "CRemoteStorage::GetNormalShareItems() : ", "POST", 10, true, S_OK, NE, true, SE},
    {"GetDeletedShareItems",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree& a) {
         return s.GetDeletedShareItems(Feed(), cb, nullptr, a);
     },
     "CRemoteStorage::GetDeletedShareItems() : ", "POST", 10, true, S_OK, NE, true, SE},
    {"Dir",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree& a) {
         auto rec = Rec<TaskData_Dir>();
         rec.strDirId = "d7";
         return s.Dir(rec, cb, nullptr, a);
     },
     "CRemoteStorage::Dir() : Id = d7", "POST", 60, true, S_OK, NE, true, SE},
    {"Delete",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree&) {
         return s.Delete(Rec<TaskData_GetItemInfo>(), cb, nullptr);
     },
     "CRemoteStorage::Delete() : Id = f1", "POST", 60, true, S_OK, NE, true, SE},
    {"DeleteEx",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree&) {
         return s.DeleteEx(Rec<TaskData_DeleteEx>(), cb, nullptr);
     },
     "CRemoteStorage::Delete() : Id = f1", "POST", 60, true, S_OK, NE, true, SE},
    {"DeleteVerTree",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree&) {
         return s.DeleteVerTree(Rec<TaskData_DeleteEx>(), cb, nullptr);
     },
     "CRemoteStorage::DeleteVerTree() : Id = f1, TreeVer = -1", "POST", 60, false, S_OK, NE, true, SE},
    {"Rename",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree&) {
         auto rec = Rec<TaskData_Rename>();
         rec.strNewName = "n";
         return s.Rename(rec, cb, nullptr);
     },
     "ORVEL_Rename() : Id = f1, NewName = n", "POST", 60, false, S_OK, NE, true, SE},
    {"Move",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree&) {
         auto rec = Rec<TaskData_Move>();
         rec.strParentId = "p2";
         rec.strName = "nm";
         return s.Move(rec, cb, nullptr);
     },
     "CRemoteStorage::Move() : Id = f1, ParentId = p2, Name = nm", "POST", 60, true, S_OK, NE, true, SE},
    {"NewFolder",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree& a) {
         TaskData_DirectoryAdd rec("x\\Docs");
         rec.strToken = "tok";
         rec.strParentId = "p2";
         return s.NewFolder(rec, cb, nullptr, a);
     },
     "CRemoteStorage::NewFolder() : ParentId = p2, Name = Docs", "POST", 60, true, S_OK, NE, true, SE},
    {"GetItemInfo",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree& a) {
         return s.GetItemInfo(Rec<TaskData_GetItemInfo>(), cb, nullptr, a);
     },
     "CRemoteStorage::GetItemInfo() : Id = f1", "POST", 60, true, S_OK, NE, true, SE},
    // The sharing calls hand the caller's limit on and judge nothing in the answer.
    {"ShareFile",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree&) {
         std::string text;
         return s.ShareFile("tok", "f1", "x", true, false, "", cb, nullptr, 7, text);
     },
     "CRemoteStorage::ShareFile() : Id = f1", "POST", 7, true, S_OK, NT, false, S_OK},
    {"ShareCancel",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree&) {
         std::string text;
         return s.ShareCancel("tok", "f1", "x", false, cb, nullptr, 8, text);
     },
     "CRemoteStorage::ShareCancel() : Id = f1", "POST", 8, true, S_OK, NT, false, S_OK},
    {"RegistAndShare",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree&) {
         std::string text;
         return s.RegistAndShare("tok", "f1", "x", true, true, "m", cb, nullptr, 9, text);
     },
     "CRemoteStorage::RegistAndShare() : Id = f1", "POST", 9, true, S_OK, NT, false, S_OK},
    {"GetSharedFileInfo",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree&) {
         std::string text;
         return s.GetSharedFileInfo("tok", "f1", cb, nullptr, 11, text);
     },
     "CRemoteStorage::GetSharedFileInfo() : Id = f1", "POST", 11, true, S_OK, NT, false, S_OK},
    {"ExitShare",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree& a) {
         return s.ExitShare(Rec<TaskData_GetItemInfo>(), cb, nullptr, a);
     },
     "CRemoteStorage::ExitShare() : Id = f1", "POST", 60, true, S_OK, NE, true, SE},
    {"SetFileModTime",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree& a) {
         auto rec = Rec<TaskData_SetModTime>();
         rec.strMTime = "m";
         return s.SetFileModTime(rec, cb, nullptr, a);
     },
     "CRemoteStorage::SetFileModTime() : Id = f1", "POST", 60, true, S_OK, NE, true, SE},
    {"SetUserProp",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree& a) {
         return s.SetUserProp("tok", "k", "v", cb, nullptr, a);
     },
     "CRemoteStorage::SetUserProp() : szKey = k, szValue = v", "POST", 60, true, S_OK, NE, true, SE},
    {"GetUserProp",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree& a) { return s.GetUserProp("tok", "k", cb, nullptr, a); },
     "CRemoteStorage::GetUserProp() : szKey = k", "POST", 60, true, S_OK, NE, true, SE},
    {"SubmitServerCommandData",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree& a) {
         return s.SubmitServerCommandData("/c/", "d", cb, nullptr, a);
     },
     "CRemoteStorage::SubmitServerCommandData() : szData = d", "POST", 180, true, S_OK, NE, false, SE},
    // The command upload traces under the submit call's name and judges without folding.
    {"UploadServerCommandFileWithFile",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree& a) {
         return s.UploadServerCommandFile("f1", "bob", "/no/such/file", "http://h/u?", cb, nullptr, a, false);
     },
     "CRemoteStorage::SubmitServerCommandData() : szPath = /no/such/file", "FILE", 10800, true, S_OK, NT, false,
     E_OV_SERVER_BUSY},
    {"UploadServerCommandFileWithoutFile",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree& a) {
         return s.UploadServerCommandFile("f1", "bob", "", "http://h/u?", cb, nullptr, a, false);
     },
     "CRemoteStorage::SubmitServerCommandData() : szPath = ", "GET", 30, true, S_OK, NT, false, E_OV_SERVER_BUSY},
    {"GetInvideURL",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree& a) { return s.GetInvideURL("tok", "e", cb, nullptr, a); },
     "CRemoteStorage::GetInvideURL() : ", "POST", 3, true, S_OK, NE, false, SE},
    {"GetMessages",
     [](IRemoteStorage& s, ProgressCallback, RecordTree& a) { return s.GetMessages("1", "e", "v", a); }, nullptr,
     "POST", 12, false, S_OK, NT, false, S_OK},
    {"CheckProxyServer",
     [](IRemoteStorage& s, ProgressCallback, RecordTree&) { return s.CheckProxyServer(""); },
     "CRemoteStorage::CheckProxyServer() : ", "GET", 5, false, S_FALSE, NT, false, S_FALSE},
    {"ForkToken",
     [](IRemoteStorage& s, ProgressCallback, RecordTree& a) { return s.ForkToken("tok", "d", "c", a); },
     "CRemoteStorage::ForkToken() : ", "POST", 3, false, S_OK, NE, false, SE},
    {"QueryNetSpeedLimit",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree& a) { return s.QueryNetSpeedLimit("42", cb, nullptr, a); },
     "CRemoteStorage::QueryNetSpeedLimit() : ", "GET", 10, true, S_OK, NE, false, S_OK},
    {"HttpRequest",
     [](IRemoteStorage& s, ProgressCallback cb, RecordTree&) {
         std::string text;
         return s.HttpRequest("http://h/x", nullptr, cb, nullptr, text, 13);
     },
     "CRemoteStorage::HttpRequest() : szUri = http://h/x", "GET", 13, true, S_OK, NT, false, S_OK},
};

INSTANTIATE_TEST_SUITE_P(Operations, RowTest, ::testing::ValuesIn(kRows),
                         [](const auto& info) { return std::string(info.param.name); });

// Empty required inputs: each operation writes exactly its assertions, in
// order, and still sends its request.
struct EmptyCase {
    const char* name;
    std::function<HRESULT(IRemoteStorage&, RecordTree&)> invoke;
    std::vector<std::string> asserts;
};

void PrintTo(const EmptyCase& c, std::ostream* os) { *os << c.name; }

class EmptyInputTest : public RemoteStorageTest, public ::testing::WithParamInterface<EmptyCase> {};

TEST_P(EmptyInputTest, AssertsAndStillAsks) {
    g_calls.clear();
    g_scriptResult = S_OK;
    g_scriptAnswer = Answer("ok");
    auto storage = MakeStorage();
    Impl(storage).SetTransportFactory(&ScriptedFactory);
    RecordTree answer;
    GetParam().invoke(*storage, answer);
    EXPECT_EQ(g_calls.size(), 1u);
    std::vector<std::string> asserts;
    for (const auto& line : Log()) {
        if (line.message.starts_with("*ASSERT*: ")) asserts.push_back(line.message.substr(10));
    }
    EXPECT_EQ(asserts, GetParam().asserts);
}

const std::string kTok = "!IsStrEmpty(TaskData.strToken)";
const std::string kId = "!IsStrEmpty(TaskData.strId)";

const EmptyCase kEmpty[] = {
    {"Login",
     [](IRemoteStorage& s, RecordTree& a) { return s.Login({}, nullptr, nullptr, a); },
     {"!IsStrEmpty(TaskData.strUser)", "!IsStrEmpty(TaskData.strPassword)", "!IsStrEmpty(TaskData.strDeviceId)"}},
    {"ReLogin", [](IRemoteStorage& s, RecordTree& a) { return s.ReLogin({}, nullptr, nullptr, a); }, {kTok}},
    {"TeleUdbLogin", [](IRemoteStorage& s, RecordTree& a) { return s.TeleUdbLogin({}, a); }, {}},
    {"GetSpace", [](IRemoteStorage& s, RecordTree& a) { return s.GetSpace({}, nullptr, nullptr, a); }, {kTok}},
    {"GetMaxVers",
     [](IRemoteStorage& s, RecordTree& a) { return s.GetMaxVers(TaskData_Dir(), nullptr, nullptr, a); },
     {kTok}},
    {"PushNotify",
     [](IRemoteStorage& s, RecordTree& a) { return s.PushNotify({}, nullptr, nullptr, a); },
     {"!IsStrEmpty(TaskData.strUserId)"}},
    {"GetNormalItemSnapshot",
     [](IRemoteStorage& s, RecordTree& a) { return s.GetNormalItemSnapshot({}, nullptr, nullptr, a); },
     {kTok, "!IsStrEmpty(TaskData.strOpVersion)"}},
    {"GetDeletedItemSnapshot",
     [](IRemoteStorage& s, RecordTree& a) { return s.GetDeletedItemSnapshot({}, nullptr, nullptr, a); },
     {kTok, "!IsStrEmpty(TaskData.strOpVersion)"}},
    {"GetAllShareFile",
     [](IRemoteStorage& s, RecordTree& a) { return s.GetAllShareFile({}, nullptr, nullptr, a); },
     {kTok}},
    {"SyncSharers", [](IRemoteStorage& s, RecordTree& a) { return s.SyncSharers({}, nullptr, nullptr, a); }, {kTok}},
    {"GetNormalShareItems",
     [](IRemoteStorage& s, RecordTree& a) { return s.GetNormalShareItems({}, nullptr, nullptr, a); },
     {kTok}},
    {"GetDeletedShareItems",
     [](IRemoteStorage& s, RecordTree& a) { return s.GetDeletedShareItems({}, nullptr, nullptr, a); },
     {kTok}},
    {"Dir", [](IRemoteStorage& s, RecordTree& a) { return s.Dir({}, nullptr, nullptr, a); }, {kTok}},
    {"Delete",
     [](IRemoteStorage& s, RecordTree&) { return s.Delete(TaskData_GetItemInfo(), nullptr, nullptr); },
     {kTok, kId}},
    {"DeleteEx", [](IRemoteStorage& s, RecordTree&) { return s.DeleteEx({}, nullptr, nullptr); }, {kTok, kId}},
    {"DeleteVerTree",
     [](IRemoteStorage& s, RecordTree&) { return s.DeleteVerTree({}, nullptr, nullptr); },
     {kTok, kId}},
    {"Rename",
     [](IRemoteStorage& s, RecordTree&) { return s.Rename({}, nullptr, nullptr); },
     {kTok, kId, "!IsStrEmpty(TaskData.strNewName)"}},
    {"Move", [](IRemoteStorage& s, RecordTree&) { return s.Move({}, nullptr, nullptr); }, {kTok, kId}},
    {"NewFolder",
     [](IRemoteStorage& s, RecordTree& a) { return s.NewFolder(TaskData_DirectoryAdd(), nullptr, nullptr, a); },
     {kTok, "!IsStrEmpty(TaskData.strName)"}},
    {"GetItemInfo",
     [](IRemoteStorage& s, RecordTree& a) { return s.GetItemInfo({}, nullptr, nullptr, a); },
     {kTok, kId}},
    {"ShareFile",
     [](IRemoteStorage& s, RecordTree&) {
         std::string text;
         return s.ShareFile("", "", "", false, false, "", nullptr, nullptr, 5, text);
     },
     {"!IsStrEmpty(szToken)", "!IsStrEmpty(szFileId)"}},
    {"GetSharedFileInfo",
     [](IRemoteStorage& s, RecordTree&) {
         std::string text;
         return s.GetSharedFileInfo("", "", nullptr, nullptr, 5, text);
     },
     {"!IsStrEmpty(szToken)", "!IsStrEmpty(szFileId)"}},
    {"ExitShare",
     [](IRemoteStorage& s, RecordTree& a) { return s.ExitShare(TaskData_GetItemInfo(), nullptr, nullptr, a); },
     {kTok, kId}},
    {"SetFileModTime",
     [](IRemoteStorage& s, RecordTree& a) { return s.SetFileModTime({}, nullptr, nullptr, a); },
     {kTok, "!IsStrEmpty(TaskData.strMTime)", kId}},
    {"SetUserProp",
     [](IRemoteStorage& s, RecordTree& a) { return s.SetUserProp("", "", "", nullptr, nullptr, a); },
     {"!IsStrEmpty(szToken)", "!IsStrEmpty(szKey)", "!IsStrEmpty(szValue)"}},
    {"GetUserProp",
     [](IRemoteStorage& s, RecordTree& a) { return s.GetUserProp("", "", nullptr, nullptr, a); },
     {"!IsStrEmpty(szToken)", "!IsStrEmpty(szKey)"}},
    {"SubmitServerCommandData",
     [](IRemoteStorage& s, RecordTree& a) { return s.SubmitServerCommandData("/c/", "", nullptr, nullptr, a); },
     {"!IsStrEmpty(szData)"}},
    {"UploadServerCommandFile",
     [](IRemoteStorage& s, RecordTree& a) {
         return s.UploadServerCommandFile("", "", "", "http://h/u?", nullptr, nullptr, a, false);
     },
     {"!IsStrEmpty(szUser)"}},
    {"GetInvideURL", [](IRemoteStorage& s, RecordTree& a) { return s.GetInvideURL("", "", nullptr, nullptr, a); }, {}},
    {"ForkToken", [](IRemoteStorage& s, RecordTree& a) { return s.ForkToken("", "", "", a); }, {}},
    {"QueryNetSpeedLimit",
     [](IRemoteStorage& s, RecordTree& a) { return s.QueryNetSpeedLimit("", nullptr, nullptr, a); },
     {"!IsStrEmpty(szUserId)"}},
};

INSTANTIATE_TEST_SUITE_P(Operations, EmptyInputTest, ::testing::ValuesIn(kEmpty),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace rstest
