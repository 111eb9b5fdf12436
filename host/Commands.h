// The subcommands of the likeness command, each taking its parsed options and returning the
// process exit status. They talk to the library only through InitialModule, IModule,
// ExitModule and VnnClassifier, as any host would.
#ifndef LIKENESS_HOST_COMMANDS_H
#define LIKENESS_HOST_COMMANDS_H

#include <cstddef>
#include <string>
#include <vector>

#include "module/FeatureContract.h"

namespace likeness_cli {

struct GlobalOptions {
    std::string home = ".";
    bool quiet = false;    // no progress display
    bool verbose = false;  // a line for every picture added, not only for the problems
};

struct InitOptions {
    std::string dir;  // the home to create; --home when empty
    std::string modelDir;
    bool force = false;
};

struct AddOptions {
    std::vector<std::string> paths;
    std::string into = "pictures/";
    bool allowCopies = false;  // store a file even when a stored picture has the same bytes
    bool force = false;        // accept an --into outside the home
};

struct AddUrlOptions {
    std::vector<std::string> urls;
    std::string fromFile;
    std::string into = "pictures/";
    bool batch = false;
    bool force = false;
};

struct SearchOptions {
    std::vector<std::string> queries;
    int count = 10;
    bool json = false;
    std::string htmlFile;
};

struct RemoveOptions {
    std::vector<std::string> keys;
    bool missing = false;      // the records whose stored copy is gone, instead of keys
    bool deleteFiles = false;  // also delete the removed pictures' stored copies
};

struct ServeOptions {
    std::string listen = "127.0.0.1:8790";  // ADDRESS:PORT; port 0 picks a free one
    std::size_t maxBodyBytes = std::size_t{64} << 20;
    int timeLimitSeconds = 60;
};

struct DupesOptions {
    double threshold = likeness::kSamePictureDistance;  // pairs closer than this are near-duplicates
    bool json = false;
    std::string htmlFile;
    std::string keep;  // "largest", "oldest", "first" or empty
};

int runInit(const GlobalOptions& global, const InitOptions& options);
int runAdd(const GlobalOptions& global, const AddOptions& options);
int runAddUrl(const GlobalOptions& global, const AddUrlOptions& options);
int runSearch(const GlobalOptions& global, const SearchOptions& options);
int runDupes(const GlobalOptions& global, const DupesOptions& options);
int runClassify(const GlobalOptions& global, const std::vector<std::string>& picturePaths);
int runInfo(const GlobalOptions& global);
int runRemove(const GlobalOptions& global, const RemoveOptions& options);
int runCompact(const GlobalOptions& global);
int runServe(const GlobalOptions& global, const ServeOptions& options);

}  // namespace likeness_cli

#endif
