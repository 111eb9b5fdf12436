// The removal list's lines: "OFFSET|KEY|" for a removal and "folded|LENGTH|" for the mark of a
// compaction, each ended by a line feed. A line that does not end with "|" was torn by a crash and
// is skipped, so a cut-off key can never remove another picture whose key begins the same way.
#include "module/RemovalList.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string_view>

#include "module/FeatureLoader.h"
#include "module/FileIo.h"

namespace {

constexpr std::string_view kFoldedMark = "folded|";
// A mark line is "folded|", at most 20 digits, "|" and its line feed.
constexpr std::size_t kLongestMarkLine = 64;

// The number that text is made of, digits only; nothing when it is anything else.
std::optional<std::uint64_t> wholeNumber(std::string_view text) {
    if (text.empty() || text.size() > 19) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

// The length a mark line names; nothing when line is no mark.
std::optional<std::uint64_t> markedLength(std::string_view line) {
    if (line.size() <= kFoldedMark.size() || line.substr(0, kFoldedMark.size()) != kFoldedMark || line.back() != '|')
        return std::nullopt;
    return wholeNumber(line.substr(kFoldedMark.size(), line.size() - kFoldedMark.size() - 1));
}

struct Removal {
    std::uint64_t offset;
    std::string_view key;
};

std::optional<Removal> removalOn(std::string_view line) {
    const std::size_t bar = line.find('|');
    if (bar == std::string_view::npos || line.size() < bar + 3 || line.back() != '|') return std::nullopt;
    const std::optional<std::uint64_t> offset = wholeNumber(line.substr(0, bar));
    if (!offset) return std::nullopt;
    return Removal{*offset, line.substr(bar + 1, line.size() - bar - 2)};
}

// Collects the removals of a list, and the mark when it is the last line.
class ListReader : public FeatureLineSink {
public:
    void line(const char* begin, const char* end, std::uint64_t) override {
        const std::string_view text(begin, static_cast<std::size_t>(end - begin));
        if (text.empty()) return;
        lastMark = markedLength(text);
        if (const std::optional<Removal> removal = removalOn(text)) {
            std::uint64_t& before = removedBefore[std::string(removal->key)];
            if (removal->offset > before) before = removal->offset;
        }
    }
    void longLinePiece(const char*, const char*, bool) override { lastMark.reset(); }

    std::unordered_map<std::string, std::uint64_t> removedBefore;
    std::optional<std::uint64_t> lastMark;
};

// The length of the feature file at path; 0 when it does not exist. False when it cannot be told.
bool featureLength(const std::string& path, std::uint64_t& length) {
    struct stat status;
    if (::stat(path.c_str(), &status) == 0) {
        length = static_cast<std::uint64_t>(status.st_size);
        return true;
    }
    length = 0;
    return errno == ENOENT;
}

// Closes fd, keeping errno, and returns false: the end of every failed step below.
bool closeAfterFailure(int fd) {
    const int cause = errno;
    fileCalls().close(fd);
    errno = cause;
    return false;
}

// Appends text to the list open at fd, size bytes long before, after a line feed when the list
// ends inside a line, and syncs it. On a failure the list is cut back to size.
bool appendSynced(int fd, off_t size, std::string text) {
    if (endsInsideALine(fd, size)) text.insert(text.begin(), '\n');
    if (writeAll(fd, text.data(), text.size()) && fileCalls().fsync(fd) == 0) return true;
    const int cause = errno;
    fileCalls().ftruncate(fd, size);
    errno = cause;
    return false;
}

}  // namespace

std::string removalListPath(const std::string& featurePath) {
    return featurePath + ".removed";
}

bool RemovalList::read(const std::string& featurePath, std::uint64_t featureBytes, RemovalList& list) {
    list.removedBefore.clear();
    const int fd = fileCalls().open(removalListPath(featurePath).c_str(), O_RDONLY, 0);
    if (fd < 0) return errno == ENOENT;
    ListReader reader;
    const bool whole = readFeatureLines(fd, reader);
    fileCalls().close(fd);
    // After a read error the last line is unknown: what was read applies.
    if (!whole || reader.lastMark != featureBytes) list.removedBefore = std::move(reader.removedBefore);
    return whole;
}

bool settleRemovalList(const std::string& featurePath) {
    const std::string path = removalListPath(featurePath);
    const int fd = fileCalls().open(path.c_str(), O_RDWR, 0);
    if (fd < 0) return errno == ENOENT;
    struct stat status;
    if (::fstat(fd, &status) != 0) return closeAfterFailure(fd);
    const off_t tailStart = status.st_size > static_cast<off_t>(kLongestMarkLine)
                                ? status.st_size - static_cast<off_t>(kLongestMarkLine)
                                : 0;
    std::string tail(static_cast<std::size_t>(status.st_size - tailStart), '\0');
    if (::lseek(fd, tailStart, SEEK_SET) < 0) return closeAfterFailure(fd);
    for (std::size_t got = 0; got < tail.size();) {
        const ssize_t read = fileCalls().read(fd, &tail[got], tail.size() - got);
        if (read < 0 && errno == EINTR) continue;
        if (read <= 0) return closeAfterFailure(fd);
        got += static_cast<std::size_t>(read);
    }
    std::string_view last(tail);
    if (!last.empty() && last.back() == '\n') last.remove_suffix(1);
    const std::size_t lineFeed = last.rfind('\n');
    const std::size_t lineStart = lineFeed == std::string_view::npos ? 0 : lineFeed + 1;
    // A last line that begins before the tail is too long to be a mark.
    const bool wholeLine = lineFeed != std::string_view::npos || tailStart == 0;
    const std::optional<std::uint64_t> mark = wholeLine ? markedLength(last.substr(lineStart)) : std::nullopt;
    if (!mark) {
        fileCalls().close(fd);
        return true;
    }
    std::uint64_t length = 0;
    if (!featureLength(featurePath, length)) return closeAfterFailure(fd);
    if (length == *mark) {
        // The compaction renamed its file in place: the list is folded into it.
        fileCalls().close(fd);
        return deleteRemovalList(featurePath);
    }
    // The compaction stopped before its rename: the list still applies, without the mark.
    if (fileCalls().ftruncate(fd, tailStart + static_cast<off_t>(lineStart)) != 0 || fileCalls().fsync(fd) != 0)
        return closeAfterFailure(fd);
    fileCalls().close(fd);
    return true;
}

bool recordRemovals(const std::string& featurePath, const std::vector<std::string>& keys) {
    std::uint64_t length = 0;
    if (!settleRemovalList(featurePath) || !featureLength(featurePath, length)) return false;
    std::string text;
    for (const std::string& key : keys) {
        // No collection holds such a key, and its line could pass for another.
        if (key.empty() || key.find_first_of("|\n") != std::string::npos) continue;
        text += std::to_string(length) + "|" + key + "|\n";
    }
    if (text.empty()) return true;
    const std::string path = removalListPath(featurePath);
    const int fd = fileCalls().open(path.c_str(), O_RDWR | O_APPEND | O_CREAT, 0666);
    if (fd < 0) return false;
    struct stat status;
    if (::fstat(fd, &status) != 0 || !appendSynced(fd, status.st_size, text)) return closeAfterFailure(fd);
    // A new list survives a power cut only once its folder is synced.
    if (status.st_size == 0 && !syncFolderOf(path)) {
        const int cause = errno;
        fileCalls().ftruncate(fd, 0);
        errno = cause;
        return closeAfterFailure(fd);
    }
    fileCalls().close(fd);
    return true;
}

bool markRemovalListFolded(const std::string& featurePath, std::uint64_t newBytes) {
    const int fd = fileCalls().open(removalListPath(featurePath).c_str(), O_RDWR | O_APPEND, 0);
    if (fd < 0) return errno == ENOENT;
    struct stat status;
    if (::fstat(fd, &status) != 0 ||
        !appendSynced(fd, status.st_size, std::string(kFoldedMark) + std::to_string(newBytes) + "|\n"))
        return closeAfterFailure(fd);
    fileCalls().close(fd);
    return true;
}

bool deleteRemovalList(const std::string& featurePath) {
    const std::string path = removalListPath(featurePath);
    if (fileCalls().unlink(path.c_str()) != 0) return errno == ENOENT;
    return syncFolderOf(path);
}
