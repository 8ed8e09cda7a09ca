// Driver for bench/network/run.sh: one upload or download through the block
// protocols, with the transfer's requests sharing connections ("reuse") or
// each opening its own ("single", the earlier behaviour). Prints key=value lines.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "blocks/codec/block_codec.h"
#include "blocks/transfer/ufa_file.h"
#include "httpclient/connection_pool.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

int Upload(const std::string& token, const std::string& file, const std::string& temp) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return 2;
    std::vector<BlockRecord> blocks;
    std::string sha1;
    if (BuildBlockList(file, blocks, sha1) != S_OK) return 2;
    auto start = std::chrono::steady_clock::now();
    UploadRequest request;
    request.sha1 = sha1;
    request.parentId = "0";
    request.token = token;
    request.name = file.substr(file.rfind('/') + 1);
    request.modTime = "2026-01-01 00:00:00";
    request.localPath = file;
    request.fileSize = st.st_size;
    request.blocks = blocks;
    request.tempFolder = temp;
    TransferResult result;
    HRESULT hr = UploadFileGuarded(request, result);
    const std::string& id = result.fileId;
    std::printf("result=0x%08x\nid=%s\nblocks=%zu\nseconds=%.3f\n", static_cast<unsigned>(hr), id.c_str(),
                blocks.size(), Seconds(start));
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
    std::printf("result=0x%08x\nseconds=%.3f\n", static_cast<unsigned>(hr), Seconds(start));
    return hr == S_OK ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 2 ? argv[2] : "";
    if (argc > 1 && std::string(argv[1]) == "single") ConnectionPool::SetEnabledForTesting(false);
    if (mode == "upload" && argc == 6) return Upload(argv[3], argv[4], argv[5]);
    if (mode == "download" && argc == 7) return Download(argv[3], argv[4], argv[5], argv[6]);
    std::fprintf(stderr,
                 "usage: net_bench reuse|single upload TOKEN FILE TEMPDIR\n"
                 "       net_bench reuse|single download TOKEN ID TARGET TEMPDIR\n"
                 "The API root comes from the settings file named by ORVEL_SETTINGS_FILE.\n");
    return 2;
}
