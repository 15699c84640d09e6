#include "storm/lightning.h"

#include "state/run_state.h"
#include "storm/reply_text.h"
#include "text/numbers.h"
#include "text/text.h"

namespace {

const char* const count_open = "<liczba xsi:type=\"xsd:int\">";
const char* const distance_open = "<odleglosc xsi:type=\"xsd:float\">";
const char* const direction_open = "<kierunek xsi:type=\"xsd:string\">";
const char* const period_open = "<okres xsi:type=\"xsd:int\">";

const char* const phrase_singular = "doziemne wyładowanie atmosferyczne";
const char* const phrase_plural = "doziemne wyładowania atmosferyczne";
const char* const phrase_genitive = "doziemnych wyładowań atmosferycznych";

// The value between `open_tag` and `close_tag`, without terminal control characters; empty
// when the reply has no `open_tag`.
std::string cut_value(const std::string& reply, const char* open_tag, const char* close_tag) {
    return strip_control_chars(tag_value(reply, open_tag, close_tag).value_or(""));
}

int digit_at(const std::string& text, std::size_t index) {
    return text[index] - '0';
}

} // namespace

std::string strike_phrase(const std::string& bolt_count) {
    const std::optional<int> count = count_value(bolt_count);
    if (!count) {
        return "";
    }
    const int n = *count;
    const std::size_t length = bolt_count.size();
    const int last = digit_at(bolt_count, length - 1);
    const bool last_two_to_four = last >= 2 && last <= 4;
    if (length == 1 && last == 1) {
        return phrase_singular;
    }
    if (length == 1 && last_two_to_four) {
        return phrase_plural;
    }
    const bool teen = length >= 3 && digit_at(bolt_count, length - 2) == 1;
    if ((n >= 5 && n <= 19) || teen || (n > 19 && last == 0) || last == 1 || last >= 5) {
        return phrase_genitive;
    }
    if (n > 19 && last_two_to_four) {
        return phrase_plural;
    }
    return "";
}

std::optional<lightning_report> extract_lightning(const std::string& reply) {
    lightning_report report;
    report.count_text = tag_value(reply, count_open, "</liczba>").value_or("");
    const std::optional<int> count = count_value(report.count_text);
    if (!count) {
        return std::nullopt;
    }
    report.count = *count;
    report.period_text = cut_value(reply, period_open, "</okres>");
    report.period_min = count_value(report.period_text);
    report.distance_text = cut_value(reply, distance_open, "</odleglosc>");
    report.distance_km = decimal_value(report.distance_text);
    report.direction = cut_value(reply, direction_open, "</kierunek>");
    return report;
}

std::string compass_name(const std::string& code) {
    const auto named = compass_names.find(code);
    return named == compass_names.end() ? "" : named->second;
}

std::string lightning_text(const lightning_report& report, int radius, const std::string& place) {
    const std::string where =
        " minut w promieniu " + std::to_string(radius) + " km od " + place + ".";
    if (report.count_text == "0") {
        return "\nNie zarejestrowano wyładowań atmosferycznych w ciągu ostatnich " +
               report.period_text + where + "\n";
    }
    return "\nZarejestrowano " + report.count_text + " " + strike_phrase(report.count_text) +
           " w ciągu ostatnich " + report.period_text + where +
           " \n\nNajbliższe wyładowanie w odległości " + report.distance_text + " km na " +
           compass_name(report.direction) + ".\n";
}

std::string lightning_failure_message(const std::string& host) {
    return "\nNie udało się pobrać danych o wyładowaniach atmosferycznych z serwera " + host +
           ".\n";
}
