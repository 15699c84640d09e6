// The terminal the program writes to, as its terminfo entry describes it.
#pragma once

#include <string>

// The bytes that clear the screen, and the scroll-back where the terminal can, of the terminal
// named by TERM: the ones the clear command writes. Empty when TERM is unset or unknown or its
// terminal cannot clear.
std::string terminal_clear_sequence();
