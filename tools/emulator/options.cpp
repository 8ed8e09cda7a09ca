#include "options.h"

#include <charconv>
#include <string_view>

namespace emu {
namespace {

bool ToInt(std::string_view text, int64_t lo, int64_t hi, int64_t& out) {
  int64_t v = 0;
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || p != text.data() + text.size() || v < lo || v > hi) return false;
  out = v;
  return true;
}

}  // namespace

const char* UsageText() {
  return "usage: orvel-emulator [--listen HOST:PORT] [--data DIR] [--user NAME:PASSWORD]...\n"
         "                      [--quota MiB] [--token-ttl SECONDS] [--block-servers N]\n"
         "                      [--max-versions N] [--hold SECONDS] [--threads N] [--verbose]\n"
         "                      [--tls-cert FILE --tls-key FILE] [--latency MS]\n";
}

bool ParseOptions(int argc, char** argv, Options& out, std::string& error, bool& help) {
  help = false;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      help = true;
      return true;
    }
    if (arg == "--verbose") {
      out.verbose = true;
      continue;
    }
    if (i + 1 >= argc) {
      error = "missing value after " + std::string(arg);
      return false;
    }
    std::string_view val = argv[++i];
    int64_t n = 0;
    if (arg == "--listen") {
      size_t colon = val.rfind(':');
      if (colon == std::string_view::npos || colon == 0 ||
          !ToInt(val.substr(colon + 1), 0, 65535, n)) {
        error = "--listen wants HOST:PORT";
        return false;
      }
      out.host = std::string(val.substr(0, colon));
      out.port = static_cast<int>(n);
    } else if (arg == "--data") {
      if (val.empty()) {
        error = "--data wants a folder";
        return false;
      }
      out.dataDir = std::string(val);
    } else if (arg == "--user") {
      size_t colon = val.find(':');
      if (colon == std::string_view::npos || colon == 0) {
        error = "--user wants NAME:PASSWORD";
        return false;
      }
      out.users.emplace_back(std::string(val.substr(0, colon)), std::string(val.substr(colon + 1)));
    } else if (arg == "--quota") {
      if (!ToInt(val, 0, int64_t(1) << 40, n)) {
        error = "--quota wants MiB";
        return false;
      }
      out.quotaMiB = n;
      out.quotaGiven = true;
    } else if (arg == "--token-ttl") {
      if (!ToInt(val, 1, int64_t(1) << 40, n)) {
        error = "--token-ttl wants seconds";
        return false;
      }
      out.tokenTtl = n;
    } else if (arg == "--block-servers") {
      if (!ToInt(val, 1, 8, n)) {
        error = "--block-servers wants 1..8";
        return false;
      }
      out.blockServers = static_cast<int>(n);
    } else if (arg == "--max-versions") {
      if (!ToInt(val, 1, 1000, n)) {
        error = "--max-versions wants 1..1000";
        return false;
      }
      out.maxVersions = static_cast<int>(n);
    } else if (arg == "--hold") {
      if (!ToInt(val, 0, int64_t(1) << 40, n)) {
        error = "--hold wants seconds";
        return false;
      }
      out.holdSeconds = n;
    } else if (arg == "--threads") {
      if (!ToInt(val, 2, 256, n)) {
        error = "--threads wants 2..256";
        return false;
      }
      out.threads = static_cast<int>(n);
    } else if (arg == "--tls-cert" || arg == "--tls-key") {
      if (val.empty()) {
        error = std::string(arg) + " wants a PEM file";
        return false;
      }
      (arg == "--tls-cert" ? out.tlsCert : out.tlsKey) = std::string(val);
    } else if (arg == "--latency") {
      if (!ToInt(val, 0, 60000, n)) {
        error = "--latency wants 0..60000 ms";
        return false;
      }
      out.latencyMs = static_cast<int>(n);
    } else {
      error = "unknown option " + std::string(arg);
      return false;
    }
  }
  if (out.tlsCert.empty() != out.tlsKey.empty()) {
    error = "--tls-cert and --tls-key go together";
    return false;
  }
  if (out.users.empty()) out.users.emplace_back("demo", "demo");
  return true;
}

}  // namespace emu
