#include "store.h"

namespace emu {
namespace {

const char* const kSchema = R"SQL(
PRAGMA journal_mode=WAL;
PRAGMA synchronous=NORMAL;
CREATE TABLE IF NOT EXISTS users(
  id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT UNIQUE NOT NULL, password TEXT NOT NULL,
  quota INTEGER NOT NULL, op_ver INTEGER NOT NULL DEFAULT 0, share_ver INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS sessions(
  token TEXT PRIMARY KEY, user_id INTEGER NOT NULL, device_id TEXT NOT NULL,
  client TEXT NOT NULL DEFAULT '', expires INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS items(
  id INTEGER PRIMARY KEY AUTOINCREMENT, owner INTEGER NOT NULL, parent INTEGER NOT NULL,
  name TEXT NOT NULL, folder INTEGER NOT NULL, size INTEGER NOT NULL DEFAULT 0,
  sha1 TEXT NOT NULL DEFAULT '', mod_time TEXT NOT NULL DEFAULT '', ver INTEGER NOT NULL DEFAULT 0,
  state INTEGER NOT NULL DEFAULT 0, op_ver INTEGER NOT NULL DEFAULT 0);
CREATE INDEX IF NOT EXISTS items_by_parent ON items(owner, parent, state);
CREATE INDEX IF NOT EXISTS items_by_opver ON items(owner, op_ver);
CREATE TABLE IF NOT EXISTS versions(
  item_id INTEGER NOT NULL, ver INTEGER NOT NULL, size INTEGER NOT NULL, sha1 TEXT NOT NULL,
  mod_time TEXT NOT NULL, PRIMARY KEY(item_id, ver));
CREATE TABLE IF NOT EXISTS version_blocks(
  item_id INTEGER NOT NULL, ver INTEGER NOT NULL, idx INTEGER NOT NULL, block_id TEXT NOT NULL,
  PRIMARY KEY(item_id, ver, idx));
CREATE INDEX IF NOT EXISTS version_blocks_by_block ON version_blocks(block_id);
CREATE TABLE IF NOT EXISTS blocks(
  block_id TEXT PRIMARY KEY, key TEXT NOT NULL, stored INTEGER NOT NULL DEFAULT 0,
  enc_sha1 TEXT NOT NULL DEFAULT '', enc_size INTEGER NOT NULL DEFAULT 0, touched INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS stubs(
  stub TEXT PRIMARY KEY, kind TEXT NOT NULL, user_id INTEGER NOT NULL, item_id INTEGER NOT NULL,
  ver INTEGER NOT NULL, parent INTEGER NOT NULL, name TEXT NOT NULL, size INTEGER NOT NULL,
  sha1 TEXT NOT NULL, expires INTEGER NOT NULL, has_meta INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS stub_blocks(
  stub TEXT NOT NULL, idx INTEGER NOT NULL, block_id TEXT NOT NULL, PRIMARY KEY(stub, idx));
CREATE INDEX IF NOT EXISTS stub_blocks_by_block ON stub_blocks(block_id);
CREATE TABLE IF NOT EXISTS props(
  user_id INTEGER NOT NULL, key TEXT NOT NULL, value TEXT NOT NULL, PRIMARY KEY(user_id, key));
CREATE TABLE IF NOT EXISTS shares(
  id INTEGER PRIMARY KEY AUTOINCREMENT, owner INTEGER NOT NULL, item_id INTEGER NOT NULL,
  sharer TEXT NOT NULL, writable INTEGER NOT NULL, state INTEGER NOT NULL DEFAULT 0,
  op_ver INTEGER NOT NULL);
)SQL";

}  // namespace

Stmt::Stmt(Store& store, std::string_view sql) : db_(store.Handle()) {
    if (sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &st_, nullptr) != SQLITE_OK)
        throw StoreError(std::string("prepare: ") + sqlite3_errmsg(db_));
}

Stmt::~Stmt() { sqlite3_finalize(st_); }

Stmt& Stmt::Bind(int i, int64_t v) {
    if (sqlite3_bind_int64(st_, i, v) != SQLITE_OK) throw StoreError("bind");
    return *this;
}

Stmt& Stmt::Bind(int i, std::string_view v) {
    if (sqlite3_bind_text(st_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT) != SQLITE_OK)
        throw StoreError("bind");
    return *this;
}

bool Stmt::Step() {
    int rc = sqlite3_step(st_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw StoreError(std::string("step: ") + sqlite3_errmsg(db_));
}

void Stmt::Run() {
    while (Step()) {}
}

void Stmt::Reset() {
    sqlite3_reset(st_);
    sqlite3_clear_bindings(st_);
}

int64_t Stmt::Int(int col) const { return sqlite3_column_int64(st_, col); }

std::string Stmt::Text(int col) const {
    const unsigned char* p = sqlite3_column_text(st_, col);
    int n = sqlite3_column_bytes(st_, col);
    return p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
}

bool Stmt::IsNull(int col) const { return sqlite3_column_type(st_, col) == SQLITE_NULL; }

Store::~Store() {
    if (db_) sqlite3_close_v2(db_);
}

void Store::Open(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK)
        throw StoreError("cannot open " + path);
    sqlite3_busy_timeout(db_, 5000);
    Exec(kSchema);
}

void Store::Exec(std::string_view sql) {
    std::string text(sql);
    char* msg = nullptr;
    if (sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &msg) != SQLITE_OK) {
        std::string err = msg ? msg : "exec failed";
        sqlite3_free(msg);
        throw StoreError(err);
    }
}

Txn::Txn(Store& store) : store_(store) { store_.Exec("BEGIN IMMEDIATE"); }

Txn::~Txn() {
    if (!done_) sqlite3_exec(store_.Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Txn::Commit() {
    store_.Exec("COMMIT");
    done_ = true;
}

int64_t QueryInt(Store& store, std::string_view sql, int64_t a, int64_t def) {
    Stmt st(store, sql);
    if (sqlite3_bind_parameter_count(st.Raw()) > 0) st.Bind(1, a);
    return st.Step() ? st.Int(0) : def;
}

}  // namespace emu
