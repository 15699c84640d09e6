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
// line when standard error is the journal; flushed. Nothing after keep_reasons_for_journal,
// unless standard error is the journal.
void write_error_stream(const std::string& text, line_priority priority);

// Writes `text` and a line break on standard error (the C++ stream), with the priority when
// standard error is the journal; flushed. As write_error_stream after keep_reasons_for_journal.
void tell_error_stream(const std::string& text, line_priority priority);

// A status bar may show a command's standard error in place of its answer (Polybar shows its
// first line). A run in a bar's form, whose answer already says what failed (`%x`, the
// tooltip), calls this once it is under way: from then on the two functions above write only
// when standard error is the journal.
void keep_reasons_for_journal();

// As tell_error_stream, whatever keep_reasons_for_journal said: for what the user asked to see
// on standard error (--alerts-to-stderr) and for the usage errors.
void tell_error_stream_always(const std::string& text, line_priority priority);
