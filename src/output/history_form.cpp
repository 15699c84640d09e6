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
#include <iterator>
#include <tuple>
#include <utility>

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

time_ticks round_time_ticks(double from_s, double to_s, long utc_offset_s, int most) {
    static const double steps_min[] = {10, 15, 30, 60, 120, 180, 360, 720, 1440};
    time_ticks ticks;
    double first = from_s;
    for (const double step_min : steps_min) {
        ticks.step_s = step_min * 60;
        // The first round time at or after the start, on the local clock.
        const auto offset_s = static_cast<double>(utc_offset_s);
        first = std::ceil((from_s + offset_s) / ticks.step_s) * ticks.step_s - offset_s;
        if (std::floor((to_s - first) / ticks.step_s) + 1 <= most) {
            break;
        }
    }
    for (double time_s = first; time_s <= to_s && ticks.times_s.size() < 200;
         time_s += ticks.step_s) {
        ticks.times_s.push_back(time_s);
    }
    return ticks;
}

std::vector<std::optional<int>> stagger_labels(const std::vector<label_span>& labels, int lanes,
                                               double gap) {
    std::vector<std::optional<int>> placed(labels.size());
    std::vector<double> lane_end(static_cast<std::size_t>(std::max(lanes, 0)), -1e300);
    std::vector<std::size_t> order(labels.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return labels[a].x < labels[b].x; });
    for (const std::size_t i : order) {
        // The first lane free at x with every lane below it free too: the label's line runs
        // down through them.
        std::size_t lane = lane_end.size();
        while (lane > 0 && lane_end[lane - 1] + gap <= labels[i].x) {
            --lane;
        }
        if (lane < lane_end.size()) {
            lane_end[lane] = labels[i].x + labels[i].width;
            placed[i] = static_cast<int>(lane);
        }
    }
    return placed;
}

namespace {

const double picture_width = 1000;
const double picture_height = 580;

// The colour of an alert's line; an unknown id in the colour of "bliżej".
const char* colour_of(const std::string& id) {
    const watch_event_kind* kind = event_kind_named(id.c_str());
    return kind != nullptr ? kind->colour : "#e08000";
}

// The shape that marks an alert; an unknown id in the shape of "bliżej".
event_mark mark_of(const std::string& id) {
    const watch_event_kind* kind = event_kind_named(id.c_str());
    return kind != nullptr ? kind->mark : event_mark::diamond;
}

// An alert's marker centred at (x, y), a shape of its own so that it reads without its colour.
void event_marker(svg_writer& svg, double x, double y, event_mark mark, const std::string& colour) {
    const double r = 5; // half the marker's size
    const std::string style = "stroke:#ffffff;stroke-width:1;fill:" + colour;
    switch (mark) {
    case event_mark::triangle:
        svg.polygon({{x, y - r - 1}, {x + r + 1, y + r}, {x - r - 1, y + r}}, style);
        break;
    case event_mark::diamond:
        svg.polygon({{x, y - r - 1}, {x + r + 1, y}, {x, y + r + 1}, {x - r - 1, y}}, style);
        break;
    case event_mark::square:
        svg.rect(x - r, y - r, 2 * r, 2 * r, style);
        break;
    case event_mark::circle:
        svg.circle(x, y, r, style);
        break;
    }
}

// The name of an alert as shown; an unknown id as it is.
std::string label_of(const std::string& id) {
    const watch_event_kind* kind = event_kind_named(id.c_str());
    return kind != nullptr ? kind->label : id;
}

std::size_t letters_in(const std::string& text) {
    std::size_t letters = 0;
    for (const char byte : text) {
        letters += (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
    }
    return letters;
}

// The width of a text of 11 px DejaVu Sans, a little generous.
double text_width(const std::string& text) {
    return 7.0 * static_cast<double>(letters_in(text));
}

// What the chart and the map share: the span of the time axis and the estimate they show.
struct picture_facts {
    double from_s = 0;
    double to_s = 0;
    double radius_km = 1;
    double danger_km = 10;
    std::optional<approach_estimate> estimate; // the newest there is
    double estimated_at = 0;
};

// The span of the time axis: the hours asked for, up to the run (or the newest row).
std::pair<double, double> time_span(const history_record& history) {
    double to_s = history.until_s;
    for (const track_row& row : history.rows) {
        to_s = std::max(to_s, row.time_s);
    }
    return {to_s - std::max(history.hours, 1) * 3600.0, to_s};
}

long utc_offset_at(double time_s) {
    const std::time_t time = static_cast<std::time_t>(time_s);
    std::tm local{};
    return localtime_r(&time, &local) != nullptr ? local.tm_gmtoff : 0;
}

void legend_line(svg_writer& svg, double x, double y, const std::string& style,
                 const std::string& label) {
    svg.line(x, y - 4, x + 22, y - 4, style);
    svg.text(x + 28, y, label, "font-size:11px");
}

void legend_marker(svg_writer& svg, double x, double y, const watch_event_kind& kind,
                   const std::string& label) {
    svg.line(x, y - 4, x + 22, y - 4, std::string("stroke-width:1.5;stroke:") + kind.colour);
    event_marker(svg, x + 11, y - 4, kind.mark, kind.colour);
    svg.text(x + 28, y, label, "font-size:11px");
}

void legend_dot(svg_writer& svg, double x, double y, const std::string& style,
                const std::string& label) {
    svg.circle(x + 11, y - 4, 4, style);
    svg.text(x + 28, y, label, "font-size:11px");
}

// The chart: the nearest distance over time (near at the top), the radius (a dashed line above
// the time axis, apart from it), the safety ring and the watch's alerts, a marker and a name each
// in lanes above the plot.
void history_chart(svg_writer& svg, const history_record& history, const picture_facts& facts) {
    const double left = 80;
    const double right = 600;
    const double lanes_top = 60;
    const double lane_height = 13;
    const int lanes = 4;
    const double top = lanes_top + lanes * lane_height + 6;
    const double bottom = 420;
    const double beyond = 22; // between the radius and the time axis
    const double radius = facts.radius_km;
    const double danger = std::min(facts.danger_km, radius);
    const auto x_of = [&](double time_s) {
        return left + (right - left) * (time_s - facts.from_s) / (facts.to_s - facts.from_s);
    };
    const auto y_of = [&](double km) { return top + (bottom - beyond - top) * km / radius; };

    svg.rect(left, y_of(0), right - left, y_of(danger) - y_of(0), "fill:#fbd5d5");
    svg.line(left, y_of(radius), right, y_of(radius), "stroke:#555555;stroke-dasharray:6,4");
    svg.line(left, top, left, bottom, "stroke:#000000");
    svg.line(left, bottom, right, bottom, "stroke:#000000");
    const double km_step = radius <= 20 ? 5 : radius <= 50 ? 10 : 20;
    for (double km = 0; km <= radius + 0.01; km += km_step) {
        svg.line(left - 4, y_of(km), left, y_of(km), "stroke:#000000");
        svg.text(left - 6, y_of(km) + 4, fixed(km, 0), "font-size:11px;text-anchor:end");
    }
    svg.turned_text(30, (top + bottom) / 2, "odległość wyładowania, km (bliżej ↑)",
                    "font-size:12px;text-anchor:middle");
    const time_ticks ticks =
        round_time_ticks(facts.from_s, facts.to_s, utc_offset_at(facts.from_s), 8);
    for (const double time_s : ticks.times_s) {
        svg.line(x_of(time_s), bottom, x_of(time_s), bottom + 4, "stroke:#000000");
        svg.line(x_of(time_s), top, x_of(time_s), bottom, "stroke:#e6e6e6");
        svg.text(x_of(time_s), bottom + 17,
                 time_of(time_s, ticks.step_s >= 86400 ? "%d.%m" : "%H:%M"),
                 "font-size:11px;text-anchor:middle");
    }

    // The alerts: a line each (one a pixel), the names staggered in the lanes.
    std::vector<label_span> spans;
    std::vector<const track_row*> alerts;
    double last_x = -1;
    for (const track_row& row : history.rows) {
        const double x = x_of(row.time_s);
        if (!row.event.empty() && x >= left && std::floor(x) != std::floor(last_x)) {
            last_x = x;
            alerts.push_back(&row);
            spans.push_back({x - 7, text_width(label_of(row.event)) + 15});
        }
    }
    const std::vector<std::optional<int>> lane = stagger_labels(spans, lanes, 2);
    for (std::size_t i = 0; i < alerts.size(); ++i) {
        const std::string colour = colour_of(alerts[i]->event);
        const double x = x_of(alerts[i]->time_s);
        const double lane_y = lanes_top + (lane[i] ? *lane[i] : lanes) * lane_height;
        const double mark_y = lane[i] ? lane_y - 4 : top;
        svg.line(x, mark_y, x, bottom, "stroke-width:1.2;stroke:" + colour);
        event_marker(svg, x, mark_y, mark_of(alerts[i]->event), colour);
        if (lane[i]) {
            svg.text(x + 8, lane_y, label_of(alerts[i]->event), "font-size:11px;fill:" + colour);
        }
    }

    // The curve: the nearest of each pixel column, broken where the strikes stopped.
    std::vector<std::pair<double, double>> points;
    const auto end_piece = [&] {
        svg.polyline(points, "fill:none;stroke:#1f4fa0;stroke-width:2");
        points.clear();
    };
    std::vector<std::pair<double, double>> all;
    for (const track_row& row : history.rows) {
        const double x = x_of(row.time_s);
        if (row.strikes <= 0 || !row.nearest_km) {
            end_piece();
            continue;
        }
        const double y = y_of(std::min(*row.nearest_km, radius));
        if (!points.empty() && std::floor(points.back().first) == std::floor(x)) {
            points.back().second = std::min(points.back().second, y);
        } else {
            points.emplace_back(x, y);
        }
        if (all.empty() || std::floor(all.back().first) != std::floor(x)) {
            all.emplace_back(x, y);
        }
    }
    end_piece();
    if (all.size() <= 120) { // more dots than that hide the curve
        for (const auto& [x, y] : all) {
            svg.circle(x, y, 3, "fill:#1f4fa0");
        }
    }

    svg.text(right, y_of(radius) - 5, "promień " + std::to_string(std::lround(radius)) + " km",
             "font-size:11px;text-anchor:end;fill:#555555");
    const double legend_y = bottom + 46;
    legend_line(svg, left, legend_y, "stroke:#1f4fa0;stroke-width:2",
                "najbliższe wyładowanie (kropka: obserwacja)");
    legend_line(svg, left, legend_y + 18, "stroke:#fbd5d5;stroke-width:8",
                "strefa bezpieczeństwa " + std::to_string(std::lround(danger)) + " km");
    legend_line(svg, left, legend_y + 36, "stroke:#555555;stroke-dasharray:6,4",
                "promień wyszukiwania " + std::to_string(std::lround(radius)) + " km");
    for (std::size_t i = 0; i < watch_events.size(); ++i) {
        legend_marker(svg, left + 300, legend_y + 18 * static_cast<double>(i), watch_events[i],
                      std::string("alarm: ") + watch_events[i].label);
    }
}

// The map: the town in the middle, north up, the nearest strikes as dots fading with age, the
// estimated motion as an arrow from the strike it was made at.
void history_map(svg_writer& svg, const history_record& history, const picture_facts& facts) {
    const double centre_x = 810;
    const double centre_y = 260;
    const double radius = facts.radius_km;
    const double danger = std::min(facts.danger_km, radius);
    const double scale = 150 / radius;
    svg.circle(centre_x, centre_y, radius * scale,
               "fill:#f4f6fa;stroke:#555555;stroke-dasharray:6,4");
    svg.circle(centre_x, centre_y, danger * scale, "fill:#fbd5d5;stroke:#b00000");
    svg.text(centre_x, centre_y - radius * scale - 8, "N", "font-size:13px;text-anchor:middle");
    svg.circle(centre_x, centre_y, 4, "fill:#000000");
    svg.text(centre_x + 7, centre_y + 14, history.town, "font-size:12px");

    const auto place_of = [&](const track_row& row) -> std::optional<std::pair<double, double>> {
        const std::optional<double> bearing = compass_bearing(row.direction);
        if (row.strikes <= 0 || !row.nearest_km || !bearing) {
            return std::nullopt;
        }
        const double km = std::min(*row.nearest_km, radius);
        return std::make_pair(centre_x + km * scale * std::sin(*bearing * pi / 180),
                              centre_y - km * scale * std::cos(*bearing * pi / 180));
    };
    // The newest dot at each place, at most 300 of them, drawn oldest first.
    std::vector<std::pair<const track_row*, std::pair<double, double>>> dots;
    std::vector<std::pair<long, long>> taken;
    for (auto it = history.rows.rbegin(); it != history.rows.rend() && dots.size() < 300; ++it) {
        const auto place = place_of(*it);
        if (!place) {
            continue;
        }
        const std::pair<long, long> pixel{std::lround(place->first), std::lround(place->second)};
        if (std::find(taken.begin(), taken.end(), pixel) == taken.end()) {
            taken.push_back(pixel);
            dots.emplace_back(&*it, *place);
        }
    }
    const double newest = dots.empty() ? 0 : dots.front().first->time_s;
    for (auto it = dots.rbegin(); it != dots.rend(); ++it) {
        const double age = std::clamp((newest - it->first->time_s) / 3600.0, 0.0, 1.0);
        svg.circle(it->second.first, it->second.second, 5,
                   "fill:#1f4fa0;fill-opacity:" + fixed(1 - 0.75 * age, 2));
    }
    double from_x = centre_x;
    double from_y = centre_y;
    for (const track_row& row : history.rows) {
        if (row.time_s == facts.estimated_at && place_of(row)) {
            std::tie(from_x, from_y) = *place_of(row);
        }
    }
    if (facts.estimate && !facts.estimate->moving_to.empty()) {
        const double heading = *compass_bearing(facts.estimate->moving_to) * pi / 180;
        const double length =
            std::clamp(std::fabs(facts.estimate->radial_kmh) / 4, 10.0, radius / 2) * scale;
        svg.arrow(from_x, from_y, from_x + length * std::sin(heading),
                  from_y - length * std::cos(heading), "stroke:#d00000;stroke-width:3");
    }
    const double legend_x = 660;
    const double legend_y = 466;
    legend_dot(svg, legend_x, legend_y, "fill:#1f4fa0",
               "najbliższe wyładowanie (bledsze: starsze)");
    legend_line(svg, legend_x, legend_y + 18, "stroke:#d00000;stroke-width:3",
                "ruch burzy według oceny");
    svg.text(legend_x, legend_y + 36, "kierunek znany co do 45°", "font-size:11px;fill:#555555");
}

} // namespace

std::string history_svg(const history_record& history) {
    svg_writer svg(picture_width, picture_height);
    svg.rect(0, 0, picture_width, picture_height, "fill:#ffffff");
    picture_facts facts;
    std::tie(facts.from_s, facts.to_s) = time_span(history);
    facts.radius_km = widest_radius(history);
    facts.danger_km = history.danger_km;
    for (std::size_t i = 0; i < history.rows.size() && i < history.estimates.size(); ++i) {
        if (history.estimates[i]) {
            facts.estimate = history.estimates[i];
            facts.estimated_at = history.rows[i].time_s;
        }
    }
    const long hours = std::lround((facts.to_s - facts.from_s) / 3600);
    const char* const clock = hours > 24 ? "%d.%m %H:%M" : "%H:%M";
    svg.text(20, 30,
             history.town + ": burza w ostatnich " + std::to_string(hours) + " godz. (" +
                 time_of(facts.from_s, clock) + "–" + time_of(facts.to_s, clock) + ")",
             "font-size:18px;font-weight:bold");
    history_chart(svg, history, facts);
    history_map(svg, history, facts);
    const std::string caption = approach_text(facts.estimate, history.danger_km);
    svg.text(20, picture_height - 16,
             caption.empty() ? "brak oceny ruchu burzy"
                             : "ocena o " + time_of(facts.estimated_at, "%H:%M") + ": " + caption,
             "font-size:13px");
    return svg.finish();
}
