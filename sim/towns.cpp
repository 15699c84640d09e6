#include "towns.h"

#include <cmath>
#include <cstring>
#include <vector>

namespace {

struct folding {
    const char* letter;
    char plain;
};

const folding polish_letters[] = {
    {"ą", 'a'}, {"Ą", 'a'}, {"ć", 'c'}, {"Ć", 'c'}, {"ę", 'e'}, {"Ę", 'e'},
    {"ł", 'l'}, {"Ł", 'l'}, {"ń", 'n'}, {"Ń", 'n'}, {"ó", 'o'}, {"Ó", 'o'},
    {"ś", 's'}, {"Ś", 's'}, {"ź", 'z'}, {"Ź", 'z'}, {"ż", 'z'}, {"Ż", 'z'},
};

bool blank(char c) {
    return c == ' ' || c == '-' || c == '\t' || c == '\n' || c == '\r';
}

// The plain letter at `at`, or 0 when no Polish letter starts there; `length` gets its size.
char polish_letter_at(const std::string& text, std::size_t at, std::size_t& length) {
    for (const folding& f : polish_letters) {
        length = std::strlen(f.letter);
        if (text.compare(at, length, f.letter) == 0) {
            return f.plain;
        }
    }
    return 0;
}

struct folded_town {
    std::string name;
    std::string source_name;
};

const std::vector<folded_town>& folded_table() {
    static const std::vector<folded_town> table = [] {
        std::vector<folded_town> folded;
        for (std::size_t i = 0; i < sim_town_count; ++i) {
            folded.push_back({fold_town_name(sim_town_table[i].name),
                              fold_town_name(sim_town_table[i].source_name)});
        }
        return folded;
    }();
    return table;
}

} // namespace

std::string fold_town_name(const std::string& name) {
    std::string folded;
    bool pending_space = false;
    for (std::size_t i = 0; i < name.size();) {
        char c = name[i];
        std::size_t length = 1;
        if (blank(c)) {
            pending_space = !folded.empty();
            ++i;
            continue;
        }
        if (const char plain = polish_letter_at(name, i, length)) {
            c = plain;
        } else {
            length = 1;
            if (c >= 'A' && c <= 'Z') {
                c = static_cast<char>(c - 'A' + 'a');
            }
        }
        if (pending_space) {
            folded += ' ';
            pending_space = false;
        }
        folded += c;
        i += length;
    }
    return folded;
}

const sim_town* find_town(const std::string& name) {
    const std::string key = fold_town_name(name);
    if (key.empty()) {
        return nullptr;
    }
    const std::vector<folded_town>& table = folded_table();
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (table[i].name == key || table[i].source_name == key) {
            return &sim_town_table[i];
        }
    }
    return nullptr;
}

const sim_town* nearest_town(double latitude, double longitude) {
    const sim_town* nearest = &sim_town_table[0];
    double best = -1;
    const double squeeze = std::cos(latitude * 3.14159265358979 / 180);
    for (std::size_t i = 0; i < sim_town_count; ++i) {
        const double dy = sim_town_table[i].latitude - latitude;
        const double dx = (sim_town_table[i].longitude - longitude) * squeeze;
        const double distance = dy * dy + dx * dx;
        if (best < 0 || distance < best) {
            best = distance;
            nearest = &sim_town_table[i];
        }
    }
    return nearest;
}
