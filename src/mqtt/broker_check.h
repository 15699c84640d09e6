// --check's look at the broker: one connection, its verdict and why.
#pragma once

#include "mqtt/mosquitto_setup.h"

#include <chrono>
#include <string>

// --check: one connection to the broker, at most `timeout` long.
enum class broker_verdict { works, login_rejected, untrusted, unreachable };
struct broker_check {
    broker_verdict verdict;
    std::string detail; // unreachable: why, in the words of its cause (failure_cause.h)
};
broker_check check_broker(const mqtt_settings& settings, std::chrono::milliseconds timeout);
