// The four requests of a block upload.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "blocks/codec/block_codec.h"
#include "blocks/transfer/ufa_common.h"

class CurlWrapper;
struct BlockPace;

// requestUpload on the API host: opens the upload session.
class UploadRequester {
public:
    CurlWrapper* wrapper = nullptr;  // the transfer's connection (required)
    std::string token, fileVer, size, fileId, sha1, parentId, name;
    std::string stub, url;  // out: session stub and block server base URL
    void Perform();
};

// uploadMetadata on the block server: the block list in, the key table out.
class MetadataUploader {
public:
    CurlWrapper* wrapper = nullptr;  // the transfer's connection (required)
    std::string token, stub, url;
    std::map<int32_t, BlockRecord> blocks;    // index (from 1) -> block
    std::map<std::string, std::string> keys;  // block identifier -> key text
    std::string Body() const;
    void Perform();
    // The block's key; raises ServerError when the server did not return one.
    const std::string& GetBlockKey(const std::string& blockId) const;
};

// uploadBlock on the block server: one encoded block file.
class BlockUploader {
public:
    std::string stub, url, size, sha1, index;
    const std::vector<uint8_t>* body = nullptr;  // the encoded block
    CurlWrapper* wrapper = nullptr;              // the transfer's connection (required)
    const BlockPace* pace = nullptr;
    std::string RequestUrl() const;
    void Perform();
};

// commit on the API host: makes the uploaded version the file's current one.
class Committer {
public:
    CurlWrapper* wrapper = nullptr;  // the transfer's connection (required)
    std::string token, stub, modTime;
    std::string fileVer, fileId;  // out
    void Perform();
};
