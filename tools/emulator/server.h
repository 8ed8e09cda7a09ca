// The emulator's HTTP front: the shared service state, the route table and
// the dispatch that every request goes through (fault rules, body limits,
// exceptions turned into clean error answers).
#pragma once

#include <httplib.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

#include "blockstore.h"
#include "faults.h"
#include "options.h"
#include "store.h"
#include "wire.h"

namespace emu {

// Everything the handlers share.
struct Service {
    Options opt;
    Store db;
    BlockFiles files;
    Faults faults;
    std::atomic<int64_t> clockOffset{0};  // moved by /_emulator/clock
    std::atomic<bool> stopping{false};
    // Client connections seen so far (by peer address and port), for
    // /_emulator/connections.
    void NoteConnection(const std::string& addr, int port);
    size_t ConnectionCount() const;

    // Seconds since the epoch as the service sees them.
    int64_t Now() const;
    // Base URL of block server n (1-based) as seen by the client of `req`.
    std::string BlockUrl(const httplib::Request& req, int n) const;
    // Under the store lock: the user of a token, or 0 with the result code
    // ("clientNoLogin" or "clientTokenExpired") in `result`.
    int64_t Authenticate(std::string_view token, std::string& result);
    // Under the store lock: the next operation version of a user.
    int64_t NextOpVer(int64_t userId);
    // Under the store lock: bytes held by a user's files (recycled ones too) and the quota.
    int64_t UsedSpace(int64_t userId);
    int64_t Quota(int64_t userId);
    // Drops expired stubs and blocks nobody holds any more (store lock taken inside).
    void CollectGarbage();

private:
    mutable std::mutex connMutex_;
    std::set<std::pair<std::string, int>> peers_;
};

enum class Format { Xml, Json, Text };

// One request as a handler sees it.
struct Call {
    const httplib::Request& req;
    httplib::Response& res;
    std::string body;                                // buffered routes
    const httplib::ContentReader* reader = nullptr;  // streaming routes
    FaultEffect fault;                               // Corrupt reaches the handler
};

using Handler = std::function<void(Call&)>;

class Router {
public:
    Router(httplib::Server& server, Service& service) : server_(server), service_(service) {}
    // `path` is literal; a trailing slash is optional on the wire.
    void Post(std::string_view path, Format format, Handler handler, bool streams = false);
    void Get(std::string_view path, Format format, Handler handler);
    // Block-server operations, served under /blk1/ .. /blk8/.
    void BlockPost(std::string_view op, Handler handler, bool streams = false);
    // `pattern` is a regular expression over the whole path.
    void PostPattern(const std::string& pattern, Format format, Handler handler, bool streams = false);
    void GetPattern(const std::string& pattern, Format format, Handler handler);
    Service& service() { return service_; }
    httplib::Server& server() { return server_; }

private:
    struct Route {
        Format format;
        Handler handler;
        bool streams;
    };
    void Dispatch(const Route& route, const httplib::Request& req, httplib::Response& res,
                  const httplib::ContentReader* reader);

    httplib::Server& server_;
    Service& service_;
};

// Answers a result code in the route's own format.
void SendResult(httplib::Response& res, Format format, std::string_view result);

// The XML request fields of a buffered call; answers "clientBadParams" and
// returns false when the body is not a request document.
bool XmlFields(Call& call, Fields& fields);

// The opening of most API calls: the request fields, the store lock and the
// signed-in user.
struct Authed {
    Fields f;
    std::unique_lock<std::mutex> lock;
    int64_t user = 0;
};
// False after answering (bad document, or the session's result code).
bool OpenAuthed(Service& s, Call& call, Authed& a);

// Reads and discards the rest of a streamed body.
void DrainBody(Call& call);

// Route sets, one per file.
void RegisterAccounts(Router& router);
void RegisterItems(Router& router);
void RegisterUpload(Router& router);
void RegisterDownload(Router& router);
void RegisterSyncShare(Router& router);
void RegisterAux(Router& router);

constexpr size_t kMaxBufferedBody = 4 * 1024 * 1024;

}  // namespace emu
