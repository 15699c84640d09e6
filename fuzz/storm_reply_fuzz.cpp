// The storm service's reply texts, as the client hands them on, through the value extractors
// and the three reports: whatever the reply, the reports are terminal-safe text.
#include "fuzz_checks.h"
#include "state/run_state.h"
#include "storm/lightning.h"
#include "storm/reply_text.h"
#include "storm/town_lookup.h"
#include "storm/warnings.h"
#include "text/text.h"

#include <cstddef>
#include <cstdint>

namespace {

void check_lightning(const std::string& reply) {
    if (const auto report = extract_lightning(reply)) {
        fuzz_require(terminal_safe(lightning_text(*report, 30, "Kraków")),
                     "the lightning report is terminal-safe");
    }
    const std::string phrase = strike_phrase(reply);
    fuzz_require(phrase.empty() || reply.find_first_not_of("0123456789") == std::string::npos,
                 "only a run of digits gets a strike phrase");
}

void check_town_and_warnings(const std::string& reply) {
    const auto coordinates = extract_coordinates(reply);
    std::string y = "50.0614";
    std::string x = "19.9366";
    if (coordinates) {
        y = coordinates->y;
        x = coordinates->x;
        fuzz_require(y.find_first_not_of("-.0123456789") == std::string::npos &&
                         x.find_first_not_of("-.0123456789") == std::string::npos,
                     "coordinates are decimal numbers");
    }
    coordinate_value(y);
    coordinate_value(reply);
    fuzz_require(terminal_safe(format_warnings_report(reply, "Kraków", y, x)),
                 "the warnings report is terminal-safe");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    set_polish_locale();
    polish_locale();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string reply(reinterpret_cast<const char*>(data), size);
    check_lightning(reply);
    check_town_and_warnings(reply);
    const auto value = tag_value(reply, "<y>", "</y>");
    fuzz_require(!value || reply.find(*value) != std::string::npos,
                 "a tag's value is a piece of the reply");
    return 0;
}
