// The status-bar forms over one table of records: the --format template and the Waybar object.
#include "output/i3blocks_form.h"
#include "output/json_form.h"
#include "output/line_form.h"
#include "output/machine_run.h"
#include "output/places_bar.h"
#include "output/template_form.h"
#include "output/waybar_form.h"
#include "report/lightning_check.h"
#include "state/run_state.h"

#include <gtest/gtest.h>

#include <sstream>

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
         "Kraków|30|7|0.0|NE|północny wschód|2|wiatr,burza|-2.5|25|burza||0|%",
         {"storm", "near", "warning", "stale"},
         100,
         "burza",
         ""},
        {"near edge: exactly 10 km",
         storm_report(10),
         "blizej",
         "Kraków|30|7|10.0|NE|północny wschód|2|wiatr,burza|-2.5|25|blizej||0|%",
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
    // Safe again: whole minutes, rounded up; the tooltip says it with the time.
    run_report struck = storm_report(4);
    struck.made_at = 1000000;
    for (const auto& [after_s, minutes] : {std::pair<long, std::string>{1500, "25"}, {1, "1"}}) {
        struck.safe_at = struck.made_at + after_s;
        EXPECT_EQ(template_line("%[bezpiecznie za %C min%]", {struck, ""}, true),
                  "bezpiecznie za " + minutes + " min");
        EXPECT_NE(waybar_tooltip(struck).find("Bezpiecznie za ~" + minutes + " min ("),
                  std::string::npos)
            << waybar_tooltip(struck);
    }
    struck.safe_at.reset();
    EXPECT_EQ(template_line("%[bezpiecznie za %C min%]", {struck, ""}, true), "");
    EXPECT_EQ(waybar_tooltip(struck).find("Bezpiecznie"), std::string::npos);
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
        {"%x", true},
        {"⚡ %n%[ %d km %D%]%[ ~%E min%]", true},
        {"%[%[%d%]%]", false},
        {"%[%d", false},
        {"%d%]", false},
        {"%[%d%] %]", false},
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
        std::vector<std::string> expected_classes = c.classes;
        if (!c.event.empty()) { // the check's event is a class of its own
            expected_classes.push_back(c.event);
        }
        EXPECT_EQ(classes, expected_classes) << c.name;
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

TEST(StatusBarForms, GroupsDropWhatIsEmptyAndEmptyPlaceholdersLeaveNoSpaces) {
    run_report calm = storm_report(0);
    calm.lightning = lightning_report{"0", 0, "15", 15, "0", 0.0, ""};
    calm.weather_age = freshness{};
    run_report stale = storm_report(12.34); // the weather is 25 min old
    stale.approach = approach_estimate{20, 9.4, 1, "S", 4};
    run_report failed = calm;
    failed.lightning.reset();
    run_report standing = storm_report(4.2); // inside the ring, going nowhere
    standing.approach = approach_estimate{-0.4, std::nullopt, 4.2, "", 4};
    run_report no_estimate = storm_report(9.9);
    run_report tagged = calm; // a name with every bar's markup in it
    tagged.town.name = "Tom & <i> %{F#f00} #[fg=red]#{host} 100%";
    const char* const bar = "⚡ %n%[ %d km %D%]%[ ~%E min%]%[ %x%]";
    const struct {
        const char* name;
        const run_report& report;
        const char* format;
        std::string line;
        markup escape = markup::none; // --escape: the fields' text, not the template's
    } cases[] = {
        {"calm", calm, bar, "⚡ 0"},
        {"calm, no groups", calm, "⚡ %n %d km %D ~%E min", "⚡ 0 km ~ min"},
        {"empty at the ends", calm, " %D %t %D ", " Kraków"},
        {"the user's own spaces stay", calm, "a  b %% %D", "a  b %"},
        {"stale, coming", stale, bar, "⚡ 7 12.3 km NE ~9 min nieaktualne (25 min)"},
        {"no answer", failed, bar, "⚡ błąd"},
        {"in the ring, standing", standing, "%[%E%]|%s", "0|0"},
        {"in the ring, no estimate", no_estimate, "%[%E min%]", "0 min"},
        {"a group of literals only", calm, "%[100%%%]", "100%"},
        {"markup in a name, as it is", tagged, "%t", "Tom & <i> %{F#f00} #[fg=red]#{host} 100%"},
        {"pango", tagged, "<b>%t</b>", "<b>Tom &amp; &lt;i&gt; %{F#f00} #[fg=red]#{host} 100%</b>",
         markup::pango},
        // Polybar has no escape: "%%{" would be a "%" and a tag.
        {"polybar", tagged, "%%{F#0f0}%t{%%{F-}",
         "%{F#0f0}Tom & <i> %\u200B{F#f00} #[fg=red]#{host} 100%\u200B{%{F-}", markup::polybar},
        {"tmux", tagged, "#[bold]%t", "#[bold]Tom & <i> %{F##f00} ##[fg=red]##{host} 100%",
         markup::tmux},
        {"nothing to escape", calm, "%t %n", "Kraków 0", markup::pango},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(template_line(c.format, template_facts{c.report, ""}, true, c.escape), c.line)
            << c.name;
    }
    EXPECT_EQ(template_line("%t", template_facts{tagged, ""}, false, markup::polybar),
              "Tom & <i> % {F#f00} #[fg=red]#{host} 100% ");
    // The document agrees: inside the ring the storm is there now.
    standing.approach_included = true;
    EXPECT_EQ(report_document(standing)["approach"]["eta_min"], 0.0);
}

TEST(StatusBarForms, BarsExitZeroWithTheStateInTheTextScriptsKeepTheStatus) {
    run_report stale = storm_report(12.34);
    run_report failed = stale;
    failed.lightning.reset();
    failed.errors = {{"lightning", "Brak połączenia."}};
    run_report ring = storm_report(4);
    ring.weather_age = freshness{};
    run_report stale_ring = ring; // urgent still: the last known strikes were that close
    stale_ring.lightning_age = freshness{900, true};
    const struct {
        output_form form;
        const char* format;
        const run_report& report;
        int status;
    } cases[] = {
        {output_form::json, "", stale, 3},     {output_form::json, "", failed, 1},
        {output_form::json, "", ring, 0},      {output_form::line, "", stale, 3},
        {output_form::line, "", failed, 1},    {output_form::line, "%t", stale, 0},
        {output_form::line, "%t", failed, 0},  {output_form::waybar, "", stale, 0},
        {output_form::waybar, "", failed, 0},  {output_form::waybar, "%t", failed, 0},
        {output_form::i3blocks, "", stale, 0}, {output_form::i3blocks, "", failed, 0},
        {output_form::i3blocks, "", ring, 33}, {output_form::i3blocks, "", stale_ring, 33},
    };
    for (const auto& c : cases) {
        const form_facts facts{c.report, c.format, true, false, "", ""};
        EXPECT_EQ(form_status(c.form, facts), c.status)
            << static_cast<int>(c.form) << " " << c.format << ": " << render_form(c.form, facts);
    }
}

// How the watch streams each form, as its row says: only the status bars keep the alerts off
// both streams, and a bar's object, and only it, has one object for a watch of several places
// (without it such a watch would print nothing).
TEST(StatusBarForms, EachFormsRowSaysHowTheWatchStreamsIt) {
    using S = watch_stream;
    const struct {
        output_form form;
        const char* format;
        S stream;
        bool for_programs, for_bars;
    } rows[] = {
        {output_form::text, "", S::timed_line, false, false},
        {output_form::line, "", S::timed_line, false, false},
        {output_form::line, "%t", S::bar_line, true, true},
        {output_form::json, "", S::document, true, false},
        {output_form::waybar, "", S::bar_object, true, true},
        {output_form::waybar, "%t", S::bar_object, true, true},
        {output_form::i3blocks, "", S::bar_object, true, true},
    };
    for (const auto& row : rows) {
        const std::string name = std::to_string(static_cast<int>(row.form)) + " " + row.format;
        EXPECT_EQ(form_stream(row.form, row.format), row.stream) << name;
        EXPECT_EQ(form_for_programs(row.form, row.format), row.for_programs) << name;
        EXPECT_EQ(form_for_bars(row.form, row.format), row.for_bars) << name;
        EXPECT_EQ(render_places(row.form, {}).has_value(), row.stream == S::bar_object) << name;
    }
}

// One run: lines and an exit status; the watch: an object a check (i3blocks' format=json, read
// by a persistent block) with the colour and the urgency too.
TEST(StatusBarForms, I3blocksGivesFullShortAndColourAsLinesOrStreamedAsAnObject) {
    run_report storm = storm_report(12.34);
    storm.weather_age = freshness{};
    run_report calm = storm;
    calm.lightning = lightning_report{"0", 0, "15", 15, "0", 0.0, ""};
    run_report failed = storm;
    failed.lightning.reset();
    run_report ring = storm_report(3);
    ring.weather_age = freshness{};
    run_report stale_ring = ring; // the last known strikes were inside the ring
    stale_ring.lightning_age = freshness{900, true};
    const struct {
        const char* name;
        run_report report;
        std::string block;
        std::string streamed;
    } cases[] = {
        {"inside the ring", ring, "full\n7 3.0 km\n#FF0000",
         R"({"color":"#FF0000","full_text":"full","short_text":"7 3.0 km","urgent":"true"})"},
        {"inside the ring, stale: grey and urgent", stale_ring, "full\n7 3.0 km\n#808080",
         R"({"color":"#808080","full_text":"full","short_text":"7 3.0 km","urgent":"true"})"},
        {"inside the ring, stale weather", storm_report(9.96), "full\n7 10.0 km\n#808080",
         R"({"color":"#808080","full_text":"full","short_text":"7 10.0 km","urgent":"true"})"},
        {"storm in the radius", storm, "full\n7 12.3 km\n#FFA500",
         R"({"color":"#FFA500","full_text":"full","short_text":"7 12.3 km","urgent":"false"})"},
        {"calm", calm, "full\n0", R"({"full_text":"full","short_text":"0","urgent":"false"})"},
        {"no answer", failed, "full\nB/D\n#808080",
         R"({"color":"#808080","full_text":"full","short_text":"B/D","urgent":"false"})"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(i3blocks_block(c.report, "full", false), c.block) << c.name;
        EXPECT_EQ(i3blocks_block(c.report, "full", true), c.streamed) << c.name;
        EXPECT_EQ(i3blocks_exit_status(c.report), i3blocks_urgent(c.report) ? 33 : 0) << c.name;
    }
    // i3blocks 1.4 reads no escapes: a string ends at the next '"'.
    EXPECT_EQ(i3blocks_block(calm, "a \"b\" c:\\d ⚡", true),
              R"({"full_text":"a 'b' c:/d ⚡","short_text":"0","urgent":"false"})");
}

TEST(StatusBarForms, WaybarTextAndTooltipAreMarkupThatShowsEverySpecialCharacter) {
    run_report report = storm_report(12.34);
    report.town.name = "<b>Tom & Jerry's \"bar\"</b> &amp; >";
    report.forecast_included = true;
    report.forecast = std::vector<forecast_entry>(1); // a day the reply said nothing about
    report.errors = {{"forecast", "Serwer <x> odpowiedział kodem HTTP 500."}};
    const Json::Value object = waybar_object(report, report_line(report, true), "");
    for (const char* member : {"text", "tooltip"}) {
        const std::string text = object[member].asString();
        for (std::size_t i = 0; i < text.size(); ++i) {
            EXPECT_EQ(std::string("<>'\"").find(text[i]), std::string::npos) << member << text;
            if (text[i] == '&') {
                const std::size_t end = text.find(';', i);
                ASSERT_NE(end, std::string::npos) << member << text;
                const std::string entity = text.substr(i, end + 1 - i);
                EXPECT_TRUE(entity == "&amp;" || entity == "&lt;" || entity == "&gt;" ||
                            entity == "&apos;" || entity == "&quot;")
                    << entity;
            }
        }
        EXPECT_NE(
            text.find("&lt;b&gt;Tom &amp; Jerry&apos;s &quot;bar&quot;&lt;/b&gt; &amp;amp; &gt;"),
            std::string::npos)
            << text;
    }
    // The stale answer says why; the day without figures shows none.
    const std::string tooltip = object["tooltip"].asString();
    EXPECT_NE(tooltip.find("Serwer &lt;x&gt; odpowiedział kodem HTTP 500."), std::string::npos);
    EXPECT_NE(tooltip.find("\nB/D B/D-B/D, B/D, B/D, B/D\n"), std::string::npos) << tooltip;
    EXPECT_EQ(tooltip.find("1970"), std::string::npos) << tooltip;
    // Two parts that failed alike: each failure once.
    const std::string key = "Serwis burzowy s odrzucił klucz.";
    const std::string refused = "Nie udało się połączyć z serwerem w: połączenie odrzucone.";
    report.errors = {
        {"warnings", key}, {"lightning", key}, {"weather", refused}, {"forecast", refused}};
    const std::string once = waybar_tooltip(report);
    for (const std::string& message : {key, refused}) {
        const std::size_t at = once.find(message);
        EXPECT_NE(at, std::string::npos) << once;
        EXPECT_EQ(once.find(message, at + 1), std::string::npos) << once;
    }
}

TEST(StatusBarForms, WhatTheServiceCannotMeanIsNoDataInTheNewerForms) {
    const std::string forged = "NE\n12:00:00 *** BURZA: fake ***";
    const std::string huge = "1" + std::string(308, '0');
    const struct {
        const char* distance;
        std::string direction;
        std::string line; // --line's lightning part
        Json::Value nearest_km;
        Json::Value direction_code;
        int percentage;
        std::optional<double> beyond_km = std::nullopt; // a distance beyond the radius, kept
    } cases[] = {
        {"-5", "NE", "7 wyładowań w 30 km | ", Json::Value(), "NE", 0},
        {"-0", "NNE", "7 wyładowań w 30 km, najbliższe 0.0 km NNE | ", 0.0, "NNE", 100},
        {"35", "WSW", "7 wyładowań w 30 km, najbliższe 35.0 km WSW | ", 35.0, "WSW", 0},
        {"35.1", "N", "7 wyładowań w 30 km | ", Json::Value(), "N", 0, 35.1},
        {"99999", "ne", "7 wyładowań w 30 km | ", Json::Value(), Json::Value(), 0, 99999},
        {huge.c_str(), forged, "7 wyładowań w 30 km | ", Json::Value(), Json::Value(), 0, 1e308},
        {"12.3", std::string(300000, 'N'), "7 wyładowań w 30 km, najbliższe 12.3 km | ", 12.3,
         Json::Value(), 59},
    };
    for (const auto& c : cases) {
        const std::string reply = std::string("<liczba xsi:type=\"xsd:int\">7</liczba>") +
                                  "<odleglosc xsi:type=\"xsd:float\">" + c.distance +
                                  "</odleglosc><kierunek xsi:type=\"xsd:string\">" + c.direction +
                                  "</kierunek>";
        run_report report = storm_report(0);
        report.lightning = checked_lightning(extract_lightning(reply), report.radius_km);
        ASSERT_TRUE(report.lightning) << c.distance;
        EXPECT_EQ(report.lightning->count, 7) << c.distance;
        EXPECT_EQ(report.lightning->beyond_km, c.beyond_km) << c.distance;
        EXPECT_NE(report_line(report, true).find(c.line), std::string::npos)
            << c.distance << ": " << report_line(report, true);
        const Json::Value lightning = report_document(report)["lightning"];
        EXPECT_EQ(lightning["nearest_km"], c.nearest_km) << c.distance;
        EXPECT_EQ(document_text(lightning).find("-0"), std::string::npos) << c.distance;
        EXPECT_EQ(lightning["direction"], c.direction_code) << c.distance;
        EXPECT_EQ(closeness_percentage(report), c.percentage) << c.distance;
        const std::string tooltip = waybar_tooltip(report);
        EXPECT_EQ(tooltip.find("BURZA: fake"), std::string::npos) << tooltip;
        EXPECT_LT(tooltip.size(), 2000u) << c.distance;
    }
}

// Several places in one bar: the most urgent place's line, class and alt, a tooltip line each.
TEST(StatusBarForms, SeveralPlacesShowTheMostUrgentWithATooltipLineEach) {
    run_report calm = storm_report(0);
    calm.lightning = lightning_report{"0", 0, "15", 15, "", std::nullopt, ""};
    run_report failed = storm_report(0);
    failed.lightning.reset();
    const run_report far = storm_report(20);
    const run_report nearer = storm_report(14);
    run_report in_ring = storm_report(12);
    in_ring.danger_km = 13; // 12 km is inside
    run_report closer_outside = storm_report(5);
    closer_outside.danger_km = 3;
    const struct {
        const char* name;
        std::vector<run_report> reports;
        std::size_t urgent;
        std::string alt;
        bool urgent_block; // i3blocks
    } cases[] = {
        {"all calm: the first", {calm, calm}, 0, "calm", false},
        {"strikes over calm", {calm, far}, 1, "storm", false},
        {"a failed answer over calm", {calm, failed}, 1, "error", false},
        {"strikes over a failed answer", {failed, far, calm}, 1, "storm", false},
        {"the closer of two storms", {far, nearer}, 1, "storm", false},
        {"inside the ring over closer strikes outside",
         {closer_outside, in_ring},
         1,
         "storm",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<bar_place> places;
        for (std::size_t i = 0; i < c.reports.size(); ++i) {
            places.push_back(
                {"P" + std::to_string(i), c.reports[i], "linia " + std::to_string(i), ""});
        }
        EXPECT_EQ(most_urgent_place(places), c.urgent);
        const Json::Value object = waybar_places(places);
        EXPECT_EQ(object["text"].asString(),
                  "P" + std::to_string(c.urgent) + ": linia " + std::to_string(c.urgent));
        EXPECT_EQ(object["alt"].asString(), c.alt);
        const std::string tooltip = object["tooltip"].asString();
        EXPECT_EQ(std::count(tooltip.begin(), tooltip.end(), '\n'),
                  static_cast<long>(c.reports.size()) - 1);
        Json::Value block;
        std::istringstream in(i3blocks_places(places));
        ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &block, nullptr));
        EXPECT_EQ(block["full_text"], object["text"]);
        EXPECT_EQ(block["urgent"], c.urgent_block ? "true" : "false");
    }
}

} // namespace
