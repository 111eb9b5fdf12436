// What the subcommands share: the module's lifetime, entering the home, showing paths as the user
// can use them from where they started, and reading back why a library call failed.
#ifndef LIKENESS_HOST_COMMANDSUPPORT_H
#define LIKENESS_HOST_COMMANDSUPPORT_H

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "HomeLock.h"
#include "LibraryLog.h"
#include "Outcome.h"
#include "Progress.h"
#include "module/Module.h"

namespace likeness_cli {

// The module from InitialModule, handed back to ExitModule however the command ends.
class Collection {
public:
    Collection();
    ~Collection();
    Collection(const Collection&) = delete;
    Collection& operator=(const Collection&) = delete;

    IModule& operations() { return *module; }
    const ImplIModule& state() const { return *module; }
    int removePictures(const std::vector<std::string>& keys, std::size_t* removed) {
        return module->removePictures(keys, removed);
    }

private:
    ImplIModule* module;
};

// "likeness: message" on standard error.
void complain(const std::string& message);

// Changes into the home when it holds a model; otherwise says how to make one.
std::optional<std::filesystem::path> enterHome(const std::string& home);

// Takes the home's writer lock for a command that changes the home (module/FeatureFileRewrite.h
// and the appends need one writer at a time); says why not when another process holds it.
std::optional<HomeLock> lockHome(const std::filesystem::path& home);

// "812 bytes", "4.6 MiB": a size for people.
std::string byteSize(std::uintmax_t bytes);

// How a path is shown: relative to where the user started when it lies below, else absolute.
class PathDisplay {
public:
    PathDisplay() : start(std::filesystem::current_path()) {}
    std::string operator()(const std::string& path) const;

private:
    std::filesystem::path start;
};

bool isUrl(const std::string& text);

// The library writes a stored picture straight to its key, so the key's folder must exist.
void ensureFolder(const std::string& saveDir, std::set<std::string>& created);

// False, after saying why, when the --into prefix would store pictures outside the home (an
// absolute path, or one that climbs out with ".."), unless force allows it.
bool intoAccepted(const std::string& prefix, bool force);

// Empty when the file can be opened for reading, else why not (e.g. "Permission denied").
std::string unreadableReason(const std::string& file);

// Reports one add's outcome on progress's display: problems always, successes when announceAdded;
// and counts it in tally.
void reportAdd(Progress& progress, const Outcome& outcome, bool announceAdded, Tally& tally);

// Watches the library's log across one call, and turns what it wrote into the details of a failure.
class CallLog {
public:
    explicit CallLog(const PathDisplay& display);
    std::vector<std::string> messages() const { return watch.messages(); }
    FailureDetails details() const;

private:
    LogWatch watch;
    std::string logShown;
};

}  // namespace likeness_cli

#endif
