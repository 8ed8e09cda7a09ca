// orvel-emulator: a local stand-in for the storage service. One HTTP port
// serves the API, web, push, command and rate-query paths and the block
// servers (/blk1/ .. /blk8/); see README.md.
#include <httplib.h>
#include <pthread.h>
#include <signal.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <thread>

#include "server.h"

namespace fs = std::filesystem;

namespace {

void SeedAccounts(emu::Service& s) {
    auto lock = s.db.Lock();
    emu::Txn txn(s.db);
    int64_t quota = s.opt.quotaMiB * 1024 * 1024;
    for (const auto& [name, password] : s.opt.users)
        emu::Stmt(s.db,
                  "INSERT INTO users(name, password, quota) VALUES(?,?,?) "
                  "ON CONFLICT(name) DO UPDATE SET password=excluded.password")
            .Bind(1, name)
            .Bind(2, password)
            .Bind(3, quota)
            .Run();
    if (s.opt.quotaGiven) emu::Stmt(s.db, "UPDATE users SET quota=?").Bind(1, quota).Run();
    txn.Commit();
}

void ConfigureServer(httplib::Server& server, const emu::Options& opt) {
    int threads = opt.threads;
    // cpp-httplib owns the queue it is handed.
    server.new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<size_t>(threads)); };
    server.set_payload_max_length(64 * 1024 * 1024);
    // SO_REUSEADDR only: the library default adds SO_REUSEPORT, which would let
    // a second emulator share a port that is already taken.
    server.set_socket_options([](int sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // Clients keep one connection for a whole transfer. Without TCP_NODELAY an
    // answer written in two pieces waits for the client's delayed ACK (40 ms)
    // on every request of a kept connection.
    server.set_keep_alive_max_count(100000);
    server.set_tcp_nodelay(true);
    server.set_read_timeout(30, 0);
    server.set_write_timeout(30, 0);
    if (opt.verbose)
        server.set_logger([](const httplib::Request& req, const httplib::Response& res) {
            std::fprintf(stderr, "orvel-emulator: %s %s %d %zu\n", req.method.c_str(), req.path.c_str(), res.status,
                         res.body.size());
        });
    server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return;
        // Unknown paths and methods: a clean answer, and the connection ends since
        // an unrouted body is never read.
        res.set_header("Connection", "close");
        emu::SendXmlResult(res, res.status == 404 ? "clientNoMethod" : "serverError");
        if (res.status == 200) res.status = 404;
    });
}

// cpp-httplib only says that binding failed: a bind of our own, set up the
// same way, tells why ("Address already in use").
std::string ListenFailureReason(const std::string& host, int port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) return gai_strerror(rc);
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> owner(found, freeaddrinfo);
    int error = 0;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        const int sock = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (sock < 0) {
            error = errno;
            continue;
        }
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        const bool bound = bind(sock, a->ai_addr, a->ai_addrlen) == 0 && listen(sock, 1) == 0;
        if (!bound) error = errno;
        close(sock);
        if (bound) return "the address was taken meanwhile";
    }
    return error != 0 ? std::strerror(error) : "no usable address";
}

}  // namespace

int main(int argc, char** argv) {
    emu::Options opt;
    std::string error;
    bool help = false;
    if (!emu::ParseOptions(argc, argv, opt, error, help)) {
        std::cerr << "orvel-emulator: " << error << "\nRun 'orvel-emulator --help' for the options.\n";
        return 2;
    }
    if (help) {
        std::cout << emu::UsageText();
        return 0;
    }

    // Signals are taken by one waiting thread; every other thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    bool scratch = opt.dataDir.empty();
    if (scratch) {
        std::string tmpl = (fs::temp_directory_path() / "orvel-emulator-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) {
            std::cerr << "orvel-emulator: cannot create a temporary folder\n";
            return 1;
        }
        opt.dataDir = tmpl;
    }
    int rc = 0;
    {
        emu::Service service;
        service.opt = opt;
        std::unique_ptr<httplib::Server> served;
        if (opt.tlsCert.empty())
            served = std::make_unique<httplib::Server>();
        else
            served = std::make_unique<httplib::SSLServer>(opt.tlsCert.c_str(), opt.tlsKey.c_str());
        httplib::Server& server = *served;
        if (!server.is_valid()) {
            std::cerr << "orvel-emulator: cannot load the TLS certificate or key\n";
            rc = 1;
        }
        try {
            fs::create_directories(opt.dataDir);
            service.db.Open((fs::path(opt.dataDir) / "emulator.db").string());
            service.files.Open(opt.dataDir);
            SeedAccounts(service);
            service.CollectGarbage();
        } catch (const std::exception& e) {
            std::cerr << "orvel-emulator: " << e.what() << "\n";
            rc = 1;
        }
        ConfigureServer(server, opt);
        server.set_pre_routing_handler([&service](const httplib::Request& req, httplib::Response&) {
            // Each new client port is a new TCP connection.
            service.NoteConnection(req.remote_addr, req.remote_port);
            if (service.opt.latencyMs > 0 && req.path.rfind("/_emulator/", 0) != 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(service.opt.latencyMs));
            return httplib::Server::HandlerResponse::Unhandled;
        });
        emu::Router router(server, service);
        emu::RegisterAccounts(router);
        emu::RegisterItems(router);
        emu::RegisterUpload(router);
        emu::RegisterDownload(router);
        emu::RegisterSyncShare(router);
        emu::RegisterAux(router);

        int port = opt.port;
        if (rc == 0) {
            if (port == 0)
                port = server.bind_to_any_port(opt.host);
            else if (!server.bind_to_port(opt.host, port))
                port = -1;
            if (port <= 0) {
                std::cerr << "orvel-emulator: cannot listen on " << opt.host << ":" << opt.port << ": "
                          << ListenFailureReason(opt.host, opt.port) << "\n";
                rc = 1;
            }
        }
        if (rc == 0) {
            service.opt.port = port;
            std::printf("orvel-emulator listening on %s:%d\n", opt.host.c_str(), port);
            std::fflush(stdout);
            std::atomic<bool> listenDone{false};
            std::thread waiter([&] {
                int sig = 0;
                sigwait(&stopSignals, &sig);
                service.stopping = true;
                // stop() does nothing until the accept loop runs, and a signal may
                // come just after the ready line: repeat until the loop has ended.
                while (!listenDone) {
                    server.stop();
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
            });
            server.listen_after_bind();
            listenDone = true;
            if (!service.stopping) pthread_kill(waiter.native_handle(), SIGTERM);  // wake the waiter
            waiter.join();
        }
    }
    if (scratch) {
        std::error_code ec;
        fs::remove_all(opt.dataDir, ec);
    }
    return rc;
}
