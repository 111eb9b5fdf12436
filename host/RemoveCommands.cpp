// `likeness remove` and `likeness compact`: both rewrite the feature file in its place, under the
// home's lock, so a crash leaves either the old file or the new one.
#include <filesystem>
#include <iostream>
#include <set>

#include "CommandSupport.h"
#include "Commands.h"
#include "module/CollectionFiles.h"
#include "module/FeatureContract.h"
#include "module/FeatureFileRewrite.h"

namespace fs = std::filesystem;

namespace likeness_cli {
namespace {

const char* const kKeyHint =
    "keys are written as search prints them (e.g. pictures/a.jpg); `likeness remove --missing` drops the "
    "records whose stored copy is gone";

std::uintmax_t sizeOf(const std::string& file) {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(file, error);
    return error ? 0 : size;
}

// Why a compaction dropped the last record of key.
std::string goneReason(const std::string& key) {
    std::error_code error;
    return fs::exists(fs::symlink_status(key, error))
               ? "not a key the collection can load (a folder, or one of its own files)"
               : "no stored copy";
}

// Rewrites the feature file without what it loads nothing from, and says what went.
int compact(bool listGoneKeys, const PathDisplay& display) {
    const std::string database = likeness::kDefaultFeatureFile;
    const std::uintmax_t sizeBefore = sizeOf(database);
    const CallLog log(display);
    RewriteCounts counts;
    std::vector<std::string> gone;
    const RewriteOutcome outcome = compactFeatureFile(database, likeness::kFeatureDim, counts, &gone);
    if (outcome == RewriteOutcome::failed) {
        complain("nothing changed: cannot rewrite the feature file " + log.details().reason + " (see the log " +
                 log.details().logShown + ")");
        return kExitSomeFailed;
    }
    if (listGoneKeys)
        for (const std::string& key : gone) std::cout << "removed " << key << ": " << goneReason(key) << "\n";
    const std::size_t dropped = counts.torn + counts.duplicates + counts.missing;
    if (dropped == 0) {
        std::cout << database << " is compact: " << counts.kept << " records, " << byteSize(sizeBefore) << std::endl;
    } else {
        std::cout << "compacted " << database << ": kept " << counts.kept << " records; dropped " << counts.torn
                  << " torn or damaged lines, " << counts.duplicates
                  << " records replaced by a later one of their key, " << counts.missing
                  << " records of keys with no stored copy (" << byteSize(sizeBefore) << " -> "
                  << byteSize(sizeOf(database)) << ")" << std::endl;
    }
    if (outcome == RewriteOutcome::folderNotSynced) {
        complain(
            "the feature file was rewritten but its folder could not be synced: a power cut may bring the old "
            "one back (see the log " +
            log.details().logShown + ")");
        return kExitSomeFailed;
    }
    return kExitOk;
}

// Takes the known keys out of the collection, then deletes their copies when asked.
int removeKeys(const RemoveOptions& options, const PathDisplay& display) {
    Collection collection;
    const FeatureMap& features = collection.state().features();
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
        const CallLog log(display);
        const int code = collection.removePictures(known, &removed);
        if (code != 0 && removed == 0) {
            complain("nothing removed: cannot rewrite the feature file " + log.details().reason + " (see the log " +
                     log.details().logShown + ")");
            return kExitSomeFailed;
        }
        if (code != 0) {
            complain(
                "the feature file was rewritten but its folder could not be synced: a power cut may bring the "
                "removed pictures back (see the log " +
                log.details().logShown + ")");
            status = kExitSomeFailed;
        }
    }
    for (const std::string& key : known) {
        if (!options.deleteFiles) {
            std::cout << "removed " << key << std::endl;
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
    return status;
}

}  // namespace

int runRemove(const GlobalOptions& global, const RemoveOptions& options) {
    if (options.missing == !options.keys.empty()) {
        complain("name the keys to remove, or give --missing for the records whose stored copy is gone (not both)");
        return kExitUsage;
    }
    if (options.missing && options.deleteFiles) {
        complain("--delete-files has nothing to delete with --missing: those stored copies are gone");
        return kExitUsage;
    }
    const PathDisplay display;
    const std::optional<fs::path> home = enterHome(global.home);
    if (!home) return kExitUsage;
    const std::optional<HomeLock> lock = lockHome(*home);
    if (!lock) return kExitUsage;
    return options.missing ? compact(true, display) : removeKeys(options, display);
}

int runCompact(const GlobalOptions& global) {
    const PathDisplay display;
    const std::optional<fs::path> home = enterHome(global.home);
    if (!home) return kExitUsage;
    const std::optional<HomeLock> lock = lockHome(*home);
    if (!lock) return kExitUsage;
    return compact(global.verbose, display);
}

}  // namespace likeness_cli
