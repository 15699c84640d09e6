#include "store/track.h"

#include "store/database.h"
#include "store/shared_connection.h"
#include "store/sqlite_handles.h"

#include <sqlite3.h>

#include <cstdio>
#include <memory>

namespace {

constexpr double kept_s = 7 * 24 * 3600;

const char* const create_table = "CREATE TABLE IF NOT EXISTS TRACK("
                                 "PLACE TEXT NOT NULL,"
                                 "LATITUDE REAL,"
                                 "LONGITUDE REAL,"
                                 "RADIUS INTEGER NOT NULL,"
                                 "TIME REAL NOT NULL,"
                                 "STRIKES INTEGER NOT NULL,"
                                 "NEAREST REAL,"
                                 "DIRECTION TEXT,"
                                 "EVENT TEXT,"
                                 "PRIMARY KEY(PLACE, RADIUS, TIME));";
const char* const insert_row =
    "INSERT OR IGNORE INTO TRACK(PLACE, LATITUDE, LONGITUDE, RADIUS, TIME, STRIKES, NEAREST, "
    "DIRECTION, EVENT) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?);";
const char* const prune_rows = "DELETE FROM TRACK WHERE TIME < ?;";
// The place's two newest rows before a time, newest first.
const char* const select_latest =
    "SELECT PLACE, LATITUDE, LONGITUDE, RADIUS, TIME, STRIKES, NEAREST, DIRECTION, EVENT, rowid "
    "FROM TRACK WHERE PLACE = ? AND RADIUS = ? AND TIME < ? ORDER BY TIME DESC LIMIT 2;";
// A quiet run's last row moved on to the time of the newest check (a row at that time stays).
const char* const extend_run = "UPDATE OR IGNORE TRACK SET TIME = ? WHERE rowid = ?;";
const char* const select_rows =
    "SELECT PLACE, LATITUDE, LONGITUDE, RADIUS, TIME, STRIKES, NEAREST, DIRECTION, EVENT "
    "FROM TRACK WHERE PLACE = ? AND TIME >= ? AND (? IS NULL OR RADIUS = ?) ORDER BY TIME;";

using connection = sqlite_connection;
using statement = sqlite_statement;

connection open_track(const std::string& db_path, int flags) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(db_path.c_str(), &raw, flags, nullptr);
    connection db(raw);
    if (rc != SQLITE_OK) {
        return connection();
    }
    // Watches of several places write at once: each waits for the others' lock.
    wait_for_locks_within_budget(db.get());
    return db;
}

void bind_text(sqlite3_stmt* query, int index, const std::string& text) {
    if (text.empty()) {
        sqlite3_bind_null(query, index);
    } else {
        sqlite3_bind_text(query, index, text.c_str(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
    }
}

std::string column_text(sqlite3_stmt* query, int column) {
    const unsigned char* text = sqlite3_column_text(query, column);
    return text == nullptr ? std::string() : reinterpret_cast<const char*>(text);
}

// The row at the query's step, its columns in the order of the table.
track_row row_of(sqlite3_stmt* query) {
    track_row row;
    row.place = column_text(query, 0);
    row.latitude = sqlite3_column_double(query, 1);
    row.longitude = sqlite3_column_double(query, 2);
    row.radius_km = sqlite3_column_int(query, 3);
    row.time_s = sqlite3_column_double(query, 4);
    row.strikes = sqlite3_column_int(query, 5);
    if (sqlite3_column_type(query, 6) != SQLITE_NULL) {
        row.nearest_km = sqlite3_column_double(query, 6);
    }
    row.direction = column_text(query, 7);
    row.event = column_text(query, 8);
    return row;
}

// A check that saw nothing and told nothing, from where the place was then.
bool quiet(const track_row& row) {
    return row.strikes == 0 && !row.nearest_km && row.direction.empty() && row.event.empty();
}

// The rowid of the row that `row` carries on: the newest of the place's two latest rows before
// it when both are quiet from the same spot as `row` is. A run of quiet checks keeps its first
// and its last row only, so a week of calm does not fill the file; 0 when a row is to be added.
sqlite3_int64 quiet_run_end(sqlite3* db, const track_row& row) {
    if (!quiet(row)) {
        return 0;
    }
    statement select = sqlite_prepare(db, select_latest);
    if (!select) {
        return 0;
    }
    sqlite3_stmt* query = select.get();
    bind_text(query, 1, row.place);
    sqlite3_bind_int(query, 2, row.radius_km);
    sqlite3_bind_double(query, 3, row.time_s);
    sqlite3_int64 newest = 0;
    int same = 0;
    while (sqlite3_step(query) == SQLITE_ROW) {
        const track_row earlier = row_of(query);
        if (!quiet(earlier) || earlier.latitude != row.latitude ||
            earlier.longitude != row.longitude) {
            return 0;
        }
        newest = newest == 0 ? sqlite3_column_int64(query, 9) : newest;
        ++same;
    }
    return same == 2 ? newest : 0;
}

bool store_row(sqlite3* db, const track_row& row) {
    const sqlite3_int64 run_end = quiet_run_end(db, row);
    if (run_end != 0) {
        statement extend = sqlite_prepare(db, extend_run);
        if (!extend) {
            return false;
        }
        sqlite3_bind_double(extend.get(), 1, row.time_s);
        sqlite3_bind_int64(extend.get(), 2, run_end);
        return sqlite3_step(extend.get()) == SQLITE_DONE;
    }
    statement insert = sqlite_prepare(db, insert_row);
    if (!insert) {
        return false;
    }
    sqlite3_stmt* query = insert.get();
    bind_text(query, 1, row.place);
    sqlite3_bind_double(query, 2, row.latitude);
    sqlite3_bind_double(query, 3, row.longitude);
    sqlite3_bind_int(query, 4, row.radius_km);
    sqlite3_bind_double(query, 5, row.time_s);
    sqlite3_bind_int(query, 6, row.strikes);
    if (row.nearest_km) {
        sqlite3_bind_double(query, 7, *row.nearest_km);
    } else {
        sqlite3_bind_null(query, 7);
    }
    bind_text(query, 8, row.direction);
    bind_text(query, 9, row.event);
    return sqlite3_step(query) == SQLITE_DONE;
}

} // namespace

result<void> record_track_row(const std::string& db_path, const track_row& row, double now_s) {
    const borrowed_connection shared = borrow_shared_connection(db_path);
    const connection own =
        shared ? connection() : open_track(db_path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    sqlite3* const db = shared ? shared.get() : own.get();
    // One write: the row and the pruning of old rows together.
    const bool begun = db != nullptr && sqlite_execute(db, "BEGIN IMMEDIATE;");
    bool done = begun && sqlite_execute(db, create_table) && store_row(db, row);
    if (done) {
        const statement prune = sqlite_prepare(db, prune_rows);
        done = prune && sqlite3_bind_double(prune.get(), 1, now_s - kept_s) == SQLITE_OK &&
               sqlite3_step(prune.get()) == SQLITE_DONE;
    }
    done = done && sqlite_execute(db, "COMMIT;");
    if (!done) {
        const std::string reason = db != nullptr ? sqlite3_errmsg(db) : "brak dostępu do pliku";
        if (begun) {
            // A rollback that fails too ends with the connection of the call's own; the shared
            // one ends with the run.
            static_cast<void>(sqlite_execute(db, "ROLLBACK;"));
        }
        return failure("Nie udało się zapisać obserwacji w bazie danych: " + reason);
    }
    return {};
}

std::vector<track_row> read_track(const std::string& db_path, const std::string& place,
                                  std::optional<int> radius_km, double since_s) {
    std::vector<track_row> rows;
    // The run's shared connection when it has one; else the file opened only to read.
    const borrowed_connection shared = borrow_shared_connection(db_path);
    connection own = shared ? connection() : open_track(db_path, SQLITE_OPEN_READONLY);
    sqlite3* const db = shared ? shared.get() : own.get();
    statement select = db != nullptr ? sqlite_prepare(db, select_rows) : statement();
    if (!select) {
        return rows;
    }
    sqlite3_stmt* query = select.get();
    bind_text(query, 1, place);
    sqlite3_bind_double(query, 2, since_s);
    for (int index : {3, 4}) {
        if (radius_km) {
            sqlite3_bind_int(query, index, *radius_km);
        } else {
            sqlite3_bind_null(query, index);
        }
    }
    while (sqlite3_step(query) == SQLITE_ROW) {
        rows.push_back(row_of(query));
    }
    return rows;
}
