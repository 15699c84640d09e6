#include "app/option_checks.h"

#include "text/numbers.h"
#include "text/text.h"

#include <algorithm>
#include <optional>

namespace {

// The options that ask for the kind of run, as the table has them ("--config, --check, ...").
std::string askers_text(run_kind kind) {
    std::string text;
    for (const option_row& row : option_table()) {
        if (row.sets_kind == kind) {
            text += (text.empty() ? "" : ", ") + option_text(row);
        }
    }
    return text;
}

// The words that name the kinds of run, for "works only with".
std::string kinds_text(unsigned kinds) {
    std::vector<std::string> names;
    for (const run_kind kind : {kind_report, kind_watch, kind_history, kind_service}) {
        if (kinds & kind) {
            names.push_back(askers_text(kind));
        }
    }
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        text += (i == 0 ? "" : i + 1 == names.size() ? " lub " : ", ") + names[i];
    }
    return text;
}

// The radius when none is given, as in the classic run.
constexpr int default_radius_km = 25;

// The radius of the newer forms: a whole number of kilometres from 5 to 100.
result<void> check_radius(const std::string& text) {
    const std::optional<int> radius = count_value(text);
    if (radius && *radius >= 5 && *radius <= 100) {
        return {};
    }
    return failure("nieprawidłowy promień: " + text + " (liczba całkowita km od 5 do 100)");
}

} // namespace

// The long option named by `word` ("--every", "--every=5", "-every"), or null.
const option_row* option_in(const std::string& word, std::size_t dashes) {
    const std::string name = word.substr(dashes, word.find('=') - dashes);
    return option_named(name);
}

// "nieznana opcja: --evry (czy chodziło o --every?)": the option of that name or of the nearest
// one, when one is near.
std::string unknown_option(const std::string& word, std::size_t dashes) {
    const option_row* row = option_in(word, dashes);
    if (row == nullptr) {
        std::vector<std::string> names;
        for (const option_row& each : option_table()) {
            if (each.long_name[0] != '\0') {
                names.emplace_back(each.long_name);
            }
        }
        const std::string name = word.substr(dashes, word.find('=') - dashes);
        const std::optional<std::string> nearest = nearest_name(name, names);
        row = nearest ? option_named(*nearest) : nullptr;
    }
    return "nieznana opcja: " + word +
           (row != nullptr ? " (czy chodziło o " + option_text(*row) + "?)" : "");
}

// The culprit when the word getopt is to read next is a single-dash word: no option has a short
// name there (-s and -h work only as the first argument).
result<void> check_single_dash(const char* word) {
    if (word == nullptr || word[0] != '-' || word[1] == '-' || word[1] == '\0') {
        return {};
    }
    for (const option_row& row : option_table()) {
        if (row.short_name != '\0' && word[1] == row.short_name && word[2] == '\0') {
            return failure("opcja " + std::string(word) + " działa tylko jako pierwszy argument");
        }
    }
    return failure(unknown_option(word, 1));
}

// The kind of run the given options ask for, and the option that asks for it (null for the
// classic run).
std::pair<run_kind, const option_row*> kind_of(const std::vector<const option_row*>& given) {
    for (const run_kind kind : {kind_service, kind_watch, kind_history, kind_report}) {
        for (const option_row* row : given) {
            if (row->sets_kind == kind) {
                return {kind, row};
            }
        }
    }
    return {kind_classic, nullptr};
}

// The first given option that does not go with the kind of run, as a usage error.
result<void> check_fit(const std::vector<const option_row*>& given) {
    const auto [kind, asker] = kind_of(given);
    for (const option_row* row : given) {
        if (row->allowed & kind) {
            continue;
        }
        // An option of most runs, or one asking for a run of its own, clashes with the option
        // that asked for this run; the rest belong to a run of their own.
        if (asker != nullptr &&
            (row->sets_kind != 0 || (row->allowed & (kind_classic | kind_report)) != 0)) {
            return failure("opcja " + option_text(*row) + " nie łączy się z " +
                           option_text(*asker));
        }
        return failure("opcja " + option_text(*row) + " działa tylko z " +
                       kinds_text(row->allowed & ~kind_classic));
    }
    return {};
}

// What follows the options in the newer forms: a town (or nothing after --near) and a radius;
// a town and hours after --history; nothing after --config, --check and --towns.
result<void> check_operands(const command_options& options, run_kind kind,
                            const option_row* asker) {
    const std::vector<std::string>& operands = options.operands; // argv[0] first
    const std::size_t count = operands.size() - 1;
    if (kind == kind_service) {
        if (count > 0) {
            return failure("opcja " + option_text(*asker) +
                           " nie przyjmuje argumentów: " + operands[1]);
        }
        return {};
    }
    const bool town = !options.near && !names_places(options);
    if (town && count == 0) {
        return failure("brak miejscowości po opcjach");
    }
    if (town && operands[1].empty()) {
        return failure("pusta nazwa miejscowości");
    }
    const std::size_t most = town ? 2 : 1;
    if (count > most) {
        return failure("nadmiarowy argument: " + operands[most + 1]);
    }
    const std::string given = count == most ? operands[most] : std::string();
    if (kind == kind_history) {
        const std::optional<int> hours = count_value(given);
        if (count == most && (!hours || *hours < 1 || *hours > 7 * 24)) {
            return failure("nieprawidłowa liczba godzin dla --history: " + given +
                           " (od 1 do 168)");
        }
        return {};
    }
    if (count == most) {
        if (result<void> radius = check_radius(given); !radius) {
            return radius;
        }
    }
    if (count < most && names_places(options)) {
        return {}; // each place's ring against the radius it runs with (options_of_places)
    }
    const int radius = count == most ? *count_value(given) : default_radius_km;
    if (options.danger_km && *options.danger_km > radius) {
        return failure("strefa --danger-km (" + std::to_string(*options.danger_km) +
                       " km) musi mieścić się w promieniu (" + std::to_string(radius) + " km)");
    }
    return {};
}

// The first known option after the town: options come before it.
result<void> check_no_late_option(const std::vector<std::string>& operands) {
    if (operands.size() > 1 && (operands[1] == "-s" || operands[1] == "-h")) {
        return {}; // the classic run's own; what follows them is ignored
    }
    for (std::size_t i = 2; i < operands.size(); ++i) {
        if (operands[i].rfind("--", 0) == 0 && option_in(operands[i], 2) != nullptr) {
            return failure("opcje podaje się przed miejscowością: " + operands[i]);
        }
    }
    return {};
}

// One form a run: the first given option that asks for another form than an earlier one, as a
// usage error naming both.
result<void> check_one_form(const std::vector<const option_row*>& given) {
    const option_row* first = nullptr;
    for (const option_row* row : given) {
        if (row->form == output_form::text) {
            continue;
        }
        if (first != nullptr && row->form != first->form) {
            return failure("opcja " + option_text(*row) + " nie łączy się z " +
                           option_text(*first));
        }
        first = first != nullptr ? first : row;
    }
    return {};
}

// The checks that no single option makes.
result<void> check_combination(const command_options& options) {
    if (!options.format.empty() && options.form == output_form::json) {
        return failure("opcja --format nie łączy się z --json");
    }
    if (options.escape != markup::none && options.format.empty()) {
        return failure("opcja --escape działa tylko z --format");
    }
    if (options.escape != markup::none && options.form == output_form::waybar) {
        // Waybar's text is Pango markup made safe whole, the template's own text too.
        return failure("opcja --escape nie łączy się z --waybar");
    }
    if (options.name && !options.near) {
        return failure("opcja --name działa tylko z --near");
    }
    if (names_places(options) && options.near) {
        return failure("opcja --place nie łączy się z --near");
    }
    if (options.all_places && !options.places.empty()) {
        return failure("opcja --all-places nie łączy się z --place");
    }
    if (options.places.size() > 1 && !options.watch.on) {
        return failure("kilka miejsc --place tylko z --watch");
    }
    for (auto place = options.places.begin(); place != options.places.end(); ++place) {
        if (std::find(options.places.begin(), place, *place) != place) {
            return failure("miejsce „" + strip_control_chars(*place) +
                           "” podane w --place więcej niż raz");
        }
    }
    return {};
}
