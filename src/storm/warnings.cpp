#include "storm/warnings.h"

#include "storm/reply_text.h"
#include "text/text.h"

#include <clocale>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <type_traits>

const std::array<hazard_kind, hazard_count> warning_hazards = {{
    {"mroz",
     "mroz",
     "mróz",
     "MRÓZ: ",
     {"(od -20 do -25°C)", "(od -26 do -30°C)", "(poniżej -30°C)"}},
    {"upal", "upal", "upał", "UPAŁ: ", {"(od 30 do 34°C)", "(od 35 do 38°C)", "(powyżej 38°C)"}},
    {"wiatr",
     "wiatr",
     "wiatr",
     "WIATR: ",
     {"(w porywach od 70 do 90 km/h)", "(w porywach od 91 do 110 km/h)",
      "(w porywach powyżej 110 km/h)"}},
    {"opad",
     "opad",
     "opad",
     "OPAD: ",
     {"(deszcz od 25 do 40 mm w ciągu 24 godzin, śnieg od 10 do 15 cm w ciągu 24 godzin)",
      "(deszcz od 41 do 70 mm w ciągu 24 godzin, śnieg od 16 do 30 cm w ciągu 24 godzin, śnieg "
      "od 10 do 15 cm w ciągu 12 godzin)",
      "(deszcz powyżej 70 mm w ciągu 24 godzin, śnieg powyżej 30 cm w ciągu 24 godzin, śnieg "
      "powyżej 15 cm w ciągu 12 godzin)"}},
    {"burza",
     "burza",
     "burza",
     "BURZA: ",
     {"(deszcz od 15 do 40 mm, wiatr w porywach od 60 do 90 km/h, grad poniżej 2 cm)",
      "(deszcz od 41 do 70 mm, wiatr w porywach od 91 do 110 km/h, grad od 2 do 5 cm)",
      "(deszcz powyżej 70 mm, wiatr w porywach powyżej 110 km/h, grad powyżej 5 cm)"}},
    {"traba",
     "tornado",
     "tornado",
     "TORNADO: ",
     {"(ryzyko niewielkie)", "(ryzyko umiarkowane)", "(ryzyko wysokie)"}},
}};

namespace {

const std::size_t frost = 0;
const std::size_t tornado = 5;

std::string open_tag(const hazard_kind& hazard) {
    return std::string("<") + hazard.element + " xsi:type=\"xsd:int\">";
}

std::string close_tag(const hazard_kind& hazard) {
    return std::string("</") + hazard.element + ">";
}

} // namespace

std::string hazard_line(std::size_t hazard, const std::string& level) {
    if (level != "1" && level != "2" && level != "3") {
        return "";
    }
    const char* description = warning_hazards[hazard].levels[level[0] - '1'];
    if (hazard == tornado) {
        return std::string(warning_hazards[hazard].label) + description + "\n";
    }
    const char* middle =
        (hazard == frost && level == "2") ? " stopie zagrożenia " : " stopień zagrożenia ";
    return warning_hazards[hazard].label + level + middle + description + "\n";
}

namespace {

using LocaleHandle = std::unique_ptr<std::remove_pointer_t<locale_t>, decltype(&freelocale)>;

// The "C" numeric locale, created once, for reading numbers whatever the process locale.
locale_t c_numeric_locale() {
    static const LocaleHandle handle(newlocale(LC_NUMERIC_MASK, "C", nullptr), &freelocale);
    return handle.get();
}

} // namespace

float coordinate_value(const std::string& text) {
    const locale_t numeric = c_numeric_locale();
    if (numeric == nullptr) {
        return 0.0F;
    }
    return strtof_l(text.c_str(), nullptr, numeric);
}

std::optional<warnings_report> extract_warnings(const std::string& reply) {
    if (reply.find(open_tag(warning_hazards[frost])) == std::string::npos) {
        return std::nullopt;
    }
    warnings_report report;
    for (std::size_t i = 0; i < warning_hazards.size(); ++i) {
        // A reply that lacks a hazard's element has no warning for it.
        report.levels[i] =
            tag_value(reply, open_tag(warning_hazards[i]), close_tag(warning_hazards[i]))
                .value_or("0");
    }
    return report;
}

std::optional<int> warning_level(const std::string& level) {
    if (level.size() != 1 || level[0] < '0' || level[0] > '3') {
        return std::nullopt;
    }
    return level[0] - '0';
}

std::string warnings_text(const warnings_report& report, const std::string& town,
                          const std::string& y, const std::string& x) {
    int warnings_count = 0;
    for (const std::string& level : report.levels) {
        warnings_count += level != "0" ? 1 : 0;
    }
    const std::string point = town + " o współrzędnych (" + y + " N, " + x + " E)";
    if (warnings_count == 0) {
        return "\nBrak ostrzeżeń dla punktu " + point + ".\n";
    }
    std::string text = warnings_count == 1 ? "\nWydano ostrzeżenie dla punktu "
                                           : "\nWydano ostrzeżenia dla punktu ";
    text += point + ":\n\n";
    for (std::size_t i = 0; i < warning_hazards.size(); ++i) {
        text += hazard_line(i, report.levels[i]);
    }
    return text;
}

std::string format_warnings_report(const std::string& reply, const std::string& town,
                                   const std::string& y, const std::string& x) {
    const std::optional<warnings_report> report = extract_warnings(reply);
    return report ? warnings_text(*report, town, y, x) : std::string();
}
