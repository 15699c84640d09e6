#include "mqtt/position.h"

#include "text/place_point.h"

#include <json/json.h>

#include <cmath>
#include <limits>
#include <memory>

namespace {

std::optional<double> number_in(const Json::Value& object, const char* key, double lowest,
                                double highest) {
    const Json::Value& value = object[key];
    if (!value.isNumeric()) {
        return std::nullopt;
    }
    const double number = value.asDouble();
    return std::isfinite(number) && number >= lowest && number <= highest
               ? std::optional<double>(number)
               : std::nullopt;
}

} // namespace

result<place_position> position_of(const std::string& payload) {
    if (payload.size() > longest_position_payload) {
        return failure("położenie: wiadomość dłuższa niż 1 KB");
    }
    Json::Value parsed;
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (!reader->parse(payload.data(), payload.data() + payload.size(), &parsed, nullptr) ||
        !parsed.isObject()) {
        return failure("położenie: wiadomość nie jest obiektem JSON");
    }
    const Json::Value& object = parsed; // read only: no member is made by asking
    const bool location = object["_type"].isString() && object["_type"].asString() == "location";
    if (object.isMember("_type") && !location) {
        return failure("położenie: wiadomość innego rodzaju niż location");
    }
    constexpr double any = std::numeric_limits<double>::max();
    const std::optional<double> latitude =
        number_in(object, location ? "lat" : "latitude", -any, any);
    const std::optional<double> longitude =
        number_in(object, location ? "lon" : "longitude", -any, any);
    if (!latitude || !longitude) {
        return failure("położenie: brak szerokości lub długości geograficznej");
    }
    if (!usable_point(*latitude, *longitude)) {
        return failure("położenie: szerokość od -90 do 90, długość od -180 do 180, nie obie 0 "
                       "(0,0 podaje telefon bez ustalonego położenia)");
    }
    place_position position{*latitude, *longitude, std::nullopt, std::nullopt};
    if (location) {
        if (const std::optional<double> at = number_in(object, "tst", 0, 1e11)) {
            position.at = static_cast<std::time_t>(*at);
        }
        position.accuracy_m = number_in(object, "acc", 0, 1e7);
    }
    return position;
}

bool position_stale(const place_position& position, std::time_t came, std::time_t now) {
    const std::time_t at =
        position.at && std::difftime(*position.at, came) <= ahead_position_s ? *position.at : came;
    return std::difftime(now, at) > stale_position_s ||
           (position.accuracy_m && *position.accuracy_m > coarse_position_m);
}
