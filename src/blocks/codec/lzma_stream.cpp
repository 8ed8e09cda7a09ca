// LZMA-alone payload stream: 13-byte header written and checked here, raw
// LZMA1 data coded by liblzma.
#include <lzma.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "blocks/codec/block_codec.h"
#include "blocks/codec/file_io.h"
#include "log/log.h"

using orvel::codec::File;

namespace {

constexpr size_t kHeaderSize = 13;
// The header always declares the 16 MiB dictionary of the level-5 defaults
// (properties 5D 00 00 00 01), the value every reader of the format expects.
constexpr uint32_t kDeclaredDictionary = 1u << 24;
constexpr uint8_t kPropertiesByte = 0x5D;  // lc 3, lp 0, pb 2
constexpr uint64_t kUnknownSize = UINT64_MAX;
constexpr uint32_t kMinDictionary = 4096;  // LZMA_DICT_SIZE_MIN

struct StreamEnd {
    void operator()(lzma_stream* s) const { lzma_end(s); }
};

// Runs `strm` over `in` into `out` with 64 KiB buffers. `limit` caps the
// output; a stream that needs more fails. True only on LZMA_STREAM_END.
bool Pump(lzma_stream& strm, File& in, File& out, uint64_t limit) {
    auto inBuf = std::make_unique<uint8_t[]>(kChunkSize);
    auto outBuf = std::make_unique<uint8_t[]>(kChunkSize);
    lzma_action action = LZMA_RUN;
    strm.next_out = outBuf.get();
    strm.avail_out = kChunkSize;
    for (;;) {
        if (strm.avail_in == 0 && action == LZMA_RUN) {
            ssize_t got = in.ReadFull(inBuf.get(), kChunkSize);
            if (!ERROR_CHECK_BOOL(got >= 0)) return false;
            strm.next_in = inBuf.get();
            strm.avail_in = static_cast<size_t>(got);
            if (static_cast<size_t>(got) < kChunkSize) action = LZMA_FINISH;
        }
        lzma_ret ret = lzma_code(&strm, action);
        size_t produced = kChunkSize - strm.avail_out;
        if (produced > 0 && (ret == LZMA_OK || ret == LZMA_STREAM_END)) {
            if (!ERROR_CHECK_BOOL(strm.total_out <= limit)) return false;
            if (!ERROR_CHECK_BOOL(out.WriteAll(outBuf.get(), produced))) return false;
            strm.next_out = outBuf.get();
            strm.avail_out = kChunkSize;
        }
        if (ret == LZMA_STREAM_END) return true;
        // A stream cut short ends here with LZMA_BUF_ERROR: no progress possible.
        if (ret != LZMA_OK) {
            LOGF(5, "lzma_code failed: %d", static_cast<int>(ret));
            return false;
        }
    }
}

void PutLe(uint8_t* p, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint64_t GetLe(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

// Level-5 settings of the format with a window only as large as the input:
// matches can never reach further back.
bool EncoderOptions(lzma_options_lzma& options, uint64_t size) {
    if (!ERROR_CHECK_BOOL(lzma_lzma_preset(&options, 5) == 0)) return false;
    options.dict_size = static_cast<uint32_t>(std::clamp<uint64_t>(size, kMinDictionary, kDeclaredDictionary));
    options.lc = 3;
    options.lp = 0;
    options.pb = 2;
    options.mode = LZMA_MODE_NORMAL;
    options.nice_len = 32;
    options.mf = LZMA_MF_BT4;
    options.depth = 32;
    options.ext_flags = 0;  // known length, no end marker
    return true;
}

// Raw LZMA1 of `in[0..n)` into `out[0..capacity)`; the bytes written, or -1
// when the stream does not fit (or the encoder fails).
int64_t EncodeRaw(const uint8_t* in, size_t n, uint8_t* out, size_t capacity) {
    lzma_options_lzma options{};
    if (!EncoderOptions(options, n)) return -1;
    lzma_filter filters[] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream strm = LZMA_STREAM_INIT;
    if (!ERROR_CHECK_BOOL(lzma_raw_encoder(&strm, filters) == LZMA_OK)) return -1;
    std::unique_ptr<lzma_stream, StreamEnd> guard(&strm);
    strm.next_in = in;
    strm.avail_in = n;
    strm.next_out = out;
    strm.avail_out = capacity;
    for (;;) {
        lzma_ret ret = lzma_code(&strm, LZMA_FINISH);
        if (ret == LZMA_STREAM_END) return static_cast<int64_t>(strm.total_out);
        if (ret != LZMA_OK || strm.avail_out == 0) return -1;
    }
}

}  // namespace

bool LzmaCompressFile(std::string_view source, std::string_view destination) {
    File in = File::OpenRead(source);
    if (!ERROR_CHECK_BOOL(in.IsOpen())) return false;
    int64_t size = in.Size();
    // Readers refuse streams above one block, so none is ever written.
    if (!ERROR_CHECK_BOOL(size >= 0 && size <= kBlockSize)) return false;
    File out = File::Create(destination);
    if (!ERROR_CHECK_BOOL(out.IsOpen())) return false;

    uint8_t header[kHeaderSize];
    header[0] = kPropertiesByte;
    PutLe(header + 1, kDeclaredDictionary, 4);
    PutLe(header + 5, static_cast<uint64_t>(size), 8);
    if (!ERROR_CHECK_BOOL(out.WriteAll(header, sizeof header))) return false;

    // Level-5 settings of the format, but a window only as large as the input:
    // matches can never reach further back, so a bigger one is memory and time
    // spent for nothing. The stream stays valid for the declared dictionary.
    lzma_options_lzma options{};
    if (!EncoderOptions(options, static_cast<uint64_t>(size))) return false;
    lzma_filter filters[] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};

    lzma_stream strm = LZMA_STREAM_INIT;
    if (!ERROR_CHECK_BOOL(lzma_raw_encoder(&strm, filters) == LZMA_OK)) return false;
    std::unique_ptr<lzma_stream, StreamEnd> guard(&strm);
    if (!Pump(strm, in, out, UINT64_MAX)) return false;
    // The header promised `size` bytes: a file that changed meanwhile fails.
    if (!ERROR_CHECK_BOOL(strm.total_in == static_cast<uint64_t>(size))) return false;
    return ERROR_CHECK_BOOL(out.Close());
}

// Reads the 13-byte stream header into decoder options, the declared plain
// size and the most the stream may produce; false (logged) for a header no
// valid block has.
static bool ReadStreamHeader(const uint8_t* header, lzma_options_lzma& options, uint64_t& declared, uint64_t& limit) {
    unsigned props = header[0];
    if (!ERROR_CHECK_BOOL(props < 9 * 5 * 5)) return false;
    options.lc = props % 9;
    options.lp = (props / 9) % 5;
    options.pb = props / 45;
    if (!ERROR_CHECK_BOOL(options.lc + options.lp <= LZMA_LCLP_MAX)) return false;
    declared = GetLe(header + 5, 8);
    // One block is the most a payload may ever produce.
    if (!ERROR_CHECK_BOOL(declared == kUnknownSize || declared <= static_cast<uint64_t>(kBlockSize))) return false;
    limit = declared == kUnknownSize ? static_cast<uint64_t>(kBlockSize) : declared;
    // No match reaches before the start of the output, so a window of the
    // output's size decodes any valid stream; a hostile 4 GiB claim costs nothing.
    uint64_t dictionary = std::min<uint64_t>(GetLe(header + 1, 4), limit);
    options.dict_size = static_cast<uint32_t>(std::max<uint64_t>(dictionary, kMinDictionary));
    options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
    lzma_set_ext_size(options, declared);
    return true;
}

bool LzmaDecompressFile(std::string_view source, std::string_view destination) {
    File in = File::OpenRead(source);
    if (!ERROR_CHECK_BOOL(in.IsOpen())) return false;
    uint8_t header[kHeaderSize];
    if (!ERROR_CHECK_BOOL(in.ReadFull(header, sizeof header) == static_cast<ssize_t>(sizeof header))) return false;
    lzma_options_lzma options{};
    uint64_t declared = 0, limit = 0;
    if (!ReadStreamHeader(header, options, declared, limit)) return false;
    lzma_filter filters[] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};

    File out = File::Create(destination);
    if (!ERROR_CHECK_BOOL(out.IsOpen())) return false;
    lzma_stream strm = LZMA_STREAM_INIT;
    if (!ERROR_CHECK_BOOL(lzma_raw_decoder(&strm, filters) == LZMA_OK)) return false;
    std::unique_ptr<lzma_stream, StreamEnd> guard(&strm);
    if (!Pump(strm, in, out, limit)) return false;
    // Only a finished stream of exactly the declared length counts.
    if (!ERROR_CHECK_BOOL(declared == kUnknownSize || strm.total_out == declared)) return false;
    return ERROR_CHECK_BOOL(out.Close());
}

bool LzmaCompressBuffer(const uint8_t* in, size_t n, std::vector<uint8_t>& out, size_t limit) {
    out.clear();
    if (!ERROR_CHECK_BOOL(n <= static_cast<size_t>(kBlockSize))) return false;
    if (limit <= kHeaderSize) return false;
    out.resize(limit);
    out[0] = kPropertiesByte;
    PutLe(out.data() + 1, kDeclaredDictionary, 4);
    PutLe(out.data() + 5, static_cast<uint64_t>(n), 8);
    const int64_t written = EncodeRaw(in, n, out.data() + kHeaderSize, limit - kHeaderSize);
    if (written < 0) {
        out.clear();
        return false;
    }
    out.resize(kHeaderSize + static_cast<size_t>(written));
    return true;
}

bool LzmaDecompressBuffer(const uint8_t* in, size_t n, std::vector<uint8_t>& out) {
    out.clear();
    if (!ERROR_CHECK_BOOL(n >= kHeaderSize)) return false;
    lzma_options_lzma options{};
    uint64_t declared = 0, limit = 0;
    if (!ReadStreamHeader(in, options, declared, limit)) return false;
    lzma_filter filters[] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream strm = LZMA_STREAM_INIT;
    if (!ERROR_CHECK_BOOL(lzma_raw_decoder(&strm, filters) == LZMA_OK)) return false;
    std::unique_ptr<lzma_stream, StreamEnd> guard(&strm);
    // One byte more than allowed: a stream that would produce it is refused.
    out.resize(static_cast<size_t>(limit) + 1);
    strm.next_in = in + kHeaderSize;
    strm.avail_in = n - kHeaderSize;
    strm.next_out = out.data();
    strm.avail_out = out.size();
    lzma_ret ret = LZMA_OK;
    while (ret == LZMA_OK) {
        ret = lzma_code(&strm, LZMA_FINISH);
        if (ret == LZMA_OK && (strm.avail_in == 0 || strm.avail_out == 0)) break;
    }
    if (ret != LZMA_STREAM_END || strm.total_out > limit || (declared != kUnknownSize && strm.total_out != declared)) {
        LOGF(5, "lzma_code failed: %d", static_cast<int>(ret));
        out.clear();
        return false;
    }
    out.resize(static_cast<size_t>(strm.total_out));
    return true;
}
