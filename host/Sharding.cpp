// Shards and their merge. The records that move are the ones the library loads, taken from a
// compaction of a link to the source's feature file (module/FeatureFileRewrite.h), so that the
// removal list, replaced records and records of vanished pictures are settled as the loader settles
// them, and every record moves byte for byte: a shard loads exactly the vectors its source did.
#include "Sharding.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <unordered_map>

#include <nlohmann/json.hpp>

#include "CommandSupport.h"
#include "Home.h"
#include "module/CollectionFiles.h"
#include "module/FeatureContract.h"
#include "module/FeatureFileRewrite.h"
#include "module/ShardKey.h"

namespace fs = std::filesystem;

namespace likeness_cli {
namespace {

std::runtime_error failure(const std::string& what, const std::error_code& error) {
    return std::runtime_error(what + ": " + error.message());
}

std::runtime_error failureFromErrno(const std::string& what) {
    return failure(what, std::error_code(errno, std::generic_category()));
}

void enter(const fs::path& folder) {
    if (chdir(folder.c_str()) != 0) throw failureFromErrno("cannot enter " + folder.string());
}

void syncFolder(const fs::path& folder) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || fsync(fd) != 0) {
        const int cause = errno;
        if (fd >= 0) close(fd);
        errno = cause;
        throw failureFromErrno("cannot sync " + folder.string());
    }
    close(fd);
}

// A folder made beside its final place (the same name + ".partial") and renamed there only once it
// is whole; removed when that never happens. What a killed run left under that name goes first.
class StagedFolder {
public:
    explicit StagedFolder(const fs::path& finalPlace) : place(finalPlace), staging(finalPlace.string() + ".partial") {
        std::error_code error;
        if (fs::exists(fs::symlink_status(place, error))) throw std::runtime_error(place.string() + " exists already");
        fs::remove_all(staging, error);
        if (!error) fs::create_directories(staging, error);
        if (error) throw failure("cannot create " + staging.string(), error);
    }
    ~StagedFolder() {
        std::error_code ignored;
        if (!published) fs::remove_all(staging, ignored);
    }
    StagedFolder(const StagedFolder&) = delete;
    StagedFolder& operator=(const StagedFolder&) = delete;

    const fs::path& path() const { return staging; }

    // Everything written below it reaches the disk, then it takes its place, which nothing may have
    // taken meanwhile.
    void publish() {
        const int fd = open(staging.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const bool synced = fd >= 0 && syncfs(fd) == 0;
        if (fd >= 0) close(fd);
        if (!synced) throw failureFromErrno("cannot sync " + staging.string());
        if (renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, place.c_str(), RENAME_NOREPLACE) != 0)
            throw failureFromErrno("cannot rename " + staging.string() + " to " + place.string());
        published = true;
        syncFolder(place.parent_path());
    }

private:
    fs::path place;
    fs::path staging;
    bool published = false;
};

// A new feature file, written in large pieces and synced when finished.
class RecordFile {
public:
    explicit RecordFile(const fs::path& path) : path(path), file(std::fopen(path.c_str(), "wbx")) {
        if (!file) throw failureFromErrno("cannot create " + path.string());
    }
    ~RecordFile() {
        if (file) std::fclose(file);
    }
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;

    void write(const std::string& line) {
        if (std::fwrite(line.data(), 1, line.size(), file) != line.size() || std::fputc('\n', file) == EOF)
            throw failureFromErrno("cannot write " + path.string());
        ++written;
    }
    void finish() {
        const bool done = std::fflush(file) == 0 && fsync(fileno(file)) == 0;
        const int cause = errno;
        std::fclose(file);
        file = nullptr;
        errno = cause;
        if (!done) throw failureFromErrno("cannot write " + path.string());
    }
    std::size_t records() const { return written; }

private:
    fs::path path;
    std::FILE* file;
    std::size_t written = 0;
};

// Hands each record the library loads from home's feature file to take, with its key, in file order.
// The process moves into home, where the keys lead. Throws when the records cannot be read.
void forEachLoadedRecord(const fs::path& home, const fs::path& workFolder,
                         const std::function<void(const std::string& key, const std::string& line)>& take) {
    enter(home);
    const fs::path records = workFolder / "records";
    const fs::path source = home / likeness::kDefaultFeatureFile;
    std::error_code error;
    fs::remove(records, error);
    fs::remove(records.string() + ".removed", error);
    if (fs::exists(source)) {
        // A link costs nothing and the compaction renames its new file over the link, never writing
        // into the source. The removal list is appended to, so it is copied.
        fs::create_hard_link(source, records, error);
        if (error) fs::copy_file(source, records, error);
        if (error) throw failure("cannot read " + source.string(), error);
        const fs::path removals = source.string() + ".removed";
        if (fs::exists(removals)) fs::copy_file(removals, records.string() + ".removed", error);
        if (error) throw failure("cannot read " + removals.string(), error);
    }
    RewriteCounts counts;
    if (compactFeatureFile(records.string(), likeness::kFeatureDim, counts) == RewriteOutcome::failed)
        throw failureFromErrno("cannot read the records of " + source.string());
    std::ifstream in(records);
    for (std::string line; std::getline(in, line);) take(recordKey(line, likeness::kFeatureDim), line);
    if (in.bad()) throw failureFromErrno("cannot read the records of " + source.string());
    fs::remove(records, error);
}

// The stored copy of key in home, placed at key in target: a hard link, or a copy on another file
// system. Keys leading out of their home cannot move with it.
void placeStoredCopy(const fs::path& home, const std::string& key, const fs::path& target) {
    const fs::path relative = fs::path(key).lexically_normal();
    if (relative.is_absolute() || relative.empty() || *relative.begin() == "..")
        throw std::runtime_error("the stored copy of " + key + " lies outside its home " + home.string() +
                                 " and cannot move with it");
    const fs::path from = home / relative;
    const fs::path to = target / relative;
    std::error_code error;
    fs::create_directories(to.parent_path(), error);
    if (error) throw failure("cannot create " + to.parent_path().string(), error);
    if (linkat(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), AT_SYMLINK_FOLLOW) == 0) return;
    fs::copy_file(from, to, error);
    if (error) throw failure("cannot copy " + from.string() + " to " + to.string(), error);
}

// The keys the library loads from the home, which holds a model; the process moves into it.
std::vector<std::string> loadedKeys(const fs::path& home) {
    enter(home);
    return likeness::Collection(likeness::kDefaultFeatureFile).keys();
}

bool sameFileContents(const fs::path& first, const fs::path& second) {
    std::ifstream a(first, std::ios::binary);
    std::ifstream b(second, std::ios::binary);
    return a && b && std::equal(std::istreambuf_iterator<char>(a), {}, std::istreambuf_iterator<char>(b), {});
}

bool sameModel(const fs::path& firstHome, const fs::path& secondHome) {
    const fs::path first = modelFolder(firstHome);
    const fs::path second = modelFolder(secondHome);
    return sameFileContents(netFileIn(first), netFileIn(second)) &&
           sameFileContents(weightsFileIn(first), weightsFileIn(second));
}

std::string countsText(const std::vector<std::size_t>& counts) {
    std::string text;
    for (std::size_t i = 0; i < counts.size(); ++i)
        text += (i == 0 ? "" : ", ") + shardHomeName(i) + " " + std::to_string(counts[i]);
    return text;
}

void writeManifest(const fs::path& folder, const std::vector<std::size_t>& counts) {
    nlohmann::ordered_json manifest;
    manifest["shards"] = counts.size();
    manifest["key_rule"] = "64-bit FNV-1a of the key's bytes, modulo the number of shards";
    nlohmann::ordered_json homes = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < counts.size(); ++i)
        homes.push_back({{"home", shardHomeName(i)}, {"pictures", counts[i]}});
    manifest["homes"] = homes;
    std::ofstream out(folder / kShardsManifest);
    out << manifest.dump(2) << "\n";
    if (!out.flush()) throw failureFromErrno("cannot write " + (folder / kShardsManifest).string());
}

}  // namespace

std::string shardHomeName(std::size_t index) {
    return "shard-" + std::to_string(index);
}

std::vector<fs::path> shardHomes(const fs::path& shardsFolder) {
    const fs::path file = shardsFolder / kShardsManifest;
    std::ifstream in(file);
    if (!in)
        throw std::runtime_error(file.string() + " is missing: " + shardsFolder.string() +
                                 " is no folder of shards made by likeness shard");
    const nlohmann::json manifest = nlohmann::json::parse(in, nullptr, false);
    std::vector<fs::path> homes;
    if (manifest.is_object() && manifest.contains("homes") && manifest["homes"].is_array())
        for (const nlohmann::json& entry : manifest["homes"])
            if (entry.is_object() && entry.contains("home") && entry["home"].is_string())
                homes.push_back(fs::absolute(shardsFolder / entry["home"].get<std::string>()).lexically_normal());
    if (homes.empty() || !manifest.contains("shards") || manifest["shards"] != homes.size())
        throw std::runtime_error(file.string() + " does not list the shards' homes");
    return homes;
}

int splitHome(const fs::path& home, std::size_t count, const fs::path& outFolder) {
    StagedFolder staged(outFolder);
    std::vector<fs::path> shards;
    std::vector<std::unique_ptr<RecordFile>> files;
    const ModelSource model{modelFolder(home), "the home", false};
    for (std::size_t i = 0; i < count; ++i) {
        shards.push_back(staged.path() / shardHomeName(i));
        createHome(shards.back(), model, false);
        files.push_back(std::make_unique<RecordFile>(shards.back() / likeness::kDefaultFeatureFile));
    }
    forEachLoadedRecord(home, staged.path(), [&](const std::string& key, const std::string& line) {
        const std::size_t shard = likeness::shardOf(key, count);
        placeStoredCopy(home, key, shards[shard]);
        files[shard]->write(line);
    });
    std::vector<std::size_t> counts;
    std::size_t total = 0;
    for (std::unique_ptr<RecordFile>& file : files) {
        file->finish();
        counts.push_back(file->records());
        total += counts.back();
    }
    // Every record went to one shard; now every shard must load all of its own, and only those.
    for (std::size_t i = 0; i < count; ++i) {
        const std::vector<std::string> keys = loadedKeys(shards[i]);
        if (keys.size() != counts[i])
            throw std::runtime_error(shardHomeName(i) + " loads " + std::to_string(keys.size()) + " pictures of the " +
                                     std::to_string(counts[i]) + " written to it; nothing was made");
        for (const std::string& key : keys)
            if (likeness::shardOf(key, count) != i)
                throw std::runtime_error(key + " landed in " + shardHomeName(i) + ", not its shard; nothing was made");
    }
    enter(home);
    writeManifest(staged.path(), counts);
    staged.publish();
    std::cout << "split " << home.string() << " (" << total << " pictures) into " << count << " homes in "
              << outFolder.string() << ": " << countsText(counts) << std::endl;
    return kExitOk;
}

int mergeShards(const fs::path& shardsFolder, const fs::path& newHome) {
    const std::vector<fs::path> homes = shardHomes(shardsFolder);
    std::string missing;
    for (const fs::path& home : homes)
        if (!holdsModel(modelFolder(home))) missing += (missing.empty() ? "" : ", ") + home.string();
    if (!missing.empty()) {
        complain("nothing merged: these shards are missing or hold no model: " + missing);
        return kExitSomeFailed;
    }
    for (const fs::path& home : homes) {
        if (!sameModel(homes.front(), home)) {
            complain("nothing merged: " + home.string() + " has another model than " + homes.front().string() +
                     ", so their vectors cannot be compared");
            return kExitSomeFailed;
        }
    }
    std::vector<likeness::WriterLock> locks;
    for (const fs::path& home : homes) {
        std::optional<likeness::WriterLock> lock = lockHome(home);
        if (!lock) return kExitSomeFailed;
        locks.push_back(std::move(*lock));
    }
    StagedFolder staged(newHome);
    createHome(staged.path(), ModelSource{modelFolder(homes.front()), "the first shard", false}, false);
    RecordFile merged(staged.path() / likeness::kDefaultFeatureFile);
    std::unordered_map<std::string, std::size_t> shardOfKey;
    std::vector<std::size_t> counts;
    for (std::size_t i = 0; i < homes.size(); ++i) {
        const std::size_t before = merged.records();
        forEachLoadedRecord(homes[i], staged.path(), [&](const std::string& key, const std::string& line) {
            const auto [entry, fresh] = shardOfKey.emplace(key, i);
            if (!fresh)
                throw std::runtime_error(key + " is in both " + homes[entry->second].string() + " and " +
                                         homes[i].string() + "; nothing was merged");
            placeStoredCopy(homes[i], key, staged.path());
            merged.write(line);
        });
        counts.push_back(merged.records() - before);
    }
    merged.finish();
    const std::size_t loaded = loadedKeys(staged.path()).size();
    if (loaded != merged.records())
        throw std::runtime_error("the merged home loads " + std::to_string(loaded) + " pictures of the " +
                                 std::to_string(merged.records()) + " written to it; nothing was made");
    enter(shardsFolder);
    staged.publish();
    std::cout << "merged " << homes.size() << " shards of " << shardsFolder.string() << " (" << countsText(counts)
              << ") into " << newHome.string() << ": " << loaded << " pictures" << std::endl;
    return kExitOk;
}

}  // namespace likeness_cli
