#include "storm/town_lookup.h"

#include "service/journal.h"
#include "state/run_context.h"
#include "state/run_deadline.h"
#include "state/run_state.h"
#include "store/database.h"
#include "store/reply_cache.h"
#include "storm/reply_text.h"
#include "storm/storm_client.h"
#include "storm/storm_requests.h"
#include "text/numbers.h"
#include "text/text.h"
#include "weather/current_weather.h"
#include "weather/daily_forecast.h"
#include "weather/weather_fetch.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>

namespace {

constexpr std::size_t max_town_bytes = 40;
constexpr int max_lookup_calls = 3;
constexpr unsigned forecast_days = 2;

void line_end() {
    std::cout << '\n' << std::flush;
}

// One line of standard input, or false at its end (the prompt's line is then closed).
bool read_line(std::string& line) {
    if (std::getline(std::cin, line)) {
        std::cin.clear();
        line = without_line_end_cr(line);
        return true;
    }
    line_end();
    return false;
}

void report_end_of_input(const char* what) {
    tell_error_stream(std::string("Koniec danych wejściowych: nie podano ") + what + ".",
                      line_priority::error);
}

bool ask_town() {
    do {
        std::cout << "\nPodaj nazwę miejscowości: " << std::flush;
        if (!read_line(g_town)) {
            return false;
        }
        g_town = clean_town_name(g_town);
        g_typed_town = g_town;
    } while (g_town.empty() || g_town.size() > max_town_bytes);
    return true;
}

// A typed radius: empty gives 25; otherwise only digits, 5 to 100.
bool parse_typed_radius(const std::string& line, int& radius) {
    if (line.empty()) {
        radius = 25;
        return true;
    }
    if (!is_number(line, 10)) {
        return false;
    }
    errno = 0;
    const long value = std::strtol(line.c_str(), nullptr, 10);
    if (errno == ERANGE || value < 5 || value > 100) {
        return false;
    }
    radius = static_cast<int>(value);
    return true;
}

bool ask_radius() {
    std::string line;
    do {
        std::cout << "Podaj promień (5-100 km, ENTER = 25 km): " << std::flush;
        if (!read_line(line)) {
            return false;
        }
    } while (!parse_typed_radius(line, g_search_radius));
    return true;
}

// The weather requests of the enabled reports, for the town as the user gave it.
std::vector<std::string> weather_paths(const settings_snapshot& settings) {
    std::vector<std::string> paths;
    if (settings.weather == "1") {
        paths.push_back(current_weather_path(g_typed_town));
    }
    if (settings.forecast == "1") {
        paths.push_back(daily_forecast_path(g_typed_town, forecast_days));
    }
    return paths;
}

void run_weather_reports(const settings_snapshot& settings) {
    if (settings.weather == "1") {
        show_current_weather();
    }
    if (settings.forecast == "1") {
        show_daily_forecast(forecast_days);
    }
}

// Asks the storm service for the town's coordinates; nothing when no usable reply came.
std::optional<Coordinates> fetch_coordinates(const std::wstring& name) {
    const storm_result reply = request_town(name);
    tell_storm_failure(reply);
    return extract_coordinates(reply.text);
}

// A reply for a town the service has no data for: a coordinate whose value is zero ("0", "0.0",
// "-0", "00"); one such value is as unusable as both.
bool means_no_data(const Coordinates& found) {
    const auto is_zero = [](const std::string& number) {
        return number.find_first_not_of("-.0") == std::string::npos;
    };
    return is_zero(found.y) || is_zero(found.x);
}

enum class Lookup { found, cached, unknown, failed, no_input };

// One remote lookup of the normalised name, with the messages and weather reports it prints.
Lookup look_up_remotely(const settings_snapshot& settings, const std::wstring& name,
                        const std::string& key, bool early) {
    std::cout << "Brak miejscowości " << key << " w bazie danych!";
    line_end();
    std::cout << "Pobieram współrzędne miejscowości z serwera " << storm_host() << "...";
    line_end();
    if (early) {
        start_weather_requests(weather_paths(settings));
    }
    const std::optional<Coordinates> found = fetch_coordinates(name);
    if (!found) {
        return Lookup::failed;
    }
    if (means_no_data(*found)) {
        g_town.clear();
        std::cout << "Na serwerze " << storm_host() << " brak danych o tej miejscowości.";
        line_end();
        run_weather_reports(settings);
        return Lookup::unknown;
    }
    g_y_coord = found->y;
    g_x_coord = found->x;
    if (early) {
        start_storm_reports(g_y_coord, g_x_coord, g_search_radius);
    }
    std::cout << "Pobrałem współrzędne.";
    line_end();
    run_weather_reports(settings);
    return Lookup::found;
}

// One pass: ask when needed, normalise, then the cache or the service.
Lookup look_up_once(const settings_snapshot& settings, bool interactive, bool early) {
    if (g_town.empty() && !ask_town()) {
        report_end_of_input("nazwy miejscowości");
        return Lookup::no_input;
    }
    if (interactive && !ask_radius()) {
        report_end_of_input("promienia");
        return Lookup::no_input;
    }
    const std::wstring name = capitalize_town_name(to_wide(g_town));
    g_town = to_narrow(name);
    if (find_cached_town(g_db_path, g_town, g_y_coord, g_x_coord) == 0) {
        if (early) {
            start_weather_requests(weather_paths(settings));
            start_storm_reports(g_y_coord, g_x_coord, g_search_radius);
        }
        std::cout << "Miejscowość " << g_town << " jest w bazie danych!";
        line_end();
        run_weather_reports(settings);
        return Lookup::cached;
    }
    return look_up_remotely(settings, name, g_town, early);
}

// Runs that look the same new town up at the same moment share one request, as they share the
// other operations: one asks, the others wait for its reply in the reply cache. The row serves
// only them; the town table keeps the coordinates.
cache_policy shared_lookup_policy() {
    cache_policy policy;
    policy.enabled = true;
    policy.max_age_s = claim_seconds;
    policy.stale_limit_s = reply_cache_policy().stale_limit_s;
    return policy;
}

// The town request, through the reply cache; `asked`: this run sent it (not another run).
storm_result shared_town_request(const std::string& db_path, const std::wstring& name,
                                 bool& asked) {
    storm_result result;
    const cached_reply reply = cached_request(
        db_path, shared_lookup_policy(), storm_host() + " miejscowosc " + to_narrow(name),
        [&]() -> std::optional<std::string> {
            asked = true;
            result = request_town(name);
            if (result.failed || !extract_coordinates(result.text)) {
                return std::nullopt;
            }
            return result.text;
        });
    if (!reply.ok && !asked) { // the run that asked gave no answer in this run's time
        result.failed = true;
        result.failure = {failure_cause::timeout, ""};
    }
    result.ok = reply.ok;
    result.text = reply.text;
    return result;
}

} // namespace

int clamp_radius(int radius) {
    if (radius < 5) {
        return 25;
    }
    return radius > 100 ? 100 : radius;
}

std::optional<Coordinates> extract_coordinates(const std::string& reply) {
    const std::string y_tag = "<y xsi:type=\"xsd:float\">";
    const std::string x_tag = "<x xsi:type=\"xsd:float\">";
    const std::size_t y_at = reply.find(y_tag);
    if (y_at == std::string::npos) {
        return std::nullopt;
    }
    const std::string after_y = reply.substr(y_at + y_tag.size());
    const std::optional<std::string> y = tag_value(reply, y_tag, "</y>");
    const std::optional<std::string> x = tag_value(after_y, x_tag, "</x>");
    if (!y || !x || !is_decimal_number(*y) || !is_decimal_number(*x)) {
        return std::nullopt;
    }
    return Coordinates{*y, *x};
}

int get_town(const settings_snapshot& settings, const std::string& town, int radius,
             bool start_reports) {
    g_typed_town = clean_town_name(town);
    g_town = g_typed_town;
    g_search_radius = clamp_radius(radius);
    const bool interactive = town.empty() && radius == 0;
    int failed_calls = 0;
    for (;;) {
        const Lookup outcome = look_up_once(settings, interactive, start_reports);
        if (outcome == Lookup::cached) {
            return 0;
        }
        if (outcome == Lookup::found) {
            break;
        }
        if (outcome == Lookup::unknown) {
            failed_calls = 0;
            continue;
        }
        if (outcome == Lookup::no_input) {
            return 1;
        }
        // No usable reply: try the same name again a few times, then give up.
        if (++failed_calls >= max_lookup_calls) {
            std::cout << "Nie udało się pobrać współrzędnych miejscowości z serwera "
                      << storm_host() << ".";
            line_end();
            return 1;
        }
        std::this_thread::sleep_for(storm_settings().lookup_retry_pause);
    }
    if (insert_cached_town(g_db_path, g_town, g_y_coord, g_x_coord) != 0) {
        std::cout << "Wystąpił błąd podczas dodawania miejscowości do bazy danych!";
    } else {
        std::cout << "Dodałem miejscowość do bazy danych!";
    }
    line_end();
    return 0;
}

std::string normalised_town_name(const std::string& typed) {
    return to_narrow(capitalize_town_name(to_wide(clean_town_name(typed))));
}

town_answer look_up_town(const std::string& db_path, const std::string& typed) {
    town_answer answer;
    town_record& town = answer.town;
    town.typed = clean_town_name(typed);
    const std::wstring name = capitalize_town_name(to_wide(town.typed));
    town.name = normalised_town_name(typed);
    town.from_cache = find_cached_town(db_path, town.name, town.y, town.x) == 0;
    for (int calls = 0; !town.from_cache && calls < max_lookup_calls && !run_deadline_passed();
         ++calls) {
        if (calls > 0) {
            std::this_thread::sleep_for(within_run_deadline(storm_settings().lookup_retry_pause));
        }
        bool asked = false;
        const storm_result reply = shared_town_request(db_path, name, asked);
        answer.failure = reply.failure;
        const std::optional<Coordinates> found = extract_coordinates(reply.text);
        if (!found) {
            if (!reply.failed) {
                answer.failure = {failure_cause::malformed, ""};
            }
            continue;
        }
        if (means_no_data(*found)) {
            answer.status = town_status::unknown;
            return answer;
        }
        town.y = found->y;
        town.x = found->x;
        // The run that asked adds the town; the runs that shared its reply find it added.
        if (asked && insert_cached_town(db_path, town.name, town.y, town.x) != 0) {
            tell_database_failure("Wystąpił błąd podczas dodawania miejscowości do bazy danych!",
                                  line_priority::error);
        }
        break;
    }
    if (town.y.empty()) {
        answer.status = town_status::failed;
        return answer;
    }
    town.latitude = decimal_value(town.y);
    town.longitude = decimal_value(town.x);
    answer.status = town_status::found;
    return answer;
}
