// A collection's home folder (model/, the feature file, stored pictures, the dated logs) and the
// search for the default model that `likeness init` copies into a new home.
#ifndef LIKENESS_HOST_HOME_H
#define LIKENESS_HOST_HOME_H

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace likeness_cli {

// One class name per line, in the order of the network's last layer.
inline constexpr const char* kClassNamesFile = "classes.txt";

struct ModelSource {
    std::filesystem::path dir;
    std::string origin;  // how it was found, for messages
    bool isDefault;      // found by the default lookup rather than named by the user
};

// A home's model folder, and the description and weights files in a model folder, named as the
// library looks for them (module/FeatureContract.h).
std::filesystem::path modelFolder(const std::filesystem::path& home);
std::filesystem::path netFileIn(const std::filesystem::path& modelDir);
std::filesystem::path weightsFileIn(const std::filesystem::path& modelDir);

// True when dir holds the description and weights files.
bool holdsModel(const std::filesystem::path& dir);

// Finds the model to copy into a new home, in this order: explicitDir (--model), then
// $LIKENESS_MODEL_DIR, then the installed <prefix>/share/likeness/model next to this program,
// then the source tree's model/ for a program run from its build tree. Every place looked at is
// appended to tried, so a failure can say where to put a model.
std::optional<ModelSource> findModel(const std::string& explicitDir, std::vector<std::string>& tried);

// Creates home (and its parents) with a copy of the model in home/model, and the folder pictures
// are stored in by default. Replaces an existing model only when replace is set. Throws
// std::runtime_error with a message for the user.
void createHome(const std::filesystem::path& home, const ModelSource& model, bool replace);

// What the classes of a model are: model/classes.txt holds one name a line, in output order, after
// an optional first line "# KIND" saying what they rate (the default model's: "content rating").
struct ModelClasses {
    std::string kind;
    std::vector<std::string> names;
};

// The kind of the default model's classes: they rate content for adult material.
inline constexpr const char* kContentRating = "content rating";

// The classes of the home's model; no names when it has no list.
ModelClasses modelClasses(const std::filesystem::path& home);

// While `likeness serve` runs on a home, the home's file kServingFile holds "PID ADDRESS" (its
// process and the address it answers at), so that a writer its lock refuses can say how to reach
// the collection instead of waiting for a service that does not finish by itself.
inline constexpr const char* kServingFile = "serving";

// The address of the service running on home, or empty when none is (no file, or its process is
// gone: a service that was killed leaves the file behind).
std::string runningServiceAddress(const std::filesystem::path& home);

// True when path (relative to the working directory, the home), with every symbolic link on it
// resolved, names something below home (or home itself, when that counts): what the service may
// serve, or a folder pictures may be stored in without --force.
bool liesInHome(const std::filesystem::path& home, const std::filesystem::path& path, bool homeCounts = false);
// True when the folder of path resolves to home or below it: deleting path then removes an entry
// of the home (a file, or a link but never what it points to).
bool entryLiesInHome(const std::filesystem::path& home, const std::filesystem::path& path);

}  // namespace likeness_cli

#endif
