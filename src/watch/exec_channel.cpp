// The user's command (--exec): run by /bin/sh with the event's facts in NIMBROVATOR_*
// variables, one at a time; an event while it runs is not handed on.
#include "service/journal.h"
#include "watch/alerts.h"
#include "watch/channels.h"

#include <sys/wait.h>

namespace {

class exec_channel : public alert_channel {
  public:
    explicit exec_channel(std::string command) : command_text_(std::move(command)) {}

    result<void> deliver(const alert_event& event) override {
        collect();
        if (command_.running()) {
            return failure("Poprzednie polecenie --exec jeszcze działa; tego zdarzenia nie "
                           "przekazuję.");
        }
        if (!command_.start({"/bin/sh", "-c", command_text_},
                            event_environment(event.event, event.facts))) {
            return failure("Nie udało się uruchomić polecenia --exec.");
        }
        return {};
    }

    bool collect() override {
        const std::optional<int> status = command_.collect();
        if (status && WIFEXITED(*status) && WEXITSTATUS(*status) != 0) {
            tell_error_stream("Polecenie --exec zakończyło się kodem " +
                                  std::to_string(WEXITSTATUS(*status)) + ".",
                              line_priority::warning);
        } else if (status && WIFSIGNALED(*status)) {
            tell_error_stream("Polecenie --exec przerwał sygnał " +
                                  std::to_string(WTERMSIG(*status)) + ".",
                              line_priority::warning);
        }
        return command_.running();
    }

  private:
    std::string command_text_;
    alert_command command_;
};

} // namespace

bool exec_enabled(const channel_setup& setup) {
    return !setup.command.empty();
}

std::unique_ptr<alert_channel> open_exec_channel(const channel_setup& setup) {
    return std::make_unique<exec_channel>(setup.command);
}
