// The program as a whole, run as a child process with its own data directory.
#include "support/run_program.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/stat.h>

#include <cstdio>

namespace {

const std::string whats_new =
    "*** Nimbrovator 0.2 - CO NOWEGO? ***\n\n"
    "- pogoda aktualna\n"
    "- prognoza pogody\n"
    "- ustawienia programu - można włączyć/wyłączyć pobieranie i wyświetlanie pogody aktualnej "
    "oraz prognozy (nimbrovator -s)\n"
    "- poprawki w kodzie programu\n\n"
    "Wciśnij ENTER";

std::string usage(const std::string& name) {
    return "\nużycie:\n\n" + name +
           " [ miasto ] [ promień (opcjonalnie) ]\nlub interaktywnie bez parametrów.\n\n"
           "-s ustawienia programu\n\n";
}

const std::string menu_title = "*** Nimbrovator 0.3 - USTAWIENIA ***\n\n";

// What the clear command writes to standard output for this TERM.
std::string clear_command_output(const std::string& term) {
    const std::string command = "TERM='" + term + "' clear 2>/dev/null";
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return "<clear did not run>";
    }
    for (int c; (c = std::fgetc(pipe)) != EOF;) {
        out.push_back(static_cast<char>(c));
    }
    pclose(pipe);
    return out;
}

class ProgramTest : public ::testing::Test {
  protected:
    TempDir home;
    const std::string data_dir = home.path + "/data"; // made by the program

    std::string db_path() const { return data_dir + "/zagrozenia_pogodowe.db"; }

    ProgramResult run(std::vector<std::string> args, std::string input = "") {
        ProgramRun run;
        run.args = std::move(args);
        run.input = std::move(input);
        run.data_dir = data_dir;
        return run_nimbrovator(run);
    }

    // Runs once so that the what's-new screen is behind us.
    void first_run_done() {
        const ProgramResult first = run({"-h"}, "\n");
        ASSERT_EQ(first.exit_code, 0) << first.err;
    }

    std::string setting(const std::string& key) const {
        sqlite3* db = nullptr;
        sqlite3_open_v2(db_path().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_stmt* statement = nullptr;
        std::string value = "<none>";
        const std::string sql = "SELECT SETTING FROM SETTINGS WHERE PARAM = '" + key + "'";
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW) {
            value = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        }
        sqlite3_finalize(statement);
        sqlite3_close(db);
        return value;
    }
};

TEST_F(ProgramTest, FirstRunShowsWhatsNewBeforeTheUsageThenNeverAgain) {
    const ProgramResult first = run({"-h", "extra", "words"}, "\n");
    EXPECT_EQ(first.exit_code, 0);
    EXPECT_EQ(first.out, whats_new + usage(NIMBROVATOR_BINARY));
    EXPECT_EQ(first.err, "");
    struct stat info {};
    ASSERT_EQ(stat(data_dir.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0755u);
    EXPECT_EQ(setting("firstrun"), "0");

    const ProgramResult second = run({"--help"});
    EXPECT_EQ(second.exit_code, 0);
    EXPECT_EQ(second.out, usage(NIMBROVATOR_BINARY));
}

TEST_F(ProgramTest, UsageNamesTheProgramAsInvoked) {
    first_run_done();
    ProgramRun custom;
    custom.args = {"-h"};
    custom.data_dir = data_dir;
    custom.argv0 = "./bin/nimbrovator";
    EXPECT_EQ(run_nimbrovator(custom).out, usage("./bin/nimbrovator"));
}

TEST_F(ProgramTest, WhatsNewSurvivesEndOfInput) {
    const ProgramResult first = run({"-h"});
    EXPECT_EQ(first.exit_code, 0);
    EXPECT_FALSE(first.timed_out);
    EXPECT_EQ(first.out, whats_new + usage(NIMBROVATOR_BINARY));
}

// Neither touches the data directory nor shows the what's-new page, whatever else is given.
TEST_F(ProgramTest, VersionAndHelpAllNeedNothingElse) {
    const struct {
        std::vector<std::string> args;
        std::string begins;
    } cases[] = {
        {{"--version"}, "nimbrovator 0.3\n"},
        {{"--help-all"}, "Użycie: " + std::string(NIMBROVATOR_BINARY) + " [OPCJE] miasto"},
        {{"--json", "--help-all"}, "Użycie: "},
    };
    for (const auto& c : cases) {
        const ProgramResult result = run(c.args);
        EXPECT_EQ(result.exit_code, 0) << c.args[0];
        EXPECT_EQ(result.out.rfind(c.begins, 0), 0u) << result.out;
        EXPECT_EQ(result.err, "");
        struct stat info {};
        EXPECT_NE(stat(data_dir.c_str(), &info), 0) << c.args[0];
    }
}

TEST_F(ProgramTest, ThreeArgumentsOrMoreGiveTheUsageOnStandardErrorAndStatusTwo) {
    first_run_done();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"Kraków", "30", "more"}, {"a", "b", "c", "d", "e"}}) {
        const ProgramResult result = run(args);
        EXPECT_EQ(result.exit_code, 2);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, usage(NIMBROVATOR_BINARY));
    }
}

TEST_F(ProgramTest, LostStandardOutputGivesAMessageAndStatusOne) {
    first_run_done();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-h"}, {"--version"}, {"-s"}, {"--help-all"}}) {
        ProgramRun full;
        full.args = args;
        full.input = "n\nn\n";
        full.home = home.path;
        full.data_dir = data_dir;
        full.stdout_path = "/dev/full";
        const ProgramResult result = run_nimbrovator(full);
        EXPECT_EQ(result.exit_code, 1) << args[0];
        EXPECT_NE(result.err.find("błąd zapisu na standardowe wyjście"), std::string::npos)
            << result.err;
    }
}

TEST_F(ProgramTest, SettingsMenuStoresTheAnswers) {
    first_run_done();
    const struct {
        std::string input;
        std::string weather;
        std::string forecast;
        std::string output;
    } cases[] = {
        {"n\nN\n", "0", "0",
         menu_title + "Pogoda aktualna [stan: WŁĄCZONA] (t)ak/(n)ie: Pogoda aktualna [stan: "
                      "WYŁĄCZONA]\nPrognoza pogody [stan: WŁĄCZONA] (t)ak/(n)ie: Prognoza "
                      "pogody [stan: WYŁĄCZONA]\n"},
        {"tak\nT\n\nnie\n1\nt\n", "1", "1",
         menu_title + "Pogoda aktualna [stan: WYŁĄCZONA] (t)ak/(n)ie: "
                      "Pogoda aktualna [stan: WYŁĄCZONA] (t)ak/(n)ie: "
                      "Pogoda aktualna [stan: WŁĄCZONA]\n"
                      "Prognoza pogody [stan: WYŁĄCZONA] (t)ak/(n)ie: "
                      "Prognoza pogody [stan: WYŁĄCZONA] (t)ak/(n)ie: "
                      "Prognoza pogody [stan: WYŁĄCZONA] (t)ak/(n)ie: "
                      "Prognoza pogody [stan: WYŁĄCZONA] (t)ak/(n)ie: "
                      "Prognoza pogody [stan: WŁĄCZONA]\n"},
        {" t\nt \nN\nn\n", "0", "0",
         menu_title + "Pogoda aktualna [stan: WŁĄCZONA] (t)ak/(n)ie: "
                      "Pogoda aktualna [stan: WŁĄCZONA] (t)ak/(n)ie: "
                      "Pogoda aktualna [stan: WŁĄCZONA] (t)ak/(n)ie: "
                      "Pogoda aktualna [stan: WYŁĄCZONA]\n"
                      "Prognoza pogody [stan: WŁĄCZONA] (t)ak/(n)ie: "
                      "Prognoza pogody [stan: WYŁĄCZONA]\n"},
    };
    for (const auto& c : cases) {
        const ProgramResult result = run({"-s", "ignored"}, c.input);
        EXPECT_EQ(result.exit_code, 0);
        EXPECT_EQ(result.out, c.output) << c.input;
        EXPECT_EQ(setting("weather"), c.weather) << c.input;
        EXPECT_EQ(setting("forecast"), c.forecast) << c.input;
    }
}

TEST_F(ProgramTest, EndOfInputLeavesTheMenuWithoutChangingTheSetting) {
    first_run_done();
    const ProgramResult at_first = run({"-s"}, "tak\n");
    EXPECT_FALSE(at_first.timed_out);
    EXPECT_EQ(at_first.exit_code, 0);
    EXPECT_EQ(at_first.out, menu_title + "Pogoda aktualna [stan: WŁĄCZONA] (t)ak/(n)ie: "
                                         "Pogoda aktualna [stan: WŁĄCZONA] (t)ak/(n)ie: \n");
    EXPECT_EQ(setting("weather"), "1");

    const ProgramResult at_second = run({"-s"}, "n\n");
    EXPECT_FALSE(at_second.timed_out);
    EXPECT_EQ(at_second.exit_code, 0);
    EXPECT_EQ(at_second.out, menu_title + "Pogoda aktualna [stan: WŁĄCZONA] (t)ak/(n)ie: "
                                          "Pogoda aktualna [stan: WYŁĄCZONA]\n"
                                          "Prognoza pogody [stan: WŁĄCZONA] (t)ak/(n)ie: \n");
    EXPECT_EQ(setting("weather"), "0");
    EXPECT_EQ(setting("forecast"), "1");
}

TEST_F(ProgramTest, UnreadableSettingsShowAnEmptyState) {
    // The data directory is a file: the database cannot be opened at all.
    write_file(data_dir, "not a directory");
    const ProgramResult result = run({"-s"}, "t\n");
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out.rfind(menu_title + "Pogoda aktualna [stan: ] (t)ak/(n)ie: "
                                            "Nie mogłem zaktualizować ustawień!\n",
                               0),
              0u)
        << result.out;
    EXPECT_NE(result.err.find("Nie mogę otworzyć bazy danych: "), std::string::npos);
    EXPECT_NE(result.err.find("Błąd SQL: "), std::string::npos);
}

TEST(DataDirectoryTest, DatabaseLandsInTheChosenDirectoryElseUnderTheHome) {
    const std::string in_data = "/data/zagrozenia_pogodowe.db";
    const std::string in_home = "/home/.nimbrovator/zagrozenia_pogodowe.db";
    const struct {
        std::string name;
        bool choose;                          // NIMBROVATOR_DATA_DIR=<root>/data
        std::vector<std::string> environment; // further entries
        std::string used;
        std::string unused;
    } cases[] = {
        {"chosen", true, {}, in_data, in_home},
        {"chosen, no home at all",
         true,
         {"NIMBROVATOR_TEST_NO_PASSWD=1", "HOME="},
         in_data,
         in_home},
        {"not set", false, {}, in_home, in_data},
        {"set but empty", false, {"NIMBROVATOR_DATA_DIR="}, in_home, in_data},
    };
    for (const auto& c : cases) {
        TempDir root;
        mkdir((root.path + "/home").c_str(), 0700);
        ProgramRun run;
        run.args = {"-h"};
        run.input = "\n";
        run.data_dir = c.choose ? root.path + "/data" : "";
        run.home = root.path + "/home";
        run.environment = c.environment;
        const ProgramResult result = run_nimbrovator(run);
        EXPECT_EQ(result.exit_code, 0) << c.name << ": " << result.err;
        struct stat info {};
        EXPECT_EQ(stat((root.path + c.used).c_str(), &info), 0) << c.name;
        EXPECT_NE(stat((root.path + c.unused).c_str(), &info), 0) << c.name;
    }
}

TEST_F(ProgramTest, HomeFallsBackToTheEnvironment) {
    TempDir env_home;
    ProgramRun run;
    run.args = {"-h"};
    run.input = "\n";
    run.home = home.path;
    run.environment = {"NIMBROVATOR_TEST_NO_PASSWD=1", "HOME=" + env_home.path};
    const ProgramResult result = run_nimbrovator(run);
    EXPECT_EQ(result.exit_code, 0);
    struct stat info {};
    EXPECT_EQ(stat((env_home.path + "/.nimbrovator/zagrozenia_pogodowe.db").c_str(), &info), 0);
}

TEST_F(ProgramTest, NoUsableHomeStopsWithAMessage) {
    ProgramRun no_home;
    no_home.args = {"-h"};
    no_home.home = home.path;
    no_home.environment = {"NIMBROVATOR_TEST_NO_PASSWD=1", "HOME="};
    ProgramResult result = run_nimbrovator(no_home);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Nie mogę ustalić katalogu domowego użytkownika.\n");

    for (std::size_t length : {243u, 300u, 5000u}) {
        ProgramRun long_home;
        long_home.args = {"-h"};
        long_home.home = "/" + std::string(length - 1, 'h');
        result = run_nimbrovator(long_home);
        EXPECT_EQ(result.exit_code, 1) << length;
        EXPECT_EQ(result.err,
                  "Ścieżka katalogu domowego jest zbyt długa: " + long_home.home + "\n");
    }
    for (std::size_t length : {256u, 5000u}) {
        ProgramRun long_data_dir;
        long_data_dir.args = {"-h"};
        long_data_dir.data_dir = "/" + std::string(length - 1, 'd');
        result = run_nimbrovator(long_data_dir);
        EXPECT_EQ(result.exit_code, 1) << length;
        EXPECT_EQ(result.err,
                  "Ścieżka katalogu danych jest zbyt długa: " + long_data_dir.data_dir + "\n");
    }
}

// A usage error of the newer forms: one line naming the culprit, one pointing to --help-all.
TEST_F(ProgramTest, UsageErrorsNameTheCulpritOnOneLine) {
    const struct {
        std::vector<std::string> args;
        std::string culprit;
    } cases[] = {
        {{"--bogus"}, "nieznana opcja: --bogus"},
        {{"--json"}, "brak miejscowości po opcjach"},
        {{"--line", "--json"}, "opcja --json nie łączy się z --line"},
        {{"--json", "--line", "Kraków"}, "opcja --line nie łączy się z --json"},
        {{"--waybar", "--i3blocks", "Kraków"}, "opcja --i3blocks nie łączy się z --waybar"},
        {{"--watch", "--json", "--waybar", "Kraków"}, "opcja --waybar nie łączy się z --json"},
        {{"--line", "--max-age", "5"}, "brak miejscowości po opcjach"},
        {{"--json", "Kraków", "30", "x"}, "nadmiarowy argument: x"},
        {{"--line", "-s"}, "opcja -s działa tylko jako pierwszy argument"},
        {{"--json", ""}, "pusta nazwa miejscowości"},
        {{"--watch", "--every"}, "opcja --every wymaga wartości (MINUTY)"},
        {{"--watch", "-every", "5", "Kraków"}, "nieznana opcja: -every (czy chodziło o --every?)"},
        {{"--json", "-x", "Kraków"}, "nieznana opcja: -x"},
        {{"--watch", "--evry", "5", "Kraków"}, "nieznana opcja: --evry (czy chodziło o --every?)"},
        {{"--json=tak", "Kraków"}, "opcja --json nie przyjmuje wartości"},
        {{"Kraków", "30", "--line"}, "opcje podaje się przed miejscowością: --line"},
        {{"--json", "Kraków", "--max-age=5"}, "opcje podaje się przed miejscowością: --max-age=5"},
        {{"--every", "5", "Kraków"}, "opcja --every działa tylko z --watch"},
        {{"--near", "50,19"},
         "opcja --near działa tylko z --json, --line, --format, --waybar, --i3blocks lub --watch"},
        {{"--json", "--svg", "a.svg", "Kraków"}, "opcja --svg działa tylko z --history"},
        {{"--history", "--timeout", "5", "Kraków"}, "opcja --timeout nie łączy się z --history"},
        {{"--watch", "--history", "Kraków"}, "opcja --history nie łączy się z --watch"},
        {{"--config", "--json"}, "opcja --json nie łączy się z --config"},
        {{"--towns", "Kraków"}, "opcja --towns nie przyjmuje argumentów: Kraków"},
        {{"--json", "--place", "A", "--near", "50,19"}, "opcja --place nie łączy się z --near"},
        {{"--line", "--place", "A", "--place", "B"}, "kilka miejsc --place tylko z --watch"},
        {{"--watch", "--all-places", "--place", "A"}, "opcja --all-places nie łączy się z --place"},
        {{"--watch", "--place", "Dom", "--place", "B", "--place", "Dom"},
         "miejsce „Dom” podane w --place więcej niż raz"},
        {{"--json", "--all-places"}, "opcja --all-places działa tylko z --watch"},
        {{"--json", "--place", "A", "30", "x"}, "nadmiarowy argument: x"},
        {{"--json", "--format", "%t", "Kraków"}, "opcja --format nie łączy się z --json"},
        {{"--format", "", "Kraków"}, "pusty szablon dla --format"},
        {{"--format", "%t", "--escape", "html", "Kraków"},
         "nieprawidłowa wartość --escape (pango, polybar, tmux): html"},
        {{"--line", "--escape", "tmux", "Kraków"}, "opcja --escape działa tylko z --format"},
        {{"--waybar", "--format", "%t", "--escape", "pango", "Kraków"},
         "opcja --escape nie łączy się z --waybar"},
        {{"--line", "Kraków", "4"}, "nieprawidłowy promień: 4 (liczba całkowita km od 5 do 100)"},
        {{"--watch", "Kraków", "101"},
         "nieprawidłowy promień: 101 (liczba całkowita km od 5 do 100)"},
        {{"--waybar", "Kraków", ""}, "nieprawidłowy promień:  (liczba całkowita km od 5 do 100)"},
        {{"--json", "--near", "50,19", "2.5"},
         "nieprawidłowy promień: 2.5 (liczba całkowita km od 5 do 100)"},
        {{"--json", "--danger-km", "40", "Kraków"},
         "strefa --danger-km (40 km) musi mieścić się w promieniu (25 km)"},
        {{"--history", "Kraków", "169"},
         "nieprawidłowa liczba godzin dla --history: 169 (od 1 do 168)"},
        {{"--watch", "--checks", "0", "Kraków"},
         "nieprawidłowa liczba sprawdzeń dla --checks: 0 (liczba całkowita od 1)"},
        {{"--checks", "3", "Kraków"}, "opcja --checks działa tylko z --watch"},
        {{"--alerts-to-stderr", "--json", "Kraków"},
         "opcja --alerts-to-stderr działa tylko z --watch"},
        {{"--history", "--i3blocks", "Kraków"}, "opcja --i3blocks nie łączy się z --history"},
        {{"--watch", "--every", "\x1B[2J", "Kraków"},
         "nieprawidłowa liczba minut dla --every: [2J"},
        {{"--watch", "--mqtt", "mqtt://[::1", "Kraków"},
         "oczekiwano mqtt://host[:port] lub mqtts://host[:port] (adres IPv6 w nawiasach: "
         "mqtt://[::1]:1883) dla --mqtt: mqtt://[::1"},
    };
    for (const auto& c : cases) {
        const ProgramResult result = run(c.args);
        EXPECT_EQ(result.exit_code, 2) << c.culprit;
        EXPECT_EQ(result.out, "") << c.culprit;
        EXPECT_EQ(result.err, "nimbrovator: " + c.culprit + "\nSpróbuj: nimbrovator --help-all\n");
    }
    struct stat info {};
    EXPECT_NE(stat(data_dir.c_str(), &info), 0) << "a usage error touches no data";
}

// The what's-new screen and the menu each begin by clearing the screen, with the bytes that
// the clear command writes for the terminal; nothing at all where it writes nothing.
TEST_F(ProgramTest, ScreensAreClearedAsTheClearCommandWouldForEachTerminal) {
    const ProgramResult plain = run({"-s"});
    ASSERT_EQ(plain.exit_code, 0);
    for (const std::string term : {"xterm", "xterm-256color", "linux", "vt100", "screen", "tmux",
                                   "rxvt", "sun", "dumb", "no-such-terminal", ""}) {
        SCOPED_TRACE("TERM=" + term);
        const TempDir fresh;
        ProgramRun clearing;
        clearing.args = {"-s"};
        clearing.home = fresh.path;
        clearing.environment = {"TERM=" + term};
        const ProgramResult result = run_nimbrovator(clearing);
        const std::string sequence = clear_command_output(term);
        const std::size_t menu_at = plain.out.find(menu_title);
        ASSERT_NE(menu_at, std::string::npos);
        EXPECT_EQ(result.out,
                  sequence + plain.out.substr(0, menu_at) + sequence + plain.out.substr(menu_at));
        EXPECT_EQ(result.err, "");
    }
    EXPECT_NE(clear_command_output("xterm"), "") << "the table must hold clearing terminals";
}

} // namespace
