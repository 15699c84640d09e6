#include "support/temp_dir.h"

#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {
int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    return std::remove(path);
}
} // namespace

TempDir::TempDir() {
    char pattern[] = "/tmp/nimbrovator-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    path = made != nullptr ? made : "";
}

TempDir::~TempDir() {
    if (!path.empty()) {
        nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    }
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}
