// Owning handles of an SQLite connection and statement: closed or finalized when they go.
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
