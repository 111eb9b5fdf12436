// The operations of a collection: adding, searching, extracting and removing, each telling what
// happened. IModule's operations are these with only their codes kept, so every log line is written
// here, in the order the original operations wrote theirs. OpenCV's exceptions pass through.
#include "module/Collection.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#include <opencv2/core.hpp>

#include "log/EasyLog.h"
#include "module/CollectionFiles.h"
#include "module/Download.h"
#include "module/FeatureDB.h"
#include "module/FeatureIndex.h"
#include "module/Fnv1a.h"
#include "module/IModule.h"
#include "module/ImplIModule.h"
#include "module/KeySafety.h"
#include "module/LogText.h"
#include "module/Module.h"
#include "module/PictureDecoder.h"
#include "module/PictureStore.h"
#include "module/RemovalList.h"
#include "module/WriterLock.h"

namespace likeness {
namespace {

const char* const kSingleSaveMessage = " save2featDBBatch(batchfeats, filenames);\n";
const char* const kUrlSaveMessage = "  save2featDBBatch(batchfeats, filenames);\n";
const char* const kCopyNotWritten = "cannot write the stored copy";
const char* const kRecordNotWritten = "cannot append its record to the feature file";

EasyLog* logger() {
    return EasyLog::GetInstance();
}

double ticks() {
    return static_cast<double>(cv::getTickCount());
}

// Logs one of search's phase lines with the milliseconds from begin to end.
void logPhase(const char* format, double begin, double end) {
    const std::string timeText = std::to_string((end - begin) * 1000.0 / cv::getTickFrequency()) + " ms";
    logger()->WriteLog(EasyLog::LOG_INFO, format, timeText.c_str());
}

AddOutcome outcome(int code, AddResult result, std::string reason, const std::string& key) {
    return {code, result, std::move(reason), key};
}

AddOutcome notStored(const std::string& key, const std::string& reason) {
    return outcome(LIKENESS_NOT_STORED, AddResult::notStored, reason, key);
}

// The collection's writer lock, held for one write; nothing when another process writes it, with
// why in whyNot, which is logged.
std::optional<WriterLock> lockForWriting(const std::string& dbPath, std::string& whyNot) {
    std::optional<WriterLock> lock = WriterLock::forFeatureFile(dbPath, whyNot);
    if (!lock) logger()->WriteLog(EasyLog::LOG_INFO, "not written: %s\n", logText(whyNot).c_str());
    return lock;
}

void logCopyNotWritten(const std::string& key) {
    logger()->WriteLog(EasyLog::LOG_INFO, "not stored, cannot write the copy: key=%s\n", logText(key).c_str());
}

SearchOutcome failedSearch(int code, QueryStatus status, const std::string& reason) {
    SearchOutcome failed;
    failed.code = code;
    failed.status = status;
    failed.reason = reason;
    return failed;
}

}  // namespace

void BytesName::add(const unsigned char* data, std::size_t size) {
    constexpr std::size_t kFormatBytes = 64;
    leading.insert(leading.end(), data, data + std::min(size, kFormatBytes - std::min(leading.size(), kFormatBytes)));
    hash = fnv1a(hash, data, size);
}

std::string BytesName::name() const {
    char digits[17];
    std::snprintf(digits, sizeof(digits), "%016llx", static_cast<unsigned long long>(hash));
    return std::string("upload-") + digits + formatExtension(readPictureHeader(leading.data(), leading.size()).format);
}

// A picture obtained for an add, a search or an extraction: its bytes and pixels, or why not.
struct Collection::Loaded {
    QueryStatus status = QueryStatus::ok;
    std::string reason;
    std::vector<unsigned char> bytes;
    DecodedPicture picture;

    bool ok() const { return status == QueryStatus::ok; }
};

Collection::Collection(const std::string& featureFile) : impl(InitialModule(featureFile)), owned(true) {}

Collection::Collection(ImplIModule& module) : impl(&module), owned(false) {}

Collection::~Collection() {
    if (owned) ExitModule(impl);
}

Collection::Loaded Collection::loadFile(const std::string& path) const {
    Loaded loaded;
    loaded.reason = readPictureFile(path, loaded.bytes);
    if (loaded.reason.empty()) {
        loaded.picture = decodePicture(loaded.bytes, path);
        loaded.reason = loaded.picture.refusal;
    }
    if (!loaded.reason.empty()) loaded.status = QueryStatus::notDecodable;
    return loaded;
}

Collection::Loaded Collection::loadBytes(const std::vector<unsigned char>& bytes, const std::string& name) const {
    Loaded loaded;
    loaded.picture = decodePicture(bytes, name);
    loaded.reason = loaded.picture.refusal;
    if (!loaded.reason.empty()) loaded.status = QueryStatus::notDecodable;
    return loaded;
}

Collection::Loaded Collection::loadUrl(const std::string& url) const {
    Loaded loaded;
    PendingDownload download(kQueryFile);
    if (download.fetch(url) != DownloadOutcome::Complete) {
        loaded.status = QueryStatus::downloadFailed;
        loaded.reason = download.failure();
    } else if (!download.commit()) {
        loaded.status = QueryStatus::downloadFailed;
        loaded.reason = std::string("cannot write ") + kQueryFile;
    } else {
        loaded.picture = decodePicture(download.body(), url);
        loaded.reason = loaded.picture.refusal;
        if (!loaded.reason.empty()) loaded.status = QueryStatus::downloadNotDecodable;
    }
    return loaded;
}

AddOutcome Collection::admit(const std::string& key, std::optional<WriterLock>& lock,
                             const std::function<void()>& logAlreadyPresent) const {
    if (impl->featMap.count(key) != 0) {
        logAlreadyPresent();
        return outcome(LIKENESS_ALREADY_PRESENT, AddResult::alreadyPresent, key + " is already in the collection", key);
    }
    const std::string reason = unsafeKeyReason(key, impl->dbPath, logger()->FilePath());
    if (!reason.empty()) {
        logger()->WriteLog(EasyLog::LOG_INFO, "not stored, unsafe key: %s, key=%s\n", reason.c_str(),
                           logText(key).c_str());
        return outcome(LIKENESS_NOT_STORED, AddResult::keyRefused, "the key is refused: " + reason, key);
    }
    std::string whyNot;
    if (!lock) lock = lockForWriting(impl->dbPath, whyNot);
    if (!lock) return notStored(key, whyNot);
    return outcome(LIKENESS_ADDED, AddResult::added, "", key);
}

std::vector<float> Collection::extractAndInsert(const cv::Mat& picture, const std::string& key) {
    std::vector<float> feature;
    impl->classifier.extract(picture, feature, impl->layerName);
    const auto inserted = impl->featMap.emplace(key, feature);
    if (inserted.second) impl->featIndex->insert(*inserted.first);
    return feature;
}

std::size_t Collection::appendOrForget(const char* saveMessage, const std::vector<std::vector<float>>& batchfeats,
                                       const std::vector<std::string>& filenames) {
    logger()->WriteLog(EasyLog::LOG_INFO, "%s", saveMessage);
    const std::size_t written = save2featDBBatch(impl->dbPath, batchfeats, filenames);
    for (std::size_t i = written; i < filenames.size(); ++i) {
        const auto forgotten = impl->featMap.find(filenames[i]);
        if (forgotten != impl->featMap.end()) {
            impl->featIndex->erase(*forgotten);
            impl->featMap.erase(forgotten);
        }
        logger()->WriteLog(EasyLog::LOG_INFO, "not stored, cannot append to %s: key=%s\n",
                           logText(impl->dbPath).c_str(), logText(filenames[i]).c_str());
    }
    return written;
}

AddOutcome Collection::storeOne(const cv::Mat& picture, const std::string& key, const char* saveMessage) {
    const std::vector<std::vector<float>> batchfeats{extractAndInsert(picture, key)};
    const std::vector<std::string> filenames{key};
    if (appendOrForget(saveMessage, batchfeats, filenames) != 1) return notStored(key, kRecordNotWritten);
    return outcome(LIKENESS_ADDED, AddResult::added, "", key);
}

AddOutcome Collection::storeLoaded(const Loaded& loaded, const std::vector<unsigned char>& bytes,
                                   const std::string& key, const std::string& source) {
    if (!loaded.ok()) return outcome(LIKENESS_NOT_DECODABLE, AddResult::notDecodable, loaded.reason, key);
    if (!storePictureCopy(key, source, bytes, loaded.picture)) {
        logCopyNotWritten(key);
        return notStored(key, kCopyNotWritten);
    }
    return storeOne(loaded.picture.pixels, key, kSingleSaveMessage);
}

AddOutcome Collection::addFile(const std::string& path, const std::string& saveDir) {
    const std::string key = makeKey(path, saveDir);
    std::optional<WriterLock> lock;
    const AddOutcome admitted = admit(key, lock, [&] {
        logger()->WriteLog(EasyLog::LOG_INFO, "addAPicToDB-already has this key: key=%s\n", logText(key).c_str());
    });
    if (admitted.result != AddResult::added) return admitted;
    const Loaded loaded = loadFile(path);
    return storeLoaded(loaded, loaded.bytes, key, path);
}

AddOutcome Collection::addBytes(const std::vector<unsigned char>& bytes, const std::string& saveDir,
                                const std::string& name) {
    BytesName unnamed;
    if (name.empty()) unnamed.add(bytes.data(), bytes.size());
    const std::string key = saveDir + (name.empty() ? unnamed.name() : name);
    std::optional<WriterLock> lock;
    const AddOutcome admitted = admit(key, lock, [&] {
        logger()->WriteLog(EasyLog::LOG_INFO, "addAPicToDB-already has this key: key=%s\n", logText(key).c_str());
    });
    if (admitted.result != AddResult::added) return admitted;
    return storeLoaded(loadBytes(bytes, key), bytes, key, "");
}

AddOutcome Collection::fetch(const std::string& url, const std::string& key, cv::Mat& pixels) {
    PendingDownload download(key);
    const DownloadOutcome fetched = download.fetch(url);
    if (fetched == DownloadOutcome::Failed)
        return outcome(LIKENESS_DOWNLOAD_FAILED, AddResult::downloadFailed, download.failure(), key);
    if (fetched == DownloadOutcome::NotWritten) {
        logCopyNotWritten(key);
        return notStored(key, kCopyNotWritten);
    }
    const DecodedPicture picture = decodePicture(download.body(), url);
    if (!picture.usable()) return outcome(LIKENESS_NOT_DECODABLE, AddResult::notDecodable, picture.refusal, key);
    if (!download.commit()) {
        logCopyNotWritten(key);
        return notStored(key, kCopyNotWritten);
    }
    pixels = picture.pixels;
    return outcome(LIKENESS_ADDED, AddResult::added, "", key);
}

AddOutcome Collection::addUrl(const std::string& url, const std::string& saveDir) {
    const std::string key = makeKey(url, saveDir);
    std::optional<WriterLock> lock;
    const AddOutcome admitted = admit(key, lock, [&] {
        logger()->WriteLog(EasyLog::LOG_INFO, "addUrlToDB-already has this key: key=%s\n", logText(key).c_str());
    });
    if (admitted.result != AddResult::added) return admitted;
    logger()->WriteLog(EasyLog::LOG_INFO, "addUrlToDB-download: key=%s\n", logText(key).c_str());
    cv::Mat picture;
    const AddOutcome fetched = fetch(url, key, picture);
    if (fetched.result != AddResult::added) return fetched;
    return storeOne(picture, key, kUrlSaveMessage);
}

std::size_t Collection::addUrls(const std::vector<std::string>& urls, const std::string& saveDir,
                                std::vector<AddOutcome>& outcomes) {
    logger()->WriteLog(EasyLog::LOG_INFO, "addUrlToDB: urls-size=%d\n", static_cast<int>(urls.size()));
    outcomes.clear();
    std::optional<WriterLock> lock;
    std::vector<std::vector<float>> batchfeats;
    std::vector<std::string> filenames;
    std::vector<std::size_t> collected;  // the index in outcomes of each collected key
    // Appends what was collected; the keys whose records did not reach the file are not stored.
    const auto append = [&] {
        const std::size_t written = appendOrForget(kUrlSaveMessage, batchfeats, filenames);
        for (std::size_t i = written; i < collected.size(); ++i)
            outcomes[collected[i]] = notStored(filenames[i], kRecordNotWritten);
        return written;
    };
    try {
        for (std::size_t i = 0; i < urls.size(); ++i) {
            const int index = static_cast<int>(i);
            const std::string& url = urls[i];
            logger()->WriteLog(EasyLog::LOG_INFO, "search url: i=%d, url=%s\n", index, logText(url).c_str());
            const std::string key = makeKey(url, saveDir);
            AddOutcome reached = admit(key, lock, [&] {
                logger()->WriteLog(EasyLog::LOG_INFO, "addUrlToDB-already has this key: i=%d, key=%s\n", index,
                                   logText(key).c_str());
            });
            if (reached.result == AddResult::added) {
                logger()->WriteLog(EasyLog::LOG_INFO, "addUrlToDB-download: i=%d, key=%s\n", index,
                                   logText(key).c_str());
                cv::Mat picture;
                reached = fetch(url, key, picture);
                if (reached.result == AddResult::added) {
                    batchfeats.push_back(extractAndInsert(picture, key));
                    filenames.push_back(key);
                    collected.push_back(i);
                }
            }
            outcomes.push_back(reached);
        }
    } catch (...) {
        // What was added before the failure must still reach the file.
        append();
        throw;
    }
    return append();
}

SearchOutcome Collection::searchQuery(const std::string& urlOrPath, int type, int topN, bool withVector) {
    logger()->WriteLog(EasyLog::LOG_INFO, "=> search, type=%d, urlOrPath=%s, topN=%d\n", type,
                       logText(urlOrPath).c_str(), topN);
    const double start = ticks();
    const Loaded query = type != 0 ? loadFile(urlOrPath) : loadUrl(urlOrPath);
    switch (query.status) {
    case QueryStatus::ok: break;
    case QueryStatus::notDecodable: return failedSearch(-1, query.status, query.reason);
    case QueryStatus::downloadFailed: return failedSearch(-2, query.status, query.reason);
    case QueryStatus::downloadNotDecodable: return failedSearch(-3, query.status, query.reason);
    }
    return rankPicture(query.picture.pixels, topN, withVector, start);
}

SearchOutcome Collection::searchFile(const std::string& path, int topN, bool withVector) {
    return searchQuery(path, 1, topN, withVector);
}

SearchOutcome Collection::searchUrl(const std::string& url, int topN, bool withVector) {
    return searchQuery(url, 0, topN, withVector);
}

SearchOutcome Collection::searchBytes(const std::vector<unsigned char>& bytes, int topN, bool withVector) {
    logger()->WriteLog(EasyLog::LOG_INFO, "=> search, picture bytes=%d, topN=%d\n", static_cast<int>(bytes.size()),
                       topN);
    const double start = ticks();
    const Loaded query = loadBytes(bytes, "picture bytes");
    if (!query.ok()) return failedSearch(-1, query.status, query.reason);
    return rankPicture(query.picture.pixels, topN, withVector, start);
}

SearchOutcome Collection::searchVector(const std::vector<float>& vector, int topN) {
    logger()->WriteLog(EasyLog::LOG_INFO, "=> search, vector of %d values, topN=%d\n", static_cast<int>(vector.size()),
                       topN);
    return rankVector(vector, topN, false, ticks());
}

SearchOutcome Collection::rankPicture(const cv::Mat& picture, int topN, bool withVector, double start) {
    const double loaded = ticks();
    logPhase("=> search loadImage cost time = %s\n", start, loaded);
    std::vector<float> query;
    impl->classifier.extract(picture, query, impl->layerName);
    const double extracted = ticks();
    logPhase("=> search extract cost time = %s\n", loaded, extracted);
    return rankVector(query, topN, withVector, extracted);
}

SearchOutcome Collection::rankVector(const std::vector<float>& query, int topN, bool withVector, double start) {
    const std::size_t available = impl->featIndex->size();
    const std::size_t count = static_cast<std::size_t>(topN) <= available ? static_cast<std::size_t>(topN) : available;
    // One more than asked, when there is one, so the same-picture rule can judge the nearest
    // match against the next even when only one is returned.
    const std::vector<RankedKey> nearest = impl->featIndex->nearest(query, count < available ? count + 1 : count);
    logPhase("=> search match cost time = %s\n", start, ticks());
    SearchOutcome found;
    found.code = static_cast<int>(count);
    found.matches.reserve(nearest.size());
    for (std::size_t i = 0; i < nearest.size(); ++i)
        found.matches.push_back({*nearest[i].key, nearest[i].distance, false});
    markSamePictures(found.matches);
    found.matches.resize(count);
    for (std::size_t i = 0; i < count; ++i)
        logger()->WriteLog(EasyLog::LOG_INFO, "=> find, i=%d, key=%s\n", static_cast<int>(i),
                           logText(found.matches[i].key).c_str());
    if (withVector) found.queryVector = query;
    return found;
}

ExtractOutcome Collection::extractLoaded(const Loaded& loaded) {
    ExtractOutcome extracted;
    extracted.status = loaded.status;
    extracted.reason = loaded.reason;
    if (loaded.ok()) impl->classifier.extract(loaded.picture.pixels, extracted.vector, impl->layerName);
    return extracted;
}

ExtractOutcome Collection::extractFile(const std::string& path) {
    return extractLoaded(loadFile(path));
}

ExtractOutcome Collection::extractUrl(const std::string& url) {
    return extractLoaded(loadUrl(url));
}

ExtractOutcome Collection::extractBytes(const std::vector<unsigned char>& bytes) {
    return extractLoaded(loadBytes(bytes, "picture bytes"));
}

const std::vector<float>* Collection::vectorOf(const std::string& key) const {
    const auto found = impl->featMap.find(key);
    return found == impl->featMap.end() ? nullptr : &found->second;
}

std::vector<std::string> Collection::keys() const {
    std::vector<std::string> all;
    all.reserve(impl->featMap.size());
    for (const auto& entry : impl->featMap) all.push_back(entry.first);
    return all;
}

std::size_t Collection::size() const {
    return impl->featMap.size();
}

const FeatureMap& Collection::features() const {
    return impl->featMap;
}

const std::string& Collection::featureFile() const {
    return impl->dbPath;
}

RemoveOutcome Collection::remove(const std::vector<std::string>& keys) {
    RemoveOutcome removal;
    const std::optional<WriterLock> lock = lockForWriting(impl->dbPath, removal.reason);
    if (!lock) {
        removal.code = LIKENESS_NOT_REWRITTEN;
        return removal;
    }
    if (!recordRemovals(impl->dbPath, keys)) {
        const std::string cause = std::strerror(errno);
        const std::string list = removalListPath(impl->dbPath);
        logger()->WriteLog(EasyLog::LOG_INFO, "cannot record the removal in %s: %s\n", logText(list).c_str(),
                           cause.c_str());
        removal.code = LIKENESS_NOT_REWRITTEN;
        removal.reason = "cannot record the removal in " + list + ": " + cause;
        return removal;
    }
    for (const std::string& key : keys) {
        const auto found = impl->featMap.find(key);
        if (found == impl->featMap.end()) continue;
        impl->featIndex->erase(*found);
        impl->featMap.erase(found);
        ++removal.removed;
        logger()->WriteLog(EasyLog::LOG_INFO, "removed: key=%s\n", logText(key).c_str());
    }
    return removal;
}

std::vector<NearPair> Collection::nearPairs(float below, const NearPairsProgress& progress) const {
    return likeness::nearPairs(impl->featMap, below, progress);
}

std::vector<NearPair> Collection::samePicturePairs(const NearPairsProgress& progress) const {
    return likeness::samePicturePairs(nearPairs(samePicturePairsBelow(), progress));
}

}  // namespace likeness
