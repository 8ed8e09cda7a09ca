#include "orvelsdk/exchangedata.h"

#include <cctype>
#include <limits>

#include "log/log.h"
#include "platform/strings.h"

const FileListItem* OrvelFileList::At(uint32_t index) const {
    // The record's own check: the caller must never read outside m_files.
    if (!ORVEL_ASSERT(index < m_files.size())) return nullptr;
    return &m_files[index];
}

int64_t ParseInt64Clamped(std::string_view text) {
    size_t pos = 0;
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    // Accumulate as a negative number so that INT64_MIN stays representable.
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    int64_t value = 0;
    bool overflow = false;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        const int digit = text[pos] - '0';
        if (overflow) continue;
        if (value < (kMin + digit) / 10) {
            overflow = true;
            continue;
        }
        value = value * 10 - digit;
    }
    if (overflow) return negative ? kMin : std::numeric_limits<int64_t>::max();
    if (negative) return value;
    return value == kMin ? std::numeric_limits<int64_t>::max() : -value;
}

int32_t ClampToInt32(int64_t value) {
    if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

HRESULT FillFileList(const RecordTree& answer, FileList& list) {
    // The service answers an empty folder with no child elements at all; that
    // is an empty listing, not a failure.
    list.m_files.reserve(answer.Children.size());
    for (const RecordTree& child : answer.Children) {
        std::string id = child.GetValue("fileId");
        if (id.empty()) continue;  // empty elements and items without an id
        FileListItem item;
        item.nType = EqualsNoCase(child.GetValue("type"), "folder") ? 0 : 1;
        item.strName = child.GetValue("name");
        item.strId = std::move(id);
        item.strParentId = child.GetValue("parentId");
        item.strSha1 = child.GetValue("sha1");
        item.strModifyTime = child.GetValue("modTime");
        item.strVersion = child.GetValue("fileVer");
        item.nSize64 = ParseInt64Clamped(child.GetValue("size"));
        item.nSize = ClampToInt32(item.nSize64);
        list.m_files.push_back(std::move(item));
    }
    return S_OK;
}
