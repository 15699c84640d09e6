// The text helpers over any bytes: the control-character filters leave only terminal-safe text
// and keep what was already safe, and the wide-character conversions round-trip.
#include "fuzz_checks.h"
#include "text/text.h"

#include <cstddef>
#include <cstdint>

namespace {

void check_filters(const std::string& input) {
    const std::string stripped = strip_control_chars(input);
    fuzz_require(terminal_safe(stripped), "strip_control_chars leaves terminal-safe text");
    fuzz_require(strip_control_chars(stripped) == stripped, "strip_control_chars is idempotent");
    fuzz_require(!terminal_safe(input) || stripped == input,
                 "strip_control_chars keeps text that is already safe");

    const std::string town = clean_town_name(input);
    fuzz_require(terminal_safe(town, false), "a town name has no control character");
    fuzz_require(town.empty() || (town.front() != ' ' && town.back() != ' '),
                 "a town name has no surrounding spaces");
    fuzz_require(clean_town_name(town) == town, "clean_town_name is idempotent");
}

void check_conversions(const std::string& input) {
    const std::wstring wide = to_wide(input);
    fuzz_require(wide.size() <= 40, "to_wide gives at most 40 characters");
    const std::string narrow = to_narrow(wide);
    fuzz_require(narrow.size() <= 40, "to_narrow gives at most 40 bytes");
    fuzz_require(input.compare(0, narrow.size(), narrow) == 0,
                 "the round trip gives a prefix of the input");
    const std::wstring again = to_wide(narrow);
    fuzz_require(wide.compare(0, again.size(), again) == 0,
                 "converting back gives a prefix of the wide text");
    fuzz_require(capitalize_town_name(wide).size() == wide.size(), "capitalising keeps the length");
    fuzz_require(lower_bytes(input).size() == input.size(), "lower_bytes keeps the length");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    set_polish_locale();
    polish_locale();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    check_filters(input);
    check_conversions(input);
    is_number(input, 10);
    is_number(input, 16);
    const std::string line = without_line_end_cr(input);
    fuzz_require(line.size() + 1 >= input.size(), "at most the one CR goes");
    return 0;
}
