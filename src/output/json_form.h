// The JSON output form: one document per run (schema/report.schema.json).
#pragma once

#include "report/report.h"

#include <json/json.h>

#include <ctime>
#include <string>

// The document of a run, as a value (the watch adds members to it).
Json::Value report_document(const run_report& report);
// The approach estimate as the member "approach": null without one.
Json::Value approach_value(const std::optional<approach_estimate>& estimate);
// The document written on one line, without a line end.
// The report's safe_at as a document gives it: ISO 8601 local time, or null.
Json::Value safe_at_value(const run_report& report);
std::string document_text(const Json::Value& document);
// Local time as ISO 8601 with the offset: "2026-12-07T23:59:00+01:00".
std::string iso_local_time(std::time_t time);
