// The service settings given at run time: precedence, the checks of each value, the warning
// about a readable key file and what --config shows. Runs stop before any request.
#include "support/run_program.h"
#include "support/temp_dir.h"

#include "nimbrovator_config.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

const std::string storm_key_a = "a1b2c3d4e5f60718293a4b5c6d7e8f9012345678";
const std::string storm_key_b = "BEEF00112233445566778899aabbccddeeff0011";
const std::string weather_key_a = "0123456789abcdef0123456789abcdef";

class ConfigRunTest : public ::testing::Test {
  protected:
    TempDir home;

    std::string config_path() const { return home.path + "/.config/nimbrovator/config"; }

    void write_config(const std::string& text, mode_t mode = 0600) {
        mkdir((home.path + "/.config").c_str(), 0700);
        mkdir((home.path + "/.config/nimbrovator").c_str(), 0700);
        write_file(config_path(), text);
        chmod(config_path().c_str(), mode);
    }

    ProgramResult run(std::vector<std::string> args, std::vector<std::string> environment = {}) {
        ProgramRun run;
        run.args = std::move(args);
        run.home = home.path;
        run.environment = std::move(environment);
        return run_nimbrovator(run);
    }

    bool program_dir_made() const {
        struct stat status {};
        return stat((home.path + "/.nimbrovator").c_str(), &status) == 0;
    }
};

struct precedence_case {
    std::string name;
    std::vector<std::string> environment;
    std::string file;
    std::vector<std::string> expected_lines; // each must appear in the --config output
};

TEST_F(ConfigRunTest, EnvironmentOverridesTheFileWhichOverridesTheBuild) {
    const std::string file_line = config_path() + ":";
    const std::vector<precedence_case> cases = {
        {"built in",
         {},
         "",
         {"storm_host = " NIMBROVATOR_STORM_HOST "  # wbudowane\n",
          "weather_host = " NIMBROVATOR_WEATHER_HOST "  # wbudowane\n"}},
        {"file",
         {},
         "# own keys\nstorm_key = " + storm_key_a + "\n\nweather_host = pogoda.example:8080\n",
         {"storm_key = a1b2…  # plik " + file_line + "2\n",
          "weather_host = pogoda.example:8080  # plik " + file_line + "4\n",
          "storm_host = " NIMBROVATOR_STORM_HOST "  # wbudowane\n"}},
        {"environment over file",
         {"NIMBROVATOR_STORM_KEY=" + storm_key_b, "NIMBROVATOR_WEATHER_KEY=" + weather_key_a},
         "storm_key = " + storm_key_a + "\nstorm_host = burze.example\n",
         {"storm_key = BEEF…  # zmienna środowiskowa NIMBROVATOR_STORM_KEY\n",
          "weather_key = 0123…  # zmienna środowiskowa NIMBROVATOR_WEATHER_KEY\n",
          "storm_host = burze.example  # plik " + file_line + "2\n"}},
    };
    for (const precedence_case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.file.empty()) {
            write_config(c.file);
        }
        const ProgramResult result = run({"--config"}, c.environment);
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_EQ(result.err, "");
        for (const std::string& line : c.expected_lines) {
            EXPECT_NE(result.out.find(line), std::string::npos) << line << "in:\n" << result.out;
        }
        for (const std::string& key :
             {storm_key_a, storm_key_b, weather_key_a, std::string(NIMBROVATOR_WEATHER_KEY)}) {
            EXPECT_EQ((result.out + result.err).find(key), std::string::npos) << "a whole key";
        }
        EXPECT_FALSE(program_dir_made());
    }
}

struct bad_value_case {
    std::string name;
    std::vector<std::string> environment;
    std::string file;
    std::string message; // the whole of standard error, with @CONFIG@ for the file's path
};

TEST_F(ConfigRunTest, EachBadValueStopsTheRunNamingItsSource) {
    const std::vector<bad_value_case> cases = {
        {"short storm key",
         {"NIMBROVATOR_STORM_KEY=abc123"},
         "",
         "Zmienna środowiskowa NIMBROVATOR_STORM_KEY: klucz serwisu burzowego musi mieć "
         "dokładnie 40 znaków szesnastkowych (ma 6).\n"},
        {"upper-case weather key",
         {},
         "\n\nweather_key = 0123456789ABCDEF0123456789abcdef\n",
         "@CONFIG@:3: weather_key: klucz serwisu pogodowego musi mieć dokładnie 32 małe znaki "
         "szesnastkowe.\n"},
        {"host with a path",
         {"NIMBROVATOR_STORM_HOST=burze.example/soap"},
         "",
         "Zmienna środowiskowa NIMBROVATOR_STORM_HOST: oczekiwano nazwy hosta z opcjonalnym "
         ":port, podano „burze.example/soap”.\n"},
        {"port without digits",
         {},
         "weather_host = pogoda.example:\n",
         "@CONFIG@:1: weather_host: oczekiwano nazwy hosta z opcjonalnym :port, podano "
         "„pogoda.example:”.\n"},
        {"missing CA file",
         {"NIMBROVATOR_STORM_CA_FILE=/nonexistent/ca.pem"},
         "",
         "Zmienna środowiskowa NIMBROVATOR_STORM_CA_FILE: nie mogę odczytać pliku "
         "„/nonexistent/ca.pem”: No such file or directory.\n"},
        {"unknown name",
         {},
         "# keys\nstorm_klucz = 1\n",
         "@CONFIG@:2: nieznane ustawienie „storm_klucz”.\n"},
        {"line without a value",
         {},
         "storm_host = a\nstorm_key\n",
         "@CONFIG@:2: wiersz nie ma postaci „nazwa = wartość”.\n"},
    };
    for (const bad_value_case& c : cases) {
        SCOPED_TRACE(c.name);
        write_config(c.file);
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"Kraków"}, std::vector<std::string>{"--check"}}) {
            const ProgramResult result = run(args, c.environment);
            std::string expected = c.message;
            const std::size_t at = expected.find("@CONFIG@");
            if (at != std::string::npos) {
                expected.replace(at, 8, config_path());
            }
            EXPECT_EQ(result.exit_code, 2);
            EXPECT_EQ(result.err, expected);
            EXPECT_EQ(result.out, "");
        }
        EXPECT_FALSE(program_dir_made());
    }
}

TEST_F(ConfigRunTest, AKeyFileOthersCanReadIsWarnedAboutAndStillUsed) {
    struct mode_case {
        mode_t mode;
        std::string text;
        bool warned;
    };
    const std::vector<mode_case> cases = {
        {0644, "weather_key = " + weather_key_a + "\n", true},
        {0640, "storm_key = " + storm_key_a + "\n", true},
        {0600, "storm_key = " + storm_key_a + "\n", false},
        {0644, "storm_host = burze.example\n", false},
    };
    for (const mode_case& c : cases) {
        SCOPED_TRACE(c.text);
        write_config(c.text, c.mode);
        const ProgramResult result = run({"--config"});
        EXPECT_EQ(result.exit_code, 0);
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(c.mode));
        EXPECT_EQ(result.err, c.warned ? "Uwaga: plik " + config_path() +
                                             " zawiera klucz, a mogą go czytać inni użytkownicy "
                                             "(uprawnienia " +
                                             mode + "); zalecam chmod 600 " + config_path() + ".\n"
                                       : "");
        EXPECT_NE(result.out.find("# plik " + config_path() + ":1"), std::string::npos);
    }
}

} // namespace
