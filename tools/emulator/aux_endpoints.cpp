// Auxiliary hosts (push, command, web, rate query, the proxy probe) and the
// emulator's own control endpoints under /_emulator/.
#include <filesystem>
#include <fstream>

#include "items.h"

namespace emu {
namespace {

// The push host's long poll answers at once with the account's operation
// version; a client compares it with the one it holds.
void PushGet(Service& s, Call& call) {
    Fields q;
    ParseQueryFields(call.req, q);
    int64_t uid = 0;
    if (!ParseInt(q.Get("uid"), 1, INT64_MAX, uid)) return SendXmlResult(call.res, "clientBadParams");
    auto lock = s.db.Lock();
    Stmt st(s.db, "SELECT op_ver, share_ver FROM users WHERE id=?");
    st.Bind(1, uid);
    if (!st.Step()) return SendXmlResult(call.res, "targetNotExist");
    XmlAnswer a;
    a.Set("uid", std::to_string(uid));
    a.Set("opVer", std::to_string(st.Int(0)));
    a.Set("shareVer", std::to_string(st.Int(1)));
    SendXml(call.res, a);
}

void CommandData(Call& call) {
    XmlAnswer a;
    a.Set("received", std::to_string(call.body.size()));
    SendXml(call.res, a);
}

// A command file is taken in and dropped: only its size is reported.
void CommandFile(Service& s, Call& call) {
    int64_t size = 0;
    std::string path = s.files.NewTempPath();
    {
        std::ofstream out(path, std::ios::binary);
        if (call.reader)
            (*call.reader)([&](const char* data, size_t len) {
                size += static_cast<int64_t>(len);
                out.write(data, static_cast<std::streamsize>(len));
                return static_cast<bool>(out);
            });
    }
    std::error_code ec;
    std::filesystem::remove(path, ec);
    XmlAnswer a;
    a.Set("received", std::to_string(size));
    SendXml(call.res, a);
}

void InviteChannel(Service& s, Call& call) {
    Fields f;
    ParseFormFields(call.body, f);
    auto lock = s.db.Lock();
    std::string r;
    int64_t user = s.Authenticate(f.Get("token"), r);
    if (!user) return SendXmlResult(call.res, r);
    XmlAnswer a;
    a.Set("url", "http://" + call.req.get_header_value("Host") + "/invite/" + std::to_string(user));
    SendXml(call.res, a);
}

void Messages(Call& call) {
    Fields f;
    ParseFormFields(call.body, f);
    XmlAnswer a;
    a.Set("version", IsDecimal(f.Get("version")) ? f.Get("version") : "0");
    SendXml(call.res, a);
}

// No speed limits: 0 means unlimited.
void SpeedLimit(Call& call) {
    Fields q;
    ParseQueryFields(call.req, q);
    XmlAnswer a;
    if (IsDecimal(q.Get("uid"))) a.Set("uid", q.Get("uid"));
    a.Set("uploadLimit", "0");
    a.Set("downloadLimit", "0");
    SendXml(call.res, a);
}

void FaultsEndpoint(Service& s, const httplib::Request& req, httplib::Response& res) {
    if (req.method == "DELETE") {
        s.faults.Clear();
        return SendJsonResult(res, "ok");
    }
    if (req.method == "GET") {
        Json a;
        a["result"] = "ok";
        a["rules"] = s.faults.List();
        return SendJson(res, a);
    }
    nlohmann::json body;
    std::string error;
    if (!ParseJsonObject(req.body, body) || !s.faults.Add(body, error)) {
        Json a;
        a["result"] = "clientBadParams";
        a["error"] = error.empty() ? "a JSON object is wanted" : error;
        SendJson(res, a);
        res.status = 400;
        return;
    }
    Json a;
    a["result"] = "ok";
    a["rules"] = std::to_string(s.faults.Count());
    SendJson(res, a);
}

void Clock(Service& s, const httplib::Request& req, httplib::Response& res) {
    nlohmann::json body;
    int64_t seconds = 0;
    bool ok = ParseJsonObject(req.body, body) && body.contains("advance");
    if (ok) {
        const auto& v = body["advance"];
        ok = v.is_number_integer()
                 ? (seconds = v.get<int64_t>(), true)
                 : v.is_string() && ParseInt(v.get<std::string>(), -(int64_t(1) << 40), int64_t(1) << 40, seconds);
    }
    if (!ok) {
        SendJsonResult(res, "clientBadParams");
        res.status = 400;
        return;
    }
    s.clockOffset += seconds;
    Json a;
    a["result"] = "ok";
    a["now"] = std::to_string(s.Now());
    SendJson(res, a);
}

}  // namespace

void RegisterAux(Router& r) {
    Service& s = r.service();
    r.GetPattern("/sync/get", Format::Xml, [&s](Call& c) { PushGet(s, c); });
    r.PostPattern("/cmd/.*", Format::Xml, [](Call& c) { CommandData(c); });
    // The client appends its query to the URL it is given as it stands, so a
    // URL without "?" puts the query into the path.
    r.PostPattern(
        "/cmdfile(/.*)?", Format::Xml, [&s](Call& c) { CommandFile(s, c); }, true);
    r.GetPattern("/cmdfile(/.*)?", Format::Xml, [](Call& c) { SendXmlResult(c.res, "ok"); });
    r.Post("/kmg/space/getchannel/", Format::Xml, [&s](Call& c) { InviteChannel(s, c); });
    r.Post("/kmg/msg/getmsg/", Format::Xml, [](Call& c) { Messages(c); });
    r.GetPattern("/getcinfo", Format::Xml, [](Call& c) { SpeedLimit(c); });
    // The proxy probe: the service answers the bare path like this, so a
    // client that sees it knows it reached the service itself.
    r.GetPattern("/osvr/?", Format::Xml, [](Call& c) { SendXmlResult(c.res, "methodVersionNotMatch"); });
    r.Post("/tavik/getrate.do", Format::Text, [](Call& c) { c.res.set_content("rate=0", "text/plain"); });

    auto& svr = r.server();
    svr.Post("/_emulator/faults", [&s](const httplib::Request& q, httplib::Response& a) { FaultsEndpoint(s, q, a); });
    svr.Get("/_emulator/faults", [&s](const httplib::Request& q, httplib::Response& a) { FaultsEndpoint(s, q, a); });
    svr.Delete("/_emulator/faults", [&s](const httplib::Request& q, httplib::Response& a) { FaultsEndpoint(s, q, a); });
    svr.Post("/_emulator/clock", [&s](const httplib::Request& q, httplib::Response& a) { Clock(s, q, a); });
    svr.Post("/_emulator/gc", [&s](const httplib::Request&, httplib::Response& a) {
        s.CollectGarbage();
        SendJsonResult(a, "ok");
    });
    svr.Get("/_emulator/connections", [&s](const httplib::Request&, httplib::Response& a) {
        Json answer;
        answer["result"] = "ok";
        answer["connections"] = s.ConnectionCount();
        SendJson(a, answer);
    });
    svr.Get("/_emulator/health", [](const httplib::Request&, httplib::Response& a) { SendJsonResult(a, "ok"); });
}

}  // namespace emu
