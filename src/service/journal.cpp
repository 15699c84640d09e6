#include "service/journal.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <unistd.h>

namespace {

// Reads "DEVICE:INODE"; false for anything else.
bool parse_stream(const char* text, unsigned long long& device, unsigned long long& inode) {
    if (text == nullptr || *text < '0' || *text > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    device = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != ':' || end[1] < '0' || end[1] > '9') {
        return false;
    }
    inode = std::strtoull(end + 1, &end, 10);
    return errno == 0 && *end == '\0';
}

// Process-wide, since the reasons of every floor pass through here and a watch's forked workers
// inherit it; set once, before the run makes a thread or a worker.
bool reasons_for_journal_only = false;

bool error_stream_is_journal() {
    static const bool journal = is_journal_stream(STDERR_FILENO);
    return journal;
}

void write_always(const std::string& text, line_priority priority) {
    std::cerr << with_priority(text, priority, error_stream_is_journal()) << std::flush;
}

} // namespace

bool is_journal_stream(int fd) {
    unsigned long long device = 0;
    unsigned long long inode = 0;
    if (!parse_stream(std::getenv("JOURNAL_STREAM"), device, inode)) {
        return false;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0) {
        return false;
    }
    return static_cast<unsigned long long>(status.st_dev) == device &&
           static_cast<unsigned long long>(status.st_ino) == inode;
}

std::string with_priority(const std::string& text, line_priority priority, bool journal) {
    if (!journal || text.empty()) {
        return text;
    }
    const std::string prefix = "<" + std::to_string(static_cast<int>(priority)) + ">";
    std::string result = prefix;
    for (std::size_t i = 0; i < text.size(); ++i) {
        result += text[i];
        if (text[i] == '\n' && i + 1 < text.size()) {
            result += prefix;
        }
    }
    return result;
}

void write_error_stream(const std::string& text, line_priority priority) {
    if (!reasons_for_journal_only || error_stream_is_journal()) {
        write_always(text, priority);
    }
}

void tell_error_stream(const std::string& text, line_priority priority) {
    write_error_stream(text + "\n", priority);
}

void keep_reasons_for_journal() {
    reasons_for_journal_only = true;
}

void tell_error_stream_always(const std::string& text, line_priority priority) {
    write_always(text + "\n", priority);
}
