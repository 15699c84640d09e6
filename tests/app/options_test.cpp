// The leading options read into plain values: each value's bounds, and the culprit named when
// one is out of them.
#include "app/options.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

command_options parsed(std::vector<std::string> words) {
    words.insert(words.begin(), "nimbrovator");
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    return parse_options(static_cast<int>(words.size()), argv.data());
}

TEST(Options, ValuesAreReadWithinTheirBounds) {
    const struct {
        std::vector<std::string> words;
        std::function<bool(const command_options&)> holds;
    } cases[] = {
        {{"--watch", "--every", "0.02", "Kraków"},
         [](const command_options& o) { return o.watch.on && o.watch.every_min == 0.02; }},
        {{"--watch", "--every", "1440", "--clear-after", "0", "--cooldown", "0", "Kraków"},
         [](const command_options& o) {
             return o.watch.every_min == 1440 && o.watch.clear_after_min == 0 &&
                    o.watch.cooldown_min == 0;
         }},
        {{"--json", "--near", "-33.86,151.21"},
         [](const command_options& o) {
             return o.form == output_form::json && o.near && o.near->latitude < 0;
         }},
        {{"--line", "--danger-km", "25", "Kraków"},
         [](const command_options& o) { return o.danger_km == 25; }},
        {{"--json", "--timeout", "0.5", "--max-age", "0", "Kraków", "100"},
         [](const command_options& o) {
             return o.timeout_s == 0.5 && o.max_age_s == 0L && o.operands.size() == 3;
         }},
        {{"--watch", "--checks", "3", "--color", "never", "Kraków"},
         [](const command_options& o) {
             return o.watch.checks == 3 && o.watch.colour == colour_mode::never;
         }},
        {{"--watch", "--mqtt", "mqtt://[::1]:1883", "Kraków"},
         [](const command_options& o) { return o.watch.mqtt_url == "mqtt://[::1]:1883"; }},
        // The classic run's words are left whole to it.
        {{"Kraków", "30"},
         [](const command_options& o) {
             return o.form == output_form::text && !o.usage_error && o.operands.size() == 3;
         }},
    };
    for (const auto& c : cases) {
        const command_options options = parsed(c.words);
        EXPECT_FALSE(options.usage_error) << c.words[0] << ": " << options.error;
        EXPECT_TRUE(c.holds(options)) << c.words[0] << " " << c.words[1];
    }
}

TEST(Options, AValueOutOfItsBoundsIsAUsageErrorNamingIt) {
    const struct {
        std::vector<std::string> words;
        const char* error;
    } cases[] = {
        {{"--watch", "--every", "0", "Kraków"}, "nieprawidłowa liczba minut dla --every: 0"},
        {{"--watch", "--every", "1441", "Kraków"}, "nieprawidłowa liczba minut dla --every: 1441"},
        {{"--watch", "--cooldown", "-1", "Kraków"},
         "nieprawidłowa liczba minut dla --cooldown: -1"},
        {{"--json", "--near", "0,0"}, "nieprawidłowe współrzędne dla --near: 0,0"},
        {{"--json", "--near", "91,10"}, "nieprawidłowe współrzędne dla --near: 91,10"},
        {{"--line", "--danger-km", "0", "Kraków"},
         "nieprawidłowa liczba kilometrów dla --danger-km: 0"},
        {{"--line", "--danger-km", "30", "Kraków"},
         "strefa --danger-km (30 km) musi mieścić się w promieniu (25 km)"},
        {{"--json", "--timeout", "0", "Kraków"}, "nieprawidłowa liczba sekund dla --timeout: 0"},
        {{"--json", "--timeout", "86401", "Kraków"},
         "nieprawidłowa liczba sekund dla --timeout: 86401"},
        {{"--watch", "--checks", "0", "Kraków"}, "nieprawidłowa liczba sprawdzeń dla --checks: 0"},
        {{"--watch", "--color", "sometimes", "Kraków"},
         "nieprawidłowa wartość --color (auto, always, never): sometimes"},
        {{"--watch", "--mqtt", "http://broker", "Kraków"}, "oczekiwano mqtt://host[:port]"},
        {{"--watch", "--place", ""}, "pusta nazwa miejsca dla --place"},
        {{"--json", "--near", "50,19", "--name", std::string(101, 'a')},
         "nieprawidłowa nazwa miejsca dla --name"},
        {{"--line", "--format", "", "Kraków"}, "pusty szablon dla --format"},
        {{"--json", "Kraków", "4"}, "nieprawidłowy promień: 4"},
        {{"--json", "Kraków", "101"}, "nieprawidłowy promień: 101"},
        {{"--json", "Kraków", "30", "x"}, "nadmiarowy argument: x"},
        {{"--json", "Kraków", "--line"}, "opcje podaje się przed miejscowością: --line"},
        {{"--json", "-every", "5", "Kraków"}, "nieznana opcja: -every (czy chodziło o --every?)"},
        {{"--history", "Kraków", "169"}, "nieprawidłowa liczba godzin dla --history: 169"},
        {{"--config", "Kraków"}, "opcja --config nie przyjmuje argumentów: Kraków"},
        {{"--json", "--name", "Dom", "Kraków"}, "opcja --name działa tylko z --near"},
    };
    for (const auto& c : cases) {
        const command_options options = parsed(c.words);
        EXPECT_TRUE(options.usage_error) << c.error;
        EXPECT_NE(options.error.find(c.error), std::string::npos)
            << "expected: " << c.error << "\ngot: " << options.error;
    }
}

} // namespace
