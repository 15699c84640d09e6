// The program's run: start-up, command-line dispatch and the report sequence.
#pragma once

#include <string>

// Runs the program for the given command line and gives the exit status: 0 when the run did
// what was asked, 1 when it could not give its answer, 2 for a command line of too many
// arguments (the usage then goes to standard error).
int run_program(int argc, char** argv);
