// Near-duplicate groups of a collection: stored pictures joined, directly or through one another,
// by pairs closer than a threshold, and which picture of each group a user would keep.
#ifndef LIKENESS_HOST_DUPLICATES_H
#define LIKENESS_HOST_DUPLICATES_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "PhotoDate.h"
#include "module/FeatureMap.h"
#include "module/NearPairs.h"

namespace likeness_cli {

// What the file system and the file itself say of a stored picture's file, when they can be asked.
struct FileFacts {
    std::uintmax_t bytes = 0;
    std::int64_t modifiedSeconds = 0;  // since 1970, UTC
    long modifiedNanoseconds = 0;
    std::optional<PhotoDate> taken;  // when the photo was taken, when it says so
};

struct DuplicateMember {
    std::string key;
    std::optional<FileFacts> file;  // none when the file cannot be examined
    // The library's distance from the group's first member (100 for that member itself): how far
    // a chain of close pairs has led from it.
    float distanceToFirst = 0;
};

// Two members of a group, by their places in it, and their distance.
struct DuplicatePair {
    std::size_t first;
    std::size_t second;
    float distance;
};

struct DuplicateGroup {
    std::vector<DuplicateMember> members;  // in key order
    std::vector<DuplicatePair> pairs;      // every pair below the threshold, by first member, then second
    std::optional<std::size_t> kept;       // the member to keep, when a rule was asked for
};

enum class KeepRule { none, largest, oldest, first };

// A group larger than this is no set of copies of one picture: the threshold lets chains of close
// pairs join unrelated pictures, and the command says so.
inline constexpr std::size_t kLargeGroup = 50;

// The groups the pairs join (each pair's keys in key order, as nearPairs gives them): largest
// group first, groups of one size by their first key. Members carry no file facts yet.
std::vector<DuplicateGroup> groupPairs(const std::vector<likeness::NearPair>& pairs);

// Sets each member's distanceToFirst from the stored vectors of features.
void measureFromFirst(DuplicateGroup& group, const FeatureMap& features);

// Reads the size, modification time and taken date of each member's file, its key being its path.
void readFileFacts(DuplicateGroup& group);

// Sets group.kept by rule: the largest file, the oldest photo (its taken date where the file holds
// one, else its modification time) or the first key; ties go to the first key, and a member whose file cannot be
// examined is chosen only by `first` or when no file of the group can be examined.
void chooseKept(DuplicateGroup& group, KeepRule rule);

// "2026-12-09T05:20:49Z"
std::string utcTimeText(std::int64_t secondsSince1970);

}  // namespace likeness_cli

#endif
