// The wording of every result the library can return.
#include "Outcome.h"

#include "module/IModule.h"

namespace likeness_cli {

Outcome describeAdd(int resultCode, const std::string& source, const std::string& key, const std::string& logFile) {
    switch (resultCode) {
    case LIKENESS_ADDED:
        return {Verdict::Added, "added " + source + " as " + key};
    case LIKENESS_ALREADY_PRESENT:
        return {Verdict::Duplicate, source + ": already in the collection as " + key +
                                        " (rename the file or use another --into to add it as well)"};
    case LIKENESS_DOWNLOAD_FAILED:
        return {Verdict::Failed, source + ": download failed: see the log " + logFile};
    case LIKENESS_NOT_DECODABLE:
        return {Verdict::Failed, source + ": not a decodable picture, skipped"};
    case LIKENESS_NOT_STORED:
        return {Verdict::Failed, source + ": not stored: the key " + key +
                                     " is not allowed or the picture or its record could not be written (see the log " +
                                     logFile + ")"};
    default:
        return {Verdict::Failed, source + ": unexpected result " + std::to_string(resultCode) + " (see the log " +
                                     logFile + ")"};
    }
}

std::string describeSearchFailure(int resultCode, const std::string& urlOrPath, const std::string& logFile) {
    switch (resultCode) {
    case -1:
        return urlOrPath + ": not a decodable picture";
    case -2:
        return urlOrPath + ": download failed: see the log " + logFile;
    case -3:
        return urlOrPath + ": the download is not a decodable picture";
    default:
        return urlOrPath + ": search failed with result " + std::to_string(resultCode) + " (see the log " + logFile +
               ")";
    }
}

void Tally::count(Verdict verdict) {
    switch (verdict) {
    case Verdict::Added:
        ++added;
        break;
    case Verdict::Duplicate:
        ++duplicates;
        break;
    case Verdict::Failed:
        ++failed;
        break;
    }
}

std::string Tally::summary() const {
    return "added " + std::to_string(added) + ", duplicates " + std::to_string(duplicates) + ", failed " +
           std::to_string(failed);
}

}  // namespace likeness_cli
