// The system's error numbers in the user's language.
#pragma once

#include <string>

// The system's error number in Polish, whatever the locale and the system's installed
// translations: "brak takiego pliku lub katalogu"; "błąd systemu nr N" for one not in the table.
// A refused connection and a time-out are also the words of those causes (failure_cause.h).
std::string system_error_text(int error_number);
