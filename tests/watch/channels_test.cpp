// The alert channels over a table: each row a channel with what it records (the terminal's
// streams, a fake notify-send, an --exec command, a subscriber of a broker on loopback), and
// which channels each form of the watch opens.
#include "mqtt/mqtt_link.h"
#include "support/broker.h"
#include "support/temp_dir.h"
#include "watch/channels.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <sys/stat.h>

#include <functional>
#include <iostream>
#include <sstream>
#include <thread>

namespace {

// Standard output and error of the C++ streams, caught while the object lives.
struct CaughtStreams {
    std::ostringstream out, err;
    std::streambuf* old_out = std::cout.rdbuf(out.rdbuf());
    std::streambuf* old_err = std::cerr.rdbuf(err.rdbuf());
    ~CaughtStreams() {
        std::cout.rdbuf(old_out);
        std::cerr.rdbuf(old_err);
    }
};

// Waits, at most 5 s, until `done` holds; `step` runs between the looks.
bool wait_until(
    const std::function<bool()>& done, const std::function<void()>& step = [] {}) {
    for (int i = 0; i < 500 && !done(); ++i) {
        step();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

alert_event event_of(watch_event kind) {
    alert_event event{kind, {}, "", std::nullopt};
    event.facts.town = "Kraków";
    event.facts.where = "miejscowości Kraków";
    event.facts.radius_km = 30;
    event.facts.check = {true, 4, 8.5, "SW"};
    event.line = event_line(kind, event.facts);
    return event;
}

std::vector<std::string> names_of(const std::vector<open_channel>& channels) {
    std::vector<std::string> names;
    for (const open_channel& open : channels) {
        names.emplace_back(open.name);
    }
    return names;
}

// The event lines of a stream, from their mark on (after the time).
std::vector<std::string> event_lines(const std::string& text) {
    std::vector<std::string> found;
    for (const std::string& line : lines_of(text)) {
        if (line.find("***") != std::string::npos) {
            found.push_back(line.substr(line.find("***")));
        }
    }
    return found;
}

// Every channel gets every event once, in order; a command that outlasts the events refuses
// the three after the first, and the channel after it still gets each. An --exec command
// inherits the environment but not the variables that hold secrets.
TEST(ChannelTable, EachChannelGetsEachEventOnceAndAFailingOneStopsNoOther) {
    TempDir dir;
    TestBroker broker;
    Subscriber subscriber;
    ASSERT_TRUE(broker.start()) << broker.log();
    ASSERT_TRUE(subscriber.connect(broker.port));
    const std::string recorded = dir.path + "/recorded";
    write_file(dir.path + "/notify-send", "#!/bin/sh\necho \"$1|$2\" >>" + recorded + "\n");
    ASSERT_EQ(chmod((dir.path + "/notify-send").c_str(), 0755), 0);
    const std::string path = std::getenv("PATH");
    setenv("PATH", (dir.path + ":" + path).c_str(), 1);
    for (const char* secret : {"NIMBROVATOR_STORM_KEY", "NIMBROVATOR_WEATHER_KEY",
                               "NIMBROVATOR_MQTT_USER", "NIMBROVATOR_MQTT_PASSWORD"}) {
        setenv(secret, "sekret", 1);
    }
    setenv("NIMBROVATOR_MQTT_TOPIC", "dom", 1);
    mqtt_settings settings;
    settings.broker = {false, "127.0.0.1", broker.port};
    settings.discovery = false;
    mqtt_place place;
    place.key = {"Kraków", std::nullopt, std::nullopt, 30, false};
    place.usual_radius_km = 25;
    place.version = "test";
    mqtt_link link(settings, place, [](const std::string&) {});
    ASSERT_TRUE(wait_until([&] { return !subscriber.on(link.topics().availability).empty(); },
                           [&] { link.service(); }));

    using heard_fn = std::function<std::vector<std::string>(const CaughtStreams&)>;
    using expected_fn = std::function<std::string(const alert_event&)>;
    const heard_fn in_file = [&](const CaughtStreams&) { return lines_of(read_file(recorded)); };
    const heard_fn by_broker = [&](const CaughtStreams&) {
        std::vector<std::string> heard;
        for (const ReceivedMessage& message : subscriber.on(link.topics().event)) {
            Json::Value value;
            Json::Reader().parse(message.payload, value);
            heard.push_back(value["event_type"].asString() + " " + value["town"].asString());
        }
        return heard;
    };
    const expected_fn line = [](const alert_event& e) { return e.line; };
    const expected_fn id_and_town = [](const alert_event& e) {
        return event_id(e.event) + std::string(" Kraków");
    };
    const std::string exec = "echo $NIMBROVATOR_EVENT $NIMBROVATOR_MQTT_TOPIC $(env | grep -c "
                             "=sekret) >>" +
                             recorded;
    struct row {
        const char* name;
        std::function<void(channel_setup&)> set;
        std::vector<std::string> opened;
        heard_fn heard; // what the channel recorded, one entry an event
        expected_fn expected;
        std::size_t refused = 0; // events told as not handed on
    };
    const row rows[] = {
        {"terminal, standard output",
         [](channel_setup& s) { s.terminal = terminal_lines::standard_output; },
         {"terminal"},
         [](const CaughtStreams& c) { return event_lines(c.out.str()); },
         line},
        {"terminal, standard error",
         [](channel_setup& s) { s.terminal = terminal_lines::standard_error; },
         {"terminal"},
         [](const CaughtStreams& c) { return event_lines(c.err.str()); },
         line},
        {"notify-send",
         [](channel_setup& s) { s.notify = true; },
         {"notify"},
         in_file,
         [](const alert_event& e) { return event_title(e.event) + std::string("|") + e.line; }},
        {"--exec",
         [&](channel_setup& s) { s.command = exec; },
         {"exec"},
         in_file,
         [](const alert_event& e) { return event_id(e.event) + std::string(" dom 0"); }},
        {"MQTT", [&](channel_setup& s) { s.mqtt = &link; }, {"mqtt"}, by_broker, id_and_town},
        {"MQTT after a busy --exec",
         [&](channel_setup& s) {
             s.command = "sleep 30";
             s.mqtt = &link;
         },
         {"exec", "mqtt"},
         by_broker,
         id_and_town,
         3},
    };
    for (const row& r : rows) {
        std::remove(recorded.c_str());
        channel_setup setup;
        setup.terminal = terminal_lines::off;
        r.set(setup);
        CaughtStreams caught;
        const std::size_t before = r.heard(caught).size();
        std::vector<std::string> expected;
        {
            std::vector<open_channel> channels = open_channels(setup);
            EXPECT_EQ(names_of(channels), r.opened) << r.name;
            for (const watch_event_kind& kind : watch_events) {
                expected.push_back(r.expected(event_of(kind.event)));
                deliver_to_all(channels, event_of(kind.event));
                EXPECT_TRUE(r.refused > 0 || wait_until([&] { return !collect_all(channels); }));
            }
            wait_until([&] { return r.heard(caught).size() >= before + expected.size(); },
                       [&] { link.service(); });
        }
        const std::vector<std::string> all = r.heard(caught);
        EXPECT_EQ(std::vector<std::string>(all.begin() + std::min(before, all.size()), all.end()),
                  expected)
            << r.name;
        const std::string err = caught.err.str();
        std::size_t refused = 0;
        for (std::size_t at = 0; (at = err.find("jeszcze działa", at)) != std::string::npos; ++at) {
            ++refused;
        }
        EXPECT_EQ(refused, r.refused) << r.name << "\n" << err;
    }
    setenv("PATH", path.c_str(), 1);
}

// The forms a status bar reads keep the terminal channel off, --alerts-to-stderr brings it back
// on standard error, and the other channels stay in every form.
TEST(ChannelTable, StatusBarFormsKeepTheTerminalChannelOff) {
    using T = terminal_lines;
    struct row {
        const char* form;
        bool status_bar, for_programs, alerts_to_stderr;
        T terminal;
    };
    const row rows[] = {
        {"text", false, false, false, T::standard_output},
        {"text --alerts-to-stderr", false, false, true, T::standard_error},
        {"json", false, true, false, T::standard_error},
        {"waybar, i3blocks or --format", true, true, false, T::off},
        {"waybar, i3blocks or --format --alerts-to-stderr", true, true, true, T::standard_error},
    };
    for (const row& r : rows) {
        channel_setup setup;
        setup.terminal = terminal_lines_for(r.status_bar, r.for_programs, r.alerts_to_stderr);
        EXPECT_EQ(setup.terminal, r.terminal) << r.form;
        setup.notify = true;
        setup.command = "true";
        std::vector<std::string> expected = {"notify", "exec"};
        if (r.terminal != T::off) {
            expected.insert(expected.begin(), "terminal");
        }
        EXPECT_EQ(names_of(open_channels(setup)), expected) << r.form;
    }
}

} // namespace
