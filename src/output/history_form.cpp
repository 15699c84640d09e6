#include "output/history_form.h"

#include "approach/watch_events.h"
#include "output/json_form.h"
#include "output/svg.h"
#include "text/text.h"
#include "weather/current_weather.h"
#include "weather/reply_fields.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

std::string padded(const std::string& text, std::size_t width) {
    std::size_t letters = 0; // UTF-8: count the characters, not the bytes
    for (const char byte : text) {
        letters += (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
    }
    return text + std::string(width > letters ? width - letters : 1, ' ');
}

std::string time_of(double time_s, const char* pattern) {
    return format_local_time(static_cast<std::time_t>(std::floor(time_s)), pattern);
}

int widest_radius(const history_record& history) {
    int radius = 1;
    for (const track_row& row : history.rows) {
        radius = std::max(radius, row.radius_km);
    }
    return radius;
}

} // namespace

std::string history_table(const history_record& history) {
    std::string text = history.town + ": obserwacje z ostatnich " + std::to_string(history.hours) +
                       " godz., strefa bezpieczeństwa " +
                       std::to_string(std::lround(history.danger_km)) + " km\n";
    text += padded("czas", 10) + padded("promień", 9) + padded("wyładowania", 13) +
            padded("najbliższe", 12) + padded("kier.", 7) + padded("alarm", 8) + "ocena\n";
    for (std::size_t i = 0; i < history.rows.size(); ++i) {
        const track_row& row = history.rows[i];
        const bool seen = row.strikes > 0 && row.nearest_km;
        const std::string approach = approach_text(history.estimates[i], history.danger_km);
        text += padded(time_of(row.time_s, "%H:%M:%S"), 10) +
                padded(std::to_string(row.radius_km) + " km", 9) +
                padded(std::to_string(row.strikes), 13) +
                padded(seen ? fixed(*row.nearest_km, 1) + " km" : "-", 12) +
                padded(seen && !row.direction.empty() ? row.direction : "-", 7) +
                padded(row.event.empty() ? "-" : row.event, 8) +
                (approach.empty() ? "-" : approach) + "\n";
    }
    return strip_control_chars(text.substr(0, text.size() - 1)) + "\n";
}

std::string history_document(const history_record& history, std::time_t made_at) {
    Json::Value document(Json::objectValue);
    document["schema"] = 1;
    document["generated_at"] = iso_local_time(made_at);
    document["town"] = strip_control_chars(history.town);
    document["hours"] = history.hours;
    document["danger_km"] = history.danger_km;
    Json::Value list(Json::arrayValue);
    for (std::size_t i = 0; i < history.rows.size(); ++i) {
        const track_row& row = history.rows[i];
        const bool seen = row.strikes > 0 && row.nearest_km;
        Json::Value item(Json::objectValue);
        item["time"] = iso_local_time(static_cast<std::time_t>(std::floor(row.time_s)));
        item["radius_km"] = row.radius_km;
        item["strikes"] = row.strikes;
        item["nearest_km"] = seen ? Json::Value(*row.nearest_km) : Json::Value();
        item["direction"] =
            seen && compass_bearing(row.direction) ? Json::Value(row.direction) : Json::Value();
        item["event"] = row.event.empty() ? Json::Value() : Json::Value(row.event);
        item["approach"] = approach_value(history.estimates[i]);
        list.append(item);
    }
    document["observations"] = list;
    return document_text(document);
}

std::string history_svg(const history_record& history) {
    const double width = 960;
    const double height = 420;
    svg_writer svg(width, height);
    svg.rect(0, 0, width, height, "fill:#ffffff");
    svg.text(20, 28,
             history.town + ": burza w ostatnich " + std::to_string(history.hours) + " godz.",
             "font-size:18px;font-weight:bold");
    const double radius = widest_radius(history);
    const double danger = std::min(history.danger_km, radius);

    // The chart: the nearest distance over time.
    const double left = 60;
    const double right = 560;
    const double top = 50;
    const double bottom = 370;
    double first = history.rows.empty() ? 0 : history.rows.front().time_s;
    double last = history.rows.empty() ? 1 : history.rows.back().time_s;
    if (last - first < 60) {
        last = first + 60;
    }
    const auto x_of = [&](double time_s) {
        return left + (right - left) * (time_s - first) / (last - first);
    };
    const auto y_of = [&](double km) { return top + (bottom - top) * km / radius; };
    svg.rect(left, y_of(0), right - left, y_of(danger) - y_of(0), "fill:#fbd5d5");
    svg.line(left, y_of(radius), right, y_of(radius), "stroke:#555555;stroke-dasharray:6,4");
    svg.text(right - 4, y_of(radius) - 6, "promień " + std::to_string(std::lround(radius)) + " km",
             "font-size:12px;text-anchor:end");
    svg.text(right - 4, y_of(danger) - 6, "strefa " + std::to_string(std::lround(danger)) + " km",
             "font-size:12px;text-anchor:end;fill:#b00000");
    svg.line(left, top, left, bottom, "stroke:#000000");
    svg.line(left, bottom, right, bottom, "stroke:#000000");
    const double km_step = radius <= 20 ? 5 : radius <= 50 ? 10 : 20;
    for (double km = 0; km <= radius + 0.01; km += km_step) {
        svg.line(left - 4, y_of(km), left, y_of(km), "stroke:#000000");
        svg.text(left - 6, y_of(km) + 4, fixed(km, 0), "font-size:11px;text-anchor:end");
    }
    for (int step = 0; step <= 4; ++step) {
        const double time_s = first + (last - first) * step / 4;
        svg.text(x_of(time_s), bottom + 16, time_of(time_s, "%H:%M"),
                 "font-size:11px;text-anchor:middle");
    }
    svg.text(left - 40, top - 8, "km (odległość najbliższego wyładowania)", "font-size:12px");
    std::vector<std::pair<double, double>> points;
    int marked = 0;
    for (const track_row& row : history.rows) {
        if (!row.event.empty()) {
            ++marked;
            const bool urgent = row.event == event_id(watch_event::within_ring) ||
                                row.event == event_id(watch_event::storm);
            svg.line(x_of(row.time_s), top, x_of(row.time_s), bottom,
                     urgent ? "stroke:#d00000;stroke-width:1.5" : "stroke:#e08000;stroke-width:1");
            svg.text(x_of(row.time_s) + 3, top + 12 + 13 * (marked % 3), row.event,
                     "font-size:11px;fill:#a00000");
        }
        if (row.strikes > 0 && row.nearest_km) {
            points.emplace_back(x_of(row.time_s), y_of(std::min(*row.nearest_km, radius)));
        }
    }
    svg.polyline(points, "fill:none;stroke:#1f4fa0;stroke-width:2");
    for (const auto& [x, y] : points) {
        svg.circle(x, y, 3, "fill:#1f4fa0");
    }

    // The map: the town in the middle, north up.
    const double centre_x = 770;
    const double centre_y = 215;
    const double scale = 160 / radius;
    svg.circle(centre_x, centre_y, radius * scale,
               "fill:#f4f6fa;stroke:#555555;stroke-dasharray:6,4");
    svg.circle(centre_x, centre_y, danger * scale, "fill:#fbd5d5;stroke:#b00000");
    svg.text(centre_x, centre_y - radius * scale - 8, "N", "font-size:13px;text-anchor:middle");
    svg.circle(centre_x, centre_y, 4, "fill:#000000");
    svg.text(centre_x + 7, centre_y + 14, history.town, "font-size:12px");
    // The last estimate there was, and where its strike was.
    std::optional<approach_estimate> estimate;
    double estimated_at = 0;
    for (std::size_t i = 0; i < history.rows.size(); ++i) {
        if (history.estimates[i]) {
            estimate = history.estimates[i];
            estimated_at = history.rows[i].time_s;
        }
    }
    double newest = 0; // the newest strike's time: the dots fade from it
    for (const track_row& row : history.rows) {
        newest = row.strikes > 0 ? row.time_s : newest;
    }
    double last_x = centre_x;
    double last_y = centre_y;
    for (const track_row& row : history.rows) {
        const std::optional<double> bearing = compass_bearing(row.direction);
        if (row.strikes <= 0 || !row.nearest_km || !bearing) {
            continue;
        }
        const double km = std::min(*row.nearest_km, radius);
        const double x = centre_x + km * scale * std::sin(*bearing * pi / 180);
        const double y = centre_y - km * scale * std::cos(*bearing * pi / 180);
        const double age = std::clamp((newest - row.time_s) / 3600.0, 0.0, 1.0);
        svg.circle(x, y, 5, "fill:#1f4fa0;fill-opacity:" + fixed(1 - 0.75 * age, 2));
        if (row.time_s == estimated_at) {
            last_x = x;
            last_y = y;
        }
    }
    if (estimate && !estimate->moving_to.empty()) {
        const double heading = *compass_bearing(estimate->moving_to) * pi / 180;
        const double length =
            std::clamp(std::fabs(estimate->radial_kmh) / 4, 10.0, radius / 2) * scale;
        svg.arrow(last_x, last_y, last_x + length * std::sin(heading),
                  last_y - length * std::cos(heading), "stroke:#d00000;stroke-width:3");
    }
    const std::string caption = approach_text(estimate, history.danger_km);
    svg.text(600, 408,
             caption.empty() ? "brak oceny ruchu burzy"
                             : "o " + time_of(estimated_at, "%H:%M") + ": " + caption,
             "font-size:13px");
    return svg.finish();
}
