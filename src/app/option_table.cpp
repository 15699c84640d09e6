#include "app/option_table.h"

namespace {

using group = option_group;

constexpr unsigned one_answer = kind_report | kind_watch;

const std::vector<option_row> rows = {
    // One answer
    {opt_json, "json", 0, "", group::one_shot, one_answer | kind_history, kind_report,
     "odpowiedź jako dokument JSON (z --watch: jeden na sprawdzenie)", output_form::json},
    {opt_max_age, "max-age", 0, "SEKUNDY", group::one_shot, kind_classic | one_answer, 0,
     "odpowiedzi serwisów młodsze niż tyle sekund są brane z pamięci "
     "podręcznej (domyślnie 120 w --json i --line)"},
    {opt_stale_limit, "stale-limit", 0, "SEKUNDY", group::one_shot, kind_classic | one_answer, 0,
     "gdy serwis nie odpowiada, odpowiedź nie starsza niż tyle sekund "
     "zastępuje nową (domyślnie 3600; kod wyjścia 3)"},
    {opt_timeout, "timeout", 0, "SEKUNDY", group::one_shot, one_answer, 0,
     "najdłuższy czas odpowiedzi (i każdego sprawdzenia --watch); czego "
     "do tej pory nie ma, jest nieudane (domyślnie 30)"},
    {opt_near, "near", 0, "SZER,DŁUG", group::one_shot, one_answer, 0,
     "miejsce podane współrzędnymi (stopnie dziesiętne) zamiast "
     "miejscowości, np. --near 50.06,19.94"},
    {opt_name, "name", 0, "NAZWA", group::one_shot, one_answer, 0,
     "nazwa miejsca podanego przez --near w odpowiedziach"},
    {opt_place, "place", 0, "NAZWA", group::one_shot, one_answer | kind_history, 0,
     "miejsce z pliku konfiguracji (sekcja [place NAZWA]) zamiast miejscowości; z --watch "
     "można podać kilka; promień, --danger-km i --approaching-only z wiersza poleceń mają "
     "pierwszeństwo przed kluczami każdego miejsca"},
    {opt_all_places, "all-places", 0, "", group::watch, kind_watch, 0,
     "czuwanie nad wszystkimi miejscami z pliku konfiguracji"},
    // Status bars
    {opt_line, "line", 0, "", group::status_bar, one_answer, kind_report,
     "odpowiedź w jednym wierszu", output_form::line},
    {opt_format, "format", 0, "SZABLON", group::status_bar, one_answer, kind_report,
     "wiersz według szablonu: %t miejscowość, %k promień, %n wyładowania, "
     "%d odległość, %D kierunek (NE), %N kierunek po polsku, %w stopień "
     "ostrzeżenia, %W zagrożenia, %T temperatura, %a wiek danych (min), "
     "%e zdarzenie, %s zbliżanie się burzy (km/h), %E za ile minut "
     "w strefie, %C za ile minut znów bezpiecznie, %x stan odpowiedzi (nieaktualne, błąd), %[ ... "
     "%] grupa "
     "pomijana, gdy któreś pole w niej nie ma wartości, %% znak %"},
    {opt_waybar, "waybar", 0, "", group::status_bar, one_answer, kind_report,
     "obiekt JSON dla paska Waybar (text, tooltip, class, percentage, alt)", output_form::waybar},
    {opt_i3blocks, "i3blocks", 0, "", group::status_bar, one_answer, kind_report,
     "trzy wiersze dla paska i3blocks (tekst, tekst krótki, kolor); z --watch obiekt JSON na "
     "sprawdzenie (blok z format=json)",
     output_form::i3blocks},
    {opt_escape, "escape", 0, "ZNACZNIKI", group::status_bar, one_answer, 0,
     "pola szablonu --format (nazwy i wartości) bezpieczne dla znaczników paska: pango "
     "(& < > ' \"), polybar (%{), tmux (#[ #{); tekst samego szablonu zostaje, jaki jest"},
    // The watch and its alerts
    {opt_watch, "watch", 0, "", group::watch, kind_watch, kind_watch,
     "czuwanie: sprawdzanie co --every minut i alarm, gdy burza się zbliża"},
    {opt_every, "every", 0, "MINUTY", group::watch, kind_watch, 0, "odstęp sprawdzeń (5)"},
    {opt_checks, "checks", 0, "LICZBA", group::watch, kind_watch, 0,
     "koniec czuwania po tylu sprawdzeniach"},
    {opt_danger_km, "danger-km", 0, "KM", group::watch, one_answer | kind_history, 0,
     "strefa bezpieczeństwa: alarm blisko, gdy wyładowania są bliżej niż "
     "tyle km (10; od 1 do promienia)"},
    {opt_clear_after, "clear-after", 0, "MINUTY", group::watch, kind_watch, 0,
     "odwołanie alarmu po tylu minutach bez wyładowań w strefie (30)"},
    {opt_cooldown, "cooldown", 0, "MINUTY", group::watch, kind_watch, 0,
     "najkrótszy odstęp alarmów tego samego rodzaju (15)"},
    {opt_approaching_only, "approaching-only", 0, "", group::watch, kind_watch, 0,
     "alarmy burza i bliżej tylko, gdy burza nadciąga do strefy"},
    {opt_notify, "notify", 0, "", group::watch, kind_watch, 0,
     "alarmy także jako powiadomienia na pulpicie (notify-send)"},
    {opt_exec, "exec", 0, "POLECENIE", group::watch, kind_watch, 0,
     "polecenie powłoki uruchamiane przy każdym alarmie"},
    {opt_alerts_to_stderr, "alerts-to-stderr", 0, "", group::watch, kind_watch, 0,
     "alarmy na standardowym wyjściu błędów także w formach dla paska stanu (--waybar, "
     "--i3blocks, --format), w których nic innego tam nie trafia"},
    {opt_color, "color", 0, "KIEDY", group::watch, kind_watch, 0,
     "kolory alarmów w terminalu: auto, always, never (auto)"},
    // MQTT
    {opt_mqtt, "mqtt", 0, "URL", group::mqtt, kind_watch, 0,
     "publikowanie stanu i alarmów na serwerze MQTT (mqtt://host[:port], "
     "mqtts://host[:port], adres IPv6 w nawiasach: mqtt://[::1]:1883)"},
    // History
    {opt_history, "history", 0, "", group::history, kind_history, kind_history,
     "obserwacje miejscowości z ostatnich godzin (3) z oceną nadejścia burzy"},
    {opt_svg, "svg", 0, "PLIK", group::history, kind_history, 0,
     "wykres i mapa toru burzy w pliku SVG"},
    // Settings and checks
    {opt_settings_menu, "", 's', "", group::settings, kind_classic, 0,
     "ustawienia programu (pogoda aktualna i prognoza)"},
    {opt_config, "config", 0, "", group::settings, kind_service, kind_service,
     "ustawienia serwisów w użyciu i ich źródła"},
    {opt_check, "check", 0, "", group::settings, kind_service, kind_service,
     "sprawdza połączenie i klucze obu serwisów (i serwer MQTT)"},
    {opt_towns, "towns", 0, "", group::settings, kind_service, kind_service,
     "nazwy miejscowości zapamiętanych w bazie danych"},
    {opt_help, "help", 'h', "", group::settings, every_kind, 0, "krótka instrukcja użycia"},
    {opt_help_all, "help-all", 0, "", group::settings, every_kind, 0,
     "ta pełna instrukcja wszystkich opcji"},
    {opt_version, "version", 0, "", group::settings, every_kind, 0, "nazwa i wersja programu"},
};

} // namespace

const std::vector<option_row>& option_table() {
    return rows;
}

const option_row* option_named(const std::string& long_name) {
    for (const option_row& row : rows) {
        if (!long_name.empty() && long_name == row.long_name) {
            return &row;
        }
    }
    return nullptr;
}

const option_row& option_of(option_id id) {
    for (const option_row& row : rows) {
        if (row.id == id) {
            return row;
        }
    }
    return rows.front(); // not reached: every id has its row
}

std::string option_text(const option_row& row) {
    if (row.long_name[0] == '\0') {
        return std::string("-") + row.short_name;
    }
    return std::string("--") + row.long_name;
}
