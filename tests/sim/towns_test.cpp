#include "towns.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

TEST(FoldTownName, LowersAsciiAndDropsPolishDiacritics) {
    const struct {
        const char* name;
        const char* folded;
    } cases[] = {
        {"Kraków", "krakow"},
        {"KRAKÓW", "krakow"},
        {"krakow", "krakow"},
        {"ŁÓDŹ", "lodz"},
        {"Łódź", "lodz"},
        {"ąćęłńóśźż ĄĆĘŁŃÓŚŹŻ", "acelnoszz acelnoszz"},
        {"Bielsko-Biała", "bielsko biala"},
        {"  Bielsko -  Biała \t", "bielsko biala"},
        {"Zürich", "z\xc3\xbcrich"},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(fold_town_name(c.name), c.folded) << c.name;
    }
}

TEST(FindTown, MatchesTheNameHoweverItIsWritten) {
    const struct {
        const char* typed;
        const char* town;
        double latitude;
        double longitude;
    } cases[] = {
        {"Kraków", "Kraków", 50.0614, 19.9366},
        {"krakow", "Kraków", 50.0614, 19.9366},
        {"KRAKÓW", "Kraków", 50.0614, 19.9366},
        {"Krakow", "Kraków", 50.0614, 19.9366},
        {"Łódź", "Łódź", 51.7706, 19.4739},
        {"Lodz", "Łódź", 51.7706, 19.4739},
        {"Warszawa", "Warszawa", 52.2298, 21.0118},
        {"Warsaw", "Warszawa", 52.2298, 21.0118},
        {"bielsko biala", "Bielsko-Biała", 49.8225, 19.0469},
        {"Nowy Sącz", "Nowy Sącz", 49.6218, 20.6971},
        {"Śrem", "Śrem", 0, 0},
    };
    for (const auto& c : cases) {
        const sim_town* town = find_town(c.typed);
        ASSERT_NE(town, nullptr) << c.typed;
        EXPECT_STREQ(town->name, c.town) << c.typed;
        if (c.latitude != 0) {
            EXPECT_NEAR(town->latitude, c.latitude, 1e-9) << c.typed;
            EXPECT_NEAR(town->longitude, c.longitude, 1e-9) << c.typed;
        }
    }
}

TEST(FindTown, UnknownNamesAndDistrictsAreNotTowns) {
    for (const char* name : {"Nibylandia", "", "   ", "Mokotów", "Śródmieście", "Kraków2"}) {
        EXPECT_EQ(find_town(name), nullptr) << name;
    }
}

TEST(TownTable, HoldsTheLargestPolishTownsUnderTheirPolishNames) {
    ASSERT_GE(sim_town_count, 100u);
    std::set<std::string> names;
    std::set<std::string> folded;
    for (std::size_t i = 0; i < sim_town_count; ++i) {
        const sim_town& town = sim_town_table[i];
        names.insert(town.name);
        EXPECT_TRUE(folded.insert(fold_town_name(town.name)).second) << town.name;
        // Poland's bounding box.
        EXPECT_GT(town.latitude, 49.0) << town.name;
        EXPECT_LT(town.latitude, 54.9) << town.name;
        EXPECT_GT(town.longitude, 14.1) << town.name;
        EXPECT_LT(town.longitude, 24.2) << town.name;
        EXPECT_EQ(std::string(town.name).rfind("Gmina ", 0), std::string::npos) << town.name;
        if (i > 0) {
            EXPECT_LE(town.population, sim_town_table[i - 1].population) << town.name;
        }
    }
    for (const char* name :
         {"Warszawa", "Łódź", "Kraków", "Wrocław", "Poznań", "Gdańsk", "Białystok", "Toruń",
          "Bielsko-Biała", "Częstochowa", "Rzeszów", "Elbląg", "Zielona Góra"}) {
        EXPECT_EQ(names.count(name), 1u) << name;
    }
    EXPECT_STREQ(sim_town_table[0].name, "Warszawa");
}

} // namespace
