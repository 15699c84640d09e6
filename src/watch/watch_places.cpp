#include "watch/watch_run.h"

#include "output/machine_run.h"
#include "service/journal.h"
#include "service/notify.h"
#include "storm/town_lookup.h"
#include "watch/channels.h"
#include "watch/child_run.h"
#include "watch/order_service.h"
#include "watch/schedule.h"
#include "watch/wake.h"
#include "watch/watch_commands.h"
#include "watch/watch_loop.h"
#include "watch/watch_output.h"
#include "watch/watch_print.h"
#include "watch/watch_weather.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

// A place of a watch of several: its own loop, when its next check is due, whether its town is
// known, and how many checks it has had.
struct watched_place {
    std::unique_ptr<watch_loop> loop;
    watch_clock::time_point due;
    bool settled = false;
    int settle_failures = 0;
    int done = 0;
};

// When the place's next check comes: its regular time, or its all-clear's when that comes first.
watch_clock::time_point check_time(const watched_place& place) {
    const std::optional<watch_clock::time_point> clear =
        place.settled ? all_clear_time(*place.loop) : std::nullopt;
    return clear ? std::min(*clear, place.due) : place.due;
}

// The place whose check comes next, among those that still have checks to make; null when none.
watched_place* next_due(std::vector<watched_place>& places, const std::optional<int>& checks) {
    watched_place* next = nullptr;
    for (watched_place& place : places) {
        if ((!checks || place.done < *checks) &&
            (next == nullptr || check_time(place) < check_time(*next))) {
            next = &place;
        }
    }
    return next;
}

// Waits until the next place's check is due, or a command asks for a place's check now (that
// place is due then); `next`: the place, null when none has checks left. False when stopped.
template <typename F>
bool wait_for_next(std::vector<watched_place>& places, const std::optional<int>& checks,
                   watched_place*& next, F&& collect) {
    while (!stop_requested()) {
        for (watched_place& place : places) {
            if (place.loop->controls.check_now_due) {
                place.loop->controls.check_now_due = false;
                place.due = watch_clock::now();
            }
        }
        next = next_due(places, checks);
        if (next == nullptr || wait_for_wake(-1, check_time(*next)) == wake_reason::deadline) {
            return true;
        }
        collect();
    }
    return false;
}

// Settles the place's town when it is not yet known; false when stopped. An unknown town leaves
// the place out (`left_out`); a failed try is tried again after its back-off.
bool settle_place(watched_place& place, bool& left_out, bool& ready) {
    const auto started = watch_clock::now();
    const std::optional<town_status> status = try_settle(*place.loop);
    if (!status) {
        return false;
    }
    if (*status == town_status::found) {
        place.settled = true;
    } else if (*status == town_status::unknown) {
        left_out = true;
    } else {
        place.due = after(started, tell_settle_failed(*place.loop, ++place.settle_failures));
        tell_ready(ready);
    }
    return true;
}

// The places' latest checks, for the bar's one object.
std::vector<bar_place> latest_checks(const std::vector<watched_place>& places) {
    std::vector<bar_place> shown;
    for (const watched_place& place : places) {
        if (place.loop->latest) {
            shown.push_back(*place.loop->latest);
        }
    }
    return shown;
}

int watch_places(std::vector<watched_place>& places) {
    const std::optional<int>& checks = places.front().loop->request.checks;
    const double every_s = places.front().loop->request.every_s;
    bool ready = false;
    // A bar's object shows all places in one (render_places).
    const watch_request& request = places.front().loop->request;
    const bool in_one_bar = form_stream(request.form, request.format) == watch_stream::bar_object;
    for (watched_place& place : places) {
        place.loop->in_one_bar = in_one_bar;
    }
    // Each place's first try to find its town; the broker gets a device for each place found.
    for (auto it = places.begin(); it != places.end();) {
        bool left_out = false;
        if (!settle_place(*it, left_out, ready)) {
            return 0;
        }
        it = left_out ? places.erase(it) : it + 1;
    }
    if (places.empty()) {
        return unknown_place_status;
    }
    const watch_request& first = places.front().loop->request;
    ready_for_children(weather_wanted(first));
    std::unique_ptr<mqtt_link> link;
    wait_chore chore;
    if (first.mqtt) {
        std::vector<mqtt_place> devices;
        for (watched_place& place : places) {
            if (place.settled) {
                place.loop->mqtt_place = devices.size();
                devices.push_back(mqtt_place_of(place.loop->request, place.loop->town));
            }
        }
        link = start_publishing(first, devices, chore, true);
    }
    // Every wait from here on serves the broker; none after the link is gone.
    const std::unique_ptr<const wait_chore, void (*)(const wait_chore*)> chore_in_use(
        link ? &chore : nullptr, [](const wait_chore*) { set_wait_chore(nullptr); });
    set_wait_chore(chore_in_use.get());
    const auto start = watch_clock::now();
    for (std::size_t i = 0; i < places.size(); ++i) {
        watch_loop& loop = *places[i].loop;
        const auto offset = after(start, place_offset_s(i, places.size(), every_s));
        places[i].due = places[i].settled ? offset : std::max(offset, places[i].due);
        if (places[i].settled) {
            loop.mqtt = link.get();
            if (link) {
                listen_to_commands(loop, *link);
            }
            follow_positions(loop, loop.mqtt);
            loop.channels =
                open_channels(channel_setup_of(loop.request, loop.mqtt, loop.mqtt_place));
        }
    }
    const auto collect = [&] {
        for (watched_place& place : places) {
            collect_children(*place.loop);
        }
    };
    for (;;) {
        watched_place* place = nullptr;
        if (!wait_for_next(places, checks, place, collect)) {
            return 0;
        }
        if (place == nullptr) {
            return 0;
        }
        watch_loop& loop = *place->loop;
        if (!place->settled) {
            bool left_out = false;
            if (!settle_place(*place, left_out, ready)) {
                return 0;
            }
            if (left_out) {
                places.erase(places.begin() + (place - places.data()));
                if (places.empty()) {
                    return unknown_place_status;
                }
                continue;
            }
            if (!place->settled) {
                continue;
            }
            // Found after the start: its device joins the others on the broker.
            if (link) {
                loop.mqtt = link.get();
                loop.mqtt_place = link->add_place(mqtt_place_of(loop.request, loop.town));
                listen_to_commands(loop, *link);
            }
            follow_positions(loop, loop.mqtt);
            loop.channels =
                open_channels(channel_setup_of(loop.request, loop.mqtt, loop.mqtt_place));
        }
        const auto started = watch_clock::now();
        // The all-clear's own check leaves the regular ones as they were.
        const bool regular = started >= place->due;
        loop.check_due =
            regular ? std::optional<watch_clock::time_point>(place->due) : std::nullopt;
        // The other places' weather may come meanwhile: each is taken at once.
        if (!check_once(loop, !regular, collect)) {
            return 0;
        }
        tell_ready(ready);
        const std::optional<std::string> bar =
            loop.in_one_bar ? render_places(loop.request.form, latest_checks(places))
                            : std::nullopt;
        if (bar) {
            print_line(*bar, line_priority::info);
        }
        if (regular) {
            ++place->done;
            const auto on_clock = [&](watch_clock::time_point at) {
                return std::chrono::duration<double>(at - start).count();
            };
            const double wait =
                check_wait_s(every_s, loop.request.storm_remote, loop.storm_failures);
            place->due = after(
                start, next_check_s(on_clock(place->due), on_clock(watch_clock::now()), wait));
        }
    }
}

} // namespace

int run_watch(const std::vector<watch_request>& requests) {
    if (requests.size() == 1) {
        return run_watch(requests.front());
    }
    const wake_signals signals;
    if (!signals.ready()) {
        tell_error_stream_always("Nie udało się przygotować obsługi sygnałów.",
                                 line_priority::error);
        return 1;
    }
    worker_pool pool(serve_order); // goes after the places' loops
    std::vector<watched_place> places;
    std::string names;
    for (const watch_request& request : requests) {
        places.push_back({std::make_unique<watch_loop>(request, pool), {}, false, 0, 0});
        names += (names.empty() ? "" : ", ") + request.place;
    }
    notify_service("STATUS=" + stamp(requests.front()) + "Początek czuwania: " + names);
    const int status = watch_places(places);
    notify_service("STOPPING=1");
    return status;
}
