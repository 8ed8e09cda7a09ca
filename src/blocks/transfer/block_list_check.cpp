#include "blocks/transfer/block_list_check.h"

#include "blocks/codec/block_codec.h"

std::string CheckBlockList(const std::vector<ListedBlock>& blocks, int64_t fileSize) {
    const size_t count = blocks.size();
    if (count == 0) return "no blocks";
    if (fileSize >= 0) {
        // An empty file still has one block, of size 0.
        const int64_t expected = fileSize == 0 ? 1 : (fileSize + kBlockSize - 1) / kBlockSize;
        if (static_cast<int64_t>(count) != expected)
            return std::to_string(count) + " blocks for a file of " + std::to_string(fileSize) + " bytes";
    }
    std::vector<int32_t> sizes(count + 1, -1);  // by index; -1 = not listed yet
    for (const ListedBlock& block : blocks) {
        if (block.index < 1 || static_cast<size_t>(block.index) > count)
            return "index " + std::to_string(block.index) + " outside 1.." + std::to_string(count);
        if (sizes[block.index] >= 0) return "index " + std::to_string(block.index) + " listed twice";
        const int32_t size = BlockIdSize(block.blockId);
        if (size < 0) return "bad identifier at index " + std::to_string(block.index);
        sizes[block.index] = size;
    }
    // Every index 1..count is now listed exactly once.
    int64_t total = 0;
    for (size_t i = 1; i <= count; ++i) {
        const bool last = i == count;
        const bool fits = last ? (sizes[i] <= kBlockSize && (sizes[i] > 0 || count == 1)) : sizes[i] == kBlockSize;
        if (!fits)
            return "size " + std::to_string(sizes[i]) + " of block " + std::to_string(i) + " of " +
                   std::to_string(count);
        total += sizes[i];
    }
    if (fileSize >= 0 && total != fileSize)
        return "block sizes add up to " + std::to_string(total) + ", the file has " + std::to_string(fileSize);
    return {};
}
