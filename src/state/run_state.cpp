#include "state/run_state.h"

#include "nimbrovator_config.h"

const std::string program_version = NIMBROVATOR_VERSION;

std::string g_db_path;

const std::map<std::string, std::string> compass_names = {
    {"E", "wschód"}, {"NE", "północny wschód"},   {"N", "północ"},   {"NW", "północny zachód"},
    {"W", "zachód"}, {"SW", "południowy zachód"}, {"S", "południe"}, {"SE", "południowy wschód"},
};
const std::map<std::string, std::string> switch_state_names = {
    {"0", "WYŁĄCZONA"},
    {"1", "WŁĄCZONA"},
};

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

std::string g_town;
std::string g_typed_town;
std::string g_y_coord;
std::string g_x_coord;
int g_search_radius = 0;
