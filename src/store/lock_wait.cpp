#include "store/lock_wait.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace {

using busy_clock = std::chrono::steady_clock;

// The time spent so far in all waits for a locked database, by every thread, in clock ticks.
std::atomic<busy_clock::rep> busy_waited{0};

// Another run may hold the file locked for a moment: wait for it rather than lose a write, but
// only while the run's budget lasts; then the database fails as an unusable one does.
int wait_while_locked(void*, int) {
    const busy_clock::duration left =
        database_busy_budget - busy_clock::duration(busy_waited.load());
    if (left <= busy_clock::duration::zero()) {
        return 0;
    }
    const busy_clock::time_point start = busy_clock::now();
    std::this_thread::sleep_for(
        std::min<busy_clock::duration>(left, std::chrono::milliseconds(10)));
    busy_waited += (busy_clock::now() - start).count();
    return 1;
}

} // namespace

std::chrono::milliseconds database_busy_budget(10000);

void reset_database_busy_wait() {
    busy_waited = 0;
}

void wait_for_locks_within_budget(sqlite3* db) {
    sqlite3_busy_handler(db, wait_while_locked, nullptr);
}
