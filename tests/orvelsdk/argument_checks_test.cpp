// Bad arguments that need no service: every export answers with a result,
// writes its assertion record and leaves the caller's variables alone.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "test_util.h"

namespace {

char16_t g_sentinel[1];
BSTR const kUntouched = g_sentinel;  // a value no export would write

TEST(ArgumentChecks, NullFileListHandle) {
    LogWatch log;
    int n = 7;
    int64_t n64 = 7;
    BSTR s = kUntouched;
    EXPECT_EQ(ORVEL_DestoryFiles(nullptr), E_POINTER);
    EXPECT_EQ(ORVEL_GetFilesNum(nullptr, &n), E_POINTER);
    EXPECT_EQ(ORVEL_GetFileType(nullptr, 0, &n), E_POINTER);
    EXPECT_EQ(ORVEL_GetFileSize(nullptr, 0, &n), E_POINTER);
    EXPECT_EQ(ORVEL_GetFileSize64(nullptr, 0, &n64), E_POINTER);
    EXPECT_EQ(ORVEL_GetFileId(nullptr, 0, &s), E_POINTER);
    EXPECT_EQ(ORVEL_GetParentId(nullptr, 0, &s), E_POINTER);
    EXPECT_EQ(ORVEL_GetFileName(nullptr, 0, &s), E_POINTER);
    EXPECT_EQ(ORVEL_GetModifyTime(nullptr, 0, &s), E_POINTER);
    EXPECT_EQ(ORVEL_GetFileSha1(nullptr, 0, &s), E_POINTER);
    EXPECT_EQ(ORVEL_GetFileVersion(nullptr, 0, &s), E_POINTER);
    EXPECT_EQ(n, 7);
    EXPECT_EQ(n64, 7);
    EXPECT_EQ(s, kUntouched);
    EXPECT_TRUE(log.Contains("*ASSERT*: hFiles"));
}

TEST(ArgumentChecks, NullProgressHandleAndOutPointers) {
    LogWatch log;
    double a = 1, b = 2, c = 3;
    EXPECT_EQ(ORVEL_CreateProgress(nullptr), E_POINTER);
    EXPECT_EQ(ORVEL_QueryProgress(nullptr, &a, &b, &c), E_POINTER);
    EXPECT_EQ(ORVEL_CancelTransport(nullptr), E_POINTER);
    EXPECT_EQ(ORVEL_DestroyProgress(nullptr), E_POINTER);
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);
    EXPECT_EQ(c, 3);
    EXPECT_TRUE(log.Contains("*ASSERT*: phProgress"));
    EXPECT_TRUE(log.Contains("*ASSERT*: hProgress"));

    ORVEL_PROGRESS h = nullptr;
    ASSERT_EQ(ORVEL_CreateProgress(&h), S_OK);
    EXPECT_EQ(ORVEL_QueryProgress(h, nullptr, &b, &c), E_POINTER);
    EXPECT_EQ(b, 2);
    EXPECT_EQ(ORVEL_DestroyProgress(h), S_OK);
}

TEST(ArgumentChecks, AccountCallsRefuseNullOutPointersBeforeSending) {
    // No service is configured for this process: a request would fail with a
    // network result, so E_POINTER shows that nothing was sent.
    Bstr token, nick;
    EXPECT_EQ(ORVEL_Login(u"u", u"p", u"d", u"c", u"1", nullptr, &token, &nick), E_POINTER);
    EXPECT_EQ(token.get(), nullptr);
    EXPECT_EQ(ORVEL_Relogin(u"t", u"d", nullptr), E_POINTER);
    int64_t used = 5;
    EXPECT_EQ(ORVEL_GetSpace(u"t", u"", u"", &used, nullptr), E_POINTER);
    EXPECT_EQ(used, 5);
    EXPECT_EQ(ORVEL_NewFolder(u"t", u"0", u"x", nullptr), E_POINTER);
    EXPECT_EQ(ORVEL_EnumFiles(u"t", u"0", nullptr), E_POINTER);
}

TEST(ProgressHandle, FreshHandleReadsZeroAndCancelSticks) {
    ORVEL_PROGRESS h = nullptr;
    ASSERT_EQ(ORVEL_CreateProgress(&h), S_OK);
    ASSERT_NE(h, nullptr);
    double total = -1, done = -1, speed = -1;
    EXPECT_EQ(ORVEL_QueryProgress(h, &total, &done, &speed), S_OK);
    EXPECT_EQ(total, 0.0);
    EXPECT_EQ(done, 0.0);
    EXPECT_EQ(speed, 0.0);
    EXPECT_EQ(ORVEL_CancelTransport(h), S_OK);
    EXPECT_EQ(ORVEL_CancelTransport(h), S_OK);
    EXPECT_EQ(ORVEL_DestroyProgress(h), S_OK);
}

TEST(TransferChecks, RefusedBeforeAnythingIsSent) {
    TempDir temp;
    const std::string file = temp.File("a.txt");
    std::ofstream(file) << "hello";
    ORVEL_PROGRESS h = nullptr;
    ASSERT_EQ(ORVEL_CreateProgress(&h), S_OK);

    LogWatch log;
    BSTR id = kUntouched;
    // No progress handle: the transfer could not be followed or cancelled.
    EXPECT_EQ(ORVEL_Upload(u"t", u"0", u"a.txt", W(file).c_str(), W(temp.Path()).c_str(), &id, nullptr), E_POINTER);
    EXPECT_EQ(ORVEL_Upload(u"t", u"0", u"a.txt", W(file).c_str(), W(temp.Path()).c_str(), nullptr, h), E_POINTER);
    EXPECT_EQ(ORVEL_Update(u"t", u"1", W(file).c_str(), W(temp.Path()).c_str(), nullptr), E_POINTER);
    EXPECT_EQ(ORVEL_Download(u"t", u"1", u"m", W(file).c_str(), u"s", u"1", W(temp.Path()).c_str(), 0, nullptr),
              E_POINTER);
    // A local file that does not exist fails while the block list is made.
    const std::string missing = temp.File("missing.bin");
    EXPECT_EQ(ORVEL_Upload(u"", u"0", u"", W(missing).c_str(), u"/no/such/folder", &id, h), E_FAIL);
    EXPECT_EQ(id, kUntouched);
    // A folder where a file belongs cannot be read as one.
    EXPECT_LT(ORVEL_Upload(u"t", u"0", u"x", W(temp.Path()).c_str(), W(temp.Path()).c_str(), &id, h), 0);
    EXPECT_EQ(id, kUntouched);
    EXPECT_TRUE(log.Contains("*ASSERT*: !IsStrEmpty(strToken)"));
    EXPECT_TRUE(log.Contains("*ASSERT*: !IsStrEmpty(strName)"));
    EXPECT_TRUE(log.Contains("*ASSERT*: ::PathFileExistsW(strFilePath)"));
    EXPECT_TRUE(log.Contains("*ASSERT*: ::PathFileExistsW(strTempFolderPath)"));
    EXPECT_EQ(ORVEL_DestroyProgress(h), S_OK);
}

TEST(TransferChecks, AssertionRecordsInTheirOrder) {
    // Every check fails; none of them stops the call, the missing handle last
    // of all ends it before anything is read or sent.
    TempDir temp;
    const std::u16string missing = W(temp.File("missing.bin")), noFolder = W(temp.File("no-folder"));
    LogWatch log;
    BSTR id = kUntouched;
    EXPECT_EQ(ORVEL_Upload(nullptr, nullptr, u"", missing.c_str(), noFolder.c_str(), &id, nullptr), E_POINTER);
    EXPECT_TRUE(log.InOrder({"*ASSERT*: !IsStrEmpty(strToken)", "*ASSERT*: !IsStrEmpty(strName)",
                             "*ASSERT*: ::PathFileExistsW(strFilePath)",
                             "*ASSERT*: ::PathFileExistsW(strTempFolderPath)", "*ASSERT*: hProgress"}));
    EXPECT_EQ(id, kUntouched);

    LogWatch update;
    EXPECT_EQ(ORVEL_Update(u"", nullptr, missing.c_str(), nullptr, nullptr), E_POINTER);
    EXPECT_TRUE(update.InOrder({"*ASSERT*: !IsStrEmpty(strToken)", "*ASSERT*: !IsStrEmpty(strFileId)",
                                "*ASSERT*: ::PathFileExistsW(strFilePath)",
                                "*ASSERT*: ::PathFileExistsW(strTempFolderPath)", "*ASSERT*: hProgress"}));

    LogWatch download;
    EXPECT_EQ(ORVEL_Download(u"", nullptr, u"", missing.c_str(), nullptr, u"", noFolder.c_str(), 1, nullptr),
              E_POINTER);
    EXPECT_TRUE(download.InOrder({"*ASSERT*: !IsStrEmpty(strToken)", "*ASSERT*: !IsStrEmpty(strFileId)",
                                  "*ASSERT*: !IsStrEmpty(strModTime)", "*ASSERT*: !IsStrEmpty(strSha1)",
                                  "*ASSERT*: !IsStrEmpty(strFileVer)", "*ASSERT*: ::PathFileExistsW(strTempFolderPath)",
                                  "*ASSERT*: hProgress"}));
    // The local path of a download is not checked: the target may not exist yet.
    EXPECT_FALSE(download.Contains("strFilePath"));

    LogWatch list;
    EXPECT_EQ(ORVEL_EnumFiles(u"", nullptr, nullptr), E_POINTER);
    EXPECT_TRUE(
        list.InOrder({"*ASSERT*: !IsStrEmpty(strToken)", "*ASSERT*: !IsStrEmpty(strParentId)", "*ASSERT*: phFiles"}));
}

TEST(TransferChecks, FailedPreparationWritesTheResultRecord) {
    if (LogWatch::Threshold() < 5) GTEST_SKIP() << "failed-check records are written from ORVEL_LOG_LEVEL=5 on";
    TempDir temp;
    ORVEL_PROGRESS h = nullptr;
    ASSERT_EQ(ORVEL_CreateProgress(&h), S_OK);
    LogWatch log;
    BSTR id = kUntouched;
    EXPECT_EQ(ORVEL_Upload(u"t", u"0", u"x", W(temp.File("missing.bin")).c_str(), W(temp.Path()).c_str(), &id, h),
              E_FAIL);
    EXPECT_TRUE(log.InOrder({"*ASSERT*: ::PathFileExistsW(strFilePath)", "ERROR_CHECK_COM hr = 80004005: hr"}));
    EXPECT_FALSE(log.Contains("ERROR_CHECK_BOOL:hr == S_OK || hr == E_OV_TARGET_EXISTS"));
    EXPECT_EQ(id, kUntouched);
    EXPECT_EQ(ORVEL_DestroyProgress(h), S_OK);
}

TEST(TransferChecks, OnlyCreateProgressIsTraced) {
    if (LogWatch::Threshold() < 9) GTEST_SKIP() << "trace lines are written with ORVEL_LOG_LEVEL=9";
    LogWatch log;
    ORVEL_PROGRESS h = nullptr;
    ASSERT_EQ(ORVEL_CreateProgress(&h), S_OK);
    double total = 0, done = 0, speed = 0;
    EXPECT_EQ(ORVEL_QueryProgress(h, &total, &done, &speed), S_OK);
    EXPECT_EQ(ORVEL_CancelTransport(h), S_OK);
    EXPECT_EQ(ORVEL_DestroyProgress(h), S_OK);
    char in[96];
    std::snprintf(in, sizeof in, "CTraceStack In, ORVEL_CreateProgress() : phProgress = %p", static_cast<void*>(&h));
    const std::vector<std::string> messages = log.OwnMessages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[0], in);
    EXPECT_EQ(messages[1].rfind("CTraceStack Out,ORVEL_CreateProgress() : hr = 0, UserTime: ", 0), 0u) << messages[1];
    EXPECT_EQ(messages.size(), 2u) << messages.back();
}

TEST(Bstr, ExportedHelpersRoundTrip) {
    BSTR s = SysAllocString(u"h\u00e9llo");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringLen(s), 5u);
    SysFreeString(s);
    BSTR e = SysAllocStringLen(nullptr, 0);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(SysStringLen(e), 0u);
    EXPECT_EQ(e[0], 0);
    SysFreeString(e);
    SysFreeString(nullptr);
}

}  // namespace
