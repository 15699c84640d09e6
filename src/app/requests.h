// The command line turned into the plain request that the report, output and watch floors take.
#pragma once

#include "app/options.h"
#include "report/report.h"

#include <optional>

// The report asked for by a town (and a radius) after the options, or by --near (and a radius),
// with the weather parts the settings switch on; nothing when the operands do not name one place (a
// usage error).
std::optional<report_request> report_request_of(const command_options& options);
