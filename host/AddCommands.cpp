// `likeness add` and `likeness add-url`: one line per problem (and per picture when asked), and
// the rest go on whatever one picture does, an exception from OpenCV included.
#include <fstream>
#include <iostream>
#include <utility>

#include "CommandSupport.h"
#include "Commands.h"
#include "PictureAdder.h"
#include "PictureFiles.h"
#include "Progress.h"
#include "module/KeySafety.h"

namespace likeness_cli {
namespace {

// Reports one add's outcome: problems always, successes when asked or when there is only one.
void report(Progress& progress, const Outcome& outcome, bool announceAdded, Tally& tally) {
    tally.count(outcome.verdict);
    if (outcome.verdict == Verdict::Added) {
        if (announceAdded) progress.note(std::cout, outcome.line);
    } else {
        progress.note(std::cerr, outcome.line);
    }
}

std::string joined(const std::vector<std::string>& parts) {
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
    return text;
}

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

}  // namespace

int runAdd(const GlobalOptions& global, const AddOptions& options) {
    const PathDisplay display;
    const std::string prefix = folderPrefix(options.into);
    if (!intoAccepted(prefix, options.force)) return kExitUsage;
    const PictureList list = collectPictures(options.paths, prefix);
    const std::optional<std::filesystem::path> home = enterHome(global.home);
    if (!home) return kExitUsage;
    const std::optional<HomeLock> lock = lockHome(*home);
    if (!lock) return kExitUsage;
    Tally tally;
    for (const PassedOver& refused : list.refused) {
        std::cerr << refused.path << ": " << refused.reason << std::endl;
        tally.countFailure();
    }
    for (const PassedOver& skipped : list.skipped)
        std::cerr << display(skipped.path) << ": " << skipped.reason << std::endl;
    if (list.pictures.empty() && list.refused.empty()) {
        std::string message = "no picture files found in " + joined(list.folders);
        if (list.skippedFiles > 0)
            message += " (" + std::to_string(list.skippedFiles) + " files without picture names skipped)";
        complain(message);
        return kExitSomeFailed;
    }
    const bool several = list.pictures.size() + list.refused.size() > 1;
    {
        Collection collection;
        PictureAdder adder(collection, options.allowCopies, display);
        Progress progress("adding", list.pictures.size(), global.quiet);
        std::set<std::string> createdFolders;
        for (const PictureToAdd& picture : list.pictures) {
            ensureFolder(picture.saveDir, createdFolders);
            report(progress, adder.add(picture), global.verbose || !several, tally);
            progress.advance();
        }
    }
    if (several) {
        std::cout << tally.summary();
        if (list.skippedFiles > 0) std::cout << " (" << list.skippedFiles << " files without picture names skipped)";
        std::cout << std::endl;
    }
    return tally.exitStatus();
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
            report(progress, outcome, announceAdded, tally);
    } else {
        Progress progress("downloading", urls.size(), global.quiet);
        for (const std::string& url : urls) {
            const std::string key = makeKey(url, prefix);
            if (key == prefix) {
                report(progress, failure(url, kNamesNoFile), announceAdded, tally);
                progress.advance();
                continue;
            }
            const CallLog log(display);
            try {
                const int code = collection.operations().addAUrlToDB(url, prefix);
                report(progress, describeAdd(code, url, key, log.details()), announceAdded, tally);
            } catch (const std::exception& error) {
                report(progress, failure(url, "cannot be added, skipped: " + oneLine(error)), announceAdded, tally);
            }
            progress.advance();
        }
    }
    if (urls.size() > 1) std::cout << tally.summary() << std::endl;
    return tally.exitStatus();
}

}  // namespace likeness_cli
