// What the library's result codes mean to the person at the terminal: one line per picture
// naming it and what to do, and the tally behind the summary line and the exit status.
#ifndef LIKENESS_HOST_OUTCOME_H
#define LIKENESS_HOST_OUTCOME_H

#include <cstddef>
#include <string>

namespace likeness_cli {

// Exit statuses of the command.
enum ExitStatus : int { kExitOk = 0, kExitSomeFailed = 1, kExitUsage = 2 };

enum class Verdict { Added, Duplicate, Failed };

struct Outcome {
    Verdict verdict;
    std::string line;
};

// The outcome of addAPicToDB or addAUrlToDB for source stored under key; logFile is the log
// that the library wrote the details to.
Outcome describeAdd(int resultCode, const std::string& source, const std::string& key, const std::string& logFile);

// The message for a negative result of search with the query urlOrPath.
std::string describeSearchFailure(int resultCode, const std::string& urlOrPath, const std::string& logFile);

class Tally {
public:
    void count(Verdict verdict);
    void countFailure() { count(Verdict::Failed); }
    // "added N, duplicates N, failed N"
    std::string summary() const;
    // Duplicates are no failure: adding a folder again is how a collection is kept up to date.
    int exitStatus() const { return failed == 0 ? kExitOk : kExitSomeFailed; }

private:
    std::size_t added = 0;
    std::size_t duplicates = 0;
    std::size_t failed = 0;
};

}  // namespace likeness_cli

#endif
