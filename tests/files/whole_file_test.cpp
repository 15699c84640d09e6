// Files written whole: the new text or, when writing fails, the old file untouched and nothing
// else left beside it.
#include "files/whole_file.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iterator>

namespace {

// write_file_whole in a child whose files may grow to `limit` bytes: 0 when it wrote, 1 when
// it failed with a message naming the file and the reason, 2 for any other message.
int write_in_child(const std::string& path, const std::string& text, rlim_t limit) {
    const pid_t child = fork();
    if (child == 0) {
        const rlimit size{limit, limit};
        std::signal(SIGXFSZ, SIG_IGN);
        if (setrlimit(RLIMIT_FSIZE, &size) != 0) {
            _exit(3);
        }
        const result<void> written = write_file_whole(path, text);
        _exit(written ? 0
              : written.error().find(path) != std::string::npos &&
                      written.error().find("plik za duży") != std::string::npos
                  ? 1
                  : 2);
    }
    int status = -1;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)
               ? WEXITSTATUS(status)
               : -1;
}

TEST(WholeFile, NewTextOrTheOldFileUntouched) {
    const std::string big(10000, 'x');
    struct row {
        const char* name;
        const char* old_text; // nullptr: no file yet
        mode_t old_mode;
        const std::string& text;
        rlim_t limit;
        int status;
    } const rows[] = {
        {"a new file", nullptr, 0, big, RLIM_INFINITY, 0},
        {"over an old file, its mode kept", "old", 0600, big, RLIM_INFINITY, 0},
        {"beyond the size a file may have", "old picture", 0644, big, 100, 1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        TempDir dir;
        const std::string path = dir.path + "/history.svg";
        if (r.old_text != nullptr) {
            write_file(path, r.old_text);
            ASSERT_EQ(chmod(path.c_str(), r.old_mode), 0);
        }
        EXPECT_EQ(write_in_child(path, r.text, r.limit), r.status);
        EXPECT_EQ(read_file(path), r.status == 0 ? r.text : r.old_text);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 1)
            << "a temporary file left";
        struct stat written {};
        ASSERT_EQ(stat(path.c_str(), &written), 0);
        if (r.old_text != nullptr) {
            EXPECT_EQ(written.st_mode & 07777, r.old_mode);
        }
    }
    const result<void> nowhere = write_file_whole("/nonexistent-dir/history.svg", "x");
    ASSERT_FALSE(nowhere);
    EXPECT_NE(nowhere.error().find("brak takiego pliku lub katalogu"), std::string::npos)
        << nowhere.error();
}

} // namespace
