// Whole watches: the program started as a child, checking the local simulator's scripted storm
// or a fake storm service with a script of its own, and stopped with a signal. The services'
// ports are given at run time; the program must trust the test certificate authority.
#include "approach/approach.h"
#include "fake_storm_service.h"
#include "fake_weather_service.h"
#include "scripted_storm.h"
#include "simulator.h"
#include "storm_scenario.h"
#include "support/background_program.h"
#include "support/run_program.h"
#include "support/schema_check.h"
#include "support/service_ports.h"
#include "support/temp_dir.h"
#include "watch/alerts.h"

#include "nimbrovator_config.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <dirent.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace {

using steady = std::chrono::steady_clock;

const int storm_port = test_storm_port();
const int weather_port = test_weather_port();
const bool configured_for_tests = storm_port > 0 && weather_port > 0 &&
                                  std::string(NIMBROVATOR_STORM_CA_FILE) == TEST_PKI_DIR "/ca.pem";

// The program's children (and theirs), from /proc.
std::vector<pid_t> descendants(pid_t parent) {
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return found;
    }
    while (const dirent* entry = readdir(proc)) {
        const pid_t pid = std::atoi(entry->d_name);
        std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
        std::string line;
        if (pid <= 0 || !std::getline(stat, line) || line.rfind(')') == std::string::npos) {
            continue;
        }
        std::istringstream rest(line.substr(line.rfind(')') + 2));
        char state = 0;
        pid_t ppid = 0;
        rest >> state >> ppid;
        if (ppid == parent) {
            found.push_back(pid);
            for (pid_t grandchild : descendants(pid)) {
                found.push_back(grandchild);
            }
        }
    }
    closedir(proc);
    return found;
}

// True while the process runs (a zombie waiting to be collected does not).
bool process_running(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line) || line.rfind(')') == std::string::npos) {
        return false;
    }
    return line[line.rfind(')') + 2] != 'Z';
}

// The program running a watch, its output going to files.
using Watch = BackgroundProgram;

// The events named by the marked lines, in order.
std::vector<std::string> event_names(const std::string& out) {
    std::vector<std::string> names;
    for (const std::string& line : lines_of(out)) {
        for (const char* name : {"BURZA", "BLIŻEJ", "SPOKÓJ", "BLISKO"}) {
            if (line.find(std::string("*** ") + name + ":") != std::string::npos) {
                names.push_back(name);
            }
        }
    }
    return names;
}

class WatchRunTest : public ::testing::Test {
  protected:
    TempDir data;
    void SetUp() override {
        if (!configured_for_tests) {
            GTEST_SKIP() << "the program is not built to trust the test certificate authority";
        }
    }
    // The simulator on this test process's service ports, playing `storm` in accelerated time.
    static sim_options simulator_options(const std::string& storm, int minute_ms) {
        sim_options options = default_sim_options();
        options.storm_port = storm_port;
        options.weather_port = weather_port;
        options.cert_file = TEST_PKI_DIR "/server.pem";
        options.cert_key_file = TEST_PKI_DIR "/server.key";
        options.storm = storm;
        options.minute_ms = minute_ms;
        return options;
    }
};

TEST_F(WatchRunTest, ApproachingStormGivesBurzaCloserAndAllClearWithTheirEnvironment) {
    // A check every 5 simulated minutes, all-clear after 30.
    sim_options options = simulator_options("approach", 40);
    std::string error;
    const simulator_handle sim = start_simulator(options, error);
    ASSERT_TRUE(sim) << error;
    Watch watch;
    const std::string events_file = watch.dir.path + "/events";
    watch.start(
        {"--watch", "--every", "0.00333", "--clear-after", "0.02", "--cooldown", "0.01", "--exec",
         "env | grep -E '^NIMBROVATOR_(EVENT|TOWN|RADIUS_KM|STRIKES|DISTANCE_KM|DIRECTION)=' | "
         "sort >>" +
             events_file + "; echo >>" + events_file,
         "Kraków", "30"},
        data.path);
    // Until the all-clear's command has written its environment.
    ASSERT_TRUE(watch.wait_for([&] {
        const std::string written = read_file(events_file);
        return written.find("EVENT=spokoj") != std::string::npos &&
               written.compare(written.size() - 2, 2, "\n\n") == 0;
    })) << watch.out()
        << watch.err();
    double seconds = 0;
    EXPECT_EQ(watch.stop(SIGTERM, seconds), 0);

    const std::string out = watch.out();
    const std::vector<std::string> events = event_names(out);
    ASSERT_GE(events.size(), 4u) << out;
    EXPECT_EQ(events.front(), "BURZA") << out;
    EXPECT_EQ(events.back(), "SPOKÓJ") << out;
    EXPECT_GE(std::count(events.begin(), events.end(), "BLIŻEJ"), 2) << out;
    EXPECT_NE(out.find("| zbliża się"), std::string::npos) << out;
    EXPECT_NE(out.find("| oddala się"), std::string::npos) << out;

    // One environment per event, in the same order.
    std::vector<std::string> blocks;
    std::string block;
    for (const std::string& line : lines_of(read_file(events_file))) {
        if (line.empty()) {
            blocks.push_back(block);
            block.clear();
        } else {
            block += line + "\n";
        }
    }
    ASSERT_EQ(blocks.size(), events.size()) << read_file(events_file);
    EXPECT_NE(blocks.front().find("NIMBROVATOR_EVENT=burza\n"), std::string::npos);
    EXPECT_NE(blocks.front().find("NIMBROVATOR_DIRECTION=SW\n"), std::string::npos);
    EXPECT_NE(blocks.front().find("NIMBROVATOR_TOWN=Kraków\n"), std::string::npos);
    EXPECT_NE(blocks.front().find("NIMBROVATOR_RADIUS_KM=30\n"), std::string::npos);
    EXPECT_EQ(blocks.back(), "NIMBROVATOR_DIRECTION=\nNIMBROVATOR_DISTANCE_KM=\n"
                             "NIMBROVATOR_EVENT=spokoj\nNIMBROVATOR_RADIUS_KM=30\n"
                             "NIMBROVATOR_STRIKES=0\nNIMBROVATOR_TOWN=Kraków\n");
    // Each closer event is nearer than the one before.
    double last_km = 1000;
    for (const std::string& environment : blocks) {
        if (environment.find("EVENT=blizej") == std::string::npos) {
            continue;
        }
        const std::size_t at = environment.find("DISTANCE_KM=") + 12;
        const double km = std::atof(environment.c_str() + at);
        EXPECT_LT(km, last_km - 2.9) << environment;
        last_km = km;
    }
}

// The scripted storm service (see scripted_storm.h): each test plays its own script.
class ScriptedWatchTest : public WatchRunTest {
  protected:
    scripted_storm replies;
    fake_storm_service_handle storm;

    void SetUp() override {
        WatchRunTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        storm = start_scripted_storm_service(TEST_PKI_DIR "/server.pem", TEST_PKI_DIR "/server.key",
                                             storm_port, replies);
        ASSERT_TRUE(storm) << "port " << storm_port << " is busy";
        // The weather reports off: only the storm service is asked.
        ASSERT_TRUE(switch_weather_reports_off(data.path));
    }
};

TEST_F(ScriptedWatchTest, CooldownAndAllClearInJsonDocuments) {
    // burza, blizej, held by the cool-down, blizej below 10 km, all-clear, burza held.
    replies.play({0, 20, 16, 12, 8, 0, 0, 0, 0, 0, 0, 15, 0});
    Watch watch;
    // The rules of burza and blizej alone: the safety ring at its smallest.
    watch.start({"--watch", "--json", "--notify", "--every", "0.002", "--cooldown", "1",
                 "--clear-after", "0.005", "--danger-km", "1", "Kraków", "30"},
                data.path);
    ASSERT_TRUE(watch.wait_for([&] { return replies.lightning_calls() >= 18; })) << watch.err();
    double seconds = 0;
    EXPECT_EQ(watch.stop(SIGINT, seconds), 0);

    const std::string out = watch.out();
    EXPECT_EQ(report_schema_violations(out), "");
    std::vector<std::string> events;
    for (const std::string& line : lines_of(out)) {
        Json::Value document;
        ASSERT_TRUE(Json::Reader().parse(line, document)) << line;
        events.push_back(document["event"].isNull() ? "-" : document["event"].asString());
    }
    ASSERT_GE(events.size(), 17u) << out;
    const std::vector<std::string> first = {"-", "burza", "blizej", "-", "blizej"};
    EXPECT_EQ(std::vector<std::string>(events.begin(), events.begin() + 5), first);
    EXPECT_EQ(std::count(events.begin(), events.end(), "spokoj"), 1) << out;
    EXPECT_EQ(std::count(events.begin(), events.end(), "burza"), 1) << out;
    EXPECT_EQ(std::find(events.begin(), events.end(), "spokoj") - events.begin() < 11, true);
    // The event lines go to standard error, so that standard output stays NDJSON.
    EXPECT_NE(watch.err().find("*** SPOKÓJ: od 0.3 s brak wyładowań"), std::string::npos);
    if (!program_in_path("notify-send")) {
        const std::string err = watch.err();
        const std::string missing = "Brak programu notify-send";
        ASSERT_NE(err.find(missing), std::string::npos) << err;
        EXPECT_EQ(err.find(missing, err.find(missing) + 1), std::string::npos) << err;
    }
}

// The all-clear comes when it falls due, by a check of its own between the regular ones, which
// keep their time (and their count).
TEST_F(ScriptedWatchTest, AllClearComesAtItsTimeNotAtTheNextCheck) {
    replies.play({5, 0});
    Watch watch;
    watch.start({"--watch", "--json", "--every", "0.05", "--checks", "2", "--clear-after", "0.01",
                 "--danger-km", "10", "Kraków", "30"},
                data.path);
    EXPECT_EQ(watch.wait_exit(), 0) << watch.err();
    std::vector<std::string> events;
    for (const std::string& line : lines_of(watch.out())) {
        Json::Value document;
        ASSERT_TRUE(Json::Reader().parse(line, document)) << line;
        events.push_back(document["event"].isNull() ? "-" : document["event"].asString());
    }
    EXPECT_EQ(events, (std::vector<std::string>{"blisko", "spokoj", "-"})) << watch.err();
    ASSERT_EQ(replies.lightning_calls(), 3u);
    EXPECT_LT(replies.gap_s(0), 2.0);                    // 0.6 s after, not 3 s
    EXPECT_GT(replies.gap_s(0) + replies.gap_s(1), 2.5); // the next check at its time
}

// --checks: the watch ends by itself, status 0, after that many checks and no more.
TEST_F(ScriptedWatchTest, TheWatchEndsAfterItsChecks) {
    replies.play({0, 20, 0, 0, 0});
    ProgramRun program;
    program.data_dir = data.path;
    program.args = {"--watch", "--json", "--every", "0.002", "--checks", "3", "Kraków", "30"};
    const ProgramResult result = run_nimbrovator(program);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(lines_of(result.out).size(), 3u) << result.out;
    EXPECT_EQ(replies.lightning_calls(), 3u);
}

// Scripted storms watched to the end, each with the default --clear-after (30 min) and with 0:
// the events of the checks in order. An all-clear needs a check without strikes where it
// looks, and a nearest strike beyond the radius still tells how far the storm was.
TEST_F(ScriptedWatchTest, StormSequencesGiveTheirEventsWhateverTheAllClearWaits) {
    const struct {
        const char* name;
        std::vector<double> script; // km a check, the last one repeated
        int checks;
        std::vector<std::string> events;  // with the default
        std::vector<std::string> at_once; // with --clear-after 0
    } cases[] = {
        {"a storm coming 4 km a check, into the ring and gone",
         {28, 24, 20, 16, 12, 8, 8, 4, 0},
         10,
         {"burza", "blizej", "blizej", "blizej", "blizej", "blisko", "blizej"},
         {"burza", "blizej", "blizej", "blizej", "blizej", "blisko", "blizej", "spokoj"}},
        {"the nearest strike first beyond the radius, then at 20.2 km",
         {0, 40.5, 20.2, 20.2, 0},
         6,
         {"burza", "blizej"},
         {"burza", "blizej", "spokoj"}},
    };
    for (const auto& c : cases) {
        for (const bool at_once : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (at_once ? ", --clear-after 0" : ""));
            TempDir fresh; // no track nor cached reply of the run before
            ASSERT_TRUE(switch_weather_reports_off(fresh.path));
            replies.play(c.script);
            ProgramRun program;
            program.data_dir = fresh.path;
            program.args = {"--watch",     "--json",
                            "--every",     "0.002",
                            "--checks",    std::to_string(c.checks),
                            "--danger-km", "10",
                            "--cooldown",  "0"};
            if (at_once) {
                program.args.insert(program.args.end(), {"--clear-after", "0"});
            }
            program.args.insert(program.args.end(), {"Kraków", "30"});
            const ProgramResult result = run_nimbrovator(program);
            EXPECT_EQ(result.exit_code, 0) << result.err;
            std::vector<std::string> events;
            for (const std::string& line : lines_of(result.out)) {
                Json::Value document;
                ASSERT_TRUE(Json::Reader().parse(line, document)) << line;
                if (document["event"].isString()) {
                    events.push_back(document["event"].asString());
                }
            }
            EXPECT_EQ(events, at_once ? c.at_once : c.events) << result.out << result.err;
            EXPECT_EQ(replies.lightning_calls(), static_cast<std::size_t>(c.checks));
        }
    }
}

TEST_F(ScriptedWatchTest, WaybarGivesOneObjectACheckAsItHappens) {
    // A status bar shows standard error too: the alerts are in the objects only, unless asked.
    for (const bool alerts_to_stderr : {false, true}) {
        // calm, burza at 20 km, blisko at 8 km (inside the 10 km ring), then calm until the
        // all-clear.
        replies.play({0, 20, 8, 0});
        Watch watch;
        std::vector<std::string> args = {"--watch",       "--waybar", "--format",   "%n|%d|%e",
                                         "--every",       "0.002",    "--cooldown", "0",
                                         "--clear-after", "0.005"};
        if (alerts_to_stderr) {
            args.push_back("--alerts-to-stderr");
        }
        args.insert(args.end(), {"Kraków", "30"});
        watch.start(args, data.path);
        // Each object is on standard output as soon as its check is done, while the watch runs.
        ASSERT_TRUE(watch.wait_for([&] {
            return watch.out().find("\"alt\":\"spokoj\"") != std::string::npos;
        })) << watch.out()
            << watch.err();
        const std::size_t checks_seen = replies.lightning_calls();
        double seconds = 0;
        EXPECT_EQ(watch.stop(SIGTERM, seconds), 0);

        std::vector<std::string> seen;
        const std::vector<std::string> lines = lines_of(watch.out());
        for (const std::string& line : lines) {
            Json::Value object;
            ASSERT_TRUE(Json::Reader().parse(line, object)) << line;
            std::string classes;
            for (const Json::Value& name : object["class"]) {
                classes += name.asString() + " ";
            }
            seen.push_back(object["alt"].asString() + ": " + object["text"].asString() + " [" +
                           classes + std::to_string(object["percentage"].asInt()) + "]");
        }
        ASSERT_GE(seen.size(), 4u) << watch.out();
        EXPECT_LE(seen.size(), checks_seen);
        const std::vector<std::string> first = {
            "calm: 0|| [calm 0]",
            "burza: 5|20.0|burza [storm burza 33]",
            "blisko: 5|8.0|blisko [storm near blisko 73]",
            "calm: 0|| [calm 0]",
        };
        EXPECT_EQ(std::vector<std::string>(seen.begin(), seen.begin() + 4), first) << watch.out();
        EXPECT_EQ(std::count(seen.begin(), seen.end(), "spokoj: 0||spokoj [calm spokoj 0]"), 1)
            << watch.out();
        EXPECT_EQ(watch.err().find("*** BURZA:") != std::string::npos, alerts_to_stderr)
            << watch.err();
    }
}

// A status bar may show standard error in place of the answer (Polybar shows its first line): a
// watch in a bar's form says a failure in its answer alone; --alerts-to-stderr writes the alerts
// there, not the failures.
TEST_F(ScriptedWatchTest, BarFormsTellFailuresInTheirAnswersOnly) {
    const std::string failed = "Kraków błąd"; // the failed check's answer: `%t %x`
    for (const std::vector<std::string>& form : std::vector<std::vector<std::string>>{
             {"--waybar"}, {"--i3blocks"}, {}, {"--alerts-to-stderr"}}) {
        replies.play({-1, 8, 0});
        ProgramRun program;
        program.data_dir = data.path;
        program.args = {"--watch", "--every", "0.002", "--cooldown", "0", "--checks", "3"};
        program.args.insert(program.args.end(), form.begin(), form.end());
        program.args.insert(program.args.end(), {"--format", "%t %x", "Kraków", "30"});
        program.environment = {"LC_ALL=C.UTF-8"};
        const ProgramResult result = run_nimbrovator(program);
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_NE(result.out.find(failed), std::string::npos) << result.out;
        const bool alerts = !form.empty() && form[0] == "--alerts-to-stderr";
        EXPECT_EQ(result.err.find("*** ") != std::string::npos, alerts) << result.err;
        EXPECT_EQ(result.err.find("Sprawdzenie nieudane"), std::string::npos) << result.err;
        EXPECT_EQ(lines_of(result.err).size(), alerts ? 1u : 0u) << result.err;
    }
    // A place found at a later try: the failed try's answer says why.
    ProgramRun program;
    program.data_dir = data.path;
    program.args = {"--watch", "--every", "0.002", "--checks", "1", "--waybar", "Tarnów", "30"};
    const ProgramResult late = run_nimbrovator(program);
    EXPECT_EQ(late.exit_code, 0) << late.err;
    EXPECT_EQ(late.err, "");
    const std::vector<std::string> answers = lines_of(late.out);
    ASSERT_EQ(answers.size(), 2u) << late.out;
    EXPECT_NE(answers[0].find("\"alt\":\"error\""), std::string::npos) << answers[0];
    EXPECT_NE(answers[0].find("Nie udało się ustalić współrzędnych"), std::string::npos)
        << answers[0];
    EXPECT_NE(answers[1].find("\"alt\":\"calm\""), std::string::npos) << answers[1];
}

TEST_F(ScriptedWatchTest, AlertsAreColouredFromTerminfoOnlyWhenWanted) {
    const auto events_of = [&](const std::vector<std::string>& options,
                               const std::vector<std::string>& environment) {
        replies.play({20, 8}); // each watch plays the script from its start
        Watch watch;
        // A 5 km ring: the strike at 8 km is blizej, the closest alert but blisko.
        std::vector<std::string> args = {"--watch", "--every",     "0.002", "--cooldown",
                                         "0",       "--danger-km", "5"};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), {"Kraków", "30"});
        watch.start(args, data.path, environment);
        const bool both =
            watch.wait_for([&] { return watch.out().find("*** BLIŻEJ") != std::string::npos; });
        double seconds = 0;
        watch.stop(SIGTERM, seconds);
        std::string events;
        for (const std::string& line : lines_of(watch.out())) {
            if (line.find("***") != std::string::npos) {
                events += line.substr(9) + "\n"; // after the time
            }
        }
        return both ? events : "(no events) " + watch.out() + watch.err();
    };
    // The colours of the terminal as its terminfo entry has them.
    const auto capability = [](const std::string& arguments) {
        std::string output;
        FILE* pipe = popen(("tput -T xterm-256color " + arguments).c_str(), "r");
        if (pipe != nullptr) {
            for (int c; (c = std::fgetc(pipe)) != EOF;) {
                output += static_cast<char>(c);
            }
            pclose(pipe);
        }
        return output;
    };
    const std::string red = capability("setaf 1");
    const std::string plain = capability("sgr0");
    ASSERT_FALSE(red.empty() || plain.empty()) << "tput knows xterm-256color";

    const std::string coloured = events_of({"--color", "always"}, {"TERM=xterm-256color"});
    EXPECT_EQ(coloured.rfind(red + "*** BURZA:", 0), 0u) << coloured;
    EXPECT_NE(coloured.find(red + "*** BLIŻEJ: najbliższe 8.0 km"), std::string::npos)
        << "a strike within 10 km is red as well";
    EXPECT_NE(coloured.find("***" + plain + "\n"), std::string::npos) << coloured;
    // Standard output is a file here, as through a pipe: no colour unless asked for.
    for (const auto& [options, environment] :
         std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>>{
             {{}, {"TERM=xterm-256color"}},
             {{"--color", "auto"}, {"TERM=xterm-256color", "NO_COLOR=1"}},
             {{"--color", "never"}, {"TERM=xterm-256color"}},
             {{"--color", "always"}, {"TERM=dumb"}},
         }) {
        const std::string plain_events = events_of(options, environment);
        EXPECT_EQ(plain_events.rfind("*** BURZA:", 0), 0u) << plain_events;
        EXPECT_EQ(plain_events.find('\x1b'), std::string::npos) << plain_events;
    }
}

TEST_F(ScriptedWatchTest, FailedChecksBackOffAndTheReturnIsTold) {
    replies.play({0, 0, -1, -1, -1, 0});
    Watch watch;
    watch.start({"--watch", "--every", "0.01", "Kraków", "30"}, data.path);
    ASSERT_TRUE(watch.wait_for([&] { return replies.lightning_calls() >= 8; })) << watch.err();
    double seconds = 0;
    EXPECT_EQ(watch.stop(SIGTERM, seconds), 0);

    const std::string err = watch.err();
    const std::string failed =
        "Sprawdzenie nieudane: serwer " + test_storm_host() + " (wyładowania).";
    EXPECT_NE(err.find(failed + " Następne za 0.6 s."), std::string::npos) << err;
    EXPECT_NE(err.find(failed + " Następne za 1.2 s."), std::string::npos) << err;
    EXPECT_NE(err.find(failed + " Następne za 2.4 s."), std::string::npos) << err;
    EXPECT_EQ(lines_of(err).size(), 4u) << err;
    EXPECT_NE(lines_of(err).back().find("Serwery znów odpowiadają."), std::string::npos) << err;
    EXPECT_NE(watch.out().find("Kraków: brak danych o wyładowaniach | bez ostrzeżeń"),
              std::string::npos);
    // Checks 2, 3 and 4 failed: the waits after them double, up to four intervals (0.6 s);
    // the margins allow for checks slowed by a busy machine.
    EXPECT_LT(replies.gap_s(2), 0.9);
    EXPECT_GT(replies.gap_s(3), 0.9);
    EXPECT_GT(replies.gap_s(4), 1.8);
    EXPECT_LT(replies.gap_s(5), 1.8);
}

// SIGTERM, or SIGHUP from a closed terminal, while a check waits for a silent service: the
// watch ends at once and leaves nothing behind, no process and no reply-cache claim. The
// command has only standard input, output and error of the watch's descriptors.
TEST_F(ScriptedWatchTest, EndingSignalsMidRequestLeaveNothingRunningNorClaimed) {
    for (const int signal_number : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal_number);
        replies.play({7, -2}); // a burza starts the command, then the service falls silent
        Watch watch;
        const std::string descriptors = watch.dir.path + "/descriptors";
        // Checks 2.4 s apart keep replies for a second: the silent request is claimed.
        watch.start({"--watch", "--every", "0.04", "--exec",
                     "ls /proc/$$/fd >" + descriptors + "; sleep 30", "--danger-km", "1", "Kraków"},
                    data.path);
        ASSERT_TRUE(watch.wait_for([&] { return replies.lightning_calls() >= 2; })) << watch.err();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const std::vector<pid_t> children = descendants(watch.pid);
        EXPECT_GE(children.size(), 2u); // the check, and the command
        double seconds = 0;
        EXPECT_EQ(watch.stop(signal_number, seconds), 0) << watch.err();
        EXPECT_LT(seconds, 1.0);
        // A process killed a moment ago may not have been scheduled to die yet.
        for (pid_t child : children) {
            EXPECT_TRUE(watch.wait_for([&] { return !process_running(child); }, 2))
                << read_file("/proc/" + std::to_string(child) + "/stat");
        }
        EXPECT_NE(watch.out().find("*** BURZA:"), std::string::npos);
        // The shell's own (at 10 and up, where it keeps standard output while redirecting)
        // aside, the command has standard input, output and error only.
        const std::vector<std::string> open_fds = lines_of(read_file(descriptors));
        EXPECT_GE(open_fds.size(), 3u);
        for (const std::string& fd : open_fds) {
            EXPECT_TRUE(std::atoi(fd.c_str()) <= 2 || std::atoi(fd.c_str()) >= 10) << fd;
        }
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((data.path + "/zagrozenia_pogodowe.db").c_str(), &db), SQLITE_OK);
        sqlite3_stmt* query = nullptr;
        sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM REPLY_CACHE WHERE CLAIMED_UNTIL IS NOT NULL",
                           -1, &query, nullptr);
        ASSERT_EQ(sqlite3_step(query), SQLITE_ROW);
        EXPECT_EQ(sqlite3_column_int(query, 0), 0) << "the check's claim was released";
        sqlite3_finalize(query);
        sqlite3_close(db);
    }
}

// The weather service failing: the lightning checks keep their interval, only the weather
// backs off, and the host named is the one in force.
TEST_F(ScriptedWatchTest, WeatherFailuresNeverDelayTheLightning) {
    ProgramRun settings;
    settings.data_dir = data.path;
    settings.args = {"-s"};
    settings.input = "t\nn\n";
    ASSERT_EQ(run_nimbrovator(settings).exit_code, 0);
    Watch watch;
    watch.start({"--watch", "--every", "0.01", "Kraków", "30"}, data.path,
                {"NIMBROVATOR_WEATHER_HOST=127.0.0.1:1"});
    const std::string failed =
        "Sprawdzenie nieudane: serwer 127.0.0.1:1 (pogoda). Następne za 0.6 s";
    // Until the weather has backed off as far as it goes.
    ASSERT_TRUE(watch.wait_for([&] {
        return watch.err().find(failed + ", pogoda za 2.4 s.") != std::string::npos;
    })) << watch.err();
    double seconds = 0;
    EXPECT_EQ(watch.stop(SIGTERM, seconds), 0);

    const std::string err = watch.err();
    EXPECT_NE(err.find(failed + ", pogoda za 0.6 s. Nie udało się połączyć z serwerem 127.0.0.1:1: "
                                "połączenie odrzucone."),
              std::string::npos)
        << err;
    EXPECT_NE(err.find(failed + ", pogoda za 1.2 s."), std::string::npos) << err;
    EXPECT_EQ(err.find("Następne za 1.2 s"), std::string::npos) << err;
    EXPECT_EQ(err.find("Następne za 2.4 s"), std::string::npos) << err;
    EXPECT_EQ(err.find(test_weather_host()), std::string::npos) << err;
}

// A weather service that answers nothing: each lightning line comes when the lightning answer
// is in, the checks keep their interval, and the weather is asked again only after its back-off
// from the end of the request that hung.
TEST_F(ScriptedWatchTest, AHangingWeatherServiceNeverDelaysTheLightning) {
    fake_weather_service_handle weather = start_fake_weather_service(weather_port);
    ASSERT_TRUE(weather) << "port " << weather_port << " is busy";
    fake_reply silent;
    silent.silent = true;
    set_fake_reply(*weather, current_weather_endpoint, silent);
    ProgramRun settings;
    settings.data_dir = data.path;
    settings.args = {"-s"};
    settings.input = "t\nn\n"; // the current weather on, the forecast off
    ASSERT_EQ(run_nimbrovator(settings).exit_code, 0);
    Watch watch;
    watch.start({"--watch", "--timeout", "2", "--every", "0.01", "Kraków"}, data.path);
    const auto started = steady::now();
    ASSERT_TRUE(watch.wait_for([&] { return replies.lightning_calls() >= 9; }, 20)) << watch.err();
    const double seconds_taken = std::chrono::duration<double>(steady::now() - started).count();
    double seconds = 0;
    EXPECT_EQ(watch.stop(SIGTERM, seconds), 0);
    EXPECT_LT(seconds, 1.0) << "the hanging weather request ends with the watch";

    // Nine checks 0.6 s apart take about 5 s; waiting for the weather would take 2 s a check.
    EXPECT_LT(seconds_taken, 9.0) << watch.err();
    for (std::size_t i = 0; i + 1 < replies.lightning_calls(); ++i) {
        EXPECT_LT(replies.gap_s(i), 1.5) << "check " << i;
    }
    // Asked at the start, then 0.6 s after that request's end (2 s), then 1.2 s after the next's.
    EXPECT_LE(endpoint_hits(*weather, current_weather_endpoint), 3);
    const std::string err = watch.err();
    const std::string failed = "Sprawdzenie nieudane: serwer " + test_weather_host() +
                               " (pogoda). Następne za 0.6 s, pogoda za ";
    EXPECT_NE(err.find(failed + "0.6 s. Nie udało się połączyć z serwerem " + test_weather_host() +
                       ": przekroczony czas oczekiwania."),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find("Następne za 1.2 s"), std::string::npos) << err;
    EXPECT_GE(lines_of(watch.out()).size() + 1, replies.lightning_calls()) << watch.out();
}

// The weather service stops answering mid-watch: the check that tells of it, and every one
// after, leave the temperature it gave before out rather than show it as current.
TEST_F(ScriptedWatchTest, AWeatherServiceGoneLeavesNoOldTemperatureShownAsCurrent) {
    fake_weather_service_handle weather = start_fake_weather_service(weather_port);
    ASSERT_TRUE(weather) << "port " << weather_port << " is busy";
    fake_reply current;
    current.body = json_text(full_current_weather());
    set_fake_reply(*weather, current_weather_endpoint, current);
    ProgramRun settings;
    settings.data_dir = data.path;
    settings.args = {"-s"};
    settings.input = "t\nn\n"; // the current weather on, the forecast off
    ASSERT_EQ(run_nimbrovator(settings).exit_code, 0);
    Watch watch;
    // Standard error in the file of standard output: each check's line, then what it tells.
    watch.start({"--watch", "--every", "0.01", "Kraków"}, data.path, {}, true);
    ASSERT_TRUE(watch.wait_for([&] { return watch.out().find("18.3°C") != std::string::npos; }))
        << watch.out();
    weather.reset(); // connections refused from now on
    const auto told = [&] { return watch.out().find("(pogoda)"); };
    ASSERT_TRUE(watch.wait_for([&] { return told() != std::string::npos; })) << watch.out();
    const std::size_t from = told();
    ASSERT_TRUE(watch.wait_for([&] { return lines_of(watch.out().substr(from)).size() >= 4; }))
        << watch.out();
    EXPECT_EQ(watch.stop(SIGTERM), 0);
    const std::string out = watch.out();
    const std::string told_with = out.substr(out.rfind('\n', out.rfind('\n', from) - 1) + 1);
    EXPECT_EQ(told_with.find("18.3°C"), std::string::npos) << out;
}

// Each check has a deadline of its own: a storm service trickling its lightning replies a byte
// at a time (a minute and more a reply) fails each check at its deadline, and the next follows.
TEST_F(ScriptedWatchTest, EachCheckEndsAtItsOwnDeadline) {
    set_fake_storm_handler(*storm, [this](const fake_storm_request& request) {
        fake_storm_reply reply = replies.answer(request);
        if (soap_operation(request) == "szukaj_burzy") {
            reply.trickle_interval_ms = 200;
        }
        return reply;
    });
    Watch watch;
    watch.start({"--watch", "--timeout", "1", "--every", "0.01", "Kraków"}, data.path);
    const auto failed_checks = [&] {
        const std::string err = watch.err();
        int count = 0;
        for (std::size_t at = err.find("Sprawdzenie nieudane"); at != std::string::npos;
             at = err.find("Sprawdzenie nieudane", at + 1)) {
            ++count;
        }
        return count;
    };
    // Unbounded, the first check alone would take half a minute.
    EXPECT_TRUE(watch.wait_for([&] { return failed_checks() >= 2; }, 15)) << watch.err();
    double seconds = 0;
    EXPECT_EQ(watch.stop(SIGTERM, seconds), 0);
    // No check had the lightning answer. A check whose warnings came back before the deadline
    // still shows its line, without the lightning.
    for (const std::string& line : lines_of(watch.out())) {
        EXPECT_NE(line.find("brak danych o wyładowaniach"), std::string::npos) << watch.out();
    }
}

// A storm service that takes the request and never answers: each check still gives its
// document, with the failed parts and their cause, and the cause is told.
TEST_F(ScriptedWatchTest, AHungStormServiceGivesEachCheckItsDocumentAndCause) {
    set_fake_storm_handler(*storm, [this](const fake_storm_request& request) {
        fake_storm_reply reply = replies.answer(request);
        if (soap_operation(request) != "miejscowosc") {
            reply.delay_ms = 60000;
        }
        return reply;
    });
    Watch watch;
    watch.start({"--watch", "--json", "--timeout", "1", "--every", "0.01", "Kraków"}, data.path);
    EXPECT_TRUE(watch.wait_for([&] { return lines_of(watch.out()).size() >= 2; }, 20))
        << watch.err();
    double seconds = 0;
    EXPECT_EQ(watch.stop(SIGTERM, seconds), 0);
    EXPECT_EQ(report_schema_violations(watch.out()), "");
    for (const std::string& line : lines_of(watch.out())) {
        Json::Value document;
        ASSERT_TRUE(Json::Reader().parse(line, document)) << line;
        EXPECT_TRUE(document["lightning"].isNull()) << line;
        std::string sources;
        for (const Json::Value& error : document["errors"]) {
            sources += error["source"].asString() + " ";
            EXPECT_NE(error["message"].asString().find("przekroczony czas oczekiwania"),
                      std::string::npos)
                << line;
        }
        EXPECT_EQ(sources, "warnings lightning ") << line;
    }
    // Each failed check names its cause: the service's time-out, or on a loaded machine the
    // worker's, when even setting up the request took longer than the check may.
    std::size_t told = 0;
    for (const std::string& line : lines_of(watch.err())) {
        if (line.find("Sprawdzenie nieudane: serwer " + test_storm_host() +
                      " (ostrzeżenia, wyładowania).") != std::string::npos) {
            ++told;
            EXPECT_NE(line.find(": przekroczony czas oczekiwania."), std::string::npos) << line;
        }
    }
    EXPECT_GE(told, 1u) << watch.err();
}

// A worker stopped (SIGSTOP) mid-watch: the check it holds fails at the check's deadline with
// its document and cause, the worker is ended and replaced, and the checks go on. With the
// workers stopped, SIGTERM still ends the watch at once.
TEST_F(ScriptedWatchTest, AStoppedWorkerIsEndedAtItsDeadlineAndTheChecksGoOn) {
    replies.play({0});
    Watch watch;
    watch.start({"--watch", "--json", "--timeout", "1", "--every", "0.01", "Kraków"}, data.path);
    const auto documents = [&] { return lines_of(watch.out()).size(); };
    ASSERT_TRUE(watch.wait_for([&] { return documents() >= 2; }, 20)) << watch.err();
    const std::vector<pid_t> stopped = descendants(watch.pid);
    ASSERT_FALSE(stopped.empty());
    for (const pid_t worker : stopped) {
        kill(worker, SIGSTOP);
    }
    const std::size_t before = documents();
    EXPECT_TRUE(watch.wait_for([&] { return documents() >= before + 3; }, 30)) << watch.err();
    std::vector<std::string> shown;
    for (const std::string& line : lines_of(watch.out())) {
        Json::Value document;
        ASSERT_TRUE(Json::Reader().parse(line, document)) << line;
        shown.push_back(document["lightning"].isNull() ? document["errors"][1]["message"].asString()
                                                       : "ok");
    }
    const std::string overdue =
        "Proces sprawdzenia nie odpowiedział: przekroczony czas oczekiwania.";
    EXPECT_NE(std::find(shown.begin() + 1, shown.end(), overdue), shown.end()) << watch.out();
    EXPECT_EQ(shown.back(), "ok") << watch.out();
    for (const pid_t worker : stopped) {
        EXPECT_TRUE(watch.wait_for([&] { return !process_running(worker); }, 2)) << worker;
    }
    for (const pid_t worker : descendants(watch.pid)) {
        kill(worker, SIGSTOP);
    }
    double seconds = 0;
    EXPECT_EQ(watch.stop(SIGTERM, seconds, std::chrono::seconds(3)), 0) << watch.err();
}

TEST_F(ScriptedWatchTest, AShortIntervalAgainstARemoteServiceIsToldOnce) {
    Watch watch;
    watch.start({"--watch", "--every", "0.01", "Kraków"}, data.path,
                {"NIMBROVATOR_STORM_HOST=192.0.2.1:1"});
    const std::string told = "Serwer 192.0.2.1:1 nie jest na tym komputerze";
    EXPECT_TRUE(watch.wait_for([&] { return watch.err().find(told) != std::string::npos; }, 10))
        << watch.err();
    double seconds = 0;
    EXPECT_EQ(watch.stop(SIGTERM, seconds), 0);
    const std::string err = watch.err();
    EXPECT_EQ(err.find(told, err.find(told) + 1), std::string::npos) << err;
}

// One watch over the places of the configuration file: each place its checks and documents;
// a place whose town is unknown is told and left out, and with none left the watch ends 1.
TEST_F(ScriptedWatchTest, SeveralPlacesEachGetTheirChecksAndAnUnknownOneIsLeftOut) {
    // Dom, Działka (a strike inside its ring), Dom, Działka: the checks take turns.
    replies.play({0, 8, 0, 0});
    TempDir home;
    mkdir((home.path + "/.config").c_str(), 0700);
    mkdir((home.path + "/.config/nimbrovator").c_str(), 0700);
    const std::string config = home.path + "/.config/nimbrovator/config";
    const auto run = [&](const std::string& places, const std::string& form) {
        write_file(config, places);
        ProgramRun program;
        program.data_dir = data.path;
        program.home = home.path;
        program.args = {"--watch", form, "--every", "0.002", "--checks", "2", "--all-places"};
        return run_nimbrovator(program);
    };
    const std::string three = "[place Dom]\nnear = 50.06,19.94\n[place Działka]\n"
                              "town = Kraków\nradius = 30\n[place Nigdzie]\n"
                              "town = Nibylandia\n";
    const ProgramResult result = run(three, "--json");
    EXPECT_EQ(result.exit_code, 0) << result.err;
    std::map<std::string, int> documents;
    for (const std::string& line : lines_of(result.out)) {
        Json::Value document;
        ASSERT_TRUE(Json::Reader().parse(line, document)) << line;
        // Safe again 30 minutes after the strike inside the ring: the time, after it as well.
        ++documents[document["place"].asString() + " " + document["town"]["name"].asString() + " " +
                    std::to_string(document["radius_km"].asInt()) +
                    (document["safe_at"].isString() ? " safe_at" : "")];
    }
    const std::map<std::string, int> expected = {{"Dom Dom 25", 2},
                                                 {"Działka Kraków 30 safe_at", 2}};
    EXPECT_EQ(documents, expected) << result.out;
    EXPECT_EQ(replies.lightning_calls(), 4u);
    EXPECT_NE(result.err.find("Nigdzie: Na serwerze"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find(" Działka: *** BLISKO"), std::string::npos) << result.err;

    // In the lines each place goes by its name alone, never by its town's after it.
    replies.play({0, 8, 0, 0});
    const ProgramResult lines = run(three, "--line");
    EXPECT_NE(lines.out.find(" Działka: "), std::string::npos) << lines.out;
    EXPECT_EQ(lines.out.find("Kraków:"), std::string::npos) << lines.out;

    const ProgramResult none = run("[place Nigdzie]\ntown = Nibylandia\n[place Tu]\n"
                                   "town = Nibylandia\n",
                                   "--json");
    EXPECT_EQ(none.exit_code, 4) << none.err;
    EXPECT_EQ(none.out, "");
}

TEST_F(ScriptedWatchTest, UnknownTownAndBadOptions) {
    const auto run = [&](std::vector<std::string> args) {
        ProgramRun program;
        program.data_dir = data.path;
        program.args = std::move(args);
        program.environment = {"LC_ALL=C.UTF-8"};
        return run_nimbrovator(program);
    };
    // An unknown town, or a place the file does not name, is named; the status is the one that
    // the service units do not restart.
    TempDir config;
    mkdir((config.path + "/nimbrovator").c_str(), 0700);
    write_file(config.path + "/nimbrovator/config",
               "[place Dom]\nnear = 50.06,19.94\n[place Działka]\ntown = Kraków\n");
    const struct {
        std::vector<std::string> args;
        std::string told;
    } unknown_cases[] = {
        {{"--watch", "Nibylandia"}, "brak danych o miejscowości „Nibylandia”.\n"},
        {{"--watch", "--place", "dom"},
         "nimbrovator: plik konfiguracji nie określa miejsca „dom” (czy chodziło o „Dom”?); "
         "określa: Dom, Działka.\n"},
        {{"--line", "--place", "Ogród"},
         "nimbrovator: plik konfiguracji nie określa miejsca „Ogród”; określa: Dom, Działka.\n"},
    };
    for (const auto& c : unknown_cases) {
        ProgramRun program;
        program.data_dir = data.path;
        program.args = c.args;
        program.environment = {"LC_ALL=C.UTF-8", "XDG_CONFIG_HOME=" + config.path};
        const ProgramResult unknown = run_nimbrovator(program);
        EXPECT_EQ(unknown.exit_code, 4) << c.args.back();
        EXPECT_NE(unknown.err.find(c.told), std::string::npos) << unknown.err;
        EXPECT_EQ(unknown.out, "");
    }
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--watch", "--every", "0", "Kraków"},
                                               {"--watch", "--every", "pięć", "Kraków"},
                                               {"--every", "1", "Kraków"},
                                               {"--json", "--exec", "true", "Kraków"},
                                               {"--watch"}}) {
        const ProgramResult result = run(args);
        EXPECT_EQ(result.exit_code, 2) << args[1];
        EXPECT_NE(result.err.find("Spróbuj: nimbrovator --help-all"), std::string::npos) << args[1];
    }
}

// Several places in one service are several watches on one database: two of the same town and
// one of a point, for an hour of the simulator's storm (ten simulated minutes a check).
TEST_F(WatchRunTest, WatchesSharingTheDatabaseLoseNoRowsAndAskOnlyWhatTheCacheLacks) {
    sim_options options = simulator_options("approach", 400);
    options.log_file = data.path + "/sim.log";
    std::string error;
    const simulator_handle sim = start_simulator(options, error);
    ASSERT_TRUE(sim) << error;
    // A check every 4.08 s: the reply cache answers for 2 s.
    const std::vector<std::string> every = {"--watch", "--json", "--every", "0.068"};
    const std::vector<std::vector<std::string>> places = {
        {"Kraków", "30"}, {"Kraków", "30"}, {"--near", "54.35,18.65", "--name", "Brzeg", "30"}};
    Watch watches[3];
    for (int i = 0; i < 3; ++i) {
        std::vector<std::string> args = every;
        args.insert(args.end(), places[i].begin(), places[i].end());
        watches[i].start(args, data.path);
    }
    const auto documents = [](const Watch& watch) { return lines_of(watch.out()).size(); };
    for (Watch& watch : watches) {
        ASSERT_TRUE(watch.wait_for([&] { return documents(watch) >= 7; }, 90)) << watch.err();
    }
    for (Watch& watch : watches) {
        double seconds = 0;
        EXPECT_EQ(watch.stop(SIGTERM, seconds), 0);
    }

    // Every check had every answer, and the storm reached both watches of Kraków.
    std::size_t krakow_checks = 0;
    for (int i = 0; i < 3; ++i) {
        const std::string out = watches[i].out();
        EXPECT_EQ(report_schema_violations(out), "") << i;
        bool burza = false;
        for (const std::string& line : lines_of(out)) {
            Json::Value document;
            ASSERT_TRUE(Json::Reader().parse(line, document)) << line;
            EXPECT_EQ(document["errors"].size(), 0u) << line;
            EXPECT_TRUE(document["lightning"].isObject()) << line;
            EXPECT_EQ(document["town"]["name"], i < 2 ? "Kraków" : "Brzeg") << line;
            burza = burza || document["event"] == "burza";
        }
        EXPECT_EQ(burza, i < 2) << out;
        krakow_checks += i < 2 ? lines_of(out).size() : 0;
    }

    // One request per second at most for any request: the other watch took the reply from the
    // cache, or waited while the first one asked. The point's weather is asked by coordinates.
    std::map<std::string, int> asked;
    int krakow_lightning = 0;
    int point_weather = 0;
    for (const std::string& line : lines_of(read_file(options.log_file))) {
        const std::string request = line.substr(0, line.find(" -> "));
        if (request.find("miejscowosc") != std::string::npos) {
            continue;
        }
        EXPECT_EQ(++asked[request], 1) << request;
        krakow_lightning += request.find("szukaj_burzy 50.0") != std::string::npos ? 1 : 0;
        point_weather += request.find("weather 54.35,18.65") != std::string::npos ? 1 : 0;
    }
    EXPECT_GE(krakow_lightning, 7);
    EXPECT_LE(static_cast<std::size_t>(krakow_lightning), krakow_checks);
    EXPECT_GE(point_weather, 7);

    // The town was looked up by one watch or both, and kept once.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((data.path + "/zagrozenia_pogodowe.db").c_str(), &db), SQLITE_OK);
    sqlite3_stmt* query = nullptr;
    sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM CITIES WHERE CITY = 'Kraków';", -1, &query,
                       nullptr);
    ASSERT_EQ(sqlite3_step(query), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(query, 0), 1);
    sqlite3_finalize(query);
    sqlite3_close(db);
}

} // namespace

// Whole watches of the simulator's scripted storms with the approach estimate: one JSON document
// per check, each paired with the minute of the storm its lightning answer is for (from the
// simulator's log). The watch's track clock runs at the simulator's rate.
class StormEstimateTest : public WatchRunTest {
  protected:
    static constexpr int minute_ms = 100; // a check every 5 simulated minutes: 0.5 s
    std::vector<Json::Value> documents;
    std::vector<double> minutes;
    std::string output;
    std::vector<std::string> form = {"--json"}; // one JSON object a check on standard output

    void watch_storm(const std::string& storm, const std::string& radius, double until_minute,
                     const std::vector<std::string>& more_options = {}) {
        TempDir logs;
        sim_options options = simulator_options(storm, minute_ms);
        options.log_file = logs.path + "/sim.log";
        std::string error;
        const simulator_handle sim = start_simulator(options, error);
        ASSERT_TRUE(sim) << error;
        // On the watch's clock, which runs at the simulator's rate.
        std::vector<std::string> args = {"--watch", "--every",    "5", "--clear-after",
                                         "30",      "--cooldown", "18"};
        args.insert(args.end(), form.begin(), form.end());
        args.insert(args.end(), more_options.begin(), more_options.end());
        args.insert(args.end(), {"Kraków", radius});
        Watch watch;
        watch.start(args, data.path,
                    {"NIMBROVATOR_CLOCK_RATE=" + std::to_string(60000 / minute_ms)});
        const auto started = steady::now();
        const bool ended = watch.wait_for(
            [&] {
                return std::chrono::duration<double, std::milli>(steady::now() - started).count() >
                       until_minute * minute_ms;
            },
            30);
        double seconds = 0;
        EXPECT_TRUE(ended);
        EXPECT_EQ(watch.stop(SIGTERM, seconds), 0);
        output = watch.out() + watch.err();
        for (const std::string& line : lines_of(watch.out())) {
            Json::Value document;
            std::istringstream in(line);
            ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &document, nullptr))
                << line;
            documents.push_back(document);
        }
        for (const std::string& line : lines_of(read_file(options.log_file))) {
            const std::size_t at = line.find(" storm szukaj_burzy ");
            if (at != std::string::npos && line.find(" @") != std::string::npos) {
                minutes.push_back(std::atof(line.c_str() + line.rfind(" @") + 2));
            }
        }
        ASSERT_GE(minutes.size(), documents.size()) << read_file(options.log_file);
        ASSERT_GT(documents.size(), 10u) << output;
    }

    std::vector<std::string> events() const {
        std::vector<std::string> names;
        for (const Json::Value& document : documents) {
            if (document["event"].isString()) {
                names.push_back(document["event"].asString());
            }
        }
        return names;
    }
};

TEST_F(StormEstimateTest, ApproachSpeedAndArrivalFollowTheStormAndBliskoComes) {
    watch_storm("approach", "50", 90);
    const storm_scenario truth_of{"approach", 50.0614, 19.9366};
    int compared = 0;
    for (std::size_t i = 0; i < documents.size(); ++i) {
        const Json::Value& approach = documents[i]["approach"];
        const std::optional<scenario_motion> truth = scenario_truth(truth_of, minutes[i], 10);
        if (!approach.isObject() || approach["points"].asInt() < 4 || !truth ||
            !truth->minutes_to_ring || *truth->minutes_to_ring < 10) {
            continue;
        }
        // Within two checks of the ring the scatter of the nearest strike outweighs the time left.
        ++compared;
        std::printf("minute %.1f: %.1f km/h (true %.1f), in the ring in %.1f min (true %.1f)\n",
                    minutes[i], approach["radial_kmh"].asDouble(), truth->radial_kmh,
                    approach["eta_min"].asDouble(), *truth->minutes_to_ring);
        EXPECT_NEAR(approach["radial_kmh"].asDouble(), truth->radial_kmh, 0.25 * truth->radial_kmh)
            << documents[i];
        ASSERT_TRUE(approach["eta_min"].isNumeric()) << documents[i];
        EXPECT_NEAR(approach["eta_min"].asDouble(), *truth->minutes_to_ring,
                    0.25 * *truth->minutes_to_ring)
            << documents[i] << " at minute " << minutes[i];
    }
    EXPECT_GE(compared, 1) << output;
    const std::vector<std::string> names = events();
    EXPECT_EQ(std::count(names.begin(), names.end(), "blisko"), 1) << output;
}

TEST_F(StormEstimateTest, PassingStormRaisesNoBliskoAndApproachingOnlyNoBlizej) {
    watch_storm("pass", "30", 125, {"--approaching-only"});
    const std::vector<std::string> names = events();
    EXPECT_EQ(std::count(names.begin(), names.end(), "blisko"), 0) << output;
    EXPECT_EQ(std::count(names.begin(), names.end(), "blizej"), 0) << output;
    int estimates = 0;
    for (const Json::Value& document : documents) {
        estimates += document["approach"].isObject();
        EXPECT_FALSE(document["approach"]["eta_min"].isNumeric()) << document;
    }
    EXPECT_GE(estimates, 3) << output;
}

TEST_F(StormEstimateTest, TwoCellsGiveNoEstimateWhileTheNearestStrikeJumps) {
    watch_storm("cells", "30", 100);
    int jumps = 0;
    std::optional<double> last;
    for (const Json::Value& document : documents) {
        const std::optional<double> bearing =
            compass_bearing(document["lightning"]["direction"].asString());
        if (last && bearing && std::fabs(std::remainder(*bearing - *last, 360)) > 45) {
            ++jumps;
            EXPECT_TRUE(document["approach"].isNull()) << document;
        }
        last = bearing;
    }
    EXPECT_GE(jumps, 2) << output;
}

namespace {

// The words of a line, empty ones included.
std::vector<std::string> words_of(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string word; std::getline(in, word, ';');) {
        words.push_back(word);
    }
    if (!line.empty() && line.back() == ';') {
        words.emplace_back();
    }
    return words;
}

// The estimate's part of a text: the tooltip's line "Burza <text>." or an event line's
// "...; <text> ***"; empty without one.
std::string approach_part(const std::string& text, bool tooltip) {
    for (const char* start : {"zbliża się ", "oddala się ", "stoi w miejscu", "minie w "}) {
        const std::string marker = (tooltip ? "\nBurza " : "; ") + std::string(start);
        const std::size_t at = text.find(marker);
        if (at != std::string::npos) {
            const std::size_t from = at + marker.size() - std::strlen(start);
            const std::size_t end = text.find(tooltip ? ".\n" : " ***", from);
            return text.substr(from, end == std::string::npos ? end : end - from);
        }
    }
    return "";
}

} // namespace

TEST_F(StormEstimateTest, TemplateAndWaybarCarryTheEstimateTheAlertsUse) {
    form = {"--waybar", "--format", "%n;%s;%E", "--alerts-to-stderr"};
    watch_storm("approach", "50", 150);
    int arrivals = 0;
    std::vector<std::string> tooltip_parts; // of the checks that raised an event
    for (const Json::Value& object : documents) {
        const std::vector<std::string> words = words_of(object["text"].asString());
        ASSERT_EQ(words.size(), 3u) << object;
        const std::string& speed = words[1];
        const std::string& arrival = words[2];
        const std::string tooltip = object["tooltip"].asString();
        const std::string part = approach_part(tooltip, true);
        // The template and the tooltip show one estimate.
        EXPECT_EQ(speed.empty(), part.empty()) << object;
        // Inside the ring %E is 0 whichever way the storm moves; coming, it is the estimate's.
        if (!arrival.empty() && part.find("zbliża się") != std::string::npos) {
            ++arrivals;
            EXPECT_GE(std::stoi(arrival), 0) << object;
            EXPECT_GT(std::stoi(speed), 0) << object;
            EXPECT_NE(part.find(std::stoi(arrival) == 0 ? std::string("w strefie 10 km")
                                                        : "za ~" + arrival + " min"),
                      std::string::npos)
                << object;
        }
        if (!part.empty() && std::stoi(speed) >= 3) {
            EXPECT_NE(part.find(" " + std::to_string(std::abs(std::stoi(speed))) + " km/h"),
                      std::string::npos)
                << object;
        }
        const std::string alt = object["alt"].asString();
        if (alt != "storm" && alt != "calm" && alt != "error" && alt != "spokoj") {
            tooltip_parts.push_back(part);
        }
    }
    EXPECT_GE(arrivals, 2) << output;
    // The alerts (standard error when asked for, in order) tell the same estimate as the lines of
    // their checks.
    std::vector<std::string> event_parts;
    for (const std::string& line : lines_of(output)) {
        const std::size_t size = line.size();
        if (line.find(" *** ") != std::string::npos && size > 4 &&
            line.compare(size - 4, 4, " ***") == 0 && line.find("SPOKÓJ") == std::string::npos) {
            event_parts.push_back(approach_part(line, false));
        }
    }
    EXPECT_EQ(event_parts, tooltip_parts) << output;
    EXPECT_NE(std::find_if(event_parts.begin(), event_parts.end(),
                           [](const std::string& part) { return !part.empty(); }),
              event_parts.end())
        << output;
    // Every time told is on the watch's clock: after the last strike inside the ring the wait
    // for the all-clear counts down from 30 minutes, 5 a check; the all-clear then says 30
    // minutes, and its time is more than an hour of that clock after the first alert's.
    std::vector<int> safe_in;
    for (const Json::Value& object : documents) {
        const std::string tooltip = object["tooltip"].asString();
        const std::size_t at = tooltip.find("Bezpiecznie za ~");
        if (at != std::string::npos) {
            safe_in.push_back(std::atoi(tooltip.c_str() + at + 16));
        }
    }
    ASSERT_GE(safe_in.size(), 6u) << output;
    const auto last_full = std::find(safe_in.rbegin(), safe_in.rend(), 30);
    ASSERT_NE(last_full, safe_in.rend()) << output;
    for (auto at = last_full.base() - 1; at + 1 != safe_in.end(); ++at) {
        // A check that ran a little late or early may round its minutes up by one.
        EXPECT_GE(*at - *(at + 1), 4) << output;
        EXPECT_LE(*at - *(at + 1), 6) << output;
    }
    EXPECT_LE(safe_in.back(), 6) << output;
    std::vector<long> alert_times; // seconds of the day on the watch's clock
    std::string all_clear;
    for (const std::string& line : lines_of(output)) {
        if (line.find(" *** ") == 8) {
            alert_times.push_back(std::stol(line.substr(0, 2)) * 3600 +
                                  std::stol(line.substr(3, 2)) * 60 + std::stol(line.substr(6, 2)));
            all_clear = line.find("SPOKÓJ") != std::string::npos ? line : all_clear;
        }
    }
    ASSERT_GE(alert_times.size(), 2u) << output;
    EXPECT_NE(all_clear.find("SPOKÓJ: od 30 min brak wyładowań"), std::string::npos) << output;
    EXPECT_GE((alert_times.back() - alert_times.front() + 86400) % 86400, 60 * 60) << output;
}
