// `likeness remove`: pictures taken out of the collection by key (their removal appended to the
// feature file's removal list), the records whose stored copy is gone (a compaction), or the stored
// copies that no record names, under the home's lock.
#include <filesystem>
#include <iostream>
#include <set>

#include <CLI/CLI.hpp>

#include "CommandSupport.h"
#include "Home.h"
#include "PictureFiles.h"
#include "commands/Commands.h"
#include "commands/Compaction.h"

namespace fs = std::filesystem;

namespace likeness_cli {
namespace {

struct RemoveOptions {
    std::vector<std::string> keys;
    bool missing = false;      // the records whose stored copy is gone, instead of keys
    bool unrecorded = false;   // the stored copies that no record names, instead of keys
    bool deleteFiles = false;  // also delete the removed pictures' stored copies
};

const char* const kKeyHint =
    "keys are written as search prints them (e.g. pictures/a.jpg); `likeness remove --missing` drops the "
    "records whose stored copy is gone";

// Takes the known keys out of the collection, then deletes their copies when asked.
int removeKeys(const RemoveOptions& options, const fs::path& home, const PathDisplay& display) {
    Collection collection;
    const FeatureMap& features = collection.features();
    std::vector<std::string> known;
    std::set<std::string> seen;
    std::size_t unknown = 0;
    for (const std::string& key : options.keys) {
        if (!seen.insert(key).second) continue;
        if (features.count(key) != 0) {
            known.push_back(key);
        } else {
            std::cerr << key << ": not in the collection" << std::endl;
            ++unknown;
        }
    }
    if (unknown > 0) std::cerr << "likeness: " << kKeyHint << std::endl;
    int status = unknown == 0 ? kExitOk : kExitSomeFailed;
    std::size_t removed = 0;
    if (!known.empty()) {
        const likeness::RemoveOutcome removal = collection.remove(known);
        if (removal.code != 0) {
            complain("nothing removed: " + removal.reason + " (see the log " + logShown(display) + ")");
            return kExitSomeFailed;
        }
        removed = removal.removed;
    }
    for (const std::string& key : known) {
        if (!options.deleteFiles) {
            std::cout << "removed " << key << std::endl;
            continue;
        }
        // A key edited into the feature file by hand may lead anywhere: nothing outside the home goes.
        if (!entryLiesInHome(home, key)) {
            std::cerr << key
                      << ": removed from the collection; its stored copy lies outside the home and is not deleted"
                      << std::endl;
            status = kExitSomeFailed;
            continue;
        }
        std::error_code error;
        fs::remove(key, error);
        if (error) {
            std::cerr << key
                      << ": removed from the collection, but its stored copy could not be deleted: " << error.message()
                      << std::endl;
            status = kExitSomeFailed;
        } else {
            std::cout << "removed " << key << " and deleted its stored copy" << std::endl;
        }
    }
    if (options.keys.size() > 1) std::cout << "removed " << removed << ", not found " << unknown << std::endl;
    if (!known.empty() && !options.deleteFiles)
        std::cout << (known.size() == 1 ? "its stored copy stays" : "their stored copies stay")
                  << " in the home: `likeness remove --unrecorded` lists the copies that no record names, and with "
                     "--delete-files deletes them"
                  << std::endl;
    return status;
}

// The stored copies that no record names: what removals without --delete-files leave behind. They
// are looked for in pictures/, where the command stores by default, and in every other top folder
// of the home that holds a stored picture, so that the home's other pictures (a folder of queries)
// are not taken for them.
int unrecordedCopies(const RemoveOptions& options, const fs::path& home) {
    Collection collection;
    const FeatureMap& features = collection.features();
    std::set<std::string> folders = {"pictures"};
    for (const auto& record : features) {
        const fs::path key(record.first);
        if (key.is_relative() && std::next(key.begin()) != key.end() && *key.begin() != ".." &&
            fs::is_directory(*key.begin()))
            folders.insert(key.begin()->string());
    }
    std::vector<std::string> existing;
    for (const std::string& folder : folders)
        if (fs::is_directory(folder) && liesInHome(home, folder)) existing.push_back(folder);
    const PictureList found = collectPictures(existing, "");
    int status = kExitOk;
    std::size_t count = 0;
    std::uintmax_t bytes = 0;
    for (const PictureToAdd& picture : found.pictures) {
        const std::string key = picture.saveDir + fs::path(picture.source).filename().string();
        if (features.count(key) != 0) continue;
        std::error_code error;
        const std::uintmax_t size = fs::file_size(key, error);
        if (!options.deleteFiles) {
            std::cout << key << std::endl;
        } else if (fs::remove(key, error); error) {
            std::cerr << key << ": cannot delete: " << error.message() << std::endl;
            status = kExitSomeFailed;
            continue;
        } else {
            std::cout << "deleted " << key << std::endl;
        }
        ++count;
        bytes += size;
    }
    std::cout << (options.deleteFiles ? "deleted " : "") << count << (count == 1 ? " stored copy" : " stored copies")
              << " that no record names (" << byteSize(bytes) << ")"
              << (options.deleteFiles || count == 0 ? "" : "; --delete-files deletes them") << std::endl;
    return status;
}

int runRemove(const GlobalOptions& global, const RemoveOptions& options) {
    if (static_cast<int>(options.missing) + static_cast<int>(options.unrecorded) +
            static_cast<int>(!options.keys.empty()) !=
        1) {
        complain(
            "name the keys to remove, or give --missing for the records whose stored copy is gone, or "
            "--unrecorded for the stored copies that no record names (one of the three)");
        return kExitUsage;
    }
    if (options.missing && options.deleteFiles) {
        complain("--delete-files has nothing to delete with --missing: those stored copies are gone");
        return kExitUsage;
    }
    const PathDisplay display;
    const std::optional<fs::path> home = enterHome(global.home);
    if (!home) return kExitUsage;
    const std::optional<likeness::WriterLock> lock = lockHome(*home);
    if (!lock) return kExitUsage;
    if (options.unrecorded) return unrecordedCopies(options, *home);
    return options.missing ? compactHome(true, display) : removeKeys(options, *home, display);
}

class RemoveCommand final : public Command {
public:
    void define(CLI::App& command) override {
        command.description(
            "Take pictures out of the collection by key, as search prints them; their stored copies stay unless "
            "--delete-files is given");
        command.add_option("KEY", options.keys, "Keys of stored pictures (e.g. pictures/a.jpg)");
        command.add_flag("--missing", options.missing, "Instead of keys: remove the records whose stored copy is gone");
        command.add_flag("--unrecorded", options.unrecorded,
                         "Instead of keys: list the stored copies that no record names (what removals left behind); "
                         "with --delete-files, delete them");
        command.add_flag("--delete-files", options.deleteFiles, "Also delete the removed pictures' stored copies");
    }
    int run(const GlobalOptions& global) override { return runRemove(global, options); }

private:
    RemoveOptions options;
};

}  // namespace

std::unique_ptr<Command> makeRemoveCommand() {
    return std::make_unique<RemoveCommand>();
}

}  // namespace likeness_cli
