// Deterministic, plausible observations: the same place in the same 10-minute window always
// gets the same values. Every generator is a pure function of its inputs and the time given.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <string>

// A small pseudo-random sequence (splitmix64).
struct sim_random {
    std::uint64_t state;
};
std::uint64_t next_random(sim_random& random);
double next_unit(sim_random& random);                // in [0, 1)
int next_int(sim_random& random, int low, int high); // in [low, high]
double next_between(sim_random& random, double low, double high);

// 64-bit FNV-1a of a text.
std::uint64_t text_hash(const std::string& text);
// The number of the 10-minute window that holds `now` (floor(now / 600)).
long long observation_window(std::time_t now);
// A sequence seeded from a key, a time block and a purpose (so that different values drawn for
// the same place do not follow each other).
sim_random random_for(std::uint64_t key, long long block, const char* purpose);
// A key for a point: its coordinates rounded to 0.01 degree (about 1 km), so that 50.0614 sent
// as a text and 50.0614014 sent as a float are the same point.
std::uint64_t point_key(double latitude, double longitude);
// The month (1-12, UTC) of a time.
int month_of(std::time_t now);

// One answer of the lightning search.
struct lightning {
    int liczba = 0;       // strikes within the radius during the period
    double odleglosc = 0; // km to the nearest one, one decimal, within the radius
    std::string kierunek; // its compass code: N NE E SE S SW W NW; empty without strikes
    int okres = 10;       // length of the period in minutes: 10 or 15
};
lightning lightning_at(double latitude, double longitude, int promien, std::time_t now);

// Warning levels 0-3 in the service's order: mroz, upal, wiatr, opad, burza, traba.
using warning_levels = std::array<int, 6>;
extern const std::array<const char*, 6> warning_names;
warning_levels warnings_at(double latitude, double longitude, std::time_t now);

// The Polish name of a compass code ("NE" -> "północny wschód"); empty for an unknown code.
std::string compass_name(const std::string& code);
