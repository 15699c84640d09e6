// The Waybar output form: one JSON object a line, read by a bar's custom module with
// "return-type": "json".
//   {"text":"Kraków: 7 wyładowań ...","tooltip":"...","class":["storm","near"],
//    "percentage":59,"alt":"burza"}
#pragma once

#include "output/markup.h"
#include "report/report.h"

#include <json/json.h>

#include <string>
#include <vector>

// Within this distance a strike is near (class "near").
constexpr double near_strike_km = 10;

// The object of a run, its text and tooltip Pango markup: `text` as given (the one-line form or the
// template's line), the whole report as the tooltip, the classes, how close the nearest strike is,
// and `alt`: the event of the check (watch) or "storm", "calm", "error" (no lightning answer).
Json::Value waybar_object(const run_report& report, const std::string& text,
                          const std::string& event);

// The classes of a run, from "storm", "near", "warning", "stale", "error", "calm".
std::vector<std::string> waybar_classes(const run_report& report);
// 100 x (1 - nearest / radius), whole, 0 to 100; 0 without strikes.
int closeness_percentage(const run_report& report);
// The whole report in Polish, one part a line, no empty lines; the approach estimate, when there
// is one, after the lightning.
std::string waybar_tooltip(const run_report& report);
