#include "store/database.h"
#include "store/reply_cache.h"
#include "store/shared_connection.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <functional>
#include <string>

namespace {

void run_sql(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

// What a run's start-up and a cached --line ask of the store, as text: the settings snapshot,
// the town, a reply from the cache (and whether the service was asked), then standard error.
std::string store_calls(const std::string& path) {
    testing::internal::CaptureStderr();
    std::string seen;
    for (const char* key : {"firstrun", "weather", "forecast"}) {
        seen += std::string(key) + "=" + read_setting(path, key) + " ";
    }
    std::string y = "-", x = "-";
    seen += "town " + std::to_string(find_cached_town(path, "Kraków", y, x)) + " " + y + " " + x;
    cache_policy policy;
    policy.enabled = true;
    policy.max_age_s = 600;
    bool asked = false;
    const cached_reply reply = cached_request(path, policy, "lightning", [&] {
        asked = true;
        return std::optional<std::string>("new reply");
    });
    seen += " | reply " + std::to_string(reply.ok) + " " + reply.text + (asked ? " asked" : "");
    return seen + " | " + testing::internal::GetCapturedStderr();
}

struct database_state {
    const char* name;
    std::function<void(const std::string& path)> make;
};

// The same calls give the same values, rows and messages through the shared connection as
// with a connection each, whatever state the database is in.
TEST(SharedConnection, StoreCallsGiveWhatTheyGaveWithAConnectionEach) {
    const database_state states[] = {
        {"made by the program, town and reply cached",
         [](const std::string& path) {
             init_database(path);
             update_setting(path, "firstrun", "0");
             insert_cached_town(path, "Kraków", "50.0614", "19.9366");
             run_sql(path, "CREATE TABLE REPLY_CACHE(REQUEST TEXT PRIMARY KEY NOT NULL, REPLY "
                           "TEXT, FETCHED INTEGER, CLAIMED_UNTIL INTEGER, CLAIM_OWNER TEXT);"
                           "INSERT INTO REPLY_CACHE(REQUEST, REPLY, FETCHED) VALUES('lightning', "
                           "'cached reply', " +
                               std::to_string(std::time(nullptr) - 5) + ");");
         }},
        {"settings rows missing, reply too old",
         [](const std::string& path) {
             init_database(path);
             run_sql(path, "DELETE FROM SETTINGS WHERE PARAM <> 'weather';"
                           "CREATE TABLE REPLY_CACHE(REQUEST TEXT PRIMARY KEY NOT NULL, REPLY "
                           "TEXT, FETCHED INTEGER, CLAIMED_UNTIL INTEGER, CLAIM_OWNER TEXT);"
                           "INSERT INTO REPLY_CACHE(REQUEST, REPLY, FETCHED) VALUES('lightning', "
                           "'old reply', 1);");
         }},
        {"reply cache of an earlier version",
         [](const std::string& path) {
             init_database(path);
             run_sql(path, "CREATE TABLE REPLY_CACHE(REQUEST TEXT PRIMARY KEY NOT NULL, REPLY "
                           "TEXT, FETCHED INTEGER, CLAIMED_UNTIL INTEGER);"
                           "INSERT INTO REPLY_CACHE(REQUEST, REPLY, FETCHED) VALUES('lightning', "
                           "'cached reply', " +
                               std::to_string(std::time(nullptr) - 5) + ");");
         }},
        {"no tables", [](const std::string& path) { run_sql(path, "CREATE TABLE OTHER(A);"); }},
        {"not a database",
         [](const std::string& path) { std::ofstream(path) << "plain text, not a database\n"; }},
    };
    for (const database_state& state : states) {
        SCOPED_TRACE(state.name);
        TempDir own_dir, shared_dir;
        const std::string own_path = own_dir.path + "/zagrozenia_pogodowe.db";
        const std::string shared_path = shared_dir.path + "/zagrozenia_pogodowe.db";
        state.make(own_path);
        state.make(shared_path);
        const std::string each = store_calls(own_path);
        shared_connection shared;
        ASSERT_TRUE(shared.open(shared_path));
        EXPECT_EQ(store_calls(shared_path), each);
        shared.close();
        EXPECT_EQ(store_calls(shared_path), store_calls(own_path)) << "the rows written alike";
    }
}

// A database that another process holds locked: every call waits within the run's budget, then
// fails with the message it gave before; the settings read empty (the machine forms say so).
TEST(SharedConnection, ALockedDatabaseFailsAsItDidWithAConnectionEach) {
    TempDir dir;
    const std::string path = dir.path + "/zagrozenia_pogodowe.db";
    init_database(path);
    sqlite3* holder = nullptr;
    sqlite3_open(path.c_str(), &holder);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    database_busy_budget = std::chrono::milliseconds(100);
    reset_database_busy_wait();
    const std::string each = store_calls(path);
    reset_database_busy_wait();
    std::string through_shared;
    {
        shared_connection shared;
        EXPECT_TRUE(shared.open(path)) << "opening reads nothing yet";
        through_shared = store_calls(path);
    }
    sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
    database_busy_budget = std::chrono::seconds(10);
    reset_database_busy_wait();
    EXPECT_EQ(through_shared, each);
    EXPECT_EQ(through_shared.substr(0, through_shared.find(" town")),
              "firstrun= weather= forecast=");
    EXPECT_NE(through_shared.find("Błąd SQL: database is locked\n"), std::string::npos)
        << through_shared;
}

TEST(SharedConnection, AFileThatCannotBeOpenedIsNotSharedAndEachCallSaysSo) {
    const std::string path = "/nonexistent-nimbrovator-dir/zagrozenia_pogodowe.db";
    shared_connection shared;
    EXPECT_FALSE(shared.open(path));
    EXPECT_FALSE(borrow_shared_connection(path));
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_setting(path, "weather"), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Nie mogę otworzyć bazy danych: unable to open database file\n"
              "Błąd SQL: unable to open database file\n");
}

TEST(SharedConnection, ServesOnlyItsFileAndTheProcessThatOpenedIt) {
    TempDir dir;
    const std::string path = dir.path + "/zagrozenia_pogodowe.db";
    shared_connection shared;
    ASSERT_TRUE(shared.open(path));
    EXPECT_TRUE(borrow_shared_connection(path));
    EXPECT_FALSE(borrow_shared_connection(dir.path + "/other.db"));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        _exit(borrow_shared_connection(path) ? 1 : 0);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a forked child opens its own";
    shared.close();
    EXPECT_FALSE(borrow_shared_connection(path));
}

} // namespace
