// Checks of the built program and of the build's configuration step.
#include "support/temp_dir.h"

#include "nimbrovator_config.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>

namespace {

// The key as configured, handed to this test by the build, not decoded from the program's
// pieces.
std::string configured_storm_key() {
    return EXPECTED_STORM_KEY;
}

// Runs a shell command; its exit status and what it printed on both streams.
int run_command(const std::string& command, std::string& output) {
    output.clear();
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    std::array<char, 4096> buffer;
    for (std::size_t n; (n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0;) {
        output.append(buffer.data(), n);
    }
    return pclose(pipe);
}

TEST(Build, StormKeyIsNotStoredWholeInTheProgram) {
    const std::string key = configured_storm_key();
    ASSERT_EQ(key.size(), 40u);
    for (char c : key) {
        ASSERT_TRUE(isxdigit(static_cast<unsigned char>(c))) << key;
    }
    const std::string binary = read_file(NIMBROVATOR_BINARY);
    ASSERT_GT(binary.size(), 10000u);
    EXPECT_EQ(binary.find(key), std::string::npos);
    // Not as 16-bit or 32-bit wide text either, nor in halves.
    EXPECT_EQ(binary.find(key.substr(0, 20)), std::string::npos);
    EXPECT_EQ(binary.find(key.substr(20)), std::string::npos);
}

TEST(Build, MalformedKeysStopTheConfigureStep) {
    const struct {
        const char* option;
        const char* message;
    } cases[] = {
        {"-DNIMBROVATOR_STORM_KEY=0123456789abcdef0123456789abcdef0123456",
         "NIMBROVATOR_STORM_KEY"},
        {"-DNIMBROVATOR_STORM_KEY=0123456789abcdef0123456789abcdef0123456g",
         "NIMBROVATOR_STORM_KEY"},
        {"-DNIMBROVATOR_WEATHER_KEY=7C41E09B2D5F8A63B0E9D4C7A1F25E86", "NIMBROVATOR_WEATHER_KEY"},
        {"-DNIMBROVATOR_WEATHER_KEY=7c41e09b2d5f8a63b0e9d4c7a1f25e8", "NIMBROVATOR_WEATHER_KEY"},
    };
    for (const auto& c : cases) {
        TempDir build;
        std::string output;
        const int status = run_command("cmake -S " PROJECT_SOURCE_DIR " -B " + build.path +
                                           " -DBUILD_TESTING=OFF " + c.option,
                                       output);
        EXPECT_NE(status, 0) << c.option;
        EXPECT_NE(output.find(c.message), std::string::npos) << output;
    }
}

// The user units go where the user's service manager looks for a prefix in the home directory.
TEST(Build, InstallsTheProgramItsManualPageAndTheUserUnit) {
    TempDir home;
    const struct {
        std::string prefix;
        std::string unit_dir;
    } cases[] = {
        {home.path + "/.local", "/share/systemd/user"},
        {home.path, "/share/systemd/user"},
        {home.path + "-other/usr", "/lib/systemd/user"},
    };
    for (const auto& c : cases) {
        std::string output;
        ASSERT_EQ(run_command("HOME=" + home.path +
                                  "/ cmake --install " PROJECT_BINARY_DIR " --prefix " + c.prefix,
                              output),
                  0)
            << output;
        EXPECT_GT(read_file(c.prefix + "/bin/nimbrovator").size(), 10000u);
        EXPECT_NE(read_file(c.prefix + "/share/man/man1/nimbrovator.1").find(".TH NIMBROVATOR 1"),
                  std::string::npos);
        const std::string other =
            c.unit_dir == "/lib/systemd/user" ? "/share/systemd/user" : "/lib/systemd/user";
        for (const auto& [unit, watches] :
             {std::pair<std::string, std::string>{"nimbrovator@.service", "%I"},
              {"nimbrovator-place@.service", "--place %I"},
              {"nimbrovator-places.service", "--all-places"}}) {
            EXPECT_NE(
                read_file(c.prefix + c.unit_dir + "/" + unit)
                    .find("ExecStart=" + c.prefix + "/bin/nimbrovator --watch " + watches + "\n"),
                std::string::npos)
                << c.prefix << " " << unit;
            EXPECT_EQ(read_file(c.prefix + other + "/" + unit), "") << c.prefix;
        }
    }
    std::string output;
    run_command("rm -rf '" + home.path + "-other'", output);
}

} // namespace
