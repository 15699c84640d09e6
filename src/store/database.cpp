#include "store/database.h"

#include "service/journal.h"
#include "store/shared_connection.h"
#include "store/sqlite_handles.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <sstream>
#include <vector>

namespace {

const char* const create_cities =
    "CREATE TABLE CITIES(ID INTEGER PRIMARY KEY AUTOINCREMENT   NOT NULL,"
    "CITY               TEXT                NOT NULL UNIQUE,"
    "Y_COORD            REAL                NOT NULL,"
    "X_COORD            REAL                NOT NULL);";
const char* const create_settings =
    "CREATE TABLE SETTINGS(ID INTEGER PRIMARY KEY AUTOINCREMENT   NOT NULL,"
    "PARAM              TEXT                NOT NULL UNIQUE,"
    "SETTING            NUMERIC             NOT NULL)";
const std::string insert_setting_sql = "INSERT INTO SETTINGS (PARAM, SETTING) VALUES (?, ?);";
const std::string update_setting_sql = "UPDATE SETTINGS SET SETTING = ? WHERE PARAM = ?;";
const std::string read_setting_sql = "SELECT PARAM, SETTING FROM SETTINGS WHERE PARAM = ?;";
const std::string insert_town_sql = "INSERT INTO CITIES (CITY, Y_COORD, X_COORD) VALUES (?, ?, ?);";
const std::string find_town_sql = "SELECT CITY, Y_COORD, X_COORD FROM CITIES WHERE CITY = ?;";

using Connection = sqlite_connection;
using Statement = sqlite_statement;

// The connection of one call: the run's shared one when it shares one on this file, else one of
// the call's own.
struct CallConnection {
    borrowed_connection shared;
    Connection own;
    sqlite3* get() const { return shared ? shared.get() : own.get(); }
};

// Takes the shared connection or opens the file; on failure prints the message and still gives
// the handle, whose later statements then fail with their own messages.
CallConnection open_database(const std::string& db_path) {
    CallConnection db{borrow_shared_connection(db_path), Connection()};
    if (db.shared) {
        return db;
    }
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open(db_path.c_str(), &raw);
    db.own.reset(raw);
    if (rc != SQLITE_OK) {
        tell_database_failure(std::string("Nie mogę otworzyć bazy danych: ") +
                                  sqlite3_errmsg(db.get()),
                              line_priority::error);
    } else {
        wait_for_locks_within_budget(db.get());
    }
    return db;
}

// Prepares the statement (its length with the terminating zero byte) and binds the texts,
// which outlive the statement. A null statement and the message when preparation fails.
Statement prepare(sqlite3* db, const std::string& sql, const std::vector<const std::string*>& texts,
                  int* status = nullptr) {
    sqlite3_stmt* raw = nullptr;
    const int rc =
        sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()) + 1, &raw, nullptr);
    if (status != nullptr) {
        *status = rc;
    }
    Statement statement(raw);
    if (rc != SQLITE_OK) {
        tell_database_failure(std::string("Błąd SQL: ") + sqlite3_errmsg(db), line_priority::error);
        return Statement();
    }
    for (std::size_t i = 0; i < texts.size(); ++i) {
        sqlite3_bind_text(statement.get(), static_cast<int>(i) + 1, texts[i]->c_str(),
                          static_cast<int>(texts[i]->size()), SQLITE_STATIC);
    }
    return statement;
}

// One writing statement: prepare, bind, step once. 0 when the step is done, or when a UNIQUE
// constraint refused it and `row_there_is_done`; else 1, with SQLite's message.
int run_write(const std::string& db_path, const std::string& sql,
              const std::vector<const std::string*>& texts, bool row_there_is_done = false) {
    CallConnection db = open_database(db_path);
    Statement statement = prepare(db.get(), sql, texts);
    if (!statement) {
        return 1;
    }
    if (sqlite3_step(statement.get()) == SQLITE_DONE ||
        (row_there_is_done && sqlite3_extended_errcode(db.get()) == SQLITE_CONSTRAINT_UNIQUE)) {
        return 0;
    }
    tell_database_failure(std::string("Błąd SQL: ") + sqlite3_errmsg(db.get()),
                          line_priority::error);
    return 1;
}

std::string column_word(sqlite3_stmt* statement, int column) {
    return first_word(reinterpret_cast<const char*>(sqlite3_column_text(statement, column)));
}

} // namespace

std::string first_word(const char* text) {
    if (text == nullptr) {
        return std::string();
    }
    std::stringstream stream;
    stream << text << '\n';
    std::string word;
    stream >> word;
    return word;
}

int init_database(const std::string& db_path) {
    CallConnection db = open_database(db_path);
    int result = 0;
    if (sqlite3_exec(db.get(), create_cities, nullptr, nullptr, nullptr) != SQLITE_OK) {
        result = 1;
    }
    if (sqlite3_exec(db.get(), create_settings, nullptr, nullptr, nullptr) != SQLITE_OK) {
        result = 1;
    }
    const std::string one = "1";
    for (const std::string key : {"weather", "forecast", "firstrun"}) {
        Statement statement = prepare(db.get(), insert_setting_sql, {&key, &one});
        if (statement) {
            sqlite3_step(statement.get());
        }
    }
    return result;
}

std::string read_setting(const std::string& db_path, const std::string& key) {
    CallConnection db = open_database(db_path);
    Statement statement = prepare(db.get(), read_setting_sql, {&key});
    if (!statement || sqlite3_step(statement.get()) != SQLITE_ROW) {
        return std::string();
    }
    return column_word(statement.get(), 1);
}

int update_setting(const std::string& db_path, const std::string& key, const std::string& value) {
    return run_write(db_path, update_setting_sql, {&value, &key});
}

int find_cached_town(const std::string& db_path, const std::string& town, std::string& y,
                     std::string& x) {
    CallConnection db = open_database(db_path);
    int status = SQLITE_OK;
    Statement statement = prepare(db.get(), find_town_sql, {&town}, &status);
    if (!statement) {
        return status;
    }
    if (sqlite3_step(statement.get()) != SQLITE_ROW) {
        return 1;
    }
    y = column_word(statement.get(), 1);
    x = column_word(statement.get(), 2);
    return 0;
}

int insert_cached_town(const std::string& db_path, const std::string& town, const std::string& y,
                       const std::string& x) {
    return run_write(db_path, insert_town_sql, {&town, &y, &x}, true);
}

bool cached_town_names(const std::string& db_path, std::vector<std::string>& names,
                       std::string& error) {
    names.clear();
    if (access(db_path.c_str(), F_OK) != 0 && errno == ENOENT) {
        return true;
    }
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(db_path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    Connection db(raw);
    if (rc != SQLITE_OK) {
        error = db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(rc);
        return false;
    }
    wait_for_locks_within_budget(db.get());
    // A database without the town table (made by another program, or never finished) has no
    // towns; asking sqlite_master reads the schema, which fails on a locked or foreign file.
    sqlite3_stmt* raw_statement = nullptr;
    if (sqlite3_prepare_v2(db.get(),
                           "SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND "
                           "name = 'CITIES';",
                           -1, &raw_statement, nullptr) != SQLITE_OK) {
        error = sqlite3_errmsg(db.get());
        return false;
    }
    Statement has_table(raw_statement);
    if (sqlite3_step(has_table.get()) != SQLITE_ROW) {
        error = sqlite3_errmsg(db.get());
        return false;
    }
    if (sqlite3_column_int(has_table.get(), 0) == 0) {
        return true;
    }
    if (sqlite3_prepare_v2(db.get(), "SELECT CITY FROM CITIES;", -1, &raw_statement, nullptr) !=
        SQLITE_OK) {
        error = sqlite3_errmsg(db.get());
        return false;
    }
    Statement statement(raw_statement);
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(statement.get())) == SQLITE_ROW) {
        const unsigned char* name = sqlite3_column_text(statement.get(), 0);
        if (name != nullptr) {
            names.emplace_back(reinterpret_cast<const char*>(name));
        }
    }
    if (step != SQLITE_DONE) {
        error = sqlite3_errmsg(db.get());
        names.clear();
        return false;
    }
    return true;
}
