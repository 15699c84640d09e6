// The service settings of a run: the values built into the program, overridden by the
// configuration file, which the environment overrides in turn.
#pragma once

#include "mqtt/mqtt_link.h"
#include "text/place_point.h"

#include <optional>
#include <string>
#include <vector>

enum class setting_source { built_in, file, environment };

struct setting {
    std::string value;
    setting_source source = setting_source::built_in;
    std::string origin; // the variable's name, or "FILE:LINE"; empty when built in
};

struct service_settings {
    setting storm_host;
    setting storm_key;
    setting storm_ca_file;
    setting weather_host; // [http:// or https://]host[:port]; no scheme: http
    setting weather_key;
    setting weather_ca_file;
    // Publishing from the watch to an MQTT broker.
    setting mqtt_url;
    setting mqtt_topic;
    setting mqtt_discovery_prefix;
    setting mqtt_discovery;
    setting mqtt_user;
    setting mqtt_password; // the environment only: a file holds a path to it
    setting mqtt_password_file;
    setting mqtt_ca_file;
    setting mqtt_commands; // on: Home Assistant's commands are taken
};

// One setting: its environment variable, its name in the file, where it is kept, whether it is
// a key (never shown whole) and what makes a value wrong (an empty text when it is right).
struct setting_rule {
    const char* variable;
    const char* file_name;
    setting service_settings::*member;
    bool is_key;
    std::string (*problem)(const std::string& value);
    bool environment_only = false; // never read from the configuration file
};
const std::vector<setting_rule>& setting_rules();

// A named place of the configuration file, a section "[place NAME]": a town or a point, and
// what it sets of its own (what the command line gives wins over it).
struct named_place {
    std::string name;
    std::string origin; // "FILE:LINE" of its first key
    std::string town;   // exactly one of town and near
    std::optional<place_point> near;
    std::optional<int> radius_km;
    std::optional<int> danger_km;
    std::optional<bool> approaching_only;
    std::string follow;        // the MQTT topic carrying the place's positions; empty: it stays put
    std::string follow_origin; // "FILE:LINE" of its follow key
};

// What is wrong with `value` for the place's key `key` (stored in `place` when right); an empty
// text when it is right.
std::string take_place_key(named_place& place, const std::string& key, const std::string& value);
// What is wrong with a place as a whole (its keys each right); an empty text when it is right.
std::string place_problem(const named_place& place);
// The place named `name`, or null.
const named_place* place_named(const std::vector<named_place>& places, const std::string& name);

// What reading the configuration gave: the settings, the file read, and what was wrong.
struct settings_outcome {
    service_settings settings;
    std::string file;                // the configuration file's path; empty when unknown
    bool file_read = false;          // the file exists and was read
    std::vector<std::string> errors; // each names its source; any error stops the run
    std::vector<std::string> warnings;
    std::vector<named_place> places; // in the file's order
};

// $XDG_CONFIG_HOME/nimbrovator/config, else HOME/.config/nimbrovator/config with the home
// directory from the password database (or $HOME); empty when neither is known.
std::string config_file_path();

service_settings built_in_settings();
// Overrides the settings with the file's lines; a missing file changes nothing.
void read_config_file(const std::string& path, settings_outcome& outcome);
// Overrides the settings with the environment variables that are set.
void read_environment(settings_outcome& outcome);
// What is wrong with the setting's value, empty when it is right; a built-in value is right (it
// was checked when building).
std::string setting_problem(const setting_rule& rule, const setting& given);
// Checks every value given at run time (the built-in ones were checked when building).
void check_settings(settings_outcome& outcome);
// Refuses, naming the file and line, a place's follow topic that would hear what the watch
// publishes itself under the settings' mqtt_topic and mqtt_discovery_prefix.
void check_followed_topics(settings_outcome& outcome);

// Built in, then the file, then the environment, all checked.
settings_outcome load_settings();

// Points the storm and weather clients at the settings when any was given at run time (the
// built-in storm key is then still assembled for each request, not kept).
void use_settings(const service_settings& settings);

// The settings given to use_settings last (built in until then).
const service_settings& settings_in_use();

// The broker settings for `url` (empty: the setting mqtt_url), none when no URL is given; the
// password is the environment's, else the first line of the password file. False (with the
// problem) when that file cannot be read.
bool mqtt_settings_of(const service_settings& settings, const std::string& url,
                      std::optional<mqtt_settings>& mqtt, std::string& problem);

// The first four characters of a key and "…".
std::string mask_key(const std::string& key);
// The settings in force in the file's own form, one line each, with where each came from and
// the keys masked; a wrong value is marked "BŁĄD:" with what is wrong with it.
std::string describe_settings(const settings_outcome& outcome);
