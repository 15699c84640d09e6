#include "app/options.h"

#include "text/numbers.h"

#include <getopt.h>

#include <cstring>

namespace {

enum option_id { opt_json = 1000, opt_line, opt_help, opt_version, opt_max_age, opt_stale_limit };

const struct option long_options[] = {
    {"json", no_argument, nullptr, opt_json},
    {"line", no_argument, nullptr, opt_line},
    {"help", no_argument, nullptr, opt_help},
    {"version", no_argument, nullptr, opt_version},
    {"max-age", required_argument, nullptr, opt_max_age},
    {"stale-limit", required_argument, nullptr, opt_stale_limit},
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

void apply(command_options& options, int id, const char* argument) {
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
    options.operands.push_back(argc > 0 ? argv[0] : "nimbrovator");
    for (int i = first_operand; i < argc; ++i) {
        options.operands.push_back(argv[i]);
    }
    return options;
}

std::string options_usage(const std::string& program_name) {
    return "Użycie: " + program_name +
           " [--json | --line] miasto [promień]\n"
           "       " +
           program_name +
           " [miasto [promień]] | -s | -h | --help | --version\n"
           "  --json     odpowiedź jako dokument JSON\n"
           "  --line     odpowiedź w jednym wierszu (dla paska stanu)\n"
           "  --max-age SEKUNDY      odpowiedzi serwisów młodsze niż tyle sekund są brane z\n"
           "                         pamięci podręcznej (domyślnie 120 w --json i --line)\n"
           "  --stale-limit SEKUNDY  gdy serwis nie odpowiada, odpowiedź nie starsza niż tyle\n"
           "                         sekund zastępuje nową (domyślnie 3600; kod wyjścia 3)\n";
}
