#include "store/shared_connection.h"

#include "store/lock_wait.h"

#include <sqlite3.h>
#include <unistd.h>

namespace {

struct shared_state {
    std::recursive_mutex mutex;
    sqlite3* db = nullptr;
    std::string path;
    pid_t owner = 0; // the process that opened it
};

// Lives until the process ends: a request thread still running then finds it closed, not gone.
shared_state& state() {
    static shared_state* const shared = new shared_state;
    return *shared;
}

} // namespace

bool shared_connection::open(const std::string& db_path, bool long_lived) {
    close();
    sqlite3* raw = nullptr;
    if (sqlite3_open(db_path.c_str(), &raw) != SQLITE_OK) {
        sqlite3_close(raw);
        return false;
    }
    wait_for_locks_within_budget(raw);
    // A journal mode of this connection only: the file and its other users keep theirs. Where
    // the pragmas fail, the journal is made and deleted as before.
    if (long_lived) {
        static_cast<void>(
            sqlite3_exec(raw, "PRAGMA journal_mode=PERSIST; PRAGMA journal_size_limit=1048576;",
                         nullptr, nullptr, nullptr));
    }
    shared_state& shared = state();
    const std::lock_guard<std::recursive_mutex> lock(shared.mutex);
    shared.db = raw;
    shared.path = db_path;
    shared.owner = getpid();
    opened_ = true;
    return true;
}

void shared_connection::close() {
    if (!opened_) {
        return;
    }
    opened_ = false;
    shared_state& shared = state();
    const std::lock_guard<std::recursive_mutex> lock(shared.mutex);
    // A forked child leaves its parent's connection alone.
    if (shared.owner == getpid()) {
        sqlite3_close(shared.db);
    }
    shared.db = nullptr;
    shared.path.clear();
    shared.owner = 0;
}

borrowed_connection borrow_shared_connection(const std::string& db_path) {
    shared_state& shared = state();
    std::unique_lock<std::recursive_mutex> lock(shared.mutex);
    if (shared.db == nullptr || shared.owner != getpid() || shared.path != db_path) {
        return borrowed_connection();
    }
    return borrowed_connection(std::move(lock), shared.db);
}
