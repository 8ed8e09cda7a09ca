// Download protocol: requestDownload(PreviousVer) on the API host,
// downloadMetadata2 and downloadBlock2 on the block servers. With several
// block servers the blocks of a file are spread over their URLs round-robin.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <vector>

#include "items.h"

namespace emu {
namespace {

constexpr int64_t kStubSeconds = 86400;

void RequestDownload(Service& s, Call& call, bool previous) {
    Fields f;
    if (!XmlFields(call, f)) return;
    auto lock = s.db.Lock();
    std::string r;
    int64_t user = s.Authenticate(f.Get("token"), r);
    if (!user) return SendXmlResult(call.res, r);
    Item item;
    r = ResolveItem(s.db, user, f.Get("fileId"), item);
    if (r.empty() && item.folder) r = "clientBadParams";
    if (!r.empty()) return SendXmlResult(call.res, r);
    Stmt v(s.db, "SELECT ver, size, sha1, mod_time FROM versions WHERE item_id=? AND ver<=? ORDER BY ver DESC LIMIT 1");
    v.Bind(1, item.id).Bind(2, previous ? item.ver - 1 : item.ver);
    if (!v.Step()) return SendXmlResult(call.res, "targetNotExist");
    std::string stub = RandomHex(16);
    Stmt(s.db,
         "INSERT INTO stubs(stub, kind, user_id, item_id, ver, parent, name, size, sha1, expires) "
         "VALUES(?,'down',?,?,?,?,?,?,?,?)")
        .Bind(1, stub)
        .Bind(2, user)
        .Bind(3, item.id)
        .Bind(4, v.Int(0))
        .Bind(5, item.parent)
        .Bind(6, item.name)
        .Bind(7, v.Int(1))
        .Bind(8, v.Text(2))
        .Bind(9, s.Now() + kStubSeconds)
        .Run();
    XmlAnswer a;
    a.Set("stub", stub);
    a.Set("url", s.BlockUrl(call.req, 1));
    a.Set("fileId", std::to_string(item.id));
    a.Set("fileVer", std::to_string(v.Int(0)));
    a.Set("sha1", v.Text(2));
    a.Set("size", std::to_string(v.Int(1)));
    a.Set("modTime", v.Text(3));
    a.Set("opVer", std::to_string(item.opVer));
    SendXml(call.res, a);
}

// The item and version behind a download stub; false when it is unknown or expired.
bool DownloadStub(Service& s, std::string_view stub, int64_t& item, int64_t& ver) {
    Stmt st(s.db, "SELECT item_id, ver FROM stubs WHERE stub=? AND kind='down' AND expires>?");
    st.Bind(1, stub).Bind(2, s.Now());
    if (stub.empty() || !st.Step()) return false;
    item = st.Int(0);
    ver = st.Int(1);
    return true;
}

void DownloadMetadata(Service& s, Call& call) {
    nlohmann::json body;
    if (!ParseJsonObject(call.body, body) || !body.contains("stub") || !body["stub"].is_string())
        return SendJsonResult(call.res, "clientBadParams");
    auto lock = s.db.Lock();
    int64_t item = 0, ver = 0;
    if (!DownloadStub(s, body["stub"].get<std::string>(), item, ver)) return SendJsonResult(call.res, "badStub");
    Stmt st(s.db,
            "SELECT vb.idx, vb.block_id, b.key, b.enc_sha1, b.stored FROM version_blocks vb LEFT JOIN blocks b "
            "ON b.block_id=vb.block_id WHERE vb.item_id=? AND vb.ver=? ORDER BY vb.idx");
    st.Bind(1, item).Bind(2, ver);
    int servers = s.opt.blockServers;
    std::vector<Json> groups(static_cast<size_t>(servers), Json::array());
    bool any = false;
    while (st.Step()) {
        if (st.IsNull(4) || st.Int(4) == 0) return SendJsonResult(call.res, "storageError");
        Json b;
        b["sha1"] = st.Text(3);
        b["id"] = st.Text(1);
        b["blockId"] = st.Text(1);
        b["fileKey"] = st.Text(2);
        b["index"] = std::to_string(st.Int(0));
        groups[static_cast<size_t>((st.Int(0) - 1) % servers)].push_back(std::move(b));
        any = true;
    }
    if (!any) return SendJsonResult(call.res, "targetNotExist");
    Json a;
    a["result"] = "ok";
    for (int n = 1; n <= servers; ++n)
        if (!groups[static_cast<size_t>(n - 1)].empty())
            a[s.BlockUrl(call.req, n)] = groups[static_cast<size_t>(n - 1)];
    SendJson(call.res, a);
}

// A stored block file mapped for one answer. Block files are written once
// and replaced only by a rename, so the mapping never loses its pages.
struct MappedBlock {
    char* data = nullptr;
    size_t size = 0;

    // Null when the file cannot be opened or does not hold `size` bytes.
    static std::shared_ptr<MappedBlock> Open(const std::string& path, int64_t size) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return nullptr;
        struct stat st {};
        auto block = std::make_shared<MappedBlock>();
        if (::fstat(fd, &st) == 0 && st.st_size == size) {
            block->size = static_cast<size_t>(size);
            void* p = size == 0 ? nullptr : ::mmap(nullptr, block->size, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
            if (p != MAP_FAILED) block->data = static_cast<char*>(p);
        }
        ::close(fd);
        if (block->size != static_cast<size_t>(size) || (size > 0 && !block->data)) return nullptr;
        return block;
    }
    ~MappedBlock() {
        if (data) ::munmap(data, size);
    }
};

void DownloadBlock(Service& s, Call& call) {
    nlohmann::json body;
    if (!ParseJsonObject(call.body, body) || !body.contains("stub") || !body["stub"].is_string() ||
        !body.contains("id") || !body["id"].is_string()) {
        SendJsonResult(call.res, "clientBadParams");
        call.res.status = 400;
        return;
    }
    std::string id = body["id"].get<std::string>();
    std::string path;
    int64_t size = 0;
    {
        auto lock = s.db.Lock();
        int64_t item = 0, ver = 0;
        if (!DownloadStub(s, body["stub"].get<std::string>(), item, ver)) {
            SendJsonResult(call.res, "badStub");
            call.res.status = 404;
            return;
        }
        // Only blocks of the stub's own file version can be fetched with it.
        Stmt st(s.db,
                "SELECT b.enc_size FROM version_blocks vb JOIN blocks b ON b.block_id=vb.block_id "
                "WHERE vb.item_id=? AND vb.ver=? AND vb.block_id=? AND b.stored=1");
        st.Bind(1, item).Bind(2, ver).Bind(3, id);
        if (!IsBlockId(id) || !st.Step() || !s.files.Has(id)) {
            SendJsonResult(call.res, "targetNotExist");
            call.res.status = 404;
            return;
        }
        size = st.Int(0);
        path = s.files.PathFor(id);
    }
    // The block file is mapped and the answer sent straight from the page
    // cache: no copy of the block in the emulator's own memory.
    auto block = MappedBlock::Open(path, size);
    if (!block) {
        SendJsonResult(call.res, "storageError");
        call.res.status = 500;
        return;
    }
    // A corrupted answer flips one byte of the encrypted payload (or of the
    // header when there is none), so the client's SHA-1 check catches it. The
    // mapping is private: the file keeps its bytes.
    if (call.fault.kind == FaultEffect::Corrupt && size > 0) block->data[size > 64 ? 64 : 0] ^= 0x5a;
    call.res.set_content_provider(static_cast<size_t>(size), "application/octet-stream",
                                  [block](size_t offset, size_t length, httplib::DataSink& sink) {
                                      if (offset >= block->size) return false;
                                      return sink.write(block->data + offset, std::min(length, block->size - offset));
                                  });
}

}  // namespace

void RegisterDownload(Router& r) {
    Service& s = r.service();
    r.Post("/osvr/requestDownload/", Format::Xml, [&s](Call& c) { RequestDownload(s, c, false); });
    r.Post("/osvr/requestDownloadPreviousVer/", Format::Xml, [&s](Call& c) { RequestDownload(s, c, true); });
    r.BlockPost("downloadMetadata2", [&s](Call& c) { DownloadMetadata(s, c); });
    r.BlockPost("downloadBlock2", [&s](Call& c) { DownloadBlock(s, c); });
}

}  // namespace emu
