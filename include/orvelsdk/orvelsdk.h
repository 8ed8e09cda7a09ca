/**
 * @file orvelsdk.h
 * @brief orvelsdk: client library of the Tavik cloud file-storage service.
 *
 * @par API rules
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

#include "orvelsdk_results.h"

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

/* Opaque handles. */
/** A folder listing made by ORVEL_EnumFiles; freed with ORVEL_DestoryFiles. */
typedef struct OrvelFileList* ORVEL_FILELIST;
/** A transfer's progress and cancel switch, made by ORVEL_CreateProgress; freed with ORVEL_DestroyProgress. */
typedef struct OrvelProgress* ORVEL_PROGRESS;

/* ---- Strings ------------------------------------------------------------ */
/**
 * @defgroup strings BSTR helpers
 * Every out-string of the library is a BSTR made by the library; these free
 * and measure them. A BSTR is UTF-16, NUL-terminated, with its length in
 * bytes stored before the first character. Any thread may call them.
 * @{
 */
/**
 * @brief Allocates a copy of a NUL-terminated string. Free it with SysFreeString.
 * @param psz  the string to copy
 * @return the copy; null for a null @p psz or when memory runs out.
 */
ORVEL_API BSTR SysAllocString(const char16_t* psz);
/**
 * @brief Allocates a string of @p len characters plus a NUL. Free it with SysFreeString.
 * @param pch  the characters to copy, or null for zeroed ones
 * @param len  the length in characters
 * @return the string; null when memory runs out.
 */
ORVEL_API BSTR SysAllocStringLen(const char16_t* pch, unsigned int len);
/**
 * @brief Frees a BSTR made by this library.
 * @param bstr  the string; null is allowed and does nothing
 */
ORVEL_API void SysFreeString(BSTR bstr);
/**
 * @brief The length of a BSTR.
 * @param bstr  the string
 * @return its length in characters (UTF-16 units, without the NUL); 0 for null.
 */
ORVEL_API unsigned int SysStringLen(BSTR bstr);
/** @} */

/* ---- Account ------------------------------------------------------------ */
/**
 * @defgroup account Account
 * The library keeps no session: ORVEL_Login hands out a token that the
 * caller passes to every later call. Each call blocks the calling thread for
 * one request to the service; calls on different threads run side by side.
 * @{
 */

/**
 * @brief Signs in and hands out the session token.
 *
 * @param user           the account's user name
 * @param password       its password (never written to the log)
 * @param deviceId       a stable id of this installation, chosen by the caller
 * @param clientName     the application's name, as the service should see it
 * @param clientVersion  the application's version
 * @param userId         receives the account's user id
 * @param token          receives the session token for all later calls
 * @param nickName       receives the account's display name (empty when the service sends none)
 * @return S_OK; E_OV_ACCOUNT_NOT_MATCH for a wrong user name or password,
 *         E_OV_ACCOUNT_NOT_ACTIVE, another E_OV_* of the service, a network
 *         result (E_OV_NETWORK_*), or E_POINTER for a null out-parameter.
 * @note The three strings belong to the caller (SysFreeString). On failure
 *       they are not written.
 */
ORVEL_API HRESULT ORVEL_Login(const char16_t* user, const char16_t* password, const char16_t* deviceId,
                              const char16_t* clientName, const char16_t* clientVersion, BSTR* userId, BSTR* token,
                              BSTR* nickName);

/**
 * @brief Trades a session token, even an expired one, for a fresh one.
 *
 * Call it when a call returns E_OV_CLIENT_TOKEN_EXPIRED, then repeat that call
 * with the new token; the old token stops working.
 * @param token     the current token
 * @param deviceId  the device id given at sign-in
 * @param newToken  receives the new token (the caller frees it)
 * @return S_OK, an E_OV_* of the service, a network result, or E_POINTER.
 */
ORVEL_API HRESULT ORVEL_Relogin(const char16_t* token, const char16_t* deviceId, BSTR* newToken);

/**
 * @brief The account's used and total storage space, in whole MiB (rounded down).
 *
 * @param token     the session token
 * @param email     the account's e-mail, where the service wants it (may be empty)
 * @param userId    the user id from ORVEL_Login
 * @param usedMiB   receives the space in use
 * @param totalMiB  receives the quota
 * @return S_OK, an E_OV_* of the service, a network result, or E_POINTER.
 */
ORVEL_API HRESULT ORVEL_GetSpace(const char16_t* token, const char16_t* email, const char16_t* userId, int64_t* usedMiB,
                                 int64_t* totalMiB);
/** @} */

/* ---- File management ---------------------------------------------------- */
/**
 * @defgroup items Files and folders
 * Items are named by the ids the service hands out; the root folder is "0".
 * Each call is one request on the calling thread.
 * @{
 */

/**
 * @brief Deletes a file, or a folder that is empty.
 * @param token   the session token
 * @param itemId  the file or folder
 * @return S_OK; E_OV_FOLDER_NON_EMPTY for a folder with items in it,
 *         E_OV_TARGET_NOT_EXISTS for an unknown id, another E_OV_*, a network result.
 */
ORVEL_API HRESULT ORVEL_Delete(const char16_t* token, const char16_t* itemId);

/**
 * @brief Renames a file or folder within its folder.
 * @param token    the session token
 * @param itemId   the file or folder
 * @param newName  its new name
 * @return S_OK; E_OV_TARGET_EXISTS when the folder already holds that name,
 *         E_OV_FNAME_TOO_LONG, E_OV_UNSUPPORTED_CHAR_RANGE, another E_OV_*, a network result.
 */
ORVEL_API HRESULT ORVEL_Rename(const char16_t* token, const char16_t* itemId, const char16_t* newName);

/**
 * @brief Moves a file or folder into another folder, keeping its name.
 * @param token        the session token
 * @param itemId       the file or folder
 * @param newParentId  the folder to move it into
 * @return S_OK; E_OV_TARGET_EXISTS when the new folder holds that name,
 *         E_OV_PARENT_NOT_EXIST, E_OV_CLIENT_BAD_PARAMS for a folder moved into
 *         itself, another E_OV_*, a network result.
 */
ORVEL_API HRESULT ORVEL_Move(const char16_t* token, const char16_t* itemId, const char16_t* newParentId);

/**
 * @brief Creates a folder.
 *
 * @param token        the session token
 * @param parentId     the folder to create it in ("0" for the root)
 * @param name         the new folder's name
 * @param newFolderId  receives the new folder's id; when the name is taken
 *                     (E_OV_TARGET_EXISTS) it receives the existing item's id
 * @return S_OK, E_OV_TARGET_EXISTS, E_OV_PARENT_NOT_EXIST, another E_OV_*,
 *         a network result, or E_POINTER. The caller frees the id.
 */
ORVEL_API HRESULT ORVEL_NewFolder(const char16_t* token, const char16_t* parentId, const char16_t* name,
                                  BSTR* newFolderId);
/** @} */

/* ---- Folder listing ----------------------------------------------------- */
/**
 * @defgroup listing Folder listings
 * ORVEL_EnumFiles makes a file-list handle that holds one folder's items as
 * the service listed them; the accessors read item @p index (0 for the first)
 * of it and never change it. A handle may be read from several threads at
 * once but must not be freed while it is read. Every accessor returns S_OK,
 * E_POINTER for a null handle or out-pointer, or E_INVALIDARG for an index
 * beyond the list. String fields belong to the caller (SysFreeString).
 * @{
 */

/**
 * @brief Lists one folder.
 * @param token     the session token
 * @param folderId  the folder ("0" for the root)
 * @param phFiles   receives the file-list handle; free it with ORVEL_DestoryFiles
 * @return S_OK; E_OV_TARGET_NOT_EXISTS for an unknown folder, another E_OV_*,
 *         a network result, or E_POINTER.
 */
ORVEL_API HRESULT ORVEL_EnumFiles(const char16_t* token, const char16_t* folderId, ORVEL_FILELIST* phFiles);
/**
 * @brief Frees a file-list handle (the name is spelt so, for compatibility). Do not use it afterwards.
 * @param hFiles  the file-list handle
 * @return S_OK or E_POINTER.
 */
ORVEL_API HRESULT ORVEL_DestoryFiles(ORVEL_FILELIST hFiles);
/**
 * @brief The number of items in the list.
 * @param hFiles  the file-list handle
 * @param count   receives the number of items
 * @return S_OK or E_POINTER.
 */
ORVEL_API HRESULT ORVEL_GetFilesNum(ORVEL_FILELIST hFiles, int* count);
/**
 * @brief The item's type: 0 for a folder, 1 for a file.
 * @param hFiles  the file-list handle
 * @param index   the item, from 0
 * @param type    receives the type
 * @return S_OK, E_POINTER, or E_INVALIDARG for an index beyond the list.
 */
ORVEL_API HRESULT ORVEL_GetFileType(ORVEL_FILELIST hFiles, unsigned int index, int* type);
/**
 * @brief The item's id.
 * @param hFiles  the file-list handle
 * @param index   the item, from 0
 * @param fileId  receives the id (the caller frees it)
 * @return S_OK, E_POINTER, or E_INVALIDARG for an index beyond the list.
 */
ORVEL_API HRESULT ORVEL_GetFileId(ORVEL_FILELIST hFiles, unsigned int index, BSTR* fileId);
/**
 * @brief The id of the folder that holds the item.
 * @param hFiles  the file-list handle
 * @param index   the item, from 0
 * @param parentId receives the id (the caller frees it)
 * @return S_OK, E_POINTER, or E_INVALIDARG for an index beyond the list.
 */
ORVEL_API HRESULT ORVEL_GetParentId(ORVEL_FILELIST hFiles, unsigned int index, BSTR* parentId);
/**
 * @brief The item's name.
 * @param hFiles  the file-list handle
 * @param index   the item, from 0
 * @param name    receives the name (the caller frees it)
 * @return S_OK, E_POINTER, or E_INVALIDARG for an index beyond the list.
 */
ORVEL_API HRESULT ORVEL_GetFileName(ORVEL_FILELIST hFiles, unsigned int index, BSTR* name);
/**
 * @brief The file's size in bytes, clamped to 2147483647; use ORVEL_GetFileSize64 for large files.
 * @param hFiles  the file-list handle
 * @param index   the item, from 0
 * @param size    receives the size
 * @return S_OK, E_POINTER, or E_INVALIDARG for an index beyond the list.
 */
ORVEL_API HRESULT ORVEL_GetFileSize(ORVEL_FILELIST hFiles, unsigned int index, int* size);
/**
 * @brief The file's size in bytes, unclamped.
 * @param hFiles  the file-list handle
 * @param index   the item, from 0
 * @param size    receives the size
 * @return S_OK, E_POINTER, or E_INVALIDARG for an index beyond the list.
 */
ORVEL_API HRESULT ORVEL_GetFileSize64(ORVEL_FILELIST hFiles, unsigned int index, int64_t* size);
/**
 * @brief The modify time exactly as the service keeps it ("2024-06-01 09:05:03", the uploader's local time, no zone).
 * @param hFiles  the file-list handle
 * @param index   the item, from 0
 * @param modifyTime receives the time (the caller frees it)
 * @return S_OK, E_POINTER, or E_INVALIDARG for an index beyond the list.
 */
ORVEL_API HRESULT ORVEL_GetModifyTime(ORVEL_FILELIST hFiles, unsigned int index, BSTR* modifyTime);
/**
 * @brief The file's SHA-1, 40 hex digits (empty for a folder).
 * @param hFiles  the file-list handle
 * @param index   the item, from 0
 * @param sha1    receives the SHA-1 (the caller frees it)
 * @return S_OK, E_POINTER, or E_INVALIDARG for an index beyond the list.
 */
ORVEL_API HRESULT ORVEL_GetFileSha1(ORVEL_FILELIST hFiles, unsigned int index, BSTR* sha1);
/**
 * @brief The file's version as the service numbers it.
 * @param hFiles  the file-list handle
 * @param index   the item, from 0
 * @param version receives the version (the caller frees it)
 * @return S_OK, E_POINTER, or E_INVALIDARG for an index beyond the list.
 */
ORVEL_API HRESULT ORVEL_GetFileVersion(ORVEL_FILELIST hFiles, unsigned int index, BSTR* version);
/** @} */

/* ---- Transfers and progress --------------------------------------------- */
/**
 * @defgroup transfers Transfers and progress
 * A transfer runs to its end on the calling thread. To watch or stop it, make
 * a progress handle first, pass it to the transfer, and call
 * ORVEL_QueryProgress or ORVEL_CancelTransport with it from another thread
 * while the transfer runs. Free the handle only after the transfer returned.
 * The temporary folder must exist; the library keeps a transfer's working
 * files there and may leave nothing or only finished blocks behind.
 * @{
 */

/**
 * @brief Makes a progress handle (total, done, speed all 0).
 * @param phProgress  receives the handle; free it with ORVEL_DestroyProgress
 * @return S_OK, E_POINTER, E_OUTOFMEMORY.
 */
ORVEL_API HRESULT ORVEL_CreateProgress(ORVEL_PROGRESS* phProgress);

/**
 * @brief Uploads a local file as a new file.
 *
 * @param token           the session token
 * @param parentId        the folder to put it in ("0" for the root)
 * @param name            its name there
 * @param filePath        the local file
 * @param tempFolderPath  an existing folder for the transfer's working files
 * @param fileId          receives the new file's id (the caller frees it);
 *                        for E_OV_TARGET_EXISTS, the existing file's id
 * @param hProgress       a handle from ORVEL_CreateProgress
 * @return S_OK; E_OV_TARGET_EXISTS when the folder holds that name,
 *         E_OV_CANCELLED after ORVEL_CancelTransport, E_OV_OVER_SPACE,
 *         another E_OV_*, a network result, E_FAIL for a local file that
 *         cannot be read, or E_POINTER.
 */
ORVEL_API HRESULT ORVEL_Upload(const char16_t* token, const char16_t* parentId, const char16_t* name,
                               const char16_t* filePath, const char16_t* tempFolderPath, BSTR* fileId,
                               ORVEL_PROGRESS hProgress);

/**
 * @brief Uploads a local file as the new version of an existing file.
 *
 * @param token           the session token
 * @param fileId          the file to update
 * @param filePath        the local file with the new content
 * @param tempFolderPath  an existing folder for the transfer's working files
 * @param hProgress       a handle from ORVEL_CreateProgress
 * @return as ORVEL_Upload; E_OV_FILE_VER_CONFLICT when the file changed meanwhile.
 */
ORVEL_API HRESULT ORVEL_Update(const char16_t* token, const char16_t* fileId, const char16_t* filePath,
                               const char16_t* tempFolderPath, ORVEL_PROGRESS hProgress);

/**
 * @brief Downloads a file's current or previous version into a local file.
 *
 * @param token            the session token
 * @param fileId           the file
 * @param modifyTime       the modify time from the listing (any non-empty text does)
 * @param filePath         the local file to write (replaced when it exists)
 * @param sha1             the SHA-1 from the listing (any non-empty text does)
 * @param version          the version from the listing (any non-empty text does)
 * @param tempFolderPath   an existing folder for the finished blocks
 * @param previousVersion  non-zero for the version before the current one
 * @param hProgress        a handle from ORVEL_CreateProgress
 * @return S_OK; E_OV_TARGET_NOT_EXISTS, E_OV_CANCELLED, E_OV_NETWORK_ERROR for
 *         data that arrived damaged, another E_OV_*, a network result, E_FAIL
 *         when the local file cannot be written, or E_POINTER.
 */
ORVEL_API HRESULT ORVEL_Download(const char16_t* token, const char16_t* fileId, const char16_t* modifyTime,
                                 const char16_t* filePath, const char16_t* sha1, const char16_t* version,
                                 const char16_t* tempFolderPath, int previousVersion, ORVEL_PROGRESS hProgress);

/**
 * @brief The running (or last) transfer's figures.
 * @param hProgress  the progress handle
 * @param total      receives the bytes of the whole transfer
 * @param done       receives the bytes done so far
 * @param speed      receives the current speed in bytes per second
 * @note Any thread may call it while a transfer uses the handle. Done never
 *       goes down within a transfer; until the file's block list is known it
 *       is 0, of the file's size for an upload and of 0 for a download.
 * @return S_OK or E_POINTER.
 */
ORVEL_API HRESULT ORVEL_QueryProgress(ORVEL_PROGRESS hProgress, double* total, double* done, double* speed);

/**
 * @brief Asks the transfer that uses the handle to stop; it then returns E_OV_CANCELLED.
 * @param hProgress  the progress handle
 * @note Any thread may call it; it returns at once. A handle once cancelled stays so.
 * @return S_OK or E_POINTER.
 */
ORVEL_API HRESULT ORVEL_CancelTransport(ORVEL_PROGRESS hProgress);

/**
 * @brief Frees a progress handle. Call it only after the transfer that used it returned.
 * @param hProgress  the progress handle
 * @return S_OK or E_POINTER.
 */
ORVEL_API HRESULT ORVEL_DestroyProgress(ORVEL_PROGRESS hProgress);
/** @} */

/* ---- About the library -------------------------------------------------- */
/**
 * @defgroup about About the library
 * @{
 */
/**
 * @brief Turns a result value into its name and a plain-language meaning.
 *
 * @param result   Any HRESULT, as returned by a function of this library.
 * @param name     Receives the result's name, e.g. "E_OV_TARGET_EXISTS"; for a
 *                 value the library does not know, its hex form ("0x8004abcd").
 *                 May be null when not wanted.
 * @param meaning  Receives one line of English, e.g. "a file of that name
 *                 already exists" ("unknown result" for an unknown value).
 *                 May be null when not wanted.
 * @return S_OK for a known value, S_FALSE for an unknown one, E_POINTER when
 *         both out-parameters are null, E_OUTOFMEMORY.
 * @note The caller owns the returned strings and frees them with SysFreeString.
 *       No network access; any thread may call.
 */
ORVEL_API HRESULT ORVEL_GetResultText(HRESULT result, BSTR* name, BSTR* meaning);

/**
 * @brief The version of the loaded library (major.minor.patch).
 *
 * @param major  receives the major version (a change breaks compatibility)
 * @param minor  receives the minor version (additions)
 * @param patch  receives the patch level (fixes)
 * Each out-parameter may be null when not wanted.
 * @return S_OK, or E_POINTER when all three are null. Any thread may call.
 */
ORVEL_API HRESULT ORVEL_GetVersion(int* major, int* minor, int* patch);
/** @} */

/* ---- Diagnostics -------------------------------------------------------- */
/**
 * @defgroup diagnostics Diagnostics
 * @{
 */

/**
 * @brief The cause of the last network failure of a call on this thread.
 *
 * In a few words, e.g. "connection refused (127.0.0.1:1)", "timed out after
 * 60 s" or "HTTP 503 from 127.0.0.1:18750"; an empty string when the last
 * call had none. Reading it does not change it.
 *
 * @param text  receives the text; the caller frees it with SysFreeString
 * @return S_OK, E_POINTER when text is null, or E_OUTOFMEMORY.
 */
ORVEL_API HRESULT ORVEL_GetLastErrorText(BSTR* text);
/** @} */

#ifdef __cplusplus
}
#endif

#endif /* ORVELSDK_ORVELSDK_H */
