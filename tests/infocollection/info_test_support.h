// A private registry and config folder per test, the collector's sink, and a
// reader for the rows of "data.db".
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <mutex>
#include <string>
#include <vector>

#include "common/recordtree.h"
#include "infocollection/info_collection.h"
#include "infocollection/info_collection_testing.h"
#include "platform/registry.h"
#include "support/log_capture.h"

class InfoStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("ORVEL_REGISTRY_FILE", m_dir.File("tavik.reg").c_str(), 1);
        ASSERT_TRUE(RegSetString("ConfigPath", ConfigFolder()));
        orvel::infotest::ResetStore();
        orvel::infotest::SetSink([this](const RecordTree& item) {
            std::lock_guard<std::mutex> guard(m_lock);
            m_items.push_back(item);
        });
    }
    void TearDown() override {
        orvel::infotest::SetSink(nullptr);
        orvel::infotest::ResetStore();
        ::unsetenv("ORVEL_REGISTRY_FILE");
    }

    std::string ConfigFolder() const { return m_dir.File("cfg"); }
    std::string StorePath() const { return ConfigFolder() + "/info/data.db"; }
    void EnableStore() { ASSERT_TRUE(RegSetDword("EnableInfoStore", 1)); }

    std::vector<RecordTree> Items() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_items;
    }

    // The "data" column of every row, in insertion order.
    std::vector<std::string> StoredRows() const {
        std::vector<std::string> rows;
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(StorePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_stmt* stmt = nullptr;
            if (sqlite3_prepare_v2(db, "SELECT data FROM data ORDER BY id", -1, &stmt, nullptr) == SQLITE_OK) {
                while (sqlite3_step(stmt) == SQLITE_ROW) {
                    const char* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
                    rows.emplace_back(text ? std::string(text, sqlite3_column_bytes(stmt, 0)) : std::string());
                }
            }
            sqlite3_finalize(stmt);
        }
        sqlite3_close(db);
        return rows;
    }

    orvel::testsupport::TempDir m_dir;
    std::mutex m_lock;
    std::vector<RecordTree> m_items;
};
