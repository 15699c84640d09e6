// Lines for the journal: when a stream of the program is the journal's (its device and inode
// are those $JOURNAL_STREAM names), each line on it starts with its priority ("<4>"), which the
// journal takes off and keeps as the line's priority. Elsewhere the lines stay as they are.
#pragma once

#include <string>

enum class line_priority { error = 3, warning = 4, notice = 5, info = 6 };

// True when `fd` is the stream $JOURNAL_STREAM ("DEVICE:INODE", decimal) names.
bool is_journal_stream(int fd);

// `text` with "<N>" before each of its lines when `journal`; unchanged otherwise (and when empty).
std::string with_priority(const std::string& text, line_priority priority, bool journal);

// Writes `text` (its own line breaks included) on standard error, with the priority before each
// line when standard error is the journal; flushed.
void write_error_stream(const std::string& text, line_priority priority);

// Writes `text` and a line break on standard error (the C++ stream), with the priority when
// standard error is the journal; flushed.
void tell_error_stream(const std::string& text, line_priority priority);
