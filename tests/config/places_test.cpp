// The named places of the configuration file: good and bad sections, each bad one named by its
// file and line.
#include "config/settings.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace {

struct place_case {
    std::string name;
    std::string file;
    std::string error; // the first error, "@:" standing for the file's path and a colon; empty
    std::size_t places = 0;
};

TEST(PlacesTest, SectionsAreReadAndCheckedNamingFileAndLine) {
    const std::vector<place_case> cases = {
        {"point and town",
         "[place Dom]\nnear = 50.0614,19.9366\nradius = 30\ndanger_km = 8\n"
         "[place Działka]\ntown = Nowy Sącz\n",
         "", 2},
        {"settings before places", "storm_host = burze.example\n[place A]\ntown = Tarnów\n", "", 1},
        {"following a topic", "[place Ja]\nnear = 50,20\nfollow = owntracks/ja/telefon\n", "", 1},
        {"following a topic beside the watch's",
         "[place Ja]\nnear = 50,20\nfollow = nimbrovator/ja\n", "", 1},
        {"following the watch's own states",
         "[place Ja]\nnear = 50,20\nradius = 30\nfollow = nimbrovator/+/state\n",
         "@:4: follow: temat „nimbrovator/+/state” obejmuje tematy, na których czuwanie publikuje "
         "(nimbrovator/…, homeassistant/…).",
         1},
        {"following the discovery", "[place Ja]\nnear = 50,20\nfollow = homeassistant/sensor/#\n",
         "@:3: follow: temat „homeassistant/sensor/#” obejmuje tematy, na których czuwanie "
         "publikuje (nimbrovator/…, homeassistant/…).",
         1},
        {"following under the file's own topic",
         "mqtt_topic = dom/burze\n[place Ja]\nnear = 50,20\nfollow = dom/+/+/event\n",
         "@:4: follow: temat „dom/+/+/event” obejmuje tematy, na których czuwanie publikuje "
         "(dom/burze/…, homeassistant/…).",
         1},
        {"neither town nor near", "[place A]\nradius = 30\n",
         "@:2: miejsce „A” potrzebuje dokładnie jednego z kluczy town i near.", 1},
        {"both town and near", "[place A]\ntown = Kraków\nnear = 50,20\n",
         "@:2: miejsce „A” potrzebuje dokładnie jednego z kluczy town i near.", 1},
        {"unknown key", "[place A]\ntown = Kraków\ncolour = red\n",
         "@:3: nieznany klucz miejsca „colour” (town, near, radius, danger_km, approaching_only, "
         "follow).",
         1},
        {"a slip in a key", "[place A]\ntown = Kraków\nradus = 30\n",
         "@:3: nieznany klucz miejsca „radus” (czy chodziło o radius?).", 1},
        {"radius out of range", "[place A]\ntown = Kraków\nradius = 200\n",
         "@:3: radius: nieprawidłowy promień (liczba całkowita km od 5 do 100).", 1},
        {"ring wider than radius", "[place A]\ntown = Kraków\nradius = 10\ndanger_km = 20\n",
         "@:2: miejsce „A”: danger_km musi mieścić się w promieniu.", 1},
        {"bad point", "[place A]\nnear = 95,20\n",
         "@:2: near: nieprawidłowe współrzędne „95,20” (szerokość od -90 do 90, długość od -180 "
         "do 180, np. 50.06,19.94).",
         1},
        {"bad flag", "[place A]\ntown = Kraków\napproaching_only = tak\n",
         "@:3: approaching_only: oczekiwano 1 albo 0.", 1},
        {"same name twice", "[place A]\ntown = Kraków\n[place A]\ntown = Bochnia\n",
         "@:4: miejsce „A” jest już określone wyżej.", 2},
        {"no name", "[place ]\ntown = Kraków\n", "@:2: miejsce bez nazwy ([place NAZWA]).", 1},
        {"other section", "[miejsce A]\ntown = Kraków\n",
         "@:2: ustawienia nie należą do sekcji [miejsce A].", 0},
        {"a filter no broker takes", "[place A]\ntown = Kraków\nfollow = a/+/#/b\n",
         "@:3: follow: nieprawidłowy filtr tematu MQTT „a/+/#/b” (+ i # tylko jako cały poziom, "
         "# tylko na końcu).",
         1},
        {"a filter of wildcards", "[place A]\ntown = Kraków\nfollow = owntracks/+/#\n", "", 1},
        {"a key twice", "[place A]\ntown = Kraków\nradius = 30\n# x\nradius = 40\n",
         "@:5: klucz „radius” powtórzony w miejscu „A” (wcześniej w wierszu 3).", 1},
        {"the same key in two places", "[place A]\ntown = Kraków\n[place B]\ntown = Bochnia\n", "",
         2},
        {"an empty section", "[place A]\n\n[place B]\ntown = Kraków\n",
         "@:1: miejsce „A” nie ma żadnego klucza (potrzebuje town albo near).", 1},
        {"an empty section last", "[place B]\ntown = Kraków\n[place  A ]\n# nic\n",
         "@:3: miejsce „A” nie ma żadnego klucza (potrzebuje town albo near).", 1},
    };
    for (const place_case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.path + "/config";
        write_file(path, c.file);
        settings_outcome outcome;
        outcome.settings = built_in_settings();
        read_config_file(path, outcome);
        check_followed_topics(outcome);
        EXPECT_EQ(outcome.places.size(), c.places);
        if (c.error.empty()) {
            EXPECT_TRUE(outcome.errors.empty()) << outcome.errors.front();
        } else {
            ASSERT_FALSE(outcome.errors.empty());
            EXPECT_EQ(outcome.errors.front(), path + c.error.substr(1));
        }
    }
}

TEST(PlacesTest, APlaceKeepsWhatItSetsAndLeavesTheRestUnset) {
    TempDir dir;
    write_file(dir.path + "/config", "[place Dom]\nnear = 50.0614,19.9366\ndanger_km = 8\n"
                                     "approaching_only = 1\n[place Działka]\ntown = nowy sącz\n");
    settings_outcome outcome;
    read_config_file(dir.path + "/config", outcome);
    ASSERT_EQ(outcome.places.size(), 2u);
    const named_place& home = outcome.places[0];
    EXPECT_EQ(home.name, "Dom");
    EXPECT_DOUBLE_EQ(home.near->latitude, 50.0614);
    EXPECT_EQ(home.danger_km, 8);
    EXPECT_EQ(home.approaching_only, true);
    EXPECT_FALSE(home.radius_km);
    const named_place* plot = place_named(outcome.places, "Działka");
    ASSERT_NE(plot, nullptr);
    EXPECT_FALSE(plot->near);
    EXPECT_FALSE(plot->danger_km);
    EXPECT_EQ(place_named(outcome.places, "dom"), nullptr);
}

} // namespace
