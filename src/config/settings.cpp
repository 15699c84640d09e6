#include "config/settings.h"

#include "nimbrovator_config.h"
#include "storm/storm_client.h"
#include "text/text.h"
#include "weather/weather_fetch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

bool all_of_set(const std::string& text, const char* allowed) {
    return text.find_first_not_of(allowed) == std::string::npos;
}

std::string length_note(const std::string& value) {
    return " (ma " + std::to_string(value.size()) + ")";
}

std::string storm_key_problem(const std::string& value) {
    if (value.size() == 40 && all_of_set(value, "0123456789abcdefABCDEF")) {
        return "";
    }
    return "klucz serwisu burzowego musi mieć dokładnie 40 znaków szesnastkowych" +
           (all_of_set(value, "0123456789abcdefABCDEF") ? length_note(value) : "");
}

std::string weather_key_problem(const std::string& value) {
    if (value.size() == 32 && all_of_set(value, "0123456789abcdef")) {
        return "";
    }
    return "klucz serwisu pogodowego musi mieć dokładnie 32 małe znaki szesnastkowe" +
           (all_of_set(value, "0123456789abcdef") ? length_note(value) : "");
}

// host[:port]: letters, digits, dots and hyphens, then an optional colon and digits.
std::string host_problem(const std::string& value) {
    const std::size_t colon = value.find(':');
    const std::string name = value.substr(0, colon);
    const std::string port = colon == std::string::npos ? "1" : value.substr(colon + 1);
    const char* const host_chars =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789.-";
    if (!name.empty() && all_of_set(name, host_chars) && !port.empty() &&
        all_of_set(port, "0123456789")) {
        return "";
    }
    return "oczekiwano nazwy hosta z opcjonalnym :port, podano „" + strip_control_chars(value) +
           "”";
}

// Empty: the system's trust store; else a readable file.
std::string ca_file_problem(const std::string& value) {
    if (value.empty()) {
        return "";
    }
    struct stat status {};
    if (stat(value.c_str(), &status) != 0 || access(value.c_str(), R_OK) != 0) {
        return "nie mogę odczytać pliku „" + strip_control_chars(value) +
               "”: " + std::strerror(errno);
    }
    if (!S_ISREG(status.st_mode)) {
        return "„" + strip_control_chars(value) + "” nie jest zwykłym plikiem";
    }
    return "";
}

const char* source_name(const setting& value) {
    switch (value.source) {
    case setting_source::environment:
        return "zmienna środowiskowa ";
    case setting_source::file:
        return "plik ";
    default:
        return "wbudowane";
    }
}

} // namespace

const std::vector<setting_rule>& setting_rules() {
    static const std::vector<setting_rule> specs = {
        {"NIMBROVATOR_STORM_HOST", "storm_host", &service_settings::storm_host, false,
         host_problem},
        {"NIMBROVATOR_STORM_KEY", "storm_key", &service_settings::storm_key, true,
         storm_key_problem},
        {"NIMBROVATOR_STORM_CA_FILE", "storm_ca_file", &service_settings::storm_ca_file, false,
         ca_file_problem},
        {"NIMBROVATOR_WEATHER_HOST", "weather_host", &service_settings::weather_host, false,
         host_problem},
        {"NIMBROVATOR_WEATHER_KEY", "weather_key", &service_settings::weather_key, true,
         weather_key_problem},
    };
    return specs;
}

service_settings built_in_settings() {
    service_settings settings;
    settings.storm_host.value = NIMBROVATOR_STORM_HOST;
    settings.storm_key.value = built_in_storm_key();
    settings.storm_ca_file.value = NIMBROVATOR_STORM_CA_FILE;
    settings.weather_host.value = NIMBROVATOR_WEATHER_HOST;
    settings.weather_key.value = NIMBROVATOR_WEATHER_KEY;
    return settings;
}

void read_environment(settings_outcome& outcome) {
    for (const setting_rule& rule : setting_rules()) {
        const char* value = std::getenv(rule.variable);
        if (value != nullptr) {
            outcome.settings.*rule.member = {value, setting_source::environment, rule.variable};
        }
    }
}

void check_settings(settings_outcome& outcome) {
    for (const setting_rule& rule : setting_rules()) {
        const setting& given = outcome.settings.*rule.member;
        const std::string problem =
            given.source == setting_source::built_in ? "" : rule.problem(given.value);
        if (problem.empty()) {
            continue;
        }
        if (given.source == setting_source::environment) {
            outcome.errors.push_back("Zmienna środowiskowa " + given.origin + ": " + problem + ".");
        } else {
            outcome.errors.push_back(given.origin + ": " + rule.file_name + ": " + problem + ".");
        }
    }
}

settings_outcome load_settings() {
    settings_outcome outcome;
    outcome.settings = built_in_settings();
    outcome.file = config_file_path();
    if (!outcome.file.empty()) {
        read_config_file(outcome.file, outcome);
    }
    read_environment(outcome);
    check_settings(outcome);
    return outcome;
}

void use_settings(const service_settings& settings) {
    bool given = false;
    for (const setting_rule& rule : setting_rules()) {
        given = given || (settings.*rule.member).source != setting_source::built_in;
    }
    if (!given) {
        return;
    }
    const setting& key = settings.storm_key;
    use_storm_service(settings.storm_host.value, settings.storm_ca_file.value,
                      key.source == setting_source::built_in ? std::string() : key.value);
    use_weather_service(settings.weather_host.value, settings.weather_key.value);
}

std::string mask_key(const std::string& key) {
    // Keys are ASCII once checked; a longer first character would still not be cut apart.
    std::size_t end = 0;
    for (int shown = 0; shown < 4 && end < key.size(); ++shown) {
        ++end;
        while (end < key.size() && (static_cast<unsigned char>(key[end]) & 0xC0) == 0x80) {
            ++end;
        }
    }
    return key.substr(0, end) + "…";
}

std::string describe_settings(const settings_outcome& outcome) {
    std::string text =
        "# plik konfiguracji: " +
        (outcome.file.empty() ? std::string("nieznany (brak katalogu domowego)") : outcome.file) +
        (outcome.file_read ? "\n" : " (nie ma go)\n");
    for (const setting_rule& rule : setting_rules()) {
        const setting& given = outcome.settings.*rule.member;
        const std::string shown =
            rule.is_key ? mask_key(given.value) : strip_control_chars(given.value);
        text += std::string(rule.file_name) + " = " + shown + "  # " + source_name(given) +
                given.origin + "\n";
    }
    return text;
}
