/*
 * orvelsdk: client library of the Tavik cloud file-storage service.
 *
 * API rules
 * - Every function returns an HRESULT: S_OK (0) is success, a negative value
 *   is a failure (E_FAIL, E_OV_* from the service or the network layer).
 *   A non-zero success code is passed through unchanged; test with < 0.
 * - Input strings are NUL-terminated UTF-16 (const char16_t*). A null pointer
 *   is taken as the empty string.
 * - Output strings are BSTRs (UTF-16 with a 32-bit byte-length prefix) made by
 *   the library. The caller owns each one and frees it with SysFreeString.
 *   A value missing from the service's answer comes back as an allocated empty
 *   BSTR, never null. On failure the out-parameters are left as they were.
 * - Handles (ORVEL_FILELIST, ORVEL_PROGRESS) are opaque. Free a file list with
 *   ORVEL_DestoryFiles (sic) and a progress handle with ORVEL_DestroyProgress;
 *   do not use a handle after freeing it.
 * - The library keeps no session: pass the token from ORVEL_Login to every
 *   later call. Calls block the calling thread; any thread may call.
 *   ORVEL_QueryProgress and ORVEL_CancelTransport may be called from another
 *   thread while a transfer that uses the same progress handle runs.
 * - No C++ exception ever leaves this library.
 */
#ifndef ORVELSDK_ORVELSDK_H
#define ORVELSDK_ORVELSDK_H

#include <stdint.h>

#ifdef __cplusplus
#include <cstddef>
extern "C" {
#else
#include <stddef.h>
#include <uchar.h>
#endif

#if defined(__GNUC__)
#define ORVEL_API __attribute__((visibility("default")))
#else
#define ORVEL_API
#endif

#ifndef ORVEL_HRESULT_DEFINED
#define ORVEL_HRESULT_DEFINED
typedef int32_t HRESULT;
typedef char16_t* BSTR;
#endif

/* Opaque handles. */
typedef struct OrvelFileList* ORVEL_FILELIST;
typedef struct OrvelProgress* ORVEL_PROGRESS;

/* ---- Result values ---------------------------------------------------- */
#define ORVEL_HR(v) ((HRESULT)(v))
#ifndef S_OK
#define S_OK ORVEL_HR(0x00000000)
#endif
#ifndef S_FALSE
#define S_FALSE ORVEL_HR(0x00000001)
#endif
#ifndef E_NOTIMPL
#define E_NOTIMPL ORVEL_HR(0x80004001)
#endif
#ifndef E_POINTER
#define E_POINTER ORVEL_HR(0x80004003)
#endif
#ifndef E_FAIL
#define E_FAIL ORVEL_HR(0x80004005)
#endif
#ifndef E_OUTOFMEMORY
#define E_OUTOFMEMORY ORVEL_HR(0x8007000E)
#endif
#ifndef E_INVALIDARG
#define E_INVALIDARG ORVEL_HR(0x80070057)
#endif

/* Service result codes. */
#ifndef E_OV_CLIENT_BAD_PARAMS
#define E_OV_CLIENT_BAD_PARAMS ORVEL_HR(0x80041001)
#endif
#ifndef E_OV_SERVER_DENY
#define E_OV_SERVER_DENY ORVEL_HR(0x80041002)
#endif
#ifndef E_OV_SERVER_BUSY
#define E_OV_SERVER_BUSY ORVEL_HR(0x80041003)
#endif
#ifndef E_OV_CLIENT_TOO_FREQUENT
#define E_OV_CLIENT_TOO_FREQUENT ORVEL_HR(0x80041004)
#endif
#ifndef E_OV_CLIENT_NO_METHOD
#define E_OV_CLIENT_NO_METHOD ORVEL_HR(0x80041005)
#endif
#ifndef E_OV_ACCOUNT_SERVER_ERROR
#define E_OV_ACCOUNT_SERVER_ERROR ORVEL_HR(0x80041006)
#endif
#ifndef E_OV_ACCOUNT_NOT_ACTIVE
#define E_OV_ACCOUNT_NOT_ACTIVE ORVEL_HR(0x80041007)
#endif
#ifndef E_OV_DATA_OPERATION_FAILED
#define E_OV_DATA_OPERATION_FAILED ORVEL_HR(0x80041008)
#endif
#ifndef E_OV_PERMISSION_DENIED
#define E_OV_PERMISSION_DENIED ORVEL_HR(0x80041009)
#endif
#ifndef E_OV_SERVER_DENY_READ_ONLY
#define E_OV_SERVER_DENY_READ_ONLY ORVEL_HR(0x8004100A)
#endif
#ifndef E_OV_FAILURE_TO_APPLY_STUB
#define E_OV_FAILURE_TO_APPLY_STUB ORVEL_HR(0x8004100B)
#endif
#ifndef E_OV_BAD_STUB
#define E_OV_BAD_STUB ORVEL_HR(0x8004100C)
#endif
#ifndef E_OV_GET_FILE_KEY_FAILED
#define E_OV_GET_FILE_KEY_FAILED ORVEL_HR(0x8004100D)
#endif
#ifndef E_OV_STORAGE_ERROR
#define E_OV_STORAGE_ERROR ORVEL_HR(0x8004100E)
#endif
#ifndef E_OV_GET_FILE_INFO_FAILED
#define E_OV_GET_FILE_INFO_FAILED ORVEL_HR(0x8004100F)
#endif
#ifndef E_OV_UNKNOWN_SERVER_ERROR
#define E_OV_UNKNOWN_SERVER_ERROR ORVEL_HR(0x80041010)
#endif
#ifndef E_OV_SERVER_ERROR
#define E_OV_SERVER_ERROR ORVEL_HR(0x80041011)
#endif
#ifndef E_OV_COMMIT_FAIL
#define E_OV_COMMIT_FAIL ORVEL_HR(0x80041012)
#endif
#ifndef E_OV_GET_STUB_FAIL
#define E_OV_GET_STUB_FAIL ORVEL_HR(0x80041013)
#endif
#ifndef E_OV_CLIENT_TOKEN_EXPIRED
#define E_OV_CLIENT_TOKEN_EXPIRED ORVEL_HR(0x80041014)
#endif
#ifndef E_OV_METHOD_VERSION_NOT_MATCH
#define E_OV_METHOD_VERSION_NOT_MATCH ORVEL_HR(0x80041015)
#endif
#ifndef E_OV_CANCELLED
#define E_OV_CANCELLED ORVEL_HR(0x80041016)
#endif
#ifndef E_OV_ACCOUNT_NOT_MATCH
#define E_OV_ACCOUNT_NOT_MATCH ORVEL_HR(0x80041017)
#endif
#ifndef E_OV_CLIENT_NO_LOGIN
#define E_OV_CLIENT_NO_LOGIN ORVEL_HR(0x80041018)
#endif
#ifndef E_OV_ERROR_DENY
#define E_OV_ERROR_DENY ORVEL_HR(0x80041019)
#endif
#ifndef E_OV_TARGET_EXISTS
#define E_OV_TARGET_EXISTS ORVEL_HR(0x8004101A)
#endif
#ifndef E_OV_TARGET_NOT_EXISTS
#define E_OV_TARGET_NOT_EXISTS ORVEL_HR(0x8004101B)
#endif
#ifndef E_OV_OVER_SPACE
#define E_OV_OVER_SPACE ORVEL_HR(0x8004101C)
#endif
#ifndef E_OV_FILE_VER_CONFLICT
#define E_OV_FILE_VER_CONFLICT ORVEL_HR(0x8004101D)
#endif
#ifndef E_OV_FORBIDDEN
#define E_OV_FORBIDDEN ORVEL_HR(0x8004101E)
#endif
#ifndef E_OV_PARENT_NOT_EXIST
#define E_OV_PARENT_NOT_EXIST ORVEL_HR(0x8004101F)
#endif
#ifndef E_OV_EMPTY_FILE
#define E_OV_EMPTY_FILE ORVEL_HR(0x80041022)
#endif
#ifndef E_OV_FOLDER_NON_EMPTY
#define E_OV_FOLDER_NON_EMPTY ORVEL_HR(0x80041023)
#endif
#ifndef E_OV_UPLOAD_ERROR
#define E_OV_UPLOAD_ERROR ORVEL_HR(0x80041024)
#endif
#ifndef E_OV_FILE_MISS_IN_AGENT
#define E_OV_FILE_MISS_IN_AGENT ORVEL_HR(0x80041025)
#endif
#ifndef E_OV_TIMEOUT
#define E_OV_TIMEOUT ORVEL_HR(0x80041026)
#endif
#ifndef E_OV_WSS_ERROR
#define E_OV_WSS_ERROR ORVEL_HR(0x80041027)
#endif
#ifndef E_OV_RESET_CLIENT_CACHE
#define E_OV_RESET_CLIENT_CACHE ORVEL_HR(0x80041029)
#endif
#ifndef E_OV_UNSUPPORTED_CHAR_RANGE
#define E_OV_UNSUPPORTED_CHAR_RANGE ORVEL_HR(0x8004102C)
#endif
#ifndef E_OV_FNAME_TOO_LONG
#define E_OV_FNAME_TOO_LONG ORVEL_HR(0x8004102D)
#endif
#ifndef E_OV_THIRD_SERVER_ERROR
#define E_OV_THIRD_SERVER_ERROR ORVEL_HR(0x8004102E)
#endif
#ifndef E_OV_TICKET_NOT_VALID
#define E_OV_TICKET_NOT_VALID ORVEL_HR(0x8004102F)
#endif
#ifndef E_OV_TREE_VER_DENY
#define E_OV_TREE_VER_DENY ORVEL_HR(0x80041030)
#endif
/* Network results produced by the library itself. */
#ifndef E_OV_NETWORK_TIMEOUT
#define E_OV_NETWORK_TIMEOUT ORVEL_HR(0x80044001)
#endif
#ifndef E_OV_NETWORK_UNREACHABLE
#define E_OV_NETWORK_UNREACHABLE ORVEL_HR(0x80044002)
#endif
#ifndef E_OV_NETWORK_ERROR
#define E_OV_NETWORK_ERROR ORVEL_HR(0x80044005)
#endif

/* ---- Strings ------------------------------------------------------------ */
/* Allocates a copy of a NUL-terminated string; null gives null. */
ORVEL_API BSTR SysAllocString(const char16_t* psz);
/* Allocates len characters copied from pch (or zeroed when pch is null). */
ORVEL_API BSTR SysAllocStringLen(const char16_t* pch, unsigned int len);
/* Frees a BSTR; null is allowed. */
ORVEL_API void SysFreeString(BSTR bstr);
/* Length in characters; null gives 0. */
ORVEL_API unsigned int SysStringLen(BSTR bstr);

/* ---- Account ------------------------------------------------------------ */
ORVEL_API HRESULT ORVEL_Login(const char16_t* user, const char16_t* password, const char16_t* deviceId,
                              const char16_t* clientName, const char16_t* clientVersion, BSTR* userId,
                              BSTR* token, BSTR* nickName);
ORVEL_API HRESULT ORVEL_Relogin(const char16_t* token, const char16_t* deviceId, BSTR* newToken);
/* Space figures in whole MiB. */
ORVEL_API HRESULT ORVEL_GetSpace(const char16_t* token, const char16_t* email, const char16_t* userId,
                                 int64_t* usedMiB, int64_t* totalMiB);

/* ---- File management ---------------------------------------------------- */
ORVEL_API HRESULT ORVEL_Delete(const char16_t* token, const char16_t* itemId);
ORVEL_API HRESULT ORVEL_Rename(const char16_t* token, const char16_t* itemId, const char16_t* newName);
ORVEL_API HRESULT ORVEL_Move(const char16_t* token, const char16_t* itemId, const char16_t* newParentId);
ORVEL_API HRESULT ORVEL_NewFolder(const char16_t* token, const char16_t* parentId, const char16_t* name,
                                  BSTR* newFolderId);

/* ---- Folder listing ----------------------------------------------------- */
ORVEL_API HRESULT ORVEL_EnumFiles(const char16_t* token, const char16_t* folderId, ORVEL_FILELIST* phFiles);
ORVEL_API HRESULT ORVEL_DestoryFiles(ORVEL_FILELIST hFiles);
ORVEL_API HRESULT ORVEL_GetFilesNum(ORVEL_FILELIST hFiles, int* count);
/* Type 0 is a folder, 1 a file. */
ORVEL_API HRESULT ORVEL_GetFileType(ORVEL_FILELIST hFiles, unsigned int index, int* type);
ORVEL_API HRESULT ORVEL_GetFileId(ORVEL_FILELIST hFiles, unsigned int index, BSTR* fileId);
ORVEL_API HRESULT ORVEL_GetParentId(ORVEL_FILELIST hFiles, unsigned int index, BSTR* parentId);
ORVEL_API HRESULT ORVEL_GetFileName(ORVEL_FILELIST hFiles, unsigned int index, BSTR* name);
/* Size clamped to 2147483647; use ORVEL_GetFileSize64 for large files. */
ORVEL_API HRESULT ORVEL_GetFileSize(ORVEL_FILELIST hFiles, unsigned int index, int* size);
ORVEL_API HRESULT ORVEL_GetFileSize64(ORVEL_FILELIST hFiles, unsigned int index, int64_t* size);
ORVEL_API HRESULT ORVEL_GetModifyTime(ORVEL_FILELIST hFiles, unsigned int index, BSTR* modifyTime);
ORVEL_API HRESULT ORVEL_GetFileSha1(ORVEL_FILELIST hFiles, unsigned int index, BSTR* sha1);
ORVEL_API HRESULT ORVEL_GetFileVersion(ORVEL_FILELIST hFiles, unsigned int index, BSTR* version);

/* ---- Transfers and progress --------------------------------------------- */
ORVEL_API HRESULT ORVEL_CreateProgress(ORVEL_PROGRESS* phProgress);
ORVEL_API HRESULT ORVEL_Upload(const char16_t* token, const char16_t* parentId, const char16_t* name,
                               const char16_t* filePath, const char16_t* tempFolderPath, BSTR* fileId,
                               ORVEL_PROGRESS hProgress);
ORVEL_API HRESULT ORVEL_Update(const char16_t* token, const char16_t* fileId, const char16_t* filePath,
                               const char16_t* tempFolderPath, ORVEL_PROGRESS hProgress);
ORVEL_API HRESULT ORVEL_Download(const char16_t* token, const char16_t* fileId, const char16_t* modifyTime,
                                 const char16_t* filePath, const char16_t* sha1, const char16_t* version,
                                 const char16_t* tempFolderPath, int previousVersion, ORVEL_PROGRESS hProgress);
ORVEL_API HRESULT ORVEL_QueryProgress(ORVEL_PROGRESS hProgress, double* total, double* done, double* speed);
ORVEL_API HRESULT ORVEL_CancelTransport(ORVEL_PROGRESS hProgress);
ORVEL_API HRESULT ORVEL_DestroyProgress(ORVEL_PROGRESS hProgress);

/* ---- Diagnostics -------------------------------------------------------- */
/* The cause of the last network failure of a call on this thread, in a few
 * words, e.g. "connection refused (127.0.0.1:1)", "timed out after 60 s" or
 * "HTTP 503 from 127.0.0.1:18750"; an empty string when the last call had
 * none. The caller frees *text with SysFreeString. */
ORVEL_API HRESULT ORVEL_GetLastErrorText(BSTR* text);

#ifdef __cplusplus
}
#endif

#endif /* ORVELSDK_ORVELSDK_H */
