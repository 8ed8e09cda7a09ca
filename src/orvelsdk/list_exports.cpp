// ORVEL_EnumFiles, ORVEL_DestoryFiles and the accessors of the file-list handle.
#include <orvelsdk/orvelsdk.h>

#include <memory>

#include "common/recordtree.h"
#include "remotestorage/taskdata.h"
#include "log/log.h"
#include "orvelsdk/exchangedata.h"
#include "orvelsdk/sdk_util.h"

namespace {

// The shared shape of the indexed accessors: handle and out-pointer checks,
// the trace scope, the bounds-checked item, then `write(item)`.
template <class Checks, class Write>
HRESULT ItemAccessor(const char* exportName, const char* traceName, ORVEL_FILELIST hFiles, uint32_t index,
                     Checks&& checks, Write&& write) {
    return GuardExport(exportName, [&]() -> HRESULT {
        if (!checks()) return E_POINTER;
        HRESULT hr = S_OK;
        TRACE_SCOPE(traceName, &hr, "hFiles = %p", static_cast<void*>(hFiles));
        const FileListItem* item = hFiles->At(index);
        if (item == nullptr) return hr = E_INVALIDARG;
        hr = write(*item);
        return hr;
    });
}

// Writes a new BSTR copy of one field.
HRESULT WriteString(BSTR* out, const std::string& value) {
    *out = MakeBstr(value).release();
    return S_OK;
}

}  // namespace

extern "C" {

ORVEL_API HRESULT ORVEL_EnumFiles(const char16_t* strToken, const char16_t* strParentId, ORVEL_FILELIST* phFiles) {
    return GuardServiceExport("ORVEL_EnumFiles", [&]() -> HRESULT {
        ORVEL_ASSERT(!IsStrEmpty(strToken));
        ORVEL_ASSERT(!IsStrEmpty(strParentId));
        if (!ORVEL_ASSERT(phFiles)) return E_POINTER;

        StorageRef storage;
        HRESULT hr = OpenStorage(storage);
        if (FAILED(hr)) return hr;

        TaskData_Dir task;
        task.strDirId = ArgText(strParentId);
        task.strToken = ArgText(strToken);
        RecordTree answer;
        hr = storage->Dir(task, nullptr, nullptr, answer);
        if (!ERROR_CHECK_COM(hr)) return hr;

        auto list = std::make_unique<FileList>();
        hr = FillFileList(answer, *list);
        if (!ERROR_CHECK_COM(hr)) return hr;
        // Ownership passes to the caller, who frees it with ORVEL_DestoryFiles.
        *phFiles = list.release();
        return hr;
    });
}

ORVEL_API HRESULT ORVEL_DestoryFiles(ORVEL_FILELIST hFiles) {
    return GuardExport("ORVEL_DestoryFiles", [&]() -> HRESULT {
        if (!ORVEL_ASSERT(hFiles)) return E_POINTER;
        HRESULT hr = S_OK;
        TRACE_SCOPE("ORVEL_DestoryFiles()", &hr, "hFiles = %p", static_cast<void*>(hFiles));
        std::unique_ptr<FileList> owned(hFiles);
        return hr;
    });
}

ORVEL_API HRESULT ORVEL_GetFilesNum(ORVEL_FILELIST hFiles, int* fileNum) {
    return GuardExport("ORVEL_GetFilesNum", [&]() -> HRESULT {
        const bool argsOk = ORVEL_ASSERT(hFiles) & ORVEL_ASSERT(fileNum);
        if (!argsOk) return E_POINTER;
        HRESULT hr = S_OK;
        TRACE_SCOPE("ORVEL_GetFilesNum()", &hr, "hFiles = %p", static_cast<void*>(hFiles));
        *fileNum = static_cast<int>(hFiles->m_files.size());
        return hr;
    });
}

ORVEL_API HRESULT ORVEL_GetFileType(ORVEL_FILELIST hFiles, unsigned int index, int* fileType) {
    return ItemAccessor(
        "ORVEL_GetFileType", "ORVEL_GetFileType()", hFiles, index,
        [&] { return ORVEL_ASSERT(hFiles) & ORVEL_ASSERT(fileType); },
        [&](const FileListItem& item) {
            *fileType = item.nType;
            return S_OK;
        });
}

ORVEL_API HRESULT ORVEL_GetFileId(ORVEL_FILELIST hFiles, unsigned int index, BSTR* strFileId) {
    return ItemAccessor(
        "ORVEL_GetFileId", "ORVEL_GetFileId()", hFiles, index,
        [&] { return ORVEL_ASSERT(hFiles) & ORVEL_ASSERT(strFileId); },
        [&](const FileListItem& item) { return WriteString(strFileId, item.strId); });
}

ORVEL_API HRESULT ORVEL_GetParentId(ORVEL_FILELIST hFiles, unsigned int index, BSTR* strParentId) {
    return ItemAccessor(
        "ORVEL_GetParentId", "ORVEL_GetParentId()", hFiles, index,
        [&] { return ORVEL_ASSERT(hFiles) & ORVEL_ASSERT(strParentId); },
        [&](const FileListItem& item) { return WriteString(strParentId, item.strParentId); });
}

ORVEL_API HRESULT ORVEL_GetFileName(ORVEL_FILELIST hFiles, unsigned int index, BSTR* strFileName) {
    return ItemAccessor(
        "ORVEL_GetFileName", "ORVEL_GetFileName()", hFiles, index,
        [&] { return ORVEL_ASSERT(hFiles) & ORVEL_ASSERT(strFileName); },
        [&](const FileListItem& item) { return WriteString(strFileName, item.strName); });
}

ORVEL_API HRESULT ORVEL_GetFileSize(ORVEL_FILELIST hFiles, unsigned int index, int* fileSize) {
    return ItemAccessor(
        "ORVEL_GetFileSize", "ORVEL_GetFileSize()", hFiles, index,
        [&] { return ORVEL_ASSERT(hFiles) & ORVEL_ASSERT(fileSize); },
        [&](const FileListItem& item) {
            *fileSize = item.nSize;
            return S_OK;
        });
}

ORVEL_API HRESULT ORVEL_GetFileSize64(ORVEL_FILELIST hFiles, unsigned int index, int64_t* fileSize) {
    return ItemAccessor(
        "ORVEL_GetFileSize64", "ORVEL_GetFileSize64()", hFiles, index,
        [&] { return ORVEL_ASSERT(hFiles) & ORVEL_ASSERT(fileSize); },
        [&](const FileListItem& item) {
            *fileSize = item.nSize64;
            return S_OK;
        });
}

ORVEL_API HRESULT ORVEL_GetModifyTime(ORVEL_FILELIST hFiles, unsigned int index, BSTR* strModifyTime) {
    return ItemAccessor(
        "ORVEL_GetModifyTime", "ORVEL_GetModifyTime()", hFiles, index,
        [&] { return ORVEL_ASSERT(hFiles) & ORVEL_ASSERT(strModifyTime); },
        [&](const FileListItem& item) { return WriteString(strModifyTime, item.strModifyTime); });
}

ORVEL_API HRESULT ORVEL_GetFileSha1(ORVEL_FILELIST hFiles, unsigned int index, BSTR* strFileSha1) {
    return ItemAccessor(
        "ORVEL_GetFileSha1", "ORVEL_GetFileSha1()", hFiles, index,
        [&] { return ORVEL_ASSERT(hFiles) & ORVEL_ASSERT(strFileSha1); },
        [&](const FileListItem& item) { return WriteString(strFileSha1, item.strSha1); });
}

ORVEL_API HRESULT ORVEL_GetFileVersion(ORVEL_FILELIST hFiles, unsigned int index, BSTR* fileVer) {
    return ItemAccessor(
        "ORVEL_GetFileVersion", "ORVEL_GetFileVersion()", hFiles, index,
        [&] { return ORVEL_ASSERT(hFiles) & ORVEL_ASSERT(fileVer); },
        [&](const FileListItem& item) { return WriteString(fileVer, item.strVersion); });
}

}  // extern "C"
