// Sign-in, sessions and account data: login, reLogin, forkToken, the
// two-step telephone sign-in, getSpace (XML and web form), getMaxVers and
// the per-user properties.
#include "server.h"

namespace emu {
namespace {

constexpr size_t kMaxPropKey = 256;
constexpr size_t kMaxPropValue = 65536;

std::string NewSession(Service& s, int64_t userId, std::string_view deviceId, std::string_view client) {
    std::string token = RandomHex(16);
    Stmt(s.db, "INSERT INTO sessions(token, user_id, device_id, client, expires) VALUES(?,?,?,?,?)")
        .Bind(1, token)
        .Bind(2, userId)
        .Bind(3, deviceId)
        .Bind(4, client)
        .Bind(5, s.Now() + s.opt.tokenTtl)
        .Run();
    return token;
}

void AnswerLogin(Service& s, Call& call, int64_t userId, std::string_view deviceId, std::string_view client) {
    Stmt st(s.db, "SELECT name FROM users WHERE id=?");
    st.Bind(1, userId);
    std::string nick = st.Step() ? st.Text(0) : std::string();
    XmlAnswer a;
    a.Set("userId", std::to_string(userId));
    a.Set("token", NewSession(s, userId, deviceId, client));
    a.Set("nickName", nick);
    a.Set("expiresIn", std::to_string(s.opt.tokenTtl));
    SendXml(call.res, a);
}

void Login(Service& s, Call& call) {
    Fields f;
    if (!XmlFields(call, f)) return;
    auto lock = s.db.Lock();
    Stmt st(s.db, "SELECT id, password FROM users WHERE name=?");
    st.Bind(1, f.Get("user"));
    if (!st.Step() || st.Text(1) != f.Get("password")) return SendXmlResult(call.res, "accountNotMatch");
    AnswerLogin(s, call, st.Int(0), f.Get("deviceId"), f.Get("clientName"));
}

// A known token, even an expired one, is traded for a fresh one; the old one ends.
void ReLogin(Service& s, Call& call) {
    Fields f;
    if (!XmlFields(call, f)) return;
    auto lock = s.db.Lock();
    Stmt st(s.db, "SELECT user_id, client FROM sessions WHERE token=?");
    st.Bind(1, f.Get("token"));
    if (f.Get("token").empty() || !st.Step()) return SendXmlResult(call.res, "clientNoLogin");
    int64_t user = st.Int(0);
    std::string client = st.Text(1);
    Txn txn(s.db);
    Stmt(s.db, "DELETE FROM sessions WHERE token=?").Bind(1, f.Get("token")).Run();
    std::string token = NewSession(s, user, f.Get("deviceId"), client);
    txn.Commit();
    XmlAnswer a;
    a.Set("userId", std::to_string(user));
    a.Set("token", token);
    a.Set("expiresIn", std::to_string(s.opt.tokenTtl));
    SendXml(call.res, a);
}

void ForkToken(Service& s, Call& call) {
    Authed au;
    if (!OpenAuthed(s, call, au)) return;
    const Fields& f = au.f;
    int64_t user = au.user;
    XmlAnswer a;
    a.Set("userId", std::to_string(user));
    a.Set("token", NewSession(s, user, f.Get("deviceId"), f.Get("clientName")));
    a.Set("expiresIn", std::to_string(s.opt.tokenTtl));
    SendXml(call.res, a);
}

void UdbRequestValue(Call& call) {
    Fields f;
    if (!XmlFields(call, f)) return;
    XmlAnswer a;
    a.Set("value", "udb-" + RandomHex(8));
    SendXml(call.res, a);
}

// The telephone company's page is not emulated: any value that this service
// handed out signs in as the first account.
void UdbLogin(Service& s, Call& call) {
    Fields f;
    if (!XmlFields(call, f)) return;
    if (f.Get("plrValue").rfind("udb-", 0) != 0) return SendXmlResult(call.res, "accountNotMatch");
    auto lock = s.db.Lock();
    int64_t user = QueryInt(s.db, "SELECT MIN(id) FROM users", 0, 0);
    if (!user) return SendXmlResult(call.res, "accountNotMatch");
    AnswerLogin(s, call, user, f.Get("deviceId"), f.Get("clientName"));
}

void AnswerSpace(Service& s, Call& call, const Fields& f) {
    auto lock = s.db.Lock();
    std::string result;
    int64_t user = s.Authenticate(f.Get("token"), result);
    if (!user) return SendXmlResult(call.res, result);
    XmlAnswer a;
    a.Set("used", std::to_string(s.UsedSpace(user)));
    a.Set("total", std::to_string(s.Quota(user)));
    SendXml(call.res, a);
}

void GetMaxVers(Service& s, Call& call) {
    Authed au;
    if (!OpenAuthed(s, call, au)) return;
    int64_t user = au.user;
    Stmt st(s.db, "SELECT op_ver, share_ver FROM users WHERE id=?");
    st.Bind(1, user);
    st.Step();
    XmlAnswer a;
    a.Set("opVer", std::to_string(st.Int(0)));
    a.Set("shareVer", std::to_string(st.Int(1)));
    a.Set("maxFileVers", std::to_string(s.opt.maxVersions));
    SendXml(call.res, a);
}

void SetProp(Service& s, Call& call) {
    Authed au;
    if (!OpenAuthed(s, call, au)) return;
    const Fields& f = au.f;
    int64_t user = au.user;
    std::string key = f.Get("key"), value = f.Get("value");
    if (key.empty() || key.size() > kMaxPropKey || value.size() > kMaxPropValue || !IsCleanText(key) ||
        !IsCleanText(value))
        return SendXmlResult(call.res, "clientBadParams");
    Stmt(s.db, "INSERT OR REPLACE INTO props(user_id, key, value) VALUES(?,?,?)")
        .Bind(1, user)
        .Bind(2, key)
        .Bind(3, value)
        .Run();
    SendXmlResult(call.res, "ok");
}

void GetProp(Service& s, Call& call) {
    Authed au;
    if (!OpenAuthed(s, call, au)) return;
    const Fields& f = au.f;
    int64_t user = au.user;
    Stmt st(s.db, "SELECT value FROM props WHERE user_id=? AND key=?");
    st.Bind(1, user).Bind(2, f.Get("key"));
    if (!st.Step()) return SendXmlResult(call.res, "targetNotExist");
    XmlAnswer a;
    a.Set("key", f.Get("key"));
    a.Set("value", st.Text(0));
    SendXml(call.res, a);
}

}  // namespace

void RegisterAccounts(Router& r) {
    Service& s = r.service();
    r.Post("/osvr/login/", Format::Xml, [&s](Call& c) { Login(s, c); });
    r.Post("/osvr/reLogin/", Format::Xml, [&s](Call& c) { ReLogin(s, c); });
    r.Post("/osvr/forkToken/", Format::Xml, [&s](Call& c) { ForkToken(s, c); });
    r.Post("/osvr/getUDBLoginRequestValue/", Format::Xml, [](Call& c) { UdbRequestValue(c); });
    r.Post("/osvr/lazyTeleudbLogin/", Format::Xml, [&s](Call& c) { UdbLogin(s, c); });
    r.Post("/osvr/getSpace/", Format::Xml, [&s](Call& c) {
        Fields f;
        if (XmlFields(c, f)) AnswerSpace(s, c, f);
    });
    r.Post("/kmg/usertask/getuserspace/", Format::Xml, [&s](Call& c) {
        Fields f;
        ParseFormFields(c.body, f);
        AnswerSpace(s, c, f);
    });
    r.Post("/osvr/getMaxVers/", Format::Xml, [&s](Call& c) { GetMaxVers(s, c); });
    r.Post("/osvr/setProp/", Format::Xml, [&s](Call& c) { SetProp(s, c); });
    r.Post("/osvr/getProp/", Format::Xml, [&s](Call& c) { GetProp(s, c); });
}

}  // namespace emu
