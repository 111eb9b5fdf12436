// The wording of every result the library can return.
#include "Outcome.h"

#include <cstdio>

#include "module/SamePicture.h"

namespace likeness_cli {
namespace {

std::string downloadFailure(const std::string& reason, const std::string& logShown) {
    return "download failed: " + reason + " (details in " + logShown + ")";
}

}  // namespace

Outcome describeAdd(const likeness::AddOutcome& added, const std::string& source, const std::string& logShown) {
    const std::string& key = added.key;
    switch (added.result) {
    case likeness::AddResult::added: return {Verdict::Added, "added " + source + " as " + key, AddResult::Added, key};
    case likeness::AddResult::alreadyPresent:
        return {Verdict::Duplicate, source + ": already in the collection as " + key, AddResult::AlreadyPresent, key};
    case likeness::AddResult::downloadFailed:
        return {Verdict::Failed, source + ": " + downloadFailure(added.reason, logShown), AddResult::DownloadFailed,
                key};
    case likeness::AddResult::notDecodable:
        return {Verdict::Failed, source + ": not a decodable picture (" + added.reason + "), skipped",
                AddResult::NotDecodable, key};
    case likeness::AddResult::keyRefused:
        return {Verdict::Failed, source + ": not stored as " + key + ": " + added.reason, AddResult::KeyRefused, key};
    case likeness::AddResult::notStored:
        return {Verdict::Failed,
                source + ": not stored as " + key + ": " + added.reason + " (see the log " + logShown + ")",
                AddResult::NotStored, key};
    }
    return {Verdict::Failed, source + ": unexpected result " + std::to_string(added.code), AddResult::Failed, key};
}

Outcome keyClash(const std::string& source, const std::string& key, std::optional<float> distance) {
    std::string resemblance;
    if (distance && likeness::samePicture(*distance)) {
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

std::string describeSearchFailure(const likeness::SearchOutcome& search, const std::string& query,
                                  const std::string& logShown) {
    switch (search.status) {
    case likeness::QueryStatus::notDecodable: return query + ": not a decodable picture (" + search.reason + ")";
    case likeness::QueryStatus::downloadFailed: return query + ": " + downloadFailure(search.reason, logShown);
    case likeness::QueryStatus::downloadNotDecodable:
        return query + ": the download is not a decodable picture (" + search.reason + ")";
    case likeness::QueryStatus::ok: break;
    }
    return query + ": search failed with result " + std::to_string(search.code);
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

void Tally::countUnlistedDuplicate() {
    count(Verdict::Duplicate);
    duplicatesUnlisted = true;
}

std::string Tally::summary() const {
    return "added " + std::to_string(added) + ", duplicates " + std::to_string(duplicates) + ", failed " +
           std::to_string(failed) + (duplicatesUnlisted ? " (-v names the duplicates)" : "");
}

}  // namespace likeness_cli
