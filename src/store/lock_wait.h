// Waiting for a database that another process holds locked, within the run's budget, and the
// run's one message about it.
#pragma once

#include "service/journal.h"

#include <chrono>
#include <string>

struct sqlite3;

// The time a run may spend, in all, waiting for a database that another process holds locked;
// once it is spent, or the run's deadline has passed, a locked database fails at once (tests
// shorten it).
extern std::chrono::milliseconds database_busy_budget;
// A new run (each check of a watch) starts with the whole budget, and has told nothing of a lock.
void reset_database_busy_wait();
// Makes the connection wait for another process's lock while the run's budget lasts.
void wait_for_locks_within_budget(sqlite3* db);

// From now on (the newer forms) a locked database is told once a run: once the run has given up
// waiting for a lock, the messages about the database give way to one about the lock, told the
// first time. The interactive report tells each message as it always has.
void tell_locked_database_once();
// Tells a message about the database (a statement or a part of the run that failed with it) on
// standard error, or, as above, the run's one message about the lock instead.
void tell_database_failure(const std::string& text, line_priority priority);
