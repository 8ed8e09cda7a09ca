// Test harness: runs orvel-emulator as a child process on a free port and
// speaks its protocol with a plain HTTP client.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "support/emulator_process.h"
#include "support/temp_env.h"

namespace emutest {

using TempDir = orvel::testsupport::TempDir;

// A parsed XML answer: the root's result and text children, and the text
// children of each element child.
struct Answer {
    int status = 0;
    std::string raw;
    std::string result;
    std::map<std::string, std::string> values;
    std::vector<std::map<std::string, std::string>> children;
    std::string operator[](const std::string& key) const;
};

using Fields = std::vector<std::pair<std::string, std::string>>;

class Emulator {
public:
    // Starts the emulator with --listen 127.0.0.1:0 and the extra arguments.
    explicit Emulator(const std::vector<std::string>& args = {});
    Emulator(const Emulator&) = delete;
    Emulator& operator=(const Emulator&) = delete;

    int port() const { return process_.Port(); }
    std::string base() const { return process_.Url(""); }
    // SIGTERM and wait; the exit status (-1 when it did not exit normally).
    int Stop() { return process_.Stop(); }

    std::unique_ptr<httplib::Client> Client() const;
    // An XML request document with root "Orvel" posted to `path`.
    Answer Post(const std::string& path, const Fields& fields) const;
    Answer PostRaw(const std::string& path, const std::string& body,
                   const std::string& contentType = "application/x-www-form-urlencoded") const;
    // A JSON body to a path or a full block-server URL; the answer parsed (null when not JSON).
    nlohmann::json PostJson(const std::string& pathOrUrl, const std::string& body, int* status = nullptr) const;

    std::string Login(const std::string& user = "demo", const std::string& password = "demo") const;
    void AddFault(const std::string& ruleJson) const;
    void ClearFaults() const;
    void AdvanceClock(int64_t seconds) const;

private:
    orvel::testsupport::EmulatorProcess process_{ORVEL_EMULATOR_PATH};
};

// The current "BMF0" block file of `plain`, uncompressed, AES-256-ECB with
// the 64-hex-digit key (digits of each byte swapped, as the service hands them out).
std::string EncodeBlock(const std::string& plain, const std::string& keyHex);
// The inverse for uncompressed block files; empty on a bad file.
std::string DecodeBlock(const std::string& file, const std::string& keyHex);
std::string Sha1Hex(const std::string& data);
std::string Md5Hex(const std::string& data);
std::string BlockId(const std::string& plain);
// Deterministic pseudo-random content.
std::string Content(size_t size, uint32_t seed);

constexpr size_t kBlock = 4194304;

struct UploadOutcome {
    Answer commit;
    std::string stub;
    std::string metaResult;
    int blocksSent = 0;
    int blocksSkipped = 0;
    std::string failure;  // first non-ok step, e.g. "requestUpload:overSpace"
};

// Turns a plain block and its key into a block file, or back.
using BlockCoder = std::function<std::string(const std::string& data, const std::string& keyHex)>;

// The whole upload protocol. `stopAfterBlocks` >= 0 stops before the commit
// after that many blocks were sent (an interrupted upload).
UploadOutcome Upload(const Emulator& emu, const std::string& token, const std::string& parentId,
                     const std::string& name, const std::string& content, const std::string& fileId = "0",
                     const std::string& fileVer = "0", int stopAfterBlocks = -1,
                     const BlockCoder& encode = EncodeBlock);

struct DownloadOutcome {
    std::string content;
    std::string failure;
    std::vector<std::string> urls;  // block-server URL of each block, in index order
    Answer request;
};

DownloadOutcome Download(const Emulator& emu, const std::string& token, const std::string& fileId,
                         bool previous = false, const BlockCoder& decode = DecodeBlock);

}  // namespace emutest
