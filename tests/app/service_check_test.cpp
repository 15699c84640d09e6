// --check against the fake services in each of its outcomes, and whole runs against the
// simulator with hosts and keys given only at run time.
#include "fake_storm_service.h"
#include "fake_weather_service.h"
#include "simulator.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

const std::string pki_dir = TEST_PKI_DIR;
const std::string storm_key = "00112233445566778899AABBCCDDEEFF01234567";
const std::string weather_key = "ffeeddccbbaa99887766554433221100";

// A port nothing listens on: one a service had a moment ago.
int closed_port() {
    fake_weather_service_handle service = start_fake_weather_service();
    return service ? fake_service_port(*service) : 1;
}

ProgramResult run(const std::string& home, std::vector<std::string> args,
                  std::vector<std::string> environment, std::string input = "") {
    ProgramRun run;
    run.args = std::move(args);
    run.home = home;
    run.environment = std::move(environment);
    run.input = std::move(input);
    run.test_services = false; // each case names its services, or none
    return run_nimbrovator(run);
}

enum class storm_answer { accepted, refused, fault };

struct check_case {
    std::string name;
    std::string storm_cert; // empty: nothing listens
    storm_answer answer;
    int weather_status; // 0: nothing listens
    std::string storm_says;
    std::string weather_says;
    std::string weather_body = ""; // empty: a reply shaped like the service's for the status
    std::string unknown_host = ""; // a host name that has no address: both services at it
};

TEST(ServiceCheck, NamesEachOutcomeOfEachService) {
    const std::string untrusted = "certyfikat serwera niezaufany (certificate verify failed";
    const std::vector<check_case> cases = {
        {"both work", "server", storm_answer::accepted, 200, "działa, klucz przyjęty.",
         "działa, klucz przyjęty."},
        {"keys rejected", "server", storm_answer::refused, 401, "klucz odrzucony (KeyAPI: false).",
         "klucz odrzucony (HTTP 401)."},
        {"storm fault", "server", storm_answer::fault, 200,
         "klucz odrzucony (Nieprawidłowy klucz API).", "działa, klucz przyjęty."},
        {"unknown CA", "other-server", storm_answer::accepted, 200, untrusted,
         "działa, klucz przyjęty."},
        {"another host's certificate", "wrong-host-server", storm_answer::accepted, 200, "mismatch",
         "działa, klucz przyjęty."},
        {"weather reply not JSON", "server", storm_answer::accepted, 200, "działa, klucz przyjęty.",
         "odpowiedź nieczytelna.", "hello"},
        {"nothing listens", "", storm_answer::accepted, 0,
         "połączenie odrzucone; host localhost, port ",
         "połączenie odrzucone; host 127.0.0.1, port "},
        // Told as the other forms tell it.
        {"no address for the name", "", storm_answer::accepted, 0,
         "nie znaleziono adresu serwera; host nowhere.test, port 443.",
         "nie znaleziono adresu serwera; host nowhere.test, port 80.", "", "nowhere.test"},
    };
    for (const check_case& c : cases) {
        SCOPED_TRACE(c.name);
        fake_storm_service_handle storm;
        if (!c.storm_cert.empty()) {
            storm = start_fake_storm_service(pki_dir + "/" + c.storm_cert + ".pem",
                                             pki_dir + "/" + c.storm_cert + ".key");
            ASSERT_TRUE(storm);
            const bool accepted = c.answer == storm_answer::accepted;
            set_fake_storm_reply(
                *storm,
                c.answer == storm_answer::fault
                    ? soap_fault_reply("SOAP-ENV:Client", "Nieprawidłowy klucz API")
                    : fake_storm_reply{
                          200, soap_reply("KeyAPI", soap_return("xsd:boolean",
                                                                accepted ? "true" : "false"))});
        }
        fake_weather_service_handle weather;
        if (c.weather_status != 0) {
            weather = start_fake_weather_service();
            ASSERT_TRUE(weather);
            fake_reply reply;
            reply.status = c.weather_status;
            reply.body = !c.weather_body.empty() ? c.weather_body
                         : c.weather_status == 200
                             ? json_text(full_current_weather())
                             : "{\"cod\":401,\"message\":\"Invalid API key\"}";
            set_fake_reply(*weather, current_weather_endpoint, reply);
        }
        const std::string storm_host =
            !c.unknown_host.empty()
                ? c.unknown_host
                : "localhost:" + std::to_string(storm ? fake_storm_port(*storm) : closed_port());
        const std::string weather_host =
            !c.unknown_host.empty()
                ? c.unknown_host
                : "127.0.0.1:" +
                      std::to_string(weather ? fake_service_port(*weather) : closed_port());
        TempDir home;
        const ProgramResult result = run(
            home.path, {"--check"},
            {"NIMBROVATOR_STORM_HOST=" + storm_host, "NIMBROVATOR_STORM_KEY=" + storm_key,
             "NIMBROVATOR_STORM_CA_FILE=" + pki_dir + "/ca.pem",
             "NIMBROVATOR_WEATHER_HOST=" + weather_host, "NIMBROVATOR_WEATHER_KEY=" + weather_key,
             "LD_PRELOAD=" FAKE_HOME_LIBRARY ":" STALLED_RESOLVER_LIBRARY,
             "NIMBROVATOR_TEST_UNKNOWN_HOST=" + c.unknown_host});
        const std::string storm_start = "Serwis burzowy (" + storm_host + "): ";
        const std::string weather_start = "\nSerwis pogodowy (" + weather_host + "): ";
        EXPECT_EQ(result.out.rfind(storm_start, 0), 0u) << result.out;
        EXPECT_NE(result.out.find(c.storm_says), std::string::npos) << result.out;
        EXPECT_NE(result.out.find(weather_start + c.weather_says), std::string::npos) << result.out;
        EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 2) << result.out;
        EXPECT_EQ(result.exit_code, c.name == "both work" ? 0 : 1);
        if (storm && c.storm_cert == "server") {
            const std::vector<fake_storm_request> sent = fake_storm_requests(*storm);
            ASSERT_EQ(sent.size(), 1u);
            EXPECT_NE(sent[0].body.find("<klucz xsi:type=\"xsd:string\">" + storm_key),
                      std::string::npos);
        }
        if (weather) {
            const std::vector<std::string> asked = recorded_requests(*weather);
            ASSERT_EQ(asked.size(), 1u);
            EXPECT_NE(asked[0].find("APPID=" + weather_key), std::string::npos) << asked[0];
        }
    }
}

// The weather service over HTTPS is checked as the storm service is: a certificate of a trusted CA,
// for the host's name, still valid; else no request is sent and the line names the problem.
TEST(ServiceCheck, NamesACertificateProblemOfTheWeatherService) {
    const std::string untrusted = "certyfikat serwera niezaufany (SSL certificate problem: ";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"server", "działa, klucz przyjęty."},
        {"other-server", untrusted + "unable to get local issuer certificate)."},
        {"expired-server", untrusted + "certificate has expired)."},
        {"wrong-host-server", "certyfikat serwera niezaufany (SSL: no alternative certificate "
                              "subject name matches target host name 'localhost')."},
        {"star-server", "certyfikat serwera niezaufany (SSL: no alternative certificate subject "
                        "name matches target host name 'localhost')."},
        {"local-star-server", "certyfikat serwera niezaufany (SSL: no alternative certificate "
                              "subject name matches target host name 'localhost')."},
    };
    for (const auto& [cert, says] : cases) {
        SCOPED_TRACE(cert);
        fake_weather_service_handle weather = start_fake_weather_service_tls(
            pki_dir + "/" + cert + ".pem", pki_dir + "/" + cert + ".key");
        ASSERT_TRUE(weather);
        fake_reply reply;
        reply.body = json_text(full_current_weather());
        set_fake_reply(*weather, current_weather_endpoint, reply);
        const std::string host = "localhost:" + std::to_string(fake_service_port(*weather));
        TempDir home;
        // The storm service is asked too: at a closed port, never at the built-in one, where
        // any server on the machine may have been given that port.
        const ProgramResult result =
            run(home.path, {"--check"},
                {"NIMBROVATOR_STORM_HOST=localhost:" + std::to_string(closed_port()),
                 "NIMBROVATOR_WEATHER_HOST=https://" + host,
                 "NIMBROVATOR_WEATHER_CA_FILE=" + pki_dir + "/ca.pem",
                 "NIMBROVATOR_WEATHER_KEY=" + weather_key});
        EXPECT_NE(result.out.find("\nSerwis pogodowy (" + host + "): " + says + "\n"),
                  std::string::npos)
            << result.out;
        EXPECT_EQ(recorded_requests(*weather).size(), cert == "server" ? 1u : 0u);
    }
}

// A program built with other hosts and keys works against the simulator when its hosts and
// keys come only from the environment, or only from the configuration file.
TEST(ServiceCheck, SettingsFromTheEnvironmentOrTheFileAloneReachTheSimulator) {
    sim_options options = default_sim_options();
    options.storm_port = 0;
    options.weather_port = 0;
    options.cert_file = pki_dir + "/server.pem";
    options.cert_key_file = pki_dir + "/server.key";
    options.storm_key = storm_key;
    options.weather_key = weather_key;
    std::string error;
    simulator_handle sim = start_simulator(options, error);
    ASSERT_TRUE(sim) << error;
    const std::string storm_host = "localhost:" + std::to_string(sim_storm_port(*sim));
    const std::vector<std::pair<std::string, std::string>> settings = {
        {"STORM_HOST", storm_host},
        {"STORM_KEY", storm_key},
        {"STORM_CA_FILE", pki_dir + "/ca.pem"},
        {"WEATHER_HOST", "127.0.0.1:" + std::to_string(sim_weather_port(*sim))},
        {"WEATHER_KEY", weather_key}};
    for (const bool from_file : {false, true}) {
        SCOPED_TRACE(from_file ? "file" : "environment");
        TempDir home;
        std::vector<std::string> environment;
        std::string file;
        for (const auto& [name, value] : settings) {
            environment.push_back("NIMBROVATOR_" + name + "=" + value);
            std::string lower = name;
            std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
            file += lower + " = " + value + "\n";
        }
        if (from_file) {
            environment = {"XDG_CONFIG_HOME=" + home.path};
            mkdir((home.path + "/nimbrovator").c_str(), 0700);
            write_file(home.path + "/nimbrovator/config", file);
        }
        EXPECT_EQ(run(home.path, {"--check"}, environment).exit_code, 0);
        const ProgramResult line = run(home.path, {"--line", "Kraków", "10"}, environment);
        EXPECT_EQ(line.exit_code, 0) << line.err;
        EXPECT_EQ(line.out.rfind("Kraków: ", 0), 0u) << line.out;
        const ProgramResult classic = run(home.path, {"Łódź", "10"}, environment, "\n");
        EXPECT_EQ(classic.exit_code, 0) << classic.err;
        EXPECT_NE(classic.out.find("#  źródło danych: https://" + storm_host + " "),
                  std::string::npos);
        EXPECT_NE(classic.out.find("Pobieram współrzędne miejscowości z serwera " + storm_host +
                                   "...\nPobrałem współrzędne.\nPobieram aktualną pogodę z "
                                   "serwera " +
                                   settings[3].second),
                  std::string::npos)
            << classic.out;
    }
}

} // namespace
