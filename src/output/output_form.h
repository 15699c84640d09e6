// The forms in which a run can print its answer.
#pragma once

enum class output_form { text, json, line, waybar, i3blocks };
