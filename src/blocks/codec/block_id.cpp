#include <cstdio>

#include "blocks/codec/block_codec.h"

int32_t BlockCount(int64_t fileSize) {
    if (fileSize <= 0) return 1;
    return static_cast<int32_t>((fileSize + kBlockSize - 1) / kBlockSize);
}

std::string MakeBlockId(int32_t size, std::string_view sha1) {
    char head[16];
    std::snprintf(head, sizeof head, "%06x", static_cast<unsigned>(size));
    std::string id(head);
    id.append(sha1);
    return id;
}

int32_t BlockIdSize(std::string_view blockId) {
    if (blockId.size() != 46) return -1;
    int32_t size = 0;
    for (size_t i = 0; i < 6; ++i) {
        char c = blockId[i];
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else {
            return -1;  // not a size: never let garbage pass as a block length
        }
        size = size * 16 + digit;
    }
    return size;
}
