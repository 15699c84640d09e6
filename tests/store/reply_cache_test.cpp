#include "state/run_deadline.h"
#include "store/reply_cache.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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

// A claim holder stopped while it asks (SIGSTOP) makes no progress: a run waiting for its reply
// takes the claim over and asks the service itself, well before its own time runs out.
TEST(ReplyCache, AClaimOfAStoppedOwnerIsTakenOver) {
    TempDir data;
    const std::string path = data.path + "/cache.db";
    cache_policy policy;
    policy.enabled = true;
    policy.max_age_s = 120;
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        cached_request(path, policy, "lightning", [] {
            raise(SIGSTOP); // holds the claim, stopped, until the test ends it
            return std::optional<std::string>("holder");
        });
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, WUNTRACED), holder);
    ASSERT_TRUE(WIFSTOPPED(status));
    set_run_time_limit(std::chrono::seconds(30));
    start_run_deadline();
    const auto started = std::chrono::steady_clock::now();
    // As the services' clients do: nothing goes out once the run's time is up.
    const cached_reply reply = cached_request(path, policy, "lightning", [] {
        return run_deadline_passed() ? std::nullopt : std::optional<std::string>("waiter");
    });
    const auto waited = std::chrono::steady_clock::now() - started;
    set_run_time_limit(std::chrono::hours(24)); // the later tests of this program wait freely
    start_run_deadline();
    kill(holder, SIGKILL);
    waitpid(holder, &status, 0);
    EXPECT_TRUE(reply.ok);
    EXPECT_EQ(reply.text, "waiter");
    EXPECT_GE(waited, std::chrono::seconds(stopped_owner_seconds));
    EXPECT_LT(waited, std::chrono::seconds(25));
}

} // namespace
