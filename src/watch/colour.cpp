#include "watch/colour.h"

// The curses headers define macros with common names (lines, clear_screen): they stay here.
#include <curses.h>
#include <term.h>
#include <unistd.h>

#include <cstdlib>

namespace {

// A capability's string with its padding applied, as tputs writes it; empty when the terminal
// lacks it.
std::string capability(const char* name, int colour = -1) {
    const char* value = tigetstr(name);
    // (char*)-1 is terminfo's own answer for a capability that is not a string.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    if (value == nullptr || value == reinterpret_cast<const char*>(-1)) {
        return std::string();
    }
    const char* text = colour < 0 ? value : tiparm(value, colour);
    if (text == nullptr) {
        return std::string();
    }
    static std::string* collected = nullptr;
    std::string out;
    collected = &out;
    tputs(text, 1, [](int c) {
        collected->push_back(static_cast<char>(c));
        return c;
    });
    collected = nullptr;
    return out;
}

} // namespace

std::optional<colour_mode> colour_mode_named(const std::string& name) {
    if (name == "auto") {
        return colour_mode::automatic;
    }
    if (name == "always") {
        return colour_mode::always;
    }
    if (name == "never") {
        return colour_mode::never;
    }
    return std::nullopt;
}

bool colour_wanted(colour_mode mode, bool output_is_terminal, bool no_color_set) {
    switch (mode) {
    case colour_mode::always:
        return true;
    case colour_mode::never:
        return false;
    case colour_mode::automatic:
        break;
    }
    return output_is_terminal && !no_color_set;
}

colour_codes terminal_colours(colour_mode mode) {
    colour_codes codes;
    if (!colour_wanted(mode, isatty(STDOUT_FILENO) == 1, std::getenv("NO_COLOR") != nullptr)) {
        return codes;
    }
    int error = 0;
    if (setupterm(nullptr, STDOUT_FILENO, &error) != OK) {
        return codes;
    }
    const std::string plain = capability("sgr0");
    if (!plain.empty() && tigetnum("colors") >= 8) {
        codes.red = capability("setaf", COLOR_RED);
        codes.yellow = capability("setaf", COLOR_YELLOW);
        codes.green = capability("setaf", COLOR_GREEN);
        codes.plain = plain;
    }
    del_curterm(cur_term);
    return codes;
}

std::string coloured(const std::string& text, const std::string& start, const colour_codes& codes) {
    if (start.empty() || codes.plain.empty()) {
        return text;
    }
    return start + text + codes.plain;
}
