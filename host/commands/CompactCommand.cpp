// `likeness compact`: the feature file rewritten without what it loads nothing from, in its place
// and under the home's lock, so a crash leaves either the old file or the new one.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>

#include <CLI/CLI.hpp>

#include "commands/Commands.h"
#include "commands/Compaction.h"
#include "module/CollectionFiles.h"
#include "module/FeatureContract.h"
#include "module/FeatureFileRewrite.h"

namespace fs = std::filesystem;

namespace likeness_cli {
namespace {

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

int runCompact(const GlobalOptions& global) {
    const PathDisplay display;
    const std::optional<fs::path> home = enterHome(global.home);
    if (!home) return kExitUsage;
    const std::optional<likeness::WriterLock> lock = lockHome(*home);
    if (!lock) return kExitUsage;
    return compactHome(global.verbose, display);
}

class CompactCommand final : public Command {
public:
    void define(CLI::App& command) override {
        command.description(
            "Rewrite the feature file without what it loads nothing from: torn or damaged lines, records replaced "
            "by a later one of their key, records whose stored copy is gone (-v lists those keys)");
    }
    int run(const GlobalOptions& global) override { return runCompact(global); }
};

}  // namespace

int compactHome(bool listGoneKeys, const PathDisplay& display) {
    const std::string database = likeness::kDefaultFeatureFile;
    const std::uintmax_t sizeBefore = sizeOf(database);
    RewriteCounts counts;
    std::vector<std::string> gone;
    const RewriteOutcome outcome = compactFeatureFile(database, likeness::kFeatureDim, counts, &gone);
    const std::string why = std::strerror(errno);
    if (outcome == RewriteOutcome::failed) {
        complain("nothing changed: cannot rewrite the feature file: " + why + " (see the log " + logShown(display) +
                 ")");
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
        complain("the feature file was rewritten but its folder could not be synced (" + why +
                 "): a power cut may bring the old one back (see the log " + logShown(display) + ")");
        return kExitSomeFailed;
    }
    return kExitOk;
}

std::unique_ptr<Command> makeCompactCommand() {
    return std::make_unique<CompactCommand>();
}

}  // namespace likeness_cli
