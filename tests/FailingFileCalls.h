// A fake of the library's file calls that fails one chosen call, for tests that must see what a
// full disk, a failed fsync or a failed close does to the collection.
#ifndef LIKENESS_TESTS_FAILINGFILECALLS_H
#define LIKENESS_TESTS_FAILINGFILECALLS_H

#include <cerrno>
#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "module/FileIo.h"

// Counts every call by kind and passes it to the system, except the n-th call of the chosen kind
// (1-based), which fails with the chosen errno without doing anything; alsoFail adds more such
// calls. With maxWriteBytes or maxReadBytes set, writes and reads take at most that many bytes
// at a time, as a slow pipe or a signal may make them.
class FailingFileCalls : public FileCalls {
public:
    enum class Call { Open, Write, Read, Fsync, Close, Rename, Unlink, Truncate };

    FailingFileCalls() = default;
    FailingFileCalls(Call failing, std::size_t nth, int error = EIO) : failures{{failing, nth}}, error(error) {}

    void alsoFail(Call call, std::size_t nth) { failures.emplace(call, nth); }

    std::size_t maxWriteBytes = 0;
    std::size_t maxReadBytes = 0;

    // How many calls of this kind were made, the failed one included.
    std::size_t count(Call call) const {
        const auto found = counts.find(call);
        return found == counts.end() ? 0 : found->second;
    }

    int open(const char* path, int flags, mode_t mode) override {
        return fails(Call::Open) ? -1 : FileCalls::open(path, flags, mode);
    }
    ssize_t write(int fd, const void* data, std::size_t size) override {
        if (fails(Call::Write)) return -1;
        if (maxWriteBytes > 0 && size > maxWriteBytes) size = maxWriteBytes;
        return FileCalls::write(fd, data, size);
    }
    ssize_t read(int fd, void* data, std::size_t size) override {
        if (fails(Call::Read)) return -1;
        if (maxReadBytes > 0 && size > maxReadBytes) size = maxReadBytes;
        return FileCalls::read(fd, data, size);
    }
    int fsync(int fd) override { return fails(Call::Fsync) ? -1 : FileCalls::fsync(fd); }
    int ftruncate(int fd, off_t length) override {
        return fails(Call::Truncate) ? -1 : FileCalls::ftruncate(fd, length);
    }
    int close(int fd) override {
        // A failed close still releases the descriptor, as on Linux.
        if (fails(Call::Close)) {
            FileCalls::close(fd);
            return -1;
        }
        return FileCalls::close(fd);
    }
    int rename(const char* from, const char* to) override {
        return fails(Call::Rename) ? -1 : FileCalls::rename(from, to);
    }
    int unlink(const char* path) override { return fails(Call::Unlink) ? -1 : FileCalls::unlink(path); }

private:
    bool fails(Call call) {
        const std::size_t made = ++counts[call];
        if (failures.count({call, made}) == 0) return false;
        errno = error;
        return true;
    }

    std::set<std::pair<Call, std::size_t>> failures;
    int error = EIO;
    std::map<Call, std::size_t> counts;
};

#endif
