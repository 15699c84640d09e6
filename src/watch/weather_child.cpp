#include "watch/weather_child.h"

#include "state/run_deadline.h"

#include <algorithm>
#include <sstream>

namespace {

// One line of text: a line break in it would end the field early.
std::string one_line(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

} // namespace

std::string weather_parts_text(const report_request& request) {
    start_run_deadline(); // the weather (in a worker beside the checks) gets the whole time
    const std::vector<weather_request> requests = weather_requests(request);
    std::vector<std::string> paths;
    paths.reserve(requests.size());
    for (const weather_request& part : requests) {
        paths.push_back(part.path);
    }
    start_weather_requests(paths);
    std::vector<weather_part> parts;
    parts.reserve(requests.size());
    for (const weather_request& part : requests) {
        parts.push_back({part.source, part.path, fetch_weather(part.path)});
    }
    return weather_parts_wire(parts);
}

std::string weather_parts_wire(const std::vector<weather_part>& parts) {
    std::ostringstream out;
    out << parts.size() << '\n';
    for (const weather_part& part : parts) {
        const weather_reply& reply = part.reply;
        out << part.source << '\n'
            << one_line(part.path) << '\n'
            << reply.transferred << ' ' << reply.http_status << ' ' << reply.retry_after_s << ' '
            << reply.age_s << ' ' << reply.stale << ' ' << reply.untrusted << ' ' << reply.too_large
            << ' ' << static_cast<int>(reply.failure_reason.cause) << '\n'
            << one_line(reply.failure) << '\n'
            << one_line(reply.failure_reason.detail) << '\n'
            << reply.body.size() << '\n'
            << reply.body << '\n';
    }
    return out.str();
}

result<std::vector<weather_part>> parse_weather_parts(const std::string& text) {
    std::istringstream in(text);
    std::size_t count = 0;
    if (!(in >> count) || count > 2) {
        return failure("Nieczytelna odpowiedź procesu pogody.");
    }
    in.ignore();
    std::vector<weather_part> parts(count);
    for (weather_part& part : parts) {
        weather_reply& reply = part.reply;
        std::size_t size = 0;
        int cause = 0;
        std::getline(in, part.source);
        std::getline(in, part.path);
        in >> reply.transferred >> reply.http_status >> reply.retry_after_s >> reply.age_s >>
            reply.stale >> reply.untrusted >> reply.too_large >> cause;
        in.ignore();
        std::getline(in, reply.failure);
        std::getline(in, reply.failure_reason.detail);
        reply.failure_reason.cause = static_cast<failure_cause>(cause);
        in >> size;
        in.ignore();
        if (!in || size > max_weather_reply_bytes) {
            return failure("Nieczytelna odpowiedź procesu pogody.");
        }
        reply.body.resize(size);
        in.read(reply.body.data(), static_cast<std::streamsize>(size));
        in.ignore();
        if (!in) {
            return failure("Nieczytelna odpowiedź procesu pogody.");
        }
    }
    return parts;
}

bool weather_part_failed(const weather_part& part) {
    return !part.reply.transferred || part.reply.http_status != 200;
}
