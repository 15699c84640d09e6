#include "output/line_form.h"

#include "state/run_state.h"

#include <gtest/gtest.h>

namespace {

run_report found_town(int strikes, const std::string& levels) {
    run_report report;
    report.town_outcome = town_status::found;
    report.town.name = "Kraków";
    report.radius_km = 30;
    lightning_report lightning;
    lightning.count = strikes;
    lightning.count_text = std::to_string(strikes);
    lightning.distance_km = 12.34;
    lightning.distance_text = "12.34";
    lightning.direction = "NE";
    report.lightning = lightning;
    warnings_report warnings;
    for (std::size_t i = 0; i < hazard_count; ++i) {
        warnings.levels[i] = levels.substr(i, 1);
    }
    report.warnings = warnings;
    return report;
}

struct LineCase {
    const char* name;
    run_report report;
    std::string utf8;
    std::string ascii;
};

TEST(ReportLine, SaysTheFactsInOneLine) {
    run_report warm = found_town(1, "000000");
    warm.weather = current_weather{};
    warm.weather->temperature_c = 2.94;
    run_report no_answers = found_town(0, "000000");
    no_answers.lightning.reset();
    no_answers.warnings.reset();
    run_report unknown;
    unknown.town_outcome = town_status::unknown;
    unknown.town.name = "Atlantyda";
    run_report failed;
    failed.town.typed = "łódź\x1b[2J";
    run_report odd_level = found_town(22, "50000?");
    odd_level.lightning->distance_km.reset();
    run_report place = found_town(0, "000000");
    place.place = "Działka";
    place.town.name = "Nowy Sącz";

    const LineCase cases[] = {
        {"strikes and warnings", found_town(7, "000021"),
         "Kraków: 7 wyładowań w 30 km, najbliższe 12.3 km NE | burza 2, tornado 1",
         "Krakow: 7 wyladowan w 30 km, najblizsze 12.3 km NE | burza 2, tornado 1"},
        {"quiet", found_town(0, "000000"), "Kraków: brak wyładowań w 30 km | bez ostrzeżeń",
         "Krakow: brak wyladowan w 30 km | bez ostrzezen"},
        {"one strike and the temperature", warm,
         "Kraków: 1 wyładowanie w 30 km, najbliższe 12.3 km NE | bez ostrzeżeń | 2.9°C",
         "Krakow: 1 wyladowanie w 30 km, najblizsze 12.3 km NE | bez ostrzezen | 2.9C"},
        {"no answers", no_answers, "Kraków: brak danych o wyładowaniach | ostrzeżenia: brak danych",
         "Krakow: brak danych o wyladowaniach | ostrzezenia: brak danych"},
        {"unknown town", unknown, "Atlantyda: nieznana miejscowość",
         "Atlantyda: nieznana miejscowosc"},
        {"lookup failed, control characters", failed, "łódź[2J: brak współrzędnych miejscowości",
         "lodz[2J: brak wspolrzednych miejscowosci"},
        {"unusable level and distance", odd_level,
         "Kraków: 22 wyładowania w 30 km | mróz ?, tornado ?",
         "Krakow: 22 wyladowania w 30 km | mroz ?, tornado ?"},
        {"a place by its name, not its town's", place,
         "Działka: brak wyładowań w 30 km | bez ostrzeżeń",
         "Dzialka: brak wyladowan w 30 km | bez ostrzezen"},
    };
    for (const LineCase& c : cases) {
        EXPECT_EQ(report_line(c.report, true), c.utf8) << c.name;
        EXPECT_EQ(report_line(c.report, false), c.ascii) << c.name;
    }
}

TEST(PluralForm, AgreesWithTheCount) {
    const std::pair<long, const char*> cases[] = {
        {1, "one"},   {2, "few"},  {4, "few"},  {5, "many"},  {12, "many"},  {14, "many"},
        {21, "many"}, {22, "few"}, {0, "many"}, {104, "few"}, {112, "many"}, {1022, "few"},
    };
    for (const auto& [count, form] : cases) {
        EXPECT_STREQ(plural_form(count, "one", "few", "many"), form) << count;
    }
}

} // namespace
