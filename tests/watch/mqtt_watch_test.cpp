// Whole watches publishing to a real mosquitto broker that each case starts on a free loopback
// port, checking the fake storm service: what a subscriber hears, the last will after kill -9,
// reconnection after the broker was down and restarted, Home Assistant's return (announced once
// per birth message, a retained one being old news), TLS against the test CA, a rejected login
// and a broker whose name is never looked up; Home Assistant's commands through an ACL.
#include "mqtt/mqtt_payloads.h"
#include "scripted_storm.h"
#include "support/background_program.h"
#include "support/broker.h"
#include "support/run_program.h"
#include "support/service_ports.h"
#include "support/temp_dir.h"

#include "nimbrovator_config.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <map>
#include <set>
#include <sstream>
#include <thread>

namespace {

using steady = std::chrono::steady_clock;
using Messages = std::vector<ReceivedMessage>;

const int storm_port = test_storm_port();
// Kraków as the fake storm service places it, at 30 km: not the usual radius, so hashed.
const std::string slug = place_slug({"Kraków", 50.0614, 19.9366, 30, false}, 25);
const std::string state_topic = "nimbrovator/" + slug + "/state";
const std::string availability_topic = "nimbrovator/" + slug + "/availability";
const std::string event_topic = "nimbrovator/" + slug + "/event";

Json::Value parsed(const std::string& text) {
    Json::Value value;
    Json::Reader().parse(text, value);
    return value;
}

std::size_t count_on(const Messages& messages, const std::string& topic,
                     const std::string& payload = "") {
    return std::count_if(messages.begin(), messages.end(), [&](const ReceivedMessage& message) {
        return message.topic == topic && (payload.empty() || message.payload == payload);
    });
}

std::size_t configs(const Messages& messages) {
    return std::count_if(messages.begin(), messages.end(), [](const ReceivedMessage& message) {
        return message.topic.rfind("homeassistant/", 0) == 0 &&
               message.topic.find("/nimbrovator_" + slug + "/") != std::string::npos;
    });
}

// A watch of Kraków, 30 km, checking every 0.3 s, with the options `args`.
struct Watch : BackgroundProgram {
    void start(const std::vector<std::string>& args, const std::string& data_dir,
               const std::vector<std::string>& environment = {}) {
        std::vector<std::string> all = {"--watch", "--every", "0.005"};
        all.insert(all.end(), args.begin(), args.end());
        all.insert(all.end(), {"Kraków", "30"});
        BackgroundProgram::start(all, data_dir, environment);
    }
};

// The scripted storm service: no strikes at the first check, then five strikes 7 km to the W.
class MqttWatchTest : public ::testing::Test {
  protected:
    TempDir data;
    scripted_storm replies;
    fake_storm_service_handle storm;

    void SetUp() override {
        if (storm_port == 0 || std::string(NIMBROVATOR_STORM_CA_FILE) != TEST_PKI_DIR "/ca.pem") {
            GTEST_SKIP() << "the program is not built to trust the test certificate authority";
        }
        replies.play({0, 7});
        storm = start_scripted_storm_service(TEST_PKI_DIR "/server.pem", TEST_PKI_DIR "/server.key",
                                             storm_port, replies);
        ASSERT_TRUE(storm) << "port " << storm_port << " is busy";
        // The weather reports off: only the storm service is asked.
        ASSERT_TRUE(switch_weather_reports_off(data.path));
    }
};

TEST_F(MqttWatchTest, DiscoveryStateAndEventThenTheLastWillAfterKill) {
    TestBroker broker;
    ASSERT_TRUE(broker.start()) << broker.log();
    Subscriber live;
    ASSERT_TRUE(live.connect(broker.port));
    // Home Assistant is up: its birth message is retained, and comes with every subscription.
    live.publish("homeassistant/status", "online", true);
    Watch watch;
    // A ring closer than the strikes: the storm's first alert is burza, not blisko.
    watch.start({"--danger-km", "5", "--mqtt", "mqtt://127.0.0.1:" + std::to_string(broker.port)},
                data.path);

    // The state of the storm's check may come a second after its event.
    ASSERT_TRUE(live.wait_for([](const Messages& heard) {
        return count_on(heard, event_topic) >= 1 && configs(heard) >= 6 &&
               std::any_of(heard.begin(), heard.end(), [](const ReceivedMessage& message) {
                   return message.topic == state_topic &&
                          parsed(message.payload)["lightning"]["strikes"] == 5;
               });
    })) << watch.err();
    const Json::Value event = parsed(live.on(event_topic).front().payload);
    EXPECT_EQ(event["event_type"], "burza");
    EXPECT_EQ(event["town"], "Kraków");
    EXPECT_EQ(event["strikes"], 5);
    EXPECT_EQ(event["distance_km"], 7.0);
    EXPECT_EQ(event["direction"], "W");
    // Announced once: the retained birth message brought no second announcement.
    EXPECT_EQ(count_on(live.messages(), availability_topic, "online"), 1u);
    EXPECT_EQ(configs(live.messages()), 7u);

    // A later subscriber gets what is retained: discovery, availability and the latest state.
    Subscriber late;
    ASSERT_TRUE(late.connect(broker.port));
    ASSERT_TRUE(late.wait_for([](const Messages& heard) {
        return configs(heard) == 7 && count_on(heard, state_topic) == 1 &&
               count_on(heard, availability_topic) == 1;
    })) << late.messages().size();
    for (const ReceivedMessage& message : late.messages()) {
        EXPECT_TRUE(message.retain) << message.topic;
        const Json::Value payload = parsed(message.payload);
        if (message.topic == state_topic) {
            EXPECT_EQ(payload["schema"], 1);
            EXPECT_EQ(payload["town"]["name"], "Kraków");
            EXPECT_EQ(payload["lightning"]["strikes"], 5);
            EXPECT_EQ(payload["lightning"]["nearest_km"], 7.0);
            EXPECT_FALSE(payload.isMember("event")); // the --json document, unchanged
        } else if (message.topic != availability_topic && message.topic != "homeassistant/status") {
            EXPECT_TRUE(payload["unique_id"].isString()) << message.payload;
            EXPECT_EQ(payload["availability_topic"], availability_topic);
        }
    }

    double seconds = 0;
    watch.stop(SIGKILL, seconds);
    EXPECT_TRUE(live.wait_for([](const Messages& heard) {
        return count_on(heard, availability_topic, "offline") == 1;
    })) << "no last will";
}

TEST_F(MqttWatchTest, BrokerDownAtStartThenRestartedAndHomeAssistantBack) {
    replies.play({0});
    TestBroker broker;
    broker.port = free_loopback_port(); // not started yet
    Watch watch;
    watch.start({"--mqtt", "mqtt://127.0.0.1:" + std::to_string(broker.port)}, data.path);
    const auto wait_err = [&](const std::string& text) {
        const auto deadline = steady::now() + std::chrono::seconds(20);
        while (watch.err().find(text) == std::string::npos && steady::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return watch.err().find(text) != std::string::npos;
    };
    ASSERT_TRUE(wait_err("Brak połączenia: serwer MQTT 127.0.0.1")) << watch.err();
    const std::size_t checks_before = replies.lightning_calls();

    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(broker.start()) << broker.log();
        Subscriber subscriber;
        ASSERT_TRUE(subscriber.connect(broker.port));
        // Reconnected: availability, discovery and the latest state published again.
        ASSERT_TRUE(subscriber.wait_for([](const Messages& heard) {
            return configs(heard) == 7 && count_on(heard, state_topic) >= 1 &&
                   count_on(heard, availability_topic, "online") == 1;
        })) << watch.err();
        if (round == 0) {
            broker.stop();
            ASSERT_TRUE(wait_err("Utracono połączenie")) << watch.err();
            continue;
        }
        // Home Assistant announces itself: discovery again, and the state with it.
        const std::size_t states = count_on(subscriber.messages(), state_topic);
        subscriber.publish("homeassistant/status", "online", false);
        EXPECT_TRUE(subscriber.wait_for([&](const Messages& heard) {
            return configs(heard) == 14 && count_on(heard, state_topic) > states;
        })) << watch.err();
        // A flood of birth messages within 30 s of that one: one announcement more, at the end
        // of the 30 s.
        for (int i = 0; i < 1000; ++i) {
            subscriber.publish("homeassistant/status", "online", false);
        }
        std::this_thread::sleep_for(std::chrono::seconds(2));
        EXPECT_EQ(configs(subscriber.messages()), 14u);
        EXPECT_TRUE(
            subscriber.wait_for([](const Messages& heard) { return configs(heard) >= 21; }, 40))
            << watch.err();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_EQ(configs(subscriber.messages()), 21u);
        double seconds = 0;
        EXPECT_EQ(watch.stop(SIGTERM, seconds), 0);
        EXPECT_LT(seconds, 1.0);
        EXPECT_TRUE(subscriber.wait_for([](const Messages& heard) {
            return count_on(heard, availability_topic, "offline") == 1;
        }));
    }
    EXPECT_NE(watch.err().find("Znów połączono: serwer MQTT"), std::string::npos);
    // The checks went on while the broker was away.
    EXPECT_GT(replies.lightning_calls(), checks_before + 2);
    EXPECT_EQ(watch.err().find("Brak połączenia"), watch.err().rfind("Brak połączenia"))
        << "told more than once: " << watch.err();
}

TEST_F(MqttWatchTest, TlsAgainstTheTestCaAndARejectedLogin) {
    replies.play({0});
    TestBroker broker;
    const std::string passwords = broker.dir.path + "/passwords";
    ASSERT_EQ(std::system(("mosquitto_passwd -c -b " + passwords + " burze sekret").c_str()), 0);
    ASSERT_TRUE(broker.start("cafile " TEST_PKI_DIR "/ca.pem\ncertfile " TEST_PKI_DIR
                             "/server.pem\nkeyfile " TEST_PKI_DIR "/server.key\npassword_file " +
                             passwords + "\n"))
        << broker.log();
    Subscriber subscriber;
    ASSERT_TRUE(subscriber.connect(broker.port, TEST_PKI_DIR "/ca.pem", "burze", "sekret"));
    const std::string url = "mqtts://localhost:" + std::to_string(broker.port);
    const std::string ca = "NIMBROVATOR_MQTT_CA_FILE=" TEST_PKI_DIR "/ca.pem";

    Watch right;
    right.start({"--mqtt", url}, data.path,
                {ca, "NIMBROVATOR_MQTT_USER=burze", "NIMBROVATOR_MQTT_PASSWORD=sekret"});
    Watch wrong;
    wrong.start({"--mqtt", url}, data.path,
                {ca, "NIMBROVATOR_MQTT_USER=burze", "NIMBROVATOR_MQTT_PASSWORD=zle"});
    EXPECT_TRUE(subscriber.wait_for([](const Messages& heard) {
        return count_on(heard, state_topic) >= 1 && configs(heard) == 7;
    })) << right.err();
    // Several attempts (1 s, 2 s apart), said once; the checks go on.
    std::this_thread::sleep_for(std::chrono::seconds(4));
    const std::string err = wrong.err();
    const std::string rejected = "Logowanie odrzucone: serwer MQTT localhost:";
    EXPECT_NE(err.find(rejected), std::string::npos) << err;
    EXPECT_EQ(err.find(rejected), err.rfind(rejected)) << err;
    const std::string out = wrong.out();
    EXPECT_GE(std::count(out.begin(), out.end(), '\n'), 3) << out;
    EXPECT_EQ(count_on(subscriber.messages(), availability_topic, "online"), 1u);

    // --check tries the broker: trusted and accepted, then a certificate of another CA.
    // With the commands on it says so.
    const auto check = [&](const std::string& ca_file, const std::string& commands) {
        ProgramRun run;
        run.data_dir = data.path;
        run.args = {"--check"};
        run.environment = {"NIMBROVATOR_MQTT_URL=" + url,  "NIMBROVATOR_MQTT_CA_FILE=" + ca_file,
                           "NIMBROVATOR_MQTT_USER=burze",  "NIMBROVATOR_MQTT_PASSWORD=sekret",
                           "XDG_CONFIG_HOME=" + data.path, "NIMBROVATOR_MQTT_COMMANDS=" + commands};
        return run_nimbrovator(run).out;
    };
    const std::string line = "Serwer MQTT (localhost:" + std::to_string(broker.port) + "): ";
    const std::string trusted = check(TEST_PKI_DIR "/ca.pem", "on");
    EXPECT_NE(trusted.find(line + "działa"), std::string::npos);
    EXPECT_NE(trusted.find("(mqtt_commands): włączone, na tematach nimbrovator/MIEJSCE/cmd/#"),
              std::string::npos)
        << trusted;
    const std::string untrusted = check(TEST_PKI_DIR "/other-ca.pem", "off");
    EXPECT_NE(untrusted.find(line + "certyfikat serwera niezaufany"), std::string::npos);
    EXPECT_NE(untrusted.find("(mqtt_commands): wyłączone."), std::string::npos) << untrusted;
}

// A broker of MQTT 3.1.1 only refuses MQTT 5: the watch says so once and publishes in 3.1.1.
TEST_F(MqttWatchTest, ABrokerOfMqtt311OnlyIsSpokenToIn311) {
    replies.play({0});
    TestBroker broker;
    ASSERT_TRUE(broker.start()) << broker.log();
    Mqtt311Front front;
    ASSERT_TRUE(front.start(broker.port));
    Subscriber live;
    ASSERT_TRUE(live.connect(broker.port));
    Watch watch;
    watch.start({"--mqtt", "mqtt://127.0.0.1:" + std::to_string(front.port)}, data.path);
    EXPECT_TRUE(live.wait_for([](const Messages& heard) {
        return configs(heard) == 7 && count_on(heard, state_topic) >= 1;
    })) << watch.err();
    EXPECT_EQ(front.refused(), 1);
    const std::string err = watch.err();
    EXPECT_NE(err.find("nie obsługuje MQTT 5: łączę przez MQTT 3.1.1"), std::string::npos) << err;
    EXPECT_EQ(err.find("Brak połączenia"), std::string::npos) << err;
    EXPECT_EQ(watch.stop(SIGTERM), 0);
}

// The ACL that the README shows: only Home Assistant's user publishes commands.
const char* const command_acl = "user nimbrovator\n"
                                "topic write nimbrovator/#\n"
                                "topic read nimbrovator/+/cmd/#\n"
                                "topic write homeassistant/#\n"
                                "topic read homeassistant/status\n"
                                "user homeassistant\n"
                                "topic readwrite #\n"
                                "user gosc\n"
                                "topic read #\n";

// One watch, checking once an hour, takes Home Assistant's commands one after another; a
// second one, checking often, is flooded with bad ones.
TEST_F(MqttWatchTest, CommandsFromHomeAssistantOnlyAndNeverRetainedNorFlooding) {
    TestBroker broker;
    const std::string passwords = broker.dir.path + "/passwords";
    const std::string acl = broker.dir.path + "/acl";
    write_file(acl, command_acl);
    ASSERT_EQ(std::system(("mosquitto_passwd -c -b " + passwords + " nimbrovator n1 && " +
                           "mosquitto_passwd -b " + passwords + " homeassistant h1 && " +
                           "mosquitto_passwd -b " + passwords + " gosc g1")
                              .c_str()),
              0);
    ASSERT_TRUE(broker.start("password_file " + passwords + "\nacl_file " + acl + "\n"))
        << broker.log();
    Subscriber home;
    ASSERT_TRUE(home.connect(broker.port, "", "homeassistant", "h1"));
    Subscriber guest;
    ASSERT_TRUE(guest.connect(broker.port, "", "gosc", "g1"));
    const std::vector<std::string> environment = {"NIMBROVATOR_MQTT_USER=nimbrovator",
                                                  "NIMBROVATOR_MQTT_PASSWORD=n1",
                                                  "NIMBROVATOR_MQTT_COMMANDS=on"};
    const std::string url = "mqtt://127.0.0.1:" + std::to_string(broker.port);
    const std::string commands = "nimbrovator/" + slug + "/cmd/";
    const auto last_state = [&] { return parsed(home.on(state_topic).back().payload); };
    const auto state_where = [&](const std::function<bool(const Json::Value&)>& holds) {
        return home.wait_for([&](const Messages& heard) {
            return count_on(heard, state_topic) > 0 &&
                   holds(parsed(std::find_if(heard.rbegin(), heard.rend(), [](const auto& m) {
                                    return m.topic == state_topic;
                                })->payload));
        });
    };

    // Retained before the watch subscribes: it comes with the subscription, and is ignored.
    home.publish(commands + "snooze", "60", true);
    BackgroundProgram watch;
    watch.start({"--watch", "--every", "60", "--danger-km", "5", "--mqtt", url, "Kraków", "30"},
                data.path, environment);
    ASSERT_TRUE(home.wait_for([](const Messages& heard) {
        return count_on(heard, state_topic) >= 1 &&
               configs(heard) == 10; // 7 sensors and the 3 commands
    })) << watch.err();
    ASSERT_TRUE(state_where([](const Json::Value& state) {
        return state["commands"]["last_command_error"].asString().find("retain") !=
               std::string::npos;
    })) << watch.err();

    // Without the right nothing arrives: the switch that Home Assistant turns later shows.
    guest.publish(commands + "snooze", "60", false);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    home.publish(commands + "approaching_only", "ON", false);
    ASSERT_TRUE(state_where([](const Json::Value& state) {
        return state["commands"]["approaching_only"] == true;
    })) << watch.err();
    EXPECT_TRUE(last_state()["commands"]["snoozed_until"].isNull());
    EXPECT_EQ(replies.lightning_calls(), 1u);
    // Retained while the watch is connected: MQTT 5 keeps the flag, so it is ignored as well.
    home.publish(commands + "snooze", "45", true);
    ASSERT_TRUE(state_where([](const Json::Value& state) {
        return state["commands"]["last_command_error"].asString().find("retain") !=
               std::string::npos;
    })) << watch.err();
    EXPECT_TRUE(last_state()["commands"]["snoozed_until"].isNull());

    // Snoozed, moved and checked at once: the storm's alert stays silent, the lines do not.
    home.publish(commands + "snooze", "30", false);
    home.publish(commands + "location", R"({"lat": 50.1, "lon": 20.2})", false);
    ASSERT_TRUE(state_where([](const Json::Value& state) {
        return state["commands"]["position_source"] == "command";
    })) << watch.err();
    home.publish(commands + "check_now", "PRESS", false);
    ASSERT_TRUE(state_where([](const Json::Value& state) {
        return state["lightning"]["strikes"] == 5;
    })) << watch.err();
    EXPECT_EQ(last_state()["town"]["longitude"], 20.2);
    EXPECT_TRUE(last_state()["commands"]["snoozed_until"].isString());
    EXPECT_EQ(replies.lightning_calls(), 2u);
    // A press too soon is answered in the state, not queued.
    home.publish(commands + "check_now", "PRESS", false);
    ASSERT_TRUE(state_where([](const Json::Value& state) {
        return state["commands"]["last_command_error"].asString().find("za wcześnie") !=
               std::string::npos;
    })) << watch.err();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(replies.lightning_calls(), 2u);
    EXPECT_EQ(count_on(home.messages(), event_topic), 0u);
    const std::string out = watch.out();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;
    EXPECT_EQ(watch.stop(SIGTERM), 0);

    // The flood: the checks go on, standard error says it once. The retained command
    // cleared; a database of its own, without the first watch's replies.
    home.publish(commands + "snooze", "", true);
    replies.play({0});
    TempDir flood_data;
    ASSERT_TRUE(switch_weather_reports_off(flood_data.path));
    BackgroundProgram flooded;
    flooded.start({"--watch", "--every", "0.005", "--mqtt", url, "Kraków", "30"}, flood_data.path,
                  environment);
    ASSERT_TRUE(flooded.wait_for([&] { return replies.lightning_calls() >= 2; }, 20))
        << flooded.err();
    const std::size_t before = replies.lightning_calls();
    for (int i = 0; i < 1000; ++i) {
        home.publish(commands + (i % 2 ? "snooze" : "location"),
                     i % 3 ? std::string(300, 'x') : "bad " + std::to_string(i), false);
    }
    // The checks go on through the flood (how often is the bench's to measure).
    EXPECT_TRUE(flooded.wait_for([&] { return replies.lightning_calls() >= before + 5; }, 20))
        << flooded.err();
    const std::string err = flooded.err();
    const std::string told = "Pominięto polecenie z MQTT: polecenie";
    EXPECT_NE(err.find(told), std::string::npos) << err;
    EXPECT_EQ(err.find(told), err.rfind(told)) << err;
    EXPECT_LT(err.size(), 2000u) << err;

    // A flood of good commands: told once, the state published once a second at most, and the
    // last command's state after them.
    const auto minutes_snoozed = [](const Json::Value& state) {
        std::tm parts{};
        const std::string until = state["commands"]["snoozed_until"].asString();
        return strptime(until.c_str(), "%Y-%m-%dT%H:%M:%SZ", &parts) == nullptr
                   ? 0.0
                   : std::difftime(timegm(&parts), std::time(nullptr)) / 60;
    };
    const std::size_t states_before = count_on(home.messages(), state_topic);
    for (int i = 0; i < 1000; ++i) {
        home.publish(commands + "snooze", i % 2 ? "7" : "0", false);
    }
    home.publish(commands + "snooze", "9", false);
    ASSERT_TRUE(state_where([&](const Json::Value& state) { return minutes_snoozed(state) > 8; }))
        << flooded.err();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_GT(minutes_snoozed(last_state()), 8);
    EXPECT_LT(count_on(home.messages(), state_topic) - states_before, 100u);
    const std::string taken = flooded.err();
    const std::string snoozed = "Polecenie z MQTT: alarmy";
    EXPECT_NE(taken.find(snoozed), std::string::npos) << taken;
    EXPECT_EQ(taken.find(snoozed), taken.rfind(snoozed)) << taken;
    EXPECT_EQ(flooded.stop(SIGTERM), 0);
}

// The broker's name is never looked up: the checks go on all the same, the watch stops at once,
// and --check says so at its time-out.
TEST_F(MqttWatchTest, ABrokerNameNeverLookedUpHoldsNoCheckUp) {
    replies.play({0});
    Watch watch;
    watch.start({"--mqtt", "mqtt://broker.stalled.test:1883"}, data.path,
                {"LD_PRELOAD=" STALLED_RESOLVER_LIBRARY,
                 "NIMBROVATOR_TEST_STALLED_HOST=broker.stalled.test",
                 "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1"});
    EXPECT_TRUE(watch.wait_for([&] { return replies.lightning_calls() >= 3; }, 10))
        << replies.lightning_calls() << " checks; " << watch.err();
    double seconds = 0;
    EXPECT_EQ(watch.stop(SIGTERM, seconds), 0) << watch.err();
    EXPECT_LT(seconds, 1.0);

    // --check: a name never looked up, and one without an address, in the words the storm and
    // weather services' lines use.
    for (const auto& [host, says] : std::vector<std::pair<std::string, std::string>>{
             {"broker.stalled.test",
              "przekroczony czas oczekiwania (serwer nazw nie odpowiedział)"},
             {"broker.unknown.test", "nie znaleziono adresu serwera"}}) {
        ProgramRun check;
        check.data_dir = data.path;
        check.args = {"--check"};
        check.environment = {"NIMBROVATOR_MQTT_URL=mqtt://" + host + ":1883",
                             "LD_PRELOAD=" STALLED_RESOLVER_LIBRARY,
                             "NIMBROVATOR_TEST_STALLED_HOST=broker.stalled.test",
                             "NIMBROVATOR_TEST_UNKNOWN_HOST=broker.unknown.test",
                             "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1",
                             "XDG_CONFIG_HOME=" + data.path};
        check.timeout_seconds = 20;
        const ProgramResult checked = run_nimbrovator(check);
        EXPECT_FALSE(checked.timed_out);
        EXPECT_EQ(checked.exit_code, 1);
        EXPECT_NE(checked.out.find("Serwer MQTT (" + host + ":1883): " + says + "; host " + host +
                                   ", port 1883.\n"),
                  std::string::npos)
            << checked.out;
    }
}

// A phone without a fix (0,0) and a flood of garbage on a followed topic: the place stays where
// it last was, and standard error hears of it once.
TEST_F(MqttWatchTest, ARefusedPositionKeepsTheLastGoodOneAndIsToldOnceAMinute) {
    replies.play({0});
    TestBroker broker;
    ASSERT_TRUE(broker.start()) << broker.log();
    Subscriber live;
    ASSERT_TRUE(live.connect(broker.port));
    TempDir config;
    mkdir((config.path + "/nimbrovator").c_str(), 0700);
    write_file(config.path + "/nimbrovator/config",
               "[place Ja]\nnear = 50.06,19.94\nfollow = telefon/ja\n");
    BackgroundProgram watch;
    watch.start({"--watch", "--every", "0.005", "--place", "Ja", "--mqtt",
                 "mqtt://127.0.0.1:" + std::to_string(broker.port)},
                data.path, {"XDG_CONFIG_HOME=" + config.path});
    const std::string state =
        "nimbrovator/" + place_slug({"Ja", 50.06, 19.94, 25, true}, 25) + "/state";
    const auto checked_at = [&](double latitude) {
        return live.wait_for([&](const Messages& heard) {
            return count_on(heard, state) > 0 &&
                   parsed(live.on(state).back().payload)["town"]["latitude"] == latitude;
        });
    };
    ASSERT_TRUE(checked_at(50.06)) << watch.err();
    live.publish("telefon/ja", R"({"_type":"location","lat":49.62,"lon":20.69})", false);
    ASSERT_TRUE(checked_at(49.62)) << watch.err();
    live.publish("telefon/ja", R"({"_type":"location","lat":0,"lon":0})", false);
    ASSERT_TRUE(
        watch.wait_for([&] { return watch.err().find("nie obie 0") != std::string::npos; }, 20))
        << watch.err();
    const std::size_t states = count_on(live.messages(), state);
    ASSERT_TRUE(live.wait_for([&](const Messages& heard) {
        return count_on(heard, state) > states + 1;
    })) << watch.err();
    EXPECT_EQ(parsed(live.on(state).back().payload)["position"]["latitude"], 49.62);
    for (int i = 0; i < 2000; ++i) {
        live.publish("telefon/ja", "garbage", false);
    }
    live.publish("telefon/ja", R"({"latitude":49.7,"longitude":20.7})", false);
    ASSERT_TRUE(checked_at(49.7)) << watch.err();
    const std::string err = watch.err();
    EXPECT_EQ(err.find("położenie:"), err.rfind("położenie:")) << err.substr(0, 2000);
    EXPECT_EQ(watch.stop(SIGTERM), 0);
}

// One watch over places of the configuration file on one connection: a device each, its state
// with the place's name, and one availability topic for all (the connection's will). Two places
// of one town at one radius each have their own.
TEST_F(MqttWatchTest, SeveralPlacesShareOneConnectionEachItsOwnDevice) {
    TestBroker broker;
    ASSERT_TRUE(broker.start()) << broker.log();
    Subscriber live;
    ASSERT_TRUE(live.connect(broker.port));
    TempDir config;
    mkdir((config.path + "/nimbrovator").c_str(), 0700);
    write_file(config.path + "/nimbrovator/config",
               "[place Dom]\nnear = 50.06,19.94\nfollow = telefon/ja\n[place Działka]\n"
               "town = Kraków\nradius = 30\n[place Zamek]\ntown = Tarnów\n"
               "[place Sad]\ntown = Kraków\nradius = 30\n");
    // Dom moves: its position is where the phone last said.
    live.publish("telefon/ja",
                 R"({"_type":"location","lat":49.62,"lon":20.69,"acc":3000,"tst":)" +
                     std::to_string(std::time(nullptr)) + "}",
                 true);
    BackgroundProgram watch;
    watch.start({"--watch", "--every", "0.005", "--checks", "2", "--all-places", "--mqtt",
                 "mqtt://127.0.0.1:" + std::to_string(broker.port)},
                data.path, {"XDG_CONFIG_HOME=" + config.path, "NIMBROVATOR_MQTT_COMMANDS=on"});
    const std::string home_slug = place_slug({"Dom", 50.06, 19.94, 25, true}, 25);
    const std::string home_state = "nimbrovator/" + home_slug + "/state";
    const place_key krakow = {"Kraków", 50.0614, 19.9366, 30, false};
    const std::string plot_slug = place_slug(krakow, 25, "Działka");
    const std::string plot_state = "nimbrovator/" + plot_slug + "/state";
    const std::string orchard_slug = place_slug(krakow, 25, "Sad");
    const std::string orchard_state = "nimbrovator/" + orchard_slug + "/state";
    const std::string shared = "nimbrovator/availability";
    // A command to Dom reaches Dom alone (while the watch waits to find Zamek); so does one to
    // Sad, though Działka is in the same town.
    ASSERT_TRUE(live.wait_for([&](const Messages& heard) {
        return count_on(heard, home_state) >= 1 && count_on(heard, orchard_state) >= 1;
    })) << watch.err();
    live.publish("nimbrovator/" + home_slug + "/cmd/snooze", "30", false);
    live.publish("nimbrovator/" + orchard_slug + "/cmd/approaching_only", "ON", false);
    EXPECT_EQ(watch.wait_exit(), 0) << watch.err();
    // The latest states go out before the goodbye.
    ASSERT_TRUE(live.wait_for([&](const Messages& heard) {
        return count_on(heard, shared, "offline") == 1;
    })) << watch.err();
    EXPECT_EQ(count_on(live.messages(), state_topic), 0u); // the town alone names neither
    const Json::Value plot = parsed(live.on(plot_state).back().payload);
    EXPECT_EQ(plot["place"], "Działka");
    EXPECT_TRUE(plot["commands"]["snoozed_until"].isNull());
    EXPECT_EQ(plot["commands"]["approaching_only"], false);
    EXPECT_EQ(plot["commands"]["position_source"], "settings");
    const Json::Value orchard = parsed(live.on(orchard_state).back().payload);
    EXPECT_EQ(orchard["place"], "Sad");
    EXPECT_EQ(orchard["commands"]["approaching_only"], true) << orchard;
    const Json::Value home = parsed(live.on(home_state).back().payload);
    EXPECT_TRUE(home["commands"]["snoozed_until"].isString()) << home;
    EXPECT_EQ(home["place"], "Dom");
    EXPECT_EQ(home["town"]["latitude"], 49.62);
    EXPECT_EQ(home["position"]["longitude"], 20.69);
    EXPECT_EQ(home["position"]["stale"], true); // accurate to 3 km only
    EXPECT_EQ(home["commands"]["position_source"], "follow");
    EXPECT_EQ(count_on(live.messages(), shared, "online"), 1u);
    EXPECT_EQ(count_on(live.messages(), availability_topic), 0u);
    // Each device its own configurations: 7 sensors and the 3 commands.
    std::map<std::string, std::size_t> device_configs;
    std::set<std::string> device_names;
    for (const ReceivedMessage& message : live.messages()) {
        if (message.topic.rfind("homeassistant/", 0) == 0) {
            const Json::Value config = parsed(message.payload);
            ++device_configs[config["device"]["identifiers"][0].asString()];
            device_names.insert(config["device"]["name"].asString());
            EXPECT_EQ(config["availability_topic"], shared) << message.topic;
        }
    }
    for (const std::string& slug_of_place : {home_slug, plot_slug, orchard_slug}) {
        EXPECT_EQ(device_configs["nimbrovator_" + slug_of_place], 10u) << slug_of_place;
    }
    EXPECT_EQ(device_names.count("Nimbrovator Sad (Kraków)"), 1u);
    // Zamek's town is found only at a later try: its device joins the others then.
    const std::string castle_slug = place_slug({"Tarnów", 50.0121, 20.9858, 25, false}, 25);
    EXPECT_GE(count_on(live.messages(), "nimbrovator/" + castle_slug + "/state"), 1u);
    const std::string castle_config =
        "homeassistant/sensor/nimbrovator_" + castle_slug + "/strikes/config";
    ASSERT_EQ(count_on(live.messages(), castle_config), 1u) << watch.err();
    for (const ReceivedMessage& message : live.on(castle_config)) {
        EXPECT_EQ(parsed(message.payload)["availability_topic"], shared);
    }
}

} // namespace
