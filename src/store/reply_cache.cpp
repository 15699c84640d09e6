#include "store/reply_cache.h"

#include "store/database.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

namespace {

const char* const create_table = "CREATE TABLE IF NOT EXISTS REPLY_CACHE("
                                 "REQUEST TEXT PRIMARY KEY NOT NULL,"
                                 "REPLY TEXT,"
                                 "FETCHED INTEGER,"
                                 "CLAIMED_UNTIL INTEGER);";
const char* const read_row =
    "SELECT REPLY, FETCHED, CLAIMED_UNTIL FROM REPLY_CACHE WHERE REQUEST = ?;";
const char* const claim_row =
    "INSERT INTO REPLY_CACHE(REQUEST, CLAIMED_UNTIL) VALUES(?, ?) "
    "ON CONFLICT(REQUEST) DO UPDATE SET CLAIMED_UNTIL = excluded.CLAIMED_UNTIL;";
const char* const store_row =
    "INSERT INTO REPLY_CACHE(REQUEST, REPLY, FETCHED, CLAIMED_UNTIL) VALUES(?, ?, ?, NULL) "
    "ON CONFLICT(REQUEST) DO UPDATE SET REPLY = excluded.REPLY, FETCHED = excluded.FETCHED, "
    "CLAIMED_UNTIL = NULL;";
const char* const release_row = "UPDATE REPLY_CACHE SET CLAIMED_UNTIL = NULL WHERE REQUEST = ?;";
const char* const prune_rows = "DELETE FROM REPLY_CACHE WHERE (FETCHED IS NULL OR FETCHED < ?) "
                               "AND (CLAIMED_UNTIL IS NULL OR CLAIMED_UNTIL < ?);";

constexpr auto wait_step = std::chrono::milliseconds(50);

struct connection_closer {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using connection = std::unique_ptr<sqlite3, connection_closer>;

struct statement_finalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using statement = std::unique_ptr<sqlite3_stmt, statement_finalizer>;

struct cache_row {
    bool exists = false;
    std::optional<std::string> reply;
    long long fetched = 0;
    long long claimed_until = 0;
};

connection open_cache(const std::string& db_path) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open(db_path.c_str(), &raw);
    connection db(raw);
    // Runs starting together all create the table: each waits for the others' lock, within the
    // run's budget for locked databases.
    wait_for_locks_within_budget(db.get());
    if (rc != SQLITE_OK ||
        sqlite3_exec(db.get(), create_table, nullptr, nullptr, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "Pamięć podręczna odpowiedzi niedostępna: %s\n",
                     sqlite3_errmsg(db.get()));
        return connection();
    }
    return db;
}

statement prepare(sqlite3* db, const char* sql) {
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
    return statement(raw);
}

bool execute(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

cache_row read(sqlite3* db, const std::string& key) {
    cache_row row;
    statement query = prepare(db, read_row);
    if (!query) {
        return row;
    }
    sqlite3_bind_text(query.get(), 1, key.c_str(), static_cast<int>(key.size()), SQLITE_STATIC);
    if (sqlite3_step(query.get()) != SQLITE_ROW) {
        return row;
    }
    row.exists = true;
    if (sqlite3_column_type(query.get(), 0) != SQLITE_NULL) {
        row.reply = reinterpret_cast<const char*>(sqlite3_column_text(query.get(), 0));
    }
    row.fetched = sqlite3_column_int64(query.get(), 1);
    row.claimed_until = sqlite3_column_int64(query.get(), 2);
    return row;
}

// Runs a writing statement with the key and up to two numbers bound; true when it is done.
bool write(sqlite3* db, const char* sql, const std::string& key, const std::string* text,
           std::optional<long long> first, std::optional<long long> second = std::nullopt) {
    statement update = prepare(db, sql);
    if (!update) {
        return false;
    }
    int index = 1;
    if (!key.empty()) {
        sqlite3_bind_text(update.get(), index++, key.c_str(), static_cast<int>(key.size()),
                          SQLITE_STATIC);
    }
    if (text != nullptr) {
        sqlite3_bind_text(update.get(), index++, text->c_str(), static_cast<int>(text->size()),
                          SQLITE_STATIC);
    }
    for (const std::optional<long long>& number : {first, second}) {
        if (number) {
            sqlite3_bind_int64(update.get(), index++, *number);
        }
    }
    return sqlite3_step(update.get()) == SQLITE_DONE;
}

bool is_fresh(const cache_row& row, const cache_policy& policy, std::time_t now) {
    return row.reply && policy.max_age_s > 0 && now - row.fetched < policy.max_age_s;
}

cached_reply from_row(const cache_row& row, std::time_t now, bool stale) {
    return cached_reply{true, *row.reply, static_cast<long>(now - row.fetched), stale};
}

enum class claim_outcome { claimed, fresh, given_up };

// Claims the request for this run, or waits while another run holds the claim: until its row
// is fresh (`row` then holds it) or its claim ends without a reply.
claim_outcome claim(sqlite3* db, const cache_policy& policy, const std::string& key,
                    cache_row& row) {
    bool waited = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(claim_seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!execute(db, "BEGIN IMMEDIATE;")) {
            return claim_outcome::claimed; // no lock to be had: ask the service without one
        }
        const std::time_t now = std::time(nullptr);
        row = read(db, key);
        const bool held = row.claimed_until >= now;
        if (!is_fresh(row, policy, now) && !held && !waited) {
            write(db, claim_row, key, nullptr, now + claim_seconds);
        }
        execute(db, "COMMIT;");
        if (is_fresh(row, policy, now)) {
            return claim_outcome::fresh;
        }
        if (!held) {
            return waited ? claim_outcome::given_up : claim_outcome::claimed;
        }
        waited = true;
        std::this_thread::sleep_for(wait_step);
    }
    return claim_outcome::given_up;
}

} // namespace

cache_policy& reply_cache_policy() {
    static cache_policy policy;
    return policy;
}

cached_reply cached_request(const std::string& db_path, const cache_policy& policy,
                            const std::string& key,
                            const std::function<std::optional<std::string>()>& fetch) {
    connection db = policy.enabled ? open_cache(db_path) : connection();
    if (!db) {
        const std::optional<std::string> reply = fetch();
        return cached_reply{reply.has_value(), reply.value_or(""), 0, false};
    }
    cache_row row = read(db.get(), key);
    if (is_fresh(row, policy, std::time(nullptr))) {
        return from_row(row, std::time(nullptr), false);
    }
    // With no maximum age every run asks for itself: there is nothing to wait for.
    const claim_outcome outcome =
        policy.max_age_s > 0 ? claim(db.get(), policy, key, row) : claim_outcome::claimed;
    if (outcome == claim_outcome::fresh) {
        return from_row(row, std::time(nullptr), false);
    }
    std::optional<std::string> reply;
    if (outcome == claim_outcome::claimed) {
        reply = fetch();
    }
    const std::time_t now = std::time(nullptr);
    if (reply) {
        write(db.get(), store_row, key, &*reply, now);
        write(db.get(), prune_rows, std::string(), nullptr, now - policy.stale_limit_s, now);
        return cached_reply{true, *reply, 0, false};
    }
    if (outcome == claim_outcome::claimed) {
        write(db.get(), release_row, key, nullptr, std::nullopt);
    }
    row = read(db.get(), key);
    if (policy.use_stale && row.reply && now - row.fetched <= policy.stale_limit_s) {
        return from_row(row, now, true);
    }
    return cached_reply{};
}
