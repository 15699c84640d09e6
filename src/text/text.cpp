#include "text/text.h"

#include <algorithm>
#include <clocale>
#include <cstdlib>
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

} // namespace

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
    std::string result;
    result.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool control = (byte <= 0x08) || (byte >= 0x0B && byte <= 0x1F) || byte == 0x7F;
        if (!control) {
            result += c;
        }
    }
    return result;
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
