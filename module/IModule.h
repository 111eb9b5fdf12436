// The abstract interface through which a host uses a likeness collection.
// The host obtains an object from InitialModule (module/Module.h) and hands it back to ExitModule.
#ifndef LIKENESS_MODULE_IMODULE_H
#define LIKENESS_MODULE_IMODULE_H

#include <string>
#include <vector>

// Result codes of the single-picture operations, and of removal (0 when it removed what it could).
// A batch returns the number of pictures it added; search returns the number of keys it found.
enum LikenessResult : int {
    LIKENESS_ADDED = 0,
    LIKENESS_ALREADY_PRESENT = -1,
    LIKENESS_DOWNLOAD_FAILED = -2,
    LIKENESS_NOT_DECODABLE = -3,
    // Not stored: the key is unsafe, or the picture or its record could not be written.
    LIKENESS_NOT_STORED = -4,
    // Not removed: the removal could not be recorded on the disk (ImplIModule::removePictures).
    LIKENESS_NOT_REWRITTEN = -5,
};

// One collection of pictures and their feature vectors.
//
// Keys: a stored picture's key is saveDir followed by the part of its source path or URL after the
// last "/". The key is also the path of the stored copy, relative to the working directory.
//
// Thread safety: none. Calls on one object must not overlap; objects share the process's log.
// One writer: an add takes the writer lock of the feature file's folder (module/WriterLock.h) while
// it writes, and is not stored (-4) while another process holds it.
// The object belongs to the library: never delete it, pass it to ExitModule.
class IModule {
public:
    // Downloads every URL to saveDir + its last segment and adds it. Returns how many were added.
    virtual int addUrlToDB(std::vector<std::string> urls, std::string saveDir) = 0;
    // Downloads one URL and adds it: 0 added, -1 key already present, -2 download failed,
    // -3 not a decodable picture, -4 not stored.
    virtual int addAUrlToDB(std::string url, std::string saveDir) = 0;
    // Adds one local picture, writing a copy of it at its key: 0, -1, -3 or -4 as above.
    virtual int addAPicToDB(std::string picPath, std::string saveDir) = 0;
    // Clears result and fills it with the keys of the topN nearest stored pictures, nearest first
    // (all of them when topN is negative or larger than the collection). type 0: urlOrPath is a URL,
    // otherwise a local path. Returns the number of keys, or -1 (local picture not decodable),
    // -2 (download failed), -3 (downloaded file not decodable).
    virtual int search(std::string urlOrPath, int type, std::vector<std::string>& result, int topN) = 0;

protected:
    // Not public, so that deleting through an IModule* does not compile: ExitModule destroys it.
    ~IModule() = default;
};

#endif
