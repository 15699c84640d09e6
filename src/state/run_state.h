// The process-wide state of the classic run: the town that get_town settles and the classic
// reports read, the database path that the store's classic callers and the reply cache take, and
// the fixed name tables. The newer forms take what they need from a run_context instead.
#pragma once

#include <array>
#include <map>
#include <string>

extern const std::string program_version;

extern std::string g_db_path; // the run's database: run_paths::database

extern const std::map<std::string, std::string> compass_names;      // direction code -> name
extern const std::map<std::string, std::string> switch_state_names; // "0"/"1" -> off/on name

// The storm service key: 40 one-character pieces, assembled into storm_key before each
// storm service request.
extern const std::array<std::string, 40> storm_key_pieces;
extern char storm_key[41];

extern std::string g_town;       // the town name in normalised form (cache key, report headings)
extern std::string g_typed_town; // the town as the user gave it, cleaned (weather queries)
extern std::string g_y_coord;    // latitude, degrees north, as text
extern std::string g_x_coord;    // longitude, degrees east, as text
extern int g_search_radius;      // km, 5 to 100
