// JSON as the program writes it everywhere: one line, UTF-8 as it is, 12 significant digits.
#pragma once

#include <json/json.h>

#include <string>

std::string compact_json(const Json::Value& value);
