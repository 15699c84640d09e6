// The status-bar forms over one table of records: the --format template and the Waybar object.
#include "output/json_form.h"
#include "output/line_form.h"
#include "output/template_form.h"
#include "output/waybar_form.h"
#include "state/run_state.h"

#include <gtest/gtest.h>

namespace {

run_report storm_report(double nearest_km) {
    run_report report;
    report.town_outcome = town_status::found;
    report.town = {"Kraków", "kraków", "50.0614", "19.9366", 50.0614, 19.9366, true};
    report.radius_km = 30;
    report.lightning = lightning_report{"7", 7, "15", 15, "12.3", nearest_km, "NE"};
    report.lightning_age = freshness{200, false};
    report.warnings = warnings_report{{"0", "0", "1", "0", "2", "0"}};
    report.warnings_age = freshness{59, false};
    report.weather_included = true;
    report.weather = current_weather{};
    report.weather->temperature_c = -2.46;
    report.weather_age = freshness{1500, true};
    return report;
}

struct BarCase {
    const char* name;
    run_report report;
    std::string event;
    std::string line; // of the template below
    std::vector<std::string> classes;
    int percentage;
    std::string alt;
    std::string approach; // the tooltip's line of the estimate; empty: none
};

const char* const every_placeholder = "%t|%k|%n|%d|%D|%N|%w|%W|%T|%a|%e|%s|%E|%%";

run_report with_approach(double radial_kmh, std::optional<double> eta_min, double closest_km) {
    run_report report = storm_report(12.34);
    report.approach_included = true;
    report.approach = approach_estimate{radial_kmh, eta_min, closest_km, "SW", 4};
    report.weather->temperature_c = -0.04;
    return report;
}

std::vector<BarCase> bar_cases() {
    run_report calm = storm_report(0);
    calm.lightning = lightning_report{"0", 0, "15", 15, "0", 0.0, ""};
    calm.warnings = warnings_report{{"0", "0", "0", "0", "0", "0"}};
    calm.weather.reset();
    run_report unknown;
    unknown.town_outcome = town_status::unknown;
    unknown.town.typed = "Atlantyda\x1b[2J\n\x9b"
                         "31m";
    unknown.radius_km = 25;
    unknown.errors = {{"town", "Na serwerze x brak danych o tej miejscowości."}};
    run_report beyond = storm_report(45); // a strike reported beyond the radius
    beyond.warnings = warnings_report{{"?", "0", "0", "0", "0", "3"}};
    run_report no_distance = storm_report(0);
    no_distance.lightning->distance_km.reset();
    no_distance.lightning->direction = "XX";
    return {
        {"storm with warnings, stale weather",
         storm_report(12.34),
         "",
         "Kraków|30|7|12.3|NE|północny wschód|2|wiatr,burza|-2.5|25||||%",
         {"storm", "warning", "stale"},
         59,
         "storm",
         ""},
        {"struck at the town, an event",
         storm_report(0),
         "burza",
         "Kraków|30|7|0.0|NE|północny wschód|2|wiatr,burza|-2.5|25|burza|||%",
         {"storm", "near", "warning", "stale"},
         100,
         "burza",
         ""},
        {"near edge: exactly 10 km",
         storm_report(10),
         "blizej",
         "Kraków|30|7|10.0|NE|północny wschód|2|wiatr,burza|-2.5|25|blizej|||%",
         {"storm", "near", "warning", "stale"},
         67,
         "blizej",
         ""},
        {"calm", calm, "spokoj", "Kraków|30|0||||0|||3|spokoj|||%", {"calm"}, 0, "spokoj", ""},
        {"beyond the radius, odd levels",
         beyond,
         "",
         "Kraków|30|7|45.0|NE|północny wschód|3|tornado|-2.5|25||||%",
         {"storm", "warning", "stale"},
         0,
         "storm",
         ""},
        {"no distance, unknown direction",
         no_distance,
         "",
         "Kraków|30|7||XX||2|wiatr,burza|-2.5|25||||%",
         {"storm", "warning", "stale"},
         0,
         "storm",
         ""},
        {"coming, in the ring in 12 min; -0.0 degrees",
         with_approach(23.6, 11.6, 2),
         "",
         "Kraków|30|7|12.3|NE|północny wschód|2|wiatr,burza|0.0|25||24|12|%",
         {"storm", "warning", "stale"},
         59,
         "storm",
         "Burza zbliża się 24 km/h, w strefie 10 km za ~12 min."},
        {"in the ring already",
         with_approach(30, 0.0, 0),
         "blisko",
         "Kraków|30|7|12.3|NE|północny wschód|2|wiatr,burza|0.0|25|blisko|30|0|%",
         {"storm", "warning", "stale"},
         59,
         "blisko",
         "Burza zbliża się 30 km/h, w strefie 10 km."},
        {"coming, passing by: no arrival",
         with_approach(18.2, std::nullopt, 14.4),
         "",
         "Kraków|30|7|12.3|NE|północny wschód|2|wiatr,burza|0.0|25||18||%",
         {"storm", "warning", "stale"},
         59,
         "storm",
         "Burza zbliża się 18 km/h, minie w odległości ~14 km."},
        {"moving away",
         with_approach(-15.4, std::nullopt, 12.3),
         "",
         "Kraków|30|7|12.3|NE|północny wschód|2|wiatr,burza|0.0|25||-15||%",
         {"storm", "warning", "stale"},
         59,
         "storm",
         "Burza oddala się 15 km/h."},
        {"standing, a hair away: no negative zero",
         with_approach(-0.4, std::nullopt, 12.3),
         "",
         "Kraków|30|7|12.3|NE|północny wschód|2|wiatr,burza|0.0|25||0||%",
         {"storm", "warning", "stale"},
         59,
         "storm",
         "Burza stoi w miejscu."},
        {"unknown town, controls in the name",
         unknown,
         "",
         "Atlantyda[2J 31m|25||||||||||||%",
         {"error"},
         0,
         "error",
         ""},
    };
}

TEST(StatusBarForms, TemplateShowsEveryPlaceholderAndNothingForMissingValues) {
    for (const BarCase& c : bar_cases()) {
        const template_facts facts{c.report, c.event};
        EXPECT_EQ(template_line(every_placeholder, facts, true), c.line) << c.name;
        const std::string ascii = template_line(every_placeholder, facts, false);
        for (unsigned char byte : ascii) {
            EXPECT_TRUE(byte >= 0x20 && byte < 0x7F) << c.name << ": " << ascii;
        }
    }
    const template_facts facts{storm_report(12.34), ""};
    EXPECT_EQ(template_line("%t %n/%d km %D", facts, false), "Krakow 7/12.3 km NE");
    EXPECT_EQ(template_line("100%% %T°C\t%k", facts, true), "100% -2.5°C 30");
    // The line shows the same estimate, and no negative zero either; nor does the document.
    const run_report standing = with_approach(-0.4, std::nullopt, 12.3);
    EXPECT_NE(report_line(standing, true).find("| 0.0°C | stoi w miejscu"), std::string::npos)
        << report_line(standing, true);
    const std::string value =
        document_text(approach_value(approach_estimate{-0.04, std::nullopt, 12.3, "", 3}));
    EXPECT_NE(value.find("\"radial_kmh\":0"), std::string::npos) << value;
    EXPECT_EQ(value.find("-0"), std::string::npos) << value;
}

TEST(StatusBarForms, UnknownPlaceholdersAndATrailingPercentAreRefused) {
    const std::pair<const char*, bool> cases[] = {
        {"%t %n/%d km %D", true},
        {"", true},
        {"100%%", true},
        {"%x", false},
        {"%", false},
        {"a%", false},
        {"%%%", false},
        {"%s %E", true},
        {"%S", false},
        {"%T°C %1", false},
    };
    for (const auto& [format, usable] : cases) {
        EXPECT_EQ(!template_error(format).has_value(), usable) << format;
    }
    for (const template_placeholder& entry : template_placeholders()) {
        EXPECT_FALSE(template_error(std::string("%") + entry.letter)) << entry.letter;
    }
}

TEST(StatusBarForms, WaybarObjectIsOneLineOfJsonWithClassesPercentageAndTooltip) {
    for (const BarCase& c : bar_cases()) {
        const std::string text = document_text(waybar_object(c.report, "the line", c.event));
        EXPECT_EQ(text.find('\n'), std::string::npos) << c.name;
        Json::Value object;
        Json::CharReaderBuilder builder;
        std::string errors;
        std::istringstream in(text);
        ASSERT_TRUE(Json::parseFromStream(builder, in, &object, &errors)) << c.name << errors;
        EXPECT_EQ(object.getMemberNames(),
                  (std::vector<std::string>{"alt", "class", "percentage", "text", "tooltip"}));
        EXPECT_EQ(object["text"], "the line") << c.name;
        std::vector<std::string> classes;
        for (const Json::Value& name : object["class"]) {
            classes.push_back(name.asString());
        }
        EXPECT_EQ(classes, c.classes) << c.name;
        EXPECT_EQ(object["percentage"], c.percentage) << c.name;
        EXPECT_EQ(object["alt"], c.alt) << c.name;
        const std::string tooltip = object["tooltip"].asString();
        if (c.approach.empty()) {
            EXPECT_EQ(tooltip.find("\nBurza "), std::string::npos) << c.name << ":\n" << tooltip;
        } else {
            // After the lightning, before the warnings.
            EXPECT_NE(tooltip.find("\n" + c.approach + "\nWydano ostrzeżenia"), std::string::npos)
                << c.name << ":\n"
                << tooltip;
        }
        EXPECT_EQ(tooltip.find("\n\n"), std::string::npos) << c.name;
        EXPECT_EQ(tooltip.find("-0.0"), std::string::npos) << c.name << ":\n" << tooltip;
        EXPECT_EQ(tooltip.find('\x1b'), std::string::npos) << c.name;
    }
    const std::string tooltip = waybar_tooltip(storm_report(12.34));
    for (const char* part : {"Zarejestrowano 7 doziemnych", "północny wschód", "BURZA: 2 stopień",
                             "Temperatura -2.5°C", "(sprzed 25 min)"}) {
        EXPECT_NE(tooltip.find(part), std::string::npos) << part << " in\n" << tooltip;
    }
}

} // namespace
