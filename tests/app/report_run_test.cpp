// Whole runs of the program against local fake storm and weather services on this test
// process's ports, given to the program at run time. The program must trust the test
// certificate authority (as ./scripts/test builds it).
#include "fake_storm_service.h"
#include "fake_weather_service.h"
#include "support/run_program.h"
#include "support/schema_check.h"
#include "support/service_ports.h"
#include "support/temp_dir.h"

#include "nimbrovator_config.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

namespace {

// The port of a configured "HOST:PORT" when HOST is the wanted one, else 0.
const int storm_port = test_storm_port();
const int weather_port = test_weather_port();
const bool configured_for_tests = storm_port > 0 && weather_port > 0 &&
                                  std::string(NIMBROVATOR_STORM_CA_FILE) == TEST_PKI_DIR "/ca.pem";

const std::string storm_host = test_storm_host();
const std::string weather_host = test_weather_host();

std::string element(const std::string& name, const std::string& type, const std::string& value) {
    return "<" + name + " xsi:type=\"xsd:" + type + "\">" + value + "</" + name + ">";
}

std::string warnings_markup(const std::string& levels) {
    const char* names[] = {"mroz", "upal", "wiatr", "opad", "burza", "traba"};
    std::string markup;
    for (int i = 0; i < 6; ++i) {
        markup += element(names[i], "int", std::string(1, levels[i]));
    }
    return markup;
}

std::string nazwa_of(const fake_storm_request& request) {
    const std::string open = "<nazwa xsi:type=\"xsd:string\">";
    const std::size_t at = request.body.find(open);
    if (at == std::string::npos) {
        return "";
    }
    return request.body.substr(at + open.size(),
                               request.body.find("</nazwa>", at) - at - open.size());
}

// The storm service as the tests want it: Kraków known, other towns unknown, three strikes.
// Unknown towns get `zero` for both coordinates.
fake_storm_reply answer_storm(const fake_storm_request& request, const std::string& warnings,
                              bool lightning_fails, const std::string& zero = "0") {
    const std::string operation = soap_operation(request);
    fake_storm_reply reply;
    if (operation == "miejscowosc") {
        const bool known = nazwa_of(request) == "Kraków" || nazwa_of(request) == "Łódź";
        reply.body =
            soap_reply(operation, soap_return("ns2:MyComplexTypeMiejscowosc",
                                              element("y", "float", known ? "50.0614" : zero) +
                                                  element("x", "float", known ? "19.9366" : zero)));
    } else if (operation == "ostrzezenia_pogodowe") {
        reply.body = soap_reply(
            operation, soap_return("ns2:MyComplexTypeOstrzezenia", warnings_markup(warnings)));
    } else if (operation == "szukaj_burzy" && !lightning_fails) {
        reply.body = soap_reply(operation, burza_return(3, "12.3", "NE", 15));
    } else {
        return soap_fault_reply("SOAP-ENV:Server", "Usługa chwilowo niedostępna");
    }
    return reply;
}

class ReportRunTest : public ::testing::Test {
  protected:
    TempDir data;
    fake_storm_service_handle storm;
    fake_weather_service_handle weather_service;
    std::string warnings = "000000";
    std::string forecast_body;
    bool lightning_fails = false;
    std::string zero = "0";

    void SetUp() override {
        if (!configured_for_tests) {
            GTEST_SKIP() << "the program is not built to trust the test certificate authority";
        }
        storm = start_fake_storm_service(TEST_PKI_DIR "/server.pem", TEST_PKI_DIR "/server.key",
                                         storm_port);
        ASSERT_TRUE(storm) << "port " << storm_port << " is busy";
        set_fake_storm_handler(*storm, [this](const fake_storm_request& request) {
            return answer_storm(request, warnings, lightning_fails, zero);
        });
        weather_service = start_fake_weather_service(weather_port);
        ASSERT_TRUE(weather_service) << "port " << weather_port << " is busy";
        fake_reply current;
        current.body = json_text(full_current_weather());
        set_fake_reply(*weather_service, current_weather_endpoint, current);
        // The second day has no description: the first day's is carried over.
        Json::Value second_day = forecast_day(1494158400, -3.5, -1.0, 80, 1020, 0, "");
        second_day.removeMember("weather");
        fake_reply forecast;
        forecast.body = json_text(daily_forecast(
            {forecast_day(1494072000, 12.3, 20.1, 55, 1012, 4.6 / 3.6, "Bezchmurnie"),
             second_day}));
        forecast_body = forecast.body;
        set_fake_reply(*weather_service, daily_forecast_endpoint, forecast);
    }

    ProgramResult run(std::vector<std::string> args, std::string input = "",
                      std::vector<std::string> environment = {}) {
        ProgramRun run;
        run.args = std::move(args);
        run.input = std::move(input);
        run.data_dir = data.path;
        run.environment = std::move(environment);
        run.environment.push_back("TZ=UTC");
        return run_nimbrovator(run);
    }

    int storm_calls(const std::string& operation) const {
        int count = 0;
        for (const fake_storm_request& request : fake_storm_requests(*storm)) {
            count += soap_operation(request) == operation ? 1 : 0;
        }
        return count;
    }

    void first_run_done() { ASSERT_EQ(run({"-h"}, "\n").exit_code, 0); }
    void weather_reports_off() { ASSERT_EQ(run({"-s"}, "n\nn\n").exit_code, 0); }
};

const std::string current_weather_report =
    "Pobieram aktualną pogodę z serwera " + weather_host +
    "...\n"
    "\nCzas pomiaru: 2017.05.06 godz. 14:30\n"
    "Temperatura 18.3°C, wilgotność 55%, ciśnienie atm. 1012 hPa, wiatr 12.96 km/h, \n"
    "w porywach do 25.92 km/h, zachodni, zachmurzenie 40 %, bezchmurnie.\n";

const std::string forecast_report =
    "\nPobieram prognozę pogody z serwera " + weather_host +
    "...\n"
    "(data, temperatura, wilgotność, ciśnienie, wiatr, deszcz, pogoda)\n"
    "2017.05.06 12.3-20.1°C, 55%, 1012 hPa, 4.6 km/h, 0 mm/3h, bezchmurnie\n"
    "2017.05.07 -3.5--1.0°C, 80%, 1020 hPa, 0 mm/3h, bezchmurnie\n";

const std::string lightning_answer =
    "\nZarejestrowano 3 doziemne wyładowania atmosferyczne w ciągu ostatnich 15 minut w "
    "promieniu 30 km od miejscowości Kraków. \n\nNajbliższe wyładowanie w odległości 12.3 km "
    "na północny wschód.\n";

const std::string no_warnings =
    "\nBrak ostrzeżeń dla punktu Kraków o współrzędnych (50.0614 N, 19.9366 E).\n";

TEST_F(ReportRunTest, FirstRunFetchesCachesAndAnswersThenTheCacheServes) {
    first_run_done();
    const ProgramResult first = run({"kraków", "30"});
    EXPECT_EQ(first.exit_code, 0) << first.err;
    const std::size_t after_banner = first.out.rfind(std::string(80, '#'));
    ASSERT_NE(after_banner, std::string::npos);
    EXPECT_EQ(first.out.substr(after_banner + 80), "Brak miejscowości Kraków w bazie danych!\n"
                                                   "Pobieram współrzędne miejscowości z serwera " +
                                                       storm_host + "...\nPobrałem współrzędne.\n" +
                                                       current_weather_report + forecast_report +
                                                       "Dodałem miejscowość do bazy danych!\n" +
                                                       no_warnings + lightning_answer);
    EXPECT_EQ(first.err, "");
    EXPECT_EQ(storm_calls("miejscowosc"), 1);

    const ProgramResult second = run({"Kraków", "30"});
    EXPECT_EQ(second.exit_code, 0);
    EXPECT_NE(second.out.find(std::string(80, '#') + "Miejscowość Kraków jest w bazie danych!\n" +
                              current_weather_report + forecast_report + no_warnings +
                              lightning_answer),
              std::string::npos)
        << second.out;
    EXPECT_EQ(storm_calls("miejscowosc"), 1) << "the second run uses the cache";
    EXPECT_EQ(storm_calls("szukaj_burzy"), 2);
}

TEST_F(ReportRunTest, WeatherReportsRunForARejectedTownBeforeTheNextPrompt) {
    first_run_done();
    const ProgramResult result = run({"Atlantyda", "30"}, "Kraków\n");
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_NE(result.out.find("Na serwerze " + storm_host + " brak danych o tej miejscowości.\n" +
                              current_weather_report + forecast_report +
                              "\nPodaj nazwę miejscowości: Brak miejscowości Kraków"),
              std::string::npos)
        << result.out;
    const std::vector<std::string> asked = recorded_requests(*weather_service);
    ASSERT_GE(asked.size(), 2u);
    EXPECT_NE(asked[0].find("q=Atlantyda&"), std::string::npos) << asked[0];
}

TEST_F(ReportRunTest, WarningsAreReportedBeforeTheLightning) {
    first_run_done();
    weather_reports_off();
    warnings = "300010";
    const ProgramResult result = run({"Kraków", "30"});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_NE(result.out.find("Dodałem miejscowość do bazy danych!\n"
                              "\nWydano ostrzeżenia dla punktu Kraków o współrzędnych (50.0614 N, "
                              "19.9366 E):\n\nMRÓZ: 3 stopień zagrożenia (poniżej -30°C)\n"
                              "BURZA: 1 stopień zagrożenia (deszcz od 15 do 40 mm, wiatr w "
                              "porywach od 60 do 90 km/h, grad poniżej 2 cm)\n" +
                              lightning_answer),
              std::string::npos)
        << result.out;
    EXPECT_EQ(endpoint_hits(*weather_service, current_weather_endpoint), 0);
}

TEST_F(ReportRunTest, ARunWithoutTheLightningAnswerExitsWithOne) {
    first_run_done();
    weather_reports_off();
    lightning_fails = true;
    const ProgramResult result = run({"Kraków"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.out.find(no_warnings), std::string::npos);
    EXPECT_EQ(result.out.find("Zarejestrowano"), std::string::npos);
    EXPECT_NE(result.err.find("Usługa chwilowo niedostępna"), std::string::npos) << result.err;
}

TEST_F(ReportRunTest, FaultTextsOfEveryReportReachTheTerminalWithoutControls) {
    first_run_done();
    set_fake_storm_handler(*storm, [](const fake_storm_request&) {
        return soap_fault_reply("SOAP-ENV:Server", "\x1B[2Jawaria\xC2\x9B");
    });
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"Kraków"}, std::vector<std::string>{"--line", "Kraków"}}) {
        const ProgramResult result = run(args);
        EXPECT_NE(result.err.find("[2Jawaria"), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find('\x1B'), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find("\xC2\x9B"), std::string::npos) << result.err;
    }
}

TEST_F(ReportRunTest, InteractiveRunWithoutPolishLocales) {
    first_run_done();
    weather_reports_off();
    const ProgramResult result =
        run({}, "\nłódź\n250\n30\n",
            {"LOCPATH=" + std::string(PROJECT_BINARY_DIR) + "/test-locales-c-only"});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_NE(result.out.find(std::string(80, '#') +
                              "\nPodaj nazwę miejscowości: \nPodaj nazwę miejscowości: "
                              "Podaj promień (5-100 km, ENTER = 25 km): "
                              "Podaj promień (5-100 km, ENTER = 25 km): "
                              "Brak miejscowości Łódź w bazie danych!\n"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("w promieniu 30 km od miejscowości Łódź. \n"), std::string::npos);
}

TEST_F(ReportRunTest, EndOfInputAtTheTownPromptEndsTheRun) {
    first_run_done();
    const ProgramResult result = run({});
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.err, "Koniec danych wejściowych: nie podano nazwy miejscowości.\n");
    EXPECT_TRUE(fake_storm_requests(*storm).empty());
}

// Holds every request until `expected` requests have arrived (at most 5 s), then lets them
// answer one by one in the order given: proof that they were all under way at once.
struct Rendezvous {
    std::vector<std::string> answer_order;
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t arrived = 0;
    std::size_t answered = 0;
    bool all_met = true;

    void pass(const std::string& name) {
        std::unique_lock<std::mutex> lock(mutex);
        ++arrived;
        changed.notify_all();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        all_met = changed.wait_until(lock, deadline, [&] {
            return arrived >= answer_order.size();
        }) && all_met;
        changed.wait_until(lock, deadline, [&] {
            return answered < answer_order.size() && answer_order[answered] == name;
        });
        ++answered;
        changed.notify_all();
    }
};

TEST_F(ReportRunTest, ACachedTownAsksForAllFourAtOnceAndPrintsInItsOwnOrder) {
    first_run_done();
    ASSERT_EQ(run({"Kraków", "30"}).exit_code, 0);
    Rendezvous meeting;
    meeting.answer_order = {"szukaj_burzy", "forecast", "ostrzezenia_pogodowe", "weather"};
    set_fake_storm_handler(*storm, [&](const fake_storm_request& request) {
        meeting.pass(soap_operation(request));
        return answer_storm(request, warnings, false);
    });
    for (const auto& [path, name] :
         {std::pair<const char*, const char*>{current_weather_endpoint, "weather"},
          {daily_forecast_endpoint, "forecast"}}) {
        const std::string body =
            path == current_weather_endpoint ? json_text(full_current_weather()) : forecast_body;
        set_fake_handler(
            *weather_service, path,
            [&meeting, body, name = std::string(name)](const std::string&, const std::string&) {
                meeting.pass(name);
                fake_reply reply;
                reply.body = body;
                return reply;
            });
    }
    const ProgramResult result = run({"Kraków", "30"});
    EXPECT_TRUE(meeting.all_met) << "the four requests were not all under way at once";
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_NE(result.out.find(std::string(80, '#') + "Miejscowość Kraków jest w bazie danych!\n" +
                              current_weather_report + forecast_report + no_warnings +
                              lightning_answer),
              std::string::npos)
        << result.out;
}

// The machine-readable forms: one document or line on standard output, nothing asked.
Json::Value parsed(const std::string& text) {
    Json::Value document;
    Json::Reader reader;
    EXPECT_TRUE(reader.parse(text, document)) << text;
    return document;
}

TEST_F(ReportRunTest, JsonAndLineFormsGiveTheFactsOfTheTextReport) {
    warnings = "000210";
    const ProgramResult json = run({"--json", "kraków", "30"});
    EXPECT_EQ(json.exit_code, 0) << json.err;
    EXPECT_EQ(json.err, "");
    EXPECT_EQ(json.out.find('\n'), json.out.size() - 1) << "one line: " << json.out;
    EXPECT_EQ(report_schema_violations(json.out), "");
    const Json::Value document = parsed(json.out);
    EXPECT_EQ(document["town"]["name"], "Kraków");
    EXPECT_EQ(document["town"]["query"], "kraków");
    EXPECT_EQ(document["town"]["from_cache"], false);
    EXPECT_EQ(document["lightning"]["strikes"], 3);
    EXPECT_EQ(document["lightning"]["direction"], "NE");
    EXPECT_EQ(document["warnings"]["hazards"][4]["level"], 1);
    EXPECT_EQ(document["current_weather"]["temperature_c"].asDouble(), 18.3);
    EXPECT_EQ(document["forecast"]["days"].size(), 2u);

    const ProgramResult line = run({"--line", "Kraków", "30"}, "", {"LC_ALL=C.UTF-8"});
    EXPECT_EQ(line.exit_code, 0) << line.err;
    EXPECT_EQ(line.out, "Kraków: 3 wyładowania w 30 km, najbliższe 12.3 km NE | opad 2, "
                        "burza 1 | 18.3°C\n");
    // A place of the configuration file goes by its name, its town in the document; what the
    // command line gives wins over the place's own, and a ring wider than the default radius
    // fits the place's.
    mkdir((data.path + "/nimbrovator").c_str(), 0700);
    write_file(data.path + "/nimbrovator/config", "[place Działka]\ntown = Kraków\nradius = 30\n");
    const std::vector<std::string> places = {"LC_ALL=C.UTF-8", "XDG_CONFIG_HOME=" + data.path};
    const ProgramResult place = run({"--line", "--place", "Działka", "40"}, "", places);
    EXPECT_EQ(place.out, "Działka: 3 wyładowania w 40 km, najbliższe 12.3 km NE | opad 2, "
                         "burza 1 | 18.3°C\n")
        << place.err;
    const ProgramResult place_json =
        run({"--json", "--danger-km", "28", "--place", "Działka"}, "", places);
    EXPECT_EQ(place_json.exit_code, 0) << place_json.err;
    EXPECT_EQ(report_schema_violations(place_json.out), "");
    EXPECT_EQ(parsed(place_json.out)["place"], "Działka");
    EXPECT_EQ(storm_calls("miejscowosc"), 1) << "the second run takes the town from the cache";
    EXPECT_EQ(parsed(run({"--json", "Kraków"}).out)["town"]["from_cache"], true);
    EXPECT_EQ(run({"-h"}, "\n").out.rfind("Co nowego", 0), std::string::npos)
        << "the machine forms leave the first-run screen to the first interactive run";
}

// What the storm service cannot mean is no data in the newer forms: the check is made where the
// record is gathered, so no form shows a forged line or an impossible distance.
TEST_F(ReportRunTest, AForgedDirectionAndAnImpossibleDistanceAreNoData) {
    weather_reports_off();
    set_fake_storm_handler(*storm, [this](const fake_storm_request& request) {
        if (soap_operation(request) != "szukaj_burzy") {
            return answer_storm(request, warnings, false);
        }
        fake_storm_reply reply;
        reply.body = soap_reply("szukaj_burzy",
                                burza_return(3, "-5", "NE\n12:00:00 *** BURZA: fake ***", 15));
        return reply;
    });
    const ProgramResult line = run({"--line", "Kraków", "30"}, "", {"LC_ALL=C.UTF-8"});
    EXPECT_EQ(line.exit_code, 0) << line.err;
    EXPECT_EQ(line.out, "Kraków: 3 wyładowania w 30 km | bez ostrzeżeń\n");
    const Json::Value lightning = parsed(run({"--json", "Kraków", "30"}).out)["lightning"];
    EXPECT_EQ(lightning["strikes"], 3);
    EXPECT_TRUE(lightning["nearest_km"].isNull());
    EXPECT_TRUE(lightning["direction"].isNull());
}

// The weather over HTTPS: with a certificate of the trusted CA for its host the reports arrive as
// over plain HTTP, by the same path and query; with any other certificate no request is sent (the
// key never leaves) and the reports fail with their usual messages, which name the host.
TEST_F(ReportRunTest, WeatherOverHttpsNeedsATrustedCertificateForItsHost) {
    first_run_done();
    for (const std::string cert :
         {"server", "other-server", "wrong-host-server", "expired-server"}) {
        SCOPED_TRACE(cert);
        fake_weather_service_handle tls = start_fake_weather_service_tls(
            TEST_PKI_DIR "/" + cert + ".pem", TEST_PKI_DIR "/" + cert + ".key");
        ASSERT_TRUE(tls);
        fake_reply current;
        current.body = json_text(full_current_weather());
        set_fake_reply(*tls, current_weather_endpoint, current);
        const std::string host = "localhost:" + std::to_string(fake_service_port(*tls));
        const std::vector<std::string> environment = {"NIMBROVATOR_WEATHER_HOST=https://" + host,
                                                      "NIMBROVATOR_WEATHER_CA_FILE=" TEST_PKI_DIR
                                                      "/ca.pem"};
        const ProgramResult classic = run({"Kraków", "30"}, "", environment);
        const ProgramResult json = run({"--json", "Kraków", "30"}, "", environment);
        EXPECT_EQ(report_schema_violations(json.out), "");
        const Json::Value document = parsed(json.out);
        const std::string fetching = "Pobieram aktualną pogodę z serwera " + host + "...\n";
        if (cert == "server") {
            EXPECT_NE(classic.out.find(fetching + "\nCzas pomiaru: 2017.05.06 godz. 14:30\n"),
                      std::string::npos)
                << classic.out;
            EXPECT_EQ(document["current_weather"]["temperature_c"].asDouble(), 18.3);
            const std::vector<std::string> asked = recorded_requests(*tls);
            EXPECT_NE(std::find(asked.begin(), asked.end(),
                                "/data/2.5/weather?q=Krak%C3%B3w&units=metric&lang=pl&APPID=" +
                                    std::string(NIMBROVATOR_WEATHER_KEY)),
                      asked.end());
            continue;
        }
        EXPECT_NE(classic.out.find(fetching + "Odebrałem nieprawidłowe dane z serwera, spróbuj "
                                              "ponownie!\n"),
                  std::string::npos)
            << classic.out;
        EXPECT_TRUE(document["current_weather"].isNull());
        ASSERT_GE(document["errors"].size(), 1u);
        EXPECT_EQ(document["errors"][0]["source"], "weather");
        // The certificate's fault is named, in the words of the TLS library.
        const std::string message = document["errors"][0]["message"].asString();
        EXPECT_EQ(message.rfind("Nie udało się połączyć z serwerem " + host +
                                    ": certyfikat serwera niezaufany (SSL",
                                0),
                  0u)
            << message;
        EXPECT_EQ(recorded_requests(*tls), std::vector<std::string>()) << "the key was sent";
    }
}

// An unknown town ends with a status of its own: asking again will not find it.
TEST_F(ReportRunTest, MachineFormsSayWhatFailedAndExitWithOne) {
    weather_reports_off();
    struct Case {
        const char* name;
        std::vector<std::string> args;
        bool lightning_fails;
        std::string line;
        const char* failed_source;
        int status;
        std::vector<std::string> environment = {};
    };
    const Case cases[] = {
        {"unknown town",
         {"--line", "Atlantyda"},
         false,
         "Atlantyda: nieznana miejscowość\n",
         "town",
         4},
        {"lightning fails",
         {"--line", "Kraków"},
         true,
         "Kraków: brak danych o wyładowaniach | bez ostrzeżeń\n",
         "lightning",
         1},
        {"storm service refuses connections",
         {"--line", "Gdańsk"},
         false,
         "Gdańsk: brak współrzędnych miejscowości\n",
         "town",
         1,
         {"NIMBROVATOR_STORM_HOST=127.0.0.1:1"}},
    };
    for (const Case& c : cases) {
        lightning_fails = c.lightning_fails;
        std::vector<std::string> environment = c.environment;
        environment.push_back("LC_ALL=C.UTF-8");
        const ProgramResult line = run(c.args, "", environment);
        EXPECT_EQ(line.exit_code, c.status) << c.name;
        EXPECT_EQ(line.out, c.line) << c.name;
        // One line a failure, in Polish, naming the host: not the SOAP runtime's own report.
        for (const char* runtime_words : {"SOAP", "tcp_connect", "Detail"}) {
            EXPECT_EQ(line.err.find(runtime_words), std::string::npos) << line.err;
        }
        std::vector<std::string> json_args = c.args;
        json_args[0] = "--json";
        const ProgramResult json = run(json_args, "", c.environment);
        EXPECT_EQ(json.exit_code, c.status) << c.name;
        EXPECT_EQ(report_schema_violations(json.out), "") << c.name;
        const Json::Value document = parsed(json.out);
        EXPECT_TRUE(document["lightning"].isNull()) << c.name;
        EXPECT_FALSE(document.isMember("current_weather")) << "weather is off: " << c.name;
        ASSERT_EQ(document["errors"].size(), 1u) << c.name;
        EXPECT_EQ(document["errors"][0]["source"], c.failed_source) << c.name;
        EXPECT_NE(json.err.find(document["errors"][0]["message"].asString()), std::string::npos);
        EXPECT_EQ(lines_of(json.err).size(), 1u) << json.err;
        // A status bar may show standard error in place of the answer: the bar's object says it.
        std::vector<std::string> bar_args = c.args;
        bar_args[0] = "--waybar";
        const ProgramResult bar = run(bar_args, "", c.environment);
        EXPECT_EQ(bar.exit_code, 0) << c.name;
        EXPECT_EQ(bar.err, "") << c.name;
        EXPECT_EQ(parsed(bar.out)["alt"], "error") << bar.out;
    }
    EXPECT_EQ(parsed(run({"--json", "Gdańsk"}, "", {"NIMBROVATOR_STORM_HOST=127.0.0.1:1"})
                         .out)["errors"][0]["message"],
              "Nie udało się pobrać współrzędnych miejscowości z serwera 127.0.0.1:1: połączenie "
              "odrzucone.");
    EXPECT_EQ(endpoint_hits(*weather_service, current_weather_endpoint), 0);
}

// A service that trickles its replies a byte at a time (minutes for one reply) holds a run only
// until its deadline: what was not had by then is reported as failed. The bound below is on a
// hang, far above the deadline; unbounded, these runs take minutes.
TEST_F(ReportRunTest, TheDeadlineEndsARunAgainstATricklingService) {
    const auto trickle_storm = [this] {
        set_fake_storm_handler(*storm, [this](const fake_storm_request& request) {
            fake_storm_reply reply = answer_storm(request, warnings, false);
            reply.trickle_interval_ms = 200;
            return reply;
        });
    };
    const auto trickle_weather = [this] {
        for (const char* endpoint : {current_weather_endpoint, daily_forecast_endpoint}) {
            fake_reply reply;
            reply.body = endpoint == current_weather_endpoint ? json_text(full_current_weather())
                                                              : forecast_body;
            reply.trickle_interval_ms = 200;
            set_fake_reply(*weather_service, endpoint, reply);
        }
    };
    struct Case {
        const char* name;
        std::function<void()> set_up;
        std::vector<std::string> args;
        int status;
        std::vector<std::string> failed; // the sources of the error entries
    };
    const Case cases[] = {
        {"storm trickles, town not cached",
         [&] {
             weather_reports_off();
             trickle_storm();
         },
         {"--json", "--timeout", "2", "Kraków"},
         1,
         {"town"}},
        {"storm trickles, town cached",
         [&] {
             weather_reports_off();
             // The classic run caches the town and keeps no replies.
             ASSERT_EQ(run({"Kraków"}).exit_code, 0);
             trickle_storm();
         },
         {"--json", "--timeout", "1.5", "Kraków"},
         1,
         {"warnings", "lightning"}},
        {"weather trickles",
         [&] {
             first_run_done();
             trickle_weather();
         },
         {"--json", "--timeout", "2", "Łódź"},
         0,
         {"weather", "forecast"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir fresh; // each case in a database of its own, swapped back at the end
        data.path.swap(fresh.path);
        set_fake_storm_handler(*storm, [this](const fake_storm_request& request) {
            return answer_storm(request, warnings, false);
        });
        c.set_up();
        const auto started = std::chrono::steady_clock::now();
        const ProgramResult json = run(c.args);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
        EXPECT_EQ(json.exit_code, c.status) << json.err;
        EXPECT_EQ(report_schema_violations(json.out), "");
        const Json::Value document = parsed(json.out);
        std::vector<std::string> failed;
        for (const Json::Value& error : document["errors"]) {
            failed.push_back(error["source"].asString());
            EXPECT_NE(json.err.find(error["message"].asString()), std::string::npos);
        }
        EXPECT_EQ(failed, c.failed);
        EXPECT_NE(json.err.find("Minął czas na odpowiedź"), std::string::npos) << json.err;
        // The same run as a line: the same bound, the same status.
        std::vector<std::string> line_args = c.args;
        line_args[0] = "--line";
        const auto line_started = std::chrono::steady_clock::now();
        const ProgramResult line = run(line_args, "", {"LC_ALL=C.UTF-8"});
        EXPECT_LT(std::chrono::steady_clock::now() - line_started, std::chrono::seconds(10));
        EXPECT_EQ(line.exit_code, c.status) << line.err;
        EXPECT_EQ(std::count(line.out.begin(), line.out.end(), '\n'), 1) << line.out;
        data.path.swap(fresh.path);
    }
}

TEST_F(ReportRunTest, BadTimeoutsAreUsageErrorsThatAskNothing) {
    const std::vector<std::vector<std::string>> cases = {
        {"--json", "--timeout", "0", "Kraków"},
        {"--json", "--timeout", "-1", "Kraków"},
        {"--line", "--timeout", "pięć", "Kraków"},
        {"--line", "--timeout", "", "Kraków"},
        {"--json", "--timeout", "1e3", "Kraków"},
        {"--json", "--timeout", "86401", "Kraków"},
        {"--waybar", "--timeout", "0", "Kraków"}, // a bar form's usage error is told all the same
        {"--json", "--timeout"},
        {"--timeout", "5", "Kraków"},
        {"--history", "--timeout", "5", "Kraków"},
    };
    for (const std::vector<std::string>& args : cases) {
        const ProgramResult result = run(args);
        EXPECT_EQ(result.exit_code, 2) << args[1] << " " << args.size();
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err.find("--timeout"), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("Spróbuj: nimbrovator --help-all"), std::string::npos)
            << result.err;
    }
    EXPECT_TRUE(fake_storm_requests(*storm).empty());
    EXPECT_TRUE(recorded_requests(*weather_service).empty());
}

TEST_F(ReportRunTest, RepliesOverTheLimitAreSaidToBeTooLarge) {
    const std::string padding(2 * 1024 * 1024, 'a');
    fake_reply huge;
    huge.body = "{\"main\":{\"temp\":1},\"pad\":\"" + padding + "\"}";
    set_fake_reply(*weather_service, current_weather_endpoint, huge);
    set_fake_storm_handler(*storm, [&](const fake_storm_request& request) {
        fake_storm_reply reply = answer_storm(request, warnings, false);
        if (soap_operation(request) == "szukaj_burzy") {
            reply.body = soap_reply("szukaj_burzy", burza_return(1, "3", padding, 10));
        }
        return reply;
    });
    const ProgramResult json = run({"--json", "Kraków", "30"});
    EXPECT_EQ(json.exit_code, 1);
    EXPECT_EQ(report_schema_violations(json.out), "");
    const Json::Value document = parsed(json.out);
    const struct {
        const char* source;
        std::string host;
    } cases[] = {{"lightning", storm_host}, {"weather", weather_host}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        std::string message;
        for (const Json::Value& error : document["errors"]) {
            message = error["source"] == c.source ? error["message"].asString() : message;
        }
        EXPECT_EQ(message, "Odpowiedź serwera " + c.host + " jest za duża (ponad 1 MiB).");
        EXPECT_NE(json.err.find(message), std::string::npos) << json.err;
    }
}

// A database held locked by another process: the run answers without it (no weather, the
// settings unread) and says so once, whatever parts of it met the lock.
TEST_F(ReportRunTest, MachineFormsSayOnceThatTheDatabaseIsLocked) {
    first_run_done();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((data.path + "/zagrozenia_pogodowe.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr), SQLITE_OK);
    const ProgramResult line = run({"--line", "Kraków", "30"}, "", {"LC_ALL=C.UTF-8"});
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    EXPECT_EQ(line.exit_code, 0) << line.err;
    EXPECT_EQ(line.err, "Baza danych jest zablokowana przez inny proces: pomijam to, czego nie "
                        "mogę w niej odczytać ani zapisać.\n");
    EXPECT_EQ(line.out, "Kraków: 3 wyładowania w 30 km, najbliższe 12.3 km NE | bez ostrzeżeń\n");
}

// A data directory that cannot be used: one line naming it and why, status 1, nothing asked.
TEST_F(ReportRunTest, AnUnusableDataDirectoryIsNamedOnceAndEndsTheRun) {
    const std::string file = data.path + "/not-a-directory";
    write_file(file, "");
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--json", "Kraków"}, {"--line", "Kraków"}, {"--watch", "Kraków"}}) {
        ProgramRun program;
        program.data_dir = file;
        program.args = args;
        const ProgramResult result = run_nimbrovator(program);
        EXPECT_EQ(result.exit_code, 1) << args[0];
        EXPECT_EQ(result.out, "") << args[0];
        ASSERT_EQ(lines_of(result.err).size(), 1u) << result.err;
        EXPECT_EQ(result.err.rfind("Nie mogę użyć katalogu danych " + file + ": ", 0), 0u)
            << result.err;
    }
    EXPECT_EQ(fake_storm_requests(*storm).size(), 0u);
}

TEST_F(ReportRunTest, StormServiceDownGivesADocumentWithNullParts) {
    storm.reset();
    const ProgramResult json = run({"--json", "Kraków", "30"});
    EXPECT_EQ(json.exit_code, 1);
    EXPECT_EQ(report_schema_violations(json.out), "");
    const Json::Value document = parsed(json.out);
    EXPECT_EQ(document["town"]["known"], false);
    EXPECT_EQ(document["errors"][0]["source"], "town");
    EXPECT_EQ(document["current_weather"]["temperature_c"].asDouble(), 18.3);
    const ProgramResult line = run({"--line", "Kraków"}, "", {"LC_ALL=POSIX"});
    EXPECT_EQ(line.out, "Krakow: brak wspolrzednych miejscowosci | 18.3C\n");
}

// The reply cache of the machine forms.
class ReplyCacheTest : public ReportRunTest {
  protected:
    // Runs SQL on the program's database; the first column of the first row, if any.
    std::string sql(const std::string& statement) const {
        const std::string path = data.path + "/zagrozenia_pogodowe.db";
        sqlite3* db = nullptr;
        sqlite3_open(path.c_str(), &db);
        sqlite3_stmt* query = nullptr;
        std::string value;
        if (sqlite3_prepare_v2(db, statement.c_str(), -1, &query, nullptr) == SQLITE_OK &&
            sqlite3_step(query) == SQLITE_ROW && sqlite3_column_text(query, 0) != nullptr) {
            value = reinterpret_cast<const char*>(sqlite3_column_text(query, 0));
        }
        sqlite3_finalize(query);
        sqlite3_close(db);
        return value;
    }
    void age_replies(int seconds) const {
        sql("UPDATE REPLY_CACHE SET FETCHED = FETCHED - " + std::to_string(seconds));
    }
    int weather_hits() const { return endpoint_hits(*weather_service, current_weather_endpoint); }
};

TEST_F(ReplyCacheTest, FreshRepliesSpareTheServicesAndTheOldDatabaseKeepsItsRows) {
    first_run_done();
    ASSERT_EQ(run({"Kraków", "30"}).exit_code, 0);
    ASSERT_EQ(run({"Kraków", "30"}).exit_code, 0);
    EXPECT_EQ(storm_calls("szukaj_burzy"), 2) << "the text report asks every time";
    EXPECT_EQ(sql("SELECT name FROM sqlite_master WHERE name = 'REPLY_CACHE'"), "");

    const ProgramResult first = run({"--json", "Kraków", "30"});
    const ProgramResult second = run({"--line", "Kraków", "30"});
    EXPECT_EQ(first.exit_code, 0);
    EXPECT_EQ(second.exit_code, 0);
    EXPECT_EQ(storm_calls("szukaj_burzy"), 3);
    EXPECT_EQ(storm_calls("ostrzezenia_pogodowe"), 3);
    EXPECT_EQ(weather_hits(), 3);
    EXPECT_EQ(sql("SELECT CITY FROM CITIES"), "Kraków");
    EXPECT_EQ(sql("SELECT SETTING FROM SETTINGS WHERE PARAM = 'weather'"), "1");
    EXPECT_EQ(sql("SELECT COUNT(*) FROM REPLY_CACHE WHERE REPLY LIKE '%APPID%' OR "
                  "REQUEST LIKE '%APPID%'"),
              "0")
        << "the weather key is not kept";

    age_replies(121);
    EXPECT_EQ(parsed(run({"--json", "Kraków", "30"}).out)["lightning"]["age_s"], 0);
    EXPECT_EQ(storm_calls("szukaj_burzy"), 4) << "older than the maximum age: asked again";
    run({"--json", "--max-age", "0", "Kraków", "30"});
    EXPECT_EQ(storm_calls("szukaj_burzy"), 5) << "--max-age 0 always asks";
    run({"--max-age", "600", "Kraków", "30"});
    EXPECT_EQ(storm_calls("szukaj_burzy"), 5) << "the text report uses the cache when told";
}

TEST_F(ReplyCacheTest, ServicesDownAnswerFromTheLastUsableReplyWithStatusThree) {
    first_run_done();
    ASSERT_EQ(run({"--json", "Kraków", "30"}).exit_code, 0);
    // A rejected weather key behind the cache: the stale weather says why it is stale.
    age_replies(725);
    fake_reply rejected;
    rejected.status = 401;
    rejected.body = R"({"cod":401,"message":"Invalid API key."})";
    set_fake_reply(*weather_service, current_weather_endpoint, rejected);
    const ProgramResult key = run({"--json", "Kraków", "30"});
    EXPECT_EQ(key.exit_code, 3) << key.err;
    const std::string rejected_key =
        "Serwer " + weather_host + " odrzucił klucz serwisu pogodowego (HTTP 401).";
    EXPECT_EQ(key.err, rejected_key + "\n");
    const Json::Value stale = parsed(key.out);
    EXPECT_EQ(stale["current_weather"]["stale"], true);
    ASSERT_EQ(stale["errors"].size(), 1u) << key.out;
    EXPECT_EQ(stale["errors"][0]["source"], "weather");
    EXPECT_EQ(stale["errors"][0]["message"], rejected_key);

    sql("UPDATE REPLY_CACHE SET FETCHED = CAST(strftime('%s','now') AS INTEGER) - 725");
    storm.reset();
    weather_service.reset();
    const ProgramResult json = run({"--json", "Kraków", "30"});
    EXPECT_EQ(json.exit_code, 3) << json.err;
    EXPECT_EQ(report_schema_violations(json.out), "");
    const Json::Value document = parsed(json.out);
    for (const char* part : {"lightning", "warnings", "current_weather", "forecast"}) {
        EXPECT_EQ(document[part]["stale"], true) << part;
        EXPECT_GE(document[part]["age_s"].asInt(), 725) << part;
    }
    // Each stale part says why, on standard error and among the errors.
    std::map<std::string, std::string> why;
    for (const Json::Value& error : document["errors"]) {
        why[error["source"].asString()] = error["message"].asString();
        EXPECT_NE(json.err.find(error["message"].asString()), std::string::npos) << json.err;
    }
    EXPECT_EQ(why["lightning"], "Nie udało się pobrać danych o wyładowaniach atmosferycznych z "
                                "serwera " +
                                    storm_host + ": połączenie odrzucone.");
    EXPECT_EQ(why["forecast"],
              "Nie udało się połączyć z serwerem " + weather_host + ": połączenie odrzucone.");
    EXPECT_EQ(why.size(), 4u) << json.out;
    const ProgramResult line = run({"--line", "Kraków", "30"}, "", {"LC_ALL=C.UTF-8"});
    EXPECT_EQ(line.exit_code, 3);
    EXPECT_EQ(line.out.substr(line.out.size() - 17), " (sprzed 12 min)\n") << line.out;
    EXPECT_EQ(run({"--json", "--stale-limit", "600", "Kraków", "30"}).exit_code, 1)
        << "a reply older than the stale limit is not used";
    // The bar forms show the stale answer and say why in it, never on standard error, which a
    // bar may show instead of the answer (Polybar does).
    const struct {
        std::vector<std::string> form;
        std::string shown; // in the answer: the stale state
    } bars[] = {
        {{"--waybar"}, "\"stale\""},
        {{"--i3blocks"}, "#808080"},
        {{"--format", "[1] %t %n%[/%d km %D%] %x"}, "[1] Kraków 3/12.3 km NE nieaktualne (12 min)"},
    };
    for (const auto& bar : bars) {
        std::vector<std::string> args = bar.form;
        args.insert(args.end(), {"--max-age", "0", "--timeout", "5", "Kraków", "30"});
        const ProgramResult shown = run(args, "", {"LC_ALL=C.UTF-8"});
        EXPECT_EQ(shown.exit_code, 0) << bar.form[0];
        EXPECT_EQ(shown.err, "") << bar.form[0];
        EXPECT_NE(shown.out.find(bar.shown), std::string::npos) << shown.out;
    }
}

// What a run set up and where it connected, seen from outside: the preloaded probe notes each
// TLS context made and whether libcurl was loaded, strace each connect() of the program.
struct OutsideView {
    std::vector<std::string> set_up;
    std::string connects; // the connect() calls to an Internet address
    ProgramResult result;
};

TEST_F(ReplyCacheTest, ARunAnsweredFromTheCachesSetsUpNothingAndConnectsNowhere) {
    if (std::system("strace -f -o /dev/null true >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "strace cannot trace here (scripts/install-deps installs it)";
    }
    const auto watched = [&](std::vector<std::string> args) {
        const std::string log = data.path + "/set-up.log";
        const std::string trace = data.path + "/connect.trace";
        std::remove(log.c_str());
        args.insert(args.begin(), {"-f", "-e", "trace=connect", "-o", trace, NIMBROVATOR_BINARY});
        ProgramRun probed;
        probed.program = "/usr/bin/strace";
        probed.args = args;
        probed.data_dir = data.path;
        probed.environment = {"TZ=UTC", "LD_PRELOAD=" SETUP_PROBE_LIBRARY,
                              "NIMBROVATOR_TEST_SETUP_LOG=" + log,
                              // LeakSanitizer cannot run under strace; other tests look for leaks.
                              "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"};
        OutsideView view;
        view.result = run_nimbrovator(probed);
        std::istringstream noted(read_file(log));
        for (std::string line; std::getline(noted, line);) {
            view.set_up.push_back(line);
        }
        std::sort(view.set_up.begin(), view.set_up.end()); // threads note in any order
        std::istringstream connects(read_file(trace));
        for (std::string line; std::getline(connects, line);) {
            if (line.find("AF_INET") != std::string::npos) {
                view.connects += line + "\n";
            }
        }
        return view;
    };
    first_run_done();
    const OutsideView first = watched({"--line", "Kraków", "30"});
    ASSERT_EQ(first.result.exit_code, 0) << first.result.err;
    EXPECT_EQ(first.set_up, (std::vector<std::string>{"SSL_CTX_new", "libcurl"}))
        << "the requests that went out set up TLS and loaded libcurl";
    EXPECT_NE(first.connects.find(std::to_string(storm_port)), std::string::npos);
    const int storm_requests = static_cast<int>(fake_storm_requests(*storm).size());

    const std::vector<std::vector<std::string>> cached_runs = {
        {"--line", "Kraków", "30"},
        {"--json", "Kraków", "30"},
        {"--format", "%t %n/%d km %D", "Kraków", "30"},
        {"--waybar", "Kraków", "30"},
        {"--i3blocks", "Kraków", "30"},
        {"-h"},
        {"--help"},
        {"--version"},
        {"--towns"},
        {"--config"},
    };
    for (const std::vector<std::string>& args : cached_runs) {
        const OutsideView view = watched(args);
        EXPECT_EQ(view.result.exit_code, 0) << args[0] << view.result.err;
        EXPECT_EQ(view.set_up, std::vector<std::string>()) << args[0];
        EXPECT_EQ(view.connects, "") << args[0];
    }
    EXPECT_EQ(watched({"--format", "%t %n/%d km %D", "Kraków", "30"}).result.out,
              "Kraków 3/12.3 km NE\n");
    EXPECT_EQ(static_cast<int>(fake_storm_requests(*storm).size()), storm_requests);
    EXPECT_EQ(weather_hits(), 1);
}

TEST_F(ReplyCacheTest, UnusableRepliesAreNeverStoredAndKeyErrorsAreNamed) {
    first_run_done();
    lightning_fails = true;
    fake_reply rejected;
    rejected.status = 401;
    rejected.body = R"({"cod":401,"message":"Invalid API key."})";
    set_fake_reply(*weather_service, current_weather_endpoint, rejected);
    fake_reply limited;
    limited.status = 429;
    limited.body = R"({"cod":429})";
    set_fake_reply(*weather_service, daily_forecast_endpoint, limited);
    const ProgramResult result = run({"--json", "Kraków", "30"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(sql("SELECT COUNT(*) FROM REPLY_CACHE WHERE REPLY IS NOT NULL"), "2")
        << "only the town's and the warnings' replies were usable";
    EXPECT_NE(result.err.find("odrzucił klucz serwisu pogodowego (HTTP 401)"), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("Wyczerpano limit zapytań"), std::string::npos) << result.err;

    set_fake_storm_handler(*storm, [](const fake_storm_request&) {
        return soap_fault_reply("SOAP-ENV:Client", "Nieprawidłowy klucz API");
    });
    const ProgramResult key = run({"--line", "Warszawa", "30"});
    EXPECT_EQ(key.exit_code, 1);
    const std::string named = "Serwis burzowy " + storm_host + " odrzucił klucz.\n";
    const std::size_t at = key.err.find(named);
    ASSERT_NE(at, std::string::npos) << key.err;
    EXPECT_EQ(key.err.find(named, at + 1), std::string::npos) << "said once: " << key.err;
}

TEST_F(ReplyCacheTest, TenConcurrentRunsMakeOneRequestPerOperation) {
    first_run_done();
    weather_reports_off();
    ASSERT_EQ(run({"Kraków", "30"}).exit_code, 0);
    set_fake_storm_handler(*storm, [this](const fake_storm_request& request) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return answer_storm(request, warnings, false);
    });
    std::vector<ProgramResult> results(10);
    std::vector<std::thread> runs;
    for (ProgramResult& result : results) {
        runs.emplace_back([this, &result] { result = run({"--line", "Kraków", "30"}); });
    }
    for (std::thread& each : runs) {
        each.join();
    }
    for (const ProgramResult& result : results) {
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_EQ(result.out, results[0].out);
    }
    EXPECT_EQ(storm_calls("szukaj_burzy"), 2);
    EXPECT_EQ(storm_calls("ostrzezenia_pogodowe"), 2);
}

// A run that waited for another run's lightning reply does not record it in the track again,
// though it ends seconds later (it also waits for a slow weather service).
TEST_F(ReplyCacheTest, ARunRecordsOnlyTheRepliesItAskedFor) {
    first_run_done();
    weather_reports_off();
    ASSERT_EQ(run({"Kraków", "30"}).exit_code, 0);
    std::mutex mutex;
    std::condition_variable changed;
    bool asked = false;
    bool let_go = false;
    set_fake_storm_handler(*storm, [&](const fake_storm_request& request) {
        if (soap_operation(request) == "szukaj_burzy") {
            std::unique_lock<std::mutex> lock(mutex);
            asked = true;
            changed.notify_all();
            changed.wait_for(lock, std::chrono::seconds(10), [&] { return let_go; });
        }
        return answer_storm(request, warnings, false);
    });
    std::thread asking([&] { EXPECT_EQ(run({"--line", "Kraków", "30"}).exit_code, 0); });
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return asked; }));
    }
    sql("UPDATE SETTINGS SET SETTING = 1 WHERE PARAM = 'weather'"); // the second run only
    fake_reply slow;
    slow.body = json_text(full_current_weather());
    slow.delay_ms = 2000;
    set_fake_reply(*weather_service, current_weather_endpoint, slow);
    std::thread waiting([&] { EXPECT_EQ(run({"--line", "Kraków", "30"}).exit_code, 0); });
    for (int i = 0; i < 200 && weather_hits() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // it waits for the claim
    {
        const std::lock_guard<std::mutex> lock(mutex);
        let_go = true;
    }
    changed.notify_all();
    asking.join();
    waiting.join();
    EXPECT_EQ(storm_calls("szukaj_burzy"), 2) << "the classic run's and the first run's";
    EXPECT_EQ(sql("SELECT COUNT(*) FROM TRACK"), "1");
}

// A run ended while it asks for the lightning (its claim on the request still in the table):
// the next run neither waits for the claim nor fails, it asks the service and answers.
TEST_F(ReplyCacheTest, AClaimDiesWithItsOwnerAndTheNextRunAsksTheService) {
    first_run_done();
    weather_reports_off();
    ASSERT_EQ(run({"Kraków", "30"}).exit_code, 0);
    struct Case {
        int signal_number;
        bool released; // the run releases its claims on its way out
    };
    for (const Case& c : {Case{SIGKILL, false}, Case{SIGTERM, true}}) {
        SCOPED_TRACE(c.signal_number);
        sql("DELETE FROM REPLY_CACHE");
        std::mutex mutex;
        std::condition_variable changed;
        bool asked = false;
        bool let_go = false;
        set_fake_storm_handler(*storm, [&](const fake_storm_request& request) {
            if (soap_operation(request) == "szukaj_burzy") {
                std::unique_lock<std::mutex> lock(mutex);
                asked = true;
                changed.notify_all();
                changed.wait_for(lock, std::chrono::seconds(10), [&] { return let_go; });
            }
            return answer_storm(request, warnings, false);
        });
        int pid = 0;
        std::thread held([&] {
            ProgramRun killed;
            killed.args = {"--line", "Kraków", "30"};
            killed.data_dir = data.path;
            killed.started = [&](int started) { pid = started; };
            run_nimbrovator(killed);
        });
        {
            std::unique_lock<std::mutex> lock(mutex);
            EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return asked; }));
        }
        kill(pid, c.signal_number);
        held.join();
        EXPECT_EQ(sql("SELECT COUNT(*) FROM REPLY_CACHE WHERE REQUEST LIKE '%szukaj_burzy%' "
                      "AND CLAIMED_UNTIL IS NOT NULL"),
                  c.released ? "0" : "1");
        {
            const std::lock_guard<std::mutex> lock(mutex);
            let_go = true;
        }
        changed.notify_all();
        set_fake_storm_handler(*storm, [this](const fake_storm_request& request) {
            return answer_storm(request, warnings, false);
        });
        const int asked_before = storm_calls("szukaj_burzy");
        ProgramRun next;
        next.args = {"--line", "Kraków", "30"};
        next.data_dir = data.path;
        next.environment = {"LC_ALL=C.UTF-8"};
        next.timeout_seconds = 20;
        const ProgramResult result = run_nimbrovator(next);
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_EQ(result.out, "Kraków: 3 wyładowania w 30 km, najbliższe 12.3 km NE | bez "
                              "ostrzeżeń\n");
        EXPECT_EQ(storm_calls("szukaj_burzy"), asked_before + 1);
    }
}

TEST_F(ReplyCacheTest, ATableOfAnEarlierVersionIsUsedWithItsRows) {
    first_run_done();
    sql("CREATE TABLE REPLY_CACHE(REQUEST TEXT PRIMARY KEY NOT NULL, REPLY TEXT, FETCHED INTEGER,"
        "CLAIMED_UNTIL INTEGER)");
    sql("INSERT INTO REPLY_CACHE VALUES('earlier', 'reply', 1, NULL)");
    const ProgramResult result = run({"--json", "Kraków", "30"});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(run({"--json", "Kraków", "30"}).exit_code, 0);
    EXPECT_EQ(storm_calls("szukaj_burzy"), 1) << "the second run is answered from the cache";
    EXPECT_EQ(sql("SELECT COUNT(*) FROM REPLY_CACHE WHERE REPLY IS NOT NULL"), "5")
        << "the town, the two storm and the two weather replies";
}

// The clock was set back after the replies were fetched: they are not fresh, they answer no
// failure, and no age is negative.
TEST_F(ReplyCacheTest, RepliesFromTheFutureAreExpired) {
    first_run_done();
    ASSERT_EQ(run({"--json", "Kraków", "30"}).exit_code, 0);
    age_replies(-3600);
    const ProgramResult asked = run({"--json", "Kraków", "30"});
    EXPECT_EQ(asked.exit_code, 0) << asked.err;
    EXPECT_EQ(storm_calls("szukaj_burzy"), 2) << "asked again";
    EXPECT_EQ(weather_hits(), 2) << "asked again";
    const Json::Value document = parsed(asked.out);
    for (const char* part : {"lightning", "warnings", "current_weather", "forecast"}) {
        EXPECT_EQ(document[part]["age_s"], 0) << part;
        EXPECT_EQ(document[part]["stale"], false) << part;
    }

    age_replies(-3600);
    storm.reset();
    weather_service.reset();
    const ProgramResult down = run({"--json", "Kraków", "30"});
    EXPECT_EQ(down.exit_code, 1) << "no stale answer from the future";
    EXPECT_EQ(report_schema_violations(down.out), "");
    EXPECT_TRUE(parsed(down.out)["lightning"].isNull()) << down.out;
}

TEST_F(ReportRunTest, ACraftedWeatherReplyIsMalformedAndTheRunGoesOn) {
    first_run_done();
    fake_reply crafted;
    crafted.body = "/*\"*/" + std::string(1100, '[') + std::string(1100, ']');
    set_fake_reply(*weather_service, current_weather_endpoint, crafted);
    const ProgramResult result = run({"Kraków", "30"});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_NE(result.out.find("Pobieram aktualną pogodę z serwera " + weather_host +
                              "...\nOdebrałem nieprawidłowe dane z serwera, spróbuj ponownie!\n"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find(forecast_report + "Dodałem miejscowość do bazy danych!\n" +
                              no_warnings + lightning_answer),
              std::string::npos)
        << result.out;
}

TEST_F(ReportRunTest, AnyZeroCoordinateMeansTheServiceHasNoData) {
    first_run_done();
    weather_reports_off();
    for (const char* zero_text : {"0.0", "-0", "00", "0.000"}) {
        SCOPED_TRACE(zero_text);
        zero = zero_text;
        const ProgramResult result = run({"Atlantyda", "30"}, "Kraków\n");
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_NE(result.out.find("Na serwerze " + storm_host +
                                  " brak danych o tej miejscowości.\n\nPodaj nazwę miejscowości: "),
                  std::string::npos)
            << result.out;
        EXPECT_EQ(result.out.find("Atlantyda o współrzędnych"), std::string::npos) << result.out;
    }
    EXPECT_EQ(storm_calls("miejscowosc"), 5) << "Atlantyda is asked for each time, Kraków once";
}

TEST_F(ReportRunTest, TownNamesLoseControlsAndSurroundingSpacesAndTypedLinesTheirCr) {
    first_run_done();
    weather_reports_off();
    const ProgramResult typed = run({}, "kraków\r\n30\r\n");
    EXPECT_EQ(typed.exit_code, 0) << typed.err;
    EXPECT_NE(typed.out.find("Podaj promień (5-100 km, ENTER = 25 km): "
                             "Brak miejscowości Kraków w bazie danych!\n"),
              std::string::npos)
        << typed.out;
    EXPECT_NE(typed.out.find("w promieniu 30 km od miejscowości Kraków. \n"), std::string::npos);
    for (const char* given : {"Kraków\r", " Kraków", "\tKraków",
                              "\x1B"
                              "Kra\xC2\x9Bków "}) {
        const ProgramResult result = run({given, "30"});
        EXPECT_EQ(result.exit_code, 0) << result.err;
        EXPECT_NE(result.out.find("Miejscowość Kraków jest w bazie danych!\n"), std::string::npos)
            << result.out;
    }
    EXPECT_EQ(storm_calls("miejscowosc"), 1) << "one cache row serves every spelling";
}

TEST_F(ReportRunTest, RefusedDatabaseWritesAreReportedAsFailures) {
    first_run_done();
    // The database refuses every write, as a full disk or a read-only file does.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((data.path + "/zagrozenia_pogodowe.db").c_str(), &db), SQLITE_OK);
    const char* refuse =
        "CREATE TRIGGER no_city BEFORE INSERT ON CITIES BEGIN SELECT RAISE(ABORT, 'dysk pełny');"
        "END; CREATE TRIGGER no_setting BEFORE UPDATE ON SETTINGS BEGIN "
        "SELECT RAISE(ABORT, 'dysk pełny'); END;";
    EXPECT_EQ(sqlite3_exec(db, refuse, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);

    const ProgramResult town = run({"Kraków", "30"});
    EXPECT_NE(town.out.find("Wystąpił błąd podczas dodawania miejscowości do bazy danych!\n" +
                            no_warnings + lightning_answer),
              std::string::npos)
        << town.out;
    EXPECT_NE(town.err.find("Błąd SQL: dysk pełny\n"), std::string::npos) << town.err;

    const ProgramResult settings = run({"-s"}, "n\nn\n");
    EXPECT_NE(settings.out.find("(t)ak/(n)ie: Nie mogłem zaktualizować ustawień!\n"),
              std::string::npos)
        << settings.out;
    EXPECT_EQ(settings.out.find("[stan: WYŁĄCZONA]"), std::string::npos) << settings.out;
}

} // namespace

TEST_F(ReportRunTest, NearAsksBothServicesByTheCoordinatesAndLooksNoTownUp) {
    const ProgramResult json = run({"--json", "--near", "50.06,19.94", "--name", "Dom", "30"});
    EXPECT_EQ(json.exit_code, 0) << json.err;
    EXPECT_EQ(report_schema_violations(json.out), "");
    const Json::Value document = parsed(json.out);
    EXPECT_EQ(document["town"]["name"], "Dom");
    EXPECT_EQ(document["town"]["query"], "50.06,19.94");
    EXPECT_EQ(document["town"]["latitude"].asDouble(), 50.06);
    EXPECT_EQ(document["town"]["longitude"].asDouble(), 19.94);
    EXPECT_EQ(document["radius_km"], 30);
    EXPECT_EQ(document["lightning"]["strikes"], 3);
    EXPECT_EQ(document["current_weather"]["temperature_c"].asDouble(), 18.3);
    EXPECT_EQ(document["forecast"]["days"].size(), 2u);

    // Without a name the coordinates name the place; the radius is the default one.
    const ProgramResult line = run({"--line", "--near", " -0.5, 19.94"}, "", {"LC_ALL=C.UTF-8"});
    EXPECT_EQ(line.exit_code, 0) << line.err;
    EXPECT_EQ(line.out,
              "-0.5, 19.94: 3 wyładowania w 25 km, najbliższe 12.3 km NE | bez ostrzeżeń | "
              "18.3°C\n");

    EXPECT_EQ(storm_calls("miejscowosc"), 0);
    int lightning_asked = 0;
    for (const fake_storm_request& request : fake_storm_requests(*storm)) {
        if (soap_operation(request) == "szukaj_burzy") {
            ++lightning_asked;
            const bool first = lightning_asked == 1;
            EXPECT_NE(request.body.find(first ? ">50.06<" : ">-0.5<"), std::string::npos);
            EXPECT_NE(request.body.find(">19.94<"), std::string::npos);
        }
    }
    EXPECT_EQ(lightning_asked, 2);
    const std::vector<std::string> asked = recorded_requests(*weather_service);
    ASSERT_EQ(asked.size(), 4u);
    for (const std::string& request : asked) {
        EXPECT_EQ(request.find("q="), std::string::npos) << request;
        EXPECT_TRUE(request.find("?lat=50.06&lon=19.94&") != std::string::npos ||
                    request.find("?lat=-0.5&lon=19.94&") != std::string::npos)
            << request;
    }
    // --escape: the name, a field of the template, is made safe for the bar; the template's own
    // tags stay.
    const ProgramResult tmux = run({"--format", "#[bold]%t %n", "--escape", "tmux", "--near",
                                    "50.06,19.94", "--name", "#[fg=red]Dom", "30"});
    EXPECT_EQ(tmux.out, "#[bold]##[fg=red]Dom 3\n") << tmux.err;
}

TEST_F(ReportRunTest, BadPlacesAreUsageErrorsThatAskNothing) {
    const std::vector<std::vector<std::string>> cases = {
        {"--json", "--near", "0,0"},
        {"--json", "--near", "91,19"},
        {"--json", "--near", "50,-180.5"},
        {"--json", "--near", "50.06;19.94"},
        {"--json", "--near", "50.06,19.94,3"},
        {"--json", "--near", "50,06,19,94"},
        {"--json", "--near", "5e1,19"},
        {"--json", "--near", ""},
        {"--json", "--near", "50.06,19.94", "Kraków"},
        {"--json", "--near", "50.06,19.94", "--name", " \t"},
        {"--json", "--name", "Dom", "Kraków"},
        {"--near", "50.06,19.94"},
        {"--watch", "--near", "50.06,19.94", "10", "20"},
    };
    for (const std::vector<std::string>& args : cases) {
        const ProgramResult result = run(args);
        EXPECT_EQ(result.exit_code, 2) << args[2];
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err.find("Spróbuj: nimbrovator --help-all"), std::string::npos)
            << result.err;
    }
    EXPECT_NE(run({"--line", "--near", "50.06,200"}).err.find("nieprawidłowe współrzędne"),
              std::string::npos);
    EXPECT_TRUE(fake_storm_requests(*storm).empty());
    EXPECT_TRUE(recorded_requests(*weather_service).empty());
}

// The track: only answers the service gave are recorded; the classic run leaves the table alone;
// the estimate reaches the document, the line and the history.
TEST_F(ReplyCacheTest, TrackRecordsServiceAnswersAndGivesTheApproach) {
    first_run_done();
    ASSERT_EQ(run({"Kraków", "30"}).exit_code, 0);
    EXPECT_EQ(sql("SELECT name FROM sqlite_master WHERE name = 'TRACK'"), "");

    const ProgramResult first = run({"--json", "Kraków", "30"});
    EXPECT_EQ(first.exit_code, 0) << first.err;
    EXPECT_TRUE(parsed(first.out)["approach"].isNull()) << first.out;
    EXPECT_EQ(report_schema_violations(first.out), "");
    EXPECT_EQ(run({"--line", "Kraków", "30"}).exit_code, 0);
    EXPECT_EQ(sql("SELECT COUNT(*) || ' ' || NEAREST || ' ' || DIRECTION FROM TRACK"), "1 12.3 NE")
        << "the cached answer of the second run is not recorded again";

    // Three earlier checks coming from the north-east, 6 km closer every 5 minutes.
    sql("DELETE FROM TRACK");
    for (const char* row : {"900, 30.3", "600, 24.3", "300, 18.3"}) {
        const std::string values = row;
        const std::string ago = values.substr(0, values.find(','));
        sql("INSERT INTO TRACK VALUES('Kraków', 50.0614, 19.9366, 30, strftime('%s','now') - " +
            ago + ", 10, " + values.substr(values.find(',') + 2) + ", 'NE', NULL)");
    }
    const ProgramResult line =
        run({"--line", "--max-age", "0", "--danger-km", "5", "Kraków", "30"});
    EXPECT_EQ(line.exit_code, 0) << line.err;
    EXPECT_NE(line.out.find("| zbliża się 72 km/h, w strefie 5 km za ~6 min"), std::string::npos)
        << line.out;
    // The status-bar forms show the same estimate (answered from the cache: nothing recorded).
    const ProgramResult bar =
        run({"--waybar", "--format", "%s|%E", "--danger-km", "5", "Kraków", "30"});
    EXPECT_EQ(bar.exit_code, 0) << bar.err;
    EXPECT_EQ(parsed(bar.out)["text"], "72|6") << bar.out;
    EXPECT_NE(parsed(bar.out)["tooltip"].asString().find(
                  "\nBurza zbliża się 72 km/h, w strefie 5 km za ~6 min.\n"),
              std::string::npos)
        << bar.out;
    const ProgramResult bar_line = run({"--waybar", "--danger-km", "5", "Kraków", "30"});
    EXPECT_NE(parsed(bar_line.out)["text"].asString().find(
                  "| zbliża się 72 km/h, w strefie 5 km za ~6 min"),
              std::string::npos)
        << bar_line.out;
    const ProgramResult json = run({"--json", "--max-age", "0", "Kraków", "30"});
    const Json::Value approach = parsed(json.out)["approach"];
    EXPECT_NEAR(approach["radial_kmh"].asDouble(), 72, 1) << json.out;
    EXPECT_EQ(approach["moving_to"].asString(), "SW");
    EXPECT_EQ(report_schema_violations(json.out), "");

    // The name as typed finds the track as the town lookup names it.
    const ProgramResult history = run({"--history", "--json", "kraKÓW"});
    EXPECT_EQ(history.exit_code, 0) << history.err;
    EXPECT_EQ(schema_violations(history.out, HISTORY_SCHEMA_FILE), "") << history.out;
    // The two runs above: one row, or two when they fell in different seconds.
    EXPECT_GE(parsed(history.out)["observations"].size(), 4u) << history.out;
    EXPECT_LE(parsed(history.out)["observations"].size(), 5u) << history.out;
    EXPECT_EQ(run({"--history", "Gdańsk"}).exit_code, 1);
    // A picture that cannot be written: its path is named without its control bytes.
    const ProgramResult picture =
        run({"--history", "--svg", data.path + "/brak/\x1B]0;x\x07.svg", "Kraków"});
    EXPECT_EQ(picture.exit_code, 1);
    EXPECT_NE(picture.err.find("Nie udało się zapisać pliku " + data.path + "/brak/]0;x.svg: "),
              std::string::npos)
        << picture.err;

    // Usage errors: status 2.
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--json", "--danger-km", "40", "Kraków", "30"},
             {"--danger-km", "0", "--json", "Kraków"},
             {"--danger-km", "5", "Kraków"},
             {"--svg", "x.svg", "Kraków"},
             {"--approaching-only", "--json", "Kraków"},
             {"--history", "Kraków", "0"},
         }) {
        EXPECT_EQ(run(args).exit_code, 2) << args[0] << " " << args[1];
    }
}
