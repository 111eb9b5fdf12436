// What the library's outcomes mean to the person at the terminal: one line per picture naming it,
// what happened, why and what to do, and the tally behind the summary line and the exit status.
#ifndef LIKENESS_HOST_OUTCOME_H
#define LIKENESS_HOST_OUTCOME_H

#include <cstddef>
#include <exception>
#include <optional>
#include <string>

#include "module/Collection.h"

namespace likeness_cli {

// Exit statuses of the command.
enum ExitStatus : int { kExitOk = 0, kExitSomeFailed = 1, kExitUsage = 2 };

enum class Verdict { Added, Duplicate, Failed };

// What an add came to in more detail than its verdict, for a caller that answers by it (the HTTP
// service's statuses) rather than by a line.
enum class AddResult {
    Added,
    AlreadyPresent,  // the same picture under its key
    SameFile,        // the same bytes stored under another key
    KeyTaken,        // a different picture under its key
    Unreadable,
    DownloadFailed,
    NotDecodable,
    KeyRefused,  // the library refuses the key
    NotStored,
    Failed,  // anything else: an exception, an unexpected result
};

struct Outcome {
    Verdict verdict;
    std::string line;
    AddResult result = AddResult::Failed;
    std::string key;  // where the picture is stored: its own key, or the other key of a SameFile
};

// The line for what became of source, an add stored (or meant to store) under added.key. An already
// present key reads as a duplicate: the command tells real clashes apart before (keyClash).
// logShown names the library's log, where the details are.
Outcome describeAdd(const likeness::AddOutcome& added, const std::string& source, const std::string& logShown);

// key is taken by a picture that is not source's; distance between the two when known.
Outcome keyClash(const std::string& source, const std::string& key, std::optional<float> distance);

// source holds the same bytes as the stored picture key.
Outcome sameFileAs(const std::string& source, const std::string& key);

// source was not added, for reason.
Outcome failure(const std::string& source, const std::string& reason);

// The message for a search with query that could not use its picture.
std::string describeSearchFailure(const likeness::SearchOutcome& search, const std::string& query,
                                  const std::string& logShown);

// An exception's message on one line, for a report that names the picture it came from.
std::string oneLine(const std::exception& error);

class Tally {
public:
    void count(Verdict verdict);
    void countFailure() { count(Verdict::Failed); }
    // A duplicate counted without a line of its own, so the summary says how to see them.
    void countUnlistedDuplicate();
    // "added N, duplicates N, failed N", and "(-v names the duplicates)" when some had no line.
    std::string summary() const;
    // Duplicates are no failure: adding a folder again is how a collection is kept up to date.
    int exitStatus() const { return failed == 0 ? kExitOk : kExitSomeFailed; }

private:
    std::size_t added = 0;
    std::size_t duplicates = 0;
    std::size_t failed = 0;
    bool duplicatesUnlisted = false;
};

}  // namespace likeness_cli

#endif
