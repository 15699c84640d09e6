#include "storm/storm_client.h"

#include "fake_storm_service.h"
#include "nimbrovator_config.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <sstream>
#include <thread>

namespace {

const std::string pki_dir = TEST_PKI_DIR;
const std::string configured_endpoint = "https://" NIMBROVATOR_STORM_HOST "/soap.php";
const std::string encoding_ns = "http://schemas.xmlsoap.org/soap/encoding/";

// Short limits, so that the time-out tests end within seconds.
storm_limits short_limits() {
    storm_limits limits;
    limits.connect_timeout = 2;
    limits.send_timeout = 2;
    limits.recv_timeout = 1;
    limits.transfer_timeout = 1;
    return limits;
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

// One storm service request as the reports make it: why it failed, and that as the user reads
// it (empty after a success).
struct outcome {
    int status;
    failure_cause cause;
    std::string report;
};

outcome request(const std::function<int()>& call) {
    prepare_storm_request();
    const int status = call();
    const request_failure failure = end_storm_call(status);
    return {status, failure.cause, status != 0 ? failure_text(failure) : ""};
}

// Expected request body: the envelope with its header around the request element, for a
// service at `endpoint` and a key.
std::string request_body(const std::string& request_element, const std::string& endpoint,
                         const std::string& key) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<SOAP-ENV:Envelope xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\" "
           "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
           "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" xmlns:ns1=\"" +
           endpoint + "\"><SOAP-ENV:Header><KeyAPI><klucz>" + key +
           "</klucz></KeyAPI></SOAP-ENV:Header><SOAP-ENV:Body SOAP-ENV:encodingStyle=\"" +
           encoding_ns + "\">" + request_element + "</SOAP-ENV:Body></SOAP-ENV:Envelope>\r\n";
}

class StormClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        service = start_fake_storm_service(pki_dir + "/server.pem", pki_dir + "/server.key");
        ASSERT_NE(service, nullptr) << "the fake storm service did not start";
        use(*service);
    }

    void TearDown() override {
        close_storm_connection();
        use_storm_service(built_in_storm_service());
    }

    static void use(const fake_storm_service& target) {
        use_endpoint(fake_storm_endpoint(target), pki_dir + "/ca.pem", short_limits());
    }

    std::vector<fake_storm_request> requests() const { return fake_storm_requests(*service); }

    fake_storm_service_handle service;
};

struct wire_case {
    std::string operation;
    std::function<int()> call;
    std::string request_element;
};

std::vector<wire_case> wire_cases() {
    return {
        {"KeyAPI",
         [] {
             bool verdict = true;
             return call_key_api("abc&<>", verdict);
         },
         "<ns1:KeyAPI><klucz xsi:type=\"xsd:string\">abc&amp;&lt;&gt;</klucz></ns1:KeyAPI>"},
        {"miejscowosc",
         [] {
             std::string reply;
             return call_miejscowosc(L"\u0141\u00f3d\u017a", reply);
         },
         "<ns1:miejscowosc><nazwa xsi:type=\"xsd:string\">\xc5\x81\xc3\xb3\x64\xc5\xba</nazwa>"
         "</ns1:miejscowosc>"},
        {"ostrzezenia_pogodowe",
         [] {
             std::string reply;
             return call_ostrzezenia_pogodowe(50.0614f, 19.9366f, reply);
         },
         "<ns1:ostrzezenia_pogodowe><y xsi:type=\"xsd:float\">50.0614014</y>"
         "<x xsi:type=\"xsd:float\">19.9365997</x></ns1:ostrzezenia_pogodowe>"},
        {"szukaj_burzy",
         [] {
             std::string reply;
             return call_szukaj_burzy("50.06", "19.940000", 30, reply);
         },
         "<ns1:szukaj_burzy><y xsi:type=\"xsd:string\">50.06</y>"
         "<x xsi:type=\"xsd:string\">19.940000</x><promien xsi:type=\"xsd:int\">30</promien>"
         "</ns1:szukaj_burzy>"},
        {"skrot",
         [] {
             std::string reply;
             return call_skrot("NW", reply);
         },
         "<ns1:skrot><kierunek xsi:type=\"xsd:string\">NW</kierunek></ns1:skrot>"},
    };
}

// Sends each operation once and compares what arrived with what a build for `endpoint` sends.
void expect_wire_format(fake_storm_service& service, const std::string& endpoint,
                        const std::string& key) {
    const std::vector<wire_case> cases = wire_cases();
    set_fake_storm_handler(service, [](const fake_storm_request& sent) {
        const std::string operation = soap_operation(sent);
        const bool key_api = operation == "KeyAPI";
        return fake_storm_reply{
            200, soap_reply(operation, soap_return(key_api ? "xsd:boolean" : "xsd:string",
                                                   key_api ? "true" : "x"))};
    });
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].operation);
        EXPECT_EQ(request(cases[i].call).status, 0);
        const auto received = fake_storm_requests(service);
        ASSERT_EQ(received.size(), i + 1);
        const fake_storm_request& sent = received.back();
        EXPECT_EQ(sent.method, "POST");
        EXPECT_EQ(sent.path, "/soap.php");
        EXPECT_EQ(request_header(sent, "SOAPAction"),
                  "\"" + endpoint + "#" + cases[i].operation + "\"");
        EXPECT_EQ(request_header(sent, "Content-Type"), "text/xml; charset=utf-8");
        EXPECT_EQ(request_header(sent, "Content-Length"), std::to_string(sent.body.size()));
        EXPECT_EQ(sent.body, request_body(cases[i].request_element, endpoint, key));
    }
}

TEST_F(StormClientTest, EachOperationSendsItsRequestWithKeyHeaderAndAction) {
    expect_wire_format(*service, configured_endpoint, EXPECTED_STORM_KEY);
}

// A build configured for localhost:PORT talking to a service given at run time on another port
// sends what a build configured for that port would send.
TEST_F(StormClientTest, HostGivenAtRunTimeIsNamedAsABuildForItWouldNameIt) {
    const std::string host = "localhost:" + std::to_string(fake_storm_port(*service));
    ASSERT_NE(host, NIMBROVATOR_STORM_HOST);
    const std::string key = "0123456789ABCDEFabcdef0123456789abcdef01";
    use_storm_service(host, pki_dir + "/ca.pem", key);
    const std::string endpoint = "https://" + host + "/soap.php";
    expect_wire_format(*service, endpoint, key);
    EXPECT_EQ(storm_host(), host);
    // A request on a context of its own, as the reports make them, names the host too.
    prepare_storm_request();
    std::string reply;
    request_failure failure;
    EXPECT_EQ(call_apart([&] { return call_skrot("NW", reply); }, failure), 0) << failure.detail;
    release_storm_call();
    const fake_storm_request sent = fake_storm_requests(*service).back();
    EXPECT_EQ(request_header(sent, "SOAPAction"), "\"" + endpoint + "#skrot\"");
    EXPECT_EQ(sent.body, request_body("<ns1:skrot><kierunek xsi:type=\"xsd:string\">NW</kierunek>"
                                      "</ns1:skrot>",
                                      endpoint, key));
    use_storm_service(NIMBROVATOR_STORM_HOST, NIMBROVATOR_STORM_CA_FILE, "");
    EXPECT_EQ(storm_host(), NIMBROVATOR_STORM_HOST);
}

TEST_F(StormClientTest, EveryRequestOfARunCarriesTheKey) {
    set_fake_storm_reply(*service, {200, soap_reply("skrot", soap_return("xsd:string", "N"))});
    std::string reply;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(request([&] { return call_skrot("N", reply); }).status, 0);
    }
    const auto received = requests();
    ASSERT_EQ(received.size(), 3u);
    for (const auto& sent : received) {
        EXPECT_NE(sent.body.find("<SOAP-ENV:Header><KeyAPI><klucz>" EXPECTED_STORM_KEY
                                 "</klucz></KeyAPI></SOAP-ENV:Header>"),
                  std::string::npos);
    }
}

struct reply_case {
    std::string name;
    std::string operation;
    std::string inner_markup;
    std::string expected;
};

int call_operation(const std::string& operation, std::string& reply) {
    if (operation == "miejscowosc") {
        return call_miejscowosc(L"Krak\u00f3w", reply);
    }
    if (operation == "ostrzezenia_pogodowe") {
        return call_ostrzezenia_pogodowe(50.06f, 19.94f, reply);
    }
    if (operation == "skrot") {
        return call_skrot("N", reply);
    }
    return call_szukaj_burzy("50.06", "19.94", 25, reply);
}

TEST_F(StormClientTest, ReplyTextIsTheResultsInnerMarkup) {
    const std::string burza =
        "<liczba xsi:type=\"xsd:int\">5</liczba><odleglosc xsi:type=\"xsd:float\">12.5"
        "</odleglosc><kierunek xsi:type=\"xsd:string\">NE</kierunek>"
        "<okres xsi:type=\"xsd:int\">10</okres>";
    const std::vector<reply_case> cases = {
        {"nested markup kept", "szukaj_burzy", burza_return(5, "12.5", "NE", 10), burza},
        {"entities decoded", "szukaj_burzy", burza_return(5, "12.5", "N &amp; E &lt;x&gt;", 10),
         "<liczba xsi:type=\"xsd:int\">5</liczba><odleglosc xsi:type=\"xsd:float\">12.5"
         "</odleglosc><kierunek xsi:type=\"xsd:string\">N & E <x></kierunek>"
         "<okres xsi:type=\"xsd:int\">10</okres>"},
        {"white space and single quotes kept", "miejscowosc",
         soap_return("ns2:MyComplexTypeMiejscowosc",
                     "\n <y xsi:type='xsd:float'>50.06</y> <x xsi:nil=\"true\" "
                     "xsi:type=\"xsd:float\"/>\n"),
         "\n <y xsi:type='xsd:float'>50.06</y> <x xsi:nil=\"true\" xsi:type=\"xsd:float\"/>\n"},
        {"first child taken whatever its name", "ostrzezenia_pogodowe",
         "<wynik xsi:type=\"ns2:MyComplexTypeOstrzezenia\"><mroz xsi:type=\"xsd:int\">0</mroz>"
         "<burza xsi:type=\"xsd:int\">2</burza></wynik>",
         "<mroz xsi:type=\"xsd:int\">0</mroz><burza xsi:type=\"xsd:int\">2</burza>"},
        {"UTF-8 survives", "skrot",
         soap_return("xsd:string", "p\xc3\xb3\xc5\x82noc \xc5\x81\xc3\xb3\x64\xc5\xba"),
         "p\xc3\xb3\xc5\x82noc \xc5\x81\xc3\xb3\x64\xc5\xba"},
        {"plain text result", "skrot", soap_return("xsd:string", "zach&#xF3;d"),
         "zach\xc3\xb3\x64"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        set_fake_storm_reply(*service, {200, soap_reply(c.operation, c.inner_markup)});
        std::string reply = "stale";
        EXPECT_EQ(request([&] { return call_operation(c.operation, reply); }).status, 0);
        EXPECT_EQ(reply, c.expected);
    }
}

TEST_F(StormClientTest, KeyApiReadsTheVerdict) {
    for (const bool verdict : {true, false}) {
        set_fake_storm_reply(
            *service,
            {200, soap_reply("KeyAPI", soap_return("xsd:boolean", verdict ? "true" : "false"))});
        bool result = !verdict;
        EXPECT_EQ(request([&] { return call_key_api("k", result); }).status, 0);
        EXPECT_EQ(result, verdict);
    }
}

struct failure_case {
    std::string name;
    fake_storm_reply reply;
    failure_cause cause;
    std::string report_contains;
};

TEST_F(StormClientTest, FailedCallsEmptyTheReplyAndReportTheFault) {
    const std::vector<failure_case> cases = {
        {"SOAP Fault naming the key",
         soap_fault_reply("SOAP-ENV:Client", "Nieprawid\xc5\x82owy klucz"),
         failure_cause::key_rejected, "klucz odrzucony (Nieprawid"},
        {"SOAP Fault", soap_fault_reply("SOAP-ENV:Server", "awaria"), failure_cause::server_error,
         "błąd serwera (awaria)"},
        {"HTTP 404",
         {404, "<html><body>Not Found</body></html>", "text/html"},
         failure_cause::server_error,
         "błąd serwera (HTTP 404)"},
        {"HTTP 500 with HTML",
         {500, "<html><body>Oops</body></html>", "text/html"},
         failure_cause::server_error,
         "(HTTP 500)"},
        {"malformed XML",
         {200, "<?xml version=\"1.0\"?>\n<SOAP-ENV:Envelope"},
         failure_cause::malformed,
         "nieprawidłowa odpowiedź"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        set_fake_storm_reply(*service, c.reply);
        std::string reply = "stale";
        bool verdict = true;
        const outcome result =
            request([&] { return call_szukaj_burzy("50.06", "19.94", 25, reply); });
        EXPECT_NE(result.status, 0);
        EXPECT_EQ(reply, "");
        EXPECT_EQ(result.cause, c.cause) << result.report;
        EXPECT_NE(result.report.find(c.report_contains), std::string::npos) << result.report;
        EXPECT_EQ(result.report.find("SOAP"), std::string::npos) << result.report;
        EXPECT_NE(request([&] { return call_key_api("k", verdict); }).status, 0);
        EXPECT_FALSE(verdict);
    }
}

TEST_F(StormClientTest, FaultReportIsEmptyAfterASuccess) {
    set_fake_storm_reply(*service, soap_fault_reply("SOAP-ENV:Server", "awaria"));
    std::string reply;
    const outcome failed = request([&] { return call_skrot("N", reply); });
    EXPECT_NE(failed.status, 0);
    EXPECT_NE(failed.report.find("awaria"), std::string::npos) << failed.report;
    set_fake_storm_reply(*service, {200, soap_reply("skrot", soap_return("xsd:string", "N"))});
    const outcome succeeded = request([&] { return call_skrot("N", reply); });
    EXPECT_EQ(succeeded.status, 0);
    EXPECT_EQ(succeeded.report, "");
}

TEST_F(StormClientTest, FaultTextReachesTheUserWithoutControlCharacters) {
    set_fake_storm_reply(*service, soap_fault_reply("SOAP-ENV:Server",
                                                    "\x1B]0;tytu\xC5\x82\x07\x1B[2J\xC2\x9B"
                                                    "31mawaria us\xC5\x82ugi"));
    std::string reply;
    const std::string report = request([&] { return call_skrot("N", reply); }).report;
    EXPECT_NE(report.find("]0;tytu\xC5\x82[2J31mawaria us\xC5\x82ugi"), std::string::npos)
        << report;
    for (const char* control : {"\x1B", "\x07", "\xC2\x9B"}) {
        EXPECT_EQ(report.find(control), std::string::npos) << report;
    }
}

TEST_F(StormClientTest, RefusedConnectionLeavesTheReplyUnchanged) {
    // A bound socket that does not listen: connections to its port are refused.
    const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length), 0);
    use_endpoint("https://localhost:" + std::to_string(ntohs(address.sin_port)) + "/soap.php",
                 pki_dir + "/ca.pem", short_limits());
    std::string reply = "stale";
    const outcome result = request([&] { return call_szukaj_burzy("50.06", "19.94", 25, reply); });
    ::close(sock);
    EXPECT_NE(result.status, 0);
    EXPECT_EQ(reply, "stale");
    EXPECT_EQ(result.report, "połączenie odrzucone");
}

struct untrusted_case {
    std::string name;
    std::string cert;
    std::string ca_file;
};

TEST_F(StormClientTest, UnverifiedServerGetsNoRequest) {
    const std::vector<untrusted_case> cases = {
        {"certificate of another CA", "other-server", pki_dir + "/ca.pem"},
        {"certificate for another host", "wrong-host-server", pki_dir + "/ca.pem"},
        {"wildcard alone", "star-server", pki_dir + "/ca.pem"},
        {"partial wildcard", "local-star-server", pki_dir + "/ca.pem"},
        {"common name beside another host's alternative name", "cn-localhost-server",
         pki_dir + "/ca.pem"},
        {"CA file missing", "server", pki_dir + "/no-such-ca.pem"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto untrusted = start_fake_storm_service(pki_dir + "/" + c.cert + ".pem",
                                                  pki_dir + "/" + c.cert + ".key");
        ASSERT_NE(untrusted, nullptr);
        set_fake_storm_reply(*untrusted,
                             {200, soap_reply("szukaj_burzy", burza_return(1, "3", "N", 10))});
        use_endpoint(fake_storm_endpoint(*untrusted), c.ca_file, short_limits());
        std::string reply = "stale";
        const outcome result =
            request([&] { return call_szukaj_burzy("50.06", "19.94", 25, reply); });
        EXPECT_NE(result.status, 0);
        EXPECT_EQ(reply, "stale");
        EXPECT_EQ(result.cause, failure_cause::certificate) << result.report;
        // Give a request that got through time to arrive before looking.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_TRUE(fake_storm_requests(*untrusted).empty());
    }
    // The trusted server is still reached once its CA is trusted again.
    use(*service);
    set_fake_storm_reply(*service, {200, soap_reply("skrot", soap_return("xsd:string", "N"))});
    std::string reply;
    EXPECT_EQ(request([&] { return call_skrot("N", reply); }).status, 0);
    EXPECT_EQ(reply, "N");
}

// Where the TLS library would find the system's CAs: a bundle file and a hashed directory.
struct system_store {
    std::string bundle;
    std::string directory;
};

void point_system_store(const system_store& store) {
    setenv("SSL_CERT_FILE", store.bundle.c_str(), 1);
    setenv("SSL_CERT_DIR", store.directory.c_str(), 1);
}

struct trust_case {
    std::string name;
    std::string ca_file; // empty: none configured
    system_store store;
    std::string cert;
    bool accepted;
};

TEST_F(StormClientTest, TrustComesFromTheCaFileElseTheSystemsCaDirectory) {
    const std::string ca = pki_dir + "/ca";
    const std::string other = pki_dir + "/other-ca";
    const std::vector<trust_case> cases = {
        {"CA file: the system store is not read",
         ca + ".pem",
         {other + ".pem", other + ".d"},
         "other-server",
         false},
        {"CA file: its own CA", ca + ".pem", {other + ".pem", other + ".d"}, "server", true},
        {"no CA file: the system's directory", "", {other + ".pem", ca + ".d"}, "server", true},
        {"no CA file: not the system's bundle",
         "",
         {other + ".pem", ca + ".d"},
         "other-server",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        point_system_store(c.store);
        auto server = start_fake_storm_service(pki_dir + "/" + c.cert + ".pem",
                                               pki_dir + "/" + c.cert + ".key");
        ASSERT_NE(server, nullptr);
        set_fake_storm_reply(*server, {200, soap_reply("skrot", soap_return("xsd:string", "N"))});
        use_endpoint(fake_storm_endpoint(*server), c.ca_file, short_limits());
        std::string reply;
        EXPECT_EQ(request([&] { return call_skrot("N", reply); }).status == 0, c.accepted);
        EXPECT_EQ(reply == "N", c.accepted);
        close_storm_connection();
    }
    unsetenv("SSL_CERT_FILE");
    unsetenv("SSL_CERT_DIR");
}

// On the client's own context, and apart (on a context of the call's own, as the reports make
// their requests on threads): a call that went well leaves its connection for the next one.
TEST_F(StormClientTest, CallsShareOneConnectionUntilTheServiceClosesIt) {
    const fake_storm_reply answer{200, soap_reply("skrot", soap_return("xsd:string", "N"))};
    const auto apart = [](const std::function<int()>& call) {
        prepare_storm_request();
        request_failure failure;
        return call_apart(call, failure);
    };
    const std::pair<const char*, std::function<int(const std::function<int()>&)>> ways[] = {
        {"own", [](const std::function<int()>& call) { return request(call).status; }},
        {"apart", apart},
    };
    for (const auto& [name, call] : ways) {
        SCOPED_TRACE(name);
        set_fake_storm_reply(*service, answer);
        std::string reply;
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(call([&] { return call_skrot("N", reply); }), 0);
        }
        const auto received = requests();
        ASSERT_EQ(received.size(), 3u);
        for (const auto& sent : received) {
            EXPECT_EQ(request_header(sent, "REMOTE_PORT"),
                      request_header(received[0], "REMOTE_PORT"));
        }
        // The service closes the connection (stopping, once it is idle) and comes back on its
        // port.
        const int port = fake_storm_port(*service);
        service.reset();
        service = start_fake_storm_service(pki_dir + "/server.pem", pki_dir + "/server.key", port);
        ASSERT_NE(service, nullptr);
        set_fake_storm_reply(*service, answer);
        reply.clear();
        EXPECT_EQ(call([&] { return call_skrot("N", reply); }), 0);
        EXPECT_EQ(reply, "N");
        service.reset();
        service = start_fake_storm_service(pki_dir + "/server.pem", pki_dir + "/server.key", port);
        ASSERT_NE(service, nullptr);
    }
}

TEST_F(StormClientTest, SilentServerTimesOut) {
    fake_storm_reply late{200, soap_reply("szukaj_burzy", burza_return(1, "3", "N", 10))};
    late.delay_ms = 2500;
    set_fake_storm_reply(*service, late);
    std::string reply = "stale";
    const auto start = std::chrono::steady_clock::now();
    const outcome result = request([&] { return call_szukaj_burzy("50.06", "19.94", 25, reply); });
    EXPECT_NE(result.status, 0);
    EXPECT_EQ(result.report, "przekroczony czas oczekiwania");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    EXPECT_EQ(reply, "");
    EXPECT_EQ(requests().size(), 1u);
}

TEST_F(StormClientTest, TrickledReplyIsCutOffByTheTransferTimeOut) {
    fake_storm_reply slow{200, soap_reply("szukaj_burzy", burza_return(1, "3", "N", 10))};
    slow.trickle_interval_ms = 50; // about 30 s for the whole body
    set_fake_storm_reply(*service, slow);
    std::string reply = "stale";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(request([&] { return call_szukaj_burzy("50.06", "19.94", 25, reply); }).status, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    EXPECT_EQ(reply, "");
}

TEST_F(StormClientTest, RepliesOverOneMebibyteAreRefused) {
    use_endpoint(fake_storm_endpoint(*service), pki_dir + "/ca.pem", storm_limits{});
    struct size_case {
        std::size_t padding;
        bool accepted;
    };
    for (const size_case c : {size_case{900 * 1024, true}, size_case{2048 * 1024, false}}) {
        SCOPED_TRACE(c.padding);
        const std::string padding(c.padding, 'a');
        set_fake_storm_reply(*service,
                             {200, soap_reply("szukaj_burzy", burza_return(1, "3", padding, 10))});
        std::string reply = "stale";
        const outcome result =
            request([&] { return call_szukaj_burzy("50.06", "19.94", 25, reply); });
        EXPECT_EQ(result.status == 0, c.accepted);
        EXPECT_EQ(result.cause == failure_cause::too_large, !c.accepted) << result.report;
        EXPECT_EQ(reply.find(padding) != std::string::npos, c.accepted);
    }
}

} // namespace
