// The module object: construction, the add operations and search.
// Every operation runs on the caller's thread; OpenCV's exceptions pass through to the host.
#include "module/ImplIModule.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

#include <opencv2/core.hpp>

#include "log/EasyLog.h"
#include "module/CollectionFiles.h"
#include "module/Distance.h"
#include "module/Download.h"
#include "module/FeatureContract.h"
#include "module/FeatureDB.h"
#include "module/FeatureIndex.h"
#include "module/FeatureLoader.h"
#include "module/KeyRules.h"
#include "module/KeySafety.h"
#include "module/LogText.h"
#include "module/PictureDecoder.h"
#include "module/PictureStore.h"
#include "module/RemovalList.h"

namespace {

EasyLog* logger() {
    return EasyLog::GetInstance();
}

double ticksToMs(double begin, double end) {
    return (end - begin) * 1000.0 / cv::getTickFrequency();
}

std::string durationText(double ms) {
    return std::to_string(ms) + " ms";
}

// The process is about to end without a word on the terminal otherwise: a host that never reads
// the log would only see the exit status.
void reportMissingModel() {
    std::error_code error;
    const std::filesystem::path here = std::filesystem::current_path(error);
    std::fprintf(stderr, "likeness: the model is missing: looked for %s and %s\n",
                 (here / likeness::kModelNetPath).c_str(), (here / likeness::kModelWeightsPath).c_str());
}

}  // namespace

ImplIModule::ImplIModule(std::string featdbfile)
    : dbPath(featdbfile.empty() ? std::string(likeness::kDefaultFeatureFile) : featdbfile),
      featIndex(std::make_unique<FeatureIndex>(static_cast<std::size_t>(featDim))) {
    if (access(likeness::kModelNetPath, F_OK) == -1 || access(likeness::kModelWeightsPath, F_OK) == -1) {
        logger()->WriteLog(EasyLog::LOG_INFO, "Model read Failed, check model path !! \n");
        reportMissingModel();
        std::exit(-2000);
    }
    classifier = makeFeatureClassifier(likeness::kModelNetPath, likeness::kModelWeightsPath);
    logger()->WriteLog(EasyLog::LOG_INFO, "ImplIModule !! \n");
    loadfeatDB2Map(dbPath);
    featIndex->assign(featMap);
    logger()->WriteLog(EasyLog::LOG_INFO, "loadfeatDB2Map(featdbfile) successful !! \n");
}

ImplIModule::~ImplIModule() {
    logger()->WriteLog(EasyLog::LOG_INFO, "~ImplIModule() successful !! \n");
}

void ImplIModule::loadfeatDB2Map(std::string featdbfile) {
    loadFeatureFile(featdbfile, featDim, KeyRules(featdbfile, logger()->FilePath()), featMap);
}

bool ImplIModule::refuseUnsafeKey(const std::string& key) const {
    const std::string reason = unsafeKeyReason(key, dbPath, logger()->FilePath());
    if (reason.empty()) return false;
    logger()->WriteLog(EasyLog::LOG_INFO, "not stored, unsafe key: %s, key=%s\n", reason.c_str(), logText(key).c_str());
    return true;
}

std::vector<float> ImplIModule::extractAndInsert(const cv::Mat& picture, const std::string& key) {
    std::vector<float> feature;
    classifier.extract(picture, feature, layerName);
    const auto inserted = featMap.emplace(key, feature);
    if (inserted.second) featIndex->insert(*inserted.first);
    return feature;
}

std::size_t ImplIModule::appendOrForget(const char* saveMessage, const std::vector<std::vector<float>>& batchfeats,
                                        const std::vector<std::string>& filenames) {
    logger()->WriteLog(EasyLog::LOG_INFO, "%s", saveMessage);
    const std::size_t written = save2featDBBatch(dbPath, batchfeats, filenames);
    for (std::size_t i = written; i < filenames.size(); ++i) {
        const auto forgotten = featMap.find(filenames[i]);
        if (forgotten != featMap.end()) {
            featIndex->erase(*forgotten);
            featMap.erase(forgotten);
        }
        logger()->WriteLog(EasyLog::LOG_INFO, "not stored, cannot append to %s: key=%s\n", logText(dbPath).c_str(),
                           logText(filenames[i]).c_str());
    }
    return written;
}

int ImplIModule::storeOne(const cv::Mat& picture, const std::string& key, const char* saveMessage) {
    std::vector<std::vector<float>> batchfeats{extractAndInsert(picture, key)};
    std::vector<std::string> filenames{key};
    return appendOrForget(saveMessage, batchfeats, filenames) == 1 ? LIKENESS_ADDED : LIKENESS_NOT_STORED;
}

void ImplIModule::logCopyNotWritten(const std::string& key) const {
    logger()->WriteLog(EasyLog::LOG_INFO, "not stored, cannot write the copy: key=%s\n", logText(key).c_str());
}

int ImplIModule::addAPicToDB(std::string picPath, std::string saveDir) {
    const std::string key = makeKey(picPath, saveDir);
    if (featMap.count(key) != 0) {
        logger()->WriteLog(EasyLog::LOG_INFO, "addAPicToDB-already has this key: key=%s\n", logText(key).c_str());
        return LIKENESS_ALREADY_PRESENT;
    }
    if (refuseUnsafeKey(key)) return LIKENESS_NOT_STORED;
    std::vector<unsigned char> bytes;
    if (!readPictureFile(picPath, bytes)) return LIKENESS_NOT_DECODABLE;
    const DecodedPicture picture = decodePicture(bytes, picPath);
    if (!picture.usable()) return LIKENESS_NOT_DECODABLE;
    if (!storePictureCopy(key, picPath, bytes, picture)) {
        logCopyNotWritten(key);
        return LIKENESS_NOT_STORED;
    }
    return storeOne(picture.pixels, key, " save2featDBBatch(batchfeats, filenames);\n");
}

int ImplIModule::fetchPicture(const std::string& url, const std::string& key, cv::Mat& pixels) {
    PendingDownload download(key);
    const DownloadOutcome outcome = download.fetch(url);
    if (outcome == DownloadOutcome::Failed) return LIKENESS_DOWNLOAD_FAILED;
    if (outcome == DownloadOutcome::NotWritten) {
        logCopyNotWritten(key);
        return LIKENESS_NOT_STORED;
    }
    const DecodedPicture picture = decodePicture(download.body(), url);
    if (!picture.usable()) return LIKENESS_NOT_DECODABLE;
    if (!download.commit()) {
        logCopyNotWritten(key);
        return LIKENESS_NOT_STORED;
    }
    pixels = picture.pixels;
    return LIKENESS_ADDED;
}

int ImplIModule::addAUrlToDB(std::string url, std::string saveDir) {
    const std::string key = makeKey(url, saveDir);
    if (featMap.count(key) != 0) {
        logger()->WriteLog(EasyLog::LOG_INFO, "addUrlToDB-already has this key: key=%s\n", logText(key).c_str());
        return LIKENESS_ALREADY_PRESENT;
    }
    if (refuseUnsafeKey(key)) return LIKENESS_NOT_STORED;
    logger()->WriteLog(EasyLog::LOG_INFO, "addUrlToDB-download: key=%s\n", logText(key).c_str());
    cv::Mat picture;
    const int fetched = fetchPicture(url, key, picture);
    if (fetched != LIKENESS_ADDED) return fetched;
    return storeOne(picture, key, "  save2featDBBatch(batchfeats, filenames);\n");
}

int ImplIModule::addUrlToDB(std::vector<std::string> urls, std::string saveDir) {
    logger()->WriteLog(EasyLog::LOG_INFO, "addUrlToDB: urls-size=%d\n", static_cast<int>(urls.size()));
    std::vector<std::vector<float>> batchfeats;
    std::vector<std::string> filenames;
    const char* const saveMessage = "  save2featDBBatch(batchfeats, filenames);\n";
    try {
        for (std::size_t i = 0; i < urls.size(); ++i) {
            const int index = static_cast<int>(i);
            const std::string& url = urls[i];
            logger()->WriteLog(EasyLog::LOG_INFO, "search url: i=%d, url=%s\n", index, logText(url).c_str());
            const std::string key = makeKey(url, saveDir);
            if (featMap.count(key) != 0) {
                logger()->WriteLog(EasyLog::LOG_INFO, "addUrlToDB-already has this key: i=%d, key=%s\n", index,
                                   logText(key).c_str());
                continue;
            }
            if (refuseUnsafeKey(key)) continue;
            logger()->WriteLog(EasyLog::LOG_INFO, "addUrlToDB-download: i=%d, key=%s\n", index, logText(key).c_str());
            cv::Mat picture;
            if (fetchPicture(url, key, picture) != LIKENESS_ADDED) continue;
            batchfeats.push_back(extractAndInsert(picture, key));
            filenames.push_back(key);
        }
    } catch (...) {
        // What was added before the failure must still reach the file.
        appendOrForget(saveMessage, batchfeats, filenames);
        throw;
    }
    return static_cast<int>(appendOrForget(saveMessage, batchfeats, filenames));
}

int ImplIModule::removePictures(const std::vector<std::string>& keys, std::size_t* removed) {
    if (removed != nullptr) *removed = 0;
    if (!recordRemovals(dbPath, keys)) {
        const int cause = errno;
        logger()->WriteLog(EasyLog::LOG_INFO, "cannot record the removal in %s: %s\n",
                           logText(removalListPath(dbPath)).c_str(), std::strerror(cause));
        return LIKENESS_NOT_REWRITTEN;
    }
    std::size_t taken = 0;
    for (const std::string& key : keys) {
        const auto found = featMap.find(key);
        if (found == featMap.end()) continue;
        featIndex->erase(*found);
        featMap.erase(found);
        ++taken;
        logger()->WriteLog(EasyLog::LOG_INFO, "removed: key=%s\n", logText(key).c_str());
    }
    if (removed != nullptr) *removed = taken;
    return 0;
}

int ImplIModule::search(std::string urlOrPath, int type, std::vector<std::string>& result, int topN) {
    result.clear();
    logger()->WriteLog(EasyLog::LOG_INFO, "=> search, type=%d, urlOrPath=%s, topN=%d\n", type,
                       logText(urlOrPath).c_str(), topN);
    const double t0 = static_cast<double>(cv::getTickCount());
    cv::Mat picture;
    if (type != 0) {
        std::vector<unsigned char> bytes;
        if (readPictureFile(urlOrPath, bytes)) picture = decodePicture(bytes, urlOrPath).pixels;
        if (picture.empty()) return -1;
    } else {
        PendingDownload download(likeness::kQueryFile);
        if (download.fetch(urlOrPath) != DownloadOutcome::Complete || !download.commit()) return -2;
        picture = decodePicture(download.body(), urlOrPath).pixels;
        if (picture.empty()) return -3;
    }
    const double t1 = static_cast<double>(cv::getTickCount());
    std::string timeText = durationText(ticksToMs(t0, t1));
    logger()->WriteLog(EasyLog::LOG_INFO, "=> search loadImage cost time = %s\n", timeText.c_str());

    std::vector<float> query;
    classifier.extract(picture, query, layerName);
    const double t2 = static_cast<double>(cv::getTickCount());
    timeText = durationText(ticksToMs(t1, t2));
    logger()->WriteLog(EasyLog::LOG_INFO, "=> search extract cost time = %s\n", timeText.c_str());

    const std::size_t available = featIndex->size();
    const std::size_t count = static_cast<std::size_t>(topN) <= available ? static_cast<std::size_t>(topN) : available;
    const std::vector<const std::string*> nearest = featIndex->nearest(query, count);
    const double t3 = static_cast<double>(cv::getTickCount());
    timeText = durationText(ticksToMs(t2, t3));
    logger()->WriteLog(EasyLog::LOG_INFO, "=> search match cost time = %s\n", timeText.c_str());

    for (std::size_t i = 0; i < count; ++i) {
        result.push_back(*nearest[i]);
        logger()->WriteLog(EasyLog::LOG_INFO, "=> find, i=%d, key=%s\n", static_cast<int>(i),
                           logText(*nearest[i]).c_str());
    }
    return static_cast<int>(count);
}
