// The commands that alerts start (notify-send, --exec): each in a process group of its own,
// with standard input from /dev/null and without the program's secrets in its environment. A
// handle holds at most one running command; the watch collects it when it ends, and ends it when
// the handle goes.
#pragma once

#include "base/result.h"

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

class alert_command {
  public:
    alert_command() = default;
    ~alert_command();
    alert_command(const alert_command&) = delete;
    alert_command& operator=(const alert_command&) = delete;

    // Starts `argv` with `added` (NAME=VALUE) in its environment; fails while the last one runs
    // (collect first).
    result<void> start(const std::vector<std::string>& argv, const std::vector<std::string>& added);
    // The wait status of the command once it has ended (once); nothing while it runs or when
    // none was started.
    std::optional<int> collect();
    bool running() const { return pid_ > 0; }

  private:
    pid_t pid_ = -1;
};

// The environment of a command: `current` (NAME=VALUE entries) without the variables that hold
// secrets (the keys among the settings), then `added`.
std::vector<std::string> command_environment(const char* const* current,
                                             const std::vector<std::string>& added);

// True when `program` names an executable file in one of the directories of $PATH.
bool program_in_path(const std::string& program);
