// Writers of the feature file. Each call formats all its records, appends them with one write
// through the file seam and syncs once; after a failure it cuts the file back to its last whole
// record, so what a call reports is what a restart loads.
#include "module/FeatureDB.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "log/EasyLog.h"
#include "module/CollectionFiles.h"
#include "module/FeatureText.h"
#include "module/FileIo.h"
#include "module/RemovalList.h"

namespace {

// After a failed write of text at offset size, the number of records of text (ending at the
// offsets recordEnds) that are whole in the file, the part of a record after them cut off.
std::size_t keepWholeRecords(int fd, off_t size, const std::vector<std::size_t>& recordEnds) {
    struct stat status;
    const off_t reached = ::fstat(fd, &status) == 0 ? status.st_size - size : 0;
    std::size_t whole = 0;
    while (whole < recordEnds.size() && reached >= static_cast<off_t>(recordEnds[whole])) ++whole;
    const std::size_t kept = whole == 0 ? 0 : recordEnds[whole - 1];
    if (fileCalls().ftruncate(fd, size + static_cast<off_t>(kept)) == 0) return whole;
    // The part stays. The loader refuses it (no closing "|", or too few fields) unless only the
    // line feed is missing, and the next append puts that in.
    const bool lacksOnlyLineFeed = whole < recordEnds.size() && reached == static_cast<off_t>(recordEnds[whole]) - 1;
    return whole + (lacksOnlyLineFeed ? 1 : 0);
}

// Appends the records of the first count pairs to the file behind fd, which was size bytes long;
// returns how many are whole in it and synced.
std::size_t appendAndSync(int fd, off_t size, const std::string& dbPath, const std::vector<std::vector<float>>& feats,
                          const std::vector<std::string>& keys, std::size_t count) {
    std::string text;
    if (endsInsideALine(fd, size)) text += '\n';
    std::vector<std::size_t> recordEnds;
    for (std::size_t i = 0; i < count; ++i) {
        appendFeatureRecord(text, keys[i], feats[i]);
        recordEnds.push_back(text.size());
    }
    const std::size_t whole = writeAll(fd, text.data(), text.size()) ? count : keepWholeRecords(fd, size, recordEnds);
    if (whole == 0) return 0;
    // An empty file may be new, and a new file survives a power cut only once its folder is synced.
    if (fileCalls().fsync(fd) == 0 && (size > 0 || syncFolderOf(dbPath))) return whole;
    // Records a power cut could take must not be reported; when they cannot be taken out
    // either, they are what a restart loads.
    return fileCalls().ftruncate(fd, size) == 0 ? 0 : whole;
}

std::size_t appendRecords(const std::string& dbPath, const std::vector<std::vector<float>>& feats,
                          const std::vector<std::string>& keys, std::size_t count) {
    // A removal list that a killed compaction left must be settled before the file grows.
    if (!settleRemovalList(dbPath)) return 0;
    const int fd = fileCalls().open(dbPath.c_str(), O_RDWR | O_APPEND | O_CREAT, 0666);
    if (fd < 0) return 0;
    std::size_t stored = 0;
    struct stat status;
    if (count > 0 && ::fstat(fd, &status) == 0) stored = appendAndSync(fd, status.st_size, dbPath, feats, keys, count);
    // The records are synced: a failing close cannot take them back.
    fileCalls().close(fd);
    return stored;
}

}  // namespace

void appendFeatureRecord(std::string& text, const std::string& key, const std::vector<float>& feat) {
    const std::size_t start = text.size();
    text.resize(start + key.size() + 2 + feat.size() * (kMaxValueTextBytes + 1));
    char* out = std::copy(key.begin(), key.end(), &text[start]);
    *out++ = '|';
    for (float value : feat) {
        out = writeValueText(out, value);
        *out++ = '|';
    }
    *out++ = '\n';
    text.resize(static_cast<std::size_t>(out - text.data()));
}

std::string featureRecord(const std::string& key, const std::vector<float>& feat) {
    std::string record;
    appendFeatureRecord(record, key, feat);
    return record;
}

std::size_t save2featDBBatch(const std::string& dbPath, const std::vector<std::vector<float>>& batchfeats,
                             const std::vector<std::string>& filenames) {
    // A key list shorter than the vectors would otherwise be read past its end.
    const std::size_t count = std::min(batchfeats.size(), filenames.size());
    const std::size_t written = appendRecords(dbPath, batchfeats, filenames, count);
    EasyLog::GetInstance()->WriteLog(EasyLog::LOG_INFO, "save2featDBBatch !! \n");
    return written;
}

bool save2featDB(const std::string& dbPath, const std::vector<float>& feat, const std::string& key) {
    return appendRecords(dbPath, {feat}, {key}, 1) == 1;
}

void save2featDBBatch(std::vector<std::vector<float>> batchfeats, std::vector<std::string> filenames) {
    save2featDBBatch(std::string(likeness::kDefaultFeatureFile), batchfeats, filenames);
}

void save2featDB(std::vector<float> feat, std::string key) {
    save2featDB(std::string(likeness::kDefaultFeatureFile), feat, key);
}
