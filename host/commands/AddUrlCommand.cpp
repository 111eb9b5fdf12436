// `likeness add-url`: pictures downloaded by URL, one library call each or all in one batch. One
// line per problem (and per picture when asked), and the rest go on whatever one URL does.
#include <fstream>
#include <iostream>
#include <utility>

#include <CLI/CLI.hpp>

#include "CommandSupport.h"
#include "Home.h"
#include "PictureFiles.h"
#include "Progress.h"
#include "commands/Commands.h"

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

// What one URL came to: a URL that names no file is refused by the library's key
// rule, and said so in the command's own words.
Outcome urlOutcome(const std::string& url, const likeness::AddOutcome& added, const std::string& prefix,
                   const std::string& logShown) {
    if (added.key == prefix) return failure(url, kNamesNoFile);
    return describeAdd(added, url, logShown);
}

// The outcome of every URL, through as few addUrls calls as possible: when a picture makes the
// library throw, the batch ends there, that URL is reported with the exception, and the URLs after
// it go into a new batch.
std::vector<Outcome> addInBatches(Collection& collection, const std::vector<std::string>& urls,
                                  const std::string& prefix, const std::string& logShown) {
    std::vector<Outcome> outcomes;
    for (std::size_t begin = 0; begin < urls.size();) {
        const std::vector<std::string> batch(urls.begin() + static_cast<std::ptrdiff_t>(begin), urls.end());
        std::vector<likeness::AddOutcome> added;
        std::string thrown;
        try {
            collection.addUrls(batch, prefix, added);
        } catch (const std::exception& error) {
            thrown = oneLine(error);
        }
        for (std::size_t i = 0; i < added.size(); ++i)
            outcomes.push_back(urlOutcome(batch[i], added[i], prefix, logShown));
        if (thrown.empty()) break;
        outcomes.push_back(failure(batch[added.size()], "cannot be added, skipped: " + thrown));
        begin += added.size() + 1;
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
    const std::optional<likeness::WriterLock> lock = lockHome(*home);
    if (!lock) return kExitUsage;
    if (!options.force && !liesInHome(*home, prefix, true)) {
        complain("--into " + prefix + " leads out of the home through a symbolic link; add --force to store there");
        return kExitUsage;
    }
    std::set<std::string> createdFolders;
    ensureFolder(prefix, createdFolders);
    Collection collection;
    const bool everyOutcome = global.verbose || urls.size() == 1;
    Tally tally;
    if (options.batch) {
        Progress progress("downloading", 0, true);
        for (const Outcome& outcome : addInBatches(collection, urls, prefix, logShown(display)))
            reportAdd(progress, outcome, everyOutcome, tally);
    } else {
        Progress progress("downloading", urls.size(), global.quiet);
        for (const std::string& url : urls) {
            try {
                reportAdd(progress, urlOutcome(url, collection.addUrl(url, prefix), prefix, logShown(display)),
                          everyOutcome, tally);
            } catch (const std::exception& error) {
                reportAdd(progress, failure(url, "cannot be added, skipped: " + oneLine(error)), everyOutcome, tally);
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
