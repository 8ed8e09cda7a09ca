// The shared pipeline: result check, folding, information items, failure lines,
// object lifetime and the raw request of slot 41.
#include <chrono>
#include <fstream>
#include <thread>

#include "common/results.h"
#include "httpclient/network_error.h"
#include "httpclient/retry_policy.h"
#include "infocollection/info_collection.h"
#include "remotestorage/http_call.h"
#include "rs_fixture.h"
#include "rs_objects.h"
#include "support/retry_wait_scale.h"

namespace rstest {
namespace {

using Flags = CRemoteStorage::CallFlags;

class PipelineTest : public RemoteStorageTest {
protected:
    HRESULT Call(Flags flags, RecordTree& answer, int32_t timeoutSec = 10, bool get = false,
                 ProgressCallback cb = nullptr) {
        auto storage = MakeStorage();
        std::string header;
        BuildRequestHeaders(header, false, "2");
        const std::string body = "<?xml version=\"1.0\" encoding=\"utf-8\" ?><Orvel><token>t</token></Orvel>";
        return Impl(storage)._HttpRequest(cb, nullptr, header, Url(), get ? nullptr : &body, answer, timeoutSec, flags);
    }
    std::string Url() const { return ServiceUrl("/osvr/test/"); }
};

struct JudgeCase {
    const char* name;
    std::string answer;
    Flags flags;
    HRESULT expected;
    const char* dynamicCode;  // null: no "dynamic" item
};

void PrintTo(const JudgeCase& c, std::ostream* os) { *os << c.name; }

class JudgeTest : public PipelineTest, public ::testing::WithParamInterface<JudgeCase> {};

TEST_P(JudgeTest, MapsTheAnswer) {
    const auto& c = GetParam();
    server->AnswerXml(c.answer);
    RecordTree answer;
    EXPECT_EQ(Call(c.flags, answer), c.expected);
    auto items = ItemsOf("dynamic");
    if (c.dynamicCode == nullptr) {
        EXPECT_TRUE(items.empty());
    } else {
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0].GetValue("url"), Url());
        EXPECT_EQ(items[0].GetValue("errorcode"), c.dynamicCode);
    }
}

const std::string kLongNoResult = "<answer><result>ok</result><pad>" + std::string(200, 'x') + "</pad></answer>";

INSTANTIATE_TEST_SUITE_P(
    Answers, JudgeTest,
    ::testing::Values(
        JudgeCase{"Ok", Answer("ok"), {true, true, true}, S_OK, nullptr},
        JudgeCase{
            "SessionNotFolded", Answer("clientTokenExpired"), {true, true, true}, E_OV_CLIENT_TOKEN_EXPIRED, nullptr},
        JudgeCase{"BusyFolded", Answer("serverBusy"), {true, true, true}, E_OV_SERVER_ERROR, nullptr},
        JudgeCase{"BusyUnfolded", Answer("serverBusy"), {true, false, true}, E_OV_SERVER_BUSY, nullptr},
        JudgeCase{"UnknownUnfolded", Answer("weird"), {true, false, true}, E_OV_UNKNOWN_SERVER_ERROR, "weird"},
        JudgeCase{"UnknownFolded", Answer("weird"), {true, true, true}, E_OV_SERVER_ERROR, "weird"},
        JudgeCase{"OtherCaseIsUnknown", Answer("OK"), {true, false, true}, E_OV_UNKNOWN_SERVER_ERROR, "OK"},
        JudgeCase{"ServerErrorCode", Answer("serverError"), {true, true, true}, E_OV_SERVER_ERROR, "serverError"},
        JudgeCase{"NotXml", "this is not xml", {true, true, true}, E_FAIL, nullptr},
        JudgeCase{"CheckOff", Answer("serverBusy"), {true, true, false}, S_OK, nullptr},
        JudgeCase{"ConflictKept", Answer("targetExist"), {true, true, true}, E_OV_TARGET_EXISTS, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PipelineTest, AnswerIsParsedIntoTheCallersTree) {
    server->AnswerXml(Answer("ok", "<fileId>7</fileId>"));
    RecordTree answer;
    ASSERT_EQ(Call({true, true, true}, answer), S_OK);
    EXPECT_EQ(answer.Key, "answer");
    EXPECT_EQ(answer.GetAttr("result"), "ok");
    ASSERT_EQ(answer.ValueCount(), 1u);
    EXPECT_EQ(answer[0].Key, "fileId");
    EXPECT_EQ(answer[0].Value, "7");
}

TEST_F(PipelineTest, TraceShowsTheUrlAndTheBodyWithoutItsToken) {
    RecordTree post, get;
    ASSERT_EQ(Call({true, true, true}, post), S_OK);
    EXPECT_TRUE(Logged('T', "CTraceStack In, CRemoteStorage::_HttpRequest() : szUri = " + Url() +
                                ", szParams = <?xml version=\"1.0\" encoding=\"utf-8\" ?><Orvel></Orvel>"));
    ASSERT_EQ(Call({true, true, true}, get, 10, true), S_OK);
    EXPECT_TRUE(
        Logged('T', "CTraceStack In, CRemoteStorage::_HttpRequest() : szUri = " + Url() + ", szParams = (null)"));
}

TEST_F(PipelineTest, FailedAnswerStaysInTheTree) {
    server->AnswerXml(Answer("targetExist", "<fileId>9</fileId>"));
    RecordTree answer;
    EXPECT_EQ(Call({true, true, true}, answer), E_OV_TARGET_EXISTS);
    EXPECT_EQ(answer.GetValue("fileId"), "9");
    EXPECT_TRUE(Logged('E', "ERROR_CHECK_COM: hr = 8004101a :L\"CRemoteStorage::_HttpRequest() Failed, URL = " + Url() +
                                ", ResultCode = 'targetExist'\""));
}

TEST_F(PipelineTest, UnknownCodeWritesTheMapLinesAndTheFailureLine) {
    server->AnswerXml(Answer("weird"));
    RecordTree answer;
    Call({true, true, true}, answer);
    EXPECT_TRUE(Logged('E', "*ASSERT*: false && L\"ServerResultMap::[] Catched UnKnown Server Error\""));
    EXPECT_TRUE(Logged('E', "ServerResultMap::[] Catched UnKnown Server Error, Code = weird"));
    EXPECT_TRUE(Logged('E', "ERROR_CHECK_COM: hr = 80041010 :L\"CRemoteStorage::_HttpRequest() Failed, URL = " + Url() +
                                ", ResultCode = 'weird'\""));
}

TEST_F(PipelineTest, AnswerWithoutResultFilesItsFirst128Characters) {
    server->AnswerXml(kLongNoResult);
    RecordTree answer;
    EXPECT_EQ(Call({true, true, true}, answer), E_OV_SERVER_ERROR);
    EXPECT_TRUE(Logged('W', "ERROR_CHECK_BOOLEX:!IsStrEmpty(strResultCode)"));
    auto items = ItemsOf("dynamic");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].GetValue("errorcode"), kLongNoResult.substr(0, 128));
    EXPECT_TRUE(Logged('E', "unknown xml: " + kLongNoResult));
}

TEST_F(PipelineTest, ShortAnswerWithoutResultFilesItWhole) {
    const std::string text = "<answer><x>1</x></answer>";
    server->AnswerXml(text);
    RecordTree answer;
    EXPECT_EQ(Call({true, false, true}, answer), E_OV_SERVER_ERROR);
    auto items = ItemsOf("dynamic");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].GetValue("errorcode"), text);
}

TEST_F(PipelineTest, MalformedAnswerWritesBothLines) {
    server->AnswerXml("<answer result=\"ok\">");
    RecordTree answer;
    EXPECT_EQ(Call({true, true, true}, answer), E_FAIL);
    EXPECT_TRUE(Logged('W', "ERROR_CHECK_BOOLEX:bRet"));
    EXPECT_TRUE(Logged('W', "ERROR_CHECK_BOOL:S_OK == hr && L\"CRemoteStorage::_HttpRequest() Process Xml Failed\""));
    EXPECT_TRUE(answer.IsEmpty());
}

TEST_F(PipelineTest, EmptyAnswerIsAFailureWithoutItem) {
    server->AnswerXml("");
    RecordTree answer;
    EXPECT_EQ(Call({true, true, true}, answer), E_FAIL);
    EXPECT_TRUE(Logged('W', "ERROR_CHECK_BOOLEX:!IsStrEmpty(bstrResultXml)"));
    EXPECT_TRUE(ItemsOf("dynamic").empty());
}

TEST_F(PipelineTest, GetAnsweredWithAnErrorStatusFilesNull) {
    // Retries off: the first failed answer ends the call.
    std::ofstream(tempDir + "/settings.ini", std::ios::trunc)
        << "[Tavik]\nNetworkRetries=0\nServerRoot=" << server->Root() << "\n";
    server->SetResponder([](const Captured&) { return Reply{500, "<html/>"}; });
    RecordTree answer;
    EXPECT_EQ(Call({true, false, true}, answer, 10, true), E_OV_SERVER_ERROR);
    EXPECT_TRUE(Logged('W', "ERROR_CHECK_COM hr = 80041011: hr"));
    auto items = ItemsOf("dynamic");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].GetValue("errorcode"), "null");
    ASSERT_EQ(server->Requests().size(), 1u);
    EXPECT_EQ(server->Requests()[0].method, "GET");
}

TEST_F(PipelineTest, ReadingGetIsRetriedAfter503HonouringRetryAfter) {
    const orvel::testsupport::ScopedRetryWaitScale fastRetries(0.01);
    int calls = 0;
    server->SetResponder([&calls](const Captured&) {
        return ++calls == 1 ? Reply{503, "busy", "Retry-After: 2\r\n"} : Reply{200, Answer("ok")};
    });
    RecordTree answer;
    EXPECT_EQ(Call({true, false, true}, answer, 10, true), S_OK);
    EXPECT_EQ(server->Requests().size(), 2u);
    EXPECT_TRUE(Logged('W', "Retrying network request (1 of 3) in 2000 ms after: HTTP 503 from " + server->Root()));
}

TEST_F(PipelineTest, ReadingGetThatTimesOutIsSentAgain) {
    const orvel::testsupport::ScopedRetryWaitScale fastRetries(0.01);
    int calls = 0;
    server->SetResponder([&calls](const Captured&) {
        return ++calls == 1 ? Reply{200, Answer("ok"), "", 1300} : Reply{200, Answer("ok")};
    });
    RecordTree answer;
    EXPECT_EQ(Call({true, false, true}, answer, 1, true), S_OK);
    EXPECT_EQ(server->Requests().size(), 2u);
    bool seen = false;
    for (const auto& line : Log())
        seen = seen || (line.message.rfind("Retrying network request (1 of 3) in ", 0) == 0 &&
                        line.message.find(" ms after: timed out after 1 s") != std::string::npos);
    EXPECT_TRUE(seen);
}

TEST_F(PipelineTest, StateChangingPostIsNotRetriedAfter503ButIsWhenRefused) {
    const orvel::testsupport::ScopedRetryWaitScale fastRetries(0.01);
    server->SetResponder([](const Captured&) { return Reply{503, "<html/>"}; });
    RecordTree answer;
    Call({true, false, true}, answer);
    EXPECT_EQ(server->Requests().size(), 1u);

    const std::string closed = ClosedRoot();
    std::ofstream(tempDir + "/settings.ini", std::ios::trunc) << "[Tavik]\nServerRoot=" << closed << "\n";
    EXPECT_EQ(Call({true, false, true}, answer), E_OV_NETWORK_UNREACHABLE);
    const std::string& hostPort = closed;
    for (int n = 1; n <= 3; ++n) {
        bool seen = false;
        for (const auto& line : Log())
            seen = seen || line.message.rfind("Retrying network request (" + std::to_string(n) + " of 3) in ", 0) == 0;
        EXPECT_TRUE(seen) << n;
    }
    EXPECT_EQ(ThreadNetworkError(), "connection refused (" + hostPort + ")");
    bool failureLine = false;
    for (const auto& line : Log())
        failureLine = failureLine || (line.level == 'W' &&
                                      line.message.rfind("Network request to " + hostPort + " failed: ", 0) == 0 &&
                                      line.message.find(", HTTP status 0") != std::string::npos);
    EXPECT_TRUE(failureLine);
}

TEST_F(PipelineTest, UnreachableHostIsATraceLineAndFoldsToNetworkError) {
    std::ofstream(tempDir + "/settings.ini", std::ios::trunc) << "[Tavik]\nServerRoot=" << ClosedRoot() << "\n";
    RecordTree answer;
    EXPECT_EQ(Call({true, false, true}, answer), E_OV_NETWORK_UNREACHABLE);
    EXPECT_TRUE(Logged('T', "CHECK_COM hr = 80044002: hr"));
    EXPECT_EQ(Call({true, true, true}, answer), E_OV_NETWORK_ERROR);
    EXPECT_TRUE(ItemsOf("time_out").empty());
}

TEST_F(PipelineTest, TimeOutFilesATimeOutItemOnlyWhenAsked) {
    server->SetResponder([](const Captured&) { return Reply{200, Answer("ok"), "", 1300}; });
    RecordTree answer;
    EXPECT_EQ(Call({true, false, true}, answer, 1), E_OV_NETWORK_TIMEOUT);
    EXPECT_TRUE(Logged('T', "CHECK_COM hr = 80044001: hr"));
    auto items = ItemsOf("time_out");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].GetValue("operation"), Url());

    EXPECT_EQ(Call({false, true, true}, answer, 1), E_OV_NETWORK_ERROR);
    EXPECT_EQ(ItemsOf("time_out").size(), 1u);
}

HRESULT StopAtOnce(void*, double, double, double, double, double) { return E_FAIL; }

TEST_F(PipelineTest, CallbackAskingToStopCancels) {
    server->SetResponder([](const Captured&) { return Reply{200, Answer("ok"), "", 1500}; });
    RecordTree answer;
    EXPECT_EQ(Call({true, true, true}, answer, 10, false, &StopAtOnce), E_OV_CANCELLED);
    EXPECT_TRUE(Logged('T', "CHECK_COM hr = 80041016: hr"));
}

TEST_F(PipelineTest, CountsEveryRequestThatReachesTheTransport) {
    const uint32_t before = CInfoCollection::Instance().RequestCount();
    RecordTree a, b;
    Call({true, true, true}, a);
    Call({true, true, true}, b);
    EXPECT_EQ(CInfoCollection::Instance().RequestCount(), before + 2);
}

HRESULT FailingFactory(ITransport** pp) {
    *pp = nullptr;
    return E_OUTOFMEMORY;
}

TEST_F(PipelineTest, TransportCreationFailureIsReturnedAndLogged) {
    auto storage = MakeStorage();
    Impl(storage).SetTransportFactory(&FailingFactory);
    const uint32_t before = CInfoCollection::Instance().RequestCount();
    RecordTree answer;
    std::string header;
    EXPECT_EQ(Impl(storage)._HttpRequest(nullptr, nullptr, header, Url(), nullptr, answer, 5, {true, true, true}),
              E_OUTOFMEMORY);
    EXPECT_TRUE(Logged('E', "ERROR_CHECK_COM: hr = 8007000e MSG: Create CTransport Failed!"));
    EXPECT_EQ(CInfoCollection::Instance().RequestCount(), before);
    EXPECT_TRUE(server->Requests().empty());

    std::string text;
    EXPECT_EQ(storage->HttpRequest(Url(), nullptr, nullptr, nullptr, text, 5), E_OUTOFMEMORY);
    Impl(storage).SetTransportFactory(nullptr);
    EXPECT_EQ(storage->HttpRequest(Url(), nullptr, nullptr, nullptr, text, 5), E_FAIL);
    EXPECT_TRUE(Logged('E', "*ASSERT*: m_pfnTransport"));
}

TEST_F(PipelineTest, HttpRequestReturnsTheRawAnswerWithoutJudging) {
    server->AnswerXml(Answer("permissionDenied"));
    auto storage = MakeStorage();
    const uint32_t before = CInfoCollection::Instance().RequestCount();
    std::string text;
    const std::string body = "raw body";
    EXPECT_EQ(storage->HttpRequest(Url(), &body, nullptr, nullptr, text, 5), S_OK);
    EXPECT_EQ(text, Answer("permissionDenied"));
    EXPECT_EQ(CInfoCollection::Instance().RequestCount(), before);
    EXPECT_TRUE(Items().empty());
    auto reqs = server->Requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].method, "POST");
    EXPECT_EQ(reqs[0].body, "raw body");
    EXPECT_EQ(reqs[0].Header("v"), "2");
    EXPECT_FALSE(reqs[0].HasHeader("Accept-Encoding"));
}

TEST_F(PipelineTest, HttpRequestWithEmptyAnswerFails) {
    server->AnswerXml("");
    auto storage = MakeStorage();
    std::string text = "untouched";
    EXPECT_EQ(storage->HttpRequest(Url(), nullptr, nullptr, nullptr, text, 5), E_FAIL);
    EXPECT_EQ(text, "untouched");
    EXPECT_TRUE(Logged('W', "ERROR_CHECK_BOOLEX:!IsStrEmpty(bstrResultXml)"));
}

TEST_F(PipelineTest, ObjectsCountThemselvesAndAnswerQueryInterface) {
    const long before = LiveObjectCount();
    {
        auto storage = MakeStorage();
        EXPECT_EQ(LiveObjectCount(), before + 1);
        EXPECT_EQ(storage->Initialize(), S_OK);
        void* other = nullptr;
        EXPECT_EQ(storage->QueryInterface(IID_IRemoteStorage, &other), S_OK);
        EXPECT_EQ(other, storage.get());
        EXPECT_EQ(storage->Release(), 1u);
        EXPECT_NE(storage->QueryInterface("ITransport", &other), S_OK);
        EXPECT_EQ(other, nullptr);
        EXPECT_EQ(storage->Uninitialize(), S_OK);
    }
    EXPECT_EQ(LiveObjectCount(), before);
}

TEST_F(PipelineTest, CreateWithNullAddressAssertsAndFails) {
    EXPECT_EQ(CreateRemoteStorage(nullptr), E_POINTER);
    EXPECT_TRUE(Logged('E', "*ASSERT*: ppObj"));
}

TEST_F(PipelineTest, ManyThreadsShareOneObject) {
    server->AnswerXml(Answer("ok", "<n>1</n>"));
    auto storage = MakeStorage();
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5; ++i) {
                RecordTree answer;
                std::string header;
                if (Impl(storage)._HttpRequest(nullptr, nullptr, header, Url(), nullptr, answer, 10,
                                               {true, true, true}) == S_OK &&
                    answer.GetValue("n") == "1") {
                    ++ok;
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(ok.load(), 20);
}

}  // namespace
}  // namespace rstest
