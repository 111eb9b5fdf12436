// Walking folders for pictures.
#include "PictureFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "module/PictureDecoder.h"
#include "module/PictureHeader.h"

namespace fs = std::filesystem;

namespace likeness_cli {
namespace {

std::string kindOf(const fs::file_status& status) {
    switch (status.type()) {
    case fs::file_type::fifo: return "a FIFO";
    case fs::file_type::block:
    case fs::file_type::character: return "a device file";
    case fs::file_type::socket: return "a socket";
    default: return "not a regular file";
    }
}

// What a walk does with one entry of a folder.
enum class Found { PictureCandidate, Subfolder, PassedOver };

Found classify(const fs::directory_entry& entry, std::string& reason) {
    std::error_code error;
    const fs::file_status own = entry.symlink_status(error);
    if (error) {
        reason = "cannot read: " + error.message();
        return Found::PassedOver;
    }
    if (fs::is_directory(own)) return Found::Subfolder;
    if (fs::is_regular_file(own)) return Found::PictureCandidate;
    if (!fs::is_symlink(own)) {
        reason = "skipped, " + kindOf(own);
        return Found::PassedOver;
    }
    const fs::file_status target = entry.status(error);
    if (error) {
        reason = error.value() == ELOOP    ? "skipped, a symbolic link loop"
                 : error.value() == ENOENT ? "skipped, a broken symbolic link"
                                           : "skipped, a symbolic link that cannot be followed: " + error.message();
        return Found::PassedOver;
    }
    if (fs::is_regular_file(target)) return Found::PictureCandidate;
    // Following links to folders could walk in circles or far outside what was named.
    reason = fs::is_directory(target) ? "skipped, a link to a folder (not followed)"
                                      : "skipped, a link to " + kindOf(target);
    return Found::PassedOver;
}

void walk(const fs::path& folder, std::vector<fs::path>& files, PictureList& list) {
    std::error_code error;
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        entries.push_back(*it);
    if (error) list.skipped.push_back({folder.string(), "cannot read the folder: " + error.message()});
    std::sort(entries.begin(), entries.end());
    for (const fs::directory_entry& entry : entries) {
        std::string reason;
        switch (classify(entry, reason)) {
        case Found::Subfolder: walk(entry.path(), files, list); break;
        case Found::PictureCandidate:
            reason = whyNoPicture(entry.path());
            if (reason.empty()) files.push_back(entry.path());
            else list.noPicture.push_back({entry.path().string(), reason});
            break;
        case Found::PassedOver: list.skipped.push_back({entry.path().string(), reason}); break;
        }
    }
}

}  // namespace

std::string folderPrefix(std::string prefix) {
    if (!prefix.empty() && prefix.back() != '/') prefix += '/';
    return prefix;
}

std::string whyNoPicture(const fs::path& file) {
    if (likeness::formatNamedBy(file.filename().string()) != likeness::PictureFormat::Unknown) return "";
    // A JPEG's size may follow 64 KiB of metadata. A whole header, not just a signature, so that a
    // text that happens to begin with "BM" is not taken. Non-blocking, so that a FIFO that slipped
    // through cannot hang the walk.
    std::vector<unsigned char> start(64 * 1024 + 1024);
    const int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::string("skipped, its name is no picture's and it cannot be read: ") + std::strerror(errno);
    std::size_t size = 0;
    for (ssize_t got = 1; got > 0 && size < start.size(); size += static_cast<std::size_t>(got))
        got = std::max<ssize_t>(read(fd, start.data() + size, start.size() - size), 0);
    close(fd);
    return likeness::sizeWithinLimits(likeness::readPictureHeader(start.data(), size)) ? ""
                                                                                       : "skipped, holds no picture";
}

PictureList collectPictures(const std::vector<std::string>& paths, const std::string& prefix) {
    PictureList list;
    for (const std::string& path : paths) {
        std::error_code error;
        fs::path root = fs::absolute(path, error).lexically_normal();
        // "photos/" normalises to a path with an empty last segment, which relative paths trip on.
        if (root.has_parent_path() && root.filename().empty()) root = root.parent_path();
        const fs::file_status status = fs::status(root, error);
        if (fs::is_regular_file(status)) {
            list.pictures.push_back({root.string(), prefix});
            continue;
        }
        if (!fs::is_directory(status)) {
            const bool absent = status.type() == fs::file_type::not_found;
            list.refused.push_back({path, absent  ? "no such file or folder"
                                          : error ? "cannot read: " + error.message()
                                                  : "not a picture file: " + kindOf(status)});
            continue;
        }
        list.folders.push_back(path);
        std::vector<fs::path> files;
        walk(root, files, list);
        std::sort(files.begin(), files.end());
        // The filesystem root has no name of its own to keep.
        const std::string folderKeys = root.filename().empty() ? prefix : prefix + root.filename().string() + "/";
        for (const fs::path& file : files) {
            const fs::path subfolder = file.parent_path().lexically_relative(root);
            const std::string saveDir =
                subfolder == "." ? folderKeys : folderPrefix(folderKeys + subfolder.generic_string());
            list.pictures.push_back({file.string(), saveDir});
        }
    }
    return list;
}

}  // namespace likeness_cli
