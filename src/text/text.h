// Text and encoding helpers for Polish UTF-8 text.
#pragma once

#include <locale>
#include <optional>
#include <string>
#include <vector>

// Sets the process locale (all categories) to "pl_PL.utf8", or to "C.UTF-8" when the Polish
// locale is not installed, so that wide-character conversions still handle UTF-8.
void set_polish_locale();
// Sets the process locale to "en_US.utf8" (or "C.UTF-8" when it is missing); JSON is parsed
// under it.
void set_english_locale();
// The std::locale for "pl_PL.UTF-8", or for "C.UTF-8" when the Polish locale is missing.
const std::locale& polish_locale();

// UTF-8 to wide characters under the Polish process locale, at most 40 characters.
std::wstring to_wide(const std::string& text);
// Wide characters to UTF-8 under the Polish process locale, at most 40 bytes.
std::string to_narrow(const std::wstring& text);
// The town-name rule: first character upper-cased, the rest lower-cased, and every character
// that follows a space or a hyphen (from the third character on) upper-cased again.
std::wstring capitalize_town_name(std::wstring name);
// True when every character of the text is one of the first min(base, 16) characters of
// "0123456789ABCDEF"; true for the empty text.
bool is_number(const std::string& text, int base);

// Lower-cases each byte with the single-byte ctype of the Polish locale: under UTF-8 only the
// ASCII letters change, every byte of a multi-byte character stays.
std::string lower_bytes(std::string text);
// Drops terminal control characters (C0 but tab and line feed, DEL, and the C1 characters
// U+0080-U+009F) and every byte that is not part of a valid UTF-8 character from text received
// from a service.
std::string strip_control_chars(const std::string& text);
// A town name as typed or given: every control character (tab and line feed too) and invalid
// byte removed, then the surrounding white space.
std::string clean_town_name(const std::string& text);
// Of `names`, the one nearest to `word` (a typing slip: letters missing, added, changed or
// swapped, letter case not counted), for "czy chodziło o …?"; none when each is farther than
// a slip or two.
std::optional<std::string> nearest_name(const std::string& word,
                                        const std::vector<std::string>& names);
// The line without the carriage return that ends it, as in input typed with CR LF line ends.
std::string without_line_end_cr(std::string line);

// Standard output is flushed and checked at exit: when anything written to it was lost, a
// message goes to standard error and the run's status becomes 1, as nothing reached the reader.
int check_standard_output(int status);

// Writes the text to standard output, flushing after every line end: output appears line by
// line even when standard output is not a terminal.
void print_lines(const std::string& text);

// The radius asked for by a second command-line argument: its value when it is made only of
// decimal digits and fits an int, else 25.
int requested_radius(const std::string& argument);
