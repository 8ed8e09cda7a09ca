// The three requests of a block download.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "blocks/transfer/block_list_check.h"
#include "blocks/transfer/ufa_common.h"

class CurlWrapper;
struct BlockPace;

// requestDownload (or requestDownloadPreviousVer) on the API host.
class DownloadRequester {
public:
    CurlWrapper* wrapper = nullptr;  // the transfer's connection (required)
    std::string token, fileId;
    bool previousVersion = false;
    std::string stub, url, fileVer, sha1, modTime;  // out
    int32_t opVer = -1;                             // out
    int64_t fileSize = -1;                          // out; -1 when the answer gives none
    void Perform();
};

struct BlockDownloadRecord {
    int32_t index = 0;
    int32_t size = 0;     // from the block identifier
    std::string url;      // the block server holding it
    std::string fileKey;  // 64 hex digits
    std::string blockId;
    std::string id;    // the server's id of the stored block
    std::string sha1;  // SHA-1 of the stored (encrypted) block file
};

// downloadMetadata2 on the block server: the block list, grouped by block server.
class MetadataDownloader {
public:
    CurlWrapper* wrapper = nullptr;  // the transfer's connection (required)
    std::string stub, url;
    std::map<int32_t, BlockDownloadRecord> blocks;  // by index
    int64_t totalSize = 0;
    std::vector<ListedBlock> listed;  // every block as listed, repeats included
    std::string Body() const;
    void Perform();
    // Reads the answer's groups into `blocks`; raises ServerError for anything
    // that cannot be trusted (a non-http URL, a malformed identifier or index).
    void ReadBlocks(const RecordTree& answer);
};

// downloadBlock2 on a block server: one encrypted block into a local file.
class BlockDownloader {
public:
    std::string stub, url, id;
    size_t limit = 0;  // the longest answer a valid block can be
    std::vector<uint8_t>* out = nullptr;
    CurlWrapper* wrapper = nullptr;  // the transfer's connection (required)
    const BlockPace* pace = nullptr;
    bool overflowed = false;  // out: the answer was longer than `limit`
    std::string Body() const;
    void Perform();
};
