// Colour in the watch's lines on a terminal: the alerts stand out. The colours come from the
// terminal's terminfo entry (setaf, sgr0), never from escapes written here.
#pragma once

#include <optional>
#include <string>

// --color: auto (on a terminal, unless NO_COLOR is set), always, never.
enum class colour_mode { automatic, always, never };

// The mode named "auto", "always" or "never"; nothing for any other text.
std::optional<colour_mode> colour_mode_named(const std::string& name);

// Whether the lines are coloured: `always` and `never` decide alone; `automatic` colours when
// standard output is a terminal and NO_COLOR is not set (to anything, even empty).
bool colour_wanted(colour_mode mode, bool output_is_terminal, bool no_color_set);

// The sequences of a terminal: the start of each colour and the return to plain text; all
// empty when the terminal has no colours (or colour is not wanted).
struct colour_codes {
    std::string red;
    std::string yellow;
    std::string green;
    std::string plain;
};

// The sequences of the terminal named by TERM for standard output, when colour is wanted
// (see colour_wanted, with the process's standard output and environment).
colour_codes terminal_colours(colour_mode mode);

// The text between `start` and codes.plain; the text alone when either is empty.
std::string coloured(const std::string& text, const std::string& start, const colour_codes& codes);
