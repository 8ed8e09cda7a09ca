#include "harness.h"

#include <openssl/evp.h>
#include <tinyxml2.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "platform/digest.h"
#include "platform/hex.h"

namespace emutest {

std::string Answer::operator[](const std::string& key) const {
    auto it = values.find(key);
    return it == values.end() ? std::string() : it->second;
}

Emulator::Emulator(const std::vector<std::string>& args) {
    std::string error;
    if (!process_.Start(args, error)) throw std::runtime_error(error);
}

std::unique_ptr<httplib::Client> Emulator::Client() const {
    auto cli = std::make_unique<httplib::Client>("127.0.0.1", port());
    cli->set_connection_timeout(5, 0);
    cli->set_read_timeout(20, 0);
    return cli;
}

namespace {

std::string Escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else
            out += c;
    }
    return out;
}

Answer Parse(int status, const std::string& body) {
    Answer a;
    a.status = status;
    a.raw = body;
    tinyxml2::XMLDocument doc;
    if (doc.Parse(body.data(), body.size()) != tinyxml2::XML_SUCCESS || !doc.RootElement()) return a;
    const char* r = doc.RootElement()->Attribute("result");
    a.result = r ? r : "";
    for (auto* el = doc.RootElement()->FirstChildElement(); el; el = el->NextSiblingElement()) {
        if (el->FirstChildElement()) {
            std::map<std::string, std::string> m;
            for (auto* v = el->FirstChildElement(); v; v = v->NextSiblingElement())
                m[v->Name()] = v->GetText() ? v->GetText() : "";
            a.children.push_back(std::move(m));
        } else {
            a.values[el->Name()] = el->GetText() ? el->GetText() : "";
        }
    }
    return a;
}

std::string PathOf(const std::string& pathOrUrl) {
    if (pathOrUrl.rfind("http://", 0) != 0) return pathOrUrl;
    return pathOrUrl.substr(pathOrUrl.find('/', 7));
}

std::string KeyBytes(const std::string& keyHex) {
    std::string key(32, '\0');
    for (size_t k = 0; k < 32; ++k)  // the two digits of each byte come swapped
        key[k] = static_cast<char>(HexDigitValue(keyHex[2 * k + 1]) * 16 + HexDigitValue(keyHex[2 * k]));
    return key;
}

std::string Aes(const std::string& in, const std::string& keyHex, bool encrypt) {
    std::unique_ptr<EVP_CIPHER_CTX, void (*)(EVP_CIPHER_CTX*)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    std::string key = KeyBytes(keyHex);
    EVP_CipherInit_ex(ctx.get(), EVP_aes_256_ecb(), nullptr, reinterpret_cast<const unsigned char*>(key.data()),
                      nullptr, encrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    std::string out(in.size() + 16, '\0');
    int n = 0, m = 0;
    EVP_CipherUpdate(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &n,
                     reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size()));
    EVP_CipherFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(out.data()) + n, &m);
    out.resize(static_cast<size_t>(n + m));
    return out;
}

}  // namespace

Answer Emulator::PostRaw(const std::string& path, const std::string& body, const std::string& contentType) const {
    auto res = Client()->Post(path.c_str(), body, contentType.c_str());
    if (!res) return Answer{};
    return Parse(res->status, res->body);
}

Answer Emulator::Post(const std::string& path, const Fields& fields) const {
    std::string body = "<?xml version=\"1.0\" encoding=\"utf-8\" ?><Orvel>";
    for (const auto& [k, v] : fields) body += "<" + k + ">" + Escape(v) + "</" + k + ">";
    body += "</Orvel>";
    return PostRaw(path, body);
}

nlohmann::json Emulator::PostJson(const std::string& pathOrUrl, const std::string& body, int* status) const {
    auto res = Client()->Post(PathOf(pathOrUrl).c_str(), body, "application/x-www-form-urlencoded");
    if (status) *status = res ? res->status : 0;
    if (!res) return nullptr;
    auto j = nlohmann::json::parse(res->body, nullptr, false);
    return j.is_discarded() ? nlohmann::json(nullptr) : j;
}

std::string Emulator::Login(const std::string& user, const std::string& password) const {
    Answer a = Post("/osvr/login/", {{"user", user},
                                     {"password", password},
                                     {"deviceId", "dev"},
                                     {"clientName", "test"},
                                     {"clientVersion", "1.0"}});
    return a.result == "ok" ? a["token"] : std::string();
}

void Emulator::AddFault(const std::string& ruleJson) const {
    if (!process_.AddFault(ruleJson)) throw std::runtime_error("fault rule refused: " + ruleJson);
}

void Emulator::ClearFaults() const { process_.ClearFaults(); }

void Emulator::AdvanceClock(int64_t seconds) const {
    if (!process_.AdvanceClock(seconds)) throw std::runtime_error("clock not moved");
}

std::string Sha1Hex(const std::string& data) {
    return platform::Digest::Hex(platform::DigestKind::Sha1, data.data(), data.size());
}
std::string Md5Hex(const std::string& data) {
    return platform::Digest::Hex(platform::DigestKind::Md5, data.data(), data.size());
}

std::string BlockId(const std::string& plain) {
    char size[8];
    std::snprintf(size, sizeof size, "%06zx", plain.size());
    return size + Sha1Hex(plain);
}

std::string Content(size_t size, uint32_t seed) {
    std::string out(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (auto& c : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return out;
}

std::string EncodeBlock(const std::string& plain, const std::string& keyHex) {
    std::string header(64, '\0');
    header.replace(0, 4, "BMF0");
    header[4] = 1;
    header[5] = 2;  // encrypted, not compressed
    for (int i = 0; i < 4; ++i) header[8 + i] = static_cast<char>((plain.size() >> (8 * i)) & 0xff);
    std::string sha = Sha1Hex(plain);
    for (int i = 0; i < 20; ++i)
        header[12 + i] = static_cast<char>(HexDigitValue(sha[2 * i]) * 16 + HexDigitValue(sha[2 * i + 1]));
    size_t pad = (16 - plain.size() % 16) % 16;
    header[40] = static_cast<char>(pad);
    return header + Aes(plain + std::string(pad, '\0'), keyHex, true);
}

std::string DecodeBlock(const std::string& file, const std::string& keyHex) {
    if (file.size() < 64 || file.compare(0, 4, "BMF0") != 0 || (file.size() - 64) % 16 != 0) return {};
    size_t plain = 0;
    for (int i = 0; i < 4; ++i) plain |= static_cast<size_t>(static_cast<unsigned char>(file[8 + i])) << (8 * i);
    std::string out = Aes(file.substr(64), keyHex, false);
    if (out.size() < plain) return {};
    out.resize(plain);
    return out;
}

UploadOutcome Upload(const Emulator& emu, const std::string& token, const std::string& parentId,
                     const std::string& name, const std::string& content, const std::string& fileId,
                     const std::string& fileVer, int stopAfterBlocks, const BlockCoder& encode) {
    UploadOutcome out;
    Answer req = emu.Post("/osvr/requestUpload/", {{"token", token},
                                                   {"fileVer", fileVer},
                                                   {"size", std::to_string(content.size())},
                                                   {"fileId", fileId},
                                                   {"sha1", Sha1Hex(content)},
                                                   {"parentId", parentId},
                                                   {"name", name}});
    if (req.result != "ok") {
        out.failure = "requestUpload:" + req.result;
        out.commit = req;
        return out;
    }
    std::string stub = req["stub"], url = req["url"];
    out.stub = stub;
    std::vector<std::string> blocks;
    for (size_t off = 0; off < content.size() || blocks.empty(); off += kBlock)
        blocks.push_back(content.substr(off, kBlock));
    std::string meta = "{\"stub\":\"" + stub + "\",\"metas\":[";
    for (size_t i = 0; i < blocks.size(); ++i)
        meta += std::string(i ? "," : "") + "{\"index\":" + std::to_string(i + 1) + ",\"md5\":\"" + Md5Hex(blocks[i]) +
                "\",\"blockId\":\"" + BlockId(blocks[i]) + "\"}";
    meta += "]}";
    auto keys = emu.PostJson(url + "uploadMetadata", meta);
    out.metaResult = keys.is_object() && keys.contains("result") ? keys["result"].get<std::string>() : "";
    if (out.metaResult != "ok") {
        out.failure = "uploadMetadata:" + out.metaResult;
        return out;
    }
    auto table = keys.begin();
    while (table != keys.end() && !table->is_object()) ++table;
    for (size_t i = 0; i < blocks.size(); ++i) {
        if (stopAfterBlocks >= 0 && out.blocksSent >= stopAfterBlocks) return out;
        std::string key = (*table)[BlockId(blocks[i])].get<std::string>();
        if (key == "TargetExist") {
            ++out.blocksSkipped;
            continue;
        }
        std::string enc = encode(blocks[i], key);
        std::string path = url.substr(url.find('/', 7)) + "uploadBlock?stub=" + stub + "&sha1=" + Sha1Hex(enc) +
                           "&size=" + std::to_string(enc.size()) + "&index=" + std::to_string(i + 1);
        auto res = emu.Client()->Post(path.c_str(), enc, "application/octet-stream");
        auto j = res ? nlohmann::json::parse(res->body, nullptr, false) : nlohmann::json();
        if (!res || !j.is_object() || j.value("result", "") != "ok") {
            out.failure = "uploadBlock:" + (j.is_object() ? j.value("result", "") : std::string("transport"));
            return out;
        }
        ++out.blocksSent;
    }
    if (stopAfterBlocks >= 0) return out;
    out.commit = emu.Post("/osvr/commit/", {{"token", token}, {"stub", stub}, {"modTime", "2026-12-07 10:00:00"}});
    if (out.commit.result != "ok") out.failure = "commit:" + out.commit.result;
    return out;
}

DownloadOutcome Download(const Emulator& emu, const std::string& token, const std::string& fileId, bool previous,
                         const BlockCoder& decode) {
    DownloadOutcome out;
    out.request = emu.Post(previous ? "/osvr/requestDownloadPreviousVer/" : "/osvr/requestDownload/",
                           {{"token", token}, {"fileId", fileId}});
    if (out.request.result != "ok") {
        out.failure = "requestDownload:" + out.request.result;
        return out;
    }
    std::string stub = out.request["stub"];
    auto meta = emu.PostJson(out.request["url"] + "downloadMetadata2", "{\"stub\":\"" + stub + "\"}");
    if (!meta.is_object() || meta.value("result", "") != "ok") {
        out.failure = "downloadMetadata2";
        return out;
    }
    std::map<int, std::pair<std::string, nlohmann::json>> blocks;
    for (auto it = meta.begin(); it != meta.end(); ++it)
        if (it->is_array())
            for (const auto& b : *it) blocks[std::stoi(b["index"].get<std::string>())] = {it.key(), b};
    for (const auto& [index, entry] : blocks) {
        const auto& [url, b] = entry;
        out.urls.push_back(url);
        int status = 0;
        auto res = emu.Client()->Post((url.substr(url.find('/', 7)) + "downloadBlock2").c_str(),
                                      "{\"stub\":\"" + stub + "\",\"id\":\"" + b["id"].get<std::string>() + "\"}",
                                      "application/x-www-form-urlencoded");
        status = res ? res->status : 0;
        if (status != 200) {
            out.failure = "downloadBlock2:" + std::to_string(status);
            return out;
        }
        if (Sha1Hex(res->body) != b["sha1"].get<std::string>()) {
            out.failure = "sha1:" + std::to_string(index);
            return out;
        }
        std::string plain = decode(res->body, b["fileKey"].get<std::string>());
        if (BlockId(plain) != b["blockId"].get<std::string>()) {
            out.failure = "decode:" + std::to_string(index);
            return out;
        }
        out.content += plain;
    }
    return out;
}

}  // namespace emutest
