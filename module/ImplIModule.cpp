// The module object: construction, and the operations of IModule, which are those of
// likeness::Collection (module/Collection.cpp) with only their codes kept.
// Every operation runs on the caller's thread; OpenCV's exceptions pass through to the host.
#include "module/ImplIModule.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "log/EasyLog.h"
#include "module/Collection.h"
#include "module/CollectionFiles.h"
#include "module/FeatureClassifier.h"
#include "module/FeatureContract.h"
#include "module/FeatureIndex.h"
#include "module/FeatureLoader.h"
#include "module/KeyRules.h"

namespace {

EasyLog* logger() {
    return EasyLog::GetInstance();
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
    classifier = likeness::makeFeatureClassifier(likeness::kModelNetPath, likeness::kModelWeightsPath);
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

int ImplIModule::addAPicToDB(std::string picPath, std::string saveDir) {
    return likeness::Collection(*this).addFile(picPath, saveDir).code;
}

int ImplIModule::addAUrlToDB(std::string url, std::string saveDir) {
    return likeness::Collection(*this).addUrl(url, saveDir).code;
}

int ImplIModule::addUrlToDB(std::vector<std::string> urls, std::string saveDir) {
    std::vector<likeness::AddOutcome> outcomes;
    return static_cast<int>(likeness::Collection(*this).addUrls(urls, saveDir, outcomes));
}

int ImplIModule::search(std::string urlOrPath, int type, std::vector<std::string>& result, int topN) {
    result.clear();
    const likeness::SearchOutcome found = likeness::Collection(*this).searchQuery(urlOrPath, type, topN, false);
    for (const likeness::Match& match : found.matches) result.push_back(match.key);
    return found.code;
}

int ImplIModule::removePictures(const std::vector<std::string>& keys, std::size_t* removed) {
    const likeness::RemoveOutcome removal = likeness::Collection(*this).remove(keys);
    if (removed != nullptr) *removed = removal.removed;
    return removal.code;
}
