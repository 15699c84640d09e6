// Settling the town and its coordinates, against a local fake storm service.
#include "fake_storm_service.h"
#include "state/run_context.h"
#include "state/run_state.h"
#include "store/database.h"
#include "storm/storm_client.h"
#include "storm/town_lookup.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iostream>
#include <sstream>

namespace {

const std::string y_tag = "<y xsi:type=\"xsd:float\">";
const std::string x_tag = "<x xsi:type=\"xsd:float\">";

std::string town_markup(const std::string& y, const std::string& x) {
    return y_tag + y + "</y>" + x_tag + x + "</x>";
}

fake_storm_reply town_reply(const std::string& y, const std::string& x) {
    fake_storm_reply reply;
    reply.body =
        soap_reply("miejscowosc", soap_return("ns2:MyComplexTypeMiejscowosc", town_markup(y, x)));
    return reply;
}

// The value of the nazwa element of a request body.
std::string sent_name(const fake_storm_request& request) {
    const std::string open = "<nazwa xsi:type=\"xsd:string\">";
    const std::size_t start = request.body.find(open);
    if (start == std::string::npos) {
        return "<none>";
    }
    const std::size_t end = request.body.find("</nazwa>", start);
    return request.body.substr(start + open.size(), end - start - open.size());
}

class TownLookupTest : public ::testing::Test {
  protected:
    TempDir dir;
    fake_storm_service_handle service =
        start_fake_storm_service(TEST_PKI_DIR "/server.pem", TEST_PKI_DIR "/server.key");
    settings_snapshot settings{"0", "0", "0"}; // no weather reports
    std::istringstream input;
    std::ostringstream output;
    std::streambuf* saved_in = nullptr;
    std::streambuf* saved_out = nullptr;

    void SetUp() override {
        ASSERT_TRUE(service);
        use_fake_service(std::chrono::milliseconds(10));
        const std::string db = dir.path + "/zagrozenia_pogodowe.db";
        g_db_path = db;
        init_database(g_db_path);
        g_town.clear();
        g_y_coord.clear();
        g_x_coord.clear();
        saved_in = std::cin.rdbuf(input.rdbuf());
        saved_out = std::cout.rdbuf(output.rdbuf());
        std::cin.clear();
    }
    // The fake service, asked again for the same town after `pause`.
    void use_fake_service(std::chrono::milliseconds pause) {
        storm_service_settings settings = built_in_storm_service();
        settings.endpoint_url = fake_storm_endpoint(*service);
        settings.ca_file = TEST_PKI_DIR "/ca.pem";
        settings.lookup_retry_pause = pause;
        use_storm_service(settings);
    }
    void TearDown() override {
        close_storm_connection();
        use_storm_service(built_in_storm_service());
        std::cin.rdbuf(saved_in);
        std::cout.rdbuf(saved_out);
        std::cin.clear();
    }

    void type(const std::string& lines) { input.str(lines); }
    std::vector<fake_storm_request> requests() const { return fake_storm_requests(*service); }
    std::string looking_up(const std::string& key) const {
        return "Brak miejscowości " + key +
               " w bazie danych!\nPobieram współrzędne "
               "miejscowości z serwera " +
               storm_host() + "...\n";
    }
    std::string unknown_town() const {
        return "Na serwerze " + storm_host() + " brak danych o tej miejscowości.\n";
    }
};

TEST_F(TownLookupTest, NewTownIsFetchedNormalisedAndCached) {
    set_fake_storm_reply(*service, town_reply("50.06", "19.94"));
    EXPECT_EQ(get_town(settings, "zielona góra", 0), 0);
    EXPECT_EQ(output.str(), looking_up("Zielona Góra") +
                                "Pobrałem współrzędne.\nDodałem miejscowość do bazy danych!\n");
    EXPECT_EQ(g_town, "Zielona Góra");
    EXPECT_EQ(g_typed_town, "zielona góra");
    EXPECT_EQ(g_y_coord, "50.06");
    EXPECT_EQ(g_x_coord, "19.94");
    EXPECT_EQ(g_search_radius, 25);
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_EQ(sent_name(requests()[0]), "Zielona Góra");

    std::string y, x;
    ASSERT_EQ(find_cached_town(g_db_path, "Zielona Góra", y, x), 0);
    EXPECT_EQ(y, "50.06");
    EXPECT_EQ(x, "19.94");
}

TEST_F(TownLookupTest, CachedTownMakesNoCall) {
    insert_cached_town(g_db_path, "Kraków", "50.0614", "19.9366");
    EXPECT_EQ(get_town(settings, "KRAKÓW", 30), 0);
    EXPECT_EQ(output.str(), "Miejscowość Kraków jest w bazie danych!\n");
    EXPECT_EQ(g_y_coord, "50.0614");
    EXPECT_EQ(g_search_radius, 30);
    EXPECT_TRUE(requests().empty());
}

TEST_F(TownLookupTest, UnknownTownAsksForAnotherEvenAfterACommandLineTown) {
    set_fake_storm_handler(*service, [](const fake_storm_request& request) {
        return sent_name(request) == "Kraków" ? town_reply("50.0614", "19.9366")
                                              : town_reply("0", "0");
    });
    type("kraków\n");
    EXPECT_EQ(get_town(settings, "Atlantyda", 40), 0);
    EXPECT_EQ(output.str(), looking_up("Atlantyda") + unknown_town() +
                                "\nPodaj nazwę miejscowości: " + looking_up("Kraków") +
                                "Pobrałem współrzędne.\nDodałem miejscowość do bazy danych!\n");
    EXPECT_EQ(g_search_radius, 40) << "no radius prompt after a command-line town";
    EXPECT_EQ(g_typed_town, "kraków");
    std::string y, x;
    EXPECT_EQ(find_cached_town(g_db_path, "Atlantyda", y, x), 1) << "an unknown town is not cached";
}

TEST_F(TownLookupTest, OneZeroCoordinateIsATownWithoutData) {
    set_fake_storm_handler(*service, [](const fake_storm_request& request) {
        return sent_name(request) == "Kraków" ? town_reply("50.0614", "19.9366")
                                              : town_reply("52.1", "0");
    });
    type("Kraków\n");
    EXPECT_EQ(get_town(settings, "Gdzieś", 0), 0);
    EXPECT_EQ(
        output.str().find(looking_up("Gdzieś") + unknown_town() + "\nPodaj nazwę miejscowości: "),
        0u)
        << output.str();
    std::string y, x;
    EXPECT_EQ(find_cached_town(g_db_path, "Gdzieś", y, x), 1);
}

TEST_F(TownLookupTest, InteractivePromptsRejectBadLines) {
    set_fake_storm_reply(*service, town_reply("50.0614", "19.9366"));
    const std::string forty_one(41, 'a');
    const std::string twenty_one_polish = "żółćżółćżółćżółćżółćż"; // 21 letters, 42 bytes
    type("\n" + forty_one + "\n" + twenty_one_polish +
         "\nkraków\n4\n101\n-5\n50 km\nabc\n 50\n"
         "12345678901\n007\n");
    EXPECT_EQ(get_town(settings, "", 0), 0);
    const std::string town_prompt = "\nPodaj nazwę miejscowości: ";
    const std::string radius_prompt = "Podaj promień (5-100 km, ENTER = 25 km): ";
    std::string expected;
    for (int i = 0; i < 4; ++i) {
        expected += town_prompt;
    }
    for (int i = 0; i < 8; ++i) {
        expected += radius_prompt;
    }
    expected += looking_up("Kraków");
    EXPECT_EQ(output.str().rfind(expected, 0), 0u) << output.str();
    EXPECT_EQ(g_search_radius, 7);
}

TEST_F(TownLookupTest, InteractiveRadiusBoundsAndDefault) {
    const struct {
        const char* line;
        int radius;
    } cases[] = {{"", 25}, {"5", 5}, {"100", 100}, {"0050", 50}};
    insert_cached_town(g_db_path, "Kraków", "50.0614", "19.9366");
    for (const auto& c : cases) {
        type(std::string("Kraków\n") + c.line + "\n");
        std::cin.clear();
        EXPECT_EQ(get_town(settings, "", 0), 0);
        EXPECT_EQ(g_search_radius, c.radius) << c.line;
    }
    // Forty bytes exactly are accepted as a name.
    const std::string forty = "żółćżółćżółćżółćżółć"; // 20 letters, 40 bytes
    ASSERT_EQ(forty.size(), 40u);
    set_fake_storm_reply(*service, town_reply("1.5", "2.5"));
    type(forty + "\n\n");
    std::cin.clear();
    EXPECT_EQ(get_town(settings, "", 0), 0);
    EXPECT_EQ(g_town, "Żółćżółćżółćżółćżółć");
}

TEST_F(TownLookupTest, ServiceFailureIsRetriedAFewTimesThenGivenUp) {
    set_fake_storm_reply(*service, soap_fault_reply("SOAP-ENV:Server", "Nieprawidłowy klucz"));
    testing::internal::CaptureStderr();
    use_fake_service(std::chrono::milliseconds(300));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(get_town(settings, "Kraków", 0), 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(600))
        << "the calls are spaced by the pause";
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(requests().size(), 3u);
    EXPECT_EQ(output.str(), looking_up("Kraków") + looking_up("Kraków") + looking_up("Kraków") +
                                "Nie udało się pobrać współrzędnych miejscowości z serwera " +
                                storm_host() + ".\n");
    // The interactive lookup shows the SOAP runtime's own report of each failed call.
    EXPECT_NE(err.find("Nieprawidłowy klucz"), std::string::npos) << err;
}

TEST_F(TownLookupTest, RepliesWithoutUsableCoordinatesAreNeverCached) {
    const std::string bodies[] = {
        y_tag + "50.06</y>",                       // no x element
        x_tag + "19.94</x>" + y_tag + "50.06</y>", // x before y
        town_markup("50,06", "19.94"),             // not a decimal number
        town_markup("", "19.94"),
        "<y xsi:type=\"xsd:string\">50.06</y>" + x_tag + "19.94</x>",
    };
    for (const std::string& body : bodies) {
        fake_storm_reply reply;
        reply.body = soap_reply("miejscowosc", soap_return("ns2:MyComplexTypeMiejscowosc", body));
        set_fake_storm_reply(*service, reply);
        EXPECT_EQ(get_town(settings, "Kraków", 0), 1) << body;
    }
    std::string y, x;
    EXPECT_EQ(find_cached_town(g_db_path, "Kraków", y, x), 1);
}

TEST_F(TownLookupTest, EndOfInputEndsTheLookup) {
    testing::internal::CaptureStderr();
    type("");
    EXPECT_EQ(get_town(settings, "", 0), 1);
    type("Kraków\n");
    std::cin.clear();
    EXPECT_EQ(get_town(settings, "", 0), 1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Koniec danych wejściowych: nie podano nazwy miejscowości.\n"
                   "Koniec danych wejściowych: nie podano promienia.\n");
    EXPECT_TRUE(requests().empty());
}

// Runs that start together for a town not yet cached (status bars after a change of town) send
// one lookup between them; each gets the coordinates and the town is added once.
TEST_F(TownLookupTest, SimultaneousLookupsOfANewTownShareOneRequest) {
    fake_storm_reply reply = town_reply("51.7592", "19.4560");
    reply.delay_ms = 500; // long enough for every run to be under way before the reply
    set_fake_storm_reply(*service, reply);
    // Every run is forked before any of them starts: a run forked while the service's threads
    // answer another could inherit a lock one of them holds, and never get it.
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    std::vector<pid_t> runs;
    for (int i = 0; i < 30; ++i) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(gate[1]);
            char byte = 0;
            if (read(gate[0], &byte, 1) != 0) { // the parent closes its end: end of file
                _exit(2);
            }
            const town_answer answer = look_up_town(g_db_path, "łódź");
            _exit(answer.status == town_status::found && answer.town.y == "51.7592" ? 0 : 1);
        }
        runs.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);
    int found = 0;
    for (const pid_t pid : runs) {
        int status = 0;
        found += waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    EXPECT_EQ(found, 30);
    EXPECT_EQ(requests().size(), 1u);
    std::string y, x;
    EXPECT_EQ(find_cached_town(g_db_path, "Łódź", y, x), 0);
}

TEST(ClampRadius, KeepsFiveToHundred) {
    const std::pair<int, int> cases[] = {{0, 25},    {4, 25},    {5, 5},   {100, 100},
                                         {101, 100}, {500, 100}, {-3, 25}, {30, 30}};
    for (const auto& [given, expected] : cases) {
        EXPECT_EQ(clamp_radius(given), expected) << given;
    }
}

TEST(ExtractCoordinates, TakesTheTextsUnchanged) {
    const auto found = extract_coordinates("\n  " + town_markup("50.0614", "-19.9366") + " ");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->y, "50.0614");
    EXPECT_EQ(found->x, "-19.9366");
    const auto zero = extract_coordinates(town_markup("0", "0"));
    ASSERT_TRUE(zero);
    EXPECT_EQ(zero->y, "0");
    EXPECT_FALSE(extract_coordinates(""));
    EXPECT_FALSE(extract_coordinates(y_tag + "50.06")); // no closing tag, no x
    EXPECT_FALSE(extract_coordinates(town_markup("50.", "1")));
    EXPECT_FALSE(extract_coordinates(town_markup("1e5", "1")));
}

} // namespace
