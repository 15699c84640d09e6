// The configuration file: "name = value" lines and "#" comments, read with inih.
#include "config/settings.h"

#include "text/system_error.h"
#include "text/text.h"

#include <fcntl.h>
#include <ini.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct stream_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using stream_handle = std::unique_ptr<std::FILE, stream_closer>;

// A configuration file is small: anything larger is no configuration file.
constexpr std::size_t max_config_bytes = std::size_t{64} * 1024;

// The name of a "[place NAME]" section; empty for any other section.
std::string place_section_name(const std::string& section) {
    const std::string prefix = "place ";
    if (section.rfind(prefix, 0) != 0) {
        return "";
    }
    const std::size_t first = section.find_first_not_of(' ', prefix.size());
    const std::size_t last = section.find_last_not_of(' ');
    return first == std::string::npos ? "" : section.substr(first, last + 1 - first);
}

// What the parser's callbacks share: the file's text, where the next line starts, the number
// of the line being read, and where the values go.
struct parse_state {
    const std::string& text;
    const std::string& path;
    settings_outcome& outcome;
    std::size_t next = 0;
    int line = 0;
    bool holds_key = false;
    std::string section; // the section of the last entry
    // The keys of the place being read, each with its line.
    std::vector<std::pair<std::string, int>> place_keys;
    // The last section's name as its heading gives it, where it stands and whether an entry
    // followed it.
    std::string heading;
    std::string heading_where;
    bool heading_used = true;
};

// A place's section without a single key, named at its heading.
void check_place_heading(const parse_state& state) {
    if (state.heading_used || state.heading.rfind("place ", 0) != 0) {
        return;
    }
    state.outcome.errors.push_back(state.heading_where + ": miejsce „" +
                                   strip_control_chars(place_section_name(state.heading)) +
                                   "” nie ma żadnego klucza (potrzebuje town albo near).");
}

// Gives the parser one whole line at a time, so that its number is known and no piece of a
// line is ever read as a line of its own. A line with a NUL byte (which would end it early)
// or too long for the parser's buffer is refused, and the parser gets an empty line instead.
char* read_whole_line(char* buffer, int size, void* stream) {
    auto* state = static_cast<parse_state*>(stream);
    if (state->next >= state->text.size() || size < 2) {
        return nullptr;
    }
    const std::size_t end = std::min(state->text.find('\n', state->next), state->text.size());
    const std::string line = state->text.substr(state->next, end + 1 - state->next);
    state->next = end + 1;
    ++state->line;
    const std::string where = state->path + ":" + std::to_string(state->line);
    std::string given = line;
    if (line.find('\0') != std::string::npos) {
        state->outcome.errors.push_back(where + ": wiersz zawiera bajt zerowy.");
        given = "\n";
    } else if (line.size() + 1 > static_cast<std::size_t>(size)) {
        state->outcome.errors.push_back(where + ": wiersz jest za długi.");
        given = "\n";
    }
    const std::size_t first = given.find_first_not_of(" \t");
    if (first != std::string::npos && given[first] == '[') {
        state->section.clear(); // a section starts, even one named as an earlier one
        check_place_heading(*state);
        const std::size_t end = given.find(']', first);
        state->heading = end == std::string::npos ? "" : given.substr(first + 1, end - first - 1);
        state->heading_where = where;
        state->heading_used = false;
    }
    given.copy(buffer, given.size());
    buffer[given.size()] = '\0';
    return buffer;
}

// A name from the file as the messages show it: without control characters, and only the
// first characters of a long one (it may be a key pasted in the wrong place).
std::string shown_name(const std::string& name) {
    const std::string clean = strip_control_chars(name);
    return clean.size() <= 16 ? clean : mask_key(clean);
}

const setting_rule* find_rule(const std::string& file_name) {
    for (const setting_rule& rule : setting_rules()) {
        if (file_name == rule.file_name) {
            return &rule;
        }
    }
    return nullptr;
}

// " (czy chodziło o storm_key?)" for a name a slip away from a setting's, else empty.
std::string nearest_rule_text(const std::string& file_name) {
    std::vector<std::string> names;
    for (const setting_rule& rule : setting_rules()) {
        names.emplace_back(rule.file_name);
    }
    const std::optional<std::string> nearest = nearest_name(file_name, names);
    return nearest ? " (czy chodziło o " + *nearest + "?)" : "";
}

// The longest name a place may be given, in bytes (as --name).
constexpr std::size_t longest_place_name = 100;

// An entry of a "[place NAME]" section; the place begins at its first entry.
void take_place_entry(parse_state& state, const std::string& where, const std::string& section,
                      const char* name, const char* value) {
    std::vector<named_place>& places = state.outcome.places;
    if (section != state.section) {
        const std::string place_name = place_section_name(section);
        if (strip_control_chars(place_name) != place_name ||
            place_name.size() > longest_place_name) {
            state.outcome.errors.push_back(where + ": nieprawidłowa nazwa miejsca [place " +
                                           shown_name(place_name) + "].");
        } else if (place_named(places, place_name) != nullptr) {
            state.outcome.errors.push_back(where + ": miejsce „" + place_name +
                                           "” jest już określone wyżej.");
        }
        named_place place;
        place.name = place_name;
        place.origin = where;
        places.push_back(place);
        state.section = section;
        state.place_keys.clear();
    }
    for (const auto& [key, line] : state.place_keys) {
        if (key == name) {
            state.outcome.errors.push_back(where + ": klucz „" + shown_name(name) +
                                           "” powtórzony w miejscu „" + places.back().name +
                                           "” (wcześniej w wierszu " + std::to_string(line) + ").");
            return;
        }
    }
    state.place_keys.emplace_back(name, state.line);
    const std::string problem = take_place_key(places.back(), name, value);
    if (!problem.empty()) {
        state.outcome.errors.push_back(where + ": " + problem);
    } else if (std::strcmp(name, "follow") == 0) {
        places.back().follow_origin = where; // checked against the final settings
    }
}

int take_entry(void* user, const char* section, const char* name, const char* value) {
    auto* state = static_cast<parse_state*>(user);
    const std::string where = state->path + ":" + std::to_string(state->line);
    state->heading_used = true;
    const setting_rule* rule = find_rule(name);
    if (std::strncmp(section, "place ", 6) == 0) {
        take_place_entry(*state, where, section, name, value);
    } else if (section[0] != '\0') {
        state->outcome.errors.push_back(where + ": ustawienia nie należą do sekcji [" +
                                        shown_name(section) + "].");
    } else if (rule == nullptr) {
        state->outcome.errors.push_back(where + ": nieznane ustawienie „" + shown_name(name) + "”" +
                                        nearest_rule_text(name) + ".");
    } else if (rule->environment_only) {
        state->outcome.errors.push_back(
            where + ": " + std::string(name) + " podaje się tylko w zmiennej środowiskowej " +
            rule->variable + " (w pliku: " + name + "_file = ŚCIEŻKA).");
    } else {
        state->outcome.settings.*rule->member = {value, setting_source::file, where};
        state->holds_key = state->holds_key || rule->is_key;
    }
    return 1;
}

// ssh's rule for private keys: a file with a key should be readable by its owner alone.
void check_permissions(const struct stat& status, const parse_state& state) {
    if (!state.holds_key || (status.st_mode & (S_IRGRP | S_IROTH)) == 0) {
        return;
    }
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    state.outcome.warnings.push_back("Uwaga: plik " + state.path +
                                     " zawiera klucz, a mogą go czytać inni użytkownicy "
                                     "(uprawnienia " +
                                     mode + "); zalecam chmod 600 " + state.path + ".");
}

const char* home_directory() {
    const struct passwd* entry = getpwuid(getuid());
    if (entry != nullptr && entry->pw_dir != nullptr && entry->pw_dir[0] != '\0') {
        return entry->pw_dir;
    }
    const char* home = std::getenv("HOME");
    return home != nullptr && home[0] != '\0' ? home : nullptr;
}

} // namespace

std::string config_file_path() {
    const char* config_home = std::getenv("XDG_CONFIG_HOME");
    if (config_home != nullptr && config_home[0] == '/') {
        return std::string(config_home) + "/nimbrovator/config";
    }
    const char* home = home_directory();
    return home != nullptr ? std::string(home) + "/.config/nimbrovator/config" : std::string();
}

namespace {

// The file's text, read without blocking on a FIFO or a device: only a regular file of at
// most max_config_bytes is read. False (after the error) when it cannot be read.
bool read_config_text(std::FILE* file, const std::string& path, struct stat& status,
                      std::string& text, settings_outcome& outcome) {
    const std::string named = "Plik konfiguracji " + path;
    if (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode)) {
        outcome.errors.push_back(named + " nie jest zwykłym plikiem.");
        return false;
    }
    char chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        text.append(chunk, got);
        if (text.size() > max_config_bytes) {
            outcome.errors.push_back(named + " jest większy niż 64 KiB.");
            return false;
        }
    }
    if (std::ferror(file)) {
        outcome.errors.push_back("Nie mogę odczytać pliku konfiguracji " + path + ": " +
                                 system_error_text(errno) + ".");
        return false;
    }
    return true;
}

} // namespace

void read_config_file(const std::string& path, settings_outcome& outcome) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        // A path that cannot name a file (no such file or directory, or too long) is no file.
        if (errno != ENOENT && errno != ENOTDIR && errno != ENAMETOOLONG) {
            outcome.errors.push_back("Nie mogę odczytać pliku konfiguracji " + path + ": " +
                                     system_error_text(errno) + ".");
        }
        return;
    }
    const stream_handle file(fdopen(fd, "r"));
    if (!file) {
        close(fd);
        outcome.errors.push_back("Nie mogę odczytać pliku konfiguracji " + path + ": " +
                                 system_error_text(errno) + ".");
        return;
    }
    outcome.file_read = true;
    struct stat status {};
    std::string text;
    if (!read_config_text(file.get(), path, status, text, outcome)) {
        return;
    }
    // "#" starts a comment, also after a value; a value does not continue on the next line.
    // The line buffer holds any line of a file the size allowed.
    static char comment_prefixes[] = "#;";
    ini_allow_multiline = false;
    ini_allow_inline_comments = true;
    ini_inline_comment_prefixes = comment_prefixes;
    ini_use_stack = false;
    ini_allow_realloc = false;
    ini_initial_alloc = static_cast<int>(max_config_bytes) + 3;
    ini_max_line = ini_initial_alloc;
    parse_state state{text, path, outcome, 0, 0, false, {}, {}, {}, {}, true};
    const int failed_line = ini_parse_stream(read_whole_line, &state, take_entry, &state);
    check_place_heading(state);
    if (failed_line > 0) {
        outcome.errors.push_back(path + ":" + std::to_string(failed_line) +
                                 ": wiersz nie ma postaci „nazwa = wartość”.");
    } else if (failed_line < 0) {
        outcome.errors.push_back("Nie mogę odczytać pliku konfiguracji " + path + ".");
    }
    check_permissions(status, state);
    for (const named_place& place : outcome.places) {
        const std::string problem = place_problem(place);
        if (!problem.empty()) {
            outcome.errors.push_back(place.origin + ": " + problem);
        }
    }
}
