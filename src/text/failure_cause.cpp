#include "text/failure_cause.h"

#include "text/system_error.h"
#include "text/text.h"

#include <cerrno>

namespace {

struct cause_name {
    failure_cause cause;
    const char* text; // null: the system's words for `error_number`
    int error_number = 0;
};

const cause_name cause_names[] = {
    {failure_cause::refused, nullptr, ECONNREFUSED},
    {failure_cause::name_unresolved, "nie znaleziono adresu serwera"},
    {failure_cause::timeout, nullptr, ETIMEDOUT},
    {failure_cause::certificate, "certyfikat serwera niezaufany"},
    {failure_cause::key_rejected, "klucz odrzucony"},
    {failure_cause::malformed, "nieprawidłowa odpowiedź"},
    {failure_cause::too_large, "odpowiedź za duża (ponad 1 MiB)"},
    {failure_cause::server_error, "błąd serwera"},
    {failure_cause::broken, "połączenie przerwane"},
};

std::string cause_text(failure_cause cause) {
    for (const cause_name& name : cause_names) {
        if (name.cause == cause) {
            return name.text != nullptr ? name.text : system_error_text(name.error_number);
        }
    }
    return "połączenie przerwane";
}

} // namespace

std::string failure_text(const request_failure& failure) {
    const std::string text = cause_text(failure.cause);
    const std::string detail = strip_control_chars(failure.detail);
    return detail.empty() ? text : text + " (" + detail + ")";
}
