// The home lock: flock on the home folder itself, so the kernel drops it with the process's last
// descriptor, and no file can be deleted or replaced to let a second writer in (a folder that holds
// a collection cannot be removed, and a renamed one keeps its lock).
#include "HomeLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace likeness_cli {

std::optional<HomeLock> HomeLock::acquire(const std::filesystem::path& home, std::string& whyNot) {
    // Close-on-exec: a program the command starts must not keep the home locked after it ends.
    const int fd = open(home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        whyNot = "cannot lock the home " + home.string() + ": " + std::strerror(errno);
        return std::nullopt;
    }
    int locked;
    do {
        locked = flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        const int cause = errno;
        close(fd);
        whyNot = cause == EWOULDBLOCK ? "another likeness process is writing the home " + home.string() +
                                            "; try again when it has finished"
                                      : "cannot lock the home " + home.string() + ": " + std::strerror(cause);
        return std::nullopt;
    }
    return HomeLock(fd);
}

HomeLock::HomeLock(HomeLock&& other) noexcept : fd(std::exchange(other.fd, -1)) {}

HomeLock& HomeLock::operator=(HomeLock&& other) noexcept {
    if (this != &other) {
        if (fd >= 0) close(fd);
        fd = std::exchange(other.fd, -1);
    }
    return *this;
}

HomeLock::~HomeLock() {
    if (fd >= 0) close(fd);
}

}  // namespace likeness_cli
