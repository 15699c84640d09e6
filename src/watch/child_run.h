// One piece of work in a forked child process: the storm and weather clients block in their
// own calls (the SOAP runtime and libcurl), so a check runs where the watch can end it at once
// by ending the process, whatever it is waiting for. The child gives its answer as text on a
// pipe; nothing of it (memory, descriptors, connections) outlives it.
#pragma once

#include "base/result.h"

#include <sys/types.h>

#include <functional>
#include <string>

enum class child_outcome { done, failed, stopped };

// Runs `work` in a child with standard output and error on /dev/null and gives its text.
// `failed`: the child could not be made or ended without an answer; `stopped`: SIGINT, SIGTERM
// or SIGHUP came first (the child is ended, SIGTERM then SIGKILL, and collected). `on_signal` runs
// at any other signal.
child_outcome run_in_child(const std::function<std::string()>& work, std::string& answer,
                           const std::function<void()>& on_signal);

// A piece of work in a child that runs beside the watch's checks (the weather, which may take
// the whole time-out): started, then asked now and then, without waiting, whether it has ended.
// Its answer goes to a memory file, so it never waits for the watch to read it. A child still
// running when the object goes is ended (SIGTERM, then SIGKILL) and collected.
class side_child {
  public:
    side_child() = default;
    ~side_child();
    side_child(const side_child&) = delete;
    side_child& operator=(const side_child&) = delete;

    // Fails when the child could not be made, or one runs already.
    result<void> start(const std::function<std::string()>& work);
    bool running() const { return pid_ > 0; }
    // True once the child has ended, with its answer (empty when it failed); false while it runs
    // or when none was started.
    bool finished(std::string& answer);

  private:
    void release();
    pid_t pid_ = -1;
    int fd_ = -1; // the answer's memory file
};
