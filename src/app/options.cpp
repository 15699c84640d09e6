#include "app/options.h"

#include <getopt.h>

#include <cstring>

namespace {

enum option_id { opt_json = 1000, opt_line, opt_help, opt_version };

const struct option long_options[] = {
    {"json", no_argument, nullptr, opt_json},
    {"line", no_argument, nullptr, opt_line},
    {"help", no_argument, nullptr, opt_help},
    {"version", no_argument, nullptr, opt_version},
    {nullptr, 0, nullptr, 0},
};

bool begins_with_dashes(const char* argument) {
    return argument != nullptr && std::strncmp(argument, "--", 2) == 0;
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
    default:
        options.usage_error = true;
        options.error = std::string("nieznana opcja: ") + (argument ? argument : "?");
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
        // "+": stop at the first argument that is not an option (the town).
        while ((id = getopt_long(argc, argv, "+", long_options, nullptr)) != -1) {
            apply(options, id, argv[optind - 1]);
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
           "  --line     odpowiedź w jednym wierszu (dla paska stanu)\n";
}
