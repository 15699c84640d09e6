// Waiting for a database that another process holds locked, within the run's budget.
#pragma once

#include <chrono>

struct sqlite3;

// The time a run may spend, in all, waiting for a database that another process holds locked;
// once it is spent, a locked database fails at once (tests shorten it).
extern std::chrono::milliseconds database_busy_budget;
// A new run (each check of a watch) starts with the whole budget.
void reset_database_busy_wait();
// Makes the connection wait for another process's lock while the run's budget lasts.
void wait_for_locks_within_budget(sqlite3* db);
