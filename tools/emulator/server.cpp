#include "server.h"

#include <chrono>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <regex>
#include <thread>
#include <vector>

namespace emu {

int64_t Service::Now() const { return static_cast<int64_t>(std::time(nullptr)) + clockOffset.load(); }

void Service::NoteConnection(const std::string& addr, int port) {
    std::lock_guard<std::mutex> guard(connMutex_);
    peers_.emplace(addr, port);
}

size_t Service::ConnectionCount() const {
    std::lock_guard<std::mutex> guard(connMutex_);
    return peers_.size();
}

std::string Service::BlockUrl(const httplib::Request& req, int n) const {
    std::string host = req.get_header_value("Host");
    if (host.empty()) host = opt.host + ":" + std::to_string(opt.port);
    return std::string(opt.tlsCert.empty() ? "http://" : "https://") + host + "/blk" + std::to_string(n) + "/";
}

int64_t Service::Authenticate(std::string_view token, std::string& result) {
    if (token.empty()) {
        result = "clientNoLogin";
        return 0;
    }
    Stmt st(db, "SELECT user_id, expires FROM sessions WHERE token=?");
    st.Bind(1, token);
    if (!st.Step()) {
        result = "clientNoLogin";
        return 0;
    }
    if (st.Int(1) <= Now()) {
        result = "clientTokenExpired";
        return 0;
    }
    return st.Int(0);
}

int64_t Service::NextOpVer(int64_t userId) {
    Stmt(db, "UPDATE users SET op_ver=op_ver+1 WHERE id=?").Bind(1, userId).Run();
    return QueryInt(db, "SELECT op_ver FROM users WHERE id=?", userId, 0);
}

int64_t Service::UsedSpace(int64_t userId) {
    return QueryInt(db, "SELECT COALESCE(SUM(size),0) FROM items WHERE owner=? AND folder=0 AND state<2", userId, 0);
}

int64_t Service::Quota(int64_t userId) { return QueryInt(db, "SELECT quota FROM users WHERE id=?", userId, 0); }

void Service::CollectGarbage() {
    std::vector<std::string> dropped;
    {
        auto lock = db.Lock();
        Txn txn(db);
        int64_t now = Now();
        Stmt(db, "DELETE FROM stub_blocks WHERE stub IN (SELECT stub FROM stubs WHERE expires<=?)").Bind(1, now).Run();
        Stmt(db, "DELETE FROM stubs WHERE expires<=?").Bind(1, now).Run();
        Stmt sel(db,
                 "SELECT block_id FROM blocks WHERE touched<=? AND block_id NOT IN (SELECT block_id FROM "
                 "version_blocks) AND block_id NOT IN (SELECT block_id FROM stub_blocks)");
        sel.Bind(1, now - opt.holdSeconds);
        while (sel.Step()) dropped.push_back(sel.Text(0));
        Stmt del(db, "DELETE FROM blocks WHERE block_id=?");
        for (const auto& id : dropped) {
            del.Reset();
            del.Bind(1, id).Run();
        }
        txn.Commit();
    }
    for (const auto& id : dropped) files.Remove(id);
}

namespace {

std::string RegexEscape(std::string_view text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(std::string(text), special, R"(\$&)");
}

std::string RoutePattern(std::string_view path) {
    std::string p(path);
    if (!p.empty() && p.back() == '/') p.pop_back();
    return RegexEscape(p) + "/?";
}

bool ReadBody(const httplib::ContentReader& reader, std::string& out, size_t cap) {
    bool tooBig = false;
    bool ok = reader([&](const char* data, size_t len) {
        if (out.size() + len > cap) {
            tooBig = true;
            return false;
        }
        out.append(data, len);
        return true;
    });
    return ok && !tooBig;
}

// Ends the exchange without a complete answer: the client sees the
// connection close in the middle of a promised body.
void DropConnection(httplib::Response& res) {
    res.set_content_provider(1024, "application/octet-stream",
                             [](size_t, size_t, httplib::DataSink&) { return false; });
}

}  // namespace

void SendResult(httplib::Response& res, Format format, std::string_view result) {
    if (format == Format::Json) {
        SendJsonResult(res, result);
    } else if (format == Format::Xml) {
        SendXmlResult(res, result);
    } else {
        res.status = 200;
        res.set_content(std::string("result=") + std::string(result), "text/plain");
    }
}

bool XmlFields(Call& call, Fields& fields) {
    if (ParseXmlFields(call.body, fields)) return true;
    SendXmlResult(call.res, "clientBadParams");
    return false;
}

bool OpenAuthed(Service& s, Call& call, Authed& a) {
    if (!XmlFields(call, a.f)) return false;
    a.lock = s.db.Lock();
    std::string result;
    a.user = s.Authenticate(a.f.Get("token"), result);
    if (!a.user) SendXmlResult(call.res, result);
    return a.user != 0;
}

void DrainBody(Call& call) {
    if (call.reader) (*call.reader)([](const char*, size_t) { return true; });
}

void Router::Post(std::string_view path, Format format, Handler handler, bool streams) {
    PostPattern(RoutePattern(path), format, std::move(handler), streams);
}

void Router::Get(std::string_view path, Format format, Handler handler) {
    GetPattern(RoutePattern(path), format, std::move(handler));
}

void Router::PostPattern(const std::string& pattern, Format format, Handler handler, bool streams) {
    auto route = std::make_shared<Route>(Route{format, std::move(handler), streams});
    server_.Post(pattern, [this, route](const httplib::Request& req, httplib::Response& res,
                                        const httplib::ContentReader& reader) { Dispatch(*route, req, res, &reader); });
}

void Router::GetPattern(const std::string& pattern, Format format, Handler handler) {
    auto route = std::make_shared<Route>(Route{format, std::move(handler), false});
    server_.Get(pattern, [this, route](const httplib::Request& req, httplib::Response& res) {
        Dispatch(*route, req, res, nullptr);
    });
}

void Router::BlockPost(std::string_view op, Handler handler, bool streams) {
    PostPattern("/blk[1-8]/" + RegexEscape(op), Format::Json, std::move(handler), streams);
}

void Router::Dispatch(const Route& route, const httplib::Request& req, httplib::Response& res,
                      const httplib::ContentReader* reader) {
    Call call{req, res, {}, nullptr, service_.faults.Take(req.path)};
    const FaultEffect& fault = call.fault;
    if (fault.kind == FaultEffect::Delay) {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(fault.delayMs);
        while (std::chrono::steady_clock::now() < until && !service_.stopping)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (fault.kind == FaultEffect::Drop) {
        DropConnection(res);
        return;
    }
    try {
        if (route.streams) {
            call.reader = reader;
        } else if (reader && !ReadBody(*reader, call.body, kMaxBufferedBody)) {
            // Too large or cut short: the rest of the body is not read, so the
            // connection cannot carry another request.
            res.set_header("Connection", "close");
            SendResult(res, route.format, "clientBadParams");
            res.status = 413;
            return;
        }
        if (fault.kind == FaultEffect::Status || fault.kind == FaultEffect::Result) {
            DrainBody(call);
            SendResult(res, route.format, fault.kind == FaultEffect::Result ? fault.result : "serverError");
            if (fault.kind == FaultEffect::Status) res.status = fault.status;
            return;
        }
        route.handler(call);
    } catch (const std::exception& e) {
        std::cerr << "orvel-emulator: " << req.path << ": " << e.what() << std::endl;
        res.headers.erase("Content-Encoding");
        SendResult(res, route.format, "serverError");
    }
}

}  // namespace emu
