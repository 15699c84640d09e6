#include "state/run_state.h"

#include "nimbrovator_config.h"

const std::string program_version = NIMBROVATOR_VERSION;

std::string homedir;
char progdir[256] = {};
char db_full_path[512] = {};

std::string firstrun;
std::string weather;
std::string forecast;

std::map<std::string, std::string> compass_names;
std::map<std::string, std::string> switch_state_names;

namespace {
std::array<std::string, 40> make_key_pieces() {
    const unsigned char masked[40] = {NIMBROVATOR_STORM_KEY_PIECES};
    std::array<std::string, 40> result;
    for (std::size_t i = 0; i < result.size(); ++i) {
        result[i] = std::string(1, static_cast<char>(masked[i] ^ NIMBROVATOR_STORM_KEY_MASK(i)));
    }
    return result;
}
} // namespace

const std::array<std::string, 40> storm_key_pieces = make_key_pieces();
char storm_key[41] = {};

std::string city;
std::string town_name;
std::string y_coord;
std::string x_coord;
int search_radius = 0;

void fill_name_tables() {
    compass_names["E"] = "wschód";
    compass_names["NE"] = "północny wschód";
    compass_names["N"] = "północ";
    compass_names["NW"] = "północny zachód";
    compass_names["W"] = "zachód";
    compass_names["SW"] = "południowy zachód";
    compass_names["S"] = "południe";
    compass_names["SE"] = "południowy wschód";
    switch_state_names["0"] = "WYŁĄCZONA";
    switch_state_names["1"] = "WŁĄCZONA";
}
