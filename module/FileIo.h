// The POSIX file calls behind every write the library must not lose, reached through one seam so
// that tests can make any single step fail (a full disk, a failed fsync or close) on purpose.
#ifndef LIKENESS_MODULE_FILEIO_H
#define LIKENESS_MODULE_FILEIO_H

#include <sys/types.h>

#include <cstddef>
#include <ctime>
#include <string>

// The calls, with the meaning and results of their POSIX namesakes (-1 and errno on failure).
// The default object passes them straight to the system.
class FileCalls {
public:
    virtual ~FileCalls() = default;
    virtual int open(const char* path, int flags, mode_t mode);
    virtual ssize_t write(int fd, const void* data, std::size_t size);
    virtual ssize_t read(int fd, void* data, std::size_t size);
    virtual int fsync(int fd);
    virtual int ftruncate(int fd, off_t length);
    virtual int close(int fd);
    virtual int rename(const char* from, const char* to);
    virtual int unlink(const char* path);
};

// The calls the library makes now: the system's unless a test installed others.
FileCalls& fileCalls();

// Installs calls for the life of the object, then puts back the ones it replaced. For tests.
class ScopedFileCalls {
public:
    explicit ScopedFileCalls(FileCalls& replacement);
    ~ScopedFileCalls();
    ScopedFileCalls(const ScopedFileCalls&) = delete;
    ScopedFileCalls& operator=(const ScopedFileCalls&) = delete;

private:
    FileCalls* replaced;
};

// Writes all size bytes to fd, going on after short writes and interruptions. False on the first
// failure, with errno set by it.
bool writeAll(int fd, const void* data, std::size_t size);

// Whether the file behind fd, size bytes long, ends inside a line (its last byte is no line feed),
// so that an append must begin with one. A last byte that cannot be read counts as one: a needless
// line feed only makes an empty line, which no reader takes for anything. Moves the file offset.
bool endsInsideALine(int fd, off_t size);

// Makes a rename or a new file in path's folder survive a power cut (fsync of the folder).
bool syncFolderOf(const std::string& path);

// Replaces path with exactly these bytes, so that at every moment path holds either its old
// content or all of the new: the bytes go to a new file beside it, which is synced and closed,
// then renamed over path, and the folder is synced. On a failure before the rename the new file is
// removed, path is left as it was, and false is returned with errno set by the failing step. When
// only the folder's sync fails, path already holds the new bytes, but false is returned all the
// same: they are not sure to survive a power cut. With modified, the new file is given that
// modification time (a copy keeps its source's date); a file system that cannot keep it fails nothing.
bool replaceFileDurably(const std::string& path, const void* data, std::size_t size,
                        const struct timespec* modified = nullptr);

// The name replaceFileDurably writes to before its rename: in path's folder, so the rename never
// crosses file systems, and unique within the process. It is path + ".partial-PID-N", or
// "likeness.partial-PID-N" in that folder when that would be longer than a name may be.
std::string temporaryNameBeside(const std::string& path);

#endif
