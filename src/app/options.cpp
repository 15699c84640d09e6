#include "app/options.h"

#include "app/option_table.h"
#include "base/result.h"

#include "mqtt/mqtt_payloads.h"
#include "output/template_form.h"
#include "service/journal.h"
#include "text/numbers.h"
#include "text/text.h"

#include <getopt.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

namespace {

// The getopt_long table, from the table of options.
const std::vector<struct option>& long_options() {
    static const std::vector<struct option> table = [] {
        std::vector<struct option> built;
        for (const option_row& row : option_table()) {
            if (row.long_name[0] != '\0') {
                built.push_back({row.long_name,
                                 row.argument[0] != '\0' ? required_argument : no_argument, nullptr,
                                 row.id});
            }
        }
        built.push_back({nullptr, 0, nullptr, 0});
        return built;
    }();
    return table;
}

bool begins_with_dashes(const char* argument) {
    return argument != nullptr && std::strncmp(argument, "--", 2) == 0;
}

// A number of seconds: decimal digits only, at most ten years.
std::optional<long> seconds_value(const char* text) {
    const std::optional<int> value = text == nullptr ? std::nullopt : count_value(text);
    if (!value || *value > 10L * 366 * 24 * 3600) {
        return std::nullopt;
    }
    return *value;
}

void reject(command_options& options, const std::string& error) {
    options.usage_error = true;
    options.error = error;
}

void set_seconds(command_options& options, std::optional<long>& field, const char* name,
                 const char* value) {
    field = seconds_value(value);
    if (!field) {
        reject(options, std::string("nieprawidłowa liczba sekund dla ") + name + ": " +
                            (value ? value : ""));
    }
}

// A number of minutes ("5", "0.02"), at most a day; 0 only where `zero_allowed`.
void set_minutes(command_options& options, double& minutes, const char* name, const char* text,
                 bool zero_allowed) {
    const std::optional<double> value = decimal_value(text != nullptr ? text : "");
    if (!value || *value < 0 || (*value == 0 && !zero_allowed) || *value > 24 * 60) {
        reject(options, std::string("nieprawidłowa liczba minut dla ") + name + ": " +
                            (text != nullptr ? text : ""));
        return;
    }
    minutes = *value;
}

// The longest deadline of a run, in seconds: a day.
constexpr double longest_timeout_s = 24 * 3600;

// The longest name a place may be given, in bytes.
constexpr std::size_t longest_place_name = 100;

std::string text_of(const char* value) {
    return value != nullptr ? value : "";
}

void set_mqtt(command_options& options, const char* value) {
    std::string& url = options.watch.mqtt_url;
    url = text_of(value);
    if (!parse_broker_url(url)) {
        reject(options, "oczekiwano mqtt://host[:port] lub mqtts://host[:port] (adres IPv6 w "
                        "nawiasach: mqtt://[::1]:1883) dla --mqtt: " +
                            broker_url_shown(url));
    }
}

void set_checks(command_options& options, const char* value) {
    std::optional<int>& checks = options.watch.checks;
    checks = count_value(text_of(value));
    if (!checks || *checks < 1) {
        reject(options, "nieprawidłowa liczba sprawdzeń dla --checks: " + text_of(value) +
                            " (liczba całkowita od 1)");
    }
}

void set_colour(command_options& options, const char* value) {
    if (const std::optional<colour_mode> mode = colour_mode_named(text_of(value))) {
        options.watch.colour = *mode;
    } else {
        reject(options, "nieprawidłowa wartość --color (auto, always, never): " + text_of(value));
    }
}

void set_near(command_options& options, const char* value) {
    options.near = place_point_of(text_of(value));
    if (!options.near) {
        reject(options,
               "nieprawidłowe współrzędne dla --near: " + strip_control_chars(text_of(value)) +
                   " (szerokość od -90 do 90, długość od -180 do 180, stopnie "
                   "dziesiętne, np. 50.06,19.94; nie 0,0)");
    }
}

void add_place(command_options& options, const char* value) {
    options.places.push_back(text_of(value));
    if (options.places.back().empty()) {
        reject(options, "pusta nazwa miejsca dla --place");
    }
}

void set_name(command_options& options, const char* value) {
    options.name = clean_town_name(text_of(value));
    if (options.name->empty() || options.name->size() > longest_place_name) {
        reject(options, "nieprawidłowa nazwa miejsca dla --name: " + *options.name);
    }
}

void set_danger_km(command_options& options, const char* value) {
    options.danger_km = value != nullptr ? count_value(value) : std::nullopt;
    if (!options.danger_km || *options.danger_km < 1 || *options.danger_km > 100) {
        reject(options, "nieprawidłowa liczba kilometrów dla --danger-km: " + text_of(value));
    }
}

void set_svg(command_options& options, const char* value) {
    options.svg_file = text_of(value);
    if (options.svg_file.empty()) {
        reject(options, "pusta nazwa pliku dla --svg");
    }
}

void set_format(command_options& options, const char* value) {
    options.format = text_of(value);
    if (options.format.empty()) {
        reject(options, "pusty szablon dla --format");
    } else if (const std::optional<std::string> error = template_error(options.format)) {
        reject(options, *error);
    }
}

void set_escape(command_options& options, const char* value) {
    if (const std::optional<markup> kind = markup_named(text_of(value))) {
        options.escape = *kind;
    } else {
        reject(options, "nieprawidłowa wartość --escape (" + markup_names() +
                            "): " + strip_control_chars(text_of(value)));
    }
}

void set_timeout(command_options& options, const char* value) {
    options.timeout_s = decimal_value(text_of(value));
    if (!options.timeout_s || !(*options.timeout_s > 0) || *options.timeout_s > longest_timeout_s) {
        reject(options,
               "nieprawidłowa liczba sekund dla --timeout: " + strip_control_chars(text_of(value)));
    }
}

// What the option `id` (with its value, null when it takes none) sets. No default: the build
// makes a missing case an error (-Wswitch-enum), so a row of the table of options without its
// handler here does not compile.
void apply(command_options& options, option_id id, const char* value) {
    watch_options& watch = options.watch;
    switch (id) {
    case opt_json:
    case opt_line:
    case opt_waybar:
    case opt_i3blocks:
        break; // the form, from the option's row (parse_options)
    case opt_format:
        set_format(options, value);
        break;
    case opt_escape:
        set_escape(options, value);
        break;
    case opt_max_age:
        set_seconds(options, options.max_age_s, "--max-age", value);
        break;
    case opt_stale_limit:
        set_seconds(options, options.stale_limit_s, "--stale-limit", value);
        break;
    case opt_timeout:
        set_timeout(options, value);
        break;
    case opt_near:
        set_near(options, value);
        break;
    case opt_name:
        set_name(options, value);
        break;
    case opt_place:
        add_place(options, value);
        break;
    case opt_all_places:
        options.all_places = true;
        break;
    case opt_watch:
        watch.on = true;
        break;
    case opt_every:
        set_minutes(options, watch.every_min, "--every", value, false);
        break;
    case opt_notify:
        watch.notify = true;
        break;
    case opt_exec:
        watch.command = text_of(value);
        break;
    case opt_clear_after:
        set_minutes(options, watch.clear_after_min, "--clear-after", value, true);
        break;
    case opt_cooldown:
        set_minutes(options, watch.cooldown_min, "--cooldown", value, true);
        break;
    case opt_danger_km:
        set_danger_km(options, value);
        break;
    case opt_approaching_only:
        watch.approaching_only = true;
        break;
    case opt_color:
        set_colour(options, value);
        break;
    case opt_alerts_to_stderr:
        watch.alerts_to_stderr = true;
        break;
    case opt_checks:
        set_checks(options, value);
        break;
    case opt_mqtt:
        set_mqtt(options, value);
        break;
    case opt_history:
        options.history = true;
        break;
    case opt_svg:
        set_svg(options, value);
        break;
    case opt_config:
        options.show_config = true;
        break;
    case opt_check:
        options.check = true;
        break;
    case opt_towns:
        options.towns = true;
        break;
    case opt_help:
        options.help = true;
        break;
    case opt_help_all:
        options.help_all = true;
        break;
    case opt_version:
        options.version = true;
        break;
    case opt_settings_menu:
        break; // getopt never gives it: -s works only as the first argument, the classic run's
    }
}

// The long option named by `word` ("--every", "--every=5", "-every"), or null.
const option_row* option_in(const std::string& word, std::size_t dashes) {
    const std::string name = word.substr(dashes, word.find('=') - dashes);
    return option_named(name);
}

// "nieznana opcja: --evry (czy chodziło o --every?)": the option of that name or of the nearest
// one, when one is near.
std::string unknown_option(const std::string& word, std::size_t dashes) {
    const option_row* row = option_in(word, dashes);
    if (row == nullptr) {
        std::vector<std::string> names;
        for (const option_row& each : option_table()) {
            if (each.long_name[0] != '\0') {
                names.emplace_back(each.long_name);
            }
        }
        const std::string name = word.substr(dashes, word.find('=') - dashes);
        const std::optional<std::string> nearest = nearest_name(name, names);
        row = nearest ? option_named(*nearest) : nullptr;
    }
    return "nieznana opcja: " + word +
           (row != nullptr ? " (czy chodziło o " + option_text(*row) + "?)" : "");
}

// The culprit when the word getopt is to read next is a single-dash word: no option has a short
// name there (-s and -h work only as the first argument).
result<void> check_single_dash(const char* word) {
    if (word == nullptr || word[0] != '-' || word[1] == '-' || word[1] == '\0') {
        return {};
    }
    for (const option_row& row : option_table()) {
        if (row.short_name != '\0' && word[1] == row.short_name && word[2] == '\0') {
            return failure("opcja " + std::string(word) + " działa tylko jako pierwszy argument");
        }
    }
    return failure(unknown_option(word, 1));
}

// The options that ask for the kind of run, as the table has them ("--config, --check, ...").
std::string askers_text(run_kind kind) {
    std::string text;
    for (const option_row& row : option_table()) {
        if (row.sets_kind == kind) {
            text += (text.empty() ? "" : ", ") + option_text(row);
        }
    }
    return text;
}

// The words that name the kinds of run, for "works only with".
std::string kinds_text(unsigned kinds) {
    std::vector<std::string> names;
    for (const run_kind kind : {kind_report, kind_watch, kind_history, kind_service}) {
        if (kinds & kind) {
            names.push_back(askers_text(kind));
        }
    }
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == names.size() ? " lub " : ", ") + names[i];
    }
    return text;
}

// The kind of run the given options ask for, and the option that asks for it (null for the
// classic run).
std::pair<run_kind, const option_row*> kind_of(const std::vector<const option_row*>& given) {
    for (const run_kind kind : {kind_service, kind_watch, kind_history, kind_report}) {
        for (const option_row* row : given) {
            if (row->sets_kind == kind) {
                return {kind, row};
            }
        }
    }
    return {kind_classic, nullptr};
}

// The first given option that does not go with the kind of run, as a usage error.
result<void> check_fit(const std::vector<const option_row*>& given) {
    const auto [kind, asker] = kind_of(given);
    for (const option_row* row : given) {
        if (row->allowed & kind) {
            continue;
        }
        // An option of most runs, or one asking for a run of its own, clashes with the option
        // that asked for this run; the rest belong to a run of their own.
        if (asker != nullptr &&
            (row->sets_kind != 0 || (row->allowed & (kind_classic | kind_report)) != 0)) {
            return failure("opcja " + option_text(*row) + " nie łączy się z " +
                           option_text(*asker));
        }
        return failure("opcja " + option_text(*row) + " działa tylko z " +
                       kinds_text(row->allowed & ~kind_classic));
    }
    return {};
}

// The radius when none is given, as in the classic run.
constexpr int default_radius_km = 25;

// The radius of the newer forms: a whole number of kilometres from 5 to 100.
result<void> check_radius(const std::string& text) {
    const std::optional<int> radius = count_value(text);
    if (radius && *radius >= 5 && *radius <= 100) {
        return {};
    }
    return failure("nieprawidłowy promień: " + text + " (liczba całkowita km od 5 do 100)");
}

// What follows the options in the newer forms: a town (or nothing after --near) and a radius;
// a town and hours after --history; nothing after --config, --check and --towns.
result<void> check_operands(const command_options& options, run_kind kind,
                            const option_row* asker) {
    const std::vector<std::string>& operands = options.operands; // argv[0] first
    const std::size_t count = operands.size() - 1;
    if (kind == kind_service) {
        if (count > 0) {
            return failure("opcja " + option_text(*asker) +
                           " nie przyjmuje argumentów: " + operands[1]);
        }
        return {};
    }
    const bool town = !options.near && !names_places(options);
    if (town && count == 0) {
        return failure("brak miejscowości po opcjach");
    }
    if (town && operands[1].empty()) {
        return failure("pusta nazwa miejscowości");
    }
    const std::size_t most = town ? 2 : 1;
    if (count > most) {
        return failure("nadmiarowy argument: " + operands[most + 1]);
    }
    const std::string given = count == most ? operands[most] : std::string();
    if (kind == kind_history) {
        const std::optional<int> hours = count_value(given);
        if (count == most && (!hours || *hours < 1 || *hours > 7 * 24)) {
            return failure("nieprawidłowa liczba godzin dla --history: " + given +
                           " (od 1 do 168)");
        }
        return {};
    }
    if (count == most) {
        if (result<void> radius = check_radius(given); !radius) {
            return radius;
        }
    }
    if (count < most && names_places(options)) {
        return {}; // each place's ring against the radius it runs with (options_of_places)
    }
    const int radius = count == most ? *count_value(given) : default_radius_km;
    if (options.danger_km && *options.danger_km > radius) {
        return failure("strefa --danger-km (" + std::to_string(*options.danger_km) +
                       " km) musi mieścić się w promieniu (" + std::to_string(radius) + " km)");
    }
    return {};
}

// The first known option after the town: options come before it.
result<void> check_no_late_option(const std::vector<std::string>& operands) {
    if (operands.size() > 1 && (operands[1] == "-s" || operands[1] == "-h")) {
        return {}; // the classic run's own; what follows them is ignored
    }
    for (std::size_t i = 2; i < operands.size(); ++i) {
        if (operands[i].rfind("--", 0) == 0 && option_in(operands[i], 2) != nullptr) {
            return failure("opcje podaje się przed miejscowością: " + operands[i]);
        }
    }
    return {};
}

// One form a run: the first given option that asks for another form than an earlier one, as a
// usage error naming both.
result<void> check_one_form(const std::vector<const option_row*>& given) {
    const option_row* first = nullptr;
    for (const option_row* row : given) {
        if (row->form == output_form::text) {
            continue;
        }
        if (first != nullptr && row->form != first->form) {
            return failure("opcja " + option_text(*row) + " nie łączy się z " +
                           option_text(*first));
        }
        first = first != nullptr ? first : row;
    }
    return {};
}

// The checks that no single option makes.
result<void> check_combination(const command_options& options) {
    if (!options.format.empty() && options.form == output_form::json) {
        return failure("opcja --format nie łączy się z --json");
    }
    if (options.escape != markup::none && options.format.empty()) {
        return failure("opcja --escape działa tylko z --format");
    }
    if (options.escape != markup::none && options.form == output_form::waybar) {
        // Waybar's text is Pango markup made safe whole, the template's own text too.
        return failure("opcja --escape nie łączy się z --waybar");
    }
    if (options.name && !options.near) {
        return failure("opcja --name działa tylko z --near");
    }
    if (names_places(options) && options.near) {
        return failure("opcja --place nie łączy się z --near");
    }
    if (options.all_places && !options.places.empty()) {
        return failure("opcja --all-places nie łączy się z --place");
    }
    if (options.places.size() > 1 && !options.watch.on) {
        return failure("kilka miejsc --place tylko z --watch");
    }
    for (auto place = options.places.begin(); place != options.places.end(); ++place) {
        if (std::find(options.places.begin(), place, *place) != place) {
            return failure("miejsce „" + strip_control_chars(*place) +
                           "” podane w --place więcej niż raz");
        }
    }
    return {};
}

// The option and its value as --help-all shows them, e.g. "--every MINUTY".
std::string option_heading(const option_row& row) {
    std::string heading = option_text(row);
    if (row.short_name != '\0' && row.long_name[0] != '\0') {
        heading = std::string("-") + row.short_name + ", " + heading;
    }
    return row.argument[0] == '\0' ? heading : heading + " " + row.argument;
}

// Characters on the screen, not bytes (UTF-8).
std::size_t shown_width(const std::string& text) {
    std::size_t width = 0;
    for (const char c : text) {
        width += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    return width;
}

const char* group_title(option_group group) {
    switch (group) {
    case option_group::one_shot:
        return "Jedna odpowiedź (miejscowość po opcjach):";
    case option_group::status_bar:
        return "Paski stanu:";
    case option_group::watch:
        return "Czuwanie i alarmy:";
    case option_group::mqtt:
        return "MQTT (z --watch):";
    case option_group::history:
        return "Historia:";
    case option_group::settings:
        break;
    }
    return "Ustawienia i sprawdzenia:";
}

// The column at which the help of an option starts, and the width of the lines.
constexpr std::size_t help_column = 26;
constexpr std::size_t line_width = 80;

// `help` in lines that end before line_width, those after the first indented to help_column;
// the first goes on from where the line stands (at help_column).
std::string wrapped(const std::string& help) {
    std::string text;
    std::size_t column = help_column;
    for (std::size_t start = 0; start < help.size();) {
        std::size_t end = help.find(' ', start);
        end = end == std::string::npos ? help.size() : end;
        const std::string word = help.substr(start, end - start);
        if (column > help_column && column + 1 + shown_width(word) > line_width) {
            text += "\n" + std::string(help_column, ' ');
            column = help_column;
        } else if (column > help_column) {
            text += ' ';
            ++column;
        }
        text += word;
        column += shown_width(word);
        start = end + 1;
    }
    return text + "\n";
}

} // namespace

command_options parse_options(int argc, char** argv) {
    command_options options;
    std::vector<const option_row*> given;
    int first_operand = 1;
    if (argc >= 2 && begins_with_dashes(argv[1])) {
        opterr = 0;
        optind = 0; // 0 also resets getopt's own state between calls
        // "+": stop at the first argument that is not an option (the town); ":": a missing
        // value is told apart from an unknown option.
        for (;;) {
            const int next = optind == 0 ? 1 : optind;
            if (next < argc && std::strcmp(argv[next], "--") != 0) {
                if (const result<void> word = check_single_dash(argv[next]); !word) {
                    reject(options, word.error());
                    break;
                }
            }
            const int id = getopt_long(argc, argv, "+:", long_options().data(), nullptr);
            if (id == -1) {
                break;
            }
            if (id == ':') {
                const option_row& row = option_of(static_cast<option_id>(optopt));
                reject(options,
                       "opcja " + option_text(row) + " wymaga wartości (" + row.argument + ")");
                break;
            }
            if (id == '?') {
                const char* word = argv[optind - 1];
                const option_row* named = option_in(word, 2);
                reject(options, named != nullptr
                                    ? "opcja " + option_text(*named) + " nie przyjmuje wartości"
                                    : unknown_option(word, 2));
                break;
            }
            given.push_back(&option_of(static_cast<option_id>(id)));
            if (given.back()->form != output_form::text) {
                options.form = given.back()->form;
            }
            apply(options, given.back()->id, optarg);
            if (options.usage_error) {
                break;
            }
        }
        first_operand = optind;
    }
    options.operands.push_back(argc > 0 ? argv[0] : "nimbrovator");
    for (int i = first_operand; i < argc; ++i) {
        options.operands.push_back(argv[i]);
    }
    if (options.usage_error || options.help_all || options.version) {
        return options;
    }
    const auto [kind, asker] = kind_of(given);
    result<void> checked = check_no_late_option(options.operands);
    if (checked) {
        checked = check_fit(given);
    }
    if (checked) {
        checked = check_one_form(given);
    }
    if (checked) {
        checked = check_combination(options);
    }
    if (checked && kind != kind_classic && !options.help) {
        checked = check_operands(options, kind, asker);
    }
    if (!checked) {
        reject(options, checked.error());
    } else if (!options.format.empty() && options.form == output_form::text) {
        options.form = output_form::line;
    }
    return options;
}

bool names_places(const command_options& options) {
    return !options.places.empty() || options.all_places;
}

std::string usage_error_text(const std::string& error) {
    return "nimbrovator: " + strip_control_chars(error) + "\nSpróbuj: nimbrovator --help-all";
}

int tell_usage_error(const std::string& error) {
    tell_error_stream_always(usage_error_text(error), line_priority::error);
    return 2;
}

std::string help_all_text(const std::string& program_name) {
    const std::string indent(8, ' '); // under what follows "Użycie: "
    std::string text = "Użycie: " + program_name + " [OPCJE] miasto [promień]\n" + indent +
                       program_name + " [OPCJE] --near SZER,DŁUG [--name NAZWA] [promień]\n" +
                       indent + program_name +
                       " --history [--json] [--svg PLIK] miasto [godziny]\n" + indent +
                       program_name + " --config | --check | --towns\n" + indent + program_name +
                       " [miasto [promień]] | -s | -h | --help | --help-all | --version\n"
                       "Opcje podaje się przed miejscowością.\n";
    for (const option_group group :
         {option_group::one_shot, option_group::status_bar, option_group::watch, option_group::mqtt,
          option_group::history, option_group::settings}) {
        text += std::string("\n") + group_title(group) + "\n";
        for (const option_row& row : option_table()) {
            if (row.group != group) {
                continue;
            }
            const std::string heading = "  " + option_heading(row);
            const std::size_t width = shown_width(heading);
            text += heading;
            text += width < help_column ? std::string(help_column - width, ' ')
                                        : "\n" + std::string(help_column, ' ');
            text += wrapped(row.help);
        }
    }
    return text + "\n"
                  "Kod wyjścia:\n"
                  "  0  zrobione, o co poproszono\n"
                  "  1  brak odpowiedzi (z --check: któryś serwis nie działa)\n"
                  "  2  błąd użycia: nieznana opcja, zła wartość, opcja nie na swoim miejscu,\n"
                  "     dwie formy odpowiedzi naraz (np. --json i --line)\n"
                  "  3  część odpowiedzi --json lub --line pochodzi z pamięci podręcznej, bo\n"
                  "     serwis nie odpowiedział\n"
                  "  4  nieznana miejscowość albo miejsce, którego nie określa plik\n"
                  "     konfiguracji: ponowienie niczego nie zmieni\n"
                  "  33 --i3blocks: wyładowania w strefie bezpieczeństwa, także ostatnie znane\n"
                  "     w nieaktualnej odpowiedzi (blok pilny)\n"
                  "Paski stanu (--waybar, --i3blocks, --format) kończą się kodem 0, gdy wypisały\n"
                  "odpowiedź, także nieaktualną lub błędną: stan jest w samej odpowiedzi, a jego\n"
                  "przyczyny nie trafiają na standardowe wyjście błędów (pasek pokazałby je\n"
                  "zamiast odpowiedzi), tylko do dziennika systemd, gdy nim jest.\n"
                  "\n"
                  "Więcej: man nimbrovator\n";
}
