// Item endpoints: dir, newFolder, rename, move, delete, deleteExVirtual,
// deleteVerTree, getItemInfo, setModTime.
#include "items.h"

#include <ctime>
#include <vector>

namespace emu {

std::optional<Item> LoadItem(Store& db, int64_t id) {
    Stmt st(db,
            "SELECT id, owner, parent, name, folder, size, sha1, mod_time, ver, state, op_ver FROM items "
            "WHERE id=?");
    st.Bind(1, id);
    if (!st.Step()) return std::nullopt;
    Item it;
    it.id = st.Int(0);
    it.owner = st.Int(1);
    it.parent = st.Int(2);
    it.name = st.Text(3);
    it.folder = st.Int(4) != 0;
    it.size = st.Int(5);
    it.sha1 = st.Text(6);
    it.modTime = st.Text(7);
    it.ver = st.Int(8);
    it.state = st.Int(9);
    it.opVer = st.Int(10);
    return it;
}

std::string ResolveItem(Store& db, int64_t user, std::string_view idText, Item& out) {
    int64_t id = 0;
    if (!ParseInt(idText, 0, INT64_MAX, id)) return "targetNotExist";
    if (id == 0) {
        out = Item{};
        out.owner = user;
        return {};
    }
    auto it = LoadItem(db, id);
    if (!it || it->state != kLive) return "targetNotExist";
    if (it->owner != user) return "permissionDenied";
    out = *it;
    return {};
}

std::string ResolveParent(Store& db, int64_t user, std::string_view idText, Item& out) {
    std::string r = ResolveItem(db, user, idText, out);
    if (r == "targetNotExist" || (r.empty() && !out.folder)) return "parentNotExist";
    return r;
}

int64_t FindByName(Store& db, int64_t user, int64_t parent, std::string_view name) {
    Stmt st(db, "SELECT id FROM items WHERE owner=? AND parent=? AND state=0 AND name=?");
    st.Bind(1, user).Bind(2, parent).Bind(3, name);
    return st.Step() ? st.Int(0) : 0;
}

std::string FormatTime(int64_t epochSeconds) {
    std::time_t t = static_cast<std::time_t>(epochSeconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

void PutItem(XmlNode& node, const Item& item) {
    node.Set("type", item.folder ? "folder" : "file");
    node.Set("name", item.name);
    node.Set("fileName", item.name);
    node.Set("fileId", std::to_string(item.id));
    if (item.id != 0) node.Set("parentId", std::to_string(item.parent));
    if (!item.folder) {
        node.Set("sha1", item.sha1);
        node.Set("size", std::to_string(item.size));
        node.Set("fileVer", std::to_string(item.ver));
    }
    node.Set("modTime", item.modTime);
    node.Set("opVer", std::to_string(item.opVer));
}

namespace {

void Dir(Service& s, Call& call) {
    Authed ic;
    if (!OpenAuthed(s, call, ic)) return;
    Item folder;
    std::string r = ResolveItem(s.db, ic.user, ic.f.Get("fileId"), folder);
    if (r.empty() && !folder.folder) r = "clientBadParams";
    if (!r.empty()) return SendXmlResult(call.res, r);
    XmlAnswer a;
    a.Set("fileId", std::to_string(folder.id));
    Stmt st(s.db, "SELECT id FROM items WHERE owner=? AND parent=? AND state=0 ORDER BY folder DESC, name");
    st.Bind(1, ic.user).Bind(2, folder.id);
    while (st.Step())
        if (auto it = LoadItem(s.db, st.Int(0))) PutItem(a.Add("item"), *it);
    SendXml(call.res, a);
}

void NewFolder(Service& s, Call& call) {
    Authed ic;
    if (!OpenAuthed(s, call, ic)) return;
    Item parent;
    std::string name = ic.f.Get("name");
    std::string r = CheckItemName(name);
    if (r.empty()) r = ResolveParent(s.db, ic.user, ic.f.Get("parentId"), parent);
    if (!r.empty()) return SendXmlResult(call.res, r);
    if (int64_t existing = FindByName(s.db, ic.user, parent.id, name)) {
        XmlAnswer a("targetExist");
        PutItem(a.Root(), *LoadItem(s.db, existing));
        return SendXml(call.res, a);
    }
    Txn txn(s.db);
    int64_t op = s.NextOpVer(ic.user);
    Stmt(s.db, "INSERT INTO items(owner, parent, name, folder, mod_time, op_ver) VALUES(?,?,?,1,?,?)")
        .Bind(1, ic.user)
        .Bind(2, parent.id)
        .Bind(3, name)
        .Bind(4, FormatTime(s.Now()))
        .Bind(5, op)
        .Run();
    int64_t id = s.db.LastId();
    txn.Commit();
    XmlAnswer a;
    PutItem(a.Root(), *LoadItem(s.db, id));
    SendXml(call.res, a);
}

bool IsInside(Store& db, int64_t candidate, int64_t folder) {
    // Walk up from the candidate; ids only ever point to older folders, and
    // the walk is bounded for safety.
    for (int guard = 0; candidate != 0 && guard < 100000; ++guard) {
        if (candidate == folder) return true;
        auto it = LoadItem(db, candidate);
        if (!it) return false;
        candidate = it->parent;
    }
    return false;
}

// Rename and move share everything but where the new parent comes from.
void Relocate(Service& s, Call& call, bool move) {
    Authed ic;
    if (!OpenAuthed(s, call, ic)) return;
    Item item, parent;
    std::string r = ResolveItem(s.db, ic.user, ic.f.Get("fileId"), item);
    if (r.empty() && item.id == 0) r = "permissionDenied";  // the root stays where it is
    std::string name = ic.f.Get("name");
    if (move && r.empty() && name.empty()) name = item.name;
    if (r.empty()) r = CheckItemName(name);
    if (r.empty())
        r = move ? ResolveParent(s.db, ic.user, ic.f.Get("parentId"), parent)
                 : ResolveItem(s.db, ic.user, std::to_string(item.parent), parent);
    if (r.empty() && move && item.folder && IsInside(s.db, parent.id, item.id)) r = "clientBadParams";
    if (!r.empty()) return SendXmlResult(call.res, r);
    int64_t existing = FindByName(s.db, ic.user, parent.id, name);
    if (existing && existing != item.id) {
        XmlAnswer a("targetExist");
        a.Set("fileId", std::to_string(existing));
        return SendXml(call.res, a);
    }
    Txn txn(s.db);
    int64_t op = s.NextOpVer(ic.user);
    Stmt(s.db, "UPDATE items SET parent=?, name=?, op_ver=? WHERE id=?")
        .Bind(1, parent.id)
        .Bind(2, name)
        .Bind(3, op)
        .Bind(4, item.id)
        .Run();
    txn.Commit();
    XmlAnswer a;
    PutItem(a.Root(), *LoadItem(s.db, item.id));
    SendXml(call.res, a);
}

// Marks an item and everything below it; files leave the quota when deleted
// for good (their blocks are collected once nothing else holds them).
void MarkTree(Service& s, int64_t user, int64_t id, int64_t state, int64_t op) {
    std::vector<int64_t> pending{id};
    while (!pending.empty()) {
        int64_t cur = pending.back();
        pending.pop_back();
        Stmt kids(s.db, "SELECT id FROM items WHERE owner=? AND parent=? AND state=0");
        kids.Bind(1, user).Bind(2, cur);
        while (kids.Step()) pending.push_back(kids.Int(0));
        Stmt(s.db, "UPDATE items SET state=?, op_ver=? WHERE id=?").Bind(1, state).Bind(2, op).Bind(3, cur).Run();
        if (state == kDeleted) {
            Stmt(s.db, "DELETE FROM version_blocks WHERE item_id=?").Bind(1, cur).Run();
            Stmt(s.db, "DELETE FROM versions WHERE item_id=?").Bind(1, cur).Run();
        }
    }
}

enum class DeleteKind { Plain, Virtual, Tree };

void Delete(Service& s, Call& call, DeleteKind kind) {
    Authed ic;
    if (!OpenAuthed(s, call, ic)) return;
    Item item;
    std::string r = ResolveItem(s.db, ic.user, ic.f.Get("fileId"), item);
    if (r.empty() && item.id == 0) r = "permissionDenied";
    if (!r.empty()) return SendXmlResult(call.res, r);
    bool toRecycle = kind != DeleteKind::Plain && ic.f.Get("toRecycel") == "true";
    bool hasChildren =
        item.folder && QueryInt(s.db, "SELECT COUNT(*) FROM items WHERE parent=? AND state=0", item.id, 0) > 0;
    if (kind != DeleteKind::Tree && hasChildren) return SendXmlResult(call.res, "folderNonEmpty");
    if (kind == DeleteKind::Tree) {
        // A tree is only deleted as the client last saw it: -1 means "whatever it holds now".
        int64_t seen = -1;
        if (!ParseInt(ic.f.Get("treeOpVer"), -1, INT64_MAX, seen)) return SendXmlResult(call.res, "clientBadParams");
        if (seen >= 0) {
            std::vector<int64_t> pending{item.id};
            int64_t newest = item.opVer;
            while (!pending.empty()) {
                int64_t cur = pending.back();
                pending.pop_back();
                Stmt kids(s.db, "SELECT id, op_ver FROM items WHERE owner=? AND parent=? AND state=0");
                kids.Bind(1, ic.user).Bind(2, cur);
                while (kids.Step()) {
                    pending.push_back(kids.Int(0));
                    newest = std::max(newest, kids.Int(1));
                }
            }
            if (newest > seen) return SendXmlResult(call.res, "treeVerDeny");
        }
    }
    Txn txn(s.db);
    int64_t op = s.NextOpVer(ic.user);
    MarkTree(s, ic.user, item.id, toRecycle ? kRecycled : kDeleted, op);
    txn.Commit();
    XmlAnswer a;
    a.Set("fileId", std::to_string(item.id));
    a.Set("opVer", std::to_string(op));
    SendXml(call.res, a);
}

void GetItemInfo(Service& s, Call& call) {
    Authed ic;
    if (!OpenAuthed(s, call, ic)) return;
    Item item;
    std::string r = ResolveItem(s.db, ic.user, ic.f.Get("fileId"), item);
    if (!r.empty()) return SendXmlResult(call.res, r);
    XmlAnswer a;
    PutItem(a.Root(), item);
    SendXml(call.res, a);
}

void SetModTime(Service& s, Call& call) {
    Authed ic;
    if (!OpenAuthed(s, call, ic)) return;
    Item item;
    std::string r = ResolveItem(s.db, ic.user, ic.f.Get("fileId"), item);
    std::string modTime = ic.f.Get("modTime");
    if (r.empty() && item.id == 0) r = "permissionDenied";
    if (r.empty() && (modTime.empty() || modTime.size() > 64 || !IsCleanText(modTime))) r = "clientBadParams";
    if (!r.empty()) return SendXmlResult(call.res, r);
    Txn txn(s.db);
    int64_t op = s.NextOpVer(ic.user);
    Stmt(s.db, "UPDATE items SET mod_time=?, op_ver=? WHERE id=?").Bind(1, modTime).Bind(2, op).Bind(3, item.id).Run();
    if (!item.folder)
        Stmt(s.db, "UPDATE versions SET mod_time=? WHERE item_id=? AND ver=?")
            .Bind(1, modTime)
            .Bind(2, item.id)
            .Bind(3, item.ver)
            .Run();
    txn.Commit();
    XmlAnswer a;
    PutItem(a.Root(), *LoadItem(s.db, item.id));
    SendXml(call.res, a);
}

}  // namespace

void RegisterItems(Router& r) {
    Service& s = r.service();
    r.Post("/osvr/dir/", Format::Xml, [&s](Call& c) { Dir(s, c); });
    r.Post("/osvr/newFolder/", Format::Xml, [&s](Call& c) { NewFolder(s, c); });
    r.Post("/osvr/rename/", Format::Xml, [&s](Call& c) { Relocate(s, c, false); });
    r.Post("/osvr/move/", Format::Xml, [&s](Call& c) { Relocate(s, c, true); });
    r.Post("/osvr/delete/", Format::Xml, [&s](Call& c) { Delete(s, c, DeleteKind::Plain); });
    r.Post("/osvr/deleteExVirtual/", Format::Xml, [&s](Call& c) { Delete(s, c, DeleteKind::Virtual); });
    r.Post("/osvr/deleteVerTree/", Format::Xml, [&s](Call& c) { Delete(s, c, DeleteKind::Tree); });
    r.Post("/osvr/getItemInfo/", Format::Xml, [&s](Call& c) { GetItemInfo(s, c); });
    r.Post("/osvr/setModTime/", Format::Xml, [&s](Call& c) { SetModTime(s, c); });
}

}  // namespace emu
