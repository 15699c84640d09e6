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

// The places that --place or --all-places names, in order. A failure names an unknown place
// (with the nearest name and those the file gives) or an empty file: a run that no retry mends.
result<std::vector<const named_place*>> places_named(const command_options& options,
                                                     const std::vector<named_place>& places);

// The options of each of the `named` places, each as if its town (or its point and name) stood
// on the command line; the place's own radius, ring and alert rule stand in for those the
// command line does not give. A failure names a ring wider than the radius the place runs
// with: an error of the configuration or the options.
result<std::vector<command_options>>
options_of_places(const command_options& options, const std::vector<named_place>& places,
                  const std::vector<const named_place*>& named);
