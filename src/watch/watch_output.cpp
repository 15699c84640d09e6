#include "watch/watch_output.h"

#include "storm/storm_client.h"
#include "weather/current_weather.h"
#include "weather/reply_fields.h"
#include "weather/weather_fetch.h"

#include <unistd.h>

#include <cmath>
#include <iostream>

namespace {

std::string distance_text(const std::optional<double>& km) {
    return km ? fixed(*km, 1) + " km" : std::string("? km");
}

std::string nearest_text(const watch_check& check) {
    std::string text = "najbliższe " + distance_text(check.nearest_km);
    return check.direction.empty() ? text : text + " " + check.direction;
}

const char* part_name(const std::string& source) {
    if (source == "lightning") {
        return "wyładowania";
    }
    if (source == "warnings") {
        return "ostrzeżenia";
    }
    if (source == "town") {
        return "współrzędne";
    }
    return source == "forecast" ? "prognoza" : "pogoda";
}

bool from_storm_service(const std::string& source) {
    return source == "lightning" || source == "warnings" || source == "town";
}

std::string server_parts(const std::vector<std::string>& sources, bool storm) {
    std::string parts;
    for (const std::string& source : sources) {
        if (from_storm_service(source) == storm) {
            parts += (parts.empty() ? "" : ", ") + std::string(part_name(source));
        }
    }
    if (parts.empty()) {
        return "";
    }
    const std::string host = storm ? storm_host() : weather_host();
    return "serwer " + host + " (" + parts + ")";
}

} // namespace

std::string clock_time(std::time_t time) {
    return format_local_time(time, "%H:%M:%S");
}

void print_line(const std::string& line, line_priority priority) {
    static const bool journal = is_journal_stream(STDOUT_FILENO);
    std::cout << with_priority(line, priority, journal) << '\n' << std::flush;
}

std::string check_note(watch_trend trend, const std::string& approach) {
    if (!approach.empty()) {
        return approach;
    }
    switch (trend) {
    case watch_trend::approaching:
        return "zbliża się";
    case watch_trend::receding:
        return "oddala się";
    case watch_trend::steady:
        return "bez zmian";
    case watch_trend::none:
        break;
    }
    return "";
}

std::string check_line(const std::string& report_line, watch_trend trend,
                       const std::string& approach) {
    const std::string note = check_note(trend, approach);
    return note.empty() ? report_line : report_line + " | " + note;
}

std::string event_line(watch_event event, const event_facts& facts) {
    const std::string where =
        " w promieniu " + std::to_string(facts.radius_km) + " km od " + facts.where;
    std::string text;
    switch (event) {
    case watch_event::storm:
        text = "BURZA: wyładowania" + where + ", " + nearest_text(facts.check);
        break;
    case watch_event::closer:
        text = "BLIŻEJ: " + nearest_text(facts.check) + " (wcześniej " +
               distance_text(facts.previous_km) + ")";
        break;
    case watch_event::all_clear: {
        // Strikes may go on farther out than the ring: the all-clear speaks of the ring then.
        const std::string ring = " w promieniu " + std::to_string(std::lround(facts.danger_km)) +
                                 " km od " + facts.where;
        text = "SPOKÓJ: od " + wait_text(facts.clear_after_min * 60) + " brak wyładowań" +
               (facts.storm_reached_ring ? ring : where);
        break;
    }
    case watch_event::within_ring:
        text = "BLISKO: burza w promieniu " + std::to_string(std::lround(facts.danger_km)) +
               " km: schroń się; " + nearest_text(facts.check);
        break;
    case watch_event::none:
        return "";
    }
    const std::string approach = event == watch_event::all_clear
                                     ? std::string()
                                     : approach_text(facts.approach, facts.danger_km);
    return "*** " + text + (approach.empty() ? "" : "; " + approach) + " ***";
}

std::vector<std::string> event_environment(watch_event event, const event_facts& facts) {
    const watch_check& check = facts.check;
    const std::optional<long> arrival =
        facts.approach ? arrival_min(*facts.approach) : std::nullopt;
    return {
        std::string("NIMBROVATOR_EVENT=") + event_id(event),
        "NIMBROVATOR_TOWN=" + facts.town,
        "NIMBROVATOR_RADIUS_KM=" + std::to_string(facts.radius_km),
        "NIMBROVATOR_STRIKES=" + std::to_string(check.strikes),
        "NIMBROVATOR_DISTANCE_KM=" + (check.strikes > 0 && check.nearest_km
                                          ? fixed_unsigned_zero(*check.nearest_km, 1)
                                          : std::string()),
        "NIMBROVATOR_DIRECTION=" + (check.strikes > 0 ? check.direction : std::string()),
        "NIMBROVATOR_ETA_MIN=" + (arrival ? std::to_string(*arrival) : std::string()),
        "NIMBROVATOR_APPROACH_KMH=" +
            (facts.approach ? std::to_string(approach_kmh(*facts.approach)) : std::string()),
        "NIMBROVATOR_PLACE=" + facts.place,
    };
}

std::string failed_services(const std::vector<std::string>& sources) {
    const std::string storm = server_parts(sources, true);
    const std::string weather = server_parts(sources, false);
    return storm.empty() || weather.empty() ? storm + weather : storm + "; " + weather;
}

std::string wait_text(double seconds) {
    if (seconds < 60) {
        return fixed(seconds, seconds < 10 && std::fmod(seconds, 1) != 0 ? 1 : 0) + " s";
    }
    const double minutes = seconds / 60;
    return fixed(minutes, std::fmod(minutes, 1) != 0 ? 1 : 0) + " min";
}
