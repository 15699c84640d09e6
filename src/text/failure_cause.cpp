#include "text/failure_cause.h"

#include "text/text.h"

#include <cerrno>

namespace {

struct cause_name {
    failure_cause cause;
    const char* text;
};

const cause_name cause_names[] = {
    {failure_cause::refused, "połączenie odrzucone"},
    {failure_cause::name_unresolved, "nie znaleziono adresu serwera"},
    {failure_cause::timeout, "przekroczony czas oczekiwania"},
    {failure_cause::certificate, "certyfikat serwera niezaufany"},
    {failure_cause::key_rejected, "klucz odrzucony"},
    {failure_cause::malformed, "nieprawidłowa odpowiedź"},
    {failure_cause::too_large, "odpowiedź za duża (ponad 1 MiB)"},
    {failure_cause::server_error, "błąd serwera"},
    {failure_cause::broken, "połączenie przerwane"},
};

const char* cause_text(failure_cause cause) {
    for (const cause_name& name : cause_names) {
        if (name.cause == cause) {
            return name.text;
        }
    }
    return "połączenie przerwane";
}

struct system_error_name {
    int error_number;
    const char* text;
};

// The errors the program's files, directories and connections meet; the system's own words
// depend on its installed translations.
const system_error_name system_error_names[] = {
    {ENOENT, "brak takiego pliku lub katalogu"},
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
    if (error_number == ECONNREFUSED) {
        return cause_text(failure_cause::refused);
    }
    if (error_number == ETIMEDOUT) {
        return cause_text(failure_cause::timeout);
    }
    for (const system_error_name& name : system_error_names) {
        if (name.error_number == error_number) {
            return name.text;
        }
    }
    return "błąd systemu nr " + std::to_string(error_number);
}

std::string failure_text(const request_failure& failure) {
    const std::string text = cause_text(failure.cause);
    const std::string detail = strip_control_chars(failure.detail);
    return detail.empty() ? text : text + " (" + detail + ")";
}
