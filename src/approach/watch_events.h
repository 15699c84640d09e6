// The events the watch raises, in the order a storm brings them: one table, read by the rules,
// the alert channels, the status-bar forms, the track and the MQTT discovery.
#pragma once

#include <array>

enum class watch_event { none, storm, closer, within_ring, all_clear };

// The shape that marks an event in a picture, so that it reads without its colour too.
enum class event_mark { triangle, diamond, square, circle };

struct watch_event_kind {
    watch_event event;
    const char* id;     // the name users and programs see ("burza"): --exec, MQTT, %e, the track
    const char* title;  // the desktop notification's title
    const char* label;  // the name shown in Polish ("bliżej"), where the id lacks the letters
    const char* colour; // the colour that marks it (#RRGGBB), e.g. in the history picture
    event_mark mark;    // the shape that marks it there; each event its own colour and shape
};

extern const std::array<watch_event_kind, 4> watch_events;

// The event's id; empty for none.
const char* event_id(watch_event event);
// The notification's title; empty for none.
const char* event_title(watch_event event);
// The row whose id is `id`; null for an unknown id.
const watch_event_kind* event_kind_named(const char* id);
