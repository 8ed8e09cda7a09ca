// Throughput driver for bench/transfer/run.sh: one upload or download of a
// file through the block protocols, or the in-memory floor of the hashing and
// cipher work they need. Prints "key=value" lines.
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <openssl/evp.h>

#include "blocks/codec/block_codec.h"
#include "blocks/transfer/ufa_file.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

long PeakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

int64_t SizeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

void Rate(const char* what, int64_t bytes, double seconds) {
    std::printf("%s_mb_s=%.1f\n%s_seconds=%.3f\n", what, static_cast<double>(bytes) / 1e6 / seconds, what, seconds);
}

int Upload(const std::string& token, const std::string& file, const std::string& temp) {
    const int64_t size = SizeOf(file);
    auto start = std::chrono::steady_clock::now();
    std::vector<BlockRecord> blocks;
    std::string sha1;
    if (BuildBlockList(file, blocks, sha1) != S_OK) return 2;
    const double listed = Seconds(start);
    auto protocolStart = std::chrono::steady_clock::now();
    std::string name = file.substr(file.rfind('/') + 1);
    UploadRequest request;
    request.sha1 = sha1;
    request.parentId = "0";
    request.token = token;
    request.name = name;
    request.modTime = "2026-01-01 00:00:00";
    request.localPath = file;
    request.fileSize = size;
    request.blocks = blocks;
    request.tempFolder = temp;
    TransferResult result;
    HRESULT hr = UploadFileGuarded(request, result);
    const std::string& id = result.fileId;
    const double protocol = Seconds(protocolStart);
    std::printf("result=0x%08x\nid=%s\n", static_cast<unsigned>(hr), id.c_str());
    Rate("block_list", size, listed);
    Rate("upload_protocol", size, protocol);
    Rate("upload_total", size, listed + protocol);
    std::printf("peak_rss_kib=%ld\n", PeakRssKiB());
    return hr == S_OK ? 0 : 1;
}

int Download(const std::string& token, const std::string& id, const std::string& target, const std::string& temp) {
    auto start = std::chrono::steady_clock::now();
    DownloadRequest request;
    request.token = token;
    request.fileId = id;
    request.targetPath = target;
    request.tempFolder = temp;
    TransferResult result;
    HRESULT hr = DownloadGuarded(request, result);
    const double seconds = Seconds(start);
    std::printf("result=0x%08x\n", static_cast<unsigned>(hr));
    Rate("download", SizeOf(target), seconds);
    std::printf("peak_rss_kib=%ld\n", PeakRssKiB());
    return hr == S_OK ? 0 : 1;
}

void DigestFloor(const char* what, const EVP_MD* md, const std::vector<unsigned char>& data) {
    auto start = std::chrono::steady_clock::now();
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, md, nullptr);
    for (size_t at = 0; at < data.size(); at += 65536) EVP_DigestUpdate(ctx, data.data() + at, 65536);
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    EVP_DigestFinal_ex(ctx, out, &len);
    EVP_MD_CTX_free(ctx);
    Rate(what, static_cast<int64_t>(data.size()), Seconds(start));
}

int Floor(size_t megabytes) {
    std::vector<unsigned char> data(megabytes << 20);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
    DigestFloor("sha1_floor", EVP_sha1(), data);
    DigestFloor("md5_floor", EVP_md5(), data);
    unsigned char key[32] = {1, 2, 3};
    std::vector<unsigned char> out(65536 + 32);
    auto start = std::chrono::steady_clock::now();
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, EVP_aes_256_ecb(), nullptr, key, nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    int n = 0;
    for (size_t at = 0; at < data.size(); at += 65536) EVP_EncryptUpdate(ctx, out.data(), &n, data.data() + at, 65536);
    EVP_CIPHER_CTX_free(ctx);
    Rate("aes_floor", static_cast<int64_t>(data.size()), Seconds(start));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "upload" && argc == 5) return Upload(argv[2], argv[3], argv[4]);
    if (mode == "download" && argc == 6) return Download(argv[2], argv[3], argv[4], argv[5]);
    if (mode == "floor") return Floor(argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 256);
    std::fprintf(stderr,
                 "usage: xfer_bench upload TOKEN FILE TEMPDIR\n"
                 "       xfer_bench download TOKEN ID TARGET TEMPDIR\n"
                 "       xfer_bench floor [MiB]\n"
                 "The API root comes from the settings file named by ORVEL_SETTINGS_FILE.\n");
    return 2;
}
