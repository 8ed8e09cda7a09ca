// LZMA-alone payload stream: 13-byte header written and checked here, raw
// LZMA1 data coded by liblzma.
#include <lzma.h>

#include <algorithm>
#include <memory>

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
  if (!ERROR_CHECK_BOOL(lzma_lzma_preset(&options, 5) == 0)) return false;
  options.dict_size = static_cast<uint32_t>(
      std::clamp<int64_t>(size, kMinDictionary, kDeclaredDictionary));
  options.lc = 3;
  options.lp = 0;
  options.pb = 2;
  options.mode = LZMA_MODE_NORMAL;
  options.nice_len = 32;
  options.mf = LZMA_MF_BT4;
  options.depth = 32;
  options.ext_flags = 0;  // known length, no end marker
  lzma_filter filters[] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};

  lzma_stream strm = LZMA_STREAM_INIT;
  if (!ERROR_CHECK_BOOL(lzma_raw_encoder(&strm, filters) == LZMA_OK)) return false;
  std::unique_ptr<lzma_stream, StreamEnd> guard(&strm);
  if (!Pump(strm, in, out, UINT64_MAX)) return false;
  // The header promised `size` bytes: a file that changed meanwhile fails.
  if (!ERROR_CHECK_BOOL(strm.total_in == static_cast<uint64_t>(size))) return false;
  return ERROR_CHECK_BOOL(out.Close());
}

bool LzmaDecompressFile(std::string_view source, std::string_view destination) {
  File in = File::OpenRead(source);
  if (!ERROR_CHECK_BOOL(in.IsOpen())) return false;
  uint8_t header[kHeaderSize];
  if (!ERROR_CHECK_BOOL(in.ReadFull(header, sizeof header) == static_cast<ssize_t>(sizeof header)))
    return false;

  unsigned props = header[0];
  if (!ERROR_CHECK_BOOL(props < 9 * 5 * 5)) return false;
  lzma_options_lzma options{};
  options.lc = props % 9;
  options.lp = (props / 9) % 5;
  options.pb = props / 45;
  if (!ERROR_CHECK_BOOL(options.lc + options.lp <= LZMA_LCLP_MAX)) return false;
  uint64_t declared = GetLe(header + 5, 8);
  // One block is the most a payload may ever produce.
  if (!ERROR_CHECK_BOOL(declared == kUnknownSize || declared <= static_cast<uint64_t>(kBlockSize)))
    return false;
  uint64_t limit = declared == kUnknownSize ? static_cast<uint64_t>(kBlockSize) : declared;
  // No match reaches before the start of the output, so a window of the
  // output's size decodes any valid stream; a hostile 4 GiB claim costs nothing.
  uint64_t dictionary = std::min<uint64_t>(GetLe(header + 1, 4), limit);
  options.dict_size = static_cast<uint32_t>(std::max<uint64_t>(dictionary, kMinDictionary));
  options.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
  lzma_set_ext_size(options, declared);
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
