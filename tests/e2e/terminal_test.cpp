// Whole runs as a person makes them: the installed program in a terminal (tmux), typing at
// its prompts, against the local simulator of both services.
#include "support/run_program.h"
#include "support/schema_check.h"
#include "support/service_ports.h"
#include "support/spawn.h"
#include "support/temp_dir.h"

#include "nimbrovator_config.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace {

const int storm_port = test_storm_port();
const int weather_port = test_weather_port();
const bool configured_for_tests = storm_port > 0 && weather_port > 0 &&
                                  std::string(NIMBROVATOR_STORM_CA_FILE) == TEST_PKI_DIR "/ca.pem";

// This process's services, as NAME=VALUE words for env(1).
std::string service_environment() {
    std::string words;
    for (const std::string& entry : test_service_environment()) {
        words += (words.empty() ? "" : " ") + entry;
    }
    return words;
}

std::string shell_output(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return output;
    }
    std::array<char, 4096> buffer;
    for (std::size_t n; (n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) {
        output.append(buffer.data(), n);
    }
    pclose(pipe);
    return output;
}

std::string quoted(const std::string& text) {
    std::string result = "'";
    for (char c : text) {
        result += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return result + "'";
}

// The simulator as a child process on this test process's service ports.
struct Simulator {
    pid_t pid = -1;
    TempDir dir;

    // `extra`: further options of the simulator (a scripted storm).
    bool start(std::vector<std::string> extra = {}) {
        const std::string ready_file = dir.path + "/out";
        std::vector<std::string> args = {SIMULATOR_BINARY,
                                         "--storm-port",
                                         std::to_string(storm_port),
                                         "--weather-port",
                                         std::to_string(weather_port),
                                         "--cert",
                                         TEST_PKI_DIR "/server.pem",
                                         "--cert-key",
                                         TEST_PKI_DIR "/server.key",
                                         "--log",
                                         dir.path + "/requests.log"};
        args.insert(args.end(), extra.begin(), extra.end());
        ChildLaunch launch;
        launch.argv = args;
        launch.out = open_for_child(ready_file);
        pid = spawn_program(launch);
        if (launch.out >= 0) {
            close(launch.out);
        }
        for (int i = 0; i < 100; ++i) {
            if (read_file(ready_file).find("nimbrovator-sim: storm") != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }
    std::string log() const { return read_file(dir.path + "/requests.log"); }
    ~Simulator() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

// A terminal of 200 x 60 characters, on a tmux server of its own. Every run gets a new server:
// one whose last session has just ended may still be going away.
struct Terminal {
    mutable int runs = 0;
    mutable std::string socket;

    std::string tmux(const std::string& arguments) const {
        return shell_output("tmux -L " + socket + " " + arguments + " 2>&1");
    }
    void start(const std::string& command) const {
        if (!socket.empty()) {
            tmux("kill-server");
        }
        socket = "nimbrovator-e2e-" + std::to_string(getpid()) + "-" + std::to_string(++runs);
        tmux("new-session -d -s run -x 200 -y 60 " +
             quoted(command + "; echo \"[koniec: $?]\"; sleep 60"));
    }
    void type(const std::string& text) const {
        if (!text.empty()) {
            tmux("send-keys -t run -l " + quoted(text));
        }
        tmux("send-keys -t run Enter");
    }
    // What the terminal shows, trailing spaces kept.
    std::string screen() const { return tmux("capture-pane -p -N -t run"); }
    // Waits (at most 15 s) until the screen shows the text `times` times; the screen then.
    std::string wait_for(const std::string& text, int times = 1) const {
        std::string shown;
        for (int i = 0; i < 150; ++i) {
            shown = screen();
            if (occurrences(shown, text) >= times) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return shown;
    }
    // Waits for the prompt's n-th appearance, then types the answer: as a person would, who
    // answers only what has been asked.
    void answer(const std::string& prompt, int times, const std::string& text) const {
        wait_for(prompt, times);
        type(text);
    }
    static int occurrences(const std::string& text, const std::string& part) {
        int count = 0;
        for (std::size_t at = text.find(part); at != std::string::npos;
             at = text.find(part, at + part.size())) {
            ++count;
        }
        return count;
    }
    ~Terminal() {
        if (!socket.empty()) {
            tmux("kill-server");
        }
    }
};

class TerminalTest : public ::testing::Test {
  protected:
    static inline TempDir* prefix = nullptr;
    TempDir data;
    Simulator simulator;
    Terminal terminal;

    static void SetUpTestSuite() {
        prefix = new TempDir;
        shell_output("cmake --install " PROJECT_BINARY_DIR " --prefix " + prefix->path +
                     " >/dev/null 2>&1");
    }
    static void TearDownTestSuite() {
        delete prefix;
        prefix = nullptr;
    }

    void SetUp() override {
        if (!configured_for_tests) {
            GTEST_SKIP() << "the program is not built to trust the test certificate authority";
        }
        if (shell_output("command -v tmux").empty()) {
            GTEST_SKIP() << "tmux is not installed";
        }
        ASSERT_TRUE(simulator.start()) << "the simulator did not start";
    }

    // The installed program in the terminal, with its data directory in the test's folder.
    void run(const std::string& arguments) const {
        terminal.start("env " + service_environment() + " NIMBROVATOR_DATA_DIR=" + data.path + " " +
                       prefix->path + "/bin/nimbrovator " + arguments);
    }
    void finish_run() const { terminal.tmux("kill-session -t run"); }
};

TEST_F(TerminalTest, InteractivePromptsAskAgainUntilTheAnswersFit) {
    run("");
    std::string screen = terminal.wait_for("Wciśnij ENTER");
    EXPECT_NE(screen.find("*** Nimbrovator 0.2 - CO NOWEGO? ***"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("Podaj nazwę"), std::string::npos) << "the screen waits for ENTER";
    terminal.type("");
    screen = terminal.wait_for("Podaj nazwę miejscowości: ");
    EXPECT_NE(screen.find("*** Nimbrovator (wersja 0.3) ***"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("CO NOWEGO"), std::string::npos) << "the banner clears the screen";
    const std::string town_prompt = "Podaj nazwę miejscowości: ";
    const std::string radius_prompt = "Podaj promień (5-100 km, ENTER = 25 km): ";
    terminal.type("");
    terminal.answer(town_prompt, 2, "kraków");
    terminal.answer(radius_prompt, 1, "abc");
    terminal.answer(radius_prompt, 2, "500");
    terminal.answer(radius_prompt, 3, "30");
    screen = terminal.wait_for("[koniec: ");
    EXPECT_NE(screen.find("Podaj nazwę miejscowości: \n\nPodaj nazwę miejscowości: kraków\n"
                          "Podaj promień (5-100 km, ENTER = 25 km): abc\n"
                          "Podaj promień (5-100 km, ENTER = 25 km): 500\n"
                          "Podaj promień (5-100 km, ENTER = 25 km): 30\n"
                          "Brak miejscowości Kraków w bazie danych!"),
              std::string::npos)
        << screen;
    EXPECT_NE(screen.find("w promieniu 30 km od miejscowości Kraków."), std::string::npos)
        << screen;
    EXPECT_NE(screen.find("[koniec: 0]"), std::string::npos) << screen;
}

TEST_F(TerminalTest, SettingsMenuSwitchesTheWeatherReports) {
    run("-s");
    terminal.wait_for("Wciśnij ENTER");
    terminal.type("");
    std::string screen = terminal.wait_for("Pogoda aktualna [stan: WŁĄCZONA] (t)ak/(n)ie: ");
    EXPECT_NE(screen.find("*** Nimbrovator 0.3 - USTAWIENIA ***"), std::string::npos) << screen;
    terminal.type("tak");
    terminal.answer("Pogoda aktualna [stan: WŁĄCZONA] (t)ak/(n)ie: ", 2, "n");
    terminal.answer("Prognoza pogody [stan: WŁĄCZONA] (t)ak/(n)ie: ", 1, "T");
    screen = terminal.wait_for("[koniec: ");
    EXPECT_NE(screen.find("Pogoda aktualna [stan: WŁĄCZONA] (t)ak/(n)ie: tak\n"
                          "Pogoda aktualna [stan: WŁĄCZONA] (t)ak/(n)ie: n\n"
                          "Pogoda aktualna [stan: WYŁĄCZONA]\n"
                          "Prognoza pogody [stan: WŁĄCZONA] (t)ak/(n)ie: T\n"
                          "Prognoza pogody [stan: WŁĄCZONA]\n"
                          "[koniec: 0]"),
              std::string::npos)
        << screen;
    finish_run();

    run("Gdańsk 40");
    screen = terminal.wait_for("[koniec: ");
    EXPECT_EQ(screen.find("Pobieram aktualną pogodę"), std::string::npos) << screen;
    EXPECT_NE(screen.find("Pobieram prognozę pogody z serwera " + test_weather_host() + "..."),
              std::string::npos)
        << screen;
}

TEST_F(TerminalTest, FullRunShowsEveryReportThenTheCacheServes) {
    run("Kraków 30");
    terminal.wait_for("Wciśnij ENTER");
    terminal.type("");
    std::string screen = terminal.wait_for("[koniec: ");
    const std::string in_order[] = {
        "*** Nimbrovator (wersja 0.3) ***",
        "Brak miejscowości Kraków w bazie danych!",
        "Pobieram współrzędne miejscowości z serwera " + test_storm_host() + "...",
        "Pobrałem współrzędne.",
        "Pobieram aktualną pogodę z serwera " + test_weather_host() + "...",
        "Czas pomiaru: ",
        "Temperatura ",
        "Pobieram prognozę pogody z serwera " + test_weather_host() + "...",
        "(data, temperatura, wilgotność, ciśnienie, wiatr, deszcz, pogoda)",
        "Dodałem miejscowość do bazy danych!",
        " dla punktu Kraków o współrzędnych (50.0614 N, 19.9366 E)",
        "w promieniu 30 km od miejscowości Kraków.",
        "[koniec: 0]",
    };
    std::size_t at = 0;
    for (const std::string& text : in_order) {
        const std::size_t found = screen.find(text, at);
        ASSERT_NE(found, std::string::npos) << "missing, or out of order: " << text << "\n"
                                            << screen;
        at = found;
    }
    finish_run();

    run("kraków 30");
    screen = terminal.wait_for("[koniec: ");
    EXPECT_NE(screen.find("Miejscowość Kraków jest w bazie danych!"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("Pobieram współrzędne"), std::string::npos) << screen;
    EXPECT_NE(screen.find("[koniec: 0]"), std::string::npos) << screen;
}

// The watch in a terminal colours its alerts (tmux shows the colour it was given as its own
// SGR sequence); NO_COLOR set, it does not. The simulator plays a storm that is in range from
// its start.
TEST(TerminalColours, WatchAlertsAreColouredUnlessNoColorIsSet) {
    if (!configured_for_tests) {
        GTEST_SKIP() << "the program is not built to trust the test certificate authority";
    }
    if (shell_output("command -v tmux").empty()) {
        GTEST_SKIP() << "tmux is not installed";
    }
    Simulator simulator;
    ASSERT_TRUE(simulator.start({"--storm", "approach", "--minute-ms", "40"}));
    TempDir data;
    Terminal terminal;
    const auto alert_line = [&](const std::string& environment) {
        terminal.start("env " + service_environment() + " " + environment +
                       " NIMBROVATOR_DATA_DIR=" + data.path + " " +
                       NIMBROVATOR_BINARY " --watch --every 0.0033 Kraków 100");
        terminal.wait_for("*** BURZA");
        const std::string screen = terminal.tmux("capture-pane -p -e -t run");
        terminal.tmux("kill-session -t run");
        const std::size_t at = screen.find("*** BURZA");
        return at == std::string::npos
                   ? "(no alert) " + screen
                   : screen.substr(screen.rfind('\n', at) + 1, screen.find('\n', at) - at);
    };
    const std::string red = "\x1b[31m";
    const std::string coloured = alert_line("TERM=screen");
    EXPECT_NE(coloured.find(red + "*** BURZA"), std::string::npos) << coloured;
    const std::string plain = alert_line("TERM=screen NO_COLOR=1");
    EXPECT_NE(plain.find("*** BURZA"), std::string::npos) << plain;
    EXPECT_EQ(plain.find('\x1b'), std::string::npos) << plain;
}

// The machine-readable forms against the simulator: schema-valid and agreeing with each other.
TEST(SimulatorMachineForms, JsonIsSchemaValidAndTheLineSaysTheSameCount) {
    if (!configured_for_tests) {
        GTEST_SKIP() << "the program is not built to trust the test certificate authority";
    }
    Simulator simulator;
    ASSERT_TRUE(simulator.start());
    TempDir data;
    ProgramRun run;
    run.data_dir = data.path;
    run.environment = {"LC_ALL=C.UTF-8"};
    std::string documents;
    for (const char* town : {"Kraków", "Nowy Sącz", "Atlantyda"}) {
        run.args = {"--json", town, "30"};
        const ProgramResult json = run_nimbrovator(run);
        EXPECT_EQ(json.exit_code, std::string(town) == "Atlantyda" ? 4 : 0) << json.err;
        documents += json.out;
    }
    EXPECT_EQ(report_schema_violations(documents), "") << documents;
    run.args = {"--line", "Kraków", "30"};
    const ProgramResult line = run_nimbrovator(run);
    EXPECT_EQ(line.exit_code, 0) << line.err;
    const std::size_t strikes = documents.find("\"strikes\":");
    ASSERT_NE(strikes, std::string::npos);
    const std::string count =
        documents.substr(strikes + 10, documents.find_first_of(",}", strikes) - strikes - 10);
    const std::string expected_start =
        count == "0" ? "Kraków: brak wyładowań w 30 km | " : "Kraków: " + count + " wyładow";
    EXPECT_EQ(line.out.rfind(expected_start, 0), 0u) << line.out << " vs " << count;
}

} // namespace
