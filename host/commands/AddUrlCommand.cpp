// `likeness add-url`: pictures downloaded by URL, one library call each or all in one batch. One
// line per problem (and per picture when asked), and the rest go on whatever one URL does.
#include <fstream>
#include <iostream>
#include <utility>

#include <CLI/CLI.hpp>

#include "CommandSupport.h"
#include "PictureFiles.h"
#include "Progress.h"
#include "commands/Commands.h"
#include "module/KeySafety.h"

namespace likeness_cli {
namespace {

struct AddUrlOptions {
    std::vector<std::string> urls;
    std::string fromFile;
    std::string into = "pictures/";
    bool batch = false;
    bool force = false;
};

const char* const kNamesNoFile = "the URL ends in \"/\", so it names no file to store the picture as";

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// What one URL of an addUrlToDB call came to, from the lines the library logged for it (messages)
// and the collection after the call. The append after the loop names the keys it could not write.
Outcome batchOutcome(const std::string& url, const std::string& prefix, const std::vector<std::string>& messages,
                     const std::vector<std::string>& allMessages, const FeatureMap& features,
                     const std::string& logShown) {
    const std::string key = makeKey(url, prefix);
    if (key == prefix) return failure(url, kNamesNoFile);
    const FailureDetails details{failureReason(messages), logShown};
    if (anyBeginsWith(messages, "addUrlToDB-already has this key")) return describeAdd(-1, url, key, details);
    if (features.count(key) != 0) return describeAdd(LIKENESS_ADDED, url, key, details);
    if (anyBeginsWith(messages, "not stored")) return describeAdd(LIKENESS_NOT_STORED, url, key, details);
    if (!anyBeginsWith(messages, "!!! return true")) return describeAdd(LIKENESS_DOWNLOAD_FAILED, url, key, details);
    for (const std::string& message : allMessages)
        if (message.rfind("not stored, cannot append", 0) == 0 && endsWith(message, "key=" + key))
            return describeAdd(LIKENESS_NOT_STORED, url, key,
                               {"cannot append its record to the feature file", logShown});
    return describeAdd(LIKENESS_NOT_DECODABLE, url, key, details);
}

// The outcome of every URL, through as few addUrlToDB calls as possible: when a picture makes the
// library throw, the batch ends there and the URLs after it go into a new one. The log tells which
// URL a batch was at; without its lines (a log that cannot be written) only the collection can.
std::vector<Outcome> addInBatches(Collection& collection, const std::vector<std::string>& urls,
                                  const std::string& prefix, const PathDisplay& display) {
    const FeatureMap& features = collection.state().features();
    std::vector<Outcome> outcomes;
    for (std::size_t begin = 0; begin < urls.size();) {
        const std::vector<std::string> batch(urls.begin() + static_cast<std::ptrdiff_t>(begin), urls.end());
        const CallLog log(display);
        std::string thrown;
        try {
            collection.operations().addUrlToDB(batch, prefix);
        } catch (const std::exception& error) {
            thrown = oneLine(error);
        }
        const std::vector<std::string> messages = log.messages();
        const std::vector<std::vector<std::string>> perUrl = messagesPerUrl(messages, batch.size());
        std::size_t reached = 0;
        while (reached < batch.size() && !perUrl[reached].empty()) ++reached;
        const std::string logShown = log.details().logShown;
        if (reached == 0) {
            for (const std::string& url : batch)
                outcomes.push_back(features.count(makeKey(url, prefix)) != 0
                                       ? describeAdd(LIKENESS_ADDED, url, makeKey(url, prefix), {})
                                       : failure(url, "not added (see the log " + logShown + ")"));
            break;
        }
        for (std::size_t i = 0; i < reached; ++i) {
            if (!thrown.empty() && i + 1 == reached)
                outcomes.push_back(failure(batch[i], "cannot be added, skipped: " + thrown));
            else outcomes.push_back(batchOutcome(batch[i], prefix, perUrl[i], messages, features, logShown));
        }
        if (thrown.empty()) break;
        begin += reached;
    }
    return outcomes;
}

std::vector<std::string> readUrlList(const std::string& file, bool& readable) {
    std::vector<std::string> urls;
    std::ifstream fromFile;
    if (file != "-") fromFile.open(file);
    std::istream& in = file == "-" ? std::cin : fromFile;
    readable = file == "-" || fromFile.is_open();
    for (std::string line; std::getline(in, line);) {
        const std::size_t begin = line.find_first_not_of(" \t\r");
        if (begin == std::string::npos || line[begin] == '#') continue;
        const std::size_t end = line.find_last_not_of(" \t\r");
        urls.push_back(line.substr(begin, end - begin + 1));
    }
    return urls;
}

int runAddUrl(const GlobalOptions& global, const AddUrlOptions& options) {
    std::vector<std::string> urls = options.urls;
    if (!options.fromFile.empty()) {
        bool readable = false;
        const std::vector<std::string> listed = readUrlList(options.fromFile, readable);
        if (!readable) {
            complain("cannot read the URL list " + options.fromFile);
            return kExitUsage;
        }
        urls.insert(urls.end(), listed.begin(), listed.end());
    }
    if (urls.empty()) {
        complain("no URLs given: name them or use --from FILE");
        return kExitUsage;
    }
    const PathDisplay display;
    const std::string prefix = folderPrefix(options.into);
    if (!intoAccepted(prefix, options.force)) return kExitUsage;
    const std::optional<std::filesystem::path> home = enterHome(global.home);
    if (!home) return kExitUsage;
    const std::optional<HomeLock> lock = lockHome(*home);
    if (!lock) return kExitUsage;
    std::set<std::string> createdFolders;
    ensureFolder(prefix, createdFolders);
    Collection collection;
    const bool announceAdded = global.verbose || urls.size() == 1;
    Tally tally;
    if (options.batch) {
        Progress progress("downloading", 0, true);
        for (const Outcome& outcome : addInBatches(collection, urls, prefix, display))
            reportAdd(progress, outcome, announceAdded, tally);
    } else {
        Progress progress("downloading", urls.size(), global.quiet);
        for (const std::string& url : urls) {
            const std::string key = makeKey(url, prefix);
            if (key == prefix) {
                reportAdd(progress, failure(url, kNamesNoFile), announceAdded, tally);
                progress.advance();
                continue;
            }
            const CallLog log(display);
            try {
                const int code = collection.operations().addAUrlToDB(url, prefix);
                reportAdd(progress, describeAdd(code, url, key, log.details()), announceAdded, tally);
            } catch (const std::exception& error) {
                reportAdd(progress, failure(url, "cannot be added, skipped: " + oneLine(error)), announceAdded, tally);
            }
            progress.advance();
        }
    }
    if (urls.size() > 1) std::cout << tally.summary() << std::endl;
    return tally.exitStatus();
}

class AddUrlCommand final : public Command {
public:
    void define(CLI::App& command) override {
        command.description("Download pictures by URL and add them");
        command.add_option("URL", options.urls, "http:// or https:// addresses of pictures");
        command.add_option("--from", options.fromFile, "Read URLs from this file, one a line (- for standard input)");
        command.add_option("--into", options.into, "Folder of the home the downloads are stored in")
            ->capture_default_str();
        command.add_flag("--batch", options.batch,
                         "Add them in one library call, which appends all their records at once");
        command.add_flag("--force", options.force, "Accept an --into outside the home");
    }
    int run(const GlobalOptions& global) override { return runAddUrl(global, options); }

private:
    AddUrlOptions options;
};

}  // namespace

std::unique_ptr<Command> makeAddUrlCommand() {
    return std::make_unique<AddUrlCommand>();
}

}  // namespace likeness_cli
