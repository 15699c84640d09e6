#include "text/text.h"

#include "service/journal.h"
#include "text/system_error.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <iostream>
#include <locale.h>

namespace {

// The first of the names that the system has installed, or "C.UTF-8".
const char* installed_locale(const char* wanted) {
    locale_t probe = newlocale(LC_ALL_MASK, wanted, static_cast<locale_t>(nullptr));
    if (probe == static_cast<locale_t>(nullptr)) {
        return "C.UTF-8";
    }
    freelocale(probe);
    return wanted;
}

bool is_separator(wchar_t c) {
    return c == L' ' || c == L'-';
}

bool in_range(unsigned char byte, unsigned lowest, unsigned highest) {
    return byte >= lowest && byte <= highest;
}

// The length of the well-formed UTF-8 character at `at` (RFC 3629: no overlong forms, no
// surrogates, nothing above U+10FFFF), or 0 when the bytes there do not form one.
std::size_t utf8_character_length(const std::string& text, std::size_t at) {
    const auto byte = [&](std::size_t i) {
        return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0u;
    };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned second_low = 0x80;
    unsigned second_high = 0xBF;
    if (in_range(lead, 0xC2, 0xDF)) {
        length = 2;
    } else if (in_range(lead, 0xE0, 0xEF)) {
        length = 3;
        second_low = lead == 0xE0 ? 0xA0 : 0x80;
        second_high = lead == 0xED ? 0x9F : 0xBF;
    } else if (in_range(lead, 0xF0, 0xF4)) {
        length = 4;
        second_low = lead == 0xF0 ? 0x90 : 0x80;
        second_high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (!in_range(byte(1), second_low, second_high)) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (!in_range(byte(i), 0x80, 0xBF)) {
            return 0;
        }
    }
    return length;
}

// C0 controls, DEL, and the C1 controls U+0080-U+009F (encoded C2 80 to C2 9F).
bool is_control(const std::string& character) {
    const auto lead = static_cast<unsigned char>(character[0]);
    if (character.size() == 1) {
        return lead < 0x20 || lead == 0x7F;
    }
    return lead == 0xC2 && static_cast<unsigned char>(character[1]) <= 0x9F;
}

// The well-formed UTF-8 characters of the text for which `keep` holds; every byte that does
// not belong to a well-formed character is dropped.
template <typename Keep> std::string keep_characters(const std::string& text, Keep keep) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8_character_length(text, i);
        if (length == 0) {
            ++i;
            continue;
        }
        const std::string character = text.substr(i, length);
        if (keep(character)) {
            result += character;
        }
        i += length;
    }
    return result;
}

// The characters of the text as code points, capitals of ASCII, Latin-1 and Latin Extended-A
// (all of Polish) as their small letters; a byte outside a well-formed character stands alone.
std::vector<char32_t> folded_characters(const std::string& text) {
    std::vector<char32_t> folded;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = std::max<std::size_t>(utf8_character_length(text, i), 1);
        char32_t c = static_cast<unsigned char>(text[i]);
        if (length > 1) {
            c &= 0xFFu >> (length + 1);
            for (std::size_t k = 1; k < length; ++k) {
                c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
            }
        }
        const bool even = c % 2 == 0;
        if ((c >= U'A' && c <= U'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) {
            c += 0x20;
        } else if ((c >= 0x100 && c <= 0x137 && even) || (c >= 0x14A && c <= 0x177 && even) ||
                   (c >= 0x139 && c <= 0x148 && !even) || (c >= 0x179 && c <= 0x17E && !even)) {
            c += 1;
        }
        folded.push_back(c);
        i += length;
    }
    return folded;
}

// The edits between two texts: a character inserted, deleted, changed, or two neighbours
// swapped, one edit each.
std::size_t edit_distance(const std::vector<char32_t>& a, const std::vector<char32_t>& b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) {
        d[i][0] = i;
    }
    for (std::size_t j = 0; j <= b.size(); ++j) {
        d[0][j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t changed = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + changed});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

} // namespace

std::optional<std::string> nearest_name(const std::string& word,
                                        const std::vector<std::string>& names) {
    const std::vector<char32_t> typed = folded_characters(word);
    // One slip in a short word, one more for every four characters.
    std::size_t best = 1 + typed.size() / 4;
    std::optional<std::string> nearest;
    for (const std::string& name : names) {
        const std::size_t distance = edit_distance(typed, folded_characters(name));
        if (name != word && (distance < best || (distance == best && !nearest))) {
            best = distance;
            nearest = name;
        }
    }
    return nearest;
}

void set_polish_locale() {
    static const char* const name = installed_locale("pl_PL.utf8");
    std::setlocale(LC_ALL, name);
}

void set_english_locale() {
    static const char* const name = installed_locale("en_US.utf8");
    std::setlocale(LC_ALL, name);
}

const std::locale& polish_locale() {
    // Built only from a name that newlocale accepted, so the constructor does not throw.
    static const std::locale loc(installed_locale("pl_PL.UTF-8"));
    return loc;
}

std::wstring to_wide(const std::string& text) {
    set_polish_locale();
    wchar_t buffer[42] = {};
    // On text that is not valid UTF-8 mbstowcs stops at the bad byte and reports an error;
    // the characters converted before it stay in the zeroed buffer and are returned.
    std::mbstowcs(buffer, text.c_str(), 40);
    return std::wstring(buffer);
}

std::string to_narrow(const std::wstring& text) {
    set_polish_locale();
    char buffer[41] = {};
    // wcstombs never writes a character that does not fit whole into the 40 bytes; on a
    // character without a UTF-8 form it stops there, and the bytes written before it are kept.
    std::wcstombs(buffer, text.c_str(), 40);
    return std::string(buffer);
}

std::wstring capitalize_town_name(std::wstring name) {
    if (name.empty()) {
        return name;
    }
    const auto& facet = std::use_facet<std::ctype<wchar_t>>(polish_locale());
    name[0] = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(name[0])));
    for (std::size_t i = 1; i < name.size(); ++i) {
        name[i] = facet.tolower(name[i]);
    }
    for (std::size_t k = 1; k + 1 < name.size(); ++k) {
        if (is_separator(name[k])) {
            name[k + 1] = facet.toupper(name[k + 1]);
        }
    }
    return name;
}

bool is_number(const std::string& text, int base) {
    static const std::string digits = "0123456789ABCDEF";
    const std::size_t allowed = base < 0 ? 0 : std::min<std::size_t>(base, 16);
    return text.find_first_not_of(digits.substr(0, allowed)) == std::string::npos;
}

std::string lower_bytes(std::string text) {
    const auto& facet = std::use_facet<std::ctype<char>>(polish_locale());
    facet.tolower(&text[0], &text[0] + text.size());
    return text;
}

std::string strip_control_chars(const std::string& text) {
    return keep_characters(text, [](const std::string& character) {
        return character == "\t" || character == "\n" || !is_control(character);
    });
}

std::string clean_town_name(const std::string& text) {
    const std::string kept =
        keep_characters(text, [](const std::string& character) { return !is_control(character); });
    const std::size_t first = kept.find_first_not_of(' ');
    if (first == std::string::npos) {
        return std::string();
    }
    return kept.substr(first, kept.find_last_not_of(' ') - first + 1);
}

std::string without_line_end_cr(std::string line) {
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

int check_standard_output(int status) {
    errno = 0;
    std::cout.flush();
    const bool flushed = std::fflush(stdout) == 0;
    const int error = errno;
    if (flushed && std::cout.good() && std::ferror(stdout) == 0) {
        return status;
    }
    tell_error_stream(std::string("nimbrovator: błąd zapisu na standardowe wyjście") +
                          (error != 0 ? ": " : "") + (error != 0 ? system_error_text(error) : ""),
                      line_priority::error);
    return 1;
}

void print_lines(const std::string& text) {
    std::size_t start = 0;
    for (std::size_t end = text.find('\n'); end != std::string::npos;
         start = end + 1, end = text.find('\n', start)) {
        std::cout.write(text.data() + start, static_cast<std::streamsize>(end - start + 1));
        std::cout.flush();
    }
    std::cout.write(text.data() + start, static_cast<std::streamsize>(text.size() - start));
    std::cout.flush();
}

int requested_radius(const std::string& argument) {
    if (argument.empty() || !is_number(argument, 10)) {
        return 25;
    }
    errno = 0;
    const long value = std::strtol(argument.c_str(), nullptr, 10);
    if (errno == ERANGE || value > INT_MAX) {
        return 25;
    }
    return static_cast<int>(value);
}
