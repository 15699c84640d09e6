// The --format output form: a line made from the user's template, for status bars.
//   "%t %n/%d km %D" -> "Kraków 7/12.3 km NE"
#pragma once

#include "output/markup.h"
#include "report/report.h"

#include <optional>
#include <string>
#include <vector>

// What a template can show: the records of a run and, in the watch, the event of the check
// ("burza", "blizej", "spokoj"; empty when the check raised none, and outside the watch).
struct template_facts {
    const run_report& report;
    std::string event;
};

// One placeholder: its letter after "%", what it shows, and its value (nothing when the
// records do not hold it: the placeholder then prints nothing).
struct template_placeholder {
    char letter;
    const char* meaning; // Polish, for the usage text and the manual
    std::optional<std::string> (*value)(const template_facts& facts);
};

// Every placeholder, in the order of the documentation ("%%" is not among them).
const std::vector<template_placeholder>& template_placeholders();

// What is wrong with a template (an unknown placeholder, a "%" at its end), as a Polish message;
// nothing when it is usable.
std::optional<std::string> template_error(const std::string& format);

// The template with its placeholders replaced, as one terminal-safe line without a line end
// (like report_line: no control characters, and plain ASCII stand-ins when `utf8` is false).
// Each field's text is made safe for the bar's markup `escape` (--escape); the template's own
// text is left as it is, so that it can hold the bar's tags.
std::string template_line(const std::string& format, const template_facts& facts, bool utf8,
                          markup escape = markup::none);

// A text made safe for one line of a terminal or a status bar: control characters and bytes
// that are not UTF-8 removed, line ends and tabs made spaces; ASCII stand-ins unless `utf8`.
std::string one_safe_line(const std::string& text, bool utf8);
