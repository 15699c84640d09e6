// The process-wide run state: values that exist once, live from before main until exit,
// and are read and written directly by the steps of a run.
#pragma once

#include <array>
#include <map>
#include <string>

extern const std::string program_version;

extern std::string homedir;    // empty when the data directory is chosen by the environment
extern char progdir[256];      // $NIMBROVATOR_DATA_DIR, else homedir + "/.nimbrovator"
extern char db_full_path[512]; // progdir + "/zagrozenia_pogodowe.db"

// The settings snapshot read at start-up; only the exact text "1" switches something on.
extern std::string firstrun;
extern std::string weather;
extern std::string forecast;

extern std::map<std::string, std::string> compass_names;      // direction code -> name
extern std::map<std::string, std::string> switch_state_names; // "0"/"1" -> off/on name

// The storm service key: 40 one-character pieces, assembled into storm_key before each
// storm service request.
extern const std::array<std::string, 40> storm_key_pieces;
extern char storm_key[41];

extern std::string city;      // the town name in normalised form (cache key, report headings)
extern std::string town_name; // the town as the user gave it, cleaned (weather queries)
extern std::string y_coord;   // latitude, degrees north, as text
extern std::string x_coord;   // longitude, degrees east, as text
extern int search_radius;     // km, 5 to 100

// Fills compass_names and switch_state_names with their fixed rows.
void fill_name_tables();
