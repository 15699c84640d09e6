#include "app/terminal.h"

// The curses headers define macros with common names (lines, clear_screen): they stay here.
#include <curses.h>
#include <term.h>
#include <unistd.h>

namespace {

// tputs hands its output to a plain function, one character at a time.
std::string* collected = nullptr;

int collect(int c) {
    collected->push_back(static_cast<char>(c));
    return c;
}

// Appends a capability's string (padding applied as tputs does) when the terminal has it.
void append_capability(const char* name, std::string& out) {
    const char* value = tigetstr(name);
    // (char*)-1 is terminfo's own answer for a capability that is not a string.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    if (value == nullptr || value == reinterpret_cast<const char*>(-1)) {
        return;
    }
    collected = &out;
    tputs(value, lines > 0 ? lines : 1, collect);
    collected = nullptr;
}

} // namespace

std::string terminal_clear_sequence() {
    int error = 0;
    if (setupterm(nullptr, STDOUT_FILENO, &error) != OK) {
        return std::string();
    }
    std::string sequence;
    append_capability("clear", sequence);
    append_capability("E3", sequence); // the scroll-back
    del_curterm(cur_term);
    return sequence;
}
