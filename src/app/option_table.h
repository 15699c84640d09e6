// The options of the command line, one row each. The getopt table, the checks of which options
// go together and the text of --help-all come from it; the completions and the manual list
// exactly its options (tests/completion checks them).
#pragma once

#include "output/output_form.h"

#include <string>
#include <vector>

// What a run does, as its options decide. A row names the kinds of run it goes with.
enum run_kind : unsigned {
    kind_classic = 1u << 0, // the classic report: a town (and a radius) with no form
    kind_report = 1u << 1,  // one answer in a machine form: --json, --line, --format, ...
    kind_watch = 1u << 2,   // --watch
    kind_history = 1u << 3, // --history
    kind_service = 1u << 4, // --config, --check, --towns
};
constexpr unsigned every_kind =
    kind_classic | kind_report | kind_watch | kind_history | kind_service;

// The groups of --help-all, in its order.
enum class option_group { one_shot, status_bar, watch, mqtt, history, settings };

// The value getopt_long returns for an option; an option's handler is chosen by it.
enum option_id {
    opt_json = 1000,
    opt_line,
    opt_format,
    opt_waybar,
    opt_i3blocks,
    opt_escape,
    opt_max_age,
    opt_stale_limit,
    opt_timeout,
    opt_near,
    opt_name,
    opt_place,
    opt_all_places,
    opt_watch,
    opt_every,
    opt_notify,
    opt_exec,
    opt_clear_after,
    opt_cooldown,
    opt_danger_km,
    opt_approaching_only,
    opt_color,
    opt_alerts_to_stderr,
    opt_checks,
    opt_mqtt,
    opt_history,
    opt_svg,
    opt_config,
    opt_check,
    opt_towns,
    opt_help,
    opt_help_all,
    opt_version,
    opt_settings_menu, // -s: the classic run's own, only as the first argument
};

struct option_row {
    option_id id;
    const char* long_name; // without the dashes; empty: only the short name
    char short_name;       // '\0': none; a short name works only as the first argument
    const char* argument;  // the Polish name of its value; empty: takes no value
    option_group group;
    unsigned allowed;   // the kinds of run it goes with
    unsigned sets_kind; // the kind of run it asks for; 0: none
    const char* help;   // one sentence; --help-all wraps it
    // The output form it asks for; text: none. A run has one form: two options that ask for
    // different forms do not go together.
    output_form form = output_form::text;
};

// Every option, in the order of --help-all within each group.
const std::vector<option_row>& option_table();

// The row of `long_name` (without the dashes), or null.
const option_row* option_named(const std::string& long_name);

// The row of `id`; every id has one.
const option_row& option_of(option_id id);

// "--every", or "-s" for a row with only a short name.
std::string option_text(const option_row& row);
