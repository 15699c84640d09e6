// The per-user SQLite database: the town cache and the settings. Every operation opens the
// file, does its work and closes it again, or uses the run's shared connection while there is
// one (store/shared_connection.h).
#pragma once

#include "store/lock_wait.h"

#include <string>
#include <vector>

// Creates both tables and the default settings; 0 when both tables were created by this call,
// 1 when creating either failed (the normal case once they exist).
int init_database(const std::string& db_path);
// The first word of the setting's stored value; empty when it cannot be read.
std::string read_setting(const std::string& db_path, const std::string& key);
// 0 when the statement ran to its end, else 1 (with SQLite's message on standard error).
int update_setting(const std::string& db_path, const std::string& key, const std::string& value);
// 0 when the town has a row (y and x are then set from it), 1 when it has none, or the
// preparation's error code.
int find_cached_town(const std::string& db_path, const std::string& town, std::string& y,
                     std::string& x);
// 0 when the row was written or the town already has one, else 1 (with SQLite's message on
// standard error).
int insert_cached_town(const std::string& db_path, const std::string& town, const std::string& y,
                       const std::string& x);
// The names of the cached towns, in no particular order. Opens the file read-only: a missing
// file or table gives no names and nothing is created. False, with SQLite's message in `error`,
// when the file is there but cannot be read (locked past the wait, not a database, damaged).
bool cached_town_names(const std::string& db_path, std::vector<std::string>& names,
                       std::string& error);
// The first whitespace-delimited word of the text; empty for a null text.
std::string first_word(const char* text);
