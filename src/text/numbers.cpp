#include "text/numbers.h"

#include <charconv>
#include <climits>

namespace {

std::size_t skip_digits(const std::string& text, std::size_t i) {
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        ++i;
    }
    return i;
}

} // namespace

bool is_decimal_number(const std::string& text) {
    const std::size_t int_start = (!text.empty() && text[0] == '-') ? 1 : 0;
    std::size_t i = skip_digits(text, int_start);
    if (i == int_start) {
        return false;
    }
    if (i < text.size() && text[i] == '.') {
        const std::size_t frac_start = i + 1;
        i = skip_digits(text, frac_start);
        if (i == frac_start) {
            return false;
        }
    }
    return i == text.size();
}

std::optional<double> decimal_value(const std::string& text) {
    if (!is_decimal_number(text)) {
        return std::nullopt;
    }
    double value = 0.0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<int> count_value(const std::string& text) {
    if (text.empty() || skip_digits(text, 0) != text.size()) {
        return std::nullopt;
    }
    long long value = 0;
    for (char c : text) {
        value = value * 10 + (c - '0');
        if (value > INT_MAX) {
            return std::nullopt;
        }
    }
    return static_cast<int>(value);
}
