// The emulator's state in SQLite: accounts, sessions, items with their version
// history, held blocks, transfer stubs, properties and shares.
//
// One connection serves every request thread; callers hold the store's lock
// (Store::Lock) for each group of statements and wrap changes in a Txn so a
// failure half-way leaves nothing behind.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>

namespace emu {

struct StoreError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Store;

// A prepared statement; Bind* are 1-based, Col* 0-based like SQLite.
class Stmt {
public:
    Stmt(Store& store, std::string_view sql);
    ~Stmt();
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    Stmt& Bind(int i, int64_t v);
    Stmt& Bind(int i, std::string_view v);
    // True while a row is available; throws on errors.
    bool Step();
    // Runs a statement that returns no rows.
    void Run();
    void Reset();
    int64_t Int(int col) const;
    std::string Text(int col) const;
    bool IsNull(int col) const;
    sqlite3_stmt* Raw() const { return st_; }

private:
    sqlite3* db_;
    sqlite3_stmt* st_ = nullptr;
};

class Store {
public:
    Store() = default;
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Opens (creating) the database file and its tables.
    void Open(const std::string& path);
    void Exec(std::string_view sql);
    int64_t LastId() const { return sqlite3_last_insert_rowid(db_); }
    int Changes() const { return sqlite3_changes(db_); }
    std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(mutex_); }
    sqlite3* Handle() const { return db_; }

private:
    sqlite3* db_ = nullptr;
    std::mutex mutex_;
};

// BEGIN IMMEDIATE ... COMMIT; rolls back unless Commit() was reached.
class Txn {
public:
    explicit Txn(Store& store);
    ~Txn();
    Txn(const Txn&) = delete;
    Txn& operator=(const Txn&) = delete;
    void Commit();

private:
    Store& store_;
    bool done_ = false;
};

// Convenience: first column of the first row as integer, or `def` when no row.
int64_t QueryInt(Store& store, std::string_view sql, int64_t a, int64_t def);

}  // namespace emu
