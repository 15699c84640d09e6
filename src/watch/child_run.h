// Work in forked child processes: the storm and weather clients block in their own calls (the
// SOAP runtime and libcurl), so a check runs where the watch can end it at once by ending the
// process, whatever it is waiting for. A child gives its answer as text.
#pragma once

#include "base/result.h"
#include "watch/wake.h"

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

// `failed`: the child could not be made or ended without an answer; `overdue`: it did not answer
// by its deadline (the run's time limit, as each child keeps it, and a short grace); `stopped`:
// SIGINT, SIGTERM or SIGHUP came first. An overdue or stopped child is ended (SIGTERM and SIGCONT,
// then SIGKILL) and collected.
enum class child_outcome { done, failed, overdue, stopped };

// Runs `work` in a child of its own, which ends with it, with standard output and error on
// /dev/null and gives its text. `on_signal` runs at any signal but the ending ones.
child_outcome run_in_child(const std::function<std::string()>& work, std::string& answer,
                           const std::function<void()>& on_signal);

// Children that serve orders (text) one after another, each answered in text: made when an
// order finds none free, they keep what they set up (loaded libraries, the TLS context, the
// services' connections, the database's) for the next orders instead of making it again for
// each. An order is all that a worker learns of the watch: nothing else of the watch's memory
// after the worker was made. A worker that does not answer by its order's deadline (stopped,
// say), or when the watch is asked to stop, is ended and collected; the next order makes a new
// one. When the pool goes, a free worker ends on its own and one with an order out is ended, all
// of them at once.
class worker_pool {
  public:
    using serve_fn = std::function<std::string(const std::string&)>;
    explicit worker_pool(serve_fn serve) : serve_(std::move(serve)) {}
    ~worker_pool();
    worker_pool(const worker_pool&) = delete;
    worker_pool& operator=(const worker_pool&) = delete;

    // As run_in_child: a free worker answers the order while the watch waits.
    child_outcome ask(const std::string& order, std::string& answer,
                      const std::function<void()>& on_signal);
    // An order beside the others (the weather, which may take the whole time-out): a worker is
    // taken for it until its answer has been read. Its index, or a failure when no worker could
    // take the order. Its answer coming in wakes the watch's waits (wake_on_readable).
    result<std::size_t> start(const std::string& order);
    // True once the worker taken by `start` has answered, with its answer (empty when it could
    // not answer), or once its deadline has passed (empty: the worker is ended); the worker is
    // free again then. False while it works.
    bool finished(std::size_t taken, std::string& answer);
    // The order is given up: its worker is ended.
    void give_up(std::size_t taken);

    // The workers made so far; a test's count of what the orders cost.
    std::size_t made() const { return made_; }

  private:
    struct worker {
        pid_t pid = -1;
        int fd = -1;                      // the watch's end of the worker's socket
        bool busy = false;                // an order is out
        watch_clock::time_point deadline; // when its answer is due
        std::string partial;              // its answer so far
    };
    // A free worker, made when none is; null when none can be made.
    worker* free_worker();
    // The order sent to a free worker, which is busy from then on: its index. `overdue` when a
    // worker took none by the order's deadline.
    result<std::size_t> hand_over(const std::string& order, bool& overdue);
    // Reads what the worker has sent without waiting: 1 when its answer is whole, 0 when more is
    // to come, -1 when it has ended without one.
    int take_in(worker& from, std::string& answer);
    void end(worker& gone, bool at_once);

    serve_fn serve_;
    std::vector<worker> workers_;
    std::size_t made_ = 0;
};

// An order of the pool's beside the checks, on behalf of one place: started, then asked now
// and then, without waiting, whether it has been answered. One still out when the object goes is
// given up.
class side_order {
  public:
    explicit side_order(worker_pool& pool) : pool_(pool) {}
    ~side_order();
    side_order(const side_order&) = delete;
    side_order& operator=(const side_order&) = delete;

    // Fails when no worker could take it, or one is out already.
    result<void> start(const std::string& order);
    bool running() const { return taken_.has_value(); }
    // True once answered, with the answer (empty when it failed); false while out or when none
    // was started.
    bool finished(std::string& answer);

  private:
    worker_pool& pool_;
    std::optional<std::size_t> taken_;
};
