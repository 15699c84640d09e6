// The command line turned into the plain request that the report, output and watch floors take.
#pragma once

#include "app/options.h"
#include "base/result.h"
#include "config/settings.h"
#include "report/report.h"
#include "state/run_context.h"

#include <optional>

// The report asked for by a town (and a radius) after the options, or by --near (and a radius),
// with the weather parts that the settings snapshot switches on; nothing when the operands do not
// name one place (a usage error).
std::optional<report_request> report_request_of(const command_options& options,
                                                const settings_snapshot& settings);

// The options of each place that --place or --all-places names, each as if its town (or its
// point and name) stood on the command line, with the place's own radius, ring and alert rule
// over those of the options. A failure names an unknown place (with the nearest name and those
// the file gives), or an empty file.
result<std::vector<command_options>> options_of_places(const command_options& options,
                                                       const std::vector<named_place>& places);
