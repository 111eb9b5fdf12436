// Splitting a home into shards by their keys, and joining shards into one home again: what
// `likeness shard` and `likeness merge` do. A key's shard is likeness::shardOf, the rule a sharded
// collection routes its adds by. Both build the new folder beside its final place, check that
// every picture arrived (each new home is loaded by the library and counted) and only then rename
// it in, so an interruption or a failed check leaves nothing half made and the sources untouched.
#ifndef LIKENESS_HOST_SHARDING_H
#define LIKENESS_HOST_SHARDING_H

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace likeness_cli {

// The file a folder of shards holds beside their homes: how many there are, their folder names in
// shard order and how many pictures each held when it was made.
inline constexpr const char* kShardsManifest = "shards.json";

// The home of shard index in a folder of shards: "shard-0", "shard-1", ...
std::string shardHomeName(std::size_t index);

// Reads the homes a folder of shards lists, in shard order, as absolute paths. Throws
// std::runtime_error, saying why, when the manifest is missing or not one `likeness shard` writes.
std::vector<std::filesystem::path> shardHomes(const std::filesystem::path& shardsFolder);

// Splits the collection of home into count homes in outFolder, which must not exist: each holds the
// records of its keys, byte for byte, the stored copies of those keys (hard links where the file
// system allows, copies elsewhere) and a copy of the model. home is locked by the caller. Prints
// what it did; returns the exit status.
int splitHome(const std::filesystem::path& home, std::size_t count, const std::filesystem::path& outFolder);

// Joins the shards of shardsFolder into newHome, which must not exist. Refuses shards whose models
// differ or that share a key. Takes every shard's lock. Prints what it did; returns the exit status.
int mergeShards(const std::filesystem::path& shardsFolder, const std::filesystem::path& newHome);

}  // namespace likeness_cli

#endif
