// The feature file's loader. Lines are cut out of 4 MiB blocks in place and parsed without
// per-line or per-field strings; the usual value texts ("-0.123457") are read by
// scanPlainDecimal, everything else by readValueText. Each distinct key is checked once.
#include "module/FeatureLoader.h"

#include <fcntl.h>
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

namespace {

constexpr std::size_t kBlockBytes = std::size_t{4} << 20;
// Room after the data, so that scanPlainDecimal may read kPlainDecimalReach bytes from any field.
constexpr std::size_t kScanReach = 32;
static_assert(kScanReach >= kPlainDecimalReach);

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
    std::size_t count = 0;
    for (const char* at = keyEnd;;) {
        while (at != end && *at == '|') ++at;
        if (at == end) break;
        if (count == values.size()) return false;
        float value = 0;
        const char* fieldEnd = scanPlainDecimal(at, value);
        if (fieldEnd == nullptr) {
            fieldEnd = static_cast<const char*>(std::memchr(at, '|', static_cast<std::size_t>(end - at)));
            if (!readValueText(at, fieldEnd, value)) return false;
        }
        values[count++] = value;
        at = fieldEnd;
    }
    return count == values.size();
}

namespace {

// Enters records in the collection: the last record of a key replaces earlier ones, and a key
// is checked against the file system only the first time it is seen.
class RecordCollector : public FeatureLineSink {
public:
    RecordCollector(int featDim, const KeyRules& rules, std::map<std::string, std::vector<float>>& collection)
        : collection(collection), files(rules), values(static_cast<std::size_t>(featDim)) {}

    void line(const char* begin, const char* end) override {
        std::string_view key;
        if (!readFeatureRecord(begin, end, key, values)) return;
        keyText.assign(key.data(), key.size());
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
    std::unordered_set<std::string> refused;
    std::vector<float> values;
    std::string keyText;
};

}  // namespace

bool readFeatureLines(int fd, FeatureLineSink& sink) {
    // Not filled beforehand: only the pages a read reaches are touched.
    const std::unique_ptr<char[]> block(new char[kBlockBytes + kScanReach]);
    std::size_t filled = 0;
    bool inLongLine = false;
    for (bool atEnd = false; !atEnd;) {
        const ssize_t got = readSome(fd, block.get() + filled, kBlockBytes - filled);
        if (got < 0) return false;
        atEnd = got == 0;
        filled += static_cast<std::size_t>(got);
        std::memset(block.get() + filled, 0, kScanReach);  // what scanPlainDecimal may read past the data
        const char* lineStart = block.get();
        const char* const dataEnd = block.get() + filled;
        if (inLongLine) {
            const void* lineFeed = std::memchr(lineStart, '\n', filled);
            if (lineFeed == nullptr) {
                if (filled > 0) sink.longLinePiece(lineStart, dataEnd, false);
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
                sink.line(lineStart, lineEnd);
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
        if (atEnd && unfinished > 0) sink.line(lineStart, dataEnd);
        std::memmove(block.get(), lineStart, unfinished);
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
        RecordCollector collector(featDim, rules, collection);
        readFeatureLines(fd, collector);
    }
    fileCalls().close(fd);
    EasyLog::GetInstance()->WriteLog(EasyLog::LOG_INFO, "succeed in load features !! \n");
    return true;
}
