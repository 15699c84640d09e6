// Owning handles of an SQLite connection and statement: closed or finalized when they go; and
// the two calls the store's files make alike with them.
#pragma once

#include <sqlite3.h>

#include <memory>

struct sqlite_connection_closer {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using sqlite_connection = std::unique_ptr<sqlite3, sqlite_connection_closer>;

struct sqlite_statement_finalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using sqlite_statement = std::unique_ptr<sqlite3_stmt, sqlite_statement_finalizer>;

// The statement of `sql`; null when it cannot be prepared.
inline sqlite_statement sqlite_prepare(sqlite3* db, const char* sql) {
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
    return sqlite_statement(raw);
}

// Runs `sql` (statements without results); false when one fails.
inline bool sqlite_execute(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}
