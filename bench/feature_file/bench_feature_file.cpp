// Speed of the feature file: loading, record writing and the cost of syncing each add, each next
// to its plain reference (tests/LiteralFeatureFile.h) in the same run, on a synthetic collection
// shaped like the default model's (512 dense signed values of norm 30 per picture, ~4.7 KB a
// record, one stored file per key). Adds its figures to the JSON file --json (created if absent).
//
//   bench_feature_file [--records N] [--literal-records N] [--adds N] [--work DIR] [--json FILE]
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "LiteralFeatureFile.h"
#include "log/EasyLog.h"
#include "module/FeatureDB.h"
#include "module/FeatureLoader.h"
#include "module/FileIo.h"
#include "module/KeyFileCheck.h"

namespace fs = std::filesystem;

namespace {

constexpr int kFeatureDim = 512;
constexpr double kFeatureNorm = 30.0;
const char* const kDatabase = "feat.txt";

struct Options {
    std::size_t records = 100000;
    std::size_t literalRecords = 20000;  // the literal writer and key check run on this many
    std::size_t adds = 50;
    fs::path work = "build/bench/feature-file";
    fs::path json = "build/bench/perf.json";
};

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (i + 1 >= argc) throw std::runtime_error("missing value after " + flag);
        const std::string value = argv[++i];
        if (flag == "--records") {
            options.records = std::stoul(value);
        } else if (flag == "--literal-records") {
            options.literalRecords = std::stoul(value);
        } else if (flag == "--adds") {
            options.adds = std::stoul(value);
        } else if (flag == "--work") {
            options.work = value;
        } else if (flag == "--json") {
            options.json = value;
        } else {
            throw std::runtime_error("unknown option " + flag);
        }
    }
    if (options.records == 0 || options.adds == 0) throw std::runtime_error("--records and --adds must be positive");
    options.literalRecords = std::min(options.literalRecords, options.records);
    return options;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The CPU time of this process so far, user and system (reads copy in the kernel): on a shared
// machine it shows what a step costs when the wall clock also counts other programs' turns.
double cpuSeconds() {
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::vector<float> syntheticFeature(std::mt19937& random) {
    std::normal_distribution<float> value(0.0f, 1.0f);
    std::vector<float> feature(kFeatureDim);
    double squares = 0;
    for (float& element : feature) {
        element = value(random);
        squares += static_cast<double>(element) * element;
    }
    const float scale = static_cast<float>(kFeatureNorm / std::sqrt(squares));
    for (float& element : feature) element *= scale;
    return feature;
}

std::string keyOf(std::size_t index) {
    return "pictures/photo-" + std::to_string(1000000 + index) + ".jpg";
}

// Reads the file into one buffer, not filled beforehand; returns how many bytes it read.
std::size_t readWholeFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + path);
    const std::size_t size = static_cast<std::size_t>(fs::file_size(path));
    const std::unique_ptr<char[]> bytes(new char[size]);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::read(fd, bytes.get() + done, size - done);
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    ::close(fd);
    return done;
}

bool sameCollections(const LiteralCollection& a, const LiteralCollection& b) {
    if (a.size() != b.size()) return false;
    for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y) {
        if (x->first != y->first || x->second.size() != y->second.size()) return false;
        if (std::memcmp(x->second.data(), y->second.data(), x->second.size() * sizeof(float)) != 0) return false;
    }
    return true;
}

// Every file call as the system makes it, except that nothing is synced.
struct CallsWithoutSync : FileCalls {
    int fsync(int) override { return 0; }
};

// Milliseconds per single-record append of the first count features to a fresh file.
double appendMsPerAdd(const std::vector<std::vector<float>>& features, std::size_t count, const std::string& path) {
    fs::remove(path);
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < count; ++i) {
        if (!save2featDB(path, features[i % features.size()], keyOf(i))) throw std::runtime_error("append failed");
    }
    return secondsSince(start) * 1000.0 / static_cast<double>(count);
}

void mergeInto(const fs::path& jsonPath, const nlohmann::json& figures) {
    nlohmann::json all = nlohmann::json::object();
    if (fs::exists(jsonPath)) {
        std::ifstream in(jsonPath);
        all = nlohmann::json::parse(in, nullptr, false);
        if (all.is_discarded() || !all.is_object()) {
            throw std::runtime_error(jsonPath.string() + " holds no JSON object; not overwriting it");
        }
    }
    all.update(figures);
    if (jsonPath.has_parent_path()) fs::create_directories(jsonPath.parent_path());
    std::ofstream(jsonPath) << all.dump(2) << "\n";
}

nlohmann::json run(const Options& options) {
    fs::remove_all(options.work);
    fs::create_directories(options.work / "pictures");
    fs::current_path(options.work);
    const std::string logPath = EasyLog::GetInstance()->FilePath();

    std::mt19937 random(20240611);
    std::vector<std::vector<float>> features;
    for (std::size_t i = 0; i < std::min<std::size_t>(options.records, 1000); ++i)
        features.push_back(syntheticFeature(random));
    const auto featureOf = [&](std::size_t i) -> const std::vector<float>& { return features[i % features.size()]; };
    for (std::size_t i = 0; i < options.records; ++i) std::ofstream(keyOf(i)).put('x');

    // Record writing: each writer formats the same records, one at a time as an add does.
    std::string record;
    std::size_t formatted = 0;
    auto start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < options.records; ++i) {
        record.clear();
        appendFeatureRecord(record, keyOf(i), featureOf(i));
        formatted += record.size();
    }
    const double writeSeconds = secondsSince(start);
    start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < options.literalRecords; ++i) formatted += literalRecord(keyOf(i), featureOf(i)).size();
    const double literalWriteSeconds = secondsSince(start);
    bool writeIdentical = formatted > 0;
    for (std::size_t i = 0; i < options.literalRecords; ++i) {
        writeIdentical =
            writeIdentical && featureRecord(keyOf(i), featureOf(i)) == literalRecord(keyOf(i), featureOf(i));
    }
    {
        std::ofstream file(kDatabase, std::ios::binary);
        for (std::size_t i = 0; i < options.records; ++i) file << featureRecord(keyOf(i), featureOf(i));
    }

    const double fileMb = static_cast<double>(fs::file_size(kDatabase)) / 1e6;
    readWholeFile(kDatabase);  // into the page cache: every reader below starts from it
    start = std::chrono::steady_clock::now();
    double cpuStart = cpuSeconds();
    const std::size_t readBytes = readWholeFile(kDatabase);
    const double readSeconds = secondsSince(start);
    const double readCpuSeconds = cpuSeconds() - cpuStart;

    std::map<std::string, std::vector<float>> loaded;
    start = std::chrono::steady_clock::now();
    cpuStart = cpuSeconds();
    loadFeatureFile(kDatabase, kFeatureDim, KeyRules(kDatabase, logPath), loaded);
    const double loadSeconds = secondsSince(start);
    const double loadCpuSeconds = cpuSeconds() - cpuStart;
    start = std::chrono::steady_clock::now();
    const LiteralCollection literal = literalLoad(kDatabase, kFeatureDim, literalKeyTest(kDatabase, logPath));
    const double literalLoadSeconds = secondsSince(start);
    if (loaded.size() != options.records) throw std::runtime_error("the loader lost records");

    // What checking the keys costs, apart from parsing.
    const KeyRules rules(kDatabase, logPath);
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < options.records; ++i) keys.push_back(keyOf(i));
    start = std::chrono::steady_clock::now();
    cpuStart = cpuSeconds();
    {
        KeyFileCheck check(rules);
        for (const std::string& key : keys) check.accepts(key);
    }
    const double keyCheckSeconds = secondsSince(start);
    const double keyCheckCpuSeconds = cpuSeconds() - cpuStart;
    const KeyTest literalKeys = literalKeyTest(kDatabase, logPath);
    start = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < options.literalRecords; ++i) literalKeys(keys[i]);
    const double literalKeyCheckSeconds = secondsSince(start);

    const double syncedMs = appendMsPerAdd(features, options.adds, "adds.txt");
    CallsWithoutSync withoutSync;
    double unsyncedMs = 0;
    {
        ScopedFileCalls installed(withoutSync);
        unsyncedMs = appendMsPerAdd(features, options.adds, "adds.txt");
    }

    const auto perRecordUs = [](double seconds, std::size_t count) {
        return seconds * 1e6 / static_cast<double>(count);
    };
    return {{"load_records", options.records},
            {"load_file_mb", fileMb},
            {"load_ms", loadSeconds * 1000.0},
            {"literal_load_ms", literalLoadSeconds * 1000.0},
            {"load_mbps", fileMb / loadSeconds},
            {"file_read_mbps", static_cast<double>(readBytes) / 1e6 / readSeconds},
            {"load_cpu_ms", loadCpuSeconds * 1000.0},
            {"file_read_cpu_ms", readCpuSeconds * 1000.0},
            {"key_check_cpu_ms", keyCheckCpuSeconds * 1000.0},
            {"load_identical", sameCollections(loaded, literal)},
            {"key_check_us_per_key", perRecordUs(keyCheckSeconds, options.records)},
            {"literal_key_check_us_per_key", perRecordUs(literalKeyCheckSeconds, options.literalRecords)},
            {"write_records_per_s", static_cast<double>(options.records) / writeSeconds},
            {"literal_write_records_per_s", static_cast<double>(options.literalRecords) / literalWriteSeconds},
            {"write_identical", writeIdentical},
            {"add_append_ms", syncedMs},
            {"add_append_unsynced_ms", unsyncedMs},
            {"fsync_ms_per_add", syncedMs - unsyncedMs}};
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Options options = parseOptions(argc, argv);
        const fs::path json = fs::absolute(options.json);
        const fs::path home = fs::current_path();
        const nlohmann::json figures = run(options);
        fs::current_path(home);
        fs::remove_all(options.work);
        mergeInto(json, figures);
        std::cout << figures.dump(2) << "\n";
        return figures["load_identical"] && figures["write_identical"] ? 0 : 1;
    } catch (const std::exception& error) {
        std::cerr << "bench_feature_file: " << error.what() << "\n";
        return 2;
    }
}
