#pragma once

#include <string>
#include <vector>

// A fresh directory under /tmp, removed with everything in it when the object goes.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
// The lines of a text, without their line feeds.
std::vector<std::string> lines_of(const std::string& text);
