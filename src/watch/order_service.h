// The worker's side of the watch: the orders of child_run's pool (a check, the weather beside
// the checks, a row of the track), each served as a run of its own, and the town looked up once
// in a child.
#pragma once

#include "approach/approach.h"
#include "report/report.h"
#include "storm/town_lookup.h"
#include "watch/watch_state.h"

#include <string>

// In a worker: the order's answer, empty when the text holds no order.
std::string serve_order(const std::string& text);
// In the child that looks the town up: its answer as text (parse_town_answer reads it).
std::string town_answer_text(const std::string& db_path, const std::string& typed);
// The answer of such a text; failed when it is not whole.
town_answer parse_town_answer(const std::string& text, const std::string& typed);
// What the check saw of the lightning, from its checked record.
watch_check check_of(const run_report& report);
// The check's observation for the track, at `time_s` on the track's clock.
observation observation_at(const watch_check& check, double time_s);
