#include "service_replies.h"

#include "weather_data.h"

#include <locale.h>
#include <strings.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale>
#include <optional>
#include <sstream>

namespace {

const char* const storm_path = "/soap.php";
// About four minutes for a storm reply: long past any sensible client time-out.
constexpr int trickle_interval_ms = 300;
const char* const garbage_body = "\x01\x02 <<<this is}{not a reply\xff\xfe\n";
const char* const error_page =
    "<html><head><title>500 Internal Server Error</title></head><body><h1>Internal Server "
    "Error</h1></body></html>\n";

std::string element(const std::string& name, const char* type, const std::string& content) {
    return "<" + name + " xsi:type=\"" + type + "\">" + content + "</" + name + ">";
}

// Decodes one entity or character reference starting at text[at] == '&'; false when none.
bool decode_reference(const std::string& text, std::size_t& at, std::string& out) {
    static const char* const entities[][2] = {
        {"&amp;", "&"}, {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}};
    for (const auto& entity : entities) {
        if (text.compare(at, std::strlen(entity[0]), entity[0]) == 0) {
            out += entity[1];
            at += std::strlen(entity[0]);
            return true;
        }
    }
    const std::size_t end = text.find(';', at);
    if (text.compare(at, 2, "&#") != 0 || end == std::string::npos || end - at > 10) {
        return false;
    }
    const bool hex = text[at + 2] == 'x' || text[at + 2] == 'X';
    const std::string digits = text.substr(at + (hex ? 3 : 2), end - at - (hex ? 3 : 2));
    char* stop = nullptr;
    const unsigned long code = std::strtoul(digits.c_str(), &stop, hex ? 16 : 10);
    if (digits.empty() || *stop != '\0' || code == 0 || code > 0x10FFFF) {
        return false;
    }
    // UTF-8 of the code point.
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
    at = end + 1;
    return true;
}

// Where the SOAP Body begins (the end of its opening tag), or npos.
std::size_t body_start(const std::string& xml) {
    std::size_t at = 0;
    while ((at = xml.find("Body", at)) != std::string::npos) {
        const std::size_t open = xml.rfind('<', at);
        if (open != std::string::npos && xml[open + 1] != '/' &&
            xml.find_first_of(" >", at) == at + 4) {
            return xml.find('>', at);
        }
        at += 4;
    }
    return std::string::npos;
}

// The "C" locale of this thread while it lives: numbers go out and come in with '.' whatever
// process locale the program around the simulator (a test, say) has set.
struct c_numbers {
    c_numbers() : previous(uselocale(c_locale())) {}
    ~c_numbers() { uselocale(previous); }
    c_numbers(const c_numbers&) = delete;
    c_numbers& operator=(const c_numbers&) = delete;
    static locale_t c_locale() {
        static const locale_t locale = newlocale(LC_ALL_MASK, "C", nullptr);
        return locale;
    }
    locale_t previous;
};

double number_or_zero(const std::string& text) {
    const c_numbers numbers;
    return std::strtod(text.c_str(), nullptr);
}

std::string one_decimal(double value) {
    const c_numbers numbers;
    char text[64];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

std::string point_text(double y, double x) {
    return soap_float(y) + " N " + soap_float(x) + " E";
}

storm_answer storm_result(const std::string& operation, const std::string& result,
                          std::string summary) {
    storm_answer answer;
    answer.reply.body = soap_reply(operation, result);
    answer.summary = operation + " " + summary;
    return answer;
}

// The generators' answer, or the scripted storm's where it has one.
lightning lightning_answer(const sim_settings& settings, double y, double x, int promien,
                           std::time_t now, double storm_minute) {
    return scenario_lightning(settings.storm, y, x, promien, storm_minute)
        .value_or(lightning_at(y, x, promien, now));
}

warning_levels warnings_answer(const sim_settings& settings, double y, double x, std::time_t now,
                               double storm_minute) {
    warning_levels levels = warnings_at(y, x, now);
    const std::optional<int> storm = scenario_storm_warning(settings.storm, y, x, storm_minute);
    levels[4] = storm.value_or(levels[4]);
    return levels;
}

storm_answer operation_answer(const std::string& operation, const std::string& body,
                              const sim_settings& settings, std::time_t now, double storm_minute) {
    const std::size_t body_at = body_start(body);
    const std::size_t from = body_at == std::string::npos ? 0 : body_at;
    if (operation == "miejscowosc") {
        const std::string nazwa = xml_element_text(body, "nazwa", from);
        const sim_town* town = find_town(nazwa);
        return storm_result(
            operation, miejscowosc_return(town),
            nazwa + " -> " +
                (town ? point_text(town->latitude, town->longitude) : std::string("unknown")));
    }
    const double y = number_or_zero(xml_element_text(body, "y", from));
    const double x = number_or_zero(xml_element_text(body, "x", from));
    if (operation == "ostrzezenia_pogodowe") {
        const warning_levels levels = warnings_answer(settings, y, x, now, storm_minute);
        std::string summary = point_text(y, x) + " ->";
        for (std::size_t i = 0; i < levels.size(); ++i) {
            summary += " " + std::string(warning_names[i]) + "=" + std::to_string(levels[i]);
        }
        return storm_result(operation, ostrzezenia_return(levels), summary);
    }
    if (operation == "szukaj_burzy") {
        const std::string promien = xml_element_text(body, "promien", from);
        const lightning strikes =
            lightning_answer(settings, y, x, std::atoi(promien.c_str()), now, storm_minute);
        std::string summary = point_text(y, x) + " r=" + promien + " -> " +
                              std::to_string(strikes.liczba) + " strikes";
        if (strikes.liczba > 0) {
            summary += ", nearest " + one_decimal(strikes.odleglosc) + " km " + strikes.kierunek;
        }
        summary += " in " + std::to_string(strikes.okres) + " min";
        return storm_result(operation, lightning_return(strikes), summary);
    }
    if (operation == "skrot") {
        const std::string kierunek = xml_element_text(body, "kierunek", from);
        const std::string name = compass_name(kierunek);
        return storm_result(operation, element("return", "xsd:string", name),
                            kierunek + " -> " + name);
    }
    storm_answer unknown;
    unknown.reply =
        soap_fault_reply("SOAP-ENV:Server", "Procedure '" + operation + "' not present");
    unknown.summary = (operation.empty() ? "?" : operation) + " -> fault: no such operation";
    return unknown;
}

void apply_storm_fault(storm_answer& answer, const sim_settings& settings) {
    fake_storm_reply& reply = answer.reply;
    reply.delay_ms = settings.delay_ms;
    if (settings.fault == "close") {
        reply.cut_after_bytes = static_cast<long>(reply.body.size() / 2);
    } else if (settings.fault == "slow") {
        reply.trickle_interval_ms = trickle_interval_ms;
    } else if (settings.fault == "garbage") {
        reply.status = 200;
        reply.body = garbage_body;
    } else if (settings.fault == "http500") {
        reply.status = 500;
        reply.body = error_page;
        reply.content_type = "text/html";
    } else if (settings.fault == "soap-fault") {
        reply = soap_fault_reply("SOAP-ENV:Server", "Service temporarily unavailable");
        reply.delay_ms = settings.delay_ms;
    } else {
        return;
    }
    answer.summary += " [fault " + settings.fault + "]";
}

void apply_weather_fault(weather_answer& answer, const sim_settings& settings) {
    fake_reply& reply = answer.reply;
    reply.delay_ms = settings.delay_ms;
    if (settings.fault == "close") {
        reply.cut_after_bytes = static_cast<long>(reply.body.size() / 2);
    } else if (settings.fault == "slow") {
        reply.trickle_interval_ms = trickle_interval_ms;
    } else if (settings.fault == "garbage") {
        reply.status = 200;
        reply.body = garbage_body;
    } else if (settings.fault == "http500" || settings.fault == "soap-fault") {
        reply.status = 500;
        reply.body = error_page;
    } else {
        return;
    }
    answer.summary += " [fault " + settings.fault + "]";
}

weather_answer weather_error(int status, const std::string& body, const std::string& summary) {
    weather_answer answer;
    answer.reply.status = status;
    answer.reply.body = body;
    answer.summary = summary;
    return answer;
}

} // namespace

bool known_fault(const std::string& fault) {
    for (const char* mode : {"none", "close", "slow", "garbage", "http500", "soap-fault"}) {
        if (fault == mode) {
            return true;
        }
    }
    return false;
}

std::string soap_float(double value) {
    const c_numbers numbers;
    char text[64];
    std::snprintf(text, sizeof text, "%.14G", value);
    return text;
}

std::string xml_unescape(const std::string& text) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        if (text[at] != '&' || !decode_reference(text, at, out)) {
            out += text[at++];
        }
    }
    return out;
}

std::string xml_element_text(const std::string& xml, const std::string& name, std::size_t from) {
    const std::string open = "<" + name;
    for (std::size_t at = xml.find(open, from); at != std::string::npos;
         at = xml.find(open, at + 1)) {
        const std::size_t after = at + open.size();
        if (after >= xml.size() || std::strchr(" \t\r\n>/", xml[after]) == nullptr) {
            continue;
        }
        const std::size_t tag_end = xml.find('>', after);
        if (tag_end == std::string::npos || xml[tag_end - 1] == '/') {
            return "";
        }
        const std::size_t close = xml.find("</" + name + ">", tag_end);
        if (close == std::string::npos) {
            return "";
        }
        return xml_unescape(xml.substr(tag_end + 1, close - tag_end - 1));
    }
    return "";
}

std::string storm_operation(const fake_storm_request& request) {
    const std::string from_action = soap_operation(request);
    if (!from_action.empty()) {
        return from_action;
    }
    const std::size_t at = body_start(request.body);
    if (at == std::string::npos) {
        return "";
    }
    const std::size_t open = request.body.find('<', at);
    if (open == std::string::npos) {
        return "";
    }
    const std::size_t end = request.body.find_first_of(" \t\r\n/>", open);
    std::string name = request.body.substr(open + 1, end == std::string::npos ? 0 : end - open - 1);
    const std::size_t colon = name.find(':');
    return colon == std::string::npos ? name : name.substr(colon + 1);
}

std::string header_key(const fake_storm_request& request) {
    const std::size_t body_at = body_start(request.body);
    const std::string head = request.body.substr(0, body_at);
    if (head.find("Header") == std::string::npos) {
        return "";
    }
    return xml_element_text(head, "klucz");
}

std::string miejscowosc_return(const sim_town* town) {
    const std::string y = town ? soap_float(town->latitude) : "0";
    const std::string x = town ? soap_float(town->longitude) : "0";
    return soap_return("ns2:MyComplexTypeMiejscowosc",
                       element("y", "xsd:float", y) + element("x", "xsd:float", x));
}

std::string ostrzezenia_return(const warning_levels& levels) {
    std::string fields;
    for (std::size_t i = 0; i < levels.size(); ++i) {
        fields += element(warning_names[i], "xsd:int", std::to_string(levels[i]));
    }
    return soap_return("ns2:MyComplexTypeOstrzezenia", fields);
}

std::string lightning_return(const lightning& strikes) {
    return burza_return(strikes.liczba, strikes.liczba > 0 ? one_decimal(strikes.odleglosc) : "0",
                        strikes.kierunek, strikes.okres);
}

storm_answer answer_storm_request(const fake_storm_request& request, const sim_settings& settings,
                                  std::time_t now, double storm_minute) {
    storm_answer answer;
    const std::string operation = storm_operation(request);
    if (request.path != storm_path) {
        answer.reply.status = 404;
        answer.reply.body = "Not Found\n";
        answer.reply.content_type = "text/plain";
        answer.summary = request.path + " -> 404";
        return answer;
    }
    if (operation == "KeyAPI") {
        const std::string klucz = xml_element_text(request.body, "klucz", body_start(request.body));
        const bool accepted = !klucz.empty() && klucz == settings.storm_key;
        answer =
            storm_result(operation, element("return", "xsd:boolean", accepted ? "true" : "false"),
                         accepted ? "-> key accepted" : "-> key rejected");
    } else if (header_key(request) != settings.storm_key || settings.storm_key.empty()) {
        answer.reply = soap_fault_reply("SOAP-ENV:Client", "Nieprawidłowy klucz API");
        answer.summary = (operation.empty() ? "?" : operation) + " -> fault: wrong key";
    } else {
        answer = operation_answer(operation, request.body, settings, now, storm_minute);
    }
    apply_storm_fault(answer, settings);
    return answer;
}

std::string percent_decode(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::string query_value(const std::string& query, const std::string& key) {
    std::size_t start = 0;
    while (start <= query.size()) {
        std::size_t end = query.find('&', start);
        if (end == std::string::npos) {
            end = query.size();
        }
        const std::string pair = query.substr(start, end - start);
        const std::size_t equals = pair.find('=');
        const std::string name = pair.substr(0, equals);
        if (name.size() == key.size() && strncasecmp(name.c_str(), key.c_str(), key.size()) == 0) {
            return equals == std::string::npos ? "" : percent_decode(pair.substr(equals + 1));
        }
        start = end + 1;
    }
    return "";
}

namespace {

// A decimal number as a query gives it ("50.06", "-3.5"); nothing for anything else.
std::optional<double> plain_number(const std::string& text) {
    if (text.empty() || text.size() > 24) {
        return std::nullopt;
    }
    // Whatever the process locale: the point is always the decimal separator here.
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    double value = 0;
    if (!(in >> value) || in.peek() != std::char_traits<char>::eof() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

} // namespace

weather_answer answer_weather_request(const std::string& path, const std::string& query,
                                      const sim_settings& settings, std::time_t now) {
    const bool current = path == current_weather_endpoint;
    const bool forecast = path == daily_forecast_endpoint;
    std::string town_name = query_value(query, "q");
    // A point ("lat" and "lon") is answered as the nearest town, at the point itself.
    sim_town at_point{};
    const sim_town* point_town = nullptr;
    const std::optional<double> latitude = plain_number(query_value(query, "lat"));
    const std::optional<double> longitude = plain_number(query_value(query, "lon"));
    if (town_name.empty() && latitude && longitude && std::fabs(*latitude) <= 90 &&
        std::fabs(*longitude) <= 180) {
        at_point = *nearest_town(*latitude, *longitude);
        at_point.latitude = *latitude;
        at_point.longitude = *longitude;
        point_town = &at_point;
        town_name = query_value(query, "lat") + "," + query_value(query, "lon");
    }
    weather_answer answer;
    if (!current && !forecast) {
        answer =
            weather_error(404, R"({"cod":"404","message":"Internal error"})", path + " -> 404");
    } else if (query_value(query, "APPID") != settings.weather_key ||
               settings.weather_key.empty()) {
        answer = weather_error(401,
                               R"({"cod":401, "message": "Invalid API key. Please see the )"
                               R"(service's documentation for more info."})",
                               path + " " + town_name + " -> 401 wrong key");
    } else if (const sim_town* town = point_town ? point_town : find_town(town_name)) {
        const std::string units = query_value(query, "units");
        const std::string cnt = query_value(query, "cnt");
        const Json::Value document =
            current
                ? current_weather_reply(*town, now, units)
                : daily_forecast_reply(*town, cnt.empty() ? 7 : std::atoi(cnt.c_str()), now, units);
        answer.reply.body = weather_json_text(document);
        answer.summary = path + " " + town_name + " -> " + town->name + ", " +
                         (current ? document["weather"][0]["description"].asString()
                                  : std::to_string(document["cnt"].asInt()) + " days");
    } else {
        answer = weather_error(404, not_found_reply(), path + " " + town_name + " -> not found");
    }
    apply_weather_fault(answer, settings);
    return answer;
}
