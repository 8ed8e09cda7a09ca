// The file-list record behind an ORVEL_FILELIST handle: filled once from a
// folder listing answer and read-only afterwards.
#pragma once

#include <orvelsdk/orvelsdk.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/recordtree.h"

struct FileListItem {
    int32_t nType = 1;    // 0 folder, 1 anything else
    int32_t nSize = 0;    // clamped to the 32-bit range (the 32-bit accessor)
    int64_t nSize64 = 0;  // the full size for ORVEL_GetFileSize64
    std::string strVersion;
    std::string strSha1;
    std::string strName;
    std::string strId;
    std::string strParentId;
    std::string strModifyTime;
};

// The handle type of the public header is the record itself.
struct OrvelFileList {
    std::vector<FileListItem> m_files;

    // The item at `index`, or null (with the assertion record) when the index
    // is at or beyond the item count.
    const FileListItem* At(uint32_t index) const;
};
using FileList = OrvelFileList;

// Decimal text as the service sends numbers: leading white space, optional
// sign, digits up to the first other character; no digits gives 0, values
// beyond the 64-bit range are clamped.
int64_t ParseInt64Clamped(std::string_view text);
int32_t ClampToInt32(int64_t value);

// Appends one item per child of `answer` that carries a "fileId"; an answer
// without children is an empty folder. S_OK.
HRESULT FillFileList(const RecordTree& answer, FileList& list);
