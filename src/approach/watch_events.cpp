#include "approach/watch_events.h"

#include <cstring>

const std::array<watch_event_kind, 4> watch_events = {{
    {watch_event::storm, "burza", "Burza w pobliżu", "burza", "#7b3fa6", event_mark::triangle},
    {watch_event::closer, "blizej", "Burza bliżej", "bliżej", "#e08000", event_mark::diamond},
    {watch_event::within_ring, "blisko", "Burza blisko: schroń się", "blisko", "#d00000",
     event_mark::square},
    {watch_event::all_clear, "spokoj", "Spokój: burza minęła", "spokój", "#2e8b3e",
     event_mark::circle},
}};

namespace {

const watch_event_kind* kind_of(watch_event event) {
    for (const watch_event_kind& kind : watch_events) {
        if (kind.event == event) {
            return &kind;
        }
    }
    return nullptr;
}

} // namespace

const char* event_id(watch_event event) {
    const watch_event_kind* kind = kind_of(event);
    return kind != nullptr ? kind->id : "";
}

const char* event_title(watch_event event) {
    const watch_event_kind* kind = kind_of(event);
    return kind != nullptr ? kind->title : "";
}

const watch_event_kind* event_kind_named(const char* id) {
    for (const watch_event_kind& kind : watch_events) {
        if (std::strcmp(kind.id, id) == 0) {
            return &kind;
        }
    }
    return nullptr;
}
