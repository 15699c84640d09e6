#include "store/database.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

// Rows of a query on the file, each row's columns joined with "|".
std::vector<std::string> query(const std::string& path, const std::string& sql) {
    std::vector<std::string> rows;
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
        while (sqlite3_step(statement) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(statement); ++i) {
                const auto* text = sqlite3_column_text(statement, i);
                row += (i ? "|" : "") +
                       std::string(text ? reinterpret_cast<const char*>(text) : "NULL");
            }
            rows.push_back(row);
        }
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

class DatabaseTest : public ::testing::Test {
  protected:
    TempDir dir;
    std::string path = dir.path + "/zagrozenia_pogodowe.db";
};

TEST_F(DatabaseTest, FreshFileGetsTheSchemaAndTheDefaultSettings) {
    EXPECT_EQ(init_database(path), 0);
    EXPECT_EQ(query(path, "SELECT sql FROM sqlite_master WHERE type = 'table' AND name <> "
                          "'sqlite_sequence' ORDER BY name"),
              (std::vector<std::string>{
                  "CREATE TABLE CITIES(ID INTEGER PRIMARY KEY AUTOINCREMENT   NOT NULL,"
                  "CITY               TEXT                NOT NULL UNIQUE,"
                  "Y_COORD            REAL                NOT NULL,"
                  "X_COORD            REAL                NOT NULL)",
                  "CREATE TABLE SETTINGS(ID INTEGER PRIMARY KEY AUTOINCREMENT   NOT NULL,"
                  "PARAM              TEXT                NOT NULL UNIQUE,"
                  "SETTING            NUMERIC             NOT NULL)"}));
    EXPECT_EQ(query(path, "SELECT PARAM, SETTING, typeof(SETTING) FROM SETTINGS ORDER BY ID"),
              (std::vector<std::string>{"weather|1|integer", "forecast|1|integer",
                                        "firstrun|1|integer"}));
}

TEST_F(DatabaseTest, LaterInitialisationChangesNothing) {
    ASSERT_EQ(init_database(path), 0);
    ASSERT_EQ(update_setting(path, "weather", "0"), 0);
    EXPECT_EQ(init_database(path), 1);
    EXPECT_EQ(read_setting(path, "weather"), "0");
    EXPECT_EQ(query(path, "SELECT COUNT(*) FROM SETTINGS"), std::vector<std::string>{"3"});
}

TEST_F(DatabaseTest, ReadsAndUpdatesSettings) {
    init_database(path);
    EXPECT_EQ(read_setting(path, "forecast"), "1");
    EXPECT_EQ(update_setting(path, "forecast", "0"), 0);
    EXPECT_EQ(read_setting(path, "forecast"), "0");
    EXPECT_EQ(read_setting(path, "missing"), "");
    EXPECT_EQ(update_setting(path, "missing", "1"), 0);
    EXPECT_EQ(query(path, "SELECT COUNT(*) FROM SETTINGS"), std::vector<std::string>{"3"});
}

TEST_F(DatabaseTest, SettingsReadBackAsTheirFirstWord) {
    init_database(path);
    update_setting(path, "weather", "  tak nie");
    EXPECT_EQ(read_setting(path, "weather"), "tak");
}

TEST(FirstWord, TakesTheFirstWhitespaceDelimitedWord) {
    EXPECT_EQ(first_word(nullptr), "");
    EXPECT_EQ(first_word(""), "");
    EXPECT_EQ(first_word("  50.06 N\t"), "50.06");
    EXPECT_EQ(first_word("\n\tKraków"), "Kraków");
}

TEST_F(DatabaseTest, FindsAndInsertsTowns) {
    init_database(path);
    std::string y = "old y", x = "old x";
    EXPECT_EQ(find_cached_town(path, "Kraków", y, x), 1);
    EXPECT_EQ(y, "old y");
    EXPECT_EQ(x, "old x");

    EXPECT_EQ(insert_cached_town(path, "Kraków", "50.0614", "19.9366"), 0);
    EXPECT_EQ(find_cached_town(path, "Kraków", y, x), 0);
    EXPECT_EQ(y, "50.0614");
    EXPECT_EQ(x, "19.9366");
    EXPECT_EQ(find_cached_town(path, "kraków", y, x), 1) << "the key is compared exactly";

    // A second row for the same town is refused and the first stays.
    EXPECT_EQ(insert_cached_town(path, "Kraków", "1.5", "2.5"), 0);
    EXPECT_EQ(find_cached_town(path, "Kraków", y, x), 0);
    EXPECT_EQ(y, "50.0614");
    EXPECT_EQ(query(path, "SELECT COUNT(*) FROM CITIES"), std::vector<std::string>{"1"});
}

TEST_F(DatabaseTest, CoordinatesKeepTheirTextAndReadBackAsSqliteWritesThem) {
    init_database(path);
    insert_cached_town(path, "A", "50.10", "-3");
    insert_cached_town(path, "B", "n/a", "19.94");
    std::string y, x;
    ASSERT_EQ(find_cached_town(path, "A", y, x), 0);
    EXPECT_EQ(y, "50.1");
    EXPECT_EQ(x, "-3.0");
    ASSERT_EQ(find_cached_town(path, "B", y, x), 0);
    EXPECT_EQ(y, "n/a");
    EXPECT_EQ(x, "19.94");
}

TEST(DatabaseFailure, UnusableDirectoryPrintsBothMessages) {
    const std::string path = "/nonexistent-nimbrovator-dir/zagrozenia_pogodowe.db";
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_setting(path, "weather"), "");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Nie mogę otworzyć bazy danych: unable to open database file\n"
                   "Błąd SQL: unable to open database file\n");

    testing::internal::CaptureStderr();
    EXPECT_EQ(init_database(path), 1);
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Nie mogę otworzyć bazy danych: unable to open database file\n"
                   "Błąd SQL: unable to open database file\n"
                   "Błąd SQL: unable to open database file\n"
                   "Błąd SQL: unable to open database file\n");

    testing::internal::CaptureStderr();
    std::string y = "y", x = "x";
    EXPECT_NE(find_cached_town(path, "Kraków", y, x), 0);
    EXPECT_EQ(update_setting(path, "weather", "1"), 1);
    EXPECT_EQ(insert_cached_town(path, "Kraków", "1", "2"), 1);
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(y, "y");
    EXPECT_NE(err.find("Błąd SQL: "), std::string::npos);
}

TEST_F(DatabaseTest, ALockedDatabaseIsWaitedForOnlyWithinTheRunsBudget) {
    init_database(path);
    sqlite3* holder = nullptr;
    sqlite3_open(path.c_str(), &holder);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    database_busy_budget = std::chrono::milliseconds(300);
    reset_database_busy_wait();
    testing::internal::CaptureStderr();
    const auto start = std::chrono::steady_clock::now();
    std::string y, x;
    EXPECT_NE(find_cached_town(path, "Kraków", y, x), 0);
    EXPECT_EQ(insert_cached_town(path, "Kraków", "50.0614", "19.9366"), 1);
    EXPECT_EQ(update_setting(path, "weather", "0"), 1);
    EXPECT_EQ(read_setting(path, "weather"), "");
    const auto waited = std::chrono::steady_clock::now() - start;
    const std::string err = testing::internal::GetCapturedStderr();
    sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
    database_busy_budget = std::chrono::seconds(10);
    reset_database_busy_wait();
    EXPECT_GE(waited, std::chrono::milliseconds(300));
    EXPECT_LT(waited, std::chrono::seconds(2));
    EXPECT_NE(err.find("Błąd SQL: database is locked\n"), std::string::npos) << err;
    EXPECT_EQ(update_setting(path, "weather", "0"), 0) << "the lock is gone";
}

TEST_F(DatabaseTest, ConcurrentWritersLoseNothing) {
    init_database(path);
    // Two writers at once: the busy time-out makes each wait for the other's lock.
    auto insert_many = [this](const std::string& prefix) {
        for (int i = 0; i < 40; ++i) {
            insert_cached_town(path, prefix + std::to_string(i), "1.5", "2.5");
        }
    };
    std::thread first(insert_many, "A");
    std::thread second(insert_many, "B");
    first.join();
    second.join();
    EXPECT_EQ(query(path, "SELECT COUNT(*) FROM CITIES"), std::vector<std::string>{"80"});
}

} // namespace
