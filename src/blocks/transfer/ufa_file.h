// Guarded entries of the block upload and download protocols: they run the
// whole transfer on the caller's thread and turn every failure into a result.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "blocks/codec/block_codec.h"
#include "common/hresult.h"
#include "common/recordtree.h"

// What an upload sends: `localPath` as a new remote file (empty `fileId`,
// `fileVer` "0") or as a new version of `fileId`. `blocks` and `sha1` come from
// BuildBlockList of the same file (the vector must outlive the call);
// `fileSize` is its whole size (64-bit, files above 4 GiB work).
struct UploadRequest {
    std::string fileId;  // empty for a new file
    std::string fileVer = "0";
    std::string sha1;
    std::string parentId;
    std::string token;
    std::string name;
    std::string modTime;  // local time, "YYYY-MM-DD hh:mm:ss"
    std::string localPath;
    bool sendEmptyParentId = false;  // send an empty parentId element instead of `parentId`
    int64_t fileSize = 0;
    std::span<const BlockRecord> blocks;
    std::string tempFolder;
    ProgressCallback callback = nullptr;
    void* context = nullptr;
};

// What a download fetches: the current (or, with `previousVersion`, the
// previous) version of `fileId` into `targetPath`.
struct DownloadRequest {
    std::string token;
    std::string fileId;
    std::string targetPath;
    std::string tempFolder;
    bool previousVersion = false;
    ProgressCallback callback = nullptr;
    void* context = nullptr;
};

// What a transfer hands back besides its result value.
struct TransferResult {
    std::string fileId;   // upload: the committed item
    std::string fileVer;  // upload: the committed version; download: the service's version
    std::string modTime;  // download: the service's values, set as soon as they are known
    std::string sha1;
    int32_t opVer = -1;
    RecordTree conflict;  // upload: a conflicting answer ("targetExist", ...)
};

// Runs an upload. The progress callback sees (0, 0, file size, done, speed):
// done counts plain bytes (finished or held blocks, plus the block in flight's
// share of its plain size), never goes back and is the file size on success;
// speed is the rate of the last seconds. It runs at least every 250 ms (on the
// calling thread); returning E_FAIL cancels at that tick.
// On success `result.fileId`/`result.fileVer` hold the committed item; a
// conflicting answer is copied into `result.conflict`.
// Results: S_OK, E_OV_NETWORK_ERROR, E_OV_SERVER_ERROR, E_OV_CANCELLED, the
// session/conflict/file results the failure carries, or E_FAIL.
HRESULT UploadFileGuarded(const UploadRequest& request, TransferResult& result);

// Runs a download. The file is assembled beside the target and replaces it
// only when its SHA-1 equals the service's; decoded blocks are kept as
// "<blockId>.done" in `tempFolder` until then, so a rerun after a failure
// fetches only what is missing. While it runs, a call holds its blocks under
// names of its own ("<blockId>.<GUID>", hard links of the done files), so
// downloads sharing `tempFolder` never remove a file another one uses.
// `result.modTime`, `sha1`, `fileVer` and `opVer` receive the service's values
// as soon as they are known.
// The progress callback sees (file size, done, 0, 0, speed), done and speed as
// for uploads.
// Results: S_OK; E_OV_NETWORK_ERROR for dropped blocks or a whole-file SHA-1
// mismatch; E_FAIL for a block that does not decode; otherwise as for uploads.
HRESULT DownloadGuarded(const DownloadRequest& request, TransferResult& result);
