// The watch renders a check's records after they came through the pipe from its child: every
// form must show them exactly as a single run shows the records it gathered itself.
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

} // namespace
