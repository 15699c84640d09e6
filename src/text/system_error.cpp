#include "text/system_error.h"

#include <cerrno>

namespace {

struct system_error_name {
    int error_number;
    const char* text;
};

// The errors the program's files, directories and connections meet; the system's own words
// depend on its installed translations.
const system_error_name system_error_names[] = {
    {ENOENT, "brak takiego pliku lub katalogu"},
    {ECONNREFUSED, "połączenie odrzucone"},
    {ETIMEDOUT, "przekroczony czas oczekiwania"},
    {EACCES, "brak dostępu"},
    {EPERM, "operacja niedozwolona"},
    {ENOTDIR, "to nie jest katalog"},
    {EISDIR, "to jest katalog"},
    {EEXIST, "plik już istnieje"},
    {ENAMETOOLONG, "za długa nazwa pliku"},
    {ELOOP, "za dużo dowiązań symbolicznych"},
    {EROFS, "system plików tylko do odczytu"},
    {ENOSPC, "brak miejsca na urządzeniu"},
    {EFBIG, "plik za duży"},
    {EDQUOT, "przekroczony przydział dyskowy"},
    {EIO, "błąd wejścia/wyjścia"},
    {EMFILE, "za dużo otwartych plików"},
    {ENFILE, "za dużo otwartych plików w systemie"},
    {ENOMEM, "brak pamięci"},
    {EAGAIN, "zasób chwilowo niedostępny"},
    {EINTR, "przerwane przez sygnał"},
    {EPIPE, "przerwany potok"},
    {EBADF, "nieprawidłowy deskryptor pliku"},
    {EINVAL, "nieprawidłowy argument"},
    {ENETUNREACH, "sieć nieosiągalna"},
    {EHOSTUNREACH, "host nieosiągalny"},
    {ECONNRESET, "połączenie zerwane przez serwer"},
    {EADDRINUSE, "adres już w użyciu"},
    {EADDRNOTAVAIL, "adres niedostępny"},
};

} // namespace

std::string system_error_text(int error_number) {
    for (const system_error_name& name : system_error_names) {
        if (name.error_number == error_number) {
            return name.text;
        }
    }
    return "błąd systemu nr " + std::to_string(error_number);
}
