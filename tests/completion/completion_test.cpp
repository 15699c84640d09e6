// --towns and the shell completion built on it, driven as bash drives it.
#include "app/option_table.h"
#include "store/database.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <set>

namespace {

class CompletionTest : public ::testing::Test {
  protected:
    TempDir home;

    void cache_towns(const std::vector<std::string>& names) {
        mkdir((home.path + "/.nimbrovator").c_str(), 0755);
        const std::string db = home.path + "/.nimbrovator/zagrozenia_pogodowe.db";
        init_database(db);
        for (const std::string& name : names) {
            ASSERT_EQ(insert_cached_town(db, name, "50", "20"), 0);
        }
    }

    ProgramResult run(const std::string& program, std::vector<std::string> args) {
        ProgramRun run;
        run.program = program;
        run.args = std::move(args);
        run.home = home.path;
        run.environment = {"LC_ALL=C.UTF-8"};
        return run_nimbrovator(run);
    }
};

TEST_F(CompletionTest, TownsAreListedSortedAndNothingIsCreated) {
    const ProgramResult none = run(NIMBROVATOR_BINARY, {"--towns"});
    EXPECT_EQ(none.exit_code, 0);
    EXPECT_EQ(none.out + none.err, "");
    struct stat status {};
    EXPECT_NE(stat((home.path + "/.nimbrovator").c_str(), &status), 0) << "made a directory";

    cache_towns({"Zielona Góra", "Łódź", "Kraków", "Lublin", "Mława"});
    const ProgramResult listed = run(NIMBROVATOR_BINARY, {"--towns"});
    EXPECT_EQ(listed.exit_code, 0);
    EXPECT_EQ(listed.out, "Kraków\nLublin\nŁódź\nMława\nZielona Góra\n");
    EXPECT_EQ(listed.err, "");
}

// A database that cannot be read is no empty list: completion would offer nothing and no one
// would learn why.
TEST_F(CompletionTest, AnUnreadableDatabaseIsReportedWithStatusOne) {
    cache_towns({"Kraków"});
    const std::string db = home.path + "/.nimbrovator/zagrozenia_pogodowe.db";
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    const ProgramResult locked = run(NIMBROVATOR_BINARY, {"--towns"});
    sqlite3_close(holder);
    EXPECT_EQ(locked.exit_code, 1);
    EXPECT_EQ(locked.out, "");
    EXPECT_EQ(locked.err,
              "Nie mogę odczytać miejscowości z bazy danych " + db + ": database is locked\n");

    write_file(db, std::string(4096, 'x'));
    const ProgramResult corrupt = run(NIMBROVATOR_BINARY, {"--towns"});
    EXPECT_EQ(corrupt.exit_code, 1);
    EXPECT_EQ(corrupt.out, "");
    EXPECT_EQ(corrupt.err,
              "Nie mogę odczytać miejscowości z bazy danych " + db + ": file is not a database\n");
}

TEST_F(CompletionTest, BashCompletesOptionsAndCachedTowns) {
    cache_towns({"Zielona Góra", "Zielonka", "Łódź", "Kraków"});
    mkdir((home.path + "/.config").c_str(), 0700);
    mkdir((home.path + "/.config/nimbrovator").c_str(), 0700);
    write_file(home.path + "/.config/nimbrovator/config",
               "storm_host = localhost\n[place Dom]\nnear = 50,20\n  [place  Działka Leśna ]\n"
               "town = Nowy Sącz\n[placement]\n");
    struct completion_case {
        std::vector<std::string> words; // after the program's name; the last is completed
        std::string offered;
    };
    const std::vector<completion_case> cases = {
        {{"Zielona\\ G"}, "[Zielona Góra]\n"},
        {{"\"Zielona G"}, "[Zielona Góra]\n"},
        {{"Ziel"}, "[Zielona Góra]\n[Zielonka]\n"},
        {{"Łó"}, "[Łódź]\n"},
        {{"--line", "Kr"}, "[Kraków]\n"},
        {{"--co"}, "[--cooldown]\n[--color]\n[--config]\n"},
        {{"--watch", "--a"}, "[--alerts-to-stderr]\n[--approaching-only]\n[--all-places]\n"},
        {{"--watch", "--place", "D"}, "[Dom]\n[Działka Leśna]\n"},
        {{"--line", "--place", "Dz"}, "[Działka Leśna]\n"},
        {{"--watch", "--place", "Dom", "--pl"}, "[--place]\n"},
        {{"--watch", "--checks", ""}, "[]\n"},
        {{"--watch", "--checks", "3", "Ł"}, "[Łódź]\n"},
        {{"--help-all", ""}, "[]\n"},
        {{"--watch", "--mqtt", "mqtt://h", "Ł"}, "[Łódź]\n"},
        {{"--near", "50.06,19.94", "--name", ""}, "[]\n"},
        {{"--line", "--near", "50.06,19.94", "--n"}, "[--notify]\n[--near]\n[--name]\n"},
        {{"--watch", "--color", "a"}, "[auto]\n[always]\n"},
        {{"--format", "%t %n", "Kr"}, "[Kraków]\n"},
        {{"--format", ""}, "[]\n"},
        {{"--watch", "--every", "2", "Zielona\\ G"}, "[Zielona Góra]\n"},
        {{"--max-age", "60", "Ł"}, "[Łódź]\n"},
        {{"--max-age", ""}, "[]\n"},
        {{"--timeout", "2.5", "Ł"}, "[Łódź]\n"},
        {{"--timeout", ""}, "[]\n"},
        {{"Kraków", ""}, "[]\n"},
        {{"--towns", ""}, "[]\n"},
    };
    for (const completion_case& c : cases) {
        SCOPED_TRACE(c.words.back());
        std::vector<std::string> args = {DRIVE_COMPLETION_SCRIPT, BASH_COMPLETION_FILE,
                                         NIMBROVATOR_BINARY};
        args.insert(args.end(), c.words.begin(), c.words.end());
        const ProgramResult result = run("/bin/bash", args);
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_EQ(result.out, c.offered);
    }
}

// Completion reads the typed words as text: a command substitution on the line never runs.
TEST_F(CompletionTest, BashNeverRunsWhatIsTyped) {
    cache_towns({"Kraków"});
    const std::string marker = home.path + "/marker";
    struct typed_case {
        std::vector<std::string> words; // the command word first; the last is completed
        std::string offered;
    };
    const std::vector<typed_case> cases = {
        {{NIMBROVATOR_BINARY, "$(touch " + marker + ")"}, "[]\n"},
        {{NIMBROVATOR_BINARY, "\"$(touch " + marker + ")"}, "[]\n"},
        {{NIMBROVATOR_BINARY, "`touch " + marker + "`"}, "[]\n"},
        {{NIMBROVATOR_BINARY, "'Kr"}, "[Kraków]\n"},
        {{"$(touch " + marker + ")/nimbrovator", "Kr"}, "[]\n"},
    };
    for (const typed_case& c : cases) {
        SCOPED_TRACE(c.words.front() + " " + c.words.back());
        std::vector<std::string> args = {DRIVE_COMPLETION_SCRIPT, BASH_COMPLETION_FILE};
        args.insert(args.end(), c.words.begin(), c.words.end());
        const ProgramResult result = run("/bin/bash", args);
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_EQ(result.out, c.offered);
        EXPECT_NE(access(marker.c_str(), F_OK), 0) << "a typed command ran";
        unlink(marker.c_str());
    }
}

// The options of `text`: each match of the regex's first group, "\\-" read as "-".
std::set<std::string> options_in(std::string text, const std::string& pattern) {
    for (std::size_t at; (at = text.find("\\-")) != std::string::npos;) {
        text.replace(at, 2, "-");
    }
    std::set<std::string> found;
    const std::regex option(pattern, std::regex::multiline);
    for (std::sregex_iterator it(text.begin(), text.end(), option), end; it != end; ++it) {
        found.insert((*it)[1]);
    }
    return found;
}

// Bash, zsh, the manual and --help-all name every option of the table, and no other.
TEST_F(CompletionTest, EveryPlaceNamesExactlyTheOptionsOfTheTable) {
    std::set<std::string> table;
    for (const option_row& row : option_table()) {
        table.insert(option_text(row));
        if (row.short_name != '\0') {
            table.insert(std::string("-") + row.short_name);
        }
    }
    const ProgramResult bash =
        run("/bin/bash", {DRIVE_COMPLETION_SCRIPT, BASH_COMPLETION_FILE, NIMBROVATOR_BINARY, "-"});
    const std::string manual = read_file(MANUAL_FILE);
    const std::size_t options_at = manual.find("\n.SH OPCJE\n");
    const std::string manual_options =
        manual.substr(options_at, manual.find("\n.SH ", options_at + 1) - options_at);
    const std::string help_all = run(NIMBROVATOR_BINARY, {"--help-all"}).out;
    const struct {
        std::string where;
        std::string text;
        std::vector<std::string> patterns; // each option's name is a first group
    } places[] = {
        {"bash", bash.out, {R"(^\[(-[^\]]+)\]$)"}},
        {"zsh", read_file(ZSH_COMPLETION_FILE), {R"('(--?[a-z0-9-]+):)"}},
        // Each item of OPCJE: ".BR -h \", \" --help", ".BI --every \" MINUTY\"", ...
        {"manual",
         manual_options,
         {R"(^\.TP\n\.B[IR]? (--?[a-z0-9-]+))", R"(^\.TP\n\.BR -[a-z] ", " (--[a-z0-9-]+))"}},
        {"--help-all", help_all, {R"(^  (?:-[a-z], )?(--?[a-z0-9-]+))", R"(^  (-[a-z]),)"}},
    };
    for (const auto& place : places) {
        std::set<std::string> named;
        for (const std::string& pattern : place.patterns) {
            const std::set<std::string> found = options_in(place.text, pattern);
            named.insert(found.begin(), found.end());
        }
        EXPECT_EQ(named, table) << place.where;
    }
}

TEST_F(CompletionTest, ZshCompletionIsValidZsh) {
    if (access("/bin/zsh", X_OK) != 0) {
        GTEST_SKIP() << "zsh is not installed";
    }
    const ProgramResult result = run("/bin/zsh", {"-n", ZSH_COMPLETION_FILE});
    EXPECT_EQ(result.exit_code, 0) << result.err;
}

} // namespace
