// The subcommands. Every path the user gives is made absolute before the command changes into
// the home, since the library resolves relative paths against the working directory.
#include "Commands.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include "Home.h"
#include "Outcome.h"
#include "PictureFiles.h"
#include "Progress.h"
#include "ResultsPage.h"
#include "classifier/VnnClassifier.h"
#include "log/EasyLog.h"
#include "module/CollectionFiles.h"
#include "module/FeatureContract.h"
#include "module/KeySafety.h"
#include "module/Module.h"

namespace fs = std::filesystem;

namespace likeness_cli {
namespace {

// The module from InitialModule, handed back to ExitModule however the command ends.
class Collection {
public:
    Collection() : module(InitialModule(likeness::kDefaultFeatureFile)) {}
    ~Collection() { ExitModule(module); }
    Collection(const Collection&) = delete;
    Collection& operator=(const Collection&) = delete;

    IModule& operations() { return *module; }
    const ImplIModule& state() const { return *module; }

private:
    ImplIModule* module;
};

void complain(const std::string& message) {
    std::cerr << "likeness: " << message << std::endl;
}

// Changes into the home when it holds a model; otherwise says how to make one.
std::optional<fs::path> enterHome(const std::string& home) {
    std::error_code error;
    const fs::path absoluteHome = fs::absolute(home, error).lexically_normal();
    if (!fs::is_directory(absoluteHome, error)) {
        complain("the home " + home + " is not a folder; create it with: likeness init " + home);
        return std::nullopt;
    }
    if (!holdsModel(modelFolder(absoluteHome))) {
        complain(absoluteHome.string() + " has no model (" + likeness::kModelNetPath + " and " +
                 likeness::kModelWeightsPath + "); set it up with: likeness init " + home);
        return std::nullopt;
    }
    if (chdir(absoluteHome.c_str()) != 0) {
        complain("cannot enter " + absoluteHome.string());
        return std::nullopt;
    }
    return absoluteHome;
}

// How a path is shown: relative to where the user started when it lies below, else absolute.
class PathDisplay {
public:
    PathDisplay() : start(fs::current_path()) {}
    std::string operator()(const std::string& path) const {
        const fs::path relative = fs::path(path).lexically_relative(start);
        const bool below = !relative.empty() && *relative.begin() != "..";
        return below ? relative.string() : path;
    }

private:
    fs::path start;
};

bool isUrl(const std::string& text) {
    return text.rfind("http://", 0) == 0 || text.rfind("https://", 0) == 0;
}

// The library writes a stored picture straight to its key, so the key's folder must exist.
void ensureFolder(const std::string& saveDir, std::set<std::string>& created) {
    if (saveDir.empty() || !created.insert(saveDir).second) return;
    std::error_code ignored;  // a folder that cannot be made shows up as the library's "not stored"
    fs::create_directories(saveDir, ignored);
}

std::string byteSize(std::uintmax_t bytes) {
    const char* const units[] = {"bytes", "KiB", "MiB", "GiB"};
    double value = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    std::ostringstream text;
    if (unit == 0)
        text << bytes << " bytes";
    else
        text << std::fixed << std::setprecision(1) << value << " " << units[unit];
    return text.str();
}

// Reports one add's outcome: problems always, successes when asked or when there is only one.
void report(Progress& progress, const Outcome& outcome, bool announceAdded, Tally& tally) {
    tally.count(outcome.verdict);
    if (outcome.verdict == Verdict::Added) {
        if (announceAdded) progress.note(std::cout, outcome.line);
    } else {
        progress.note(std::cerr, outcome.line);
    }
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

int runInit(const GlobalOptions& global, const InitOptions& options) {
    const std::string home = options.dir.empty() ? global.home : options.dir;
    std::vector<std::string> tried;
    const std::optional<ModelSource> model = findModel(options.modelDir, tried);
    if (!model) {
        std::string places;
        for (const std::string& place : tried) places += "\n  " + place;
        complain("no model found (" + netFileIn("").string() + " and " + weightsFileIn("").string() + ") in:" + places +
                 "\nbuild one with `make model` or name a folder with --model DIR");
        return kExitUsage;
    }
    try {
        createHome(home, *model, options.force);
    } catch (const std::runtime_error& failure) {
        complain(failure.what());
        return kExitUsage;
    }
    std::cout << "created the home " << fs::absolute(home).lexically_normal().string() << " with the model from "
              << model->dir.string() << " (" << model->origin << ")" << std::endl;
    return kExitOk;
}

int runAdd(const GlobalOptions& global, const AddOptions& options) {
    const PathDisplay display;
    const PictureList list = collectPictures(options.paths, folderPrefix(options.into));
    if (!enterHome(global.home)) return kExitUsage;
    const std::string logFile = EasyLog::TodaysFileName();
    Tally tally;
    for (const std::string& missing : list.missing) {
        std::cerr << missing << ": no such file or folder" << std::endl;
        tally.countFailure();
    }
    if (list.pictures.empty() && list.missing.empty()) {
        complain("no picture files found in " + std::to_string(options.paths.size()) + " folder(s)");
        return kExitSomeFailed;
    }
    const bool several = list.pictures.size() + list.missing.size() > 1;
    {
        Collection collection;
        Progress progress("adding", list.pictures.size(), global.quiet);
        std::set<std::string> createdFolders;
        for (const PictureToAdd& picture : list.pictures) {
            ensureFolder(picture.saveDir, createdFolders);
            const int code = collection.operations().addAPicToDB(picture.source, picture.saveDir);
            report(progress,
                   describeAdd(code, display(picture.source), makeKey(picture.source, picture.saveDir), logFile),
                   global.verbose || !several, tally);
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
    const std::string prefix = folderPrefix(options.into);
    if (!enterHome(global.home)) return kExitUsage;
    const std::string logFile = EasyLog::TodaysFileName();
    std::set<std::string> createdFolders;
    ensureFolder(prefix, createdFolders);
    Collection collection;
    if (options.batch) {
        const int added = collection.operations().addUrlToDB(urls, prefix);
        std::cout << "added " << added << " of " << urls.size() << " URLs";
        if (static_cast<std::size_t>(added) < urls.size())
            std::cout << "; the others were already in the collection or failed: see the log " << logFile;
        std::cout << std::endl;
        return static_cast<std::size_t>(added) == urls.size() ? kExitOk : kExitSomeFailed;
    }
    Tally tally;
    {
        Progress progress("downloading", urls.size(), global.quiet);
        for (const std::string& url : urls) {
            const int code = collection.operations().addAUrlToDB(url, prefix);
            report(progress, describeAdd(code, url, makeKey(url, prefix), logFile), global.verbose || urls.size() == 1,
                   tally);
            progress.advance();
        }
    }
    if (urls.size() > 1) std::cout << tally.summary() << std::endl;
    return tally.exitStatus();
}

int runSearch(const GlobalOptions& global, const SearchOptions& options) {
    std::vector<std::string> targets;
    for (const std::string& query : options.queries)
        targets.push_back(isUrl(query) ? query : fs::absolute(query).string());
    const std::string htmlFile = options.htmlFile.empty() ? "" : fs::absolute(options.htmlFile).string();
    if (!enterHome(global.home)) return kExitUsage;
    const std::string logFile = EasyLog::TodaysFileName();
    std::vector<QueryResults> searches;
    {
        Collection collection;
        Progress progress("searching", targets.size(), global.quiet);
        for (std::size_t i = 0; i < targets.size(); ++i) {
            QueryResults search{options.queries[i], "", {}, ""};
            const bool byUrl = isUrl(targets[i]);
            const int found = collection.operations().search(targets[i], byUrl ? 0 : 1, search.keys, options.count);
            if (found < 0) {
                search.failure = describeSearchFailure(found, options.queries[i], logFile);
                progress.note(std::cerr, search.failure);
            }
            // A URL's query picture is the download, which the next URL query overwrites.
            if (!htmlFile.empty()) search.queryThumbnail = thumbnailDataUri(byUrl ? likeness::kQueryFile : targets[i]);
            searches.push_back(std::move(search));
            progress.advance();
        }
    }
    if (options.json) {
        nlohmann::ordered_json answer = nlohmann::ordered_json::array();
        for (const QueryResults& search : searches) {
            nlohmann::ordered_json entry = {{"query", search.query}, {"results", search.keys}};
            if (!search.failure.empty()) entry["error"] = search.failure;
            answer.push_back(entry);
        }
        std::cout << answer.dump(2) << std::endl;
    } else {
        for (std::size_t i = 0; i < searches.size(); ++i) {
            if (searches.size() > 1) std::cout << (i > 0 ? "\n# " : "# ") << searches[i].query << "\n";
            for (const std::string& key : searches[i].keys) std::cout << key << "\n";
        }
        std::cout << std::flush;
    }
    if (!htmlFile.empty()) {
        try {
            writeResultsPage(htmlFile, "likeness: nearest pictures", searches);
        } catch (const std::runtime_error& failure) {
            complain(failure.what());
            return kExitSomeFailed;
        }
        if (!global.quiet) std::cerr << "wrote the results page " << htmlFile << std::endl;
    }
    for (const QueryResults& search : searches)
        if (!search.failure.empty()) return kExitSomeFailed;
    return kExitOk;
}

int runClassify(const GlobalOptions& global, const std::string& picturePath) {
    const std::string picture = fs::absolute(picturePath).string();
    const std::optional<fs::path> home = enterHome(global.home);
    if (!home) return kExitUsage;
    const cv::Mat image = cv::imread(picture, cv::IMREAD_COLOR);
    if (image.empty()) {
        std::cerr << picturePath << ": not a decodable picture" << std::endl;
        return kExitSomeFailed;
    }
    VnnClassifier classifier = makeFeatureClassifier(likeness::kModelNetPath, likeness::kModelWeightsPath);
    VnnType prediction;
    classifier.classify(image, prediction);
    const std::vector<std::string> names = classNames(*home);
    const bool named = prediction.classId >= 0 && static_cast<std::size_t>(prediction.classId) < names.size();
    std::cout << (named ? names[static_cast<std::size_t>(prediction.classId)]
                        : "class " + std::to_string(prediction.classId))
              << " " << std::fixed << std::setprecision(4) << prediction.score << std::endl;
    return kExitOk;
}

int runInfo(const GlobalOptions& global) {
    const std::optional<fs::path> home = enterHome(global.home);
    if (!home) return kExitUsage;
    const Collection collection;
    std::error_code error;
    const fs::path modelDir = modelFolder(*home);
    const fs::path net = netFileIn(modelDir);
    const fs::path weights = weightsFileIn(modelDir);
    std::cout << "home:      " << home->string() << "\n"
              << "model:     " << modelDir.string() << " (" << net.filename().string() << " "
              << byteSize(fs::file_size(net, error)) << ", " << weights.filename().string() << " "
              << byteSize(fs::file_size(weights, error)) << ")\n";
    const std::vector<std::string> names = classNames(*home);
    if (!names.empty()) {
        std::cout << "classes:  ";
        for (const std::string& name : names) std::cout << " " << name;
        std::cout << "\n";
    }
    const std::string& database = collection.state().databasePath();
    const std::uintmax_t databaseBytes = fs::file_size(database, error);
    std::cout << "pictures:  " << collection.state().features().size() << "\n"
              << "database:  " << (*home / database).string() << " ("
              << (error ? std::string("not written yet") : byteSize(databaseBytes)) << ")\n"
              << "log:       " << (*home / EasyLog::TodaysFileName()).string() << std::endl;
    return kExitOk;
}

}  // namespace likeness_cli
