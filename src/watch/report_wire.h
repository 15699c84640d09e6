// A run's records through the pipe from a check's child to the watch, which renders them in the
// watch's output form: one line of JSON that gives back the same records, every figure exact.
#pragma once

#include "report/report.h"

#include <string>

// The records as one line.
std::string report_wire(const run_report& report);
// The records of a line made by report_wire; false (and `report` unspecified) when the line
// does not hold them.
bool parse_report_wire(const std::string& text, run_report& report);
