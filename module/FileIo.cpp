// The system's file calls and the durable replacement built on them.
// errno is saved across the clean-up of a failed step, so callers can log the real cause.
#include "module/FileIo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <string>

namespace {

FileCalls systemCalls;
FileCalls* current = &systemCalls;
std::atomic<unsigned long> temporaryCounter{0};

std::string folderOf(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Closes fd and removes path after a failure, keeping the failure's errno.
void discard(int fd, const std::string& path) {
    const int cause = errno;
    if (fd >= 0) fileCalls().close(fd);
    fileCalls().unlink(path.c_str());
    errno = cause;
}

}  // namespace

int FileCalls::open(const char* path, int flags, mode_t mode) {
    return ::open(path, flags | O_CLOEXEC, mode);
}

ssize_t FileCalls::write(int fd, const void* data, std::size_t size) {
    return ::write(fd, data, size);
}

ssize_t FileCalls::read(int fd, void* data, std::size_t size) {
    return ::read(fd, data, size);
}

int FileCalls::fsync(int fd) {
    return ::fsync(fd);
}

int FileCalls::ftruncate(int fd, off_t length) {
    return ::ftruncate(fd, length);
}

int FileCalls::close(int fd) {
    return ::close(fd);
}

int FileCalls::rename(const char* from, const char* to) {
    return ::rename(from, to);
}

int FileCalls::unlink(const char* path) {
    return ::unlink(path);
}

FileCalls& fileCalls() {
    return *current;
}

ScopedFileCalls::ScopedFileCalls(FileCalls& replacement) : replaced(current) {
    current = &replacement;
}

ScopedFileCalls::~ScopedFileCalls() {
    current = replaced;
}

bool writeAll(int fd, const void* data, std::size_t size) {
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = fileCalls().write(fd, next, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            // A write that takes nothing without an error would otherwise loop for ever.
            if (written == 0) errno = ENOSPC;
            return false;
        }
        next += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool endsInsideALine(int fd, off_t size) {
    if (size == 0) return false;
    char last = '\n';
    if (::lseek(fd, size - 1, SEEK_SET) < 0) return true;
    return fileCalls().read(fd, &last, 1) != 1 || last != '\n';
}

bool syncFolderOf(const std::string& path) {
    const int fd = fileCalls().open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY, 0);
    if (fd < 0) return false;
    const bool synced = fileCalls().fsync(fd) == 0;
    const int cause = errno;
    fileCalls().close(fd);
    errno = cause;
    return synced;
}

std::string temporaryNameBeside(const std::string& path) {
    const std::string suffix = ".partial-" + std::to_string(getpid()) + "-" + std::to_string(++temporaryCounter);
    const std::string::size_type slash = path.rfind('/');
    const std::string::size_type nameStart = slash == std::string::npos ? 0 : slash + 1;
    // A name already near the system's limit would make the temporary uncreatable.
    if (path.size() - nameStart + suffix.size() > NAME_MAX) return path.substr(0, nameStart) + "likeness" + suffix;
    return path + suffix;
}

bool replaceFileDurably(const std::string& path, const void* data, std::size_t size, const struct timespec* modified) {
    const std::string temporary = temporaryNameBeside(path);
    // 0666: the umask decides, as for any file a program creates.
    const int fd = fileCalls().open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0) return false;
    if (!writeAll(fd, data, size)) {
        discard(fd, temporary);
        return false;
    }
    if (modified != nullptr) {
        const struct timespec times[2] = {{0, UTIME_OMIT}, *modified};
        futimens(fd, times);
    }
    if (fileCalls().fsync(fd) != 0) {
        discard(fd, temporary);
        return false;
    }
    if (fileCalls().close(fd) != 0) {
        discard(-1, temporary);
        return false;
    }
    if (fileCalls().rename(temporary.c_str(), path.c_str()) != 0) {
        discard(-1, temporary);
        return false;
    }
    return syncFolderOf(path);
}
