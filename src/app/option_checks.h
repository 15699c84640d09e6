// The checks of a command line that no single option's value makes: which options go together
// (the kinds of run and the forms of the table of options), what may follow them, and the
// single-dash words. Each failure is the usage error, naming its culprit.
#pragma once

#include "app/command_options.h"
#include "app/option_table.h"
#include "base/result.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// The long option named by `word` ("--every", "--every=5", "-every"), or null.
const option_row* option_in(const std::string& word, std::size_t dashes);
// "nieznana opcja: WORD", with the option of that name or the nearest one when one is near.
std::string unknown_option(const std::string& word, std::size_t dashes);
// The culprit when the word getopt is to read next is a single-dash word.
result<void> check_single_dash(const char* word);
// The kind of run the given options ask for, and the option that asks for it (null for the
// classic run).
std::pair<run_kind, const option_row*> kind_of(const std::vector<const option_row*>& given);
// The first given option that does not go with the kind of run.
result<void> check_fit(const std::vector<const option_row*>& given);
// What follows the options in the newer forms.
result<void> check_operands(const command_options& options, run_kind kind, const option_row* asker);
// The first known option after the town: options come before it.
result<void> check_no_late_option(const std::vector<std::string>& operands);
// One form a run: the first option that asks for another form than an earlier one.
result<void> check_one_form(const std::vector<const option_row*>& given);
// The checks that no single option makes.
result<void> check_combination(const command_options& options);
