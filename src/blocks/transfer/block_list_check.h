// Checks a download's block list before the first block is fetched, so that a
// list that cannot describe the file never costs a block request.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct ListedBlock {
    int32_t index = 0;    // as listed (1 = first block)
    std::string blockId;  // six hex digits of size, then the plain SHA-1
};

// The blocks must carry the indexes 1..n once each; every block but the last is
// a whole block (4 MiB), the last one up to a whole block (0 only for an empty
// file's single block); with a known file size (fileSize >= 0) n and the sizes
// must add up to it. Returns an empty text when the list is sound, else why not.
std::string CheckBlockList(const std::vector<ListedBlock>& blocks, int64_t fileSize);
