#include "app/options.h"

#include "app/option_checks.h"
#include "app/option_table.h"
#include "base/result.h"

#include "mqtt/mqtt_payloads.h"
#include "output/template_form.h"
#include "service/journal.h"
#include "text/numbers.h"
#include "text/text.h"

#include <getopt.h>

#include <cstring>

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

std::string usage_error_text(const std::string& error) {
    return "nimbrovator: " + strip_control_chars(error) + "\nSpróbuj: nimbrovator --help-all";
}

int tell_usage_error(const std::string& error) {
    tell_error_stream_always(usage_error_text(error), line_priority::error);
    return 2;
}
