#include "store/lock_wait.h"

#include "state/run_deadline.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace {

using busy_clock = std::chrono::steady_clock;

// The time spent so far in all waits for a locked database, by every thread, in clock ticks.
std::atomic<busy_clock::rep> busy_waited{0};
// The run has given up waiting for a lock: later statements on a locked file fail at once.
std::atomic<bool> gave_up{false};
std::atomic<bool> told_once{false}; // a lock is told once a run
std::atomic<bool> lock_told{false}; // and it has been

// Another run may hold the file locked for a moment: wait for it rather than lose a write, but
// only while the run's budget and its time last; then the database fails as an unusable one
// does.
int wait_while_locked(void*, int) {
    const busy_clock::duration left =
        database_busy_budget - busy_clock::duration(busy_waited.load());
    if (left <= busy_clock::duration::zero() || run_deadline_passed()) {
        gave_up = true;
        return 0;
    }
    const busy_clock::time_point start = busy_clock::now();
    std::this_thread::sleep_for(
        std::min<busy_clock::duration>(left, within_run_deadline(std::chrono::milliseconds(10))));
    busy_waited += (busy_clock::now() - start).count();
    return 1;
}

} // namespace

std::chrono::milliseconds database_busy_budget(10000);

void reset_database_busy_wait() {
    busy_waited = 0;
    gave_up = false;
    lock_told = false;
}

void wait_for_locks_within_budget(sqlite3* db) {
    sqlite3_busy_handler(db, wait_while_locked, nullptr);
}

void tell_locked_database_once() {
    told_once = true;
}

void tell_database_failure(const std::string& text, line_priority priority) {
    if (!told_once || !gave_up) {
        tell_error_stream(text, priority);
        return;
    }
    if (!lock_told.exchange(true)) {
        tell_error_stream("Baza danych jest zablokowana przez inny proces: pomijam to, czego nie "
                          "mogę w niej odczytać ani zapisać.",
                          line_priority::warning);
    }
}
