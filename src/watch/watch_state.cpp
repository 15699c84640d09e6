#include "watch/watch_state.h"

#include <algorithm>

namespace {

constexpr double closer_step_km = 3;
constexpr double never_quiet_below_km = 10;
constexpr double trend_step_km = 2;
constexpr std::size_t trend_checks = 3;

std::size_t slot(watch_event event) {
    return static_cast<std::size_t>(event);
}

bool cooling_down(const watch_state& state, watch_event event, double now_s,
                  const watch_rules& rules) {
    const std::optional<double>& raised = state.raised_s[slot(event)];
    return raised && now_s - *raised < rules.cooldown_s;
}

// The event a check with strikes calls for, before the cool-down.
watch_event strike_event(const watch_state& state, const std::optional<double>& nearest_km) {
    if (!state.had_strikes || state.storm_held) {
        return watch_event::storm;
    }
    if (!nearest_km) {
        return watch_event::none;
    }
    const bool closer_than_last =
        state.last_nearest_km && *nearest_km <= *state.last_nearest_km - closer_step_km;
    const bool closest_yet = !state.closest_km || *nearest_km < *state.closest_km;
    return closer_than_last && closest_yet ? watch_event::closer : watch_event::none;
}

void remember_distance(watch_state& state, double nearest_km) {
    state.last_nearest_km = nearest_km;
    state.closest_km = std::min(state.closest_km.value_or(nearest_km), nearest_km);
    state.recent_nearest_km.push_back(nearest_km);
    if (state.recent_nearest_km.size() > trend_checks) {
        state.recent_nearest_km.erase(state.recent_nearest_km.begin());
    }
}

// The safety ring: blisko when the nearest strike is within it, once a storm unless the strikes
// left the ring for longer than the cool-down.
bool enters_ring(watch_state& state, const std::optional<double>& nearest_km, double now_s,
                 const watch_rules& rules) {
    if (!nearest_km || *nearest_km > rules.danger_km) {
        if (state.ring_raised && !state.left_ring_s) {
            state.left_ring_s = now_s;
        }
        return false;
    }
    const bool again =
        !state.ring_raised || (state.left_ring_s && now_s - *state.left_ring_s > rules.cooldown_s);
    state.left_ring_s.reset();
    state.ring_raised = true;
    return again;
}

watch_event after_strikes(watch_state& state, const watch_check& check, double now_s,
                          const watch_rules& rules, bool coming) {
    watch_event event = strike_event(state, check.nearest_km);
    if (rules.approaching_only && !coming &&
        (event == watch_event::storm || event == watch_event::closer)) {
        state.storm_held = state.storm_held || event == watch_event::storm;
        event = watch_event::none;
    }
    const bool exempt = event == watch_event::closer && *check.nearest_km < never_quiet_below_km;
    if (event != watch_event::none && !exempt && cooling_down(state, event, now_s, rules)) {
        event = watch_event::none;
    }
    if (event == watch_event::storm) {
        state.closest_km.reset();
        state.storm_held = false;
    }
    if (enters_ring(state, check.nearest_km, now_s, rules)) {
        event = watch_event::within_ring;
    }
    // Strikes that go on outside the ring after its all-clear are the same storm, not a new
    // one: only a new alert or strikes after a quiet check start one.
    state.storm = state.storm || !state.had_strikes || event != watch_event::none;
    state.had_strikes = true;
    state.last_strike_s = now_s;
    const bool in_ring = check.nearest_km && *check.nearest_km <= rules.danger_km;
    if (in_ring) {
        state.last_ring_strike_s = now_s;
    }
    state.zone_struck = in_ring || !state.last_ring_strike_s;
    // A nearest strike beyond the radius still tells how far the storm was: strikes later
    // within the radius are closer.
    if (const std::optional<double> distance =
            check.nearest_km ? check.nearest_km : check.beyond_km) {
        remember_distance(state, *distance);
    }
    return event;
}

void after_quiet(watch_state& state, double now_s, const watch_rules& rules) {
    state.had_strikes = false;
    state.zone_struck = false;
    state.storm_held = false;
    state.recent_nearest_km.clear();
    enters_ring(state, std::nullopt, now_s, rules);
}

// The all-clear, when it is due at `now_s`.
watch_event clear_when_due(watch_state& state, double now_s, const watch_rules& rules) {
    const std::optional<double> due = all_clear_due(state, rules);
    if (!due || now_s < *due) {
        return watch_event::none;
    }
    state.storm = false;
    state.closest_km.reset(); // strikes coming closer again are told again
    state.ring_raised = false;
    state.left_ring_s.reset();
    state.last_ring_strike_s.reset();
    return watch_event::all_clear;
}

} // namespace

std::optional<double> all_clear_due(const watch_state& state, const watch_rules& rules) {
    if (!state.storm || state.blind || (state.zone_struck && rules.clear_after_s <= 0)) {
        return std::nullopt;
    }
    double due = state.last_ring_strike_s.value_or(state.last_strike_s) + rules.clear_after_s;
    if (const std::optional<double>& raised = state.raised_s[slot(watch_event::all_clear)]) {
        due = std::max(due, *raised + rules.cooldown_s);
    }
    return due;
}

watch_trend distance_trend(const std::vector<double>& nearest_km) {
    if (nearest_km.size() < 2) {
        return watch_trend::none;
    }
    const std::size_t first =
        nearest_km.size() > trend_checks ? nearest_km.size() - trend_checks : 0;
    const double change = nearest_km.back() - nearest_km[first];
    if (change <= -trend_step_km) {
        return watch_trend::approaching;
    }
    return change >= trend_step_km ? watch_trend::receding : watch_trend::steady;
}

watch_step next_watch_step(const watch_state& state, const watch_check& check, double now_s,
                           const watch_rules& rules, bool coming) {
    watch_step step;
    step.state = state;
    step.state.blind = !check.known;
    if (!check.known) {
        return step;
    }
    if (check.strikes > 0) {
        step.event = after_strikes(step.state, check, now_s, rules, coming);
    } else {
        after_quiet(step.state, now_s, rules);
    }
    if (step.event == watch_event::none) {
        step.event = clear_when_due(step.state, now_s, rules);
    }
    if (step.event != watch_event::none) {
        step.state.raised_s[slot(step.event)] = now_s;
    }
    step.trend = distance_trend(step.state.recent_nearest_km);
    return step;
}
