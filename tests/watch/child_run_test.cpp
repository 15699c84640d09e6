// The workers that make the watch's checks: kept from one order to the next, replaced when one
// is gone, ended when the watch stops; an order beside the checks wakes the watch's waits.
#include "state/run_deadline.h"
#include "watch/child_run.h"
#include "watch/wake.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace {

// In a worker: "die" ends it without an answer, "stop" stops it (SIGSTOP), "hang" never
// answers, "big" answers 3 MiB (more than a socket holds); anything else is answered with the
// worker's pid and the order.
std::string serve(const std::string& order) {
    if (order == "die") {
        _exit(3);
    }
    if (order == "stop") {
        raise(SIGSTOP);
    }
    if (order == "hang") {
        pause();
    }
    if (order == "big") {
        return std::string(3 << 20, 'x');
    }
    return std::to_string(getpid()) + " " + order;
}

pid_t pid_of(const std::string& answer) {
    return static_cast<pid_t>(std::stol(answer.substr(0, answer.find(' '))));
}

// Kills the child and waits (2 s at most) until it has ended, not yet collected.
void kill_and_wait(pid_t child) {
    kill(child, SIGKILL);
    for (int i = 0; i < 200; ++i) {
        std::ifstream stat("/proc/" + std::to_string(child) + "/stat");
        std::string pid;
        std::string name;
        std::string state;
        stat >> pid >> name >> state;
        if (state == "Z") {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// The run's time limit of the workers' orders, shortened for the test.
struct ShortTimeLimit {
    ShortTimeLimit() { set_run_time_limit(std::chrono::milliseconds(1)); }
    ~ShortTimeLimit() { set_run_time_limit(std::chrono::seconds(30)); }
};

TEST(WorkerPool, AWorkerIsKeptForTheNextOrdersAndReplacedWhenGone) {
    const wake_signals signals;
    ASSERT_TRUE(signals.ready());
    const ShortTimeLimit limit;
    worker_pool pool(serve);
    const auto nothing = [] {};
    std::string answer;
    const std::string big_order(3 << 20, 'x'); // more than a socket holds
    // Each step: the order, whether it is answered, and the workers made by then.
    struct step {
        const char* order;
        child_outcome outcome;
        std::size_t made;
    };
    const step steps[] = {
        {"a", child_outcome::done, 1},
        {"b", child_outcome::done, 1},                  // the same worker
        {"die", child_outcome::failed, 1},              // ended without an answer
        {"c", child_outcome::done, 2},                  // a new one takes the next order
        {"kill", child_outcome::done, 3},               // killed below while free: a new one again
        {"stop", child_outcome::overdue, 3},            // stopped: ended at its deadline
        {"e", child_outcome::done, 4},                  // stopped below while free:
        {big_order.c_str(), child_outcome::overdue, 4}, // more than it takes in: ended
        {"f", child_outcome::done, 5},
    };
    pid_t first = 0;
    for (const step& each : steps) {
        const std::string named = std::string(each.order).substr(0, 8);
        ASSERT_EQ(pool.ask(each.order, answer, nothing), each.outcome) << named;
        EXPECT_EQ(pool.made(), each.made) << named;
        if (each.outcome == child_outcome::done) {
            EXPECT_EQ(answer.substr(answer.find(' ') + 1), each.order);
            first = first == 0 ? pid_of(answer) : first;
        }
        if (std::string(each.order) == "b") {
            EXPECT_EQ(pid_of(answer), first);
        }
        if (std::string(each.order) == "c") {
            kill_and_wait(pid_of(answer));
        }
        if (std::string(each.order) == "e") {
            kill(pid_of(answer), SIGSTOP);
        }
    }
}

TEST(WorkerPool, AnOrderBesideWakesTheWaitsAndComesWholeWhileOthersAreAnswered) {
    const wake_signals signals;
    ASSERT_TRUE(signals.ready());
    worker_pool pool(serve);
    side_order beside(pool);
    ASSERT_TRUE(beside.start("big"));
    EXPECT_TRUE(beside.running());
    EXPECT_FALSE(beside.start("again")); // one at a time
    std::string answer;
    ASSERT_EQ(pool.ask("check", answer, [] {}), child_outcome::done);
    EXPECT_EQ(pool.made(), 2U); // the worker beside is busy
    std::string big;
    const auto deadline = watch_clock::now() + std::chrono::seconds(20);
    while (!beside.finished(big) && watch_clock::now() < deadline) {
        // Each part of the answer wakes the wait before its deadline.
        EXPECT_EQ(wait_for_wake(-1, deadline), wake_reason::signal);
    }
    EXPECT_EQ(big.size(), std::size_t{3} << 20);
    EXPECT_FALSE(beside.running());
    ASSERT_EQ(pool.ask("again", answer, [] {}), child_outcome::done);
    EXPECT_EQ(pool.made(), 2U);
    // A worker beside that is stopped is given up once its deadline has passed.
    const ShortTimeLimit limit;
    ASSERT_TRUE(beside.start("stop"));
    std::string none = "unset";
    while (!beside.finished(none) && watch_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(none, "");
    EXPECT_FALSE(beside.running());
    EXPECT_EQ(pool.ask("again", answer, [] {}), child_outcome::done);
}

TEST(WorkerPool, AStopEndsAWorkerThatDoesNotAnswer) {
    const wake_signals signals;
    ASSERT_TRUE(signals.ready());
    worker_pool pool(serve);
    std::string answer;
    ASSERT_EQ(pool.ask("a", answer, [] {}), child_outcome::done);
    const pid_t worker = pid_of(answer);
    alarm(10); // SIGALRM ends the test if the stop below does not come through
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        kill(getpid(), SIGTERM);
    }).detach();
    EXPECT_EQ(pool.ask("hang", answer, [] {}), child_outcome::stopped);
    alarm(0);
    EXPECT_TRUE(stop_requested());
    EXPECT_NE(kill(worker, 0), 0); // ended and collected
}

} // namespace
