// The history's forms over a table of rows: the table, the document against its schema, and the
// picture as well-formed XML that renders.
#include "approach/place_track.h"
#include "approach/watch_events.h"
#include "output/history_form.h"
#include "support/run_program.h"
#include "support/schema_check.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <regex>

namespace {

history_record approaching_storm() {
    history_record history;
    history.town = "Kraków <&\"> \xEF\xBF\xBE\x01\xED\xA0\x80\xEF\xBF\xBF";
    const double start = 1.78e9;
    const struct {
        double minute;
        int strikes;
        double km;
        const char* direction;
        const char* event;
    } rows[] = {
        {0, 0, -1, "", ""},       {5, 30, 26, "SW", "burza"}, {10, 60, 21, "SW", "blizej"},
        {15, 80, 16.5, "SW", ""}, {20, 90, 12, "SW", ""},     {25, 95, 7, "SW", "blisko"},
        {30, 90, 3, "NE", ""},    {35, 0, -1, "", ""},        {40, 0, -1, "", "spokoj"},
    };
    for (const auto& r : rows) {
        track_row row;
        row.place = history.town;
        row.radius_km = 30;
        row.time_s = start + r.minute * 60;
        row.strikes = r.strikes;
        if (r.km >= 0) {
            row.nearest_km = r.km;
        }
        row.direction = r.direction;
        row.event = r.event;
        history.rows.push_back(row);
    }
    history.estimates = estimates_along(history.rows, history.danger_km);
    return history;
}

TEST(HistoryForm, TableDocumentAndPicture) {
    const history_record history = approaching_storm();
    ASSERT_TRUE(history.estimates[3]);
    EXPECT_FALSE(history.estimates[6]); // the jump to the far side

    const std::string table = history_table(history);
    EXPECT_NE(
        table.find("16.5 km     SW     -       zbliża się 57 km/h, w strefie 10 km za ~7 min"),
        std::string::npos)
        << table;
    EXPECT_NE(table.find("blisko"), std::string::npos) << table;

    const std::string document = history_document(history, 1.78e9);
    EXPECT_EQ(schema_violations(document + "\n", HISTORY_SCHEMA_FILE), "") << document;

    TempDir dir;
    const std::string file = dir.path + "/storm.svg";
    std::ofstream(file) << history_svg(history);
    EXPECT_EQ(std::system(("xmllint --noout " + file).c_str()), 0);
    EXPECT_EQ(std::system(("rsvg-convert -o " + dir.path + "/storm.png " + file).c_str()), 0);
    EXPECT_GT(read_file(dir.path + "/storm.png").size(), 1000u);
    const std::string picture = read_file(file);
    EXPECT_NE(picture.find("Kraków &lt;&amp;&quot;&gt; :"), std::string::npos);
    // The alerts by their Polish names; the distance axis says which way is nearer.
    for (const char* label : {">bliżej</text>", ">spokój</text>", ">blisko</text>", "bliżej ↑"}) {
        EXPECT_NE(picture.find(label), std::string::npos) << label;
    }
    EXPECT_EQ(picture.find(">blizej<"), std::string::npos);
    // Each alert has a colour and a shape of its own (it reads without colour too): its marker
    // on its line and in the legend.
    for (const watch_event_kind& kind : watch_events) {
        for (const watch_event_kind& other : watch_events) {
            if (&kind != &other) {
                EXPECT_NE(std::string(kind.colour), other.colour) << kind.id << " " << other.id;
                EXPECT_NE(kind.mark, other.mark) << kind.id << " " << other.id;
            }
        }
        const std::string marker = std::string("stroke-width:1;fill:") + kind.colour + "\"";
        std::size_t markers = 0;
        for (std::size_t at = picture.find(marker); at != std::string::npos;
             at = picture.find(marker, at + 1)) {
            ++markers;
        }
        EXPECT_EQ(markers, 2u) << kind.id;
    }
    // The dashed radius line stands above the time axis, apart from it.
    std::smatch axis;
    std::smatch radius;
    ASSERT_TRUE(std::regex_search(
        picture, axis,
        std::regex(
            R"re(<line x1="80.0" y1="([0-9.]+)" x2="600.0" y2="\1" style="stroke:#000000"/>)re")));
    ASSERT_TRUE(std::regex_search(
        picture, radius,
        std::regex(
            R"re(<line x1="80.0" y1="([0-9.]+)" x2="600.0" y2="\1" style="stroke:#555555;stroke-dasharray:6,4"/>)re")));
    EXPECT_GE(std::stod(axis[1]) - std::stod(radius[1]), 10) << picture;

    // Nothing to draw: still a picture.
    history_record empty;
    empty.town = "Nowy Sącz";
    std::ofstream(file) << history_svg(empty);
    EXPECT_EQ(std::system(("xmllint --noout " + file).c_str()), 0);
}

TEST(HistoryForm, TicksOnRoundTimes) {
    const double midnight = 1779926400; // a midnight, UTC
    const auto at = [&](double hour, double minute) {
        return midnight + hour * 3600 + minute * 60;
    };
    struct row {
        const char* name;
        double from_s;
        double to_s;
        long utc_offset_s;
        double step_min;
        double first_s;
        std::size_t count;
    } const rows[] = {
        {"an hour: every 10 minutes", at(12, 2), at(13, 2), 0, 10, at(12, 10), 6},
        {"two hours: every 15 minutes", at(12, 2), at(14, 2), 0, 15, at(12, 15), 8},
        {"four and a half hours: every hour", at(12, 2), at(16, 32), 0, 60, at(13, 0), 4},
        {"on the local clock", at(12, 2), at(16, 32), 3600, 60, at(13, 0), 4},
        {"a zone half an hour off", at(12, 2), at(16, 32), 19800, 60, at(12, 30), 5},
        {"a week: every day", at(0, 30), at(168, 30), 0, 1440, at(24, 0), 7},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const time_ticks ticks = round_time_ticks(r.from_s, r.to_s, r.utc_offset_s, 8);
        EXPECT_EQ(ticks.step_s, r.step_min * 60);
        ASSERT_EQ(ticks.times_s.size(), r.count);
        EXPECT_EQ(ticks.times_s.front(), r.first_s);
        EXPECT_LE(ticks.times_s.back(), r.to_s);
        EXPECT_GT(ticks.times_s.back() + ticks.step_s, r.to_s);
    }
}

TEST(HistoryForm, StaggeredLabelsNeverOverlap) {
    struct row {
        const char* name;
        std::vector<double> xs; // labels 40 wide
        std::vector<int> lanes; // -1: left out
    } const rows[] = {
        {"far apart", {0, 100, 200}, {0, 0, 0}},
        {"close together", {0, 10, 20}, {0, 1, 2}},
        {"more than the lanes hold", {0, 5, 10, 15, 60}, {0, 1, 2, -1, 0}},
        {"given out of order", {100, 0, 10, 41}, {0, 0, 1, 2}},
        {"a line would cross a lower label", {0, 30, 60}, {0, 1, 2}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<label_span> labels;
        for (const double x : r.xs) {
            labels.push_back({x, 40});
        }
        const std::vector<std::optional<int>> lanes = stagger_labels(labels, 3, 2);
        ASSERT_EQ(lanes.size(), r.lanes.size());
        for (std::size_t i = 0; i < lanes.size(); ++i) {
            EXPECT_EQ(lanes[i].value_or(-1), r.lanes[i]) << i;
            for (std::size_t j = 0; j < i; ++j) {
                if (lanes[i] && lanes[i] == lanes[j]) {
                    EXPECT_GE(std::fabs(labels[i].x - labels[j].x), 42) << i << " " << j;
                }
                // The line of the higher label passes the lower one's box.
                const std::size_t high = lanes[i] < lanes[j] ? i : j;
                const std::size_t low = high == i ? j : i;
                if (lanes[high] && lanes[low] && lanes[high] != lanes[low]) {
                    EXPECT_FALSE(labels[low].x <= labels[high].x &&
                                 labels[high].x < labels[low].x + 42)
                        << high << " " << low;
                }
            }
        }
    }
}

} // namespace
