#include "mqtt/mqtt_commands.h"

#include "text/place_point.h"

#include <json/json.h>

#include <charconv>
#include <cmath>
#include <memory>

namespace {

place_command command_of(command_kind kind) {
    place_command command;
    command.kind = kind;
    return command;
}

result<place_command> parse_check_now(const std::string& payload) {
    if (payload != "PRESS") {
        return failure("oczekiwano PRESS");
    }
    return command_of(command_kind::check_now);
}

// Whole minutes, 0–240: "30", also "30.0" as a number entity may send it.
result<place_command> parse_snooze(const std::string& payload) {
    const std::size_t point = payload.find('.');
    const std::string whole = payload.substr(0, point);
    const bool zeros_after = point == std::string::npos ||
                             (point + 1 < payload.size() &&
                              payload.find_first_not_of('0', point + 1) == std::string::npos);
    const bool digits = !whole.empty() && whole.size() <= 3 &&
                        whole.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || !zeros_after || std::stoi(whole) > longest_snooze_min) {
        return failure("oczekiwano liczby całkowitej minut od 0 do " +
                       std::to_string(longest_snooze_min));
    }
    place_command command = command_of(command_kind::snooze);
    command.snooze_min = std::stoi(whole);
    return command;
}

result<place_command> parse_approaching_only(const std::string& payload) {
    if (payload != "ON" && payload != "OFF") {
        return failure("oczekiwano ON lub OFF");
    }
    place_command command = command_of(command_kind::approaching_only);
    command.on = payload == "ON";
    return command;
}

// A number of the object as decimal text, as place_point_of takes it; empty for anything else.
std::string number_text(const Json::Value& value) {
    if (!value.isNumeric() || std::fabs(value.asDouble()) > 1000) {
        return "";
    }
    // Never the locale's decimal comma: the text is read back as "LAT,LON".
    char text[32];
    const std::to_chars_result written =
        std::to_chars(text, text + sizeof text, value.asDouble(), std::chars_format::fixed, 6);
    return written.ec == std::errc() ? std::string(text, written.ptr) : "";
}

// {"lat": 50.06, "lon": 19.94} or "50.06,19.94".
result<place_command> parse_location(const std::string& payload) {
    std::string pair = payload;
    if (!payload.empty() && payload.front() == '{') {
        Json::CharReaderBuilder builder;
        builder["rejectDupKeys"] = true;
        const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
        Json::Value object;
        const bool read =
            reader->parse(payload.data(), payload.data() + payload.size(), &object, nullptr);
        const std::string lat = read && object.isObject() ? number_text(object["lat"]) : "";
        const std::string lon = read && object.isObject() ? number_text(object["lon"]) : "";
        pair = lat.empty() || lon.empty() || object.size() != 2 ? "" : lat + "," + lon;
    }
    const std::optional<place_point> point = place_point_of(pair);
    if (!point) {
        return failure(
            "oczekiwano {\"lat\": SZEROKOŚĆ, \"lon\": DŁUGOŚĆ} lub \"SZEROKOŚĆ,DŁUGOŚĆ\" "
            "(szerokość od -90 do 90, długość od -180 do 180)");
    }
    place_command command = command_of(command_kind::location);
    command.latitude = point->latitude;
    command.longitude = point->longitude;
    command.y = point->y;
    command.x = point->x;
    return command;
}

// The start of what was sent, as messages and the state show it: printable ASCII, anything else
// "?", so that no cut or malformed character reaches the state document.
std::string shown(const std::string& text) {
    std::string start = text.substr(0, 40);
    for (char& c : start) {
        if (c < 0x20 || c == 0x7F) { // a char above 0x7F is negative here
            c = '?';
        }
    }
    return start;
}

} // namespace

const std::vector<command_row>& command_table() {
    static const std::vector<command_row> table = {
        {command_kind::check_now, "check_now", parse_check_now},
        {command_kind::snooze, "snooze", parse_snooze},
        {command_kind::approaching_only, "approaching_only", parse_approaching_only},
        {command_kind::location, "location", parse_location},
    };
    return table;
}

const command_row* command_named(const std::string& name) {
    for (const command_row& row : command_table()) {
        if (name == row.name) {
            return &row;
        }
    }
    return nullptr;
}

result<place_command> parse_command(const std::string& name, const std::string& payload) {
    const command_row* row = command_named(name);
    if (row == nullptr) {
        return failure("nieznane polecenie „" + shown(name) + "”");
    }
    if (payload.size() > longest_command_payload) {
        return failure("polecenie " + std::string(row->name) + ": treść za długa (" +
                       std::to_string(payload.size()) + " bajtów, najwyżej " +
                       std::to_string(longest_command_payload) + ")");
    }
    result<place_command> command = row->parse(payload);
    if (!command) {
        return failure("polecenie " + std::string(row->name) + ": " + command.error() +
                       ", podano „" + shown(payload) + "”");
    }
    return command;
}
