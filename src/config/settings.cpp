#include "config/settings.h"

#include "nimbrovator_config.h"
#include "storm/storm_client.h"
#include "text/system_error.h"
#include "text/text.h"
#include "weather/weather_fetch.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

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

constexpr const char* host_form = "oczekiwano nazwy hosta z opcjonalnym :port";
constexpr const char* port_range = "port musi być liczbą od 1 do 65535";

// Digits naming a port from 1 to 65535 (leading zeros allowed).
bool valid_port(const std::string& digits) {
    if (digits.empty() || !all_of_set(digits, "0123456789")) {
        return false;
    }
    const std::size_t first = digits.find_first_not_of('0');
    return first != std::string::npos && digits.size() - first <= 5 &&
           std::stoul(digits.substr(first)) <= 65535;
}

// host[:port]: letters, digits, dots and hyphens, or an IPv6 address in brackets; then an
// optional colon and a port from 1 to 65535. What is wrong with it, from `form` on.
std::string host_port_problem(const std::string& value, const std::string& shown,
                              const char* form) {
    std::string wrong_form = std::string(form) + ", podano „" + shown + "”";
    std::size_t host_end = 0;
    if (!value.empty() && value[0] == '[') {
        host_end = value.find(']');
        unsigned char address[16];
        if (host_end == std::string::npos ||
            inet_pton(AF_INET6, value.substr(1, host_end - 1).c_str(), address) != 1) {
            return wrong_form;
        }
        ++host_end;
    } else {
        host_end = std::min(value.find(':'), value.size());
        const char* const host_chars =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789.-";
        if (host_end == 0 || !all_of_set(value.substr(0, host_end), host_chars)) {
            return wrong_form;
        }
    }
    if (host_end == value.size()) {
        return "";
    }
    const std::string port = value.substr(host_end + 1);
    if (value[host_end] != ':' || port.empty() || !all_of_set(port, "0123456789")) {
        return wrong_form;
    }
    return valid_port(port) ? "" : std::string(port_range) + ", podano „" + shown + "”";
}

std::string host_problem(const std::string& value) {
    return host_port_problem(value, strip_control_chars(value), host_form);
}

// The weather host: http:// or https:// (or neither), then host[:port] as for the storm host.
std::string weather_host_problem(const std::string& value) {
    const weather_address address = split_weather_address(value);
    const bool known_scheme =
        value.find("://") == std::string::npos || value.rfind(address.scheme + "://", 0) == 0;
    return host_port_problem(known_scheme ? address.host : std::string(),
                             strip_control_chars(value),
                             "oczekiwano http://, https:// albo samej nazwy hosta z opcjonalnym "
                             ":port");
}

// Empty: the system's trust store; else a readable file with at least one PEM certificate.
// A file setting names a readable regular file (a FIFO or a device is never opened).
std::string regular_file_problem(const std::string& value) {
    if (value.empty()) {
        return "";
    }
    const std::string shown = "„" + strip_control_chars(value) + "”";
    struct stat status {};
    if (stat(value.c_str(), &status) != 0 || access(value.c_str(), R_OK) != 0) {
        return "nie mogę odczytać pliku " + shown + ": " + system_error_text(errno);
    }
    if (!S_ISREG(status.st_mode)) {
        return shown + " nie jest zwykłym plikiem";
    }
    return "";
}

std::string ca_file_problem(const std::string& value) {
    std::string problem = regular_file_problem(value);
    if (value.empty() || !problem.empty()) {
        return problem;
    }
    const std::string shown = "„" + strip_control_chars(value) + "”";
    std::unique_ptr<BIO, decltype(&BIO_free)> file(BIO_new_file(value.c_str(), "r"), BIO_free);
    std::unique_ptr<STACK_OF(X509_INFO), void (*)(STACK_OF(X509_INFO)*)> read(
        file ? PEM_X509_INFO_read_bio(file.get(), nullptr, nullptr, nullptr) : nullptr,
        [](STACK_OF(X509_INFO) * infos) { sk_X509_INFO_pop_free(infos, X509_INFO_free); });
    // What the TLS library could not read stays out of later requests' fault texts.
    ERR_clear_error();
    for (int i = 0; read && i < sk_X509_INFO_num(read.get()); ++i) {
        if (sk_X509_INFO_value(read.get(), i)->x509 != nullptr) {
            return "";
        }
    }
    return shown + " nie zawiera certyfikatu w formacie PEM";
}

std::string mqtt_url_problem(const std::string& value) {
    if (value.empty() || parse_broker_url(value)) {
        return "";
    }
    return "oczekiwano mqtt://host[:port] lub mqtts://host[:port], podano „" +
           strip_control_chars(broker_url_shown(value)) + "”";
}

std::string topic_problem(const std::string& value) {
    const result<void> checked = check_topic_prefix(value);
    return checked ? "" : checked.error();
}

std::string switch_problem(const std::string& value) {
    return value == "0" || value == "1" ? "" : "oczekiwano 0 lub 1";
}

std::string on_off_problem(const std::string& value) {
    return value == "on" || value == "off" ? "" : "oczekiwano on lub off";
}

std::string any_value(const std::string&) {
    return "";
}

service_settings& kept_settings() {
    static service_settings settings = built_in_settings();
    return settings;
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
         weather_host_problem},
        {"NIMBROVATOR_WEATHER_KEY", "weather_key", &service_settings::weather_key, true,
         weather_key_problem},
        {"NIMBROVATOR_WEATHER_CA_FILE", "weather_ca_file", &service_settings::weather_ca_file,
         false, ca_file_problem},
        {"NIMBROVATOR_MQTT_URL", "mqtt_url", &service_settings::mqtt_url, false, mqtt_url_problem},
        {"NIMBROVATOR_MQTT_TOPIC", "mqtt_topic", &service_settings::mqtt_topic, false,
         topic_problem},
        {"NIMBROVATOR_MQTT_DISCOVERY_PREFIX", "mqtt_discovery_prefix",
         &service_settings::mqtt_discovery_prefix, false, topic_problem},
        {"NIMBROVATOR_MQTT_DISCOVERY", "mqtt_discovery", &service_settings::mqtt_discovery, false,
         switch_problem},
        {"NIMBROVATOR_MQTT_USER", "mqtt_user", &service_settings::mqtt_user, true, any_value},
        {"NIMBROVATOR_MQTT_PASSWORD", "mqtt_password", &service_settings::mqtt_password, true,
         any_value, true},
        {"NIMBROVATOR_MQTT_PASSWORD_FILE", "mqtt_password_file",
         &service_settings::mqtt_password_file, false, regular_file_problem},
        {"NIMBROVATOR_MQTT_CA_FILE", "mqtt_ca_file", &service_settings::mqtt_ca_file, false,
         ca_file_problem},
        {"NIMBROVATOR_MQTT_COMMANDS", "mqtt_commands", &service_settings::mqtt_commands, false,
         on_off_problem},
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
    settings.weather_ca_file.value = NIMBROVATOR_WEATHER_CA_FILE;
    settings.mqtt_topic.value = "nimbrovator";
    settings.mqtt_discovery_prefix.value = "homeassistant";
    settings.mqtt_discovery.value = "1";
    settings.mqtt_commands.value = "off";
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

std::string setting_problem(const setting_rule& rule, const setting& given) {
    return given.source == setting_source::built_in ? "" : rule.problem(given.value);
}

void check_settings(settings_outcome& outcome) {
    for (const setting_rule& rule : setting_rules()) {
        const setting& given = outcome.settings.*rule.member;
        const std::string problem = setting_problem(rule, given);
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
    check_followed_topics(outcome);
    return outcome;
}

void use_settings(const service_settings& settings) {
    kept_settings() = settings;
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
    use_weather_service(settings.weather_host.value, settings.weather_ca_file.value,
                        settings.weather_key.value);
}

const service_settings& settings_in_use() {
    return kept_settings();
}

bool mqtt_settings_of(const service_settings& settings, const std::string& url,
                      std::optional<mqtt_settings>& mqtt, std::string& problem) {
    const std::optional<broker_address> broker =
        parse_broker_url(url.empty() ? settings.mqtt_url.value : url);
    if (!broker) {
        return true;
    }
    mqtt_settings chosen;
    chosen.broker = *broker;
    chosen.user = settings.mqtt_user.value;
    chosen.password = settings.mqtt_password.value;
    chosen.ca_file = settings.mqtt_ca_file.value;
    chosen.topic = settings.mqtt_topic.value;
    chosen.discovery_prefix = settings.mqtt_discovery_prefix.value;
    chosen.discovery = settings.mqtt_discovery.value != "0";
    chosen.commands = settings.mqtt_commands.value == "on";
    const std::string& path = settings.mqtt_password_file.value;
    if (chosen.password.empty() && !path.empty()) {
        std::ifstream file(path);
        if (!file || !std::getline(file, chosen.password)) {
            problem = "Nie mogę odczytać hasła MQTT z pliku " + strip_control_chars(path) + ".";
            return false;
        }
        if (!chosen.password.empty() && chosen.password.back() == '\r') {
            chosen.password.pop_back();
        }
    }
    mqtt = chosen;
    return true;
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
        std::string shown = rule.is_key && !given.value.empty() ? mask_key(given.value)
                                                                : strip_control_chars(given.value);
        if (rule.member == &service_settings::mqtt_password && !given.value.empty()) {
            shown = "(ustawione)"; // not a character of a password
        } else if (rule.member == &service_settings::mqtt_url) {
            shown = strip_control_chars(broker_url_shown(given.value));
        }
        if (rule.member == &service_settings::weather_host) {
            // A host without a scheme goes over plain HTTP: that is shown.
            const weather_address address = split_weather_address(given.value);
            shown = address.scheme + "://" + strip_control_chars(address.host);
        }
        const std::string problem = setting_problem(rule, given);
        text += std::string(rule.file_name) + " = " + shown + "  # " + source_name(given) +
                given.origin + (problem.empty() ? "" : "; BŁĄD: " + problem) + "\n";
    }
    for (const named_place& place : outcome.places) {
        text += "[place " + place.name + "]  # plik " + place.origin + "\n";
        text += place.near ? "near = " + place.near->y + "," + place.near->x + "\n"
                           : "town = " + place.town + "\n";
        if (place.radius_km) {
            text += "radius = " + std::to_string(*place.radius_km) + "\n";
        }
        if (place.danger_km) {
            text += "danger_km = " + std::to_string(*place.danger_km) + "\n";
        }
        if (place.approaching_only) {
            text +=
                std::string("approaching_only = ") + (*place.approaching_only ? "1" : "0") + "\n";
        }
        if (!place.follow.empty()) {
            text += "follow = " + place.follow + "\n";
        }
    }
    return text;
}
