// Writers of the feature file. Each call opens, appends and closes the file; one flush per record
// keeps a crash from losing more than the record being written.
#include "module/FeatureDB.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "log/EasyLog.h"
#include "module/CollectionFiles.h"

namespace {

bool endsWithoutLineFeed(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in.is_open() || in.tellg() <= 0) return false;
    in.seekg(-1, std::ios::end);
    char last = '\n';
    in.get(last);
    return last != '\n';
}

// Appends the records of the first `count` pairs; returns how many were written and flushed.
std::size_t appendRecords(const std::string& dbPath, const std::vector<std::vector<float>>& feats,
                          const std::vector<std::string>& keys, std::size_t count) {
    const bool repairTornLine = endsWithoutLineFeed(dbPath);
    std::ofstream out(dbPath, std::ios::out | std::ios::app);
    if (!out.is_open()) return 0;
    if (repairTornLine) out << '\n';
    std::size_t written = 0;
    for (std::size_t i = 0; i < count && out; ++i) {
        const std::string record = featureRecord(keys[i], feats[i]);
        out.write(record.data(), static_cast<std::streamsize>(record.size()));
        out.flush();
        if (out) ++written;
    }
    out.close();
    return out.fail() ? 0 : written;
}

}  // namespace

std::string featureRecord(const std::string& key, const std::vector<float>& feat) {
    std::ostringstream record;
    record << key << "|";
    for (float value : feat) record << static_cast<double>(value) << "|";
    record << "\n";
    return record.str();
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
