// The command line turned into the plain request that the report, output and watch floors take.
#pragma once

#include "app/options.h"
#include "report/report.h"
#include "state/run_context.h"

#include <optional>

// The report asked for by a town (and a radius) after the options, or by --near (and a radius),
// with the weather parts that the settings snapshot switches on; nothing when the operands do not
// name one place (a usage error).
std::optional<report_request> report_request_of(const command_options& options,
                                                const settings_snapshot& settings);
