// Command line of orvel-emulator.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace emu {

struct Options {
    std::string host = "127.0.0.1";
    int port = 18750;                                        // 0 picks a free port
    std::string dataDir;                                     // empty: a fresh temporary folder, removed on exit
    std::vector<std::pair<std::string, std::string>> users;  // name, password
    int64_t quotaMiB = 10240;
    bool quotaGiven = false;      // only then are existing accounts re-quoted
    int64_t tokenTtl = 3600;      // seconds
    int blockServers = 1;         // 1..8 block-server URLs
    int maxVersions = 10;         // versions kept per file
    int64_t holdSeconds = 86400;  // uncommitted blocks stay this long
    int threads = 16;
    bool verbose = false;         // one stderr line per request
    std::string tlsCert, tlsKey;  // PEM files: serve HTTPS instead of HTTP
    int latencyMs = 0;            // added to every answer
};

// Fills `out` from argv. False with a message in `error` for anything unknown
// or malformed; `help` is set for --help.
bool ParseOptions(int argc, char** argv, Options& out, std::string& error, bool& help);

// The --help text: every option with its meaning and default.
std::string UsageText();

}  // namespace emu
