#include "watch/report_wire.h"

#include <json/json.h>

#include <memory>

namespace {

// Each record's members, listed once for both directions: `put` is a writer or a reader.
template <typename P> void town_members(P& put, town_record& town) {
    put("name", town.name);
    put("typed", town.typed);
    put("y", town.y);
    put("x", town.x);
    put("latitude", town.latitude);
    put("longitude", town.longitude);
    put("from_cache", town.from_cache);
}

template <typename P> void lightning_members(P& put, lightning_report& lightning) {
    put("count_text", lightning.count_text);
    put("count", lightning.count);
    put("period_text", lightning.period_text);
    put("period_min", lightning.period_min);
    put("distance_text", lightning.distance_text);
    put("distance_km", lightning.distance_km);
    put("direction", lightning.direction);
    put("beyond_km", lightning.beyond_km);
}

template <typename P> void weather_members(P& put, current_weather& weather) {
    put("service_message", weather.service_message);
    put("time", weather.time);
    put("temperature_c", weather.temperature_c);
    put("humidity_pct", weather.humidity_pct);
    put("pressure_hpa", weather.pressure_hpa);
    put("wind_kmh", weather.wind_kmh);
    put("gust_kmh", weather.gust_kmh);
    put("bearing_deg", weather.bearing_deg);
    put("rain_1h_mm", weather.rain_1h_mm);
    put("rain_3h_mm", weather.rain_3h_mm);
    put("clouds_pct", weather.clouds_pct);
    put("description", weather.description);
}

template <typename P> void day_members(P& put, forecast_entry& day) {
    put("time", day.time);
    put("min_c", day.min_c);
    put("max_c", day.max_c);
    put("humidity_pct", day.humidity_pct);
    put("pressure_hpa", day.pressure_hpa);
    put("wind_kmh", day.wind_kmh);
    put("rain_mm", day.rain_mm);
    put("description", day.description);
}

template <typename P> void estimate_members(P& put, approach_estimate& estimate) {
    put("radial_kmh", estimate.radial_kmh);
    put("eta_min", estimate.eta_min);
    put("closest_km", estimate.closest_km);
    put("moving_to", estimate.moving_to);
    put("points", estimate.points);
}

template <typename P> void age_members(P& put, freshness& age) {
    put("age_s", age.age_s);
    put("stale", age.stale);
}

template <typename P> void error_members(P& put, report_error& error) {
    put("source", error.source);
    put("message", error.message);
}

template <typename P> void report_members(P& put, run_report& report) {
    put("town_outcome", report.town_outcome);
    put.nested("town", report.town, town_members<P>);
    put("radius_km", report.radius_km);
    put.nested("lightning", report.lightning, lightning_members<P>);
    put.nested("lightning_age", report.lightning_age, age_members<P>);
    put("warnings", report.warnings);
    put.nested("warnings_age", report.warnings_age, age_members<P>);
    put("weather_included", report.weather_included);
    put.nested("weather", report.weather, weather_members<P>);
    put.nested("weather_age", report.weather_age, age_members<P>);
    put("forecast_included", report.forecast_included);
    put.nested("forecast", report.forecast, day_members<P>);
    put.nested("forecast_age", report.forecast_age, age_members<P>);
    put.nested("errors", report.errors, error_members<P>);
    put("made_at", report.made_at);
    put("approach_included", report.approach_included);
    put.nested("approach", report.approach, estimate_members<P>);
    put("danger_km", report.danger_km);
    put("safe_at", report.safe_at);
    put("place", report.place);
}

template <typename P> void point_members(P& put, place_point& point) {
    put("y", point.y);
    put("x", point.x);
    put("latitude", point.latitude);
    put("longitude", point.longitude);
}

template <typename P> void request_members(P& put, report_request& request) {
    put("town", request.town);
    put.nested("point", request.point, point_members<P>);
    put("radius_km", request.radius_km);
    put("weather", request.weather);
    put("forecast", request.forecast);
    put("danger_km", request.danger_km);
    put("place", request.place);
}

template <typename P> void track_members(P& put, track_place& place) {
    put("name", place.name);
    put("latitude", place.latitude);
    put("longitude", place.longitude);
    put("radius_km", place.radius_km);
}

template <typename P> void observation_members(P& put, observation& seen) {
    put("time_s", seen.time_s);
    put("strikes", seen.strikes);
    put("nearest_km", seen.nearest_km);
    put("direction", seen.direction);
}

template <typename P> void order_members(P& put, work_order& order) {
    put("kind", order.kind);
    put.nested("report", order.report, request_members<P>);
    put.nested("town", order.town, town_members<P>);
    put.nested("place", order.place, track_members<P>);
    put("db_path", order.db_path);
    put("danger_km", order.danger_km);
    put("clear_after_s", order.clear_after_s);
    put("clock_rate", order.clock_rate);
    put("time_s", order.time_s);
    put("fresh", order.fresh);
    put("weather_age_s", order.weather_age_s);
    put.nested("seen", order.seen, observation_members<P>);
    put("event", order.event);
    put("now_s", order.now_s);
}

struct writer {
    Json::Value& object;

    void operator()(const char* key, const std::string& value) { object[key] = value; }
    void operator()(const char* key, int value) { object[key] = value; }
    void operator()(const char* key, long value) { object[key] = Json::Int64{value}; }
    void operator()(const char* key, double value) { object[key] = value; }
    void operator()(const char* key, bool value) { object[key] = value; }
    void operator()(const char* key, town_status value) { object[key] = static_cast<int>(value); }
    void operator()(const char* key, order_kind value) { object[key] = static_cast<int>(value); }
    template <typename T> void operator()(const char* key, const std::optional<T>& value) {
        if (value) {
            (*this)(key, *value);
        } else {
            object[key] = Json::Value();
        }
    }
    void operator()(const char* key, const std::optional<warnings_report>& value) {
        object[key] = Json::Value();
        for (std::size_t i = 0; value && i < hazard_count; ++i) {
            object[key].append(value->levels[i]);
        }
    }
    template <typename T, typename F> void nested(const char* key, T& record, F each) {
        Json::Value value(Json::objectValue);
        writer inner{value};
        each(inner, record);
        object[key] = value;
    }
    template <typename T, typename F>
    void nested(const char* key, std::optional<T>& record, F each) {
        if (record) {
            nested(key, *record, each);
        } else {
            object[key] = Json::Value();
        }
    }
    template <typename T, typename F> void nested(const char* key, std::vector<T>& list, F each) {
        Json::Value value(Json::arrayValue);
        for (T& item : list) {
            Json::Value member(Json::objectValue);
            writer inner{member};
            each(inner, item);
            value.append(member);
        }
        object[key] = value;
    }
};

struct reader {
    const Json::Value& object;
    bool ok = true;

    // The member when it is of the kind asked for, else null (which reads as 0, "", false).
    const Json::Value& member(const char* key, bool (Json::Value::*is)() const) {
        static const Json::Value none;
        const Json::Value& value = object[key];
        ok = ok && (value.*is)();
        return ok ? value : none;
    }
    void operator()(const char* key, std::string& value) {
        value = member(key, &Json::Value::isString).asString();
    }
    void operator()(const char* key, int& value) {
        value = member(key, &Json::Value::isInt).asInt();
    }
    void operator()(const char* key, long& value) {
        value = member(key, &Json::Value::isInt64).asInt64();
    }
    void operator()(const char* key, double& value) {
        value = member(key, &Json::Value::isNumeric).asDouble();
    }
    void operator()(const char* key, bool& value) {
        value = member(key, &Json::Value::isBool).asBool();
    }
    void operator()(const char* key, town_status& value) {
        value = static_cast<town_status>(member(key, &Json::Value::isInt).asInt());
    }
    void operator()(const char* key, order_kind& value) {
        const int kind = member(key, &Json::Value::isInt).asInt();
        ok = ok && kind >= 0 && kind <= static_cast<int>(order_kind::record);
        value = static_cast<order_kind>(kind);
    }
    template <typename T> void operator()(const char* key, std::optional<T>& value) {
        value.reset();
        if (!object[key].isNull()) {
            T given{};
            (*this)(key, given);
            value = given;
        }
    }
    void operator()(const char* key, std::optional<warnings_report>& value) {
        value.reset();
        const Json::Value& levels = object[key];
        if (levels.isNull()) {
            return;
        }
        ok = ok && levels.isArray() && levels.size() == hazard_count;
        warnings_report given;
        for (Json::ArrayIndex i = 0; ok && i < hazard_count; ++i) {
            ok = levels[i].isString();
            given.levels[i] = ok ? levels[i].asString() : std::string();
        }
        value = given;
    }
    template <typename T, typename F> void nested(const char* key, T& record, F each) {
        reader inner{member(key, &Json::Value::isObject)};
        if (ok) {
            each(inner, record);
            ok = inner.ok;
        }
    }
    template <typename T, typename F>
    void nested(const char* key, std::optional<T>& record, F each) {
        record.reset();
        if (!object[key].isNull()) {
            T given{};
            nested(key, given, each);
            record = given;
        }
    }
    template <typename T, typename F> void nested(const char* key, std::vector<T>& list, F each) {
        list.clear();
        for (const Json::Value& item : member(key, &Json::Value::isArray)) {
            reader inner{item};
            T given{};
            ok = ok && item.isObject();
            if (ok) {
                each(inner, given);
                ok = inner.ok;
            }
            list.push_back(given);
        }
    }
};

// The record as one line, its members listed by `members`.
template <typename T, typename F> std::string wire_of(const T& record, F members) {
    Json::Value object(Json::objectValue);
    writer put{object};
    T copy = record;
    members(put, copy);
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["precision"] = 17;
    return Json::writeString(builder, object);
}

template <typename T, typename F> bool parse_wire(const std::string& text, T& record, F members) {
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> parser(builder.newCharReader());
    Json::Value object;
    if (!parser->parse(text.data(), text.data() + text.size(), &object, nullptr) ||
        !object.isObject()) {
        return false;
    }
    reader get{object};
    members(get, record);
    return get.ok;
}

} // namespace

std::string report_wire(const run_report& report) {
    return wire_of(report, report_members<writer>);
}

bool parse_report_wire(const std::string& text, run_report& report) {
    return parse_wire(text, report, report_members<reader>);
}

// The weather's parts follow the order's line as they are: replies of some kilobytes, which as
// a JSON string would be escaped and parsed again for nothing.
std::string work_order_wire(const work_order& order) {
    return wire_of(order, order_members<writer>) + '\n' + order.weather;
}

bool parse_work_order(const std::string& text, work_order& order) {
    const std::size_t end = text.find('\n');
    if (end == std::string::npos ||
        !parse_wire(text.substr(0, end), order, order_members<reader>)) {
        return false;
    }
    order.weather = text.substr(end + 1);
    return true;
}
