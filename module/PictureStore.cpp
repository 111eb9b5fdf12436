// Reading sources and writing stored copies, all through the file seam (module/FileIo.h).
// OpenCV only encodes here, into memory; it never writes a file of the collection.
#include "module/PictureStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <opencv2/imgcodecs.hpp>

#include "module/FileIo.h"

namespace {

bool sameExistingFile(const std::string& a, const std::string& b) {
    std::error_code error;
    return std::filesystem::equivalent(a, b, error) && !error;
}

std::string tooLarge(std::size_t maxBytes) {
    return "larger than " + std::to_string(maxBytes) + " bytes";
}

bool syncExistingFile(const std::string& path) {
    const int fd = fileCalls().open(path.c_str(), O_RDONLY, 0);
    if (fd < 0) return false;
    const bool synced = fileCalls().fsync(fd) == 0;
    return fileCalls().close(fd) == 0 && synced && syncFolderOf(path);
}

}  // namespace

std::string readPictureFile(const std::string& path, std::vector<unsigned char>& bytes, std::size_t maxBytes) {
    bytes.clear();
    // Non-blocking, so that a FIFO without a writer cannot hang the call before it is found out.
    const int fd = fileCalls().open(path.c_str(), O_RDONLY | O_NONBLOCK, 0);
    if (fd < 0) return errno == ENOENT ? "no such file" : std::string("cannot open it: ") + std::strerror(errno);
    std::string why;
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) why = "not a regular file";
    else if (static_cast<unsigned long long>(status.st_size) > maxBytes) why = tooLarge(maxBytes);
    else bytes.reserve(static_cast<std::size_t>(status.st_size));
    unsigned char block[1 << 16];
    while (why.empty()) {
        const ssize_t got = fileCalls().read(fd, block, sizeof(block));
        if (got == 0) break;
        if (got < 0) {
            if (errno != EINTR) why = std::string("cannot read it: ") + std::strerror(errno);
            continue;
        }
        // The file may grow while it is read.
        if (bytes.size() + static_cast<std::size_t>(got) > maxBytes) why = tooLarge(maxBytes);
        bytes.insert(bytes.end(), block, block + got);
    }
    fileCalls().close(fd);
    if (!why.empty()) bytes.clear();
    return why;
}

bool storePictureCopy(const std::string& key, const std::string& source, const std::vector<unsigned char>& bytes,
                      const likeness::DecodedPicture& picture) {
    if (sameExistingFile(key, source)) return syncExistingFile(key);
    // The copy keeps the source's date, so that "oldest" still means the photo's age, not the add's.
    struct stat sourceStatus {};
    const struct timespec* modified = nullptr;
    if (!source.empty() && stat(source.c_str(), &sourceStatus) == 0) modified = &sourceStatus.st_mtim;
    const likeness::PictureFormat wanted = likeness::formatNamedBy(key);
    if (wanted == likeness::PictureFormat::Unknown || wanted == picture.format) {
        return replaceFileDurably(key, bytes.data(), bytes.size(), modified);
    }
    std::vector<unsigned char> encoded;
    if (!cv::imencode(key.substr(key.rfind('.')), picture.pixels, encoded)) return false;
    return replaceFileDurably(key, encoded.data(), encoded.size(), modified);
}
