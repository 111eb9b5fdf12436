// The wording of every result the library can return.
#include "Outcome.h"

#include <cstdio>

#include "PictureVectors.h"
#include "module/IModule.h"

namespace likeness_cli {
namespace {

std::string downloadFailure(const FailureDetails& details) {
    if (details.reason.empty()) return "download failed (see the log " + details.logShown + ")";
    return "download failed: " + details.reason + " (details in " + details.logShown + ")";
}

}  // namespace

Outcome describeAdd(int resultCode, const std::string& source, const std::string& key, const FailureDetails& details) {
    switch (resultCode) {
    case LIKENESS_ADDED: return {Verdict::Added, "added " + source + " as " + key, AddResult::Added, key};
    case LIKENESS_ALREADY_PRESENT:
        return {Verdict::Duplicate, source + ": already in the collection as " + key, AddResult::AlreadyPresent, key};
    case LIKENESS_DOWNLOAD_FAILED:
        return {Verdict::Failed, source + ": " + downloadFailure(details), AddResult::DownloadFailed, key};
    case LIKENESS_NOT_DECODABLE:
        return {Verdict::Failed, source + ": not a decodable picture, skipped", AddResult::NotDecodable, key};
    case LIKENESS_NOT_STORED:
        return {Verdict::Failed,
                source + ": not stored as " + key + ": " +
                    (details.reason.empty() ? "the key is not allowed or the picture or its record could not be written"
                                            : details.reason) +
                    " (see the log " + details.logShown + ")",
                AddResult::NotStored, key};
    default:
        return {
            Verdict::Failed,
            source + ": unexpected result " + std::to_string(resultCode) + " (see the log " + details.logShown + ")",
            AddResult::Failed, key};
    }
}

Outcome keyClash(const std::string& source, const std::string& key, std::optional<float> distance) {
    std::string resemblance;
    if (distance && samePicture(*distance)) {
        char text[64];
        std::snprintf(text, sizeof(text), "; they look alike, distance %.3f", static_cast<double>(*distance));
        resemblance = text;
    }
    return {Verdict::Failed,
            source + ": not added: " + key + " is already taken by a different picture" + resemblance +
                " (rename the file or use another --into)",
            AddResult::KeyTaken, key};
}

Outcome sameFileAs(const std::string& source, const std::string& key) {
    return {Verdict::Duplicate, source + ": same file as " + key + ", not stored again (--allow-copies stores it)",
            AddResult::SameFile, key};
}

Outcome failure(const std::string& source, const std::string& reason) {
    return {Verdict::Failed, source + ": " + reason, AddResult::Failed, ""};
}

std::string describeSearchFailure(int resultCode, const std::string& query, const FailureDetails& details) {
    switch (resultCode) {
    case -1: return query + ": not a decodable picture";
    case -2: return query + ": " + downloadFailure(details);
    case -3: return query + ": the download is not a decodable picture";
    default:
        return query + ": search failed with result " + std::to_string(resultCode) + " (see the log " +
               details.logShown + ")";
    }
}

std::string oneLine(const std::exception& error) {
    std::string text = error.what();
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return text;
}

void Tally::count(Verdict verdict) {
    switch (verdict) {
    case Verdict::Added: ++added; break;
    case Verdict::Duplicate: ++duplicates; break;
    case Verdict::Failed: ++failed; break;
    }
}

std::string Tally::summary() const {
    return "added " + std::to_string(added) + ", duplicates " + std::to_string(duplicates) + ", failed " +
           std::to_string(failed);
}

}  // namespace likeness_cli
