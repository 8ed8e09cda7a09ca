// Upload protocol: requestUpload and commit on the API host, uploadMetadata
// and uploadBlock on the block servers. Blocks are held once per identifier
// whoever sent them; blocks of a stub that never commits stay held for the
// hold time, so a retried upload only sends what is missing.
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <set>

#include "items.h"
#include "platform/digest.h"

namespace emu {
namespace {

constexpr int64_t kStubSeconds = 86400;
constexpr int64_t kMaxEncodedBlock = kBlockSize + 64 * 1024;  // header, padding, incompressible LZMA
constexpr int64_t kMaxBlocks = 1000000;
// The client sends 64-bit sizes; files above 4 GiB are ordinary.
constexpr int64_t kMaxFileSize = kBlockSize * kMaxBlocks;

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool IsHex(std::string_view s, size_t len) {
    if (s.size() != len) return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

struct Stub {
    std::string kind;
    int64_t user = 0, item = 0, ver = 0, parent = 0, size = 0;
    std::string name, sha1;
};

bool LoadStub(Service& s, std::string_view stub, std::string_view kind, Stub& out) {
    Stmt st(s.db, "SELECT kind, user_id, item_id, ver, parent, name, size, sha1 FROM stubs WHERE stub=? AND expires>?");
    st.Bind(1, stub).Bind(2, s.Now());
    if (stub.empty() || !st.Step() || st.Text(0) != kind) return false;
    out = Stub{st.Text(0), st.Int(1), st.Int(2), st.Int(3), st.Int(4), st.Int(6), st.Text(5), st.Text(7)};
    return true;
}

void RequestUpload(Service& s, Call& call) {
    Fields f;
    if (!XmlFields(call, f)) return;
    auto lock = s.db.Lock();
    std::string r;
    int64_t user = s.Authenticate(f.Get("token"), r);
    if (!user) return SendXmlResult(call.res, r);
    int64_t size = 0;
    std::string sha1 = Lower(f.Get("sha1"));
    if (!ParseInt(f.Get("size"), 0, kMaxFileSize, size) || !IsHex(sha1, 40))
        return SendXmlResult(call.res, "clientBadParams");
    std::string fileId = f.Get("fileId");
    Item item, parent;
    int64_t baseVer = 0, oldSize = 0;
    if (fileId.empty() || fileId == "0") {
        r = CheckItemName(f.Get("name"));
        if (r.empty()) r = ResolveParent(s.db, user, f.Get("parentId"), parent);
        if (!r.empty()) return SendXmlResult(call.res, r);
    } else {
        r = ResolveItem(s.db, user, fileId, item);
        if (r.empty() && item.folder) r = "clientBadParams";
        if (!r.empty()) return SendXmlResult(call.res, r);
        if (f.Get("fileVer") != std::to_string(item.ver)) {
            XmlAnswer a("fileVerConflict");
            PutItem(a.Root(), item);
            return SendXml(call.res, a);
        }
        baseVer = item.ver;
        oldSize = item.size;
        parent.id = item.parent;
    }
    if (s.UsedSpace(user) - oldSize + size > s.Quota(user)) return SendXmlResult(call.res, "overSpace");
    std::string stub = RandomHex(16);
    Stmt(s.db,
         "INSERT INTO stubs(stub, kind, user_id, item_id, ver, parent, name, size, sha1, expires) "
         "VALUES(?,'up',?,?,?,?,?,?,?,?)")
        .Bind(1, stub)
        .Bind(2, user)
        .Bind(3, item.id)
        .Bind(4, baseVer)
        .Bind(5, parent.id)
        .Bind(6, item.id ? item.name : f.Get("name"))
        .Bind(7, size)
        .Bind(8, sha1)
        .Bind(9, s.Now() + kStubSeconds)
        .Run();
    XmlAnswer a;
    a.Set("stub", stub);
    a.Set("url", s.BlockUrl(call.req, 1));
    SendXml(call.res, a);
}

bool JsonIndex(const nlohmann::json& v, int64_t& out) {
    if (v.is_number_integer()) {
        out = v.get<int64_t>();
        return true;
    }
    return v.is_string() && ParseInt(v.get<std::string>(), 1, kMaxBlocks, out);
}

void UploadMetadata(Service& s, Call& call) {
    nlohmann::json body;
    if (!ParseJsonObject(call.body, body) || !body.contains("stub") || !body["stub"].is_string() ||
        !body.contains("metas") || !body["metas"].is_array() || body["metas"].empty())
        return SendJsonResult(call.res, "clientBadParams");
    std::map<int64_t, std::string> blocks;  // index -> block id
    int64_t total = 0;
    for (const auto& m : body["metas"]) {
        int64_t index = 0;
        if (!m.is_object() || !m.contains("index") || !JsonIndex(m["index"], index) || !m.contains("blockId") ||
            !m["blockId"].is_string())
            return SendJsonResult(call.res, "clientBadParams");
        std::string id = Lower(m["blockId"].get<std::string>());
        if (!IsBlockId(id) || BlockIdSize(id) > kBlockSize || !blocks.emplace(index, id).second)
            return SendJsonResult(call.res, "clientBadParams");
        total += BlockIdSize(id);
    }
    auto lock = s.db.Lock();
    Stub stub;
    if (!LoadStub(s, body["stub"].get<std::string>(), "up", stub)) return SendJsonResult(call.res, "badStub");
    int64_t expected = stub.size == 0 ? 1 : (stub.size + kBlockSize - 1) / kBlockSize;
    if (blocks.begin()->first != 1 || blocks.rbegin()->first != static_cast<int64_t>(blocks.size()) ||
        static_cast<int64_t>(blocks.size()) != expected || total != stub.size)
        return SendJsonResult(call.res, "clientBadParams");
    std::string stubId = body["stub"].get<std::string>();
    Json keys = Json::object();
    Txn txn(s.db);
    Stmt(s.db, "DELETE FROM stub_blocks WHERE stub=?").Bind(1, stubId).Run();
    Stmt ins(s.db, "INSERT INTO stub_blocks(stub, idx, block_id) VALUES(?,?,?)");
    for (const auto& [index, id] : blocks) {
        ins.Reset();
        ins.Bind(1, stubId).Bind(2, index).Bind(3, id).Run();
        if (keys.contains(id)) continue;
        Stmt q(s.db, "SELECT key, stored FROM blocks WHERE block_id=?");
        q.Bind(1, id);
        if (q.Step() && q.Int(1) && s.files.Has(id)) {
            keys[id] = "TargetExist";
            Stmt(s.db, "UPDATE blocks SET touched=? WHERE block_id=?").Bind(1, s.Now()).Bind(2, id).Run();
            continue;
        }
        // A block announced before keeps its key, so a retried upload encodes alike.
        std::string key = q.IsNull(0) ? std::string() : q.Text(0);
        if (key.empty()) key = RandomHex(32);
        Stmt(s.db, "INSERT OR REPLACE INTO blocks(block_id, key, stored, touched) VALUES(?,?,0,?)")
            .Bind(1, id)
            .Bind(2, key)
            .Bind(3, s.Now())
            .Run();
        keys[id] = key;
    }
    Stmt(s.db, "UPDATE stubs SET has_meta=1 WHERE stub=?").Bind(1, stubId).Run();
    txn.Commit();
    Json a;
    a["result"] = "ok";
    a["keys"] = keys;
    SendJson(call.res, a);
}

// Receives the body into `body`; false when the body is cut short or longer
// than `limit`.
bool ReceiveBody(Call& call, int64_t limit, std::string& body) {
    body.clear();
    body.reserve(static_cast<size_t>(limit));
    bool corrupt = call.fault.kind == FaultEffect::Corrupt;
    return (*call.reader)([&](const char* data, size_t len) {
        if (static_cast<int64_t>(body.size() + len) > limit) return false;
        const size_t at = body.size();
        body.append(data, len);
        if (corrupt && len > 0) {  // one flipped byte, as a bad line would do
            body[at] = static_cast<char>(body[at] ^ 0x5a);
            corrupt = false;
        }
        return true;
    });
}

struct TempFile {
    std::string path;
    ~TempFile() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove(path, ec);
    }
};

void UploadBlock(Service& s, Call& call) {
    Fields q;
    ParseQueryFields(call.req, q);
    int64_t size = 0, index = 0;
    std::string sha1 = Lower(q.Get("sha1"));
    if (!ParseInt(q.Get("size"), 0, kMaxEncodedBlock, size) || !ParseInt(q.Get("index"), 1, kMaxBlocks, index) ||
        !IsHex(sha1, 40)) {
        DrainBody(call);
        return SendJsonResult(call.res, "clientBadParams");
    }
    std::string blockId, key;
    {
        auto lock = s.db.Lock();
        Stub stub;
        if (!LoadStub(s, q.Get("stub"), "up", stub)) {
            lock.unlock();
            DrainBody(call);
            return SendJsonResult(call.res, "badStub");
        }
        Stmt st(s.db,
                "SELECT b.block_id, b.key FROM stub_blocks sb JOIN blocks b ON b.block_id=sb.block_id "
                "WHERE sb.stub=? AND sb.idx=?");
        st.Bind(1, q.Get("stub")).Bind(2, index);
        if (st.Step()) {
            blockId = st.Text(0);
            key = st.Text(1);
        }
    }
    if (blockId.empty()) {
        DrainBody(call);
        return SendJsonResult(call.res, "clientBadParams");
    }
    std::string body;
    if (!ReceiveBody(call, size, body)) {
        call.res.set_header("Connection", "close");
        return SendJsonResult(call.res, "uploadError");
    }
    if (static_cast<int64_t>(body.size()) != size) return SendJsonResult(call.res, "uploadError");
    // The client waits for this answer before it sends the next block, so the
    // work on the bytes runs on two threads: their SHA-1 and then the staged
    // file on one, the decoding check on the other.
    enum class Staged { Mismatch, Failed, Written };
    TempFile tmp{s.files.NewTempPath()};
    std::future<Staged> staged = std::async(std::launch::async, [&tmp, &body, &sha1] {
        if (platform::Digest::Hex(platform::DigestKind::Sha1, body.data(), body.size()) != sha1)
            return Staged::Mismatch;
        std::ofstream out(tmp.path, std::ios::binary | std::ios::trunc);
        out.write(body.data(), static_cast<std::streamsize>(body.size()));
        out.close();
        return out ? Staged::Written : Staged::Failed;
    });
    // A faithful service still refuses bytes that do not match.
    std::string why;
    const bool verified = s.files.VerifyBytes(body, key, blockId, std::string(), why);
    const Staged stored = staged.get();
    if (stored == Staged::Mismatch) return SendJsonResult(call.res, "uploadError");
    if (!verified) {
        std::fprintf(stderr, "orvel-emulator: block %s refused: %s\n", blockId.c_str(), why.c_str());
        return SendJsonResult(call.res, "uploadError");
    }
    if (stored != Staged::Written) return SendJsonResult(call.res, "storageError");
    auto lock = s.db.Lock();
    Stmt st(s.db, "SELECT stored FROM blocks WHERE block_id=?");
    st.Bind(1, blockId);
    bool held = st.Step() && st.Int(0) && s.files.Has(blockId);
    if (!held) {
        std::error_code ec;
        std::filesystem::rename(tmp.path, s.files.PathFor(blockId), ec);
        if (ec) return SendJsonResult(call.res, "storageError");
        tmp.path.clear();
        Stmt(s.db,
             "INSERT OR REPLACE INTO blocks(block_id, key, stored, enc_sha1, enc_size, touched) VALUES(?,?,1,?,?,?)")
            .Bind(1, blockId)
            .Bind(2, key)
            .Bind(3, sha1)
            .Bind(4, size)
            .Bind(5, s.Now())
            .Run();
    }
    SendJsonResult(call.res, "ok");
}

void Commit(Service& s, Call& call, std::atomic<int>& commits) {
    Fields f;
    if (!XmlFields(call, f)) return;
    {
        auto lock = s.db.Lock();
        std::string r;
        int64_t user = s.Authenticate(f.Get("token"), r);
        if (!user) return SendXmlResult(call.res, r);
        Stub stub;
        std::string stubId = f.Get("stub");
        if (!LoadStub(s, stubId, "up", stub) || stub.user != user) return SendXmlResult(call.res, "badStub");
        int64_t missing = 0;
        {
            Stmt m(
                s.db,
                "SELECT COUNT(*), SUM(CASE WHEN b.stored=1 THEN 0 ELSE 1 END) FROM stub_blocks sb LEFT JOIN blocks b "
                "ON b.block_id=sb.block_id WHERE sb.stub=?");
            m.Bind(1, stubId);
            m.Step();
            missing = m.Int(0) == 0 ? 1 : m.Int(1);
        }
        if (missing != 0) return SendXmlResult(call.res, "commitFail");
        std::string modTime = f.Get("modTime");
        if (modTime.empty() || modTime.size() > 64 || !IsCleanText(modTime)) modTime = FormatTime(s.Now());
        Txn txn(s.db);
        int64_t id = stub.item, ver = 1, oldSize = 0;
        if (id == 0) {
            Item parent;
            r = ResolveParent(s.db, user, std::to_string(stub.parent), parent);
            if (!r.empty()) return SendXmlResult(call.res, r);
            if (int64_t existing = FindByName(s.db, user, parent.id, stub.name)) {
                XmlAnswer a("targetExist");
                PutItem(a.Root(), *LoadItem(s.db, existing));
                return SendXml(call.res, a);
            }
        } else {
            Item item;
            r = ResolveItem(s.db, user, std::to_string(id), item);
            if (!r.empty()) return SendXmlResult(call.res, r);
            if (item.ver != stub.ver) {
                XmlAnswer a("fileVerConflict");
                PutItem(a.Root(), item);
                return SendXml(call.res, a);
            }
            ver = item.ver + 1;
            oldSize = item.size;
        }
        // Checked again: other uploads may have committed since the request.
        if (s.UsedSpace(user) - oldSize + stub.size > s.Quota(user)) return SendXmlResult(call.res, "overSpace");
        int64_t op = s.NextOpVer(user);
        if (id == 0) {
            Stmt(
                s.db,
                "INSERT INTO items(owner, parent, name, folder, size, sha1, mod_time, ver, op_ver) VALUES(?,?,?,0,?,?,?,1,?)")
                .Bind(1, user)
                .Bind(2, stub.parent)
                .Bind(3, stub.name)
                .Bind(4, stub.size)
                .Bind(5, stub.sha1)
                .Bind(6, modTime)
                .Bind(7, op)
                .Run();
            id = s.db.LastId();
        } else {
            Stmt(s.db, "UPDATE items SET size=?, sha1=?, mod_time=?, ver=?, op_ver=? WHERE id=?")
                .Bind(1, stub.size)
                .Bind(2, stub.sha1)
                .Bind(3, modTime)
                .Bind(4, ver)
                .Bind(5, op)
                .Bind(6, id)
                .Run();
        }
        Stmt(s.db, "INSERT OR REPLACE INTO versions(item_id, ver, size, sha1, mod_time) VALUES(?,?,?,?,?)")
            .Bind(1, id)
            .Bind(2, ver)
            .Bind(3, stub.size)
            .Bind(4, stub.sha1)
            .Bind(5, modTime)
            .Run();
        Stmt(
            s.db,
            "INSERT INTO version_blocks(item_id, ver, idx, block_id) SELECT ?, ?, idx, block_id FROM stub_blocks WHERE stub=?")
            .Bind(1, id)
            .Bind(2, ver)
            .Bind(3, stubId)
            .Run();
        // Only the newest versions are kept.
        int64_t oldest = ver - s.opt.maxVersions;
        Stmt(s.db, "DELETE FROM version_blocks WHERE item_id=? AND ver<=?").Bind(1, id).Bind(2, oldest).Run();
        Stmt(s.db, "DELETE FROM versions WHERE item_id=? AND ver<=?").Bind(1, id).Bind(2, oldest).Run();
        Stmt(s.db, "DELETE FROM stub_blocks WHERE stub=?").Bind(1, stubId).Run();
        Stmt(s.db, "DELETE FROM stubs WHERE stub=?").Bind(1, stubId).Run();
        txn.Commit();
        XmlAnswer a;
        PutItem(a.Root(), *LoadItem(s.db, id));
        SendXml(call.res, a);
    }
    if (++commits % 32 == 0) s.CollectGarbage();
}

}  // namespace

void RegisterUpload(Router& r) {
    Service& s = r.service();
    static std::atomic<int> commits{0};
    r.Post("/osvr/requestUpload/", Format::Xml, [&s](Call& c) { RequestUpload(s, c); });
    r.Post("/osvr/commit/", Format::Xml, [&s](Call& c) { Commit(s, c, commits); });
    r.BlockPost("uploadMetadata", [&s](Call& c) { UploadMetadata(s, c); });
    r.BlockPost(
        "uploadBlock", [&s](Call& c) { UploadBlock(s, c); }, true);
}

}  // namespace emu
