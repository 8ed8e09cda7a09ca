// Change feeds (items and shares changed since an operation version) and
// file sharing between accounts.
#include <algorithm>
#include <set>
#include <vector>

#include "items.h"

namespace emu {
namespace {

constexpr int64_t kDefaultFeedSize = 500;
constexpr int64_t kMaxFeedSize = 5000;

// "opVer" and "size" of a feed request; false after answering clientBadParams.
// The client passes the size through as its caller gave it: an empty or zero
// size asks for the default page, a larger one than served gets the largest.
bool FeedWindow(Call& call, const Fields& f, int64_t& since, int64_t& limit) {
    limit = 0;
    bool ok = ParseInt(f.Get("opVer"), 0, INT64_MAX, since) &&
              (f.Get("size").empty() || ParseInt(f.Get("size"), 0, INT64_MAX, limit));
    if (!ok) SendXmlResult(call.res, "clientBadParams");
    limit = limit == 0 ? kDefaultFeedSize : std::min(limit, kMaxFeedSize);
    return ok;
}

// Items of `owner` changed after `since`, live or not, optionally only those
// below `top` (a shared folder).
void Feed(Service& s, Call& call, int64_t owner, int64_t since, int64_t limit, bool deleted,
          const std::set<int64_t>* within) {
    Stmt st(s.db, deleted ? "SELECT id FROM items WHERE owner=? AND op_ver>? AND state<>0 ORDER BY op_ver, id"
                          : "SELECT id FROM items WHERE owner=? AND op_ver>? AND state=0 ORDER BY op_ver, id");
    st.Bind(1, owner).Bind(2, since);
    XmlAnswer a;
    int64_t last = since, count = 0;
    bool more = false;
    while (st.Step()) {
        if (within && !within->count(st.Int(0))) continue;
        if (count == limit) {
            more = true;
            break;
        }
        auto it = LoadItem(s.db, st.Int(0));
        XmlNode& n = a.Add("item");
        PutItem(n, *it);
        if (deleted) n.Set("recycled", it->state == kRecycled ? "true" : "false");
        last = it->opVer;
        ++count;
    }
    a.Set("opVer", std::to_string(last));
    a.Set("hasMore", more ? "true" : "false");
    SendXml(call.res, a);
}

void SyncFile(Service& s, Call& call, bool deleted) {
    Authed ss;
    int64_t since = 0, limit = 0;
    if (!OpenAuthed(s, call, ss) || !FeedWindow(call, ss.f, since, limit)) return;
    Feed(s, call, ss.user, since, limit, deleted, nullptr);
}

std::string UserName(Service& s, int64_t user) {
    Stmt st(s.db, "SELECT name FROM users WHERE id=?");
    st.Bind(1, user);
    return st.Step() ? st.Text(0) : std::string();
}

int64_t NextShareVer(Service& s) { return QueryInt(s.db, "SELECT COALESCE(MAX(op_ver),0)+1 FROM shares", 0, 1); }

std::vector<std::string> SplitSharers(std::string_view text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == ',' || text[i] == ';') {
            std::string_view who = text.substr(start, i - start);
            if (!who.empty() && who.size() <= 256 && IsCleanText(who)) out.emplace_back(who);
            start = i + 1;
        }
    }
    return out;
}

// ShareFile (registered accounts only) and RegistAndShare (any address).
void Share(Service& s, Call& call, bool anyone) {
    Authed ss;
    if (!OpenAuthed(s, call, ss)) return;
    Item item;
    std::string r = ResolveItem(s.db, ss.user, ss.f.Get("fileId"), item);
    if (r.empty() && item.id == 0) r = "permissionDenied";
    auto sharers = SplitSharers(ss.f.Get("sharers"));
    if (r.empty() && sharers.empty()) r = "clientBadParams";
    std::string self = UserName(s, ss.user);
    for (const auto& who : sharers) {
        if (!r.empty()) break;
        if (who == self)
            r = "clientBadParams";
        else if (!anyone) {
            Stmt u(s.db, "SELECT id FROM users WHERE name=?");
            u.Bind(1, who);
            if (!u.Step()) r = "targetNotExist";
        }
    }
    if (!r.empty()) return SendXmlResult(call.res, r);
    Txn txn(s.db);
    XmlAnswer a;
    for (const auto& who : sharers) {
        Stmt(s.db, "UPDATE shares SET state=1 WHERE owner=? AND item_id=? AND sharer=? AND state=0")
            .Bind(1, ss.user)
            .Bind(2, item.id)
            .Bind(3, who)
            .Run();
        Stmt(s.db, "INSERT INTO shares(owner, item_id, sharer, writable, op_ver) VALUES(?,?,?,?,?)")
            .Bind(1, ss.user)
            .Bind(2, item.id)
            .Bind(3, who)
            .Bind(4, ss.f.Get("writable") == "true" ? 1 : 0)
            .Bind(5, NextShareVer(s))
            .Run();
        a.Add("share").Set("shareId", std::to_string(s.db.LastId())).Set("sharer", who);
    }
    Stmt(s.db, "UPDATE users SET share_ver=share_ver+1 WHERE id=?").Bind(1, ss.user).Run();
    txn.Commit();
    a.Set("fileId", std::to_string(item.id));
    SendXml(call.res, a);
}

// The owner withdraws shares (all when no sharer is named); a sharer with no
// sharers named leaves the share.
void Unshare(Service& s, Call& call) {
    Authed ss;
    if (!OpenAuthed(s, call, ss)) return;
    int64_t id = 0;
    if (!ParseInt(ss.f.Get("fileId"), 1, INT64_MAX, id)) return SendXmlResult(call.res, "targetNotExist");
    auto sharers = SplitSharers(ss.f.Get("sharers"));
    auto item = LoadItem(s.db, id);
    if (!item) return SendXmlResult(call.res, "targetNotExist");
    Txn txn(s.db);
    int64_t ver = NextShareVer(s);
    if (item->owner == ss.user) {
        if (sharers.empty()) {
            Stmt(s.db, "UPDATE shares SET state=1, op_ver=? WHERE owner=? AND item_id=? AND state=0")
                .Bind(1, ver)
                .Bind(2, ss.user)
                .Bind(3, id)
                .Run();
        }
        for (const auto& who : sharers)
            Stmt(s.db, "UPDATE shares SET state=1, op_ver=? WHERE owner=? AND item_id=? AND sharer=? AND state=0")
                .Bind(1, ver)
                .Bind(2, ss.user)
                .Bind(3, id)
                .Bind(4, who)
                .Run();
    } else {
        Stmt(s.db, "UPDATE shares SET state=1, op_ver=? WHERE item_id=? AND sharer=? AND state=0")
            .Bind(1, ver)
            .Bind(2, id)
            .Bind(3, UserName(s, ss.user))
            .Run();
        if (s.db.Changes() == 0) return SendXmlResult(call.res, "permissionDenied");
    }
    txn.Commit();
    SendXmlResult(call.res, "ok");
}

void PutShare(Service& s, XmlNode& n, Stmt& st) {
    // Columns: id, owner, item_id, sharer, writable, state, op_ver.
    n.Set("shareId", std::to_string(st.Int(0)));
    n.Set("owner", UserName(s, st.Int(1)));
    n.Set("sharer", st.Text(3));
    n.Set("writable", st.Int(4) ? "true" : "false");
    n.Set("state", st.Int(5) ? "cancelled" : "active");
    n.Set("shareVer", std::to_string(st.Int(6)));
    if (auto it = LoadItem(s.db, st.Int(2))) PutItem(n, *it);
}

void SharedFileInfo(Service& s, Call& call) {
    Authed ss;
    if (!OpenAuthed(s, call, ss)) return;
    int64_t id = 0;
    auto item = ParseInt(ss.f.Get("fileId"), 1, INT64_MAX, id) ? LoadItem(s.db, id) : std::nullopt;
    if (!item || item->state != kLive) return SendXmlResult(call.res, "targetNotExist");
    std::string self = UserName(s, ss.user);
    Stmt st(s.db,
            "SELECT id, owner, item_id, sharer, writable, state, op_ver FROM shares WHERE item_id=? AND state=0 "
            "AND (owner=? OR sharer=?)");
    st.Bind(1, id).Bind(2, ss.user).Bind(3, self);
    XmlAnswer a;
    while (st.Step()) PutShare(s, a.Add("share"), st);
    if (item->owner != ss.user && a.Root().children.empty()) return SendXmlResult(call.res, "permissionDenied");
    PutItem(a.Root(), *item);
    SendXml(call.res, a);
}

void AllShared(Service& s, Call& call) {
    Authed ss;
    if (!OpenAuthed(s, call, ss)) return;
    bool toMe = ss.f.Get("type") == "toMe";
    Stmt st(s.db,
            toMe ? "SELECT id, owner, item_id, sharer, writable, state, op_ver FROM shares WHERE sharer=? AND state=0"
                 : "SELECT id, owner, item_id, sharer, writable, state, op_ver FROM shares WHERE owner=? AND state=0");
    if (toMe)
        st.Bind(1, UserName(s, ss.user));
    else
        st.Bind(1, ss.user);
    XmlAnswer a;
    while (st.Step()) PutShare(s, a.Add("share"), st);
    SendXml(call.res, a);
}

void SyncShares(Service& s, Call& call) {
    Authed ss;
    int64_t since = 0, limit = 0;
    if (!OpenAuthed(s, call, ss) || !FeedWindow(call, ss.f, since, limit)) return;
    Stmt st(s.db,
            "SELECT id, owner, item_id, sharer, writable, state, op_ver FROM shares WHERE op_ver>? AND "
            "(owner=? OR sharer=?) ORDER BY op_ver LIMIT ?");
    st.Bind(1, since).Bind(2, ss.user).Bind(3, UserName(s, ss.user)).Bind(4, limit);
    XmlAnswer a;
    int64_t last = since;
    while (st.Step()) {
        PutShare(s, a.Add("share"), st);
        last = st.Int(6);
    }
    a.Set("opVer", std::to_string(last));
    SendXml(call.res, a);
}

// The items of one share that changed: the shared item and, for a folder,
// everything below it.
void ShareItems(Service& s, Call& call, bool deleted) {
    Authed ss;
    int64_t since = 0, limit = 0, shareId = 0;
    if (!OpenAuthed(s, call, ss) || !FeedWindow(call, ss.f, since, limit)) return;
    if (!ParseInt(ss.f.Get("shareId"), 1, INT64_MAX, shareId)) return SendXmlResult(call.res, "targetNotExist");
    Stmt sh(s.db, "SELECT owner, item_id, sharer, state FROM shares WHERE id=?");
    sh.Bind(1, shareId);
    if (!sh.Step() || sh.Int(3) != 0) return SendXmlResult(call.res, "targetNotExist");
    if (sh.Int(0) != ss.user && sh.Text(2) != UserName(s, ss.user)) return SendXmlResult(call.res, "permissionDenied");
    int64_t owner = sh.Int(0);
    std::set<int64_t> within{sh.Int(1)};
    std::vector<int64_t> pending{sh.Int(1)};
    while (!pending.empty()) {
        int64_t cur = pending.back();
        pending.pop_back();
        Stmt kids(s.db, "SELECT id FROM items WHERE owner=? AND parent=?");
        kids.Bind(1, owner).Bind(2, cur);
        while (kids.Step())
            if (within.insert(kids.Int(0)).second) pending.push_back(kids.Int(0));
    }
    Feed(s, call, owner, since, limit, deleted, &within);
}

}  // namespace

void RegisterSyncShare(Router& r) {
    Service& s = r.service();
    r.Post("/osvr/syncFile/", Format::Xml, [&s](Call& c) { SyncFile(s, c, false); });
    r.Post("/osvr/syncDelFile/", Format::Xml, [&s](Call& c) { SyncFile(s, c, true); });
    r.Post("/osvr/asmGetAllSharedFiles/", Format::Xml, [&s](Call& c) { AllShared(s, c); });
    r.Post("/osvr/syncShares/", Format::Xml, [&s](Call& c) { SyncShares(s, c); });
    r.Post("/osvr/syncShareFile/", Format::Xml, [&s](Call& c) { ShareItems(s, c, false); });
    r.Post("/osvr/syncShareDelFile/", Format::Xml, [&s](Call& c) { ShareItems(s, c, true); });
    r.Post("/osvr/asmShareFileWithJoinAllMsg/", Format::Xml, [&s](Call& c) { Share(s, c, false); });
    r.Post("/osvr/asmShareToUnregUser/", Format::Xml, [&s](Call& c) { Share(s, c, true); });
    r.Post("/osvr/asmUnshare/", Format::Xml, [&s](Call& c) { Unshare(s, c); });
    r.Post("/osvr/asmGetSharedFileInfo/", Format::Xml, [&s](Call& c) { SharedFileInfo(s, c); });
}

}  // namespace emu
