// Guarded entries of the block upload and download protocols: they run the
// whole transfer on the caller's thread and turn every failure into a result.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "blocks/codec/block_codec.h"
#include "common/hresult.h"
#include "common/recordtree.h"

// Stores `localPath` as a new remote file (empty `fileId`, `fileVer` "0") or as
// a new version of `fileId`. `blocks` and `sha1` come from BuildBlockList of
// the same file; `fileSize` is its whole size (64-bit, files above 4 GiB work).
// The progress callback sees (0, 0, file size, done, speed): done counts plain
// bytes (finished or held blocks, plus the block in flight's share of its
// plain size), never goes back and is the file size on success; speed is the
// rate of the last seconds. It runs at least every 250 ms (on the calling
// thread); returning E_FAIL cancels at that tick.
// On success `outFileId`/`outFileVer` hold the committed item; a conflicting
// answer ("targetExist", ...) is copied into `conflict`.
// Results: S_OK, E_OV_NETWORK_ERROR, E_OV_SERVER_ERROR, E_OV_CANCELLED, the
// session/conflict/file results the failure carries, or E_FAIL.
HRESULT UploadFileGuarded(std::string_view fileId, std::string_view fileVer, std::string_view sha1,
                          std::string_view parentId, std::string_view token, std::string_view name,
                          std::string_view modTime, const std::string& localPath, bool sendEmptyParentId,
                          int64_t fileSize, std::string& outFileId, std::string& outFileVer,
                          const std::vector<BlockRecord>& blocks, const std::string& tempFolder,
                          ProgressCallback callback, void* context, RecordTree& conflict);

// Fetches the current (or, with `previousVersion`, the previous) version of
// `fileId` into `targetPath`. The file is assembled beside the target and
// replaces it only when its SHA-1 equals the service's; decoded blocks are
// kept as "<blockId>.done" in `tempFolder` until then, so a rerun after a
// failure fetches only what is missing. While it runs, a call holds its blocks
// under names of its own ("<blockId>.<GUID>", hard links of the done files),
// so downloads sharing `tempFolder` never remove a file another one uses. `modTime`, `sha1`, `fileVer` and
// `opVer` receive the service's values as soon as they are known.
// The progress callback sees (file size, done, 0, 0, speed), done and speed as
// for uploads.
// Results: S_OK; E_OV_NETWORK_ERROR for dropped blocks or a whole-file SHA-1
// mismatch; E_FAIL for a block that does not decode; otherwise as for uploads.
HRESULT DownloadGuarded(ProgressCallback callback, void* context, std::string_view token, std::string_view fileId,
                        std::string& modTime, const std::string& targetPath, std::string& sha1, std::string& fileVer,
                        int32_t& opVer, const std::string& tempFolder, bool previousVersion);
