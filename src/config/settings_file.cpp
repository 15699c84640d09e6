// The configuration file: "name = value" lines and "#" comments, read with inih.
#include "config/settings.h"

#include <ini.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using file_handle = std::unique_ptr<std::FILE, file_closer>;

// What the parser's callbacks share: the file, the number of the line being read, and where
// the values go.
struct parse_state {
    std::FILE* file;
    const std::string& path;
    settings_outcome& outcome;
    int line = 0;
    bool at_line_start = true;
    bool holds_key = false;
};

// Reads like fgets and counts lines (a line longer than the buffer arrives in pieces).
char* read_counting_lines(char* buffer, int size, void* stream) {
    auto* state = static_cast<parse_state*>(stream);
    char* got = std::fgets(buffer, size, state->file);
    if (got != nullptr) {
        state->line += state->at_line_start ? 1 : 0;
        const std::size_t length = std::strlen(got);
        state->at_line_start = length > 0 && got[length - 1] == '\n';
    }
    return got;
}

const setting_rule* find_rule(const std::string& file_name) {
    for (const setting_rule& rule : setting_rules()) {
        if (file_name == rule.file_name) {
            return &rule;
        }
    }
    return nullptr;
}

int take_entry(void* user, const char* section, const char* name, const char* value) {
    auto* state = static_cast<parse_state*>(user);
    const std::string where = state->path + ":" + std::to_string(state->line);
    const setting_rule* rule = find_rule(name);
    if (section[0] != '\0') {
        state->outcome.errors.push_back(where + ": ustawienia nie należą do sekcji [" +
                                        std::string(section) + "].");
    } else if (rule == nullptr) {
        state->outcome.errors.push_back(where + ": nieznane ustawienie „" + std::string(name) +
                                        "”.");
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
void check_permissions(std::FILE* file, const parse_state& state) {
    struct stat status {};
    if (!state.holds_key || fstat(fileno(file), &status) != 0 ||
        (status.st_mode & (S_IRGRP | S_IROTH)) == 0) {
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

void read_config_file(const std::string& path, settings_outcome& outcome) {
    file_handle file(std::fopen(path.c_str(), "r"));
    if (!file) {
        // A path that cannot name a file (no such file or directory, or too long) is no file.
        if (errno != ENOENT && errno != ENOTDIR && errno != ENAMETOOLONG) {
            outcome.errors.push_back("Nie mogę odczytać pliku konfiguracji " + path + ": " +
                                     std::strerror(errno) + ".");
        }
        return;
    }
    outcome.file_read = true;
    // "#" starts a comment, also after a value; a value does not continue on the next line.
    static char comment_prefixes[] = "#;";
    ini_allow_multiline = false;
    ini_allow_inline_comments = true;
    ini_inline_comment_prefixes = comment_prefixes;
    parse_state state{file.get(), path, outcome};
    const int failed_line = ini_parse_stream(read_counting_lines, &state, take_entry, &state);
    if (failed_line > 0) {
        outcome.errors.push_back(path + ":" + std::to_string(failed_line) +
                                 ": wiersz nie ma postaci „nazwa = wartość”.");
    } else if (failed_line < 0) {
        outcome.errors.push_back("Nie mogę odczytać pliku konfiguracji " + path + ".");
    }
    check_permissions(file.get(), state);
}
