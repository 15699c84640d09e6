// The fixed screens (title box, what's new, usage) and the settings menu.
#pragma once

#include <string>

// Writes the terminal's clear sequence, as the clear command would.
void clear_screen();

// The title box, 80 columns wide; its last row has no line end.
std::string banner_text(const std::string& version);
void show_banner(const std::string& version);

// Clears the screen, lists what is new and waits for ENTER.
void show_whats_new();

std::string usage_text(const std::string& program_name);
void show_usage(const std::string& program_name);

// Asks whether to show the current weather and the forecast and stores the answers. Reads
// standard input; at its end the menu is left without changing the setting being asked.
void run_settings_menu(const std::string& db_path, const std::string& version,
                       std::string weather_value, std::string forecast_value);

// Number of characters (not bytes) of a UTF-8 text.
std::size_t utf8_length(const std::string& text);
