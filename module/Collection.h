// A collection of pictures as a host uses it when it wants to know what happened: every add says
// what became of its picture and why, every search gives its matches with their exact distances.
// It works on the same module object as IModule (module/IModule.h), whose four operations return
// the codes of these outcomes and log the same lines.
#ifndef LIKENESS_MODULE_COLLECTION_H
#define LIKENESS_MODULE_COLLECTION_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "module/Export.h"
#include "module/FeatureMap.h"
#include "module/NearPairs.h"
#include "module/SamePicture.h"
#include "module/WriterLock.h"

class ImplIModule;
namespace cv {
class Mat;
}

namespace likeness {

// What became of one picture given to an add.
enum class AddResult {
    added,           // stored, and its record is in the feature file
    alreadyPresent,  // its key is in the collection already: nothing was done
    downloadFailed,  // the URL could not be fetched
    notDecodable,    // no picture, cut off, corrupt, of no format whose size its header gives, or too large
    keyRefused,      // the key would harm the collection (control characters, "|", a folder, its own files)
    notStored,       // the stored copy or its record could not be written
};

struct AddOutcome {
    // What the IModule operation returns for it: LIKENESS_ADDED, LIKENESS_ALREADY_PRESENT,
    // LIKENESS_DOWNLOAD_FAILED, LIKENESS_NOT_DECODABLE or LIKENESS_NOT_STORED (also for keyRefused).
    int code = 0;
    AddResult result = AddResult::added;
    // Why it was not added, for a person: "the server answered HTTP 404", "30000 x 30000 pixels,
    // over the limit of ...", "cannot write the stored copy"...; empty when added.
    std::string reason;
    // The key the picture is stored under, or would have been.
    std::string key;
};

// The name addBytes gives a picture that comes without one: "upload-", 16 hexadecimal digits of a
// 64-bit FNV-1a hash of its bytes and the extension of their format, so the same bytes always get
// the same name. The bytes may be given in pieces, as they arrive.
class LIKENESS_API BytesName {
public:
    void add(const unsigned char* data, std::size_t size);
    std::string name() const;

private:
    std::uint64_t hash = 0xcbf29ce484222325ull;
    std::vector<unsigned char> leading;  // the first bytes, which tell the format
};

// How the picture of a search or an extraction was obtained.
enum class QueryStatus {
    ok,
    notDecodable,          // the local file or the bytes are no decodable picture (search's -1)
    downloadFailed,        // the URL could not be fetched (search's -2)
    downloadNotDecodable,  // what the URL gave is no decodable picture (search's -3)
};

struct SearchOutcome {
    // What IModule::search returns: the number of matches, or -1, -2, -3 as status says.
    int code = 0;
    QueryStatus status = QueryStatus::ok;
    std::string reason;              // why the query picture could not be used; empty when it could
    std::vector<Match> matches;      // nearest first, ties in key order
    std::vector<float> queryVector;  // the query's feature vector, when it was asked for
};

struct ExtractOutcome {
    QueryStatus status = QueryStatus::ok;
    std::string reason;
    std::vector<float> vector;  // the picture's feature vector, as an add would store it
};

struct RemoveOutcome {
    // 0, or LIKENESS_NOT_REWRITTEN when the removal could not be recorded: then nothing was removed.
    int code = 0;
    std::size_t removed = 0;  // keys taken out of the collection
    std::string reason;       // why the removal could not be recorded; empty when it was
};

// The collection of one feature file. Every relative path (the model in model/, the feature file,
// stored pictures, the query file tmp.jpg, the log) resolves against the working directory, as
// for InitialModule; the library writes files but creates no folders.
//
// Threads: none of its own, and no call may overlap another on the same object; a host that
// serves many threads holds one lock around every call (and around its use of features()).
// One writer: every add and removal holds the writer lock of the feature file's folder
// (module/WriterLock.h) while it writes, and is refused (notStored, or LIKENESS_NOT_REWRITTEN, with
// the reason) while another process holds it. Readers (another process loading the file) always
// see whole records.
// Ownership: a Collection made from a feature file owns its module and ends it with itself; one
// made over a module from InitialModule only uses it, and the host still hands that module to
// ExitModule (after the Collection is gone).
class LIKENESS_API Collection {
public:
    // Opens the collection of featureFile ("feat.txt" when empty) as InitialModule does: a
    // missing model ends the process with status 48; exceptions from OpenCV pass through.
    explicit Collection(const std::string& featureFile = "");
    // The collection of a module from InitialModule, which must outlive this object.
    explicit Collection(ImplIModule& module);
    ~Collection();
    Collection(const Collection&) = delete;
    Collection& operator=(const Collection&) = delete;

    // Adds the local picture file under saveDir + the part of path after its last "/", writing a
    // copy at that key (IModule::addAPicToDB).
    AddOutcome addFile(const std::string& path, const std::string& saveDir);
    // Downloads url (http or https) and adds it under saveDir + its last segment (addAUrlToDB).
    AddOutcome addUrl(const std::string& url, const std::string& saveDir);
    // Adds every URL as addUrl does, appending their records in one write after the last one
    // (addUrlToDB); outcomes gets one entry per URL, in order. Returns how many were added. When an
    // exception from OpenCV or allocation ends the batch, it passes through, and outcomes holds
    // the final outcomes of the URLs before the one that raised it (their records written).
    std::size_t addUrls(const std::vector<std::string>& urls, const std::string& saveDir,
                        std::vector<AddOutcome>& outcomes);
    // Adds a picture given as its bytes under saveDir + name, storing those bytes there (a
    // re-encoding when name's extension asks for another format). Without a name, BytesName names
    // it. name may hold folders, which must exist.
    AddOutcome addBytes(const std::vector<unsigned char>& bytes, const std::string& saveDir,
                        const std::string& name = "");

    // The topN stored pictures nearest to the query picture (all of them when topN is negative or
    // larger than the collection), nearest first; the query's vector too when withVector is set.
    // A local file (IModule::search with type 1), a URL downloaded to tmp.jpg (type 0), bytes, or
    // a feature vector itself.
    SearchOutcome searchFile(const std::string& path, int topN, bool withVector = false);
    SearchOutcome searchUrl(const std::string& url, int topN, bool withVector = false);
    SearchOutcome searchBytes(const std::vector<unsigned char>& bytes, int topN, bool withVector = false);
    SearchOutcome searchVector(const std::vector<float>& vector, int topN);

    // A picture's feature vector, decoded and extracted as an add would; changes nothing.
    ExtractOutcome extractFile(const std::string& path);
    ExtractOutcome extractUrl(const std::string& url);
    ExtractOutcome extractBytes(const std::vector<unsigned char>& bytes);

    // The stored vector of key, or nullptr when key is not in the collection; valid until the
    // next add or removal.
    const std::vector<float>* vectorOf(const std::string& key) const;
    // Every key, in byte-wise order.
    std::vector<std::string> keys() const;
    std::size_t size() const;
    // The whole collection, read-only, valid as vectorOf's pointers are.
    const FeatureMap& features() const;
    // The feature file this collection loads from and writes to.
    const std::string& featureFile() const;

    // Takes the pictures of keys out: their removal is appended to the feature file's removal list
    // and synced, and only then do they leave memory (ImplIModule::removePictures). Keys not in the
    // collection are passed over. Stored copies stay where they are.
    RemoveOutcome remove(const std::vector<std::string>& keys);
    // Every pair of stored pictures closer than below (module/NearPairs.h).
    std::vector<NearPair> nearPairs(float below, const NearPairsProgress& progress = {}) const;
    // The pairs of stored pictures that are the same picture by the library's rule
    // (likeness::samePicturePairs over the pairs it needs), in the order nearPairs gives them.
    std::vector<NearPair> samePicturePairs(const NearPairsProgress& progress = {}) const;

    // The module underneath, for the IModule operations.
    ImplIModule& module() { return *impl; }

private:
    // Its operations are these, with only the codes kept.
    friend class ::ImplIModule;
    struct Loaded;

    Loaded loadFile(const std::string& path) const;
    Loaded loadBytes(const std::vector<unsigned char>& bytes, const std::string& name) const;
    Loaded loadUrl(const std::string& url) const;
    // Whether key may be added: not present, not refused, and the writer lock held in lock (taken
    // when it is not yet).
    AddOutcome admit(const std::string& key, std::optional<WriterLock>& lock,
                     const std::function<void()>& logAlreadyPresent) const;
    std::vector<float> extractAndInsert(const cv::Mat& picture, const std::string& key);
    std::size_t appendOrForget(const char* saveMessage, const std::vector<std::vector<float>>& batchfeats,
                               const std::vector<std::string>& filenames);
    AddOutcome storeOne(const cv::Mat& picture, const std::string& key, const char* saveMessage);
    AddOutcome storeLoaded(const Loaded& loaded, const std::vector<unsigned char>& bytes, const std::string& key,
                           const std::string& source);
    AddOutcome fetch(const std::string& url, const std::string& key, cv::Mat& pixels);
    SearchOutcome searchQuery(const std::string& urlOrPath, int type, int topN, bool withVector);
    SearchOutcome rankPicture(const cv::Mat& picture, int topN, bool withVector, double start);
    SearchOutcome rankVector(const std::vector<float>& query, int topN, bool withVector, double start);
    ExtractOutcome extractLoaded(const Loaded& loaded);

    ImplIModule* impl;
    bool owned;
};

}  // namespace likeness

#endif
