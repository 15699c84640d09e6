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
#include "state/run_context.h"
#include "state/run_deadline.h"
#include "state/run_state.h"
#include "store/database.h"
#include "store/reply_cache.h"
#include "store/shared_connection.h"
#include "storm/storm_reports.h"
#include "storm/town_lookup.h"
#include "text/system_error.h"
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

// The longest data directory and database path that the program takes: a longer one is refused
// with a message.
constexpr std::size_t data_dir_limit = 256;
constexpr std::size_t database_path_limit = 512;

// The paths of the data directory `dir`; a failure (`message`, then `shown`) when they are longer
// than the program takes.
result<run_paths> paths_in(const std::string& home, const std::string& dir, const char* message,
                           const std::string& shown) {
    run_paths paths{home, dir, dir + database_name};
    if (paths.data_dir.size() >= data_dir_limit || paths.database.size() >= database_path_limit) {
        return failure(message + shown);
    }
    return paths;
}

// The data directory is $NIMBROVATOR_DATA_DIR when set and not empty, else ~/.nimbrovator (the
// home directory is then named too); a failure when there is no home directory or a path is too
// long.
result<run_paths> find_paths() {
    const char* chosen = std::getenv("NIMBROVATOR_DATA_DIR");
    if (chosen != nullptr && chosen[0] != '\0') {
        return paths_in(std::string(), chosen, "Ścieżka katalogu danych jest zbyt długa: ", chosen);
    }
    const char* home = find_home_directory();
    if (home == nullptr) {
        return failure("Nie mogę ustalić katalogu domowego użytkownika.");
    }
    return paths_in(home, home + std::string(program_dir_name),
                    "Ścieżka katalogu domowego jest zbyt długa: ", home);
}

settings_snapshot read_settings_snapshot(const std::string& db_path) {
    return settings_snapshot{read_setting(db_path, "firstrun"), read_setting(db_path, "weather"),
                             read_setting(db_path, "forecast")};
}

// Banner, town lookup (with the weather reports), warnings, lightning.
int run_reports(const settings_snapshot& settings, const std::string& town, int radius) {
    show_banner(program_version);
    if (get_town(settings, town, radius, true) != 0) {
        return 1;
    }
    get_warnings(g_y_coord, g_x_coord);
    return get_storm(g_y_coord, g_x_coord, g_search_radius);
}

// A machine-readable form: a town (and a radius) after the options, no prompts, no screens.
int run_machine_form(const run_context& context, const command_options& options) {
    const std::optional<report_request> request = report_request_of(options, context.settings);
    if (!request) {
        return tell_usage_error("brak miejsca po opcjach");
    }
    return print_machine_report(context, options.form, *request, options.format, options.escape);
}

int dispatch(const run_context& context, int argc, char** argv) {
    const settings_snapshot& settings = context.settings;
    if (argc <= 0) {
        return 0;
    }
    if (argc == 1) {
        return run_reports(settings, std::string(), 0);
    }
    const std::string first = argv[1];
    if (first == "-h" || first == "--help") {
        show_usage(argv[0]);
        return 0;
    }
    if (first == "-s") {
        run_settings_menu(context.paths.database, program_version, settings.weather,
                          settings.forecast);
        return 0;
    }
    if (argc == 2) {
        return run_reports(settings, first, 0);
    }
    if (argc == 3) {
        return run_reports(settings, first, requested_radius(argv[2]));
    }
    write_error_stream(usage_text(argv[0]), line_priority::error);
    return 2;
}

// The data directory and its database, opened for the run; why they cannot be used, naming the
// path and the cause.
result<void> open_data_directory(const run_paths& paths, shared_connection& database) {
    const char* directory = paths.data_dir.c_str();
    const char* file = paths.database.c_str();
    struct stat status {};
    int error = 0;
    const bool found = stat(directory, &status) == 0;
    if (found && !S_ISDIR(status.st_mode)) {
        error = ENOTDIR;
    } else if (!found || access(directory, W_OK | X_OK) != 0 ||
               (access(file, F_OK) == 0 && access(file, R_OK | W_OK) != 0)) {
        error = errno; // of the call that failed: the rest are not made
    }
    if (error != 0) {
        return failure("Nie mogę użyć katalogu danych " + strip_control_chars(paths.data_dir) +
                       ": " + system_error_text(error) + ".");
    }
    if (!database.open(paths.database)) {
        return failure("Nie mogę otworzyć bazy danych " + strip_control_chars(paths.database) +
                       ".");
    }
    return {};
}

// Start-up shared by every form of the run: locale, paths, the database and the settings. The
// store's calls share one connection to the database from here on. `checked`: an unusable data
// directory ends the run with one line (the classic run goes on, as it always has).
bool start_up(run_context& context, shared_connection& database, bool checked) {
    set_polish_locale();
    polish_locale(); // the Polish std::locale is built once, here at start-up
    const result<run_paths> paths = find_paths();
    if (!paths) {
        tell_error_stream(paths.error(), line_priority::error);
        return false;
    }
    context.paths = *paths;
    g_db_path = context.paths.database;
    // Usually there already. The interactive report goes on without the directory, as it always
    // has: each of its database operations opens the file and says why it cannot, so neither the
    // directory's nor the shared connection's failure stops it. The newer forms end, naming why.
    const int make_error = mkdir(context.paths.data_dir.c_str(), 0755) == 0 ? 0 : errno;
    if (!checked) {
        static_cast<void>(database.open(g_db_path)); // see above
    } else if (make_error != 0 && make_error != EEXIST) {
        tell_error_stream("Nie mogę utworzyć katalogu danych " +
                              strip_control_chars(context.paths.data_dir) + ": " +
                              system_error_text(make_error) + ".",
                          line_priority::error);
        return false;
    } else if (const result<void> opened = open_data_directory(context.paths, database); !opened) {
        tell_error_stream(opened.error(), line_priority::error);
        return false;
    }
    context.database = &database;
    init_database(g_db_path);
    context.settings = read_settings_snapshot(g_db_path);
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
int run_classic(const run_context& context, std::vector<std::string> operands, bool help) {
    if (context.settings.firstrun == "1") {
        show_whats_new();
    }
    update_setting(context.paths.database, "firstrun", "0");
    if (help) {
        show_usage(operands[0]);
        return 0;
    }
    std::vector<char*> argv;
    argv.reserve(operands.size() + 1);
    for (std::string& operand : operands) {
        argv.push_back(&operand[0]);
    }
    argv.push_back(nullptr);
    return dispatch(context, static_cast<int>(operands.size()), argv.data());
}

// The cached town names, one a line, in Polish alphabetical order; nothing is created.
int print_cached_towns() {
    const result<run_paths> paths = find_paths();
    if (!paths) {
        tell_error_stream(paths.error(), line_priority::error);
        return 1;
    }
    std::vector<std::string> names;
    std::string error;
    if (!cached_town_names(paths->database, names, error)) {
        tell_error_stream("Nie mogę odczytać miejscowości z bazy danych " +
                              strip_control_chars(paths->database) + ": " +
                              strip_control_chars(error),
                          line_priority::error);
        return 1;
    }
    std::sort(names.begin(), names.end(), polish_locale());
    for (const std::string& name : names) {
        std::printf("%s\n", name.c_str());
    }
    return 0;
}

// The service settings of the run, in force from here on; false (after the messages, and with
// --config the settings) when a value given at run time is wrong.
bool configure_services(const command_options& options,
                        std::vector<named_place>* places = nullptr) {
    const settings_outcome outcome = load_settings();
    for (const std::string& message : outcome.errors) {
        tell_error_stream(message, line_priority::error);
    }
    for (const std::string& message : outcome.warnings) {
        tell_error_stream(message, line_priority::warning);
    }
    // --config shows every setting, a wrong one marked, also when the run ends for it.
    if (options.show_config) {
        std::fputs(describe_settings(outcome).c_str(), stdout);
    }
    if (!outcome.errors.empty()) {
        return false;
    }
    use_settings(outcome.settings);
    if (places != nullptr) {
        *places = outcome.places;
    }
    return true;
}

// --config, --check and --towns take nothing after them.
bool is_service_command(const command_options& options) {
    return options.show_config || options.check || options.towns;
}

int run_service_command(const command_options& options) {
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
        return tell_usage_error(options.error);
    }
    if (options.help_all) {
        std::fputs(help_all_text(options.operands[0]).c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("nimbrovator %s\n", program_version.c_str());
        return 0;
    }
    run_context context;
    if (options.timeout_s) {
        context.time_limit = std::chrono::milliseconds(std::llround(*options.timeout_s * 1000));
    }
    set_run_time_limit(context.time_limit);
    if (is_service_command(options)) {
        return run_service_command(options);
    }
    if (options.form != output_form::text && !options.watch.on && !options.history) {
        start_run_deadline(); // the watch gives each check its own
    }
    std::vector<named_place> places;
    if (!configure_services(options, &places)) {
        return 2;
    }
    // --place and --all-places: the options of each place, as if it stood on the command line.
    std::vector<command_options> each = {options};
    if (names_places(options)) {
        const result<std::vector<const named_place*>> named = places_named(options, places);
        if (!named) {
            tell_error_stream("nimbrovator: " + named.error(), line_priority::error);
            return unknown_place_status;
        }
        result<std::vector<command_options>> chosen = options_of_places(options, places, *named);
        if (!chosen) {
            tell_error_stream(chosen.error(), line_priority::error);
            return 2;
        }
        each = std::move(*chosen);
    }
    shared_connection database;
    const bool newer_form = options.watch.on || options.form != output_form::text;
    if (newer_form) {
        tell_locked_database_once();
    }
    if (!start_up(context, database, newer_form)) {
        return 1;
    }
    if (form_for_bars(options.form, options.format)) {
        keep_reasons_for_journal(); // the answer carries them: a bar may show standard error
    }
    apply_cache_options(options);
    if (newer_form && (context.settings.weather.empty() || context.settings.forecast.empty())) {
        // The classic run shows the settings as they read; these forms would drop the weather
        // parts without a word.
        tell_database_failure(
            "Nie mogę odczytać ustawień z bazy danych: pomijam pogodę i prognozę.",
            line_priority::warning);
    }
    if (options.watch.on) {
        return run_watch_command(context, each);
    }
    if (options.history) {
        return run_history_command(context, each.front());
    }
    if (options.form != output_form::text) {
        return run_machine_form(context, each.front());
    }
    return run_classic(context, options.operands, options.help);
}
