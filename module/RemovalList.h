// The removal list: the keys taken out of a feature file since it was last compacted, kept in an
// append-only file beside it (the feature file's path + ".removed"), so that removing a picture
// costs one small synced append instead of a rewrite of the whole feature file.
//
// Each line names a key and how long the feature file was when the key was removed: the key's
// records before that point are removed; a record appended after it (the picture stored again)
// is not. The loader applies the list; a compaction leaves the removed records out of the new
// file and then deletes the list.
//
// A compaction first appends a line naming the new file's length, then renames the new file in
// place. A list that a crash kept from being deleted after that rename is therefore known not to
// apply to the file now in place (it has exactly that length), and the next writer deletes it. A
// compaction that never reached its rename leaves a list that still applies: the next writer cuts
// its last line off. Offsets stay valid because the feature file is otherwise only appended to (a
// failed append is cut back to where it began).
#ifndef LIKENESS_MODULE_REMOVALLIST_H
#define LIKENESS_MODULE_REMOVALLIST_H

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

// Where the removal list of the feature file at featurePath lies.
std::string removalListPath(const std::string& featurePath);

class RemovalList {
public:
    // Reads into list the list that applies to the feature file at featurePath while it is
    // featureBytes long: empty when there is none or when a finished compaction left it. Lines that
    // are no removal (torn by a crash, foreign) are skipped. False, with what could be read in
    // list, when the list exists but cannot be read whole.
    static bool read(const std::string& featurePath, std::uint64_t featureBytes, RemovalList& list);

    // True when the record of key that begins at offset in the feature file was removed.
    bool removes(const std::string& key, std::uint64_t offset) const {
        if (removedBefore.empty()) return false;
        const auto found = removedBefore.find(key);
        return found != removedBefore.end() && offset < found->second;
    }
    bool empty() const { return removedBefore.empty(); }

private:
    std::unordered_map<std::string, std::uint64_t> removedBefore;
};

// Settles what a compaction killed in the middle left (see above). Every writer of the feature
// file calls it before it writes. False, with errno set and the list as it was, when the list
// cannot be read or changed.
bool settleRemovalList(const std::string& featurePath);

// Removes keys from the feature file at featurePath: settles the list, then appends one line per
// key, at the feature file's present length, and syncs the list (and its folder when the list is
// new). True when every line is on the disk. False, with errno set, when any step fails: then the
// list is as it was, and the keys are not removed.
bool recordRemovals(const std::string& featurePath, const std::vector<std::string>& keys);

// For a compaction about to rename a new feature file of newBytes in place: appends the line that
// marks the list as folded into that file, and syncs it. True when there is no list.
bool markRemovalListFolded(const std::string& featurePath, std::uint64_t newBytes);

// Deletes the list, once its removals are in the feature file, and syncs its folder. True when
// there was none.
bool deleteRemovalList(const std::string& featurePath);

#endif
