#include <functional>
#include <stdexcept>

#include "common/exceptions.h"
#include "common/results.h"
#include "common_fixture.h"

using ResultsTest = CommonTest;

TEST_F(ResultsTest, ServerResultMapHoldsTheFortyTwoCodes) {
    const std::pair<const char*, uint32_t> table[] = {
        {"ok", 0x00000000},
        {"clientNoLogin", 0x80041018},
        {"clientBadParams", 0x80041001},
        {"serverDeny", 0x80041002},
        {"serverBusy", 0x80041003},
        {"serverError", 0x80041011},
        {"errorDeny", 0x80041019},
        {"targetExist", 0x8004101A},
        {"accountServerError", 0x80041006},
        {"accountNotActive", 0x80041007},
        {"accountNotMatch", 0x80041017},
        {"clientTooFrequent", 0x80041004},
        {"clientNoMethod", 0x80041005},
        {"targetNotExist", 0x8004101B},
        {"commitFail", 0x80041012},
        {"dataOperationFailed", 0x80041008},
        {"overSpace", 0x8004101C},
        {"fileVerConflict", 0x8004101D},
        {"permissionDenied", 0x80041009},
        {"forbidden", 0x8004101E},
        {"clientTokenExpired", 0x80041014},
        {"methodVersionNotMatch", 0x80041015},
        {"serverDenyReadOnly", 0x8004100A},
        {"parentNotExist", 0x8004101F},
        {"badStub", 0x8004100C},
        {"failureToApplyStub", 0x8004100B},
        {"getFileKeyFailed", 0x8004100D},
        {"emptyFile", 0x80041022},
        {"storageError", 0x8004100E},
        {"getFileInfoFailed", 0x8004100F},
        {"folderNonEmpty", 0x80041023},
        {"uploadError", 0x80041024},
        {"fileMissInAgent", 0x80041025},
        {"timeout", 0x80041026},
        {"wssError", 0x80041027},
        {"resetClientCache", 0x80041029},
        {"getStubFail", 0x80041013},
        {"unsupportedCharRange", 0x8004102C},
        {"fnameTooLong", 0x8004102D},
        {"thirdServerError", 0x8004102E},
        {"ticketNotValid", 0x8004102F},
        {"treeVerDeny", 0x80041030},
    };
    static_assert(sizeof(table) / sizeof(table[0]) == 42);
    for (const auto& [code, value] : table) {
        EXPECT_EQ(static_cast<uint32_t>(LookupServerResult(code)), value) << code;
        EXPECT_STREQ(ServerCodeFor(static_cast<HRESULT>(value)), code);
    }
    EXPECT_FALSE(Logged("ServerResultMap"));
    EXPECT_STREQ(ResultName(E_OV_TARGET_EXISTS), "E_OV_TARGET_EXISTS");
    EXPECT_STREQ(ResultName(E_OV_NETWORK_ERROR), "E_OV_NETWORK_ERROR");
    EXPECT_STREQ(ResultName(S_OK), "S_OK");
    EXPECT_EQ(ResultName(static_cast<HRESULT>(0x80041020)), nullptr);
}

TEST_F(ResultsTest, UnknownAndNullCodes) {
    EXPECT_EQ(LookupServerResult("OK"), E_OV_UNKNOWN_SERVER_ERROR);  // case matters
    EXPECT_TRUE(Logged("\tE \tsdkrd.log"));
    EXPECT_TRUE(Logged("*ASSERT*: false && L\"ServerResultMap::[] Catched UnKnown Server Error\"\r\n"));
    EXPECT_TRUE(Logged("ServerResultMap::[] Catched UnKnown Server Error, Code = OK\r\n"));
    EXPECT_EQ(LookupServerResult(""), E_OV_UNKNOWN_SERVER_ERROR);
    EXPECT_EQ(LookupServerResult(nullptr), E_FAIL);
    EXPECT_TRUE(Logged("*ASSERT*: false\r\n"));
}

TEST_F(ResultsTest, FoldResult) {
    for (HRESULT hr : {E_OV_NETWORK_TIMEOUT, E_OV_NETWORK_UNREACHABLE, static_cast<HRESULT>(0x80044004)})
        EXPECT_EQ(FoldResult(hr), E_OV_NETWORK_ERROR);
    for (uint32_t v = 0x80041001; v <= 0x80041009; ++v)
        EXPECT_EQ(FoldResult(static_cast<HRESULT>(v)), E_OV_SERVER_ERROR);
    for (HRESULT hr : {E_OV_GET_FILE_KEY_FAILED, E_OV_STORAGE_ERROR, E_OV_UNKNOWN_SERVER_ERROR})
        EXPECT_EQ(FoldResult(hr), E_OV_SERVER_ERROR);
    for (HRESULT hr : {S_OK, S_FALSE, E_FAIL, E_OV_CLIENT_TOKEN_EXPIRED, E_OV_TARGET_EXISTS, E_OV_CANCELLED,
                       E_OV_NETWORK_ERROR, E_OV_SERVER_ERROR, E_OV_SERVER_DENY_READ_ONLY, E_OV_CLIENT_NO_LOGIN})
        EXPECT_EQ(FoldResult(hr), hr);
}

namespace {
HRESULT Map(const std::function<void()>& raise, RecordTree* answer = nullptr) {
    try {
        raise();
    } catch (...) {
        return ResultForException(answer);
    }
    return S_OK;
}

RecordTree Answer(const char* attr, const char* code) {
    RecordTree t("answer");
    t.SetAttr(attr, code);
    t.AddValue("fileId", "99");
    return t;
}
}  // namespace

TEST_F(ResultsTest, ExceptionsLogTheirConstruction) {
    EXCEPT::ServerError e("UploadRequester", "serverBusy");
    EXPECT_EQ(e.type, "ServerError");
    EXCEPT::TaskCancel c("Download");
    EXPECT_TRUE(Logged("\tException type=ServerError raised-in UploadRequester detail=serverBusy\r\n"));
    EXPECT_TRUE(Logged("\tException type=TaskCancel raised-in Download\r\n"));
    EXPECT_TRUE(Logged("\tE \tsdkrd.log"));
}

TEST_F(ResultsTest, ExceptionsAreStandardExceptionsThatSayWhatWentWrong) {
    EXPECT_STREQ("TaskCancel raised in Download", EXCEPT::TaskCancel("Download").what());
    try {
        throw EXCEPT::RemoteConflict("commit", "targetExist", E_OV_TARGET_EXISTS, Answer("result", "targetExist"));
    } catch (const std::exception& e) {  // a generic handler sees the family's own text
        EXPECT_STREQ("RemoteConflict raised in commit: targetExist", e.what());
    }
}

TEST_F(ResultsTest, RaiseForResult) {
    EXPECT_NO_THROW(RaiseForResult(Answer("result", "ok"), "x"));
    try {
        RaiseForResult(Answer("result", "clientTokenExpired"), "commit");
        FAIL();
    } catch (const EXCEPT::UserSessionError& e) {
        EXPECT_EQ(e.result, E_OV_CLIENT_TOKEN_EXPIRED);
        EXPECT_EQ(e.raisedIn, "commit");
        EXPECT_EQ(e.detail, "clientTokenExpired");
    }
    try {
        RaiseForResult(Answer("code", "targetExist"), "requestUpload");  // empty "result": "code" counts
        FAIL();
    } catch (const EXCEPT::RemoteConflict& e) {
        EXPECT_EQ(e.result, E_OV_TARGET_EXISTS);
        EXPECT_EQ(e.answer.GetValue("fileId"), "99");
    }
    for (const char* code : {"clientNoLogin", "resetClientCache"})
        EXPECT_THROW(RaiseForResult(Answer("result", code), "x"), EXCEPT::UserSessionError) << code;
    for (const char* code : {"targetNotExist", "overSpace", "fileVerConflict", "parentNotExist", "emptyFile",
                             "folderNonEmpty", "unsupportedCharRange", "fnameTooLong"})
        EXPECT_THROW(RaiseForResult(Answer("result", code), "x"), EXCEPT::RemoteConflict) << code;
    for (const char* code : {"serverBusy", "nonsense", "OK"})
        EXPECT_THROW(RaiseForResult(Answer("result", code), "x"), EXCEPT::ServerError) << code;
    EXPECT_THROW(RaiseForResult(RecordTree("answer"), "x"), EXCEPT::ServerError);
}

TEST_F(ResultsTest, ResultForException) {
    EXPECT_EQ(Map([] { throw EXCEPT::CurlUnknownError("t", "Network Error"); }), E_OV_NETWORK_ERROR);
    EXPECT_EQ(Map([] { throw EXCEPT::NetworkError("t", "Timeout"); }), E_OV_NETWORK_ERROR);
    EXPECT_EQ(Map([] { throw EXCEPT::FileReadError("t", "", static_cast<HRESULT>(0x80070002)); }),
              static_cast<HRESULT>(0x80070002));
    EXPECT_EQ(Map([] { throw EXCEPT::FileWriteError("t", "", static_cast<HRESULT>(0x80070070)); }),
              static_cast<HRESULT>(0x80070070));
    EXPECT_EQ(Map([] { throw EXCEPT::FileSysError("t"); }), E_FAIL);
    EXPECT_EQ(Map([] { throw EXCEPT::ServerError("t", "Response not 200"); }), E_OV_SERVER_ERROR);
    EXPECT_EQ(Map([] { throw EXCEPT::TaskCancel("t"); }), E_OV_CANCELLED);
    EXPECT_EQ(Map([] { throw EXCEPT::UserSessionError("t", "clientNoLogin", E_OV_CLIENT_NO_LOGIN); }),
              E_OV_CLIENT_NO_LOGIN);
    EXPECT_EQ(Map([] { throw std::runtime_error("x"); }), E_FAIL);
    EXPECT_EQ(Map([] { throw 42; }), E_FAIL);

    RecordTree answer;
    EXPECT_EQ(Map([] { RaiseForResult(Answer("result", "targetExist"), "t"); }, &answer), E_OV_TARGET_EXISTS);
    EXPECT_EQ(answer.GetValue("fileId"), "99");
    EXPECT_EQ(Map([] { RaiseForResult(Answer("result", "overSpace"), "t"); }, nullptr), E_OV_OVER_SPACE);

    EXPECT_EQ(ResultForException(nullptr), E_FAIL);  // outside a handler: no crash
}
