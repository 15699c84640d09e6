// Each setting's rule over the values a user may give it: right ones pass, a wrong one is named.
#include "config/settings.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const setting_rule* rule_named(const char* file_name) {
    for (const setting_rule& rule : setting_rules()) {
        if (std::strcmp(rule.file_name, file_name) == 0) {
            return &rule;
        }
    }
    return nullptr;
}

TEST(SettingRules, EachValueIsCheckedByItsSettingsRule) {
    TempDir dir;
    const std::string not_pem = dir.path + "/ca.pem";
    write_file(not_pem, "-----BEGIN NOTHING-----\n");
    const struct {
        const char* setting;
        std::string value;
        const char* problem; // empty: the value is right
    } cases[] = {
        {"storm_host", "localhost:8443", ""},
        {"storm_host", "[::1]:8443", ""},
        {"storm_host", "burze.example", ""},
        {"storm_host", "burze.example/soap", "oczekiwano nazwy hosta z opcjonalnym :port"},
        {"storm_host", "::1", "oczekiwano nazwy hosta"},
        {"storm_host", "burze.example:0", "port musi być liczbą od 1 do 65535"},
        {"storm_host", "burze.example:65536", "port musi być liczbą od 1 do 65535"},
        {"storm_host", "burze.example:00443", ""},
        {"storm_host", "[::1", "oczekiwano nazwy hosta"},
        {"weather_host", "https://pogoda.example:8443", ""},
        {"weather_host", "pogoda.example", ""},
        {"weather_host", "ftp://pogoda.example", "oczekiwano http://, https://"},
        {"weather_host", "http://", "oczekiwano http://, https://"},
        {"storm_key", std::string(40, 'a'), ""},
        {"storm_key", std::string(39, 'a'), "dokładnie 40 znaków szesnastkowych (ma 39)"},
        {"storm_key", std::string(40, 'g'), "dokładnie 40 znaków szesnastkowych"},
        {"weather_key", std::string(32, 'f'), ""},
        {"weather_key", std::string(32, 'F'), "32 małe znaki szesnastkowe"},
        {"mqtt_url", "mqtts://broker.example:8883", ""},
        {"mqtt_url", "http://broker.example", "oczekiwano mqtt://host[:port]"},
        {"mqtt_discovery", "0", ""},
        {"mqtt_discovery", "yes", "oczekiwano 0 lub 1"},
        {"mqtt_commands", "on", ""},
        {"mqtt_commands", "1", "oczekiwano on lub off"},
        {"storm_ca_file", "", ""},
        {"storm_ca_file", "/", "nie jest zwykłym plikiem"},
        {"storm_ca_file", not_pem, "nie zawiera certyfikatu w formacie PEM"},
    };
    for (const auto& c : cases) {
        const setting_rule* rule = rule_named(c.setting);
        ASSERT_NE(rule, nullptr) << c.setting;
        const std::string problem = rule->problem(c.value);
        if (*c.problem == '\0') {
            EXPECT_EQ(problem, "") << c.setting << " = " << c.value;
        } else {
            EXPECT_NE(problem.find(c.problem), std::string::npos)
                << c.setting << " = " << c.value << ": " << problem;
        }
    }
}

} // namespace
