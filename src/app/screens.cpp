#include "app/screens.h"

#include "app/terminal.h"
#include "state/run_state.h"
#include "store/database.h"
#include "storm/storm_client.h"
#include "text/text.h"

#include <iostream>

namespace {

constexpr std::size_t box_width = 80;

const char* const author_credit = "autor: Zespół Nimbrovatora (https://nimbrovator.pl)";
const char* const weather_site = "https://openweathermap.org";

void line_end() {
    std::cout << '\n' << std::flush;
}

// "#", the text starting in column `column`, padding, and "#" in column 80. Text too long for
// the box is cut at a character boundary.
std::string box_row(const std::string& text, std::size_t column) {
    const std::size_t room = box_width - column; // columns from `column` up to 79
    std::string shown;
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size() && chars < room;) {
        std::size_t len = 1;
        while (i + len < text.size() &&
               (static_cast<unsigned char>(text[i + len]) & 0xC0) == 0x80) {
            ++len;
        }
        shown += text.substr(i, len);
        i += len;
        ++chars;
    }
    return "#" + std::string(column - 2, ' ') + shown + std::string(room - chars, ' ') + "#";
}

// The name of a setting's state; none for a value that is neither "0" nor "1".
std::string switch_state_name(const std::string& value) {
    const auto named = switch_state_names.find(value);
    return named == switch_state_names.end() ? std::string() : named->second;
}

// One accepted answer ("t", "T", "n", "N") to a menu question, or false at end of input.
bool ask_switch(const std::string& prompt, const std::string& current, std::string& answer) {
    for (;;) {
        std::cout << prompt << switch_state_name(current) << "] (t)ak/(n)ie: " << std::flush;
        const bool got_line = static_cast<bool>(std::getline(std::cin, answer));
        answer = without_line_end_cr(answer);
        const bool at_end = std::cin.eof() && !got_line;
        std::cin.clear();
        if (at_end) {
            line_end();
            return false;
        }
        if (answer == "t" || answer == "T" || answer == "n" || answer == "N") {
            return true;
        }
    }
}

// One question of the menu; at end of input the setting stays and false is returned.
bool ask_and_store(const std::string& db_path, const std::string& prompt, const std::string& key,
                   std::string& current) {
    std::string answer;
    if (!ask_switch(prompt, current, answer)) {
        return false;
    }
    const std::string value = (answer == "n" || answer == "N") ? "0" : "1";
    if (update_setting(db_path, key, value) != 0) {
        std::cout << "Nie mogłem zaktualizować ustawień!";
        line_end();
        return true;
    }
    current = read_setting(db_path, key);
    std::cout << prompt << switch_state_name(current) << "]";
    line_end();
    return true;
}

} // namespace

std::size_t utf8_length(const std::string& text) {
    std::size_t count = 0;
    for (char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
            ++count;
        }
    }
    return count;
}

void clear_screen() {
    std::cout << terminal_clear_sequence() << std::flush;
}

std::string banner_text(const std::string& version) {
    const std::string frame(box_width, '#');
    const std::string credit = author_credit;
    const std::size_t credit_column = box_width - utf8_length(credit) - 1;
    std::string text = frame + "\n";
    text += "#" + std::string(23, ' ') + "*** Nimbrovator (wersja " + version + ") ***" +
            std::string(23, ' ') + "#\n";
    text += box_row(credit + " ", credit_column) + "\n";
    text += "#  źródło danych: " + box_row("https://" + storm_host(), 19).substr(18) + "\n";
    text += box_row(weather_site, 19) + "\n";
    text += frame;
    return text;
}

void show_banner(const std::string& version) {
    clear_screen();
    print_lines(banner_text(version));
}

void show_whats_new() {
    clear_screen();
    std::cout << "*** Nimbrovator 0.2 - CO NOWEGO? ***";
    line_end();
    line_end();
    for (const char* item :
         {"- pogoda aktualna", "- prognoza pogody",
          "- ustawienia programu - można włączyć/wyłączyć pobieranie i wyświetlanie pogody "
          "aktualnej oraz prognozy (nimbrovator -s)",
          "- poprawki w kodzie programu"}) {
        std::cout << item;
        line_end();
    }
    line_end();
    std::cout << "Wciśnij ENTER" << std::flush;
    std::string ignored;
    std::getline(std::cin, ignored);
    std::cin.clear();
}

std::string usage_text(const std::string& program_name) {
    return "\nużycie:\n\n" + program_name +
           " [ miasto ] [ promień (opcjonalnie) ]\nlub interaktywnie bez parametrów.\n\n"
           "-s ustawienia programu\n\n";
}

void show_usage(const std::string& program_name) {
    std::cout << usage_text(program_name) << std::flush;
}

void run_settings_menu(const std::string& db_path, const std::string& version,
                       std::string weather_value, std::string forecast_value) {
    clear_screen();
    std::cout << "*** Nimbrovator " << version << " - USTAWIENIA ***";
    line_end();
    line_end();
    if (!ask_and_store(db_path, "Pogoda aktualna [stan: ", "weather", weather_value)) {
        return;
    }
    ask_and_store(db_path, "Prognoza pogody [stan: ", "forecast", forecast_value);
}
