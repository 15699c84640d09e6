// What passes between the watch and its workers, each as one line of JSON that gives back the
// same records, every figure exact: an order (a check or the weather, with all it needs), and a
// run's records as the answer, which the watch renders in its output form.
#pragma once

#include "approach/place_track.h"
#include "report/report.h"

#include <string>

// The records as one line.
std::string report_wire(const run_report& report);
// The records of a line made by report_wire; false (and `report` unspecified) when the line
// does not hold them.
bool parse_report_wire(const std::string& text, run_report& report);

// What a worker is asked for: a check (the place as the check asks for it, and everything else
// the check takes), the weather's parts alone (weather_parts_text), or a check's row recorded
// in the place's track.
enum class order_kind { check, weather, record };

struct work_order {
    order_kind kind = order_kind::check;
    report_request report;
    town_record town;  // the place settled
    track_place place; // the place's track
    std::string db_path;
    double danger_km = 10;
    double clear_after_s = 0;
    double clock_rate = 1;
    double time_s = 0;      // the check's time on the track's clock
    bool fresh = false;     // no reply from the reply cache
    std::string weather;    // the weather's parts had so far (weather_parts_wire); empty: none
    long weather_age_s = 0; // how old they are
    // A record: the check's observation and its event; `now_s`, the wall clock's, for pruning.
    observation seen;
    std::string event;
    double now_s = 0;
};

std::string work_order_wire(const work_order& order);
// False (and `order` unspecified) when the line does not hold an order.
bool parse_work_order(const std::string& text, work_order& order);
