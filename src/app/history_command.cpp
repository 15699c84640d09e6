#include "app/history_command.h"

#include "approach/place_track.h"
#include "files/whole_file.h"
#include "output/history_form.h"
#include "service/journal.h"
#include "storm/town_lookup.h"
#include "text/numbers.h"
#include "text/text.h"

#include <cstdio>
#include <ctime>
#include <iostream>

int run_history_command(const run_context& context, const command_options& options) {
    const std::vector<std::string>& operands = options.operands;
    std::optional<int> hours = 3;
    if (operands.size() == 3) {
        hours = count_value(operands[2]);
    }
    if (operands.size() < 2 || operands.size() > 3 || operands[1].empty() || !hours || *hours < 1 ||
        *hours > 7 * 24) {
        return tell_usage_error("nieprawidłowe argumenty --history");
    }
    history_record history;
    history.town = normalised_town_name(operands[1]); // as --line and --watch record it
    history.hours = *hours;
    history.danger_km = options.danger_km.value_or(10);
    const std::time_t now = std::time(nullptr);
    history.rows = read_track(context.paths.database, history.town, std::nullopt,
                              static_cast<double>(now) - *hours * 3600.0);
    if (history.rows.empty()) {
        tell_error_stream("Brak obserwacji miejscowości " + history.town + " z ostatnich " +
                              std::to_string(*hours) +
                              " godz. (zapisuje je --watch, --json i --line).",
                          line_priority::error);
        return 1;
    }
    history.until_s = static_cast<double>(now);
    history.estimates = estimates_along(history.rows, history.danger_km);
    if (options.form == output_form::json) {
        std::cout << history_document(history, now) << '\n' << std::flush;
    } else {
        std::cout << history_table(history) << std::flush;
    }
    if (!options.svg_file.empty()) {
        const result<void> written = write_file_whole(options.svg_file, history_svg(history));
        if (!written) {
            tell_error_stream(written.error(), line_priority::error);
            return 1;
        }
        tell_error_stream("Wykres zapisany w pliku " + strip_control_chars(options.svg_file) + ".",
                          line_priority::info);
    }
    return std::cout ? 0 : 1;
}
