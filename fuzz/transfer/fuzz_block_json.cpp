// Feeds arbitrary bytes to the block servers' JSON reader as an answer, then through the
// answer's result check and the block-list reading of a metadata download. Nothing may crash
// or throw anything but the transfer's own exceptions; the reader accepts only what a
// general JSON parser accepts too; a list that is read holds only blocks that can be trusted.
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "../fuzz_support.h"
#include "blocks/codec/block_codec.h"
#include "blocks/transfer/block_list_check.h"
#include "blocks/transfer/json_reader.h"
#include "blocks/transfer/ufa_common.h"
#include "blocks/transfer/ufa_download.h"
#include "common/exceptions.h"

namespace {

// Strict UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF).
bool ValidUtf8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t len = c < 0x80                   ? 1
                           : (c >= 0xc2 && c < 0xe0)  ? 2
                           : (c >= 0xe0 && c < 0xf0)  ? 3
                           : (c >= 0xf0 && c <= 0xf4) ? 4
                                                      : 0;
        if (len == 0 || i + len > s.size()) return false;
        uint32_t cp = len == 1 ? c : c & (len == 2 ? 0x1f : len == 3 ? 0x0f : 0x07);
        for (size_t k = 1; k < len; ++k) {
            const unsigned char cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xc0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3f);
        }
        if ((len == 3 && (cp < 0x800 || (cp >= 0xd800 && cp <= 0xdfff))) ||
            (len == 4 && (cp < 0x10000 || cp > 0x10ffff)))
            return false;
        i += len;
    }
    return true;
}

void CheckBlocks(const MetadataDownloader& md) {
    int64_t total = 0;
    for (const auto& [index, block] : md.blocks) {
        if (index < 1 || block.index != index) std::abort();
        if (!ufa::IsValidBlockId(block.blockId) || !ufa::IsHttpUrl(block.url)) std::abort();
        if (block.size != BlockIdSize(block.blockId)) std::abort();
        total += block.size;
    }
    if (total != md.totalSize) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::QuietLog();
    const std::string text(reinterpret_cast<const char*>(data), size);

    RecordTree tree;
    const HRESULT hr = ReadJson(text, tree);
    if (hr != S_OK && hr != E_FAIL) std::abort();
    if (hr == S_OK) {
        // A narrow reader: whatever it takes is JSON (given valid UTF-8, which it leaves alone).
        if (ValidUtf8(text) && !nlohmann::json::accept(text)) std::abort();
    }

    try {
        const RecordTree answer = ufa::ParseJsonAnswer(text, "fuzz");
        MetadataDownloader md;
        try {
            md.ReadBlocks(answer);
        } catch (const EXCEPT::ServerError&) {
            return 0;
        }
        CheckBlocks(md);
        // A list the check passes describes the file: indexes 1..n once each, whole
        // blocks but the last, the sizes adding up to the file's size.
        const int64_t fileSize = static_cast<int64_t>(md.totalSize);
        if (CheckBlockList(md.listed, fileSize).empty()) {
            if (md.listed.size() != md.blocks.size()) std::abort();
            int32_t expect = 1;
            int64_t sum = 0;
            for (const auto& [index, block] : md.blocks) {
                if (index != expect++) std::abort();
                if (block.size < 0 || block.size > kBlockSize) std::abort();
                if (index < static_cast<int32_t>(md.blocks.size()) && block.size != kBlockSize) std::abort();
                sum += block.size;
            }
            if (sum != fileSize) std::abort();
        }
    } catch (const EXCEPT::ServerError&) {
    } catch (const EXCEPT::UserSessionError&) {
    } catch (const EXCEPT::RemoteConflict&) {}
    return 0;
}
