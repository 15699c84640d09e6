// What every fuzz target asserts about text meant for the terminal, written apart from the
// program's own filter so that a fault in one is not hidden by the same fault in the other.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

// Stops the run with the message: libFuzzer records the input as a crash.
inline void fuzz_require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "property violated: %s\n", what);
        std::abort();
    }
}

// The code point of the well-formed UTF-8 character at `at`, its length in `length`; -1 when
// the bytes there are no shortest-form encoding of a scalar value.
inline long decode_utf8(const std::string& text, std::size_t at, std::size_t& length) {
    const auto lead = static_cast<unsigned char>(text[at]);
    length = lead < 0x80           ? 1
             : (lead >> 5) == 0x6  ? 2
             : (lead >> 4) == 0xE  ? 3
             : (lead >> 3) == 0x1E ? 4
                                   : 0;
    if (length == 0 || at + length > text.size()) {
        return -1;
    }
    long code = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next >> 6) != 0x2) {
            return -1;
        }
        code = (code << 6) | (next & 0x3F);
    }
    const long shortest[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code < shortest[length] || code > 0x10FFFF || surrogate ? -1 : code;
}

// Well-formed UTF-8 without control characters; tab and line feed only where allowed.
inline bool terminal_safe(const std::string& text, bool tab_and_line_feed = true) {
    for (std::size_t i = 0, length = 0; i < text.size(); i += length) {
        const long code = decode_utf8(text, i, length);
        const bool allowed_space = tab_and_line_feed && (code == '\t' || code == '\n');
        const bool control = code < 0x20 || (code >= 0x7F && code <= 0x9F);
        if (code < 0 || (control && !allowed_space)) {
            return false;
        }
    }
    return true;
}
