#include "text/failure_cause.h"

#include "text/text.h"

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

} // namespace

std::string failure_text(const request_failure& failure) {
    std::string text = "połączenie przerwane";
    for (const cause_name& name : cause_names) {
        if (name.cause == failure.cause) {
            text = name.text;
        }
    }
    const std::string detail = strip_control_chars(failure.detail);
    return detail.empty() ? text : text + " (" + detail + ")";
}
