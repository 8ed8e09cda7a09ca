// Whether a block is worth LZMA-compressing before it is encrypted.
#include <archive.h>
#include <archive_entry.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "blocks/codec/block_codec.h"
#include "blocks/codec/file_io.h"
#include "log/log.h"

namespace {

// Media and archive formats: already compressed, LZMA would only cost time.
constexpr std::array<std::string_view, 143> kMediaAndArchive = {
    "ac3",  "arj",  "aif", "bz2",  "aifc", "bzip2", "aiff",  "cab",  "amr",    "cpio", "amv",  "deb",  "ape",
    "dmg",  "asf",  "fat", "au",   "gz",   "avi",   "gzip",  "bik",  "hfs",    "cda",  "iso",  "csf",  "lha",
    "cue",  "lzh",  "dat", "lzma", "divx", "ntfs",  "dts",   "tar",  "dtswav", "taz",  "evo",  "tbz",  "f4v",
    "tbz2", "far",  "tgz", "fla",  "tpz",  "flac",  "wim",   "flv",  "xar",    "hlv",  "xz",   "ifo",  "z",
    "it",   "jar",  "ivm", "3g2",  "m1a",  "3gp",   "m1v",   "3gp2", "m2a",    "3gpp", "m2p",  "a52",  "m2ts",
    "aa",   "m2v",  "aac", "m4a",  "m4b",  "rm",    "m4p",   "rmi",  "m4v",    "rmvb", "mac",  "rp",   "mid",
    "rpm",  "midi", "rt",  "mka",  "s3m",  "mkv",   "scm",   "mod",  "smi",    "mov",  "smil", "mp+",  "snd",
    "mp1",  "stm",  "mp2", "swf",  "mp2v", "swm",   "mp3",   "tod",  "mp3pro", "tp",   "mp4",  "tpr",  "mpa",
    "ts",   "mpc",  "tta", "mpe",  "mpeg", "umx",   "mpeg4", "vhd",  "mpg",    "vob",  "mpv2", "vp6",  "mtm",
    "wav",  "mts",  "wm",  "ogg",  "wma",  "ogm",   "wmp",   "pmp",  "wmv",    "pss",  "wv",   "pva",  "xm",
    "qt",   "ra",   "ram", "rar",  "msi",  "jpg",   "gif",   "png",  "ico",    "tif",  "tga",  "jpeg", "tiff"};

// Documents: not compressed above 10 MiB (the last six are one office
// suite's native word-processor, spreadsheet and presentation formats).
constexpr std::array<std::string_view, 31> kDocuments = {"doc", "uof", "docx", "dot", "dotx", "rtf", "xml",  "html",
                                                         "mht", "xls", "xlsx", "xlt", "xltx", "csv", "dbf",  "txt",
                                                         "prn", "ppt", "pptx", "pps", "ppsx", "pot", "potx", "chm",
                                                         "umd", "wps", "wpt",  "et",  "ett",  "dps", "dpt"};

constexpr std::array<std::string_view, 2> kExecutables = {"exe", "dll"};

constexpr int64_t kMinCompressSize = 1024;
constexpr int64_t kDocumentLimit = 10485760;
constexpr int64_t kPdfLimit = 5242880;
constexpr int64_t kExecutableLimit = 3145728;
constexpr uint8_t k7zSignature[6] = {0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C};

template <size_t N>
bool Contains(const std::array<std::string_view, N>& list, std::string_view ext) {
    return std::find(list.begin(), list.end(), ext) != list.end();
}

// Lower-cased text after the last dot of the name's last path component.
std::string Extension(std::string_view fileName) {
    size_t slash = fileName.find_last_of("/\\");
    if (slash != std::string_view::npos) fileName.remove_prefix(slash + 1);
    size_t dot = fileName.rfind('.');
    if (dot == std::string_view::npos) return {};
    std::string ext(fileName.substr(dot + 1));
    for (char& c : ext) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return ext;
}

struct ArchiveFree {
    void operator()(archive* a) const { archive_read_free(a); }
};

struct DeflateEnd {
    void operator()(z_stream* z) const { deflateEnd(z); }
};

}  // namespace

HRESULT CompressPolicy(std::string_view fileName, std::string_view blockPath, bool& compress) {
    compress = false;
    int64_t size = orvel::codec::FileSizeOf(blockPath);
    if (!ERROR_CHECK_BOOL(size >= 0)) return E_FAIL;
    if (size < kMinCompressSize) return S_OK;

    // A block is at most 4 MiB: read whole, it gets the in-memory decision.
    orvel::codec::File block = orvel::codec::File::OpenRead(blockPath);
    if (!ERROR_CHECK_BOOL(block.IsOpen())) return E_FAIL;
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    ssize_t got = block.ReadFull(bytes.data(), bytes.size());
    if (!ERROR_CHECK_BOOL(got >= 0)) return E_FAIL;
    compress = CompressPolicyBuffer(fileName, bytes.data(), static_cast<size_t>(got));
    return S_OK;
}

bool CompressPolicyBuffer(std::string_view fileName, const uint8_t* data, size_t size) {
    if (static_cast<int64_t>(size) < kMinCompressSize) return false;
    if (size >= sizeof k7zSignature && std::memcmp(data, k7zSignature, sizeof k7zSignature) == 0) return true;
    // A ZIP: the end-of-central-directory record ("PK" 05 06, 22 bytes and a
    // comment of at most 64 KiB) in the tail, and the directory reads back.
    constexpr size_t kTail = 65535 + 22;
    const size_t start = size > kTail ? size - kTail : 0;
    static constexpr char kEndRecord[4] = {'P', 'K', 5, 6};
    if (size - start >= 22 && ::memmem(data + start, size - start - 18, kEndRecord, sizeof kEndRecord) != nullptr) {
        std::unique_ptr<archive, ArchiveFree> reader(archive_read_new());
        if (reader) {
            archive_read_support_format_zip_seekable(reader.get());
            if (archive_read_open_memory(reader.get(), data, size) == ARCHIVE_OK) {
                archive_entry* entry = nullptr;
                int rc = archive_read_next_header(reader.get(), &entry);
                if (rc == ARCHIVE_OK || rc == ARCHIVE_WARN) return true;
            }
        }
    }
    std::string ext = Extension(fileName);
    const int64_t n = static_cast<int64_t>(size);
    if (Contains(kMediaAndArchive, ext)) return false;
    if (n > kDocumentLimit && Contains(kDocuments, ext)) return false;
    if (n > kPdfLimit && ext == "pdf") return false;
    if (n > kExecutableLimit && Contains(kExecutables, ext)) return false;
    return true;
}

bool QuickProbeShrinks(const uint8_t* in, size_t n, double ratio) {
    constexpr size_t kSample = 32768;
    constexpr size_t kSamples = 4;
    z_stream z{};
    // Raw deflate, fastest level: only the size that comes out matters.
    if (deflateInit2(&z, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
    std::unique_ptr<z_stream, DeflateEnd> guard(&z);
    const size_t sample = std::min(n, kSample);
    const size_t samples = n <= kSample ? 1 : kSamples;
    std::vector<uint8_t> out(deflateBound(&z, sample));
    size_t inTotal = 0, outTotal = 0;
    for (size_t i = 0; i < samples; ++i) {
        // Samples spread over the block: its start, its end and between.
        const size_t at = samples == 1 ? 0 : (n - sample) / (samples - 1) * i;
        if (deflateReset(&z) != Z_OK) return false;
        z.next_in = const_cast<uint8_t*>(in + at);
        z.avail_in = static_cast<uInt>(sample);
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        if (deflate(&z, Z_FINISH) != Z_STREAM_END) return false;
        inTotal += sample;
        outTotal += z.total_out;
    }
    return static_cast<double>(outTotal) <= ratio * static_cast<double>(inTotal);
}
