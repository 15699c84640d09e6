#include "store/reply_cache.h"

#include "service/journal.h"
#include "state/run_deadline.h"
#include "store/database.h"
#include "store/shared_connection.h"
#include "store/sqlite_handles.h"

#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

namespace {

const char* const create_table = "CREATE TABLE IF NOT EXISTS REPLY_CACHE("
                                 "REQUEST TEXT PRIMARY KEY NOT NULL,"
                                 "REPLY TEXT,"
                                 "FETCHED INTEGER,"
                                 "CLAIMED_UNTIL INTEGER,"
                                 "CLAIM_OWNER TEXT);";
// Tables made by earlier versions have no owner column.
const char* const owner_column = "SELECT CLAIM_OWNER FROM REPLY_CACHE LIMIT 0;";
const char* const add_owner_column = "ALTER TABLE REPLY_CACHE ADD COLUMN CLAIM_OWNER TEXT;";
const char* const read_row =
    "SELECT REPLY, FETCHED, CLAIMED_UNTIL, CLAIM_OWNER FROM REPLY_CACHE WHERE REQUEST = ?;";
const char* const claim_row =
    "INSERT INTO REPLY_CACHE(REQUEST, CLAIM_OWNER, CLAIMED_UNTIL) VALUES(?, ?, ?) "
    "ON CONFLICT(REQUEST) DO UPDATE SET CLAIMED_UNTIL = excluded.CLAIMED_UNTIL, "
    "CLAIM_OWNER = excluded.CLAIM_OWNER;";
const char* const store_row =
    "INSERT INTO REPLY_CACHE(REQUEST, REPLY, FETCHED, CLAIMED_UNTIL, CLAIM_OWNER) "
    "VALUES(?, ?, ?, NULL, NULL) "
    "ON CONFLICT(REQUEST) DO UPDATE SET REPLY = excluded.REPLY, FETCHED = excluded.FETCHED, "
    "CLAIMED_UNTIL = NULL, CLAIM_OWNER = NULL;";
const char* const release_row = "UPDATE REPLY_CACHE SET CLAIMED_UNTIL = NULL, CLAIM_OWNER = NULL "
                                "WHERE REQUEST = ? AND CLAIM_OWNER = ?;";
const char* const release_owned_rows =
    "UPDATE REPLY_CACHE SET CLAIMED_UNTIL = NULL, CLAIM_OWNER = NULL WHERE CLAIM_OWNER = ?;";
// Rows fetched well "in the future" (the clock was set back since) go too. A row a little ahead
// of this run's clock reading is a reply that another run (or thread) stored a moment later,
// while this one waited for the lock: it stays. A row ahead of the clock is never used anyway.
const char* const prune_rows =
    "DELETE FROM REPLY_CACHE WHERE (FETCHED IS NULL OR FETCHED < ? OR FETCHED > ?) "
    "AND (CLAIMED_UNTIL IS NULL OR CLAIMED_UNTIL < ?);";
constexpr long clock_set_back_s = 300;

constexpr auto wait_step = std::chrono::milliseconds(50);

using connection = sqlite_connection;
using statement = sqlite_statement;

struct cache_row {
    bool exists = false;
    std::optional<std::string> reply;
    long long fetched = 0;
    long long claimed_until = 0;
    std::string owner; // the claim's owner process, when the row names one
};

// --- who holds a claim ------------------------------------------------------------------------

// What /proc tells of a process: its state letter and its start time (clock ticks since boot).
struct process_facts {
    std::string state;
    std::string start;
};

// The facts of a living process; nothing when it is gone, is a zombie or cannot be seen.
std::optional<process_facts> read_process(long pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(file, line) || line.rfind(')') == std::string::npos) {
        return std::nullopt;
    }
    // After the command name: the state, then the fields up to the 22nd, the start time.
    std::istringstream fields(line.substr(line.rfind(')') + 1));
    process_facts facts;
    fields >> facts.state;
    if (facts.state == "Z" || facts.state == "X" || facts.state == "x") {
        return std::nullopt;
    }
    std::string field;
    for (int number = 4; number <= 22 && fields >> field; ++number) {
    }
    if (!fields) {
        return std::nullopt;
    }
    facts.start = field;
    return facts;
}

// The start time of a living process, or empty.
std::string process_start(long pid) {
    const std::optional<process_facts> facts = read_process(pid);
    return facts ? facts->start : std::string();
}

// This process as a claim names it: "PID START". A process that cannot read its own start time
// names its pid alone. Read once a process (a forked child reads its own).
std::string this_owner() {
    static std::mutex mutex;
    static long named_pid = 0;
    static std::string named;
    const long pid = static_cast<long>(getpid());
    const std::lock_guard<std::mutex> lock(mutex);
    if (named_pid != pid) {
        const std::string start = process_start(pid);
        named = start.empty() ? std::to_string(pid) : std::to_string(pid) + " " + start;
        named_pid = pid;
    }
    return named;
}

// True while the claim's owner process lives: the same pid with the same start time (a pid
// used again by another process does not count), or with no start time named, a pid in use.
bool owner_alive(const std::string& owner) {
    std::istringstream in(owner);
    long pid = 0;
    std::string start;
    if (!(in >> pid) || pid <= 0) {
        return false;
    }
    in >> start;
    if (start.empty()) {
        return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
    }
    return process_start(pid) == start;
}

// True when the claim's owner is stopped (SIGSTOP, a debugger): it makes no progress until
// someone lets it go on.
bool owner_stopped(const std::string& owner) {
    std::istringstream in(owner);
    long pid = 0;
    if (!(in >> pid) || pid <= 0) {
        return false;
    }
    const std::optional<process_facts> facts = read_process(pid);
    return facts && (facts->state == "T" || facts->state == "t");
}

// --- the database -------------------------------------------------------------------------------

// The table, made when the file has none, with the column that later versions added; false,
// with SQLite's message told, when it cannot be had.
bool table_ready(sqlite3* db) {
    bool ready = sqlite_execute(db, create_table);
    if (ready && !sqlite_prepare(db, owner_column)) {
        // Another run may add the column at the same moment: it is there either way.
        sqlite_execute(db, add_owner_column);
        ready = static_cast<bool>(sqlite_prepare(db, owner_column));
    }
    if (!ready) {
        tell_database_failure(std::string("Pamięć podręczna odpowiedzi niedostępna: ") +
                                  sqlite3_errmsg(db),
                              line_priority::warning);
    }
    return ready;
}

connection open_cache(const std::string& db_path) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open(db_path.c_str(), &raw);
    connection db(raw);
    // Runs starting together all create the table: each waits for the others' lock, within the
    // run's budget for locked databases.
    wait_for_locks_within_budget(db.get());
    if (rc != SQLITE_OK) {
        tell_database_failure(std::string("Pamięć podręczna odpowiedzi niedostępna: ") +
                                  sqlite3_errmsg(db.get()),
                              line_priority::warning);
        return connection();
    }
    return table_ready(db.get()) ? std::move(db) : connection();
}

// The connection of one request's steps: the process's shared one when it has one on the file,
// taken for one step at a time (the requests on other threads go on meanwhile, and none holds
// it while it waits for a claim or for the service), else one of the call's own.
class cache_connection {
  public:
    cache_connection() = default; // none: the policy is off
    explicit cache_connection(const std::string& db_path) : path_(db_path) {
        {
            const borrowed_connection shared = borrow_shared_connection(db_path);
            if (shared) {
                shared_ = table_ready(shared.get()); // told when not
                return;
            }
        }
        own_ = open_cache(db_path);
    }
    explicit operator bool() const { return shared_ || own_; }

    // The connection for one step, the call's until the handle goes; null when none can be had.
    borrowed_connection step() {
        if (shared_) {
            borrowed_connection shared = borrow_shared_connection(path_);
            if (shared) {
                return shared;
            }
            shared_ = false; // closed by the run meanwhile: one of the call's own from now on
            own_ = open_cache(path_);
        }
        return borrowed_connection(std::unique_lock<std::recursive_mutex>(), own_.get());
    }

  private:
    std::string path_;
    bool shared_ = false;
    connection own_;
};

std::string column_text(sqlite3_stmt* query, int column) {
    const unsigned char* text = sqlite3_column_text(query, column);
    return text != nullptr ? reinterpret_cast<const char*>(text) : std::string();
}

cache_row read(sqlite3* db, const std::string& key) {
    cache_row row;
    statement query = db != nullptr ? sqlite_prepare(db, read_row) : statement();
    if (!query) {
        return row;
    }
    if (sqlite3_bind_text(query.get(), 1, key.c_str(), static_cast<int>(key.size()),
                          SQLITE_STATIC) != SQLITE_OK ||
        sqlite3_step(query.get()) != SQLITE_ROW) {
        return row;
    }
    row.exists = true;
    if (sqlite3_column_type(query.get(), 0) != SQLITE_NULL) {
        row.reply = column_text(query.get(), 0);
    }
    row.fetched = sqlite3_column_int64(query.get(), 1);
    row.claimed_until = sqlite3_column_int64(query.get(), 2);
    row.owner = column_text(query.get(), 3);
    return row;
}

// Runs a writing statement with the key (when not empty), the text (when given) and the numbers
// bound in that order; true when it is done.
bool write(sqlite3* db, const char* sql, const std::string& key, const std::string* text,
           std::initializer_list<long long> numbers = {}) {
    statement update = db != nullptr ? sqlite_prepare(db, sql) : statement();
    if (!update) {
        return false;
    }
    int index = 1;
    bool bound = true;
    if (!key.empty()) {
        bound = sqlite3_bind_text(update.get(), index++, key.c_str(), static_cast<int>(key.size()),
                                  SQLITE_STATIC) == SQLITE_OK;
    }
    if (bound && text != nullptr) {
        bound = sqlite3_bind_text(update.get(), index++, text->c_str(),
                                  static_cast<int>(text->size()), SQLITE_STATIC) == SQLITE_OK;
    }
    for (const long long number : numbers) {
        bound = bound && sqlite3_bind_int64(update.get(), index++, number) == SQLITE_OK;
    }
    return bound && sqlite3_step(update.get()) == SQLITE_DONE;
}

// --- claims released when the process is ended by a signal --------------------------------------

// The databases in which this process may hold claims, and the pipe on which the signal
// handler passes the signal's number to the thread that releases them.
struct claim_registry {
    std::mutex mutex;
    std::set<std::string> db_paths;
    pid_t installed_in = 0;
    int pipe_fds[2] = {-1, -1};
};

claim_registry& registry() {
    static claim_registry* const claims = new claim_registry; // lives until the process ends
    return *claims;
}

const int ending_signals[] = {SIGINT, SIGTERM, SIGHUP};

void pass_signal(int number) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t written = ::write(registry().pipe_fds[1], &byte, 1);
    errno = saved;
}

// Releases this process's claims in every database it claimed in, without waiting long for a
// lock held by another run.
void release_all_claims() {
    std::set<std::string> paths;
    {
        const std::lock_guard<std::mutex> lock(registry().mutex);
        paths = registry().db_paths;
    }
    const std::string owner = this_owner();
    for (const std::string& path : paths) {
        sqlite3* raw = nullptr;
        const int opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
        connection db(raw);
        // A file that cannot be opened or waited for keeps the claims: the process is ending,
        // and the next run takes a claim over once its owner is gone.
        if (opened != SQLITE_OK || sqlite3_busy_timeout(db.get(), 1000) != SQLITE_OK) {
            continue;
        }
        static_cast<void>(write(db.get(), release_owned_rows, std::string(), &owner));
    }
}

void release_then_end(int read_fd) {
    unsigned char number = 0;
    while (::read(read_fd, &number, 1) < 0 && errno == EINTR) {
    }
    release_all_claims();
    // The signal's own ending, with the status that the one who sent it expects.
    signal(number, SIG_DFL);
    raise(number);
    _exit(128 + number);
}

// From the first claim on, SIGINT, SIGTERM and SIGHUP release the process's claims before they
// end it; a signal that the process ignores or handles itself is left alone. A forked child
// sets this up anew for itself.
void release_claims_on_signals(const std::string& db_path) {
    claim_registry& claims = registry();
    const std::lock_guard<std::mutex> lock(claims.mutex);
    claims.db_paths.insert(db_path);
    if (claims.installed_in == getpid()) {
        return;
    }
    claims.installed_in = getpid();
    if (claims.pipe_fds[0] >= 0) {
        close(claims.pipe_fds[0]);
        close(claims.pipe_fds[1]);
    }
    if (pipe2(claims.pipe_fds, O_CLOEXEC) != 0) {
        claims.pipe_fds[0] = claims.pipe_fds[1] = -1;
        return;
    }
    std::thread(release_then_end, claims.pipe_fds[0]).detach();
    for (const int number : ending_signals) {
        struct sigaction current {};
        sigaction(number, nullptr, &current);
        if (current.sa_handler != SIG_DFL || (current.sa_flags & SA_SIGINFO) != 0) {
            continue;
        }
        struct sigaction action {};
        action.sa_handler = pass_signal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        sigaction(number, &action, nullptr);
    }
}

// --- claims ------------------------------------------------------------------------------------

// A reply younger than the maximum age; one fetched "in the future" (the clock was set back
// since) is not fresh.
bool is_fresh(const cache_row& row, const cache_policy& policy, std::time_t now) {
    const long long age = now - row.fetched;
    return row.reply && policy.max_age_s > 0 && age >= 0 && age < policy.max_age_s;
}

cached_reply from_row(const cache_row& row, std::time_t now, bool stale) {
    return cached_reply{true, *row.reply, static_cast<long>(now - row.fetched), stale};
}

// A claim counts while its time lasts and its owner lives (rows of earlier versions name none).
bool claim_held(const cache_row& row, std::time_t now) {
    return row.claimed_until >= now && (row.owner.empty() || owner_alive(row.owner));
}

enum class claim_outcome { claimed, fresh, ask_unclaimed };

// How long an owner seen stopped all the while keeps its claim; then a waiter takes it over.
constexpr auto stopped_owner_limit = std::chrono::seconds(stopped_owner_seconds);

// Since when this waiter has seen the claim's owner stopped, without a break.
struct stopped_watch {
    std::string owner;
    std::optional<std::chrono::steady_clock::time_point> since;

    // True once `row`'s owner has been seen stopped for the whole limit.
    bool stalled(const cache_row& row, std::chrono::steady_clock::time_point now) {
        if (row.owner.empty() || !owner_stopped(row.owner)) {
            since.reset();
            return false;
        }
        if (!since || owner != row.owner) {
            owner = row.owner;
            since = now;
        }
        return now - *since >= stopped_owner_limit;
    }
};

// Claims the request for this run, or waits while another run holds the claim: until its row
// is fresh (`row` then holds it), its owner is gone or has been stopped for
// stopped_owner_seconds (the claim is then taken over), or its claim ends without a reply (this
// run then asks the service too, unclaimed, as it does when the wait lasts too long).
claim_outcome claim(cache_connection& connection, const cache_policy& policy,
                    const std::string& key, cache_row& row, const std::string& owner) {
    bool waited = false;
    stopped_watch stopped;
    // No longer than the run may last: then this run asks (or, out of time, fails) unclaimed.
    const auto deadline =
        std::chrono::steady_clock::now() +
        within_run_deadline(std::chrono::milliseconds(std::chrono::seconds(claim_seconds)));
    while (std::chrono::steady_clock::now() < deadline) {
        const borrowed_connection step = connection.step();
        sqlite3* const db = step.get();
        if (db == nullptr || !sqlite_execute(db, "BEGIN IMMEDIATE;")) {
            return claim_outcome::ask_unclaimed; // no lock to be had: ask without one
        }
        const std::time_t now = std::time(nullptr);
        row = read(db, key);
        const bool fresh = is_fresh(row, policy, now);
        const bool held =
            claim_held(row, now) && !stopped.stalled(row, std::chrono::steady_clock::now());
        // After a wait, a claim that ended without a reply means the service just failed the
        // other run: this one asks for itself rather than take the claim in turn.
        const bool ended_without_reply = waited && row.owner.empty();
        bool claimed = false;
        if (!fresh && !held && !ended_without_reply) {
            claimed = write(db, claim_row, key, &owner, {now + claim_seconds});
        }
        sqlite_execute(db, "COMMIT;");
        if (fresh) {
            return claim_outcome::fresh;
        }
        if (!held) {
            return claimed ? claim_outcome::claimed : claim_outcome::ask_unclaimed;
        }
        waited = true;
        std::this_thread::sleep_for(wait_step);
    }
    return claim_outcome::ask_unclaimed;
}

// Stores the reply and prunes the old rows in one write. A cache that cannot take the reply
// still gives it to the run; rows a failed pruning leaves go with a later reply.
void store_reply(sqlite3* db, const cache_policy& policy, const std::string& key,
                 const std::string& reply, std::time_t now) {
    if (db == nullptr || !sqlite_execute(db, "BEGIN IMMEDIATE;")) {
        return;
    }
    if (write(db, store_row, key, &reply, {now})) {
        static_cast<void>(write(db, prune_rows, std::string(), nullptr,
                                {now - policy.stale_limit_s, now + clock_set_back_s, now}));
        if (sqlite_execute(db, "COMMIT;")) {
            return;
        }
    }
    // A rollback that fails too ends with the call's connection, which the call closes.
    static_cast<void>(sqlite_execute(db, "ROLLBACK;"));
}

} // namespace

cache_policy& reply_cache_policy() {
    static cache_policy policy;
    return policy;
}

cached_reply cached_request(const std::string& db_path, const cache_policy& policy,
                            const std::string& key,
                            const std::function<std::optional<std::string>()>& fetch) {
    cache_row row;
    bool read_before = false;
    if (policy.enabled) {
        // A fresh row needs only a read: on the run's shared connection, when it has one. Any
        // other row (or a table still to be made) takes the way below.
        const borrowed_connection shared = borrow_shared_connection(db_path);
        if (shared) {
            row = read(shared.get(), key);
            read_before = true;
            const std::time_t now = std::time(nullptr);
            if (is_fresh(row, policy, now)) {
                return from_row(row, now, false);
            }
        }
    }
    cache_connection db = policy.enabled ? cache_connection(db_path) : cache_connection();
    if (!db) {
        const std::optional<std::string> reply = fetch();
        return cached_reply{reply.has_value(), reply.value_or(""), 0, false};
    }
    if (!read_before) {
        row = read(db.step().get(), key);
        if (is_fresh(row, policy, std::time(nullptr))) {
            return from_row(row, std::time(nullptr), false);
        }
    }
    const std::string owner = this_owner();
    // With no maximum age every run asks for itself: there is nothing to wait for.
    claim_outcome outcome = claim_outcome::ask_unclaimed;
    if (policy.max_age_s > 0) {
        release_claims_on_signals(db_path);
        outcome = claim(db, policy, key, row, owner);
    }
    if (outcome == claim_outcome::fresh) {
        return from_row(row, std::time(nullptr), false);
    }
    const std::optional<std::string> reply = fetch();
    const std::time_t now = std::time(nullptr);
    if (reply) {
        store_reply(db.step().get(), policy, key, *reply, now);
        return cached_reply{true, *reply, 0, false};
    }
    if (outcome == claim_outcome::claimed) {
        write(db.step().get(), release_row, key, &owner);
    }
    row = read(db.step().get(), key);
    const long long age = now - row.fetched;
    if (policy.use_stale && row.reply && age >= 0 && age <= policy.stale_limit_s) {
        return from_row(row, now, true);
    }
    return cached_reply{};
}
