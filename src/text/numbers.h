// Reading numbers that services write as text, whatever the process locale.
#pragma once

#include <optional>
#include <string>

// True for "-?digits(.digits)?": an optional minus, digits, and an optional point with digits.
bool is_decimal_number(const std::string& text);
// The value of a text that is_decimal_number accepts; nothing otherwise.
std::optional<double> decimal_value(const std::string& text);
// The value of a non-empty run of decimal digits that fits an int; nothing otherwise.
std::optional<int> count_value(const std::string& text);
