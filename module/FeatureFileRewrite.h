// Compacting the feature file in place: rewriting it without what the loader skips anyway. A crash
// or a failed step leaves either the old file or the new one.
#ifndef LIKENESS_MODULE_FEATUREFILEREWRITE_H
#define LIKENESS_MODULE_FEATUREFILEREWRITE_H

#include <cstddef>
#include <string>
#include <vector>

#include "module/Export.h"

// What a rewrite did with the lines of the old file. A record is a line the loader reads as a key
// and its values, whether or not its key's file exists.
struct RewriteCounts {
    std::size_t kept = 0;        // records written to the new file
    std::size_t removed = 0;     // records that the removal list removes
    std::size_t torn = 0;        // lines that are no record: torn by a crash, damaged, too long, foreign
    std::size_t duplicates = 0;  // records that a later record of the same key replaces
    std::size_t missing = 0;     // last records of keys that name no file the loader accepts
};

enum class RewriteOutcome {
    // The file holds the new lines and they are synced, or nothing had to go and it was left alone.
    rewritten,
    // Nothing changed: the old file is in place, byte for byte. errno tells why.
    failed,
    // The new file is in place but its folder could not be synced: a power cut may bring the old
    // one back. errno tells why.
    folderNotSynced,
};

// Rewrites the feature file at path, for records of featDim values, keeping only the records the
// loader would load, byte for byte and in file order: no line that is no record, no record that a
// later one of its key replaces or that the removal list (module/RemovalList.h) removes, no record
// whose key names no existing regular file that the key rules allow (for the feature file path and
// the library's log). The keys of those last records are appended to goneKeys when it is given.
// Once the new file is in place, the removal list goes. A missing file is an empty collection:
// rewritten, nothing counted.
//
// The new file is written beside the old one (path + ".partial-PID-N"), synced, renamed over it,
// and its folder synced; on a failure before the rename it is removed. What an earlier process
// killed in the middle left beside path is removed first. The old file is read in blocks twice;
// memory holds one block, every distinct key once, and no vector.
LIKENESS_API RewriteOutcome compactFeatureFile(const std::string& path, int featDim, RewriteCounts& counts,
                                               std::vector<std::string>* goneKeys = nullptr);

// The key of a line of a feature file read as the loader reads it (spaces and "|"s before it
// skipped), or an empty string when the line (without its line feed) is no record of featDim
// values: what a host that moves records between feature files routes them by.
LIKENESS_API std::string recordKey(const std::string& line, int featDim);

#endif
