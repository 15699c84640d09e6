// Helpers for the weather tests: captured standard output, a fixed time zone, and the weather
// requests pointed at a local fake service with short time-outs.
#pragma once

#include "fake_weather_service.h"
#include "weather/weather_fetch.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <iostream>
#include <sstream>

// Collects what is written to std::cout while it lives.
struct captured_output {
    std::ostringstream text;
    std::streambuf* previous;

    captured_output() : previous(std::cout.rdbuf(text.rdbuf())) {}
    ~captured_output() { std::cout.rdbuf(previous); }
    std::string str() const { return text.str(); }
};

inline void use_utc() {
    setenv("TZ", "UTC", 1);
    tzset();
}

// A fake weather service that the weather requests go to, for one test.
class fake_service_test : public ::testing::Test {
  protected:
    void SetUp() override {
        use_utc();
        saved = weather_service_endpoint();
        service = start_fake_weather_service();
        ASSERT_NE(service, nullptr) << "the fake weather service could not bind a port";
        weather_service_endpoint() = {fake_service_base_url(*service), 1000, 2000};
    }
    void TearDown() override {
        weather_service_endpoint() = saved;
        service.reset();
    }

    void reply(const std::string& path, const std::string& body) {
        fake_reply answer;
        answer.body = body;
        set_fake_reply(*service, path, answer);
    }

    weather_endpoint saved;
    fake_weather_service_handle service;
};
