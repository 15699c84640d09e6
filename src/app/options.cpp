#include "app/options.h"

#include "mqtt/mqtt_payloads.h"
#include "output/template_form.h"
#include "text/numbers.h"
#include "text/text.h"

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
    opt_mqtt,
    opt_near,
    opt_name,
    opt_danger_km,
    opt_approaching_only,
    opt_history,
    opt_svg,
    opt_format,
    opt_waybar,
    opt_color,
    opt_timeout
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
    {"mqtt", required_argument, nullptr, opt_mqtt},
    {"near", required_argument, nullptr, opt_near},
    {"name", required_argument, nullptr, opt_name},
    {"danger-km", required_argument, nullptr, opt_danger_km},
    {"approaching-only", no_argument, nullptr, opt_approaching_only},
    {"history", no_argument, nullptr, opt_history},
    {"svg", required_argument, nullptr, opt_svg},
    {"format", required_argument, nullptr, opt_format},
    {"waybar", no_argument, nullptr, opt_waybar},
    {"color", required_argument, nullptr, opt_color},
    {"timeout", required_argument, nullptr, opt_timeout},
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
    case opt_mqtt:
        watch.mqtt_url = optarg != nullptr ? optarg : "";
        if (!parse_broker_url(watch.mqtt_url)) {
            reject(options, "oczekiwano mqtt://host[:port] lub mqtts://host[:port] dla --mqtt: " +
                                broker_url_shown(watch.mqtt_url));
        }
        return true;
    case opt_approaching_only:
        watch.approaching_only = true;
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
        for (const char* name : {"--every", "--notify", "--exec", "--clear-after", "--cooldown",
                                 "--mqtt", "--approaching-only", "--color"}) {
            const std::size_t length = std::strlen(name);
            if (std::strncmp(argv[i], name, length) == 0 &&
                (argv[i][length] == '\0' || argv[i][length] == '=')) {
                return true;
            }
        }
    }
    return false;
}

// The longest deadline of a run, in seconds: a day.
constexpr double longest_timeout_s = 24 * 3600;

// The longest name a place may be given, in bytes.
constexpr std::size_t longest_place_name = 100;

bool apply_place(command_options& options, int id) {
    const std::string value = optarg != nullptr ? optarg : "";
    if (id == opt_near) {
        options.near = place_point_of(value);
        if (!options.near) {
            reject(options, "nieprawidłowe współrzędne dla --near: " + strip_control_chars(value) +
                                " (szerokość od -90 do 90, długość od -180 do 180, stopnie "
                                "dziesiętne, np. 50.06,19.94; nie 0,0)");
        }
        return true;
    }
    if (id == opt_name) {
        options.name = clean_town_name(value);
        if (options.name->empty() || options.name->size() > longest_place_name) {
            reject(options, "nieprawidłowa nazwa miejsca dla --name: " + *options.name);
        }
        return true;
    }
    return false;
}

void apply(command_options& options, int id, const char* argument) {
    if (apply_watch(options, id) || apply_place(options, id)) {
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
    case opt_danger_km:
        options.danger_km = optarg ? count_value(optarg) : std::nullopt;
        if (!options.danger_km || *options.danger_km < 1 || *options.danger_km > 100) {
            reject(options, std::string("nieprawidłowa liczba kilometrów dla --danger-km: ") +
                                (optarg ? optarg : ""));
        }
        break;
    case opt_history:
        options.history = true;
        break;
    case opt_svg:
        options.svg_file = optarg ? optarg : "";
        if (options.svg_file.empty()) {
            reject(options, "opcja --svg wymaga nazwy pliku");
        }
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
    case opt_timeout:
        options.timeout_s = decimal_value(optarg ? optarg : "");
        if (!options.timeout_s || !(*options.timeout_s > 0) ||
            *options.timeout_s > longest_timeout_s) {
            reject(options, std::string("nieprawidłowa liczba sekund dla --timeout: ") +
                                strip_control_chars(optarg ? optarg : ""));
        }
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
        reject(options, "opcje --every, --notify, --exec, --clear-after, --cooldown, --mqtt, "
                        "--approaching-only i --color działają tylko z --watch");
    }
    if (!options.usage_error && !options.format.empty()) {
        if (options.form == output_form::json) {
            reject(options, "opcja --format nie działa z --json");
        } else if (options.form == output_form::text) {
            options.form = output_form::line;
        }
    }
    if (!options.usage_error && options.name && !options.near) {
        reject(options, "opcja --name działa tylko z --near");
    }
    if (!options.usage_error && options.near && !options.watch.on &&
        options.form == output_form::text) {
        reject(options, "opcja --near działa tylko z --json, --line lub --watch");
    }
    if (!options.usage_error && options.danger_km && options.form == output_form::text &&
        !options.watch.on && !options.history) {
        reject(options, "opcja --danger-km działa z --watch, --json, --line i --history");
    }
    if (!options.usage_error && options.timeout_s &&
        (options.form == output_form::text || options.history) && !options.watch.on) {
        reject(options, "opcja --timeout działa z --json, --line, --format, --waybar i --watch");
    }
    if (!options.usage_error && !options.svg_file.empty() && !options.history) {
        reject(options, "opcja --svg działa tylko z --history");
    }
    if (!options.usage_error && options.history &&
        (options.watch.on || options.form == output_form::line ||
         options.form == output_form::waybar)) {
        reject(options, "opcja --history nie łączy się z --watch, --line, --format ani --waybar");
    }
    options.operands.push_back(argc > 0 ? argv[0] : "nimbrovator");
    for (int i = first_operand; i < argc; ++i) {
        options.operands.push_back(argv[i]);
    }
    return options;
}

std::string options_usage(const std::string& program_name) {
    return "Użycie: " + program_name +
           " [--json | --line | --waybar] [--format SZABLON] [--timeout SEKUNDY]\n"
           "       miasto [promień]\n"
           "       " +
           program_name +
           " --watch [--every MINUTY] [--notify] [--exec POLECENIE] [--mqtt URL] [--color KIEDY]\n"
           "       [--json | --waybar] [--format SZABLON] [--timeout SEKUNDY] miasto [promień]\n"
           "       " +
           program_name +
           " [miasto [promień]] | -s | -h | --help | --version\n"
           "       " +
           program_name +
           " --config | --check | --towns\n"
           "       " +
           program_name +
           " [--json | --line | --watch ...] --near SZER,DŁUG [--name NAZWA] [promień]\n"
           " --history [--json] [--svg PLIK] miasto [godziny]\n"
           "  --json     odpowiedź jako dokument JSON\n"
           "  --line     odpowiedź w jednym wierszu (dla paska stanu)\n"
           "  --format SZABLON       wiersz według szablonu: %t miejscowość, %k promień,\n"
           "                         %n wyładowania, %d odległość, %D kierunek (NE),\n"
           "                         %N kierunek po polsku, %w stopień ostrzeżenia, %W "
           "zagrożenia,\n"
           "                         %T temperatura, %a wiek danych (min), %e zdarzenie,\n"
           "                         %s zbliżanie się burzy (km/h), %E za ile minut w strefie,\n"
           "                         %% znak %\n"
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
           "  --mqtt URL             publikowanie stanu i alarmów na serwerze MQTT\n"
           "                         (mqtt://host[:port] lub mqtts://host[:port])\n"
           "  --danger-km KM         strefa bezpieczeństwa: alarm blisko, gdy wyładowania są\n"
           "                         bliżej niż tyle km (10; od 1 do promienia)\n"
           "  --approaching-only     alarmy burza i bliżej tylko, gdy burza nadciąga do strefy\n"
           "  --history  obserwacje miejscowości z ostatnich godzin (3) z oceną nadejścia burzy\n"
           "  --svg PLIK             z --history: wykres i mapa toru burzy w pliku SVG\n"
           "  --color KIEDY          kolory alarmów w terminalu: auto, always, never (auto)\n"
           "  --timeout SEKUNDY      najdłuższy czas odpowiedzi (i każdego sprawdzenia --watch);\n"
           "                         czego do tej pory nie ma, jest nieudane (domyślnie 30)\n"
           "  --config   ustawienia serwisów w użyciu i ich źródła\n"
           "  --check    sprawdza połączenie i klucze obu serwisów (i serwer MQTT)\n"
           "  --towns    nazwy miejscowości zapamiętanych w bazie danych\n"
           "  --near SZER,DŁUG       miejsce podane współrzędnymi (stopnie dziesiętne) zamiast\n"
           "                         miejscowości, np. --near 50.06,19.94\n"
           "  --name NAZWA           nazwa miejsca podanego przez --near w odpowiedziach\n";
}
