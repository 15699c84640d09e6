// The place given by coordinates: what --near accepts and the texts the services get.
#include "text/place_point.h"

#include <gtest/gtest.h>

namespace {

TEST(PlacePoint, GoodCoordinatesKeepTheirTextsAndValues) {
    struct Case {
        const char* given;
        const char* y;
        const char* x;
        double latitude;
        double longitude;
    };
    const Case cases[] = {
        {"50.06,19.94", "50.06", "19.94", 50.06, 19.94},
        {" 54.35 , 18.6466 ", "54.35", "18.6466", 54.35, 18.6466},
        {"-33.8688,151.2093", "-33.8688", "151.2093", -33.8688, 151.2093},
        {"90,180", "90", "180", 90, 180},
        {"-90,-180", "-90", "-180", -90, -180},
        {"0,19", "0", "19", 0, 19},
        {"50,0", "50", "0", 50, 0},
        {"0.0001,0", "0.0001", "0", 0.0001, 0},
    };
    for (const Case& c : cases) {
        const std::optional<place_point> point = place_point_of(c.given);
        ASSERT_TRUE(point) << c.given;
        EXPECT_EQ(point->y, c.y);
        EXPECT_EQ(point->x, c.x);
        EXPECT_DOUBLE_EQ(point->latitude, c.latitude);
        EXPECT_DOUBLE_EQ(point->longitude, c.longitude);
    }
    EXPECT_EQ(place_point_name(*place_point_of("50.06,19.94")), "50.06, 19.94");
}

TEST(PlacePoint, BadCoordinatesAreRefused) {
    for (const char* given : {"",
                              ",",
                              "50.06",
                              "50.06,",
                              ",19.94",
                              "0,0",
                              "0.0,-0",
                              "90.0001,0",
                              "-90.5,10",
                              "50,180.01",
                              "50,-181",
                              "50.06;19.94",
                              "50.06 19.94",
                              "50,06,19,94",
                              "1,2,3",
                              "+50,19",
                              "5e1,19",
                              "50.,19",
                              ".5,19",
                              "N50.06,E19.94",
                              "50.06°,19.94°",
                              "nan,19",
                              "inf,19",
                              "50.0600000000001,19",
                              "0x32,19",
                              "50\n,19"}) {
        EXPECT_FALSE(place_point_of(given)) << given;
    }
}

} // namespace
