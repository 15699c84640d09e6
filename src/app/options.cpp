#include "app/options.h"

#include "output/template_form.h"
#include "text/numbers.h"

#include <getopt.h>

#include <cstring>

namespace {

enum option_id {
    opt_json = 1000,
    opt_line,
    opt_help,
    opt_version,
    opt_max_age,
    opt_stale_limit,
    opt_watch,
    opt_every,
    opt_notify,
    opt_exec,
    opt_clear_after,
    opt_cooldown,
    opt_config,
    opt_check,
    opt_towns,
    opt_format,
    opt_waybar,
    opt_color
};

const struct option long_options[] = {
    {"json", no_argument, nullptr, opt_json},
    {"line", no_argument, nullptr, opt_line},
    {"help", no_argument, nullptr, opt_help},
    {"version", no_argument, nullptr, opt_version},
    {"max-age", required_argument, nullptr, opt_max_age},
    {"stale-limit", required_argument, nullptr, opt_stale_limit},
    {"watch", no_argument, nullptr, opt_watch},
    {"every", required_argument, nullptr, opt_every},
    {"notify", no_argument, nullptr, opt_notify},
    {"exec", required_argument, nullptr, opt_exec},
    {"clear-after", required_argument, nullptr, opt_clear_after},
    {"cooldown", required_argument, nullptr, opt_cooldown},
    {"config", no_argument, nullptr, opt_config},
    {"check", no_argument, nullptr, opt_check},
    {"towns", no_argument, nullptr, opt_towns},
    {"format", required_argument, nullptr, opt_format},
    {"waybar", no_argument, nullptr, opt_waybar},
    {"color", required_argument, nullptr, opt_color},
    {nullptr, 0, nullptr, 0},
};

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
void set_minutes(command_options& options, double& minutes, const char* name, bool zero_allowed) {
    const std::optional<double> value = decimal_value(optarg != nullptr ? optarg : "");
    if (!value || *value < 0 || (*value == 0 && !zero_allowed) || *value > 24 * 60) {
        reject(options, std::string("nieprawidłowa liczba minut dla ") + name + ": " +
                            (optarg != nullptr ? optarg : ""));
        return;
    }
    minutes = *value;
}

bool apply_watch(command_options& options, int id) {
    watch_options& watch = options.watch;
    switch (id) {
    case opt_watch:
        watch.on = true;
        return true;
    case opt_every:
        set_minutes(options, watch.every_min, "--every", false);
        return true;
    case opt_notify:
        watch.notify = true;
        return true;
    case opt_exec:
        watch.command = optarg;
        return true;
    case opt_clear_after:
        set_minutes(options, watch.clear_after_min, "--clear-after", true);
        return true;
    case opt_cooldown:
        set_minutes(options, watch.cooldown_min, "--cooldown", true);
        return true;
    case opt_color:
        if (const std::optional<colour_mode> mode = colour_mode_named(optarg ? optarg : "")) {
            watch.colour = *mode;
        } else {
            reject(options, std::string("nieprawidłowa wartość --color (auto, always, never): ") +
                                (optarg ? optarg : ""));
        }
        return true;
    default:
        return false;
    }
}

// True when an option that only the watch knows is among the leading options.
bool watch_only_given(int argc, char** argv, int first_operand) {
    for (int i = 1; i < first_operand && i < argc; ++i) {
        for (const char* name :
             {"--every", "--notify", "--exec", "--clear-after", "--cooldown", "--color"}) {
            const std::size_t length = std::strlen(name);
            if (std::strncmp(argv[i], name, length) == 0 &&
                (argv[i][length] == '\0' || argv[i][length] == '=')) {
                return true;
            }
        }
    }
    return false;
}

void apply(command_options& options, int id, const char* argument) {
    if (apply_watch(options, id)) {
        return;
    }
    switch (id) {
    case opt_json:
        options.form = output_form::json;
        break;
    case opt_line:
        options.form = output_form::line;
        break;
    case opt_help:
        options.help = true;
        break;
    case opt_version:
        options.version = true;
        break;
    case opt_max_age:
        set_seconds(options, options.max_age_s, "--max-age", optarg);
        break;
    case opt_stale_limit:
        set_seconds(options, options.stale_limit_s, "--stale-limit", optarg);
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
    case opt_format:
        options.format = optarg;
        if (const std::optional<std::string> error = template_error(options.format)) {
            reject(options, *error);
        }
        break;
    case opt_waybar:
        options.form = output_form::waybar;
        break;
    case ':':
        reject(options, std::string("opcja wymaga wartości: ") + (argument ? argument : "?"));
        break;
    default:
        reject(options, std::string("nieznana opcja: ") + (argument ? argument : "?"));
        break;
    }
}

} // namespace

command_options parse_options(int argc, char** argv) {
    command_options options;
    int first_operand = 1;
    if (argc >= 2 && begins_with_dashes(argv[1])) {
        opterr = 0;
        optind = 0; // 0 also resets getopt's own state between calls
        int id = 0;
        // "+": stop at the first argument that is not an option (the town); ":": a missing
        // value is told apart from an unknown option.
        while ((id = getopt_long(argc, argv, "+:", long_options, nullptr)) != -1) {
            apply(options, id, argv[optind - 1]);
            if (options.usage_error) {
                break;
            }
        }
        first_operand = optind;
    }
    if (!options.usage_error && !options.watch.on && watch_only_given(argc, argv, first_operand)) {
        reject(options, "opcje --every, --notify, --exec, --clear-after, --cooldown i --color "
                        "działają tylko z --watch");
    }
    if (!options.usage_error && !options.format.empty()) {
        if (options.form == output_form::json) {
            reject(options, "opcja --format nie działa z --json");
        } else if (options.form == output_form::text) {
            options.form = output_form::line;
        }
    }
    options.operands.push_back(argc > 0 ? argv[0] : "nimbrovator");
    for (int i = first_operand; i < argc; ++i) {
        options.operands.push_back(argv[i]);
    }
    return options;
}

std::string options_usage(const std::string& program_name) {
    return "Użycie: " + program_name +
           " [--json | --line | --waybar] [--format SZABLON] miasto [promień]\n"
           "       " +
           program_name +
           " --watch [--every MINUTY] [--notify] [--exec POLECENIE] [--color KIEDY]\n"
           "       [--json | --waybar] [--format SZABLON] miasto [promień]\n"
           "       " +
           program_name +
           " [miasto [promień]] | -s | -h | --help | --version\n"
           "       " +
           program_name +
           " --config | --check | --towns\n"
           "  --json     odpowiedź jako dokument JSON\n"
           "  --line     odpowiedź w jednym wierszu (dla paska stanu)\n"
           "  --format SZABLON       wiersz według szablonu: %t miejscowość, %k promień,\n"
           "                         %n wyładowania, %d odległość, %D kierunek (NE),\n"
           "                         %N kierunek po polsku, %w stopień ostrzeżenia, %W "
           "zagrożenia,\n"
           "                         %T temperatura, %a wiek danych (min), %e zdarzenie, %% znak "
           "%\n"
           "  --waybar   obiekt JSON dla paska Waybar (text, tooltip, class, percentage, alt)\n"
           "  --max-age SEKUNDY      odpowiedzi serwisów młodsze niż tyle sekund są brane z\n"
           "                         pamięci podręcznej (domyślnie 120 w --json i --line)\n"
           "  --stale-limit SEKUNDY  gdy serwis nie odpowiada, odpowiedź nie starsza niż tyle\n"
           "                         sekund zastępuje nową (domyślnie 3600; kod wyjścia 3)\n"
           "  --watch    czuwanie: sprawdzanie co --every minut (5) i alarm, gdy burza się zbliża\n"
           "  --notify   alarmy także jako powiadomienia na pulpicie (notify-send)\n"
           "  --exec POLECENIE       polecenie powłoki uruchamiane przy każdym alarmie\n"
           "  --clear-after MINUTY   odwołanie alarmu po tylu minutach bez wyładowań (30)\n"
           "  --cooldown MINUTY      najkrótszy odstęp alarmów tego samego rodzaju (15)\n"
           "  --color KIEDY          kolory alarmów w terminalu: auto, always, never (auto)\n"
           "  --config   ustawienia serwisów w użyciu i ich źródła\n"
           "  --check    sprawdza połączenie i klucze obu serwisów\n"
           "  --towns    nazwy miejscowości zapamiętanych w bazie danych\n";
}
