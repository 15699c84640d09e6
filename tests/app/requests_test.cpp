// The places of the configuration file as requests: which of them share a town and a radius, so
// that their MQTT slugs carry their own names.
#include "app/requests.h"

#include <gtest/gtest.h>

namespace {

named_place town_place(const std::string& name, const std::string& town,
                       std::optional<int> radius_km = std::nullopt) {
    named_place place;
    place.name = name;
    place.town = town;
    place.radius_km = radius_km;
    return place;
}

TEST(PlaceRequests, PlacesOfOneTownAndRadiusAreToldApartAndNoOthers) {
    named_place point;
    point.name = "Las";
    point.near = place_point_of("54.52,18.53");
    const std::vector<named_place> places = {
        town_place("Dom", "Gdynia"),       town_place("Praca", "gdynia", 25),
        town_place("Sad", "Gdynia", 30),   town_place("Zamek", "Tarnów"),
        town_place("Rynek", "Tarnow", 40), point,
    };
    const struct {
        std::string radius; // after the options; empty: none
        std::vector<bool> shared;
    } cases[] = {
        {"", {true, true, false, false, false, false}},
        // A radius on the command line is every place's: each town's places share it.
        {"30", {true, true, true, true, true, false}},
    };
    for (const auto& c : cases) {
        command_options options;
        options.watch.on = true;
        options.all_places = true;
        options.operands = {"nimbrovator"};
        if (!c.radius.empty()) {
            options.operands.push_back(c.radius);
        }
        const result<std::vector<const named_place*>> named = places_named(options, places);
        ASSERT_TRUE(named);
        const result<std::vector<command_options>> chosen =
            options_of_places(options, places, *named);
        ASSERT_TRUE(chosen);
        ASSERT_EQ(chosen->size(), places.size());
        for (std::size_t i = 0; i < places.size(); ++i) {
            EXPECT_EQ((*chosen)[i].shares_town, c.shared[i])
                << places[i].name << " at radius " << c.radius;
        }
    }
}

} // namespace
