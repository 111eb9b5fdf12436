// What the subcommands share: entering and locking the home, showing paths as the user can use
// them from where they started, and reporting adds.
#ifndef LIKENESS_HOST_COMMANDSUPPORT_H
#define LIKENESS_HOST_COMMANDSUPPORT_H

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Outcome.h"
#include "Progress.h"
#include "module/Collection.h"
#include "module/WriterLock.h"

namespace likeness_cli {

// The home's collection, opened by the command in the home and closed however it ends.
using likeness::Collection;

// "likeness: message" on standard error.
void complain(const std::string& message);

// Changes into the home when it holds a model; otherwise says how to make one.
std::optional<std::filesystem::path> enterHome(const std::string& home);

// Takes the home's writer lock for a command that changes the home (module/FeatureFileRewrite.h
// and the appends need one writer at a time); says why not when another process holds it.
std::optional<likeness::WriterLock> lockHome(const std::filesystem::path& home);

// text as one word of a shell command line: as it is when nothing in it is special to the shell,
// else in single quotes.
std::string shellWord(const std::string& text);

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

// A picture named to search or classify: as the user gave it (or, for one found in a folder, as
// display shows it) and where it is (absolute), or a URL.
struct PictureArgument {
    std::string shown;
    std::string path;
    std::string problem;  // why it names no picture, when that is known already
};

// The pictures that arguments name, for a command that has entered the home, started in start:
// a URL as it is; a path as it reads from start or, when nothing is there, from the home, so that
// a key as search prints it names its stored picture from anywhere; a folder as the pictures a
// walk finds in it, as add walks. A path that names nothing stays, for the command to say so.
// Each names its problem when it names no picture: no such file, cannot read, a folder without one.
std::vector<PictureArgument> pictureArguments(const std::vector<std::string>& arguments,
                                              const std::filesystem::path& start, const PathDisplay& display);

// Empty when the file can be opened for reading, else why not (e.g. "Permission denied").
std::string unreadableReason(const std::string& file);

// Reports one add's outcome on progress's display and counts it in tally: failures always, the
// pictures added and the duplicates (what a rerun finds stored already) only when everyOutcome.
void reportAdd(Progress& progress, const Outcome& outcome, bool everyOutcome, Tally& tally);

// The library's log, as display shows it: where the details of a failure are.
std::string logShown(const PathDisplay& display);

}  // namespace likeness_cli

#endif
