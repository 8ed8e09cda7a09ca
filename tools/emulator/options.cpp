#include "options.h"

#include <CLI/CLI.hpp>

#include <charconv>
#include <memory>
#include <string>
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

// "HOST:PORT" with a port of 0..65535 and a host before the last colon.
bool SplitHostPort(std::string_view text, std::string& host, int& port) {
    const size_t colon = text.rfind(':');
    int64_t n = 0;
    if (colon == std::string_view::npos || colon == 0 || !ToInt(text.substr(colon + 1), 0, 65535, n)) return false;
    host = std::string(text.substr(0, colon));
    port = static_cast<int>(n);
    return true;
}

// A range check whose bounds the help text already states in words.
template <class T>
CLI::Validator Within(T lo, T hi) {
    return CLI::Range(lo, hi).description("");
}

// The whole command line; `out` receives the values as they are parsed, and
// its initial values are the defaults shown by --help.
std::unique_ptr<CLI::App> MakeApp(Options& out, std::vector<std::string>& listen, std::vector<std::string>& users) {
    auto app = std::make_unique<CLI::App>(
        "orvel-emulator: a local stand-in for the Tavik storage service, for tests and demos.\n"
        "One port serves the API, web, push, command and rate-query paths and the block servers.",
        "orvel-emulator");
    app->option_defaults()->always_capture_default();
    app->get_formatter()->column_width(30);
    app->footer(
        "Test hooks: POST/GET/DELETE /_emulator/faults, POST /_emulator/clock, POST /_emulator/gc,\n"
        "GET /_emulator/health (see tools/emulator/README.md).\n"
        "Example:\n  orvel-emulator --listen 127.0.0.1:0 --user alice:secret --token-ttl 60");
    const std::string defaultListen = out.host + ":" + std::to_string(out.port);
    app->add_option("--listen", listen, "address and port to serve on; port 0 picks a free one")
        ->type_name("HOST:PORT")
        ->default_str(defaultListen)
        ->expected(1)
        ->check([](const std::string& v) -> std::string {
            std::string host;
            int port = 0;
            return SplitHostPort(v, host, port) ? std::string() : std::string("wants HOST:PORT");
        });
    app->add_option("--data", out.dataDir, "folder for the database and blocks (kept)")
        ->type_name("DIR")
        ->default_str("a temporary folder, removed on exit")
        ->check([](const std::string& v) { return v.empty() ? std::string("wants a folder") : std::string(); });
    app->add_option("--user", users, "an account (repeatable)")
        ->type_name("NAME:PASSWORD")
        ->default_str("demo:demo")
        ->check([](const std::string& v) {
            const size_t colon = v.find(':');
            return colon == std::string::npos || colon == 0 ? std::string("wants NAME:PASSWORD") : std::string();
        });
    app->add_option("--quota", out.quotaMiB, "storage quota of each account, MiB")
        ->type_name("MiB")
        ->check(Within(int64_t(0), int64_t(1) << 40));
    app->add_option("--token-ttl", out.tokenTtl, "lifetime of a session token, seconds")
        ->type_name("SECONDS")
        ->check(Within(int64_t(1), int64_t(1) << 40));
    app->add_option("--block-servers", out.blockServers, "number of block-server URLs handed out (1..8)")
        ->type_name("N")
        ->check(Within(1, 8));
    app->add_option("--max-versions", out.maxVersions, "versions kept per file (1..1000)")
        ->type_name("N")
        ->check(Within(1, 1000));
    app->add_option("--hold", out.holdSeconds, "how long uncommitted blocks are kept, seconds")
        ->type_name("SECONDS")
        ->check(Within(int64_t(0), int64_t(1) << 40));
    app->add_option("--threads", out.threads, "request threads (2..256)")->type_name("N")->check(Within(2, 256));
    app->add_option("--tls-cert", out.tlsCert, "serve HTTPS with this PEM certificate (with --tls-key)")
        ->type_name("FILE")
        ->default_str("plain HTTP");
    app->add_option("--tls-key", out.tlsKey, "the PEM private key of --tls-cert")->type_name("FILE");
    app->add_option("--latency", out.latencyMs, "delay added to every answer, milliseconds")
        ->type_name("MS")
        ->check(Within(0, 600000));
    app->add_flag("--verbose", out.verbose, "one stderr line per request");
    return app;
}

}  // namespace

std::string UsageText() {
    Options defaults;
    std::vector<std::string> listen, users;
    return MakeApp(defaults, listen, users)->help();
}

bool ParseOptions(int argc, char** argv, Options& out, std::string& error, bool& help) {
    help = false;
    std::vector<std::string> listen, users;
    auto app = MakeApp(out, listen, users);
    try {
        app->parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        help = true;
        return true;
    } catch (const CLI::ExtrasError&) {
        // Named as what it is: an option nobody knows, or a stray argument.
        for (const std::string& extra : app->remaining()) {
            error = (extra.size() > 1 && extra[0] == '-' ? "unknown option " : "unexpected argument ") + extra;
            return false;
        }
        error = "unexpected arguments";
        return false;
    } catch (const CLI::ParseError& e) {
        error = e.what();
        return false;
    }
    if (!listen.empty() && !SplitHostPort(listen.back(), out.host, out.port)) {
        error = "--listen wants HOST:PORT";
        return false;
    }
    for (const std::string& u : users) {
        const size_t colon = u.find(':');
        out.users.emplace_back(u.substr(0, colon), u.substr(colon + 1));
    }
    if (!app->get_option("--quota")->empty()) out.quotaGiven = true;
    if (out.tlsCert.empty() != out.tlsKey.empty()) {
        error = "--tls-cert and --tls-key go together";
        return false;
    }
    if (out.users.empty()) out.users.emplace_back("demo", "demo");
    return true;
}

}  // namespace emu
