#include "output/template_form.h"

#include "approach/approach.h"
#include "output/line_form.h"
#include "output/markup.h"
#include "output/ring.h"
#include "report/lightning_check.h"
#include "text/text.h"
#include "weather/reply_fields.h"

#include <algorithm>

namespace {

using value = std::optional<std::string>;

// The lightning record when it saw strikes.
const lightning_report* strikes_seen(const run_report& report) {
    return report.lightning && report.lightning->count > 0 ? &*report.lightning : nullptr;
}

value town(const template_facts& facts) {
    return place_name(facts.report);
}

value radius(const template_facts& facts) {
    return std::to_string(facts.report.radius_km);
}

value strikes(const template_facts& facts) {
    const auto& lightning = facts.report.lightning;
    return lightning ? value(std::to_string(lightning->count)) : std::nullopt;
}

value nearest(const template_facts& facts) {
    const lightning_report* seen = strikes_seen(facts.report);
    return seen && seen->distance_km ? value(fixed_unsigned_zero(*seen->distance_km, 1))
                                     : std::nullopt;
}

value direction(const template_facts& facts) {
    const lightning_report* seen = strikes_seen(facts.report);
    return seen && !seen->direction.empty() ? value(seen->direction) : std::nullopt;
}

value direction_name(const template_facts& facts) {
    const value code = direction(facts);
    const std::string name = code ? compass_point_name(*code) : std::string();
    return name.empty() ? std::nullopt : value(name);
}

value highest_level(const template_facts& facts) {
    const auto& warnings = facts.report.warnings;
    if (!warnings) {
        return std::nullopt;
    }
    int highest = 0;
    for (const std::string& level : warnings->levels) {
        highest = std::max(highest, warning_level(level).value_or(0));
    }
    return std::to_string(highest);
}

value hazards(const template_facts& facts) {
    const auto& warnings = facts.report.warnings;
    if (!warnings) {
        return std::nullopt;
    }
    std::string names;
    for (std::size_t i = 0; i < hazard_count; ++i) {
        if (warning_level(warnings->levels[i]).value_or(0) > 0) {
            names += (names.empty() ? "" : ",") + std::string(warning_hazards[i].name);
        }
    }
    return names.empty() ? std::nullopt : value(names);
}

value temperature(const template_facts& facts) {
    const auto& weather = facts.report.weather;
    return weather && weather->temperature_c
               ? value(fixed_unsigned_zero(*weather->temperature_c, 1))
               : std::nullopt;
}

value age(const template_facts& facts) {
    const run_report& report = facts.report;
    const std::pair<bool, long> parts[] = {
        {report.lightning.has_value(), report.lightning_age.age_s},
        {report.warnings.has_value(), report.warnings_age.age_s},
        {report.weather.has_value(), report.weather_age.age_s},
        {report.forecast.has_value(), report.forecast_age.age_s},
    };
    std::optional<long> oldest;
    for (const auto& [given, age_s] : parts) {
        if (given && (!oldest || age_s > *oldest)) {
            oldest = age_s;
        }
    }
    return oldest ? value(std::to_string(*oldest / 60)) : std::nullopt;
}

value approach_speed(const template_facts& facts) {
    const auto& estimate = facts.report.approach;
    return estimate ? value(std::to_string(approach_kmh(*estimate))) : std::nullopt;
}

value arrival(const template_facts& facts) {
    if (strikes_in_ring(facts.report)) {
        return value("0");
    }
    const auto& estimate = facts.report.approach;
    const std::optional<long> minutes = estimate ? arrival_min(*estimate) : std::nullopt;
    return minutes ? value(std::to_string(*minutes)) : std::nullopt;
}

value safe_minutes(const template_facts& facts) {
    const run_report& report = facts.report;
    return report.safe_at
               ? value(std::to_string(minutes_until_safe(static_cast<double>(*report.safe_at),
                                                         static_cast<double>(report.made_at))))
               : std::nullopt;
}

value state(const template_facts& facts) {
    const run_report& report = facts.report;
    if (!report.lightning) {
        return value("błąd");
    }
    const std::optional<long> stale_s = oldest_stale_age(report);
    return stale_s ? value("nieaktualne (" + std::to_string(*stale_s / 60) + " min)")
                   : std::nullopt;
}

value event(const template_facts& facts) {
    return facts.event.empty() ? std::nullopt : value(facts.event);
}

const template_placeholder* placeholder(char letter) {
    for (const template_placeholder& entry : template_placeholders()) {
        if (entry.letter == letter) {
            return &entry;
        }
    }
    return nullptr;
}

} // namespace

const std::vector<template_placeholder>& template_placeholders() {
    static const std::vector<template_placeholder> table = {
        {'t', "miejscowość (z --place nazwa miejsca)", town},
        {'k', "promień w km", radius},
        {'n', "liczba wyładowań", strikes},
        {'d', "odległość najbliższego wyładowania w km", nearest},
        {'D', "kierunek najbliższego wyładowania (NE)", direction},
        {'N', "kierunek najbliższego wyładowania po polsku", direction_name},
        {'w', "najwyższy stopień ostrzeżenia (0-3)", highest_level},
        {'W', "zagrożenia objęte ostrzeżeniami, po przecinku", hazards},
        {'T', "temperatura w °C", temperature},
        {'a', "wiek najstarszej części odpowiedzi w minutach", age},
        {'e', "zdarzenie sprawdzenia w czuwaniu (burza, blizej, spokoj)", event},
        {'s', "prędkość zbliżania się burzy w km/h (ujemna: oddala się)", approach_speed},
        {'E', "za ile minut burza będzie w strefie bezpieczeństwa", arrival},
        {'C', "za ile minut znów bezpiecznie (30 min po ostatnim wyładowaniu w strefie)",
         safe_minutes},
        {'x', "stan odpowiedzi: nieaktualne (N min), błąd albo nic", state},
    };
    return table;
}

std::optional<std::string> template_error(const std::string& format) {
    bool in_group = false;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            continue;
        }
        if (i + 1 == format.size()) {
            return std::string("szablon --format kończy się znakiem %");
        }
        const char letter = format[++i];
        if (letter == '[' && in_group) {
            return std::string("grupy %[ %] w szablonie --format nie mogą się zagnieżdżać");
        }
        if (letter == ']' && !in_group) {
            return std::string("w szablonie --format %] nie zamyka grupy %[");
        }
        if (letter == '[' || letter == ']') {
            in_group = letter == '[';
        } else if (letter != '%' && placeholder(letter) == nullptr) {
            return std::string("nieznane pole szablonu --format: %") + letter;
        }
    }
    if (in_group) {
        return std::string("w szablonie --format grupa %[ nie ma zamknięcia %]");
    }
    return std::nullopt;
}

namespace {

// The line of a template being filled in. An empty placeholder (or group) leaves no doubled
// space and no trailing one behind it.
struct template_filler {
    std::string line;
    bool after_empty = false;

    void literal(char c) {
        if (c == ' ' && after_empty && (line.empty() || line.back() == ' ')) {
            return;
        }
        line += c;
        after_empty = after_empty && c == ' ';
    }
    void filled(const value& text) {
        if (text && !text->empty()) {
            const bool space_before = after_empty && (line.empty() || line.back() == ' ');
            line += space_before && text->front() == ' ' ? text->substr(1) : *text;
            after_empty = false;
        } else {
            after_empty = true;
        }
    }
    std::string done() {
        if (after_empty) {
            line.erase(line.find_last_not_of(' ') + 1);
        }
        return line;
    }
};

// How a template is filled in: the records, the markup its fields are made safe for, and
// whether the line is UTF-8.
struct fill_rules {
    const template_facts& facts;
    markup escape;
    bool utf8;
};

// The text of `format` from `i` to the end of its group ("%]") or of the template; `i` is left
// after it. Inside a group, nothing when any placeholder is empty.
value filled_part(const std::string& format, std::size_t& i, const fill_rules& rules, bool group) {
    template_filler filler;
    bool complete = true;
    for (; i < format.size(); ++i) {
        if (format[i] != '%' || i + 1 == format.size()) {
            filler.literal(format[i]);
            continue;
        }
        const char letter = format[++i];
        if (letter == ']' && group) {
            ++i;
            break;
        }
        if (letter == '%') {
            filler.literal('%');
        } else if (letter == '[') {
            filler.filled(filled_part(format, ++i, rules, true));
            --i;
        } else if (const template_placeholder* entry = placeholder(letter)) {
            const value text = entry->value(rules.facts);
            complete = complete && text && !text->empty();
            filler.filled(text ? value(markup_escaped(rules.escape, *text, rules.utf8)) : text);
        }
    }
    return group && !complete ? std::nullopt : value(filler.done());
}

} // namespace

std::string template_line(const std::string& format, const template_facts& facts, bool utf8,
                          markup escape) {
    std::size_t i = 0;
    const fill_rules rules{facts, escape, utf8};
    return one_safe_line(filled_part(format, i, rules, false).value_or(std::string()), utf8);
}

std::string one_safe_line(const std::string& text, bool utf8) {
    std::string line = strip_control_chars(text);
    std::replace(line.begin(), line.end(), '\n', ' ');
    std::replace(line.begin(), line.end(), '\t', ' ');
    return utf8 ? line : ascii_stand_ins(line);
}
