#include "weather/reply_fields.h"

#include "text/text.h"

#include <locale>
#include <sstream>

const Json::Value& member(const Json::Value& parent, const char* name) {
    static const Json::Value absent;
    if (!parent.isObject()) {
        return absent;
    }
    return parent[name];
}

std::optional<double> number_member(const Json::Value& parent, const char* name) {
    const Json::Value& value = member(parent, name);
    if (!value.isNumeric()) {
        return std::nullopt;
    }
    return value.asDouble();
}

std::optional<int> int_member(const Json::Value& parent, const char* name) {
    const Json::Value& value = member(parent, name);
    // isConvertibleTo also accepts null and booleans, hence the isNumeric test first.
    if (!value.isNumeric() || !value.isConvertibleTo(Json::intValue)) {
        return std::nullopt;
    }
    return value.asInt();
}

std::optional<double> reading_member(const Json::Value& parent, const char* name,
                                     physical_range range) {
    const std::optional<double> value = number_member(parent, name);
    if (!value || !(*value >= range.low && *value <= range.high)) {
        return std::nullopt;
    }
    return value;
}

std::optional<int> whole_reading_member(const Json::Value& parent, const char* name,
                                        physical_range range) {
    const std::optional<double> value = reading_member(parent, name, range);
    if (!value) {
        return std::nullopt;
    }
    return static_cast<int>(*value);
}

std::optional<std::string> weather_description(const Json::Value& weather) {
    if (!weather.isArray() || weather.empty()) {
        return std::nullopt;
    }
    const Json::Value& description = member(weather[Json::ArrayIndex{0}], "description");
    if (!description.isString()) {
        return std::nullopt;
    }
    set_polish_locale();
    return lower_bytes(strip_control_chars(description.asString()));
}

std::string fixed(double value, int decimals) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out.setf(std::ios::fixed, std::ios::floatfield);
    out.precision(decimals);
    out << value;
    return out.str();
}

std::string fixed_unsigned_zero(double value, int decimals) {
    std::string text = fixed(value, decimals);
    if (!text.empty() && text[0] == '-' && text.find_first_not_of("0.", 1) == std::string::npos) {
        text.erase(0, 1);
    }
    return text;
}
