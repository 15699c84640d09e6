#include "storm/lightning.h"

#include "app/run_state.h"
#include "storm/reply_text.h"
#include "storm/storm_client.h"
#include "text/text.h"

#include <climits>
#include <iostream>

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

// Reads `text` into `n` when it is a non-empty run of decimal digits whose value fits in an
// int; false otherwise.
bool read_count(const std::string& text, int& n) {
    if (text.empty()) {
        return false;
    }
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
        if (value > INT_MAX) {
            return false;
        }
    }
    n = static_cast<int>(value);
    return true;
}

int digit_at(const std::string& text, std::size_t index) {
    return text[index] - '0';
}

} // namespace

std::string strike_phrase(const std::string& bolt_count) {
    int n = 0;
    if (!read_count(bolt_count, n)) {
        return "";
    }
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

int format_lightning_report(const std::string& reply, int radius, const std::string& city,
                            std::string& text) {
    text.clear();
    const std::string bolt_count = tag_value(reply, count_open, "</liczba>").value_or("");
    const std::string bolt_period = cut_value(reply, period_open, "</okres>");
    const std::string where =
        " minut w promieniu " + std::to_string(radius) + " km od miejscowości " + city + ".";
    if (bolt_count == "0") {
        text = "\nNie zarejestrowano wyładowań atmosferycznych w ciągu ostatnich " + bolt_period +
               where + "\n";
        return 0;
    }
    int n = 0;
    if (!read_count(bolt_count, n)) {
        return 1;
    }
    const std::string bolt_distance = cut_value(reply, distance_open, "</odleglosc>");
    const std::string bolt_direction = cut_value(reply, direction_open, "</kierunek>");
    const auto named = compass_names.find(bolt_direction);
    const std::string direction_name = named == compass_names.end() ? "" : named->second;
    text = "\nZarejestrowano " + bolt_count + " " + strike_phrase(bolt_count) +
           " w ciągu ostatnich " + bolt_period + where +
           " \n\nNajbliższe wyładowanie w odległości " + bolt_distance + " km na " +
           direction_name + ".\n";
    return 0;
}

std::string lightning_failure_message(const std::string& host) {
    return "\nNie udało się pobrać danych o wyładowaniach atmosferycznych z serwera " + host +
           ".\n";
}

int get_storm(std::string y, std::string x, int radius) {
    std::string reply;
    prepare_storm_request();
    finish_storm_call(call_szukaj_burzy(y, x, radius, reply));
    std::string text;
    const int result = format_lightning_report(reply, radius, city, text);
    if (result != 0) {
        text = lightning_failure_message(storm_host());
    }
    print_lines(text);
    return result;
}
