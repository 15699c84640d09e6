#pragma once

#include <string>

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
