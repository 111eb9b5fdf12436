// `likeness search`: the nearest stored pictures of each query with their distances, as text,
// JSON or a results page. The distances and the same-picture marks are the library's: the values
// search ranked by.
#include <cstdio>
#include <filesystem>
#include <iostream>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "CommandSupport.h"
#include "JsonText.h"
#include "Progress.h"
#include "ResultsPage.h"
#include "TextEncoding.h"
#include "commands/Commands.h"
#include "module/CollectionFiles.h"
#include "module/SamePicture.h"

namespace fs = std::filesystem;

namespace likeness_cli {
namespace {

struct SearchOptions {
    std::vector<std::string> queries;
    int count = 10;
    bool json = false;
    std::string htmlFile;
};

std::string distanceText(float distance) {
    char text[32];
    std::snprintf(text, sizeof(text), "%7.3f", static_cast<double>(distance));
    return text;
}

void printJson(const std::vector<QueryResults>& searches) {
    nlohmann::ordered_json answer = nlohmann::ordered_json::array();
    for (const QueryResults& search : searches) {
        nlohmann::ordered_json entry = nlohmann::ordered_json::object();
        putText(entry, "query", search.query);
        entry["results"] = nlohmann::ordered_json::array();
        for (const likeness::Match& match : search.matches) {
            nlohmann::ordered_json result = nlohmann::ordered_json::object();
            putText(result, "key", match.key);
            result["distance"] = jsonNumber(match.distance);
            result["same_picture"] = match.samePicture;
            entry["results"].push_back(result);
        }
        if (!search.failure.empty()) entry["error"] = withInvalidUtf8Replaced(search.failure);
        answer.push_back(entry);
    }
    std::cout << answer.dump(2) << std::endl;
}

// "DISTANCE  KEY", with "  (same picture)" after the close ones; a "# QUERY" line before each
// query's block when there are several.
void printText(const std::vector<QueryResults>& searches) {
    for (std::size_t i = 0; i < searches.size(); ++i) {
        if (searches.size() > 1) std::cout << (i > 0 ? "\n# " : "# ") << searches[i].query << "\n";
        for (const likeness::Match& match : searches[i].matches)
            std::cout << distanceText(match.distance) << "  " << match.key
                      << (match.samePicture ? "  (same picture)" : "") << "\n";
    }
    std::cout << std::flush;
}

std::string pageSummary(int count) {
    return "Each query with its " + std::to_string(count) +
           " nearest stored pictures, nearest first, and their distance to it: 100 is the least possible "
           "(the same feature vector). Results " +
           likeness::samePictureRuleText() +
           " are marked \"same picture\": those almost surely are, but many altered copies lie further away.";
}

int runSearch(const GlobalOptions& global, const SearchOptions& options) {
    const PathDisplay display;
    const fs::path start = fs::current_path();
    const std::string htmlFile = options.htmlFile.empty() ? "" : fs::absolute(options.htmlFile).string();
    const std::optional<fs::path> home = enterHome(global.home);
    if (!home) return kExitUsage;
    const std::vector<PictureArgument> queries = pictureArguments(options.queries, start, display);
    std::vector<QueryResults> searches;
    {
        Collection collection;
        if (collection.size() == 0) {
            complain("the collection in " + display(home->string()) +
                     " is empty, so there is nothing to find; add pictures with: likeness --home " + global.home +
                     " add FOLDER");
            return kExitSomeFailed;
        }
        Progress progress("searching", queries.size(), global.quiet);
        for (const PictureArgument& query : queries) {
            QueryResults search{query.shown, "", {}, ""};
            const bool byUrl = isUrl(query.path);
            const std::string picture = byUrl ? likeness::kQueryFile : query.path;
            if (!query.problem.empty()) {
                search.failure = query.shown + ": " + query.problem;
            } else {
                try {
                    likeness::SearchOutcome found = byUrl ? collection.searchUrl(query.path, options.count)
                                                          : collection.searchFile(query.path, options.count);
                    if (found.status != likeness::QueryStatus::ok)
                        search.failure = describeSearchFailure(found, query.shown, logShown(display));
                    else search.matches = std::move(found.matches);
                } catch (const std::exception& thrown) {
                    search.failure = query.shown + ": cannot be searched: " + oneLine(thrown);
                }
            }
            if (!search.failure.empty()) progress.note(std::cerr, search.failure);
            // A URL's query picture is the download, which the next URL query overwrites.
            if (!htmlFile.empty() && search.failure.empty()) search.queryThumbnail = thumbnailDataUri(picture);
            searches.push_back(std::move(search));
            progress.advance();
        }
    }
    if (options.json) printJson(searches);
    else printText(searches);
    if (!htmlFile.empty()) {
        try {
            writeResultsPage(htmlFile, "likeness: nearest pictures", pageSummary(options.count), searches);
        } catch (const std::runtime_error& failure) {
            complain(failure.what());
            return kExitSomeFailed;
        }
        if (!global.quiet) std::cerr << "wrote the results page " << display(htmlFile) << std::endl;
    }
    for (const QueryResults& search : searches)
        if (!search.failure.empty()) return kExitSomeFailed;
    return kExitOk;
}

class SearchCommand final : public Command {
public:
    void define(CLI::App& command) override {
        command.description("Print the keys of the stored pictures nearest to each query, nearest first");
        command
            .add_option("QUERY", options.queries,
                        "Picture files, folders of them, keys of stored pictures (as search prints them) or "
                        "http(s):// URLs")
            ->required();
        command.add_option("-n,--count", options.count, "How many results per query")
            ->capture_default_str()
            ->check(CLI::Validator(
                [](std::string& text) {
                    std::size_t end = 0;
                    try {
                        if (std::stoi(text, &end) >= 1 && end == text.size()) return std::string();
                    } catch (const std::logic_error&) {
                    }
                    return "-n takes a whole number of results, at least 1 (got " + text + ")";
                },
                "COUNT>=1"));
        command.add_flag("--json", options.json,
                         "Print JSON: [{\"query\": ..., \"results\": [{\"key\", \"distance\", "
                         "\"same_picture\"}]}]");
        command.add_option("--html", options.htmlFile,
                           "Also write a self-contained results page with thumbnails to this file");
    }
    int run(const GlobalOptions& global) override { return runSearch(global, options); }

private:
    SearchOptions options;
};

}  // namespace

std::unique_ptr<Command> makeSearchCommand() {
    return std::make_unique<SearchCommand>();
}

}  // namespace likeness_cli
