#include "files/whole_file.h"

#include "text/system_error.h"
#include "text/text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string reason(int error) {
    return system_error_text(error);
}

// The file descriptor, closed when it goes.
class fd_handle {
  public:
    explicit fd_handle(int fd) : fd_(fd) {}
    fd_handle(const fd_handle&) = delete;
    fd_handle& operator=(const fd_handle&) = delete;
    ~fd_handle() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }
    // Closes it now; false (errno set) when the close reports a lost write.
    bool close() {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

  private:
    int fd_;
};

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

result<void> write_all(int fd, const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::write(fd, text.data() + sent, text.size() - sent);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return failure(reason(n < 0 ? errno : ENOSPC));
        }
        sent += static_cast<std::size_t>(n);
    }
    return {};
}

// Writes the new file `temporary` whole and renames it to `path`.
result<void> replace_with(const std::string& temporary, const std::string& path,
                          const std::string& text) {
    fd_handle file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (file.get() < 0) {
        return failure(reason(errno));
    }
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0 && ::fchmod(file.get(), old.st_mode & 07777) != 0) {
        return failure(reason(errno));
    }
    if (result<void> written = write_all(file.get(), text); !written) {
        return written;
    }
    if (::fsync(file.get()) != 0 || !file.close() ||
        ::rename(temporary.c_str(), path.c_str()) != 0) {
        return failure(reason(errno));
    }
    return {};
}

} // namespace

result<void> write_file_whole(const std::string& path, const std::string& text) {
    const std::string temporary = path + "." + std::to_string(::getpid()) + ".tmp";
    if (result<void> replaced = replace_with(temporary, path, text); !replaced) {
        ::unlink(temporary.c_str()); // none may be left: its absence is no fault
        return failure("Nie udało się zapisać pliku " + strip_control_chars(path) + ": " +
                       replaced.error() + ".");
    }
    // The rename is kept once the directory is on the disk too.
    fd_handle directory(::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() < 0 || ::fsync(directory.get()) != 0) {
        return failure("Nie udało się utrwalić pliku " + strip_control_chars(path) + ": " +
                       reason(errno) + ".");
    }
    return {};
}
