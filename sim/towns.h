// The simulator's towns: the Polish towns of the GeoNames table, largest first, with their
// coordinates, and lookups by a name as a user would type it.
#pragma once

#include <cstddef>
#include <string>

struct sim_town {
    const char* name;        // Polish name, UTF-8 ("Kraków")
    const char* source_name; // the name in the GeoNames table ("Krakow")
    double latitude;         // degrees north, four decimals
    double longitude;        // degrees east, four decimals
    unsigned population;
};

// Generated at build time (make_town_table).
extern const sim_town sim_town_table[];
extern const std::size_t sim_town_count;

// The form names are compared in: ASCII letters lower-cased, Polish letters without their
// diacritics ("Łódź" -> "lodz"), hyphens as spaces, runs of blanks as one space, no blanks at
// either end. Other bytes stay as they are.
std::string fold_town_name(const std::string& name);

// The town whose Polish or GeoNames name folds to the same text; the largest town wins when
// several do. Null when none does.
const sim_town* find_town(const std::string& name);

// The town nearest to a point, as the weather service names a place asked for by its
// coordinates (the first of the table when it is empty: never null).
const sim_town* nearest_town(double latitude, double longitude);
