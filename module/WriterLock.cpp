// The writer lock: flock on the folder itself, so the kernel drops it with the process's last
// descriptor, and no file can be deleted or replaced to let a second writer in (a folder that holds
// a collection cannot be removed, and a renamed one keeps its lock). The process keeps one
// descriptor per locked folder and counts the holders, since a second flock of the same folder by
// the same process through another descriptor would be refused.
#include "module/WriterLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <utility>

namespace likeness {
namespace {

struct HeldFolder {
    int fd;
    std::size_t holders;
};

using FolderId = std::pair<std::uint64_t, std::uint64_t>;

std::mutex heldMutex;
std::map<FolderId, HeldFolder>& heldFolders() {
    static std::map<FolderId, HeldFolder> held;
    return held;
}

}  // namespace

std::optional<WriterLock> WriterLock::acquire(const std::string& folder, std::string& whyNot) {
    // Close-on-exec: a program the host starts must not keep the folder locked after it ends.
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat status {};
    if (fd < 0 || fstat(fd, &status) != 0) {
        whyNot = "cannot lock " + folder + ": " + std::strerror(errno);
        if (fd >= 0) close(fd);
        return std::nullopt;
    }
    const FolderId id{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
    const std::lock_guard<std::mutex> guard(heldMutex);
    const auto found = heldFolders().find(id);
    if (found != heldFolders().end()) {
        close(fd);
        ++found->second.holders;
        return WriterLock(id.first, id.second);
    }
    int locked;
    do {
        locked = flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        const int cause = errno;
        close(fd);
        whyNot = cause == EWOULDBLOCK ? "another likeness process is writing the collection in " + folder +
                                            "; try again when it has finished"
                                      : "cannot lock " + folder + ": " + std::strerror(cause);
        errno = cause;
        return std::nullopt;
    }
    heldFolders().emplace(id, HeldFolder{fd, 1});
    return WriterLock(id.first, id.second);
}

std::optional<WriterLock> WriterLock::forFeatureFile(const std::string& featureFile, std::string& whyNot) {
    std::error_code error;
    const std::filesystem::path file = std::filesystem::absolute(featureFile, error);
    return acquire(error ? "." : file.parent_path().string(), whyNot);
}

WriterLock::WriterLock(WriterLock&& other) noexcept
    : device(other.device), inode(other.inode), held(std::exchange(other.held, false)) {}

WriterLock& WriterLock::operator=(WriterLock&& other) noexcept {
    if (this != &other) {
        release();
        device = other.device;
        inode = other.inode;
        held = std::exchange(other.held, false);
    }
    return *this;
}

WriterLock::~WriterLock() {
    release();
}

void WriterLock::release() {
    if (!held) return;
    held = false;
    const std::lock_guard<std::mutex> guard(heldMutex);
    const auto found = heldFolders().find({device, inode});
    if (found == heldFolders().end() || --found->second.holders > 0) return;
    close(found->second.fd);
    heldFolders().erase(found);
}

}  // namespace likeness
