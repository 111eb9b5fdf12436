// The feature file's loader. Lines are cut out of 4 MiB blocks in place and parsed without
// per-line or per-field strings: the "|"s of a line are found eight bytes at a time, then each
// field is read on its own, the usual value texts ("-0.123457") by readPlainDecimal and
// everything else by readValueText. Each distinct key is checked once.
#include "module/FeatureLoader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_set>

#include "log/EasyLog.h"
#include "module/FeatureText.h"
#include "module/FileIo.h"
#include "module/KeyFileCheck.h"
#include "module/PlainDecimal.h"
#include "module/RemovalList.h"

namespace {

constexpr std::size_t kBlockBytes = std::size_t{4} << 20;
// Room after the data, so that readPlainDecimal may read kPlainDecimalReach bytes from any field
// and the search for "|" a whole word from any byte.
constexpr std::size_t kScanReach = 32;
static_assert(kScanReach >= kPlainDecimalReach && kScanReach >= sizeof(std::uint64_t));

// Bit 7 set in each byte of word that is a "|".
std::uint64_t barBytes(std::uint64_t word) {
    constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Fu;
    const std::uint64_t other = word ^ 0x7C7C7C7C7C7C7C7Cu;  // a "|" becomes 0
    return ~(((other & kLow7) + kLow7) | other) & ~kLow7;
}

ssize_t readSome(int fd, char* into, std::size_t size) {
    for (;;) {
        const ssize_t got = fileCalls().read(fd, into, size);
        if (got >= 0 || errno != EINTR) return got;
    }
}

}  // namespace

// Fields are the runs between "|"s, as the file has always been split.
bool readFeatureRecord(const char* begin, const char* end, std::string_view& key, std::vector<float>& values) {
    while (begin != end && *begin == ' ') ++begin;
    while (end != begin && end[-1] == ' ') --end;
    // Every record ends with "|": a line without it was torn inside its last value.
    if (begin == end || end[-1] != '|') return false;
    while (begin != end && *begin == '|') ++begin;
    if (begin == end) return false;
    const char* keyEnd = static_cast<const char*>(std::memchr(begin, '|', static_cast<std::size_t>(end - begin)));
    key = std::string_view(begin, static_cast<std::size_t>(keyEnd - begin));
    // The "|"s are found a word at a time, apart from the fields' values: the next field's place
    // does not wait for the reading of this one's.
    std::size_t count = 0;
    const char* fieldStart = keyEnd + 1;
    for (const char* word = keyEnd + 1; word < end; word += sizeof(std::uint64_t)) {
        std::uint64_t bars = barBytes(plain_decimal::loadWord(word));
        const std::size_t left = static_cast<std::size_t>(end - word);
        if (left < sizeof(std::uint64_t)) bars &= (std::uint64_t{1} << (8 * left)) - 1;
        for (; bars != 0; bars &= bars - 1) {
            const char* bar = word + plain_decimal::firstMarkedByte(bars);
            const std::size_t length = static_cast<std::size_t>(bar - fieldStart);
            if (length != 0) {
                if (count == values.size()) return false;
                float& value = values[count++];
                if (!readPlainDecimal(fieldStart, length, value) && !readValueText(fieldStart, bar, value)) {
                    return false;
                }
            }
            fieldStart = bar + 1;
        }
    }
    return count == values.size();
}

namespace {

// Enters records in the collection: the last record of a key replaces earlier ones, and a key
// is checked against the file system only the first time it is seen.
class RecordCollector : public FeatureLineSink {
public:
    RecordCollector(int featDim, const KeyRules& rules, const RemovalList& removals,
                    std::map<std::string, std::vector<float>>& collection)
        : collection(collection), files(rules), removals(removals), values(static_cast<std::size_t>(featDim)) {}

    void line(const char* begin, const char* end, std::uint64_t offset) override {
        std::string_view key;
        if (!readFeatureRecord(begin, end, key, values)) return;
        keyText.assign(key.data(), key.size());
        // Records come in file order, so every record of a key before its removal is passed over.
        if (removals.removes(keyText, offset)) return;
        const auto at = collection.lower_bound(keyText);
        if (at != collection.end() && at->first == keyText) {
            at->second = values;
            return;
        }
        if (refused.count(keyText) != 0) return;
        if (!files.accepts(keyText)) {
            refused.insert(keyText);
            return;
        }
        collection.emplace_hint(at, keyText, values);
    }
    void longLinePiece(const char*, const char*, bool) override {}

private:
    std::map<std::string, std::vector<float>>& collection;
    KeyFileCheck files;
    const RemovalList& removals;
    std::unordered_set<std::string> refused;
    std::vector<float> values;
    std::string keyText;
};

}  // namespace

bool readFeatureLines(int fd, FeatureLineSink& sink) {
    // Not filled beforehand: only the pages a read reaches are touched.
    const std::unique_ptr<char[]> block(new char[kBlockBytes + kScanReach]);
    std::size_t filled = 0;
    std::uint64_t blockOffset = 0;  // where in the file the block's first byte lies
    bool inLongLine = false;
    for (bool atEnd = false; !atEnd;) {
        const ssize_t got = readSome(fd, block.get() + filled, kBlockBytes - filled);
        if (got < 0) return false;
        atEnd = got == 0;
        filled += static_cast<std::size_t>(got);
        std::memset(block.get() + filled, 0, kScanReach);  // what the scans may read past the data
        const char* lineStart = block.get();
        const char* const dataEnd = block.get() + filled;
        if (inLongLine) {
            const void* lineFeed = std::memchr(lineStart, '\n', filled);
            if (lineFeed == nullptr) {
                if (filled > 0) sink.longLinePiece(lineStart, dataEnd, false);
                blockOffset += filled;
                filled = 0;
                continue;
            }
            inLongLine = false;
            sink.longLinePiece(lineStart, static_cast<const char*>(lineFeed) + 1, false);
            lineStart = static_cast<const char*>(lineFeed) + 1;
        }
        while (const void* found = std::memchr(lineStart, '\n', static_cast<std::size_t>(dataEnd - lineStart))) {
            const char* lineEnd = static_cast<const char*>(found);
            if (static_cast<std::size_t>(lineEnd - lineStart) <= kMaxRecordLineBytes) {
                sink.line(lineStart, lineEnd, blockOffset + static_cast<std::uint64_t>(lineStart - block.get()));
            } else {
                sink.longLinePiece(lineStart, lineEnd + 1, true);
            }
            lineStart = lineEnd + 1;
        }
        std::size_t unfinished = static_cast<std::size_t>(dataEnd - lineStart);
        if (unfinished > kMaxRecordLineBytes) {
            sink.longLinePiece(lineStart, dataEnd, true);
            inLongLine = true;
            unfinished = 0;
        }
        if (atEnd && unfinished > 0)
            sink.line(lineStart, dataEnd, blockOffset + static_cast<std::uint64_t>(lineStart - block.get()));
        std::memmove(block.get(), lineStart, unfinished);
        blockOffset += filled - unfinished;
        filled = unfinished;
    }
    return true;
}

bool loadFeatureFile(const std::string& path, int featDim, const KeyRules& rules,
                     std::map<std::string, std::vector<float>>& collection) {
    const int fd = fileCalls().open(path.c_str(), O_RDONLY, 0);
    if (fd < 0) return false;
    collection.clear();
    {
        // The list is read after the feature file is open: a compaction's mark then tells whether
        // it is the file the list was folded into. What cannot be read of it cannot apply.
        struct stat status;
        RemovalList removals;
        if (::fstat(fd, &status) == 0) RemovalList::read(path, static_cast<std::uint64_t>(status.st_size), removals);
        RecordCollector collector(featDim, rules, removals, collection);
        readFeatureLines(fd, collector);
    }
    fileCalls().close(fd);
    EasyLog::GetInstance()->WriteLog(EasyLog::LOG_INFO, "succeed in load features !! \n");
    return true;
}
