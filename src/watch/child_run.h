// One piece of work in a forked child process: the storm and weather clients block in their
// own calls (the SOAP runtime and libcurl), so a check runs where the watch can end it at once
// by ending the process, whatever it is waiting for. The child gives its answer as text on a
// pipe; nothing of it (memory, descriptors, connections) outlives it.
#pragma once

#include <functional>
#include <string>

enum class child_outcome { done, failed, stopped };

// Runs `work` in a child with standard output and error on /dev/null and gives its text.
// `failed`: the child could not be made or ended without an answer; `stopped`: SIGINT, SIGTERM
// or SIGHUP came first (the child is ended, SIGTERM then SIGKILL, and collected). `on_signal` runs
// at any other signal.
child_outcome run_in_child(const std::function<std::string()>& work, std::string& answer,
                           const std::function<void()>& on_signal);
