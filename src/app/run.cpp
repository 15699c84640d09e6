#include "app/run.h"

#include "app/history_command.h"
#include "app/options.h"
#include "app/requests.h"
#include "app/screens.h"
#include "app/service_check.h"
#include "app/watch_command.h"
#include "base/result.h"
#include "config/settings.h"
#include "output/machine_run.h"
#include "service/journal.h"
#include "state/run_deadline.h"
#include "state/run_state.h"
#include "store/database.h"
#include "store/reply_cache.h"
#include "store/shared_connection.h"
#include "storm/storm_reports.h"
#include "storm/town_lookup.h"
#include "text/text.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* const program_dir_name = "/.nimbrovator";
const char* const database_name = "/zagrozenia_pogodowe.db";

// The home directory of the real user from the password database, else $HOME; null when
// neither names one.
const char* find_home_directory() {
    const struct passwd* entry = getpwuid(getuid());
    if (entry != nullptr && entry->pw_dir != nullptr && entry->pw_dir[0] != '\0') {
        return entry->pw_dir;
    }
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') {
        return home;
    }
    return nullptr;
}

// Fills progdir and db_full_path for the data directory dir; false (with the message, then
// shown) when its paths would not fit the buffers.
bool set_data_paths(const std::string& dir, const char* message, const char* shown) {
    const std::string db = dir + database_name;
    if (dir.size() >= sizeof progdir || db.size() >= sizeof db_full_path) {
        std::fprintf(stderr, "%s%s\n", message, shown);
        return false;
    }
    std::memcpy(progdir, dir.c_str(), dir.size() + 1);
    std::memcpy(db_full_path, db.c_str(), db.size() + 1);
    return true;
}

// The data directory is $NIMBROVATOR_DATA_DIR when set and not empty, else ~/.nimbrovator
// (then homedir is filled too); false (with a message) when there is no home directory or the
// paths would not fit the buffers.
bool set_up_paths() {
    const char* chosen = std::getenv("NIMBROVATOR_DATA_DIR");
    if (chosen != nullptr && chosen[0] != '\0') {
        return set_data_paths(chosen, "Ścieżka katalogu danych jest zbyt długa: ", chosen);
    }
    const char* home = find_home_directory();
    if (home == nullptr) {
        std::fprintf(stderr, "Nie mogę ustalić katalogu domowego użytkownika.\n");
        return false;
    }
    homedir = home;
    return set_data_paths(homedir + program_dir_name,
                          "Ścieżka katalogu domowego jest zbyt długa: ", home);
}

void read_settings_snapshot() {
    firstrun = read_setting(db_full_path, "firstrun");
    weather = read_setting(db_full_path, "weather");
    forecast = read_setting(db_full_path, "forecast");
}

// Banner, town lookup (with the weather reports), warnings, lightning.
int run_reports(const std::string& town, int radius) {
    show_banner(program_version);
    if (get_city(town, radius, true) != 0) {
        return 1;
    }
    get_warnings(y_coord, x_coord);
    return get_storm(y_coord, x_coord, search_radius);
}

// A machine-readable form: a town (and a radius) after the options, no prompts, no screens.
int run_machine_form(const command_options& options) {
    const std::optional<report_request> request = report_request_of(options);
    if (!request) {
        std::fputs(options_usage(options.operands[0]).c_str(), stderr);
        return 2;
    }
    return print_machine_report(options.form, *request, options.format);
}

int dispatch(int argc, char** argv) {
    if (argc <= 0) {
        return 0;
    }
    if (argc == 1) {
        return run_reports(std::string(), 0);
    }
    const std::string first = argv[1];
    if (first == "-h" || first == "--help") {
        show_usage(argv[0]);
        return 0;
    }
    if (first == "-s") {
        run_settings_menu(db_full_path, program_version, weather, forecast);
        return 0;
    }
    if (argc == 2) {
        return run_reports(first, 0);
    }
    if (argc == 3) {
        return run_reports(first, requested_radius(argv[2]));
    }
    std::fputs(usage_text(argv[0]).c_str(), stderr);
    return 2;
}

// The data directory and its database, opened for the run; why they cannot be used, naming the
// path and the cause.
result<void> open_data_directory(shared_connection& database) {
    struct stat status {};
    int error = 0;
    if (stat(progdir, &status) != 0) {
        error = errno;
    } else if (!S_ISDIR(status.st_mode)) {
        error = ENOTDIR;
    } else if (access(progdir, W_OK | X_OK) != 0 ||
               (access(db_full_path, F_OK) == 0 && access(db_full_path, R_OK | W_OK) != 0)) {
        error = errno;
    }
    if (error != 0) {
        return failure("Nie mogę użyć katalogu danych " + strip_control_chars(progdir) + ": " +
                       std::strerror(error) + ".");
    }
    if (!database.open(db_full_path)) {
        return failure("Nie mogę otworzyć bazy danych " + strip_control_chars(db_full_path) + ".");
    }
    return {};
}

// Start-up shared by every form of the run: locale, paths, the database and the settings. The
// store's calls share one connection to the database from here on. `checked`: an unusable data
// directory ends the run with one line (the classic run goes on, as it always has).
bool start_up(shared_connection& database, bool checked) {
    set_polish_locale();
    polish_locale(); // the Polish std::locale is built once, here at start-up
    if (!set_up_paths()) {
        return false;
    }
    mkdir(progdir, 0755);
    if (!checked) {
        database.open(db_full_path);
    } else if (const result<void> opened = open_data_directory(database); !opened) {
        tell_error_stream(opened.error(), line_priority::error);
        return false;
    }
    fill_name_tables();
    init_database(db_full_path);
    read_settings_snapshot();
    return true;
}

// The reply cache: on in the machine forms (fresh for 120 s, stale answers allowed); in the
// text report only when a maximum age is given.
void apply_cache_options(const command_options& options) {
    cache_policy& policy = reply_cache_policy();
    const bool machine = options.form != output_form::text;
    policy.enabled = machine || options.max_age_s.has_value();
    policy.max_age_s = options.max_age_s.value_or(machine ? 120 : 0);
    policy.stale_limit_s = options.stale_limit_s.value_or(3600);
    policy.use_stale = machine;
}

// The classic run with the arguments that followed the options (argv[0] first).
int run_classic(std::vector<std::string> operands, bool help) {
    if (firstrun == "1") {
        show_whats_new();
    }
    update_setting(db_full_path, "firstrun", "0");
    if (help) {
        show_usage(operands[0]);
        return 0;
    }
    std::vector<char*> argv;
    for (std::string& operand : operands) {
        argv.push_back(&operand[0]);
    }
    argv.push_back(nullptr);
    return dispatch(static_cast<int>(operands.size()), argv.data());
}

// The cached town names, one a line, in Polish alphabetical order; nothing is created.
int print_cached_towns() {
    if (!set_up_paths()) {
        return 1;
    }
    std::vector<std::string> names;
    std::string error;
    if (!cached_town_names(db_full_path, names, error)) {
        std::fprintf(stderr, "Nie mogę odczytać miejscowości z bazy danych %s: %s\n",
                     strip_control_chars(db_full_path).c_str(), strip_control_chars(error).c_str());
        return 1;
    }
    std::sort(names.begin(), names.end(), polish_locale());
    for (const std::string& name : names) {
        std::printf("%s\n", name.c_str());
    }
    return 0;
}

// The service settings of the run, in force from here on; false (after the messages) when a
// value given at run time is wrong.
bool configure_services(const command_options& options) {
    const settings_outcome outcome = load_settings();
    for (const std::string& message : outcome.errors) {
        tell_error_stream(message, line_priority::error);
    }
    for (const std::string& message : outcome.warnings) {
        tell_error_stream(message, line_priority::warning);
    }
    if (!outcome.errors.empty()) {
        return false;
    }
    use_settings(outcome.settings);
    if (options.show_config) {
        std::fputs(describe_settings(outcome).c_str(), stdout);
    }
    return true;
}

// --config, --check and --towns take nothing after them.
bool is_service_command(const command_options& options) {
    return options.show_config || options.check || options.towns;
}

int run_service_command(const command_options& options) {
    if (options.operands.size() > 1) {
        std::fputs(options_usage(options.operands[0]).c_str(), stderr);
        return 2;
    }
    if (options.towns) {
        return print_cached_towns();
    }
    if (!configure_services(options)) {
        return 2;
    }
    return options.check ? run_service_check() : 0;
}

} // namespace

int run_program(int argc, char** argv) {
    const command_options options = parse_options(argc, argv);
    if (options.usage_error) {
        std::string usage = options_usage(options.operands[0]);
        usage.pop_back(); // the line break that tell_error_stream writes
        tell_error_stream(options.operands[0] + ": " + options.error + "\n" + usage,
                          line_priority::error);
        return 2;
    }
    if (options.version) {
        std::printf("nimbrovator %s\n", program_version.c_str());
        return 0;
    }
    if (options.timeout_s) {
        set_run_time_limit(std::chrono::milliseconds(std::llround(*options.timeout_s * 1000)));
    }
    if (is_service_command(options)) {
        return run_service_command(options);
    }
    if (options.form != output_form::text && !options.watch.on && !options.history) {
        start_run_deadline(); // the watch gives each check its own
    }
    if (!configure_services(options)) {
        return 2;
    }
    shared_connection database;
    if (!start_up(database, options.watch.on || options.form != output_form::text)) {
        return 1;
    }
    apply_cache_options(options);
    if ((options.watch.on || options.form != output_form::text) &&
        (weather.empty() || forecast.empty())) {
        // The classic run shows the settings as they read; these forms would drop the weather
        // parts without a word.
        std::fprintf(stderr, "Nie mogę odczytać ustawień z bazy danych: pomijam pogodę i "
                             "prognozę.\n");
    }
    if (options.watch.on) {
        database.close(); // each check runs in a child process of its own
        return run_watch_command(options);
    }
    if (options.history) {
        return run_history_command(options);
    }
    if (options.form != output_form::text) {
        return run_machine_form(options);
    }
    return run_classic(options.operands, options.help);
}
