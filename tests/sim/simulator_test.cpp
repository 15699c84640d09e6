// The simulator's servers started in this process and driven by the program's own clients.
#include "simulator.h"

#include "storm/storm_client.h"
#include "support/temp_dir.h"
#include "weather/weather_fetch.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace {

const std::string pki_dir = TEST_PKI_DIR;

sim_options loopback_options() {
    sim_options options = default_sim_options();
    options.storm_port = 0;
    options.weather_port = 0;
    options.cert_file = pki_dir + "/server.pem";
    options.cert_key_file = pki_dir + "/server.key";
    return options;
}

// Short limits so that a failing case ends within seconds.
storm_limits short_limits() {
    storm_limits limits;
    limits.connect_timeout = 2;
    limits.send_timeout = 2;
    limits.recv_timeout = 2;
    limits.transfer_timeout = 3;
    return limits;
}

int storm_call(const std::function<int()>& call) {
    prepare_storm_request();
    const int status = call();
    release_storm_call();
    return status;
}

std::size_t ignore_body(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
}

// The TCP_NODELAY setting of each connection that this process has accepted on `port`.
std::vector<int> accepted_nodelay(int port) {
    std::vector<int> settings;
    for (int fd = 0; fd < 1024; ++fd) {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        int listening = 0;
        socklen_t flag_length = sizeof listening;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
            local.sin_family != AF_INET || ntohs(local.sin_port) != port ||
            getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &flag_length) != 0 ||
            listening != 0) {
            continue;
        }
        int nodelay = 0;
        getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, &flag_length);
        settings.push_back(nodelay);
    }
    return settings;
}

// Makes two GETs of `url` on one curl handle and, while its connection is still open, gives
// the TCP_NODELAY settings of the connections the service accepted on `port`; nothing when
// the two requests did not share one connection.
std::vector<int> nodelay_of_kept_connection(const std::string& url, int port) {
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> handle(curl_easy_init(), curl_easy_cleanup);
    CURL* curl = handle.get();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CAINFO, (pki_dir + "/ca.pem").c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, ignore_body);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 3000L);
    long connections = 0;
    for (int i = 0; i < 2; ++i) {
        long opened = 0;
        if (curl_easy_perform(curl) != CURLE_OK ||
            curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &opened) != CURLE_OK) {
            return {};
        }
        connections += opened;
    }
    return connections == 1 ? accepted_nodelay(port) : std::vector<int>();
}

// Requests of this process to `url`, trusting `ca_file`, with `limits`; the built-in host and
// key otherwise.
void use_endpoint(const std::string& url, const std::string& ca_file, const storm_limits& limits) {
    storm_service_settings settings = built_in_storm_service();
    settings.endpoint_url = url;
    settings.ca_file = ca_file;
    settings.limits = limits;
    use_storm_service(settings);
}

class SimulatorTest : public ::testing::Test {
  protected:
    void start(const sim_options& options) {
        std::string error;
        sim = start_simulator(options, error);
        ASSERT_NE(sim, nullptr) << error;
        use_endpoint(sim_storm_endpoint(*sim), pki_dir + "/ca.pem", short_limits());
        saved_weather = weather_service_endpoint();
        weather_service_endpoint() = {sim_weather_base_url(*sim), 1000, 3000};
    }
    void TearDown() override {
        close_storm_connection();
        use_storm_service(built_in_storm_service());
        weather_service_endpoint() = saved_weather;
        sim.reset();
    }
    simulator_handle sim;
    weather_endpoint saved_weather{};
};

TEST_F(SimulatorTest, StormClientGetsTownsWarningsAndStrikes) {
    start(loopback_options());
    EXPECT_EQ(sim_ready_line(*sim),
              "nimbrovator-sim: storm https://localhost:" + std::to_string(sim_storm_port(*sim)) +
                  "/soap.php, weather http://127.0.0.1:" + std::to_string(sim_weather_port(*sim)));
    std::string reply;
    ASSERT_EQ(storm_call([&] { return call_miejscowosc(L"Kraków", reply); }), 0);
    EXPECT_EQ(reply, "<y xsi:type=\"xsd:float\">50.0614</y><x xsi:type=\"xsd:float\">19.9366</x>");
    ASSERT_EQ(storm_call([&] { return call_miejscowosc(L"Łódź", reply); }), 0);
    EXPECT_EQ(reply, "<y xsi:type=\"xsd:float\">51.7706</y><x xsi:type=\"xsd:float\">19.4739</x>");
    ASSERT_EQ(storm_call([&] { return call_miejscowosc(L"Nibylandia", reply); }), 0);
    EXPECT_EQ(reply, "<y xsi:type=\"xsd:float\">0</y><x xsi:type=\"xsd:float\">0</x>");

    ASSERT_EQ(storm_call([&] { return call_ostrzezenia_pogodowe(50.0614f, 19.9366f, reply); }), 0);
    for (const char* tag : {"<mroz xsi:type=\"xsd:int\">", "<upal xsi:type=\"xsd:int\">",
                            "<wiatr xsi:type=\"xsd:int\">", "<opad xsi:type=\"xsd:int\">",
                            "<burza xsi:type=\"xsd:int\">", "<traba xsi:type=\"xsd:int\">"}) {
        EXPECT_NE(reply.find(tag), std::string::npos) << tag;
    }
    ASSERT_EQ(storm_call([&] { return call_szukaj_burzy("50.0614", "19.9366", 25, reply); }), 0);
    for (const char* tag : {"<liczba xsi:type=\"xsd:int\">", "<odleglosc xsi:type=\"xsd:float\">",
                            "<kierunek xsi:type=\"xsd:string\">", "<okres xsi:type=\"xsd:int\">"}) {
        EXPECT_NE(reply.find(tag), std::string::npos) << tag;
    }
    bool verdict = false;
    ASSERT_EQ(storm_call([&] { return call_key_api(configured_storm_key(), verdict); }), 0);
    EXPECT_TRUE(verdict);
}

TEST_F(SimulatorTest, AnotherKeyIsRefusedWithAFault) {
    sim_options options = loopback_options();
    options.storm_key = std::string(40, 'f');
    options.weather_key = std::string(32, 'f');
    start(options);
    std::string reply = "kept?";
    EXPECT_NE(storm_call([&] { return call_miejscowosc(L"Kraków", reply); }), 0);
    EXPECT_EQ(reply, "");
    const Json::Value document = parse_weather_json(fetch_current_weather("Kraków"));
    EXPECT_EQ(document["cod"].asInt(), 401);
}

TEST_F(SimulatorTest, WeatherFetchGetsCurrentWeatherAndForecast) {
    const TempDir dir;
    sim_options options = loopback_options();
    options.log_file = dir.path + "/sim.log";
    start(options);
    const Json::Value current = parse_weather_json(fetch_current_weather("Nowy Sącz"));
    EXPECT_EQ(current["name"].asString(), "Nowy Sącz");
    EXPECT_TRUE(current["main"]["temp"].isDouble());
    const Json::Value forecast = parse_weather_json(fetch_daily_forecast("krakow", 2));
    EXPECT_EQ(forecast["list"].size(), 2u);
    const Json::Value missing = parse_weather_json(fetch_current_weather("Nibylandia"));
    EXPECT_EQ(missing["message"].asString(), "Error: Not found city");

    std::string reply;
    ASSERT_EQ(storm_call([&] { return call_miejscowosc(L"Toruń", reply); }), 0);
    sim.reset();
    const std::string log = read_file(options.log_file);
    EXPECT_NE(log.find(" weather /data/2.5/weather Nowy Sącz -> Nowy Sącz, "), std::string::npos)
        << log;
    EXPECT_NE(log.find(" weather /data/2.5/forecast/daily krakow -> Kraków, 2 days"),
              std::string::npos);
    EXPECT_NE(log.find(" storm miejscowosc Toruń -> 53.0138 N 18.5981 E"), std::string::npos);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 4);
}

TEST_F(SimulatorTest, CloseAndGarbageFaultsFailBothClients) {
    for (const char* fault : {"close", "garbage", "http500", "soap-fault"}) {
        sim_options options = loopback_options();
        options.fault = fault;
        start(options);
        std::string reply = "kept?";
        EXPECT_NE(storm_call([&] { return call_miejscowosc(L"Kraków", reply); }), 0) << fault;
        EXPECT_EQ(reply, "") << fault;
        const std::string body = fetch_current_weather("Kraków");
        Json::Value document;
        EXPECT_FALSE(Json::Reader().parse(body, document) && document.isObject() &&
                     document.isMember("main"))
            << fault << ": " << body;
        TearDown();
    }
}

TEST_F(SimulatorTest, DelayHoldsEveryAnswer) {
    sim_options options = loopback_options();
    options.delay_ms = 300;
    start(options);
    const auto begin = std::chrono::steady_clock::now();
    std::string reply;
    ASSERT_EQ(storm_call([&] { return call_miejscowosc(L"Kraków", reply); }), 0);
    EXPECT_FALSE(fetch_current_weather("Kraków").empty());
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(600));
}

// Without TCP_NODELAY every answer on a kept-alive connection waits about 40 ms for the
// client's delayed ACK.
TEST_F(SimulatorTest, KeptAliveConnectionsSendWithoutDelay) {
    start(loopback_options());
    const std::pair<std::string, int> services[] = {
        {sim_storm_endpoint(*sim), sim_storm_port(*sim)},
        {sim_weather_base_url(*sim) + "/data/2.5/weather?q=Krak", sim_weather_port(*sim)},
    };
    for (const auto& [url, port] : services) {
        SCOPED_TRACE(url);
        const std::vector<int> settings = nodelay_of_kept_connection(url, port);
        ASSERT_FALSE(settings.empty()) << "the requests did not share one accepted connection";
        for (int nodelay : settings) {
            EXPECT_NE(nodelay, 0);
        }
    }
}

TEST(StartSimulator, BusyPortAndUnusableFilesAreReported) {
    const int busy = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(busy, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(busy, 1), 0);
    ASSERT_EQ(getsockname(busy, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int port = ntohs(address.sin_port);

    sim_options options = loopback_options();
    options.weather_port = port;
    std::string error;
    EXPECT_EQ(start_simulator(options, error), nullptr);
    EXPECT_NE(error.find("127.0.0.1:" + std::to_string(port)), std::string::npos) << error;

    options = loopback_options();
    options.storm_port = port;
    error.clear();
    EXPECT_EQ(start_simulator(options, error), nullptr);
    EXPECT_NE(error.find("storm"), std::string::npos) << error;
    close(busy);

    // A second simulator on the ports of a running one.
    const simulator_handle first = start_simulator(loopback_options(), error);
    ASSERT_NE(first, nullptr) << error;
    for (const bool storm : {true, false}) {
        options = loopback_options();
        (storm ? options.storm_port : options.weather_port) =
            storm ? sim_storm_port(*first) : sim_weather_port(*first);
        EXPECT_EQ(start_simulator(options, error), nullptr);
        EXPECT_NE(error.find("the port is in use"), std::string::npos) << error;
    }

    options = loopback_options();
    options.cert_file = "/nonexistent/server.pem";
    error.clear();
    EXPECT_EQ(start_simulator(options, error), nullptr);
    EXPECT_NE(error.find("/nonexistent/server.pem"), std::string::npos) << error;

    options = loopback_options();
    options.fault = "explode";
    EXPECT_EQ(start_simulator(options, error), nullptr);
    EXPECT_EQ(error, "unknown fault mode: explode");
}

TEST(EnsurePki, MakesACaAndALocalhostCertificateOnce) {
    const TempDir dir;
    const std::string pki = dir.path + "/pki";
    std::string error;
    ASSERT_TRUE(ensure_pki(pki, error)) << error;
    const std::string certificate = read_file(pki + "/server.pem");
    EXPECT_NE(certificate.find("BEGIN CERTIFICATE"), std::string::npos);
    EXPECT_NE(read_file(pki + "/ca.pem").find("BEGIN CERTIFICATE"), std::string::npos);
    // Present files are kept.
    ASSERT_TRUE(ensure_pki(pki, error)) << error;
    EXPECT_EQ(read_file(pki + "/server.pem"), certificate);

    // The storm client, trusting that CA, reaches a simulator using that certificate.
    sim_options options = default_sim_options();
    options.storm_port = 0;
    options.weather_port = 0;
    options.pki_dir = pki;
    simulator_handle sim = start_simulator(options, error);
    ASSERT_NE(sim, nullptr) << error;
    EXPECT_EQ(sim_ca_file(*sim), pki + "/ca.pem");
    use_endpoint(sim_storm_endpoint(*sim), sim_ca_file(*sim), short_limits());
    std::string reply;
    EXPECT_EQ(storm_call([&] { return call_miejscowosc(L"Gdańsk", reply); }), 0);
    EXPECT_NE(reply.find("<y xsi:type=\"xsd:float\">54.3523</y>"), std::string::npos) << reply;
    use_storm_service(built_in_storm_service());

    error.clear();
    EXPECT_FALSE(ensure_pki("/proc/no-such-place/pki", error));
    EXPECT_FALSE(error.empty());
}

} // namespace
