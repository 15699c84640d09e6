// The history's forms over a table of rows: the table, the document against its schema, and the
// picture as well-formed XML that renders.
#include "approach/place_track.h"
#include "output/history_form.h"
#include "support/run_program.h"
#include "support/schema_check.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace {

history_record approaching_storm() {
    history_record history;
    history.town = "Kraków <&\"> ";
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
    EXPECT_NE(read_file(file).find("Kraków &lt;&amp;&quot;&gt;"), std::string::npos);

    // Nothing to draw: still a picture.
    history_record empty;
    empty.town = "Nowy Sącz";
    std::ofstream(file) << history_svg(empty);
    EXPECT_EQ(std::system(("xmllint --noout " + file).c_str()), 0);
}

} // namespace
