#include "output/waybar_form.h"

#include "approach/approach.h"
#include "output/line_form.h"
#include "output/template_form.h"
#include "report/lightning_check.h"
#include "weather/current_weather.h"
#include "weather/reply_fields.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace {

bool has_strikes(const run_report& report) {
    return report.lightning && report.lightning->count > 0;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// The text with no minus before a number that shows as zero ("-0.0°C" -> "0.0°C").
std::string without_minus_zero(std::string text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '-' || (i > 0 && (is_digit(text[i - 1]) || text[i - 1] == '.'))) {
            continue;
        }
        std::size_t end = i + 1;
        while (end < text.size() && text[end] == '0') {
            ++end;
        }
        if (end == i + 1) {
            continue;
        }
        if (end + 1 < text.size() && text[end] == '.' && text[end + 1] == '0') {
            ++end;
            while (end < text.size() && text[end] == '0') {
                ++end;
            }
        }
        if (end == text.size() || (!is_digit(text[end]) && text[end] != '.')) {
            text.erase(i, 1);
        }
    }
    return text;
}

// The lines of a report text that say something, each made one safe line.
void append_lines(std::string& tooltip, const std::string& text) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        line = without_minus_zero(one_safe_line(line, true));
        line.erase(line.find_last_not_of(' ') + 1);
        if (!line.empty()) {
            tooltip += (tooltip.empty() ? "" : "\n") + line;
        }
    }
}

std::string town_name(const run_report& report) {
    return report.town.name.empty() ? report.town.typed : report.town.name;
}

// The lightning report's text, its nearest strike from the checked record: "B/D" for a distance
// that is not known, no direction for one that is not.
std::string lightning_lines(const run_report& report) {
    const lightning_report& lightning = *report.lightning;
    std::string text = lightning_text(lightning, report.radius_km, place_reference(report));
    const std::size_t nearest = text.find("\nNajbliższe ");
    if (nearest == std::string::npos) {
        return text;
    }
    text.erase(nearest + 1);
    text += "Najbliższe wyładowanie w odległości ";
    text += lightning.distance_km ? fixed_unsigned_zero(*lightning.distance_km, 1) + " km"
                                  : std::string("B/D");
    const std::string name = compass_point_name(lightning.direction);
    return text + (name.empty() ? "" : " na " + name) + ".";
}

// A figure of the forecast, "B/D" when the reply did not give it.
template <typename T>
std::string figure(const std::optional<T>& value, int decimals, const char* unit) {
    if (!value) {
        return "B/D";
    }
    return (decimals < 0 ? std::to_string(static_cast<long>(*value))
                         : fixed(static_cast<double>(*value), decimals)) +
           unit;
}

// The forecast a day a line; the description carries over from the day before.
std::string forecast_lines(const std::vector<forecast_entry>& days) {
    std::string text =
        "Prognoza:\n(data, temperatura, wilgotność, ciśnienie, wiatr, deszcz, pogoda)";
    std::string description;
    for (const forecast_entry& day : days) {
        if (day.description) {
            description = *day.description;
        }
        text += "\n" + (day.time ? format_forecast_date(*day.time) : std::string("B/D")) + " ";
        text += figure(day.min_c, 1, "") + "-" + figure(day.max_c, 1, "°C") + ", ";
        text += figure(day.humidity_pct, -1, "%") + ", " + figure(day.pressure_hpa, -1, " hPa");
        text += ", " + figure(day.wind_kmh, 1, " km/h");
        text += day.rain_mm ? ", " + fixed(*day.rain_mm, 1) + " mm/3h" : ""; // none: no rain
        text += description.empty() ? "" : ", " + description;
    }
    return text;
}

} // namespace

std::vector<std::string> waybar_classes(const run_report& report) {
    std::vector<std::string> classes;
    if (has_strikes(report)) {
        classes.push_back("storm");
        const auto& distance = report.lightning->distance_km;
        if (distance && *distance <= near_strike_km) {
            classes.push_back("near");
        }
    }
    if (report.warnings) {
        for (const std::string& level : report.warnings->levels) {
            if (warning_level(level).value_or(0) >= 2) {
                classes.push_back("warning");
                break;
            }
        }
    }
    if (oldest_stale_age(report)) {
        classes.push_back("stale");
    }
    if (!report.errors.empty() || !report.lightning) {
        classes.push_back("error");
    }
    if (report.lightning && report.lightning->count == 0) {
        classes.push_back("calm");
    }
    return classes;
}

int closeness_percentage(const run_report& report) {
    if (!has_strikes(report) || !report.lightning->distance_km || report.radius_km <= 0) {
        return 0;
    }
    const double share = 1 - *report.lightning->distance_km / report.radius_km;
    return static_cast<int>(std::lround(std::clamp(share, 0.0, 1.0) * 100));
}

std::string waybar_tooltip(const run_report& report) {
    std::string tooltip;
    const std::string town = town_name(report);
    if (report.lightning) {
        append_lines(tooltip, lightning_lines(report));
    }
    const std::string approach = approach_text(report.approach, report.danger_km);
    if (!approach.empty()) {
        append_lines(tooltip, "Burza " + approach + ".");
    }
    if (report.safe_at) {
        append_lines(tooltip,
                     "Bezpiecznie za ~" +
                         std::to_string(minutes_until_safe(static_cast<double>(*report.safe_at),
                                                           static_cast<double>(report.made_at))) +
                         " min (" +
                         format_local_time(static_cast<std::time_t>(*report.safe_at), "%H:%M") +
                         ").");
    }
    if (report.warnings) {
        append_lines(tooltip, warnings_text(*report.warnings, town, report.town.y, report.town.x));
    }
    if (report.weather) {
        append_lines(tooltip, "Pogoda teraz:\n" + current_weather_text(*report.weather));
    }
    if (report.forecast) {
        append_lines(tooltip, forecast_lines(*report.forecast));
    }
    // Each failure once: the two parts of a service fail alike (a refused connection, a
    // rejected key) and say so in the same words.
    std::vector<std::string> told;
    for (const report_error& error : report.errors) {
        if (std::find(told.begin(), told.end(), error.message) == told.end()) {
            told.push_back(error.message);
            append_lines(tooltip, error.message);
        }
    }
    if (const std::optional<long> age = oldest_stale_age(report)) {
        append_lines(tooltip,
                     "Dane z pamięci podręcznej " + age_text(*age) + ": serwis nie odpowiada.");
    }
    return tooltip.empty() ? one_safe_line(place_name(report), true) : tooltip;
}

Json::Value waybar_object(const run_report& report, const std::string& text,
                          const std::string& event) {
    Json::Value object(Json::objectValue);
    object["text"] = pango_escaped(text);
    object["tooltip"] = pango_escaped(waybar_tooltip(report));
    object["class"] = Json::Value(Json::arrayValue);
    for (const std::string& name : waybar_classes(report)) {
        object["class"].append(name);
    }
    object["percentage"] = closeness_percentage(report);
    if (!event.empty()) {
        object["alt"] = event;
        object["class"].append(event);
    } else if (!report.lightning) {
        object["alt"] = "error";
    } else {
        object["alt"] = has_strikes(report) ? "storm" : "calm";
    }
    return object;
}
