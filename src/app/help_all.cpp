// The text of --help-all, from the table of options: a group's options under its title, each
// option's help wrapped beside it.
#include "app/option_table.h"
#include "app/options.h"

#include <string>

namespace {

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
