// The program as a systemd service: the notification socket played by the test (a path and an
// abstract name), the watchdog's period, and the priorities of the lines on a journal stream.
// The services are fakes on free loopback ports, named to the program at run time.
#include "fake_storm_service.h"
#include "fake_weather_service.h"
#include "service/journal.h"
#include "service/notify.h"
#include "support/background_program.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

#include "nimbrovator_config.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

namespace {

using steady = std::chrono::steady_clock;

std::string stream_id(int fd) {
    struct stat status {};
    fstat(fd, &status);
    return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
}

// The storm service answers three strikes 12.3 km away, or a fault for the lightning; the
// weather service the current weather and nothing else.
struct Services {
    fake_storm_service_handle storm =
        start_fake_storm_service(TEST_PKI_DIR "/server.pem", TEST_PKI_DIR "/server.key");
    fake_weather_service_handle weather = start_fake_weather_service();
    bool lightning_fails = false;

    Services() {
        set_fake_storm_handler(*storm, [this](const fake_storm_request& request) {
            const std::string operation = soap_operation(request);
            if (operation == "szukaj_burzy" && !lightning_fails) {
                return fake_storm_reply{200,
                                        soap_reply(operation, burza_return(3, "12.3", "NE", 15))};
            }
            if (operation == "ostrzezenia_pogodowe") {
                std::string levels;
                for (const char* name : {"mroz", "upal", "wiatr", "opad", "burza", "traba"}) {
                    levels += "<" + std::string(name) + " xsi:type=\"xsd:int\">0</" + name + ">";
                }
                return fake_storm_reply{
                    200,
                    soap_reply(operation, soap_return("ns2:MyComplexTypeOstrzezenia", levels))};
            }
            return soap_fault_reply("SOAP-ENV:Server", "Usługa chwilowo niedostępna");
        });
        fake_reply current;
        current.body = json_text(full_current_weather());
        set_fake_reply(*weather, current_weather_endpoint, current);
        fake_reply forecast;
        forecast.body = json_text(
            daily_forecast({forecast_day(1494072000, 12.3, 20.1, 55, 1012, 1.5, "Bezchmurnie")}));
        set_fake_reply(*weather, daily_forecast_endpoint, forecast);
    }
    std::vector<std::string> environment() const {
        return {"NIMBROVATOR_STORM_HOST=localhost:" + std::to_string(fake_storm_port(*storm)),
                "NIMBROVATOR_STORM_CA_FILE=" TEST_PKI_DIR "/ca.pem",
                "NIMBROVATOR_WEATHER_HOST=127.0.0.1:" + std::to_string(fake_service_port(*weather)),
                "LC_ALL=C.UTF-8", "TZ=UTC"};
    }
    int lightning_calls() const {
        int calls = 0;
        for (const fake_storm_request& request : fake_storm_requests(*storm)) {
            calls += soap_operation(request) == "szukaj_burzy" ? 1 : 0;
        }
        return calls;
    }
};

// The program as a child with standard output and error in one file (as under the service
// manager) or in two; `journal`: $JOURNAL_STREAM names standard error; `own_watchdog`:
// $WATCHDOG_PID is the child's own.
struct Child : BackgroundProgram {
    void start(const std::vector<std::string>& args, const std::vector<std::string>& environment,
               bool one_file, bool journal, bool own_watchdog = false) {
        BackgroundProgram::start(args, dir.path, environment, one_file,
                                 ServiceSetting{journal, own_watchdog});
    }
};

// The service manager's end of the notification socket.
struct NotifySocket {
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::string name; // as $NOTIFY_SOCKET gives it
    std::vector<std::string> messages;

    explicit NotifySocket(const std::string& wanted) : name(wanted) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, wanted.data(), wanted.size());
        socklen_t length = offsetof(sockaddr_un, sun_path) + wanted.size();
        if (wanted[0] == '@') {
            address.sun_path[0] = '\0';
        } else {
            ++length;
        }
        bound = bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
    }
    ~NotifySocket() {
        close(fd);
        if (name[0] == '/') {
            unlink(name.c_str());
        }
    }
    bool bound = false;

    // Receives messages until `done` holds (true) or `seconds` pass (false).
    template <typename F> bool receive_until(F&& done, int seconds) {
        const auto deadline = steady::now() + std::chrono::seconds(seconds);
        while (!done()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
            if (left.count() <= 0) {
                return false;
            }
            pollfd ready{fd, POLLIN, 0};
            if (poll(&ready, 1, static_cast<int>(left.count())) > 0) {
                char buffer[4096];
                const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
                if (n > 0) {
                    messages.emplace_back(buffer, static_cast<std::size_t>(n));
                }
            }
        }
        return true;
    }
    long count(const std::string& message) const {
        return std::count(messages.begin(), messages.end(), message);
    }
    long index_of(const std::string& message) const {
        const auto at = std::find(messages.begin(), messages.end(), message);
        return at == messages.end() ? -1 : at - messages.begin();
    }
};

TEST(ServiceNotification, ReadyStatusWatchdogAndStoppingOnAPathAndAnAbstractSocket) {
    TempDir sockets;
    const std::string abstract = "@nimbrovator-test-" + std::to_string(getpid());
    for (const bool on_path : {true, false}) {
        SCOPED_TRACE(on_path ? "path" : "abstract");
        NotifySocket manager(on_path ? sockets.path + "/notify" : abstract);
        ASSERT_TRUE(manager.bound) << std::strerror(errno);
        Services services;
        ASSERT_TRUE(services.storm && services.weather);
        std::vector<std::string> environment = services.environment();
        environment.push_back("NOTIFY_SOCKET=" + manager.name);
        environment.push_back("WATCHDOG_USEC=200000");
        Child watch;
        // A check every 10 minutes: during the test the watch checks once and then waits.
        watch.start({"--watch", "--every", "10", "--near", "50.06,19.94", "--name", "Dom"},
                    environment, true, true, !on_path);
        std::string out_at_ready;
        const auto ready_and_pinged = [&] {
            if (out_at_ready.empty() && manager.count("READY=1") == 1) {
                out_at_ready = watch.out();
            }
            const long ready = manager.index_of("READY=1");
            return ready >= 0 && std::count(manager.messages.begin() + ready,
                                            manager.messages.end(), std::string("WATCHDOG=1")) >= 5;
        };
        ASSERT_TRUE(manager.receive_until(ready_and_pinged, 20))
            << watch.out() << "\nmessages: " << testing::PrintToString(manager.messages);
        EXPECT_EQ(watch.stop(SIGTERM), 0) << watch.out();
        manager.receive_until([&] { return manager.count("STOPPING=1") > 0; }, 5);

        // READY=1 once, after the first check's line was written and sent as the status.
        EXPECT_EQ(manager.count("READY=1"), 1);
        EXPECT_NE(out_at_ready.find("<6>"), std::string::npos) << out_at_ready;
        EXPECT_NE(out_at_ready.find("Dom: 3 wyładowania w 25 km, najbliższe 12.3 km NE"),
                  std::string::npos)
            << out_at_ready;
        // Before it the status told of the start, then gave the check's line and the event's.
        const long ready = manager.index_of("READY=1");
        ASSERT_GE(ready, 2);
        std::vector<std::string> statuses;
        for (long i = 0; i < ready; ++i) {
            if (manager.messages[i] != "WATCHDOG=1") {
                statuses.push_back(manager.messages[i]);
            }
        }
        ASSERT_EQ(statuses.size(), 3u);
        EXPECT_NE(statuses[0].find("Początek czuwania: Dom"), std::string::npos) << statuses[0];
        EXPECT_NE(statuses[1].find("Dom: 3 wyładowania"), std::string::npos) << statuses[1];
        EXPECT_NE(statuses[2].find("*** BURZA: wyładowania"), std::string::npos) << statuses[2];
        EXPECT_EQ(manager.messages.back(), "STOPPING=1");
        // The pings came while the watch waited for its next check: one check was made.
        EXPECT_EQ(services.lightning_calls(), 1);
        for (const std::string& message : manager.messages) {
            EXPECT_TRUE(message == "READY=1" || message == "WATCHDOG=1" ||
                        message == "STOPPING=1" || message.rfind("STATUS=", 0) == 0)
                << message;
        }
        // The lines on the journal stream carry their priorities: the check, then the event.
        const std::string out = watch.out();
        EXPECT_NE(out.find("<5>"), std::string::npos) << out;
        for (const std::string& line : lines_of(out)) {
            EXPECT_TRUE(line.rfind("<5>", 0) == 0 || line.rfind("<6>", 0) == 0) << line;
        }
    }
}

TEST(ServiceNotification, NoPingsForAnotherProcessAndNothingWithoutTheSocket) {
    TempDir sockets;
    NotifySocket manager(sockets.path + "/notify");
    ASSERT_TRUE(manager.bound);
    Services services;
    ASSERT_TRUE(services.storm && services.weather);
    std::vector<std::string> environment = services.environment();
    environment.push_back("NOTIFY_SOCKET=" + manager.name);
    environment.push_back("WATCHDOG_USEC=20000");
    environment.push_back("WATCHDOG_PID=1");
    Child watch;
    watch.start({"--watch", "--every", "0.005", "--near", "50.06,19.94"}, environment, false,
                false);
    // Several checks, each followed by a wait far longer than the watchdog's period.
    ASSERT_TRUE(manager.receive_until([&] { return services.lightning_calls() >= 4; }, 20));
    EXPECT_EQ(watch.stop(SIGINT), 0);
    manager.receive_until([&] { return manager.count("STOPPING=1") > 0; }, 5);
    EXPECT_EQ(manager.count("READY=1"), 1);
    EXPECT_EQ(manager.count("WATCHDOG=1"), 0);
    EXPECT_EQ(manager.messages.back(), "STOPPING=1");
    // Not a journal: the lines are as ever.
    EXPECT_EQ(watch.out().find('<'), std::string::npos) << watch.out();
    EXPECT_NE(watch.out().find("50.06, 19.94: 3 wyładowania"), std::string::npos) << watch.out();

    EXPECT_FALSE(notify_service("READY=1")) << "no $NOTIFY_SOCKET in the test";
}

// A service manager that reads nothing: once the socket's queue is full, messages are dropped
// and every send returns at once (a blocked send would stop the watch for good).
TEST(ServiceNotification, ASocketNobodyReadsDropsMessagesInsteadOfBlocking) {
    TempDir sockets;
    NotifySocket manager(sockets.path + "/notify");
    ASSERT_TRUE(manager.bound);
    const pid_t sender = fork();
    ASSERT_GE(sender, 0);
    if (sender == 0) {
        setenv("NOTIFY_SOCKET", manager.name.c_str(), 1);
        int dropped = 0;
        for (int i = 0; i < 2000; ++i) {
            dropped += notify_service("WATCHDOG=1") ? 0 : 1;
        }
        _exit(dropped > 0 ? 0 : 1);
    }
    int status = -1;
    const auto deadline = steady::now() + std::chrono::seconds(10);
    while (waitpid(sender, &status, WNOHANG) == 0 && steady::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (status == -1) {
        kill(sender, SIGKILL);
        waitpid(sender, &status, 0);
        FAIL() << "a send blocked on the full socket";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "no message was dropped";
}

TEST(ServiceNotification, TheWatchdogPeriodIsHalfTheIntervalForThisProcessOnly) {
    struct Case {
        const char* usec;
        const char* pid;     // "self": this process
        long long period_us; // -1: none
    };
    const Case cases[] = {
        {"2000000", nullptr, 1000000},
        {"2000000", "self", 1000000},
        {"2000000", "1", -1},
        {nullptr, nullptr, -1},
        {"", nullptr, -1},
        {"0", nullptr, -1},
        {"-4", nullptr, -1},
        {"12x", nullptr, -1},
        {"2000000", "x", -1},
        {"10", nullptr, 1000},
    };
    for (const Case& c : cases) {
        c.usec ? setenv("WATCHDOG_USEC", c.usec, 1) : unsetenv("WATCHDOG_USEC");
        const std::string self = std::to_string(getpid());
        c.pid ? setenv("WATCHDOG_PID", std::strcmp(c.pid, "self") == 0 ? self.c_str() : c.pid, 1)
              : unsetenv("WATCHDOG_PID");
        const auto period = watchdog_period();
        EXPECT_EQ(period ? period->count() : -1, c.period_us)
            << (c.usec ? c.usec : "unset") << " " << (c.pid ? c.pid : "unset");
    }
    unsetenv("WATCHDOG_USEC");
    unsetenv("WATCHDOG_PID");
}

TEST(JournalLines, PrioritiesGoBeforeEveryLineOnlyOnTheJournal) {
    EXPECT_EQ(with_priority("a\nb", line_priority::warning, true), "<4>a\n<4>b");
    EXPECT_EQ(with_priority("a\nb\n", line_priority::error, true), "<3>a\n<3>b\n");
    EXPECT_EQ(with_priority("a\nb\n", line_priority::error, false), "a\nb\n");
    EXPECT_EQ(with_priority("", line_priority::info, true), "");
}

TEST(JournalLines, AFailingServiceIsAWarningAndAUsageErrorAnErrorWhenTheStreamMatches) {
    Services services;
    ASSERT_TRUE(services.storm && services.weather);
    services.lightning_fails = true;
    struct Run {
        std::string out;
        std::string err;
    };
    // journal: 0 no $JOURNAL_STREAM, 1 one that names another file, 2 standard error's.
    const auto run = [&](const std::vector<std::string>& args, int journal) {
        Child child;
        std::vector<std::string> environment = services.environment();
        if (journal == 1) {
            environment.push_back("JOURNAL_STREAM=" + stream_id(STDIN_FILENO));
        }
        child.start(args, environment, false, journal == 2);
        EXPECT_NE(child.wait_exit(), -1);
        return Run{child.out(), child.err()};
    };
    const std::vector<std::vector<std::string>> cases = {
        {"--line", "--near", "50.06,19.94", "--name", "Dom"},
        {"--json", "--near", "91,19.94"},
        {"--waybar", "--near", "50.06,19.94", "--name", "Dom"},
    };
    const std::vector<std::string> told = lines_of(run(cases[0], 0).err);
    for (const std::vector<std::string>& args : cases) {
        const Run plain = run(args, 0);
        const Run other = run(args, 1);
        const Run journal = run(args, 2);
        // A bar form's reasons are in its answer: they go to the journal alone.
        const bool bar = args[0] == "--waybar";
        ASSERT_EQ(plain.err.empty(), bar) << plain.err;
        EXPECT_EQ(other.out, plain.out);
        EXPECT_EQ(other.err, plain.err);
        EXPECT_EQ(journal.out, plain.out) << "standard output is not the journal here";
        const std::vector<std::string> plain_lines = bar ? told : lines_of(plain.err);
        const std::vector<std::string> journal_lines = lines_of(journal.err);
        ASSERT_EQ(journal_lines.size(), plain_lines.size()) << journal.err;
        const std::string priority = args[0] == "--json" ? "<3>" : "<4>";
        for (std::size_t i = 0; i < plain_lines.size(); ++i) {
            EXPECT_EQ(journal_lines[i], priority + plain_lines[i]);
        }
    }
}

} // namespace
