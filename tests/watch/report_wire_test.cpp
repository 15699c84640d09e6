// The watch renders a check's records after they came from its worker: every form must show
// them exactly as a single run shows the records it gathered itself. The orders the worker gets
// must carry everything the check takes.
#include "output/machine_run.h"
#include "state/run_state.h"
#include "watch/report_wire.h"

#include <gtest/gtest.h>

namespace {

run_report full_report() {
    run_report report;
    report.town_outcome = town_status::found;
    report.town = {"Kraków", "kraków", "50.0614", "19.9366", 50.0614, 19.9366, true};
    report.radius_km = 30;
    report.lightning = lightning_report{"7", 7, "15", 15, "4.25", 4.25, "NNE"};
    report.lightning_age = freshness{600, true};
    report.warnings = warnings_report{{"0", "?", "1", "0", "2", "0"}};
    report.weather_included = true;
    report.weather = current_weather{};
    report.weather->time = 1494081000;
    report.weather->temperature_c = 0.1 + 0.2; // no short decimal
    report.weather->description = std::string("mgła & \"deszcz\"");
    report.forecast_included = true;
    report.forecast = std::vector<forecast_entry>(2);
    (*report.forecast)[1].min_c = -3.5;
    report.errors = {{"lightning", "Brak połączenia <z> serwerem."}};
    report.made_at = 1494081000;
    report.approach = approach_estimate{-7.25, std::nullopt, 4.25, "SW", 5};
    report.danger_km = 10;
    return report;
}

TEST(ReportWire, EveryFormShowsTheRecordsAsTheSingleRunDoes) {
    setenv("TZ", "Europe/Warsaw", 1);
    run_report calm = full_report();
    calm.lightning = lightning_report{"0", 0, "15", 15, "", std::nullopt, ""};
    calm.weather.reset();
    calm.forecast.reset();
    calm.approach.reset();
    calm.approach_included = true;
    calm.place = "Działka"; // a place of the configuration file goes by its name
    run_report failed;
    failed.town.typed = "Atlantyda";
    failed.errors = {{"town", "Na serwerze x brak danych o tej miejscowości."}};
    const std::pair<const char*, run_report> reports[] = {
        {"storm in the ring, stale, every part", full_report()},
        {"calm", calm},
        {"failed", failed},
    };
    const output_form forms[] = {output_form::text, output_form::json, output_form::line,
                                 output_form::waybar, output_form::i3blocks};
    for (const auto& [name, report] : reports) {
        run_report passed;
        ASSERT_TRUE(parse_report_wire(report_wire(report), passed)) << name;
        for (const output_form form : forms) {
            for (const char* format : {"", "%t %n%[ %d km %D%] %x"}) {
                for (const bool watch : {false, true}) {
                    const form_facts single{report, format, false, watch, "blisko", "oddala się"};
                    const form_facts checked{passed, format, false, watch, "blisko", "oddala się"};
                    EXPECT_EQ(render_form(form, checked), render_form(form, single))
                        << name << ", form " << static_cast<int>(form) << ", " << format;
                    EXPECT_EQ(form_status(form, checked), form_status(form, single)) << name;
                }
            }
        }
    }
}

TEST(ReportWire, ALineThatIsNotRecordsIsRefused) {
    run_report report;
    const std::string wire = report_wire(full_report());
    for (const std::string& text : {std::string(), std::string("null"), wire.substr(0, 200),
                                    wire.substr(0, wire.find("\"count\"")) + "\"count\":\"7\"" +
                                        wire.substr(wire.find(",\"count_text\""))}) {
        EXPECT_FALSE(parse_report_wire(text, report)) << text;
    }
}

TEST(ReportWire, AnOrderComesWholeOrIsRefused) {
    work_order check;
    check.report = {"Dom", place_point{"50.1", "19.9", 50.1, 19.9}, 30, true, false, 8.5, "Dom"};
    check.town = {"Dom", "dom", "50.1", "19.9", 50.1, 19.9, false};
    check.place = {"Dom", 50.1, 19.9, 30};
    check.db_path = "/tmp/a b/zagrozenia_pogodowe.db";
    check.danger_km = 8.5;
    check.clear_after_s = 1800;
    check.clock_rate = 360;
    check.time_s = 1494081000.25;
    check.fresh = true;
    check.weather = "1\nweather\n/x?q=1\n{\"a\":\"\\u00f3\"}\n";
    check.weather_age_s = 42;
    work_order record = check;
    record.kind = order_kind::record;
    record.report.point.reset();
    record.seen = {1494081000.25, 7, 4.25, "NNE"};
    record.event = "blisko";
    record.now_s = 1494081001;
    work_order weather;
    weather.kind = order_kind::weather;
    weather.report.town = "Nowy Sącz";
    for (const work_order& sent : {check, record, weather}) {
        work_order got;
        ASSERT_TRUE(parse_work_order(work_order_wire(sent), got));
        EXPECT_EQ(got.kind, sent.kind);
        EXPECT_EQ(got.report.town, sent.report.town);
        EXPECT_EQ(got.report.point.has_value(), sent.report.point.has_value());
        if (sent.report.point) {
            EXPECT_EQ(got.report.point->x, sent.report.point->x);
            EXPECT_EQ(got.report.point->latitude, sent.report.point->latitude);
        }
        EXPECT_EQ(got.report.radius_km, sent.report.radius_km);
        EXPECT_EQ(got.report.weather, sent.report.weather);
        EXPECT_EQ(got.report.danger_km, sent.report.danger_km);
        EXPECT_EQ(got.report.place, sent.report.place);
        EXPECT_EQ(got.town.typed, sent.town.typed);
        EXPECT_EQ(got.town.longitude, sent.town.longitude);
        EXPECT_EQ(got.place.radius_km, sent.place.radius_km);
        EXPECT_EQ(got.db_path, sent.db_path);
        EXPECT_EQ(got.clear_after_s, sent.clear_after_s);
        EXPECT_EQ(got.clock_rate, sent.clock_rate);
        EXPECT_EQ(got.time_s, sent.time_s);
        EXPECT_EQ(got.fresh, sent.fresh);
        EXPECT_EQ(got.weather, sent.weather);
        EXPECT_EQ(got.weather_age_s, sent.weather_age_s);
        EXPECT_EQ(got.seen.nearest_km, sent.seen.nearest_km);
        EXPECT_EQ(got.seen.direction, sent.seen.direction);
        EXPECT_EQ(got.event, sent.event);
        EXPECT_EQ(got.now_s, sent.now_s);
    }
    std::string wire = work_order_wire(check);
    wire.replace(wire.find("\"kind\":0"), 9, "\"kind\":7");
    work_order got;
    EXPECT_FALSE(parse_work_order(wire, got));
    EXPECT_FALSE(parse_work_order(report_wire(full_report()), got));
}

} // namespace
