// orvel block info|decode|encode: inspecting and making encrypted block files.
// No export offers the block codec, so this file alone uses the internal
// codec library (orvel_blocks); the rest of the client uses only the C API.
#include <openssl/rand.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>

#include "blocks/codec/block_codec.h"
#include "cli.h"

namespace orvelcli {
namespace {

uint32_t ReadLe32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

int BlockInfo(const Context& ctx, const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return Fail(ctx, "block info", E_FAIL, "cannot read " + path);
    unsigned char header[kBlockFileHeaderSize] = {};
    in.read(reinterpret_cast<char*>(header), sizeof header);
    const auto got = static_cast<size_t>(in.gcount());
    in.clear();
    in.seekg(0, std::ios::end);
    const auto fileSize = static_cast<int64_t>(in.tellg());

    nlohmann::json j = {{"path", path}, {"fileSize", fileSize}};
    if (got >= kBlockFileHeaderSize && std::memcmp(header, "BMF0", 4) == 0) {
        const int flags = header[5];
        j["format"] = "BMF0";
        j["version"] = header[4];
        j["encrypted"] = (flags & 0x02) != 0;
        j["compressed"] = (flags & 0x01) != 0;
        j["plainSize"] = static_cast<int32_t>(ReadLe32(header + 8));
        j["sha1"] = BytesToHex(header + 12, 20);
        j["padding"] = header[40];
        j["dataSize"] = fileSize - static_cast<int64_t>(kBlockFileHeaderSize);
        j["blockId"] = MakeBlockId(static_cast<int32_t>(ReadLe32(header + 8)), BytesToHex(header + 12, 20));
    } else if (got >= kLegacyHeaderSize && std::memcmp(header, "Brenmoor_FileHeader", 19) == 0) {
        j["format"] = "legacy";
        j["version"] = ReadLe32(header + 19);
        j["encrypted"] = true;
        j["dataMd5"] = BytesToHex(header + 23, 16);
        j["plainSize"] = ReadLe32(header + 39);
        j["dataSize"] = ReadLe32(header + 43);
    } else {
        return Fail(ctx, "block info", E_FAIL, path + " is not an encrypted block file");
    }
    if (ctx.json) {
        PrintJson(j.dump());
        return kExitOk;
    }
    for (auto it = j.begin(); it != j.end(); ++it) {
        const std::string value = it->is_string() ? it->get<std::string>() : it->dump();
        std::printf("%-11s %s\n", (it.key() + ":").c_str(), value.c_str());
    }
    return kExitOk;
}

int BlockDecode(const Context& ctx, const std::string& path) {
    const std::string key = ctx.args.Get("--key"), out = ctx.args.Get("--output");
    if (key.empty() || out.empty()) return UsageError("usage: orvel block decode FILE --key KEY --output OUT");
    const HRESULT hr = DecodeFile(out, key, path);
    if (hr < 0) return Fail(ctx, "block decode", hr, "wrong key, or a damaged block file");
    std::string sha1;
    FileSha1(out, sha1);
    if (ctx.json)
        PrintJson(nlohmann::json({{"output", out}, {"sha1", sha1}}).dump());
    else
        std::cout << "Decoded " << path << " to " << out << " (sha1 " << sha1 << ").\n";
    return kExitOk;
}

// Cuts block N (from 1) of FILE, then compresses and encrypts it as an upload does.
int BlockEncode(const Context& ctx, const std::string& path) {
    const std::string out = ctx.args.Get("--output");
    if (out.empty())
        return UsageError("usage: orvel block encode FILE [--index N] [--key KEY] [--name NAME] --output OUT");
    std::string key = ctx.args.Get("--key");
    if (key.empty()) {
        unsigned char raw[32];
        if (RAND_bytes(raw, sizeof raw) != 1) return Fail(ctx, "block encode", E_FAIL, "no random key");
        key = BytesToHex(raw, sizeof raw);
    }
    int32_t index = 1;
    try {
        index = std::stoi(ctx.args.Get("--index", "1"));
    } catch (...) {
        return UsageError("--index wants a block number from 1");
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return Fail(ctx, "block encode", E_FAIL, "cannot read " + path);
    if (index < 1 || index > BlockCount(st.st_size)) return UsageError("--index is beyond the file's blocks");

    ScratchFolder scratch;
    const std::string block = scratch.Path() + "/block";
    if (!CutBlock(path, block, index - 1)) return Fail(ctx, "block encode", E_FAIL, "cannot cut the block");
    std::string sha1;
    HRESULT hr = FileSha1(block, sha1);
    if (hr < 0) return Fail(ctx, "block encode", hr);
    struct stat bst {};
    ::stat(block.c_str(), &bst);
    const std::string name = ctx.args.Get("--name", path);
    hr = EncodeFile(key, name, static_cast<int32_t>(bst.st_size), sha1, block, out);
    if (hr < 0) return Fail(ctx, "block encode", hr);
    const std::string blockId = MakeBlockId(static_cast<int32_t>(bst.st_size), sha1);
    if (ctx.json)
        PrintJson(nlohmann::json({{"output", out}, {"key", key}, {"blockId", blockId}, {"index", index}}).dump());
    else
        std::cout << "Encoded block " << index << " of " << path << " to " << out << "\n  blockId " << blockId
                  << "\n  key     " << key << "\n";
    return kExitOk;
}

}  // namespace

int CmdBlock(Context& ctx) {
    const auto& p = ctx.args.positional;
    if (p.size() != 2) return UsageError("usage: orvel block info|decode|encode FILE ...");
    if (p[0] == "info") return BlockInfo(ctx, p[1]);
    if (p[0] == "decode") return BlockDecode(ctx, p[1]);
    if (p[0] == "encode") return BlockEncode(ctx, p[1]);
    return UsageError("unknown block command '" + p[0] + "'");
}

}  // namespace orvelcli
