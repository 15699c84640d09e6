// Records of any content through the machine-readable formatters: the JSON document parses
// back with the same facts, and the line is one line of terminal-safe text.
#include "fuzz_checks.h"
#include "output/json_form.h"
#include "output/line_form.h"
#include "state/run_state.h"
#include "text/text.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>

namespace {

std::string text(FuzzedDataProvider& input) {
    return input.ConsumeRandomLengthString(64);
}

template <typename T> std::optional<T> maybe(FuzzedDataProvider& input, T value) {
    return input.ConsumeBool() ? std::optional<T>(value) : std::nullopt;
}

run_report make_report(FuzzedDataProvider& input) {
    run_report report;
    report.town_outcome = static_cast<town_status>(input.ConsumeIntegralInRange(0, 2));
    report.town.name = text(input);
    report.town.typed = text(input);
    report.town.latitude = maybe(input, input.ConsumeFloatingPoint<double>());
    report.radius_km = input.ConsumeIntegralInRange(5, 100);
    if (input.ConsumeBool()) {
        lightning_report lightning;
        lightning.count = input.ConsumeIntegralInRange(0, 1 << 30);
        lightning.count_text = std::to_string(lightning.count);
        lightning.distance_km = maybe(input, input.ConsumeFloatingPoint<double>());
        lightning.direction = text(input);
        report.lightning = lightning;
    }
    if (input.ConsumeBool()) {
        warnings_report warnings;
        for (std::string& level : warnings.levels) {
            level = text(input);
        }
        report.warnings = warnings;
    }
    report.weather_included = input.ConsumeBool();
    if (report.weather_included && input.ConsumeBool()) {
        current_weather weather;
        weather.temperature_c = maybe(input, input.ConsumeFloatingPoint<double>());
        weather.time = maybe<std::time_t>(input, input.ConsumeIntegral<std::int32_t>());
        weather.bearing_deg = maybe(input, input.ConsumeFloatingPoint<double>());
        weather.description = maybe(input, text(input));
        report.weather = weather;
    }
    report.weather_age =
        freshness{input.ConsumeIntegralInRange<long>(0, 1L << 40), input.ConsumeBool()};
    report.errors.push_back({"weather", text(input)});
    return report;
}

bool well_formed_utf8(const std::string& value) {
    for (std::size_t at = 0, length = 0; at < value.size(); at += length) {
        if (decode_utf8(value, at, length) < 0) {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    set_polish_locale();
    polish_locale();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const run_report report = make_report(input);

    const std::string document = document_text(report_document(report));
    fuzz_require(well_formed_utf8(document), "the document is UTF-8");
    Json::Value parsed;
    Json::Reader reader;
    fuzz_require(reader.parse(document, parsed), "the document parses");
    fuzz_require(parsed["radius_km"].asInt() == report.radius_km, "the radius survives");
    fuzz_require(parsed["lightning"].isNull() == !report.lightning, "the lightning part is there");
    fuzz_require(document.find('\n') == std::string::npos, "the document is one line");

    const std::string line = report_line(report, true);
    fuzz_require(terminal_safe(line) && line.find('\n') == std::string::npos,
                 "the line is one terminal-safe line");
    const std::string ascii = report_line(report, false);
    for (char c : ascii) {
        fuzz_require(static_cast<unsigned char>(c) < 0x80, "the ASCII line is ASCII");
    }
    return 0;
}
