#include "output/json_form.h"

#include "state/run_state.h"
#include "support/schema_check.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

run_report full_report() {
    run_report report;
    report.town_outcome = town_status::found;
    report.town = {"Kraków", "kraków", "50.0614", "19.9366", 50.0614, 19.9366, true};
    report.radius_km = 30;
    report.lightning = lightning_report{"7", 7, "15", 15, "12.3", 12.3, "NE"};
    report.warnings = warnings_report{{"0", "0", "0", "0", "2", "0"}};
    report.weather_included = true;
    report.weather = current_weather{};
    report.weather->time = 1494081000;
    report.weather->temperature_c = -2.5;
    report.weather->bearing_deg = 270;
    report.weather->description = std::string("mgła\x1b]0;tytuł\x07");
    report.forecast_included = true;
    report.forecast = std::vector<forecast_entry>(2);
    (*report.forecast)[0].time = 1494072000;
    report.made_at = 1494081000;
    return report;
}

TEST(ReportDocument, CarriesTheFactsAsNumbersAndCleanTexts) {
    setenv("TZ", "Europe/Warsaw", 1);
    const Json::Value document = report_document(full_report());
    EXPECT_EQ(document["schema"], 1);
    EXPECT_EQ(document["generated_at"], "2017-05-06T16:30:00+02:00");
    EXPECT_EQ(document["town"]["latitude"].asDouble(), 50.0614);
    EXPECT_EQ(document["lightning"]["strikes"], 7);
    EXPECT_EQ(document["lightning"]["nearest_km"].asDouble(), 12.3);
    EXPECT_EQ(document["lightning"]["direction_name"], "północny wschód");
    EXPECT_EQ(document["warnings"]["hazards"][4]["hazard"], "burza");
    EXPECT_EQ(document["warnings"]["hazards"][4]["level"], 2);
    EXPECT_EQ(
        document["warnings"]["hazards"][4]["description"].asString().rfind("BURZA: 2 stopień", 0),
        0u);
    EXPECT_TRUE(document["warnings"]["hazards"][0]["description"].isNull());
    EXPECT_EQ(document["current_weather"]["wind_direction"], "zachodni");
    EXPECT_EQ(document["current_weather"]["description"], "mgła]0;tytuł");
    EXPECT_TRUE(document["current_weather"]["humidity_pct"].isNull());
    EXPECT_EQ(document_text(document).find('\n'), std::string::npos);
}

TEST(ReportDocument, EveryShapeOfAnswerMatchesTheSchema) {
    run_report quiet = full_report();
    quiet.lightning = lightning_report{"0", 0, "15", 15, "0", 0.0, ""};
    quiet.weather_included = false;
    quiet.forecast_included = false;
    run_report odd = full_report();
    odd.lightning = lightning_report{"00", 0, "x", std::nullopt, "far", std::nullopt, "NNE"};
    odd.warnings = warnings_report{{"9", "", "1", "3", "0", "x"}};
    run_report failed = full_report();
    failed.town_outcome = town_status::unknown;
    failed.town.latitude.reset();
    failed.town.longitude.reset();
    failed.lightning.reset();
    failed.warnings.reset();
    failed.weather.reset();
    failed.forecast.reset();
    failed.errors = {{"town", "Na serwerze x brak danych."}, {"weather", "Brak połączenia."}};

    std::string documents;
    for (const run_report& report : {full_report(), quiet, odd, failed}) {
        documents += document_text(report_document(report)) + "\n";
    }
    EXPECT_EQ(report_schema_violations(documents), "");
    const Json::Value odd_document = report_document(odd);
    EXPECT_TRUE(odd_document["lightning"]["direction"].isNull());
    EXPECT_TRUE(odd_document["warnings"]["hazards"][0]["level"].isNull());
    EXPECT_FALSE(report_document(quiet).isMember("current_weather"));
}

} // namespace
