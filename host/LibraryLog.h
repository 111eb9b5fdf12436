// What the library wrote to its log during a call, read back so that the command can say on the
// user's own line why a download failed, and which URL of a batch each line belongs to.
#ifndef LIKENESS_HOST_LIBRARYLOG_H
#define LIKENESS_HOST_LIBRARYLOG_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace likeness_cli {

// The messages (without the date, time and level columns) appended to a log file since the watch
// was made. The command shares the library's logger, so the file is the one the library writes.
class LogWatch {
public:
    explicit LogWatch(std::string logFile);
    std::vector<std::string> messages() const;

private:
    std::string logFile;
    std::uintmax_t start;
};

// Why a picture was not added or a query not fetched, from the messages of the call: a download's
// failure ("the server answered HTTP 404", "timed out"...) or why it was not stored ("the key is
// refused: it names the feature file"...); empty when they do not say.
std::string failureReason(const std::vector<std::string>& messages);

// The messages of one addUrlToDB call, split by URL: element i holds what was logged for urls[i],
// from its "search url: i=" line to the next such line or to the append after the loop. URLs the
// call never reached get none.
std::vector<std::vector<std::string>> messagesPerUrl(const std::vector<std::string>& messages, std::size_t urlCount);

// True when one of messages begins with prefix.
bool anyBeginsWith(const std::vector<std::string>& messages, const std::string& prefix);

}  // namespace likeness_cli

#endif
