// What an event does besides its line: the terminal bell, a desktop notification and the
// user's command. The commands run in process groups of their own, at most one of each kind
// at a time; the watch collects them as they end and ends those still running when it ends.
#pragma once

#include <string>
#include <vector>

struct alert_settings {
    bool bell = false;   // standard output is a terminal
    bool notify = false; // --notify
    std::string command; // --exec; empty: none
};

// An event as the commands see it: NAME=VALUE entries (NIMBROVATOR_EVENT, ...).
struct alert {
    std::string title;   // for the notification
    std::string message; // for the notification
    std::vector<std::string> environment;
};

class alert_commands {
  public:
    explicit alert_commands(alert_settings settings);
    ~alert_commands();
    alert_commands(const alert_commands&) = delete;
    alert_commands& operator=(const alert_commands&) = delete;

    void raise(const alert& event);
    // Collects the commands that have ended; reports a command's status other than 0.
    void collect();

  private:
    alert_settings settings_;
    int command_pid_ = -1;
    int notify_pid_ = -1;
    bool notify_missing_reported_ = false;
};

// True when `program` names an executable file in one of the directories of $PATH.
bool program_in_path(const std::string& program);
