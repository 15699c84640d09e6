#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// A child process made ready entirely before it exists: its arguments, its environment and its
// standard streams are prepared here, and the child only execs. A forked child that allocates
// may hang on a lock one of the test's threads (a fake service's) held at the fork, so every
// program a test starts goes through this.
struct ChildLaunch {
    std::vector<std::string> argv; // argv[0] is the program's path unless `path` is given
    std::string path;
    std::vector<std::string> set;   // NAME=VALUE entries over the test's environment
    std::vector<std::string> unset; // names taken out of it
    int in = -1;                    // descriptors for standard input, output and error;
    int out = -1;                   // -1 leaves the test's own
    int err = -1;
};

// The child's pid, or -1 when it could not be started.
pid_t spawn_program(const ChildLaunch& launch);

// Opens `path` for the child's standard output or error (created, truncated unless `append`),
// close-on-exec in the test; -1 on failure.
int open_for_child(const std::string& path, bool append = false);
