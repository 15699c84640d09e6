// Type-checked reading of reply members: a member of an unexpected type reads as absent, so
// a reply of any shape can be read without the JSON library's type assertions.
#pragma once

#include <json/json.h>

#include <optional>
#include <string>

// The member of an object; null when the value is not an object or has no such member.
const Json::Value& member(const Json::Value& parent, const char* name);
// A number member as a double; nothing when absent or not a number.
std::optional<double> number_member(const Json::Value& parent, const char* name);
// A number member cut toward zero to an int; nothing when absent, not a number or out of range.
std::optional<int> int_member(const Json::Value& parent, const char* name);
// A reading within what the weather can physically be (bounds included); readings outside
// are no data.
struct physical_range {
    double low;
    double high;
};
constexpr physical_range temperature_c_range{-100, 100};
constexpr physical_range percent_range{0, 100};
constexpr physical_range pressure_hpa_range{500, 1200};
constexpr physical_range wind_ms_range{0, 150};
constexpr physical_range bearing_deg_range{0, 360};
constexpr physical_range rain_mm_range{0, 2000};
// A number member within the range; nothing when absent, not a number or outside it.
std::optional<double> reading_member(const Json::Value& parent, const char* name,
                                     physical_range range);
// The same cut toward zero to an int.
std::optional<int> whole_reading_member(const Json::Value& parent, const char* name,
                                        physical_range range);
// The "description" string of the first element of a "weather" array, lower-cased (ASCII
// letters only) and without terminal control characters; nothing when there is none.
std::optional<std::string> weather_description(const Json::Value& weather);
// Fixed-point text with the given number of decimals, always with a decimal point.
std::string fixed(double value, int decimals);
// The same without a minus before a value that shows as zero ("0.0", never "-0.0"), for the forms
// that programs read.
std::string fixed_unsigned_zero(double value, int decimals);
