#include "output/line_form.h"

#include "text/text.h"
#include "weather/reply_fields.h"

#include <algorithm>
#include <cstdlib>

namespace {

std::string lightning_part(const run_report& report) {
    const std::string radius = std::to_string(report.radius_km) + " km";
    if (!report.lightning) {
        return "brak danych o wyładowaniach";
    }
    const lightning_report& lightning = *report.lightning;
    if (lightning.count == 0) {
        return "brak wyładowań w " + radius;
    }
    std::string part = std::to_string(lightning.count) + " " +
                       plural_form(lightning.count, "wyładowanie", "wyładowania", "wyładowań") +
                       " w " + radius;
    if (lightning.distance_km) {
        part += ", najbliższe " + fixed_unsigned_zero(*lightning.distance_km, 1) + " km";
        if (!lightning.direction.empty()) {
            part += " " + lightning.direction;
        }
    }
    return part;
}

std::string warnings_part(const run_report& report) {
    if (!report.warnings) {
        return "ostrzeżenia: brak danych";
    }
    std::string part;
    for (std::size_t i = 0; i < hazard_count; ++i) {
        const std::string& level = report.warnings->levels[i];
        if (level == "0") {
            continue;
        }
        const std::optional<int> value = warning_level(level);
        part += (part.empty() ? "" : ", ") + std::string(warning_hazards[i].name) + " " +
                (value ? std::to_string(*value) : std::string("?"));
    }
    return part.empty() ? "bez ostrzeżeń" : part;
}

std::string town_part(const run_report& report) {
    switch (report.town_outcome) {
    case town_status::unknown:
        return "nieznana miejscowość";
    case town_status::failed:
        return "brak współrzędnych miejscowości";
    case town_status::found:
        break;
    }
    return lightning_part(report) + " | " + warnings_part(report);
}

struct stand_in {
    const char* letter;
    const char* ascii;
};

const stand_in polish_letters[] = {
    {"ą", "a"}, {"ć", "c"}, {"ę", "e"}, {"ł", "l"}, {"ń", "n"}, {"ó", "o"}, {"ś", "s"},
    {"ź", "z"}, {"ż", "z"}, {"Ą", "A"}, {"Ć", "C"}, {"Ę", "E"}, {"Ł", "L"}, {"Ń", "N"},
    {"Ó", "O"}, {"Ś", "S"}, {"Ź", "Z"}, {"Ż", "Z"}, {"°", ""},
};

} // namespace

std::string age_text(long age_s) {
    if (age_s < 60) {
        return "(sprzed " + std::to_string(age_s) + " s)";
    }
    return "(sprzed " + std::to_string(age_s / 60) + " min)";
}

const char* plural_form(long count, const char* one, const char* few, const char* many) {
    const long last = std::labs(count) % 10;
    const long last_two = std::labs(count) % 100;
    if (count == 1) {
        return one;
    }
    return (last >= 2 && last <= 4 && (last_two < 12 || last_two > 14)) ? few : many;
}

std::string ascii_stand_ins(const std::string& text) {
    std::string result;
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x80) {
            result += text[i++];
            continue;
        }
        std::size_t length = 1;
        while (i + length < text.size() &&
               (static_cast<unsigned char>(text[i + length]) & 0xC0) == 0x80) {
            ++length;
        }
        const std::string character = text.substr(i, length);
        std::string replacement = "?";
        for (const stand_in& letter : polish_letters) {
            if (character == letter.letter) {
                replacement = letter.ascii;
            }
        }
        result += replacement;
        i += length;
    }
    return result;
}

std::string report_line(const run_report& report, bool utf8) {
    std::string line = place_name(report) + ": " + town_part(report);
    if (report.weather && report.weather->temperature_c) {
        line += " | " + fixed_unsigned_zero(*report.weather->temperature_c, 1) + "°C";
    }
    const std::string approach = approach_text(report.approach, report.danger_km);
    if (report.approach_included && !approach.empty()) {
        line += " | " + approach;
    }
    if (const std::optional<long> age = oldest_stale_age(report)) {
        line += " " + age_text(*age);
    }
    // The records' texts are clean already; the line is made terminal-safe whatever they hold.
    line = strip_control_chars(line);
    std::replace(line.begin(), line.end(), '\n', ' ');
    std::replace(line.begin(), line.end(), '\t', ' ');
    return utf8 ? line : ascii_stand_ins(line);
}
