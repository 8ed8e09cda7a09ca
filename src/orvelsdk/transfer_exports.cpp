// ORVEL_Upload, ORVEL_Update, ORVEL_Download: whole-file transfers through the
// guarded entries of the block engine, with progress over a TransferProgress.
#include <orvelsdk/orvelsdk.h>

#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "blocks/codec/block_codec.h"
#include "blocks/transfer/ufa_file.h"
#include "common/recordtree.h"
#include "remotestorage/taskdata.h"
#include "log/log.h"
#include "orvelsdk/progress.h"
#include "orvelsdk/sdk_util.h"

namespace {

// What an upload needs to know about the local file.
struct LocalFileFacts {
    std::vector<BlockRecord> blocks;
    std::string sha1;
    std::string modTime;  // local time, "YYYY-MM-DD hh:mm:ss"
    int64_t size = 0;
};

// The last-write time in local time, to the second (the service keeps no
// fractions).
HRESULT FileModifyTime(const std::string& path, std::string& text) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return E_FAIL;
    struct tm local {};
    if (::localtime_r(&st.st_mtim.tv_sec, &local) == nullptr) return E_FAIL;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    text = buffer;
    return S_OK;
}

HRESULT FileSize64(const std::string& path, int64_t& size) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return E_FAIL;
    size = static_cast<int64_t>(st.st_size);
    return S_OK;
}

HRESULT GatherFacts(const std::string& path, LocalFileFacts& facts) {
    HRESULT hr = BuildBlockList(path, facts.blocks, facts.sha1);
    if (!ERROR_CHECK_COM(hr)) return hr;
    hr = FileModifyTime(path, facts.modTime);
    if (!ERROR_CHECK_COM(hr)) return hr;
    hr = FileSize64(path, facts.size);
    if (!ERROR_CHECK_COM(hr)) return hr;
    return S_OK;
}

// The part of an upload request that the local file and the progress handle give.
UploadRequest UploadOf(const std::string& path, const LocalFileFacts& facts, const char16_t* tempFolder,
                       ORVEL_PROGRESS progress) {
    UploadRequest request;
    request.sha1 = facts.sha1;
    request.modTime = facts.modTime;
    request.localPath = path;
    request.fileSize = facts.size;
    request.blocks = facts.blocks;
    request.tempFolder = ArgText(tempFolder);
    request.callback = UploadProgressCallback;
    request.context = progress;
    return request;
}

}  // namespace

extern "C" {

ORVEL_API HRESULT ORVEL_Upload(const char16_t* strToken, const char16_t* strParentId, const char16_t* strName,
                               const char16_t* strFilePath, const char16_t* strTempFolderPath, BSTR* strFileId,
                               ORVEL_PROGRESS hProgress) {
    return GuardServiceExport("ORVEL_Upload", [&]() -> HRESULT {
        ORVEL_ASSERT(!IsStrEmpty(strToken));
        ORVEL_ASSERT(!IsStrEmpty(strName));
        ORVEL_ASSERT(::PathFileExistsW(strFilePath));
        ORVEL_ASSERT(::PathFileExistsW(strTempFolderPath));
        // Without a handle or a place for the id the transfer could neither be
        // followed nor reported: refuse before anything is sent.
        if (!ORVEL_ASSERT(hProgress)) return E_POINTER;
        if (!ORVEL_ASSERT(strFileId)) return E_POINTER;

        const std::string filePath = ArgText(strFilePath);
        LocalFileFacts facts;
        HRESULT hr = GatherFacts(filePath, facts);
        if (FAILED(hr)) return hr;

        UploadRequest request = UploadOf(filePath, facts, strTempFolderPath, hProgress);
        request.parentId = ArgText(strParentId);
        request.token = ArgText(strToken);
        request.name = ArgText(strName);
        TransferResult result;
        hr = UploadFileGuarded(request, result);
        if (!ERROR_CHECK_BOOL(hr == S_OK || hr == E_OV_TARGET_EXISTS)) return hr;

        // On a name conflict the caller gets the id of the item that holds the name.
        *strFileId = MakeBstr(hr == S_OK ? result.fileId : result.conflict.GetValue("fileId")).release();
        return hr;
    });
}

ORVEL_API HRESULT ORVEL_Update(const char16_t* strToken, const char16_t* strFileId, const char16_t* strFilePath,
                               const char16_t* strTempFolderPath, ORVEL_PROGRESS hProgress) {
    return GuardServiceExport("ORVEL_Update", [&]() -> HRESULT {
        ORVEL_ASSERT(!IsStrEmpty(strToken));
        ORVEL_ASSERT(!IsStrEmpty(strFileId));
        ORVEL_ASSERT(::PathFileExistsW(strFilePath));
        ORVEL_ASSERT(::PathFileExistsW(strTempFolderPath));
        if (!ORVEL_ASSERT(hProgress)) return E_POINTER;

        StorageRef storage;
        HRESULT hr = OpenStorage(storage);
        if (FAILED(hr)) return hr;

        TaskData_GetItemInfo task;
        task.strToken = ArgText(strToken);
        task.strId = ArgText(strFileId);
        RecordTree info;
        hr = storage->GetItemInfo(task, nullptr, nullptr, info);
        if (!ERROR_CHECK_COM(hr)) return hr;

        const std::string filePath = ArgText(strFilePath);
        LocalFileFacts facts;
        hr = GatherFacts(filePath, facts);
        if (FAILED(hr)) return hr;

        UploadRequest request = UploadOf(filePath, facts, strTempFolderPath, hProgress);
        request.fileId = info.GetValue("fileId");
        request.fileVer = info.GetValue("fileVer");
        request.parentId = info.GetValue("parentId");
        request.token = task.strToken;
        request.name = info.GetValue("fileName");
        TransferResult result;
        hr = UploadFileGuarded(request, result);
        ERROR_CHECK_COM(hr);
        return hr;
    });
}

ORVEL_API HRESULT ORVEL_Download(const char16_t* strToken, const char16_t* strFileId, const char16_t* strModTime,
                                 const char16_t* strFilePath, const char16_t* strSha1, const char16_t* strFileVer,
                                 const char16_t* strTempFolderPath, int previousVersion, ORVEL_PROGRESS hProgress) {
    return GuardServiceExport("ORVEL_Download", [&]() -> HRESULT {
        ORVEL_ASSERT(!IsStrEmpty(strToken));
        ORVEL_ASSERT(!IsStrEmpty(strFileId));
        ORVEL_ASSERT(!IsStrEmpty(strModTime));
        ORVEL_ASSERT(!IsStrEmpty(strSha1));
        ORVEL_ASSERT(!IsStrEmpty(strFileVer));
        ORVEL_ASSERT(::PathFileExistsW(strTempFolderPath));
        if (!ORVEL_ASSERT(hProgress)) return E_POINTER;

        // The service's current values (in the result) count; the modify time,
        // SHA-1 and version arguments only serve the checks above.
        DownloadRequest request;
        request.token = ArgText(strToken);
        request.fileId = ArgText(strFileId);
        request.targetPath = ArgText(strFilePath);
        request.tempFolder = ArgText(strTempFolderPath);
        request.previousVersion = previousVersion != 0;
        request.callback = DownloadProgressCallback;
        request.context = hProgress;
        TransferResult result;
        return DownloadGuarded(request, result);
    });
}

}  // extern "C"
