#include "store/reply_cache.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <ctime>
#include <optional>
#include <string>

namespace {

// The request keys of the cache's rows, one a line.
std::string cached_keys(const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_stmt* query = nullptr;
    sqlite3_prepare_v2(db, "SELECT REQUEST FROM REPLY_CACHE ORDER BY REQUEST;", -1, &query,
                       nullptr);
    std::string rows;
    while (sqlite3_step(query) == SQLITE_ROW) {
        rows += reinterpret_cast<const char*>(sqlite3_column_text(query, 0)) + std::string("\n");
    }
    sqlite3_finalize(query);
    sqlite3_close(db);
    return rows;
}

// Storing a reply tidies the table: rows past the stale limit, and rows from a clock that was
// set back, go; a reply that another run stored a moment after this one read the clock stays.
TEST(ReplyCache, StoringAReplyKeepsTheRepliesOfRunsAMomentAhead) {
    TempDir data;
    const std::string path = data.path + "/cache.db";
    cache_policy policy;
    policy.enabled = true;
    policy.max_age_s = 120;
    policy.stale_limit_s = 3600;
    const std::time_t now = std::time(nullptr);
    const struct {
        const char* key;
        long fetched_offset_s;
        bool kept;
    } rows[] = {
        {"a another run, a second later", 2, true},
        {"b another run, after a wait for the lock", 60, true},
        {"c the clock set back by an hour", 3600, false},
        {"d within the stale limit", -600, true},
        {"e past the stale limit", -7200, false},
    };
    cached_request(path, policy, "z", [] { return std::optional<std::string>("first"); });
    std::string expected;
    for (const auto& row : rows) {
        sqlite3* db = nullptr;
        sqlite3_open(path.c_str(), &db);
        const std::string insert = "INSERT INTO REPLY_CACHE(REQUEST, REPLY, FETCHED) VALUES('" +
                                   std::string(row.key) + "', 'r', " +
                                   std::to_string(now + row.fetched_offset_s) + ");";
        ASSERT_EQ(sqlite3_exec(db, insert.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
        if (row.kept) {
            expected += std::string(row.key) + "\n";
        }
    }
    const cached_reply stored =
        cached_request(path, policy, "y", [] { return std::optional<std::string>("second"); });
    EXPECT_TRUE(stored.ok);
    EXPECT_EQ(cached_keys(path), expected + "y\nz\n");
}

} // namespace
