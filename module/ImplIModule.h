// The implementation of IModule: a classifier, the feature map and the feature file behind it.
// Hosts see it only as the pointer type of InitialModule and use it through IModule, or through a
// likeness::Collection made over it (module/Collection.h), which also says what each call did.
#ifndef LIKENESS_MODULE_IMPLIMODULE_H
#define LIKENESS_MODULE_IMPLIMODULE_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "classifier/VnnClassifier.h"
#include "module/Export.h"
#include "module/FeatureContract.h"
#include "module/FeatureMap.h"
#include "module/IModule.h"

class FeatureIndex;
namespace likeness {
class Collection;
}

// Exported as a type (not only its entry points) so hosts built with run-time type checks, such
// as UBSan's vptr check, find its type information.
class LIKENESS_API ImplIModule final : public IModule {
public:
    explicit ImplIModule(std::string featdbfile);
    ~ImplIModule();
    ImplIModule(const ImplIModule&) = delete;
    ImplIModule& operator=(const ImplIModule&) = delete;

    int addUrlToDB(std::vector<std::string> urls, std::string saveDir) override;
    int addAUrlToDB(std::string url, std::string saveDir) override;
    int addAPicToDB(std::string picPath, std::string saveDir) override;
    int search(std::string urlOrPath, int type, std::vector<std::string>& result, int topN) override;

    // Takes the pictures of keys out of the collection: their removal is appended to the feature
    // file's removal list (module/RemovalList.h) and synced, and only then do they leave the map
    // and the search index; the cost does not grow with the collection. Keys not in the collection
    // are passed over (their records, if any, are removed too). Stored copies stay where they are.
    // Returns 0, with how many pictures went in *removed, or LIKENESS_NOT_REWRITTEN when the
    // removal could not be recorded: then nothing changed, on disk or in memory, and *removed is 0.
    int removePictures(const std::vector<std::string>& keys, std::size_t* removed);

    // The collection as loaded and extended in this run, in key order.
    const FeatureMap& features() const { return featMap; }
    // The feature file this module loads from and appends to.
    const std::string& databasePath() const { return dbPath; }

private:
    // Carries out the operations above, each of which keeps only the code of its outcome.
    friend class likeness::Collection;

    void loadfeatDB2Map(std::string featdbfile);

    VnnClassifier classifier;
    int featDim = likeness::kFeatureDim;
    std::string layerName = likeness::kFeatureLayer;
    FeatureMap featMap;
    std::string dbPath;
    // What search scans: kept in step with featMap on every insertion and removal.
    std::unique_ptr<FeatureIndex> featIndex;
};

#endif
