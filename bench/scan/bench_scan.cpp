// Speed and memory of search: the index's scans against the literal ranking and against the
// machine's single-thread read bandwidth, all measured side by side in one process, then a whole
// search through the module with the default model, split into decode, forward pass and scan.
// At each size, also the time one removal holds the collection.
//
// Stored vectors are synthetic but shaped like the default feature: 512 dense signed values of
// norm 30. The query of a scan is an unrelated vector of the same kind (the hardest case for the
// compact bound: its N-th best lies closest to the bulk); a query that is an altered copy of a
// stored vector is timed beside it. Every timed ranking is checked against the literal one.
//
// Scans and stream passes are timed in the thread's CPU time: on a shared machine the time spent
// waiting for a core would otherwise swamp what is measured (memory stalls still count). The
// whole search is timed on the wall clock, as search logs its phases.
//
// With --dupes, also times finding every pair closer than the same-picture threshold (nearPairs)
// in synthetic collections holding near copies, checked against offsetDistance over every pair of
// a sample of entries, beside an estimate of what measuring every pair would take.
//
// Writes its figures into the JSON file of --json, keeping whatever keys other benchmarks put there.
#include <malloc.h>
#include <time.h>
#include <unistd.h>

#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "LiteralRanking.h"
#include "SyntheticFeatures.h"
#include "classifier/VnnClassifier.h"
#include "log/EasyLog.h"
#include "module/DistanceKernels.h"
#include "module/FeatureClassifier.h"
#include "module/FeatureContract.h"
#include "module/FeatureDB.h"
#include "module/FeatureIndex.h"
#include "module/Module.h"
#include "module/NearPairs.h"
#include "module/RemovalList.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

namespace {

constexpr std::size_t kDim = likeness::kFeatureDim;
constexpr std::size_t kTopN = 10;

struct Options {
    std::vector<std::size_t> sizes{100000, 1000000};
    bool sizesGiven = false;
    std::vector<std::size_t> dupesSizes;
    std::size_t endToEndSize = 100000;
    int repeats = 5;
    int queries = 3;
    std::size_t streamMiB = 1024;
    fs::path model;
    fs::path photos;
    fs::path json = "build/bench/perf.json";
};

[[noreturn]] void usage(const std::string& problem) {
    std::cerr << "bench_scan: " << problem << "\n"
              << "usage: bench_scan [--sizes N,N...] [--e2e-size N (0: none)] [--repeats N] [--queries N]\n"
              << "                  [--stream-mib N] [--model DIR] [--photos DIR] [--json FILE]\n"
              << "                  [--dupes N,N... (without --sizes: only these)]\n";
    std::exit(2);
}

std::size_t count(const std::string& text) {
    std::size_t used = 0;
    const unsigned long long value = std::stoull(text, &used);
    if (used != text.size()) throw std::invalid_argument(text);
    return static_cast<std::size_t>(value);
}

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (i + 1 >= argc) usage("missing value after " + flag);
        const std::string value = argv[++i];
        try {
            if (flag == "--sizes" || flag == "--dupes") {
                std::vector<std::size_t>& sizes = flag == "--sizes" ? options.sizes : options.dupesSizes;
                sizes.clear();
                std::stringstream list(value);
                for (std::string item; std::getline(list, item, ',');) sizes.push_back(count(item));
                options.sizesGiven |= flag == "--sizes";
            } else if (flag == "--e2e-size") {
                options.endToEndSize = count(value);
            } else if (flag == "--repeats") {
                options.repeats = static_cast<int>(std::max<std::size_t>(1, count(value)));
            } else if (flag == "--queries") {
                options.queries = static_cast<int>(std::max<std::size_t>(1, count(value)));
            } else if (flag == "--stream-mib") {
                options.streamMiB = std::max<std::size_t>(64, count(value));
            } else if (flag == "--model") {
                options.model = fs::absolute(value);
            } else if (flag == "--photos") {
                options.photos = fs::absolute(value);
            } else if (flag == "--json") {
                options.json = fs::absolute(value);
            } else {
                usage("unknown option " + flag);
            }
        } catch (const std::invalid_argument&) {
            usage("not a count: " + value);
        }
    }
    if (options.sizes.empty()) usage("--sizes needs at least one size");
    if (!options.dupesSizes.empty() && !options.sizesGiven) options.sizes.clear();
    return options;
}

// 100000 -> "100k", 1000000 -> "1m": the suffix of a size's keys.
std::string sizeLabel(std::size_t n) {
    if (n % 1000000 == 0) return std::to_string(n / 1000000) + "m";
    if (n % 1000 == 0) return std::to_string(n / 1000) + "k";
    return std::to_string(n);
}

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The calling thread's CPU time in milliseconds.
double threadMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::size_t heapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

std::string syntheticKey(std::size_t n) {
    char key[40];
    std::snprintf(key, sizeof key, "pictures/photo-%07zu.jpg", n);
    return key;
}

// A collection built as a loader builds one: keys in file order, which is not key order.
FeatureMap syntheticCollection(std::size_t n, SyntheticFeatures& features) {
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = i;
    for (std::size_t i = n; i > 1; --i) std::swap(order[i - 1], order[features.below(i)]);
    FeatureMap collection;
    for (std::size_t i : order) collection.emplace(syntheticKey(i), features.next());
    return collection;
}

// Reads every byte of a buffer far larger than the caches with the widest loads the CPU has.
__attribute__((target("avx2"))) std::uint64_t sumAvx2(const std::uint64_t* data, std::size_t words) {
    __m256i sums[4] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
    for (std::size_t i = 0; i + 16 <= words; i += 16) {
        for (int k = 0; k < 4; ++k) {
            sums[k] = _mm256_add_epi64(sums[k], _mm256_load_si256(reinterpret_cast<const __m256i*>(data + i + 4 * k)));
        }
    }
    std::uint64_t lanes[4];
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes),
                        _mm256_add_epi64(_mm256_add_epi64(sums[0], sums[1]), _mm256_add_epi64(sums[2], sums[3])));
    return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}

std::uint64_t sumPortable(const std::uint64_t* data, std::size_t words) {
    std::uint64_t sums[4] = {0, 0, 0, 0};
    for (std::size_t i = 0; i + 4 <= words; i += 4) {
        for (int k = 0; k < 4; ++k) sums[k] += data[i + k];
    }
    return sums[0] + sums[1] + sums[2] + sums[3];
}

class StreamRead {
public:
    explicit StreamRead(std::size_t mib) : words(mib * 1024 * 1024 / sizeof(std::uint64_t)) {
        data.reset(static_cast<std::uint64_t*>(std::aligned_alloc(64, words * sizeof(std::uint64_t))));
        if (!data) throw std::bad_alloc();
        for (std::size_t i = 0; i < words; ++i) data[i] = i;
    }

    // GB/s of one pass.
    double measure() {
        const bool wide = __builtin_cpu_supports("avx2");
        const double start = threadMilliseconds();
        checksum += wide ? sumAvx2(data.get(), words) : sumPortable(data.get(), words);
        return static_cast<double>(words * sizeof(std::uint64_t)) / ((threadMilliseconds() - start) * 1e6);
    }

    std::uint64_t checksum = 0;

private:
    struct Free {
        void operator()(std::uint64_t* p) const { std::free(p); }
    };
    std::size_t words;
    std::unique_ptr<std::uint64_t[], Free> data;
};

void requireSame(const std::vector<RankedKey>& got, const std::vector<RankedKey>& expected, const std::string& what) {
    if (!sameRanking(got, expected)) throw std::runtime_error(what + " ranks differently from the literal path");
}

// Times the scans of one collection size, interleaved with stream passes so that both see the
// same machine.
// Removes `count` stored pictures one at a time as the module does: the removal appended to the
// feature file's removal list and synced, then the entry taken out of the index and the map. The
// feature file's own size plays no part, so a small one stands in for the collection's. Wall clock,
// fsync included: the time a service holds its collection for one removal.
std::vector<double> removalTimes(FeatureMap& collection, FeatureIndex& index, std::size_t count, const Options& options,
                                 SyntheticFeatures& features) {
    const fs::path home = fs::absolute(options.json).parent_path() / "removal-home";
    fs::remove_all(home);
    fs::create_directories(home);
    const std::string featureFile = (home / "feat.txt").string();
    std::ofstream(featureFile, std::ios::binary) << featureRecord("pics/0.jpg", features.next());
    std::vector<double> times;
    for (std::size_t i = 0; i < count && !collection.empty(); ++i) {
        const auto entry = std::next(collection.begin(), static_cast<long>(features.below(collection.size())));
        const Clock::time_point start = Clock::now();
        if (!recordRemovals(featureFile, {entry->first})) throw std::runtime_error("cannot record a removal");
        index.erase(*entry);
        collection.erase(entry);
        times.push_back(millisecondsSince(start));
    }
    fs::remove_all(home);
    return times;
}

void scanBenchmark(std::size_t n, const Options& options, StreamRead& stream, std::vector<double>& streamRates,
                   json& out) {
    const std::string label = sizeLabel(n);
    SyntheticFeatures features(n);
    const std::size_t heapBefore = heapInUse();
    FeatureMap collection = syntheticCollection(n, features);
    const std::size_t heapWithMap = heapInUse();
    const double buildStart = threadMilliseconds();
    FeatureIndex index(kDim);
    index.assign(collection);
    const double indexBuildMs = threadMilliseconds() - buildStart;
    const std::size_t heapWithIndex = heapInUse();

    std::vector<std::vector<float>> unrelated, copies;
    for (int q = 0; q < options.queries; ++q) {
        unrelated.push_back(features.next());
        copies.push_back(
            features.near(std::next(collection.begin(), static_cast<long>(features.below(n)))->second, 8.0));
    }
    std::vector<double> literalMs, floatMs, boundedMs, copyMs, exactFractions;
    const auto timed = [](std::vector<double>& times, const std::function<std::vector<RankedKey>()>& scan) {
        const double begin = threadMilliseconds();
        std::vector<RankedKey> ranked = scan();
        times.push_back(threadMilliseconds() - begin);
        return ranked;
    };
    for (int r = 0; r < options.repeats; ++r) {
        streamRates.push_back(stream.measure());
        for (int q = 0; q < options.queries; ++q) {
            const std::vector<float>& query = unrelated[static_cast<std::size_t>(q)];
            const std::vector<RankedKey> literal =
                timed(literalMs, [&] { return rankLiterally(collection, query, kTopN); });
            const std::vector<RankedKey> exact =
                timed(floatMs, [&] { return index.nearest(query, kTopN, nullptr, ScanMode::exact); });
            ScanCounts counts;
            const std::vector<RankedKey> bounded =
                timed(boundedMs, [&] { return index.nearest(query, kTopN, &counts); });
            exactFractions.push_back(static_cast<double>(counts.exact) / static_cast<double>(n));
            requireSame(exact, literal, "the exact scan");
            requireSame(bounded, literal, "the bounded scan");

            const std::vector<float>& copy = copies[static_cast<std::size_t>(q)];
            const std::vector<RankedKey> copyRanked = timed(copyMs, [&] { return index.nearest(copy, kTopN); });
            if (r == 0) requireSame(copyRanked, rankLiterally(collection, copy, kTopN), "the bounded scan of a copy");
        }
    }
    constexpr std::size_t kRemovals = 50;
    const std::vector<double> removals = removalTimes(collection, index, kRemovals, options, features);
    const double floatBytes = static_cast<double>(n) * kDim * sizeof(float);
    const double floatScanMs = median(floatMs);
    const double streamGbps = median(streamRates);
    json& entry = out["scan_runs"][label];
    entry = {{"stored_vectors", n},
             {"literal_scan_ms", median(literalMs)},
             {"float_scan_ms", floatScanMs},
             {"float_scan_gbps", floatBytes / (floatScanMs * 1e6)},
             {"scan_ms", median(boundedMs)},
             {"scan_ms_copy_query", median(copyMs)},
             {"exact_fraction", median(exactFractions)},
             {"stream_read_gbps", streamGbps},
             {"stream_bound_ms", floatBytes / (streamGbps * 1e6)},
             {"index_build_ms", indexBuildMs},
             {"remove_ms", median(removals)},
             {"remove_max_ms", *std::max_element(removals.begin(), removals.end())},
             {"featmap_bytes_per_entry", static_cast<double>(heapWithMap - heapBefore) / static_cast<double>(n)},
             {"index_bytes_per_entry", static_cast<double>(heapWithIndex - heapWithMap) / static_cast<double>(n)},
             {"bytes_per_entry", static_cast<double>(heapWithIndex - heapBefore) / static_cast<double>(n)}};
    out["scan_ms_" + label] = entry["scan_ms"];
    out["literal_scan_ms_" + label] = entry["literal_scan_ms"];
    out["float_scan_ms_" + label] = entry["float_scan_ms"];
    out["remove_ms_" + label] = entry["remove_ms"];
    std::cout << "scan " << label << ": literal " << entry["literal_scan_ms"] << " ms, float scan " << floatScanMs
              << " ms (" << entry["float_scan_gbps"] << " GB/s), bounded scan " << entry["scan_ms"]
              << " ms (exact distances for " << 100.0 * median(exactFractions) << " %), copy query "
              << entry["scan_ms_copy_query"] << " ms; stream " << streamGbps << " GB/s; " << entry["bytes_per_entry"]
              << " bytes per entry (map " << entry["featmap_bytes_per_entry"] << ", index "
              << entry["index_bytes_per_entry"] << "); removing one picture " << entry["remove_ms"] << " ms (at most "
              << entry["remove_max_ms"] << " of " << removals.size() << ")" << std::endl;
}

// The three phase durations search logs, in milliseconds, from its most recent calls.
std::vector<std::vector<double>> searchPhases(const std::string& logPath, std::size_t calls) {
    const char* const phases[] = {
        "=> search loadImage cost time = ", "=> search extract cost time = ", "=> search match cost time = "};
    std::vector<std::vector<double>> found(3);
    std::ifstream log(logPath);
    for (std::string line; std::getline(log, line);) {
        for (std::size_t p = 0; p < 3; ++p) {
            const std::size_t at = line.find(phases[p]);
            if (at != std::string::npos) found[p].push_back(std::stod(line.substr(at + std::string(phases[p]).size())));
        }
    }
    for (std::vector<double>& values : found) {
        if (values.size() < calls) throw std::runtime_error("search logged fewer phase lines than calls");
        values.erase(values.begin(), values.end() - static_cast<long>(calls));
    }
    return found;
}

// The query picture: the first photo of --photos, or a drawn one.
cv::Mat queryPicture(const Options& options) {
    if (!options.photos.empty() && fs::is_directory(options.photos)) {
        std::vector<fs::path> files;
        for (const auto& item : fs::directory_iterator(options.photos)) files.push_back(item.path());
        std::sort(files.begin(), files.end());
        for (const fs::path& file : files) {
            cv::Mat picture = cv::imread(file.string(), cv::IMREAD_COLOR);
            if (!picture.empty()) return picture;
        }
    }
    cv::Mat picture(480, 640, CV_8UC3);
    cv::randu(picture, cv::Scalar::all(0), cv::Scalar::all(255));
    cv::GaussianBlur(picture, picture, cv::Size(31, 31), 0);
    return picture;
}

std::vector<fs::path> pictureFiles(const fs::path& dir) {
    std::vector<fs::path> files;
    for (const auto& item : fs::directory_iterator(dir)) {
        const std::string extension = item.path().extension().string();
        if (extension == ".jpg" || extension == ".jpeg" || extension == ".png" || extension == ".webp") {
            files.push_back(item.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// The share of exact distances a top-10 scan needs, and how far the 10th nearest lies from the
// bulk (the median), as ||a - q||, over the given queries.
struct BoundUse {
    double exactFraction;
    double tenthToMedianGap;
};

BoundUse boundUse(const FeatureMap& collection, const std::vector<std::vector<float>>& queries) {
    FeatureIndex index(kDim);
    index.assign(collection);
    std::vector<double> fractions, gaps;
    for (const std::vector<float>& query : queries) {
        ScanCounts counts;
        requireSame(index.nearest(query, kTopN, &counts), rankLiterally(collection, query, kTopN), "the bounded scan");
        fractions.push_back(static_cast<double>(counts.exact) / static_cast<double>(collection.size()));
        std::vector<double> apart;
        for (const auto& entry : collection) {
            double squares = 0.0;
            for (std::size_t i = 0; i < kDim; ++i)
                squares += std::pow(static_cast<double>(entry.second[i] - query[i]), 2);
            apart.push_back(std::sqrt(squares));
        }
        std::sort(apart.begin(), apart.end());
        gaps.push_back(apart[apart.size() / 2] - apart[kTopN - 1]);
    }
    return {median(fractions), median(gaps)};
}

// How well the compact bound fits the default model's own vectors: photos and their altered
// copies against a synthetic collection of the same size.
void realFeatures(const Options& options, json& out) {
    VnnClassifier classifier =
        likeness::makeFeatureClassifier((options.model / "v0.net").string(), (options.model / "v0.dat").string());
    FeatureMap collection;
    std::vector<std::vector<float>> queries;
    std::vector<double> errors;
    for (const fs::path& file : pictureFiles(options.photos)) {
        const cv::Mat photo = cv::imread(file.string(), cv::IMREAD_COLOR);
        if (photo.empty()) continue;
        cv::Mat mirrored, cropped;
        cv::flip(photo, mirrored, 1);
        cropped = photo(cv::Rect(photo.cols / 10, photo.rows / 10, photo.cols * 8 / 10, photo.rows * 8 / 10)).clone();
        std::vector<float> original, crop, mirror;
        classifier.extract(photo, original, likeness::kFeatureLayer);
        classifier.extract(cropped, crop, likeness::kFeatureLayer);
        classifier.extract(mirrored, mirror, likeness::kFeatureLayer);
        if (original.size() != kDim)
            throw std::runtime_error("the model's feature is not " + std::to_string(kDim) + " long");
        errors.push_back(compactCodeError(original));
        collection.emplace(file.filename().string(), original);
        collection.emplace(file.filename().string() + "#crop", crop);
        queries.push_back(mirror);
    }
    if (collection.size() <= kTopN) throw std::runtime_error("too few photos in " + options.photos.string());
    SyntheticFeatures synthetic(11);
    FeatureMap syntheticCollection;
    std::vector<std::vector<float>> syntheticQueries;
    std::vector<double> syntheticErrors;
    for (std::size_t i = 0; i < collection.size(); ++i) syntheticCollection.emplace(syntheticKey(i), synthetic.next());
    for (std::size_t i = 0; i < queries.size(); ++i) syntheticQueries.push_back(synthetic.next());
    for (const auto& entry : syntheticCollection) syntheticErrors.push_back(compactCodeError(entry.second));
    const BoundUse real = boundUse(collection, queries);
    const BoundUse made = boundUse(syntheticCollection, syntheticQueries);
    out["real_features"] = {{"stored_vectors", collection.size()},
                            {"queries", queries.size()},
                            {"code_error", median(errors)},
                            {"synthetic_code_error", median(syntheticErrors)},
                            {"exact_fraction", real.exactFraction},
                            {"synthetic_exact_fraction", made.exactFraction},
                            {"tenth_to_median_gap", real.tenthToMedianGap},
                            {"synthetic_tenth_to_median_gap", made.tenthToMedianGap}};
    std::cout << "real features (" << collection.size() << " stored, " << queries.size()
              << " mirrored queries): code error " << median(errors) << " (synthetic " << median(syntheticErrors)
              << "), exact distances for " << 100.0 * real.exactFraction << " % (synthetic "
              << 100.0 * made.exactFraction << " %), 10th nearest " << real.tenthToMedianGap
              << " below the median (synthetic " << made.tenthToMedianGap << ")" << std::endl;
}

// A whole search with the default model on a collection of n stored pictures.
void endToEnd(std::size_t n, const Options& options, json& out) {
    const fs::path home = fs::absolute(options.json).parent_path() / "search-home";
    const fs::path previous = fs::current_path();
    fs::remove_all(home);
    fs::create_directories(home / "pics");
    fs::create_symlink(options.model, home / "model");
    fs::current_path(home);
    {
        SyntheticFeatures features(7);
        std::ofstream file("feat.txt", std::ios::binary);
        for (std::size_t i = 0; i < n; ++i) {
            const std::string key = "pics/" + std::to_string(i) + ".jpg";
            std::ofstream(key, std::ios::binary).put('\0');
            file << featureRecord(key, features.next());
        }
    }
    cv::imwrite("query.jpg", queryPicture(options));

    Clock::time_point start = Clock::now();
    ImplIModule* module = InitialModule("feat.txt");
    const double startMs = millisecondsSince(start);
    IModule& collection = *module;
    std::vector<std::string> result;
    std::vector<double> totals;
    collection.search("query.jpg", 1, result, static_cast<int>(kTopN));  // warms the network up
    for (int r = 0; r < options.repeats; ++r) {
        start = Clock::now();
        collection.search("query.jpg", 1, result, static_cast<int>(kTopN));
        totals.push_back(millisecondsSince(start));
    }
    const std::size_t stored = module->features().size();
    ExitModule(module);
    const std::vector<std::vector<double>> phases =
        searchPhases(EasyLog::GetInstance()->FilePath(), static_cast<std::size_t>(options.repeats));
    fs::current_path(previous);
    fs::remove_all(home);

    if (stored != n)
        throw std::runtime_error("the module loaded " + std::to_string(stored) + " of " + std::to_string(n));
    out["search"] = {{"stored_vectors", n},
                     {"search_ms", median(totals)},
                     {"decode_ms", median(phases[0])},
                     {"forward_ms", median(phases[1])},
                     {"scan_ms", median(phases[2])},
                     {"module_start_ms", startMs}};
    out["search_ms"] = out["search"]["search_ms"];
    std::cout << "search " << sizeLabel(n) << ": " << out["search"]["search_ms"] << " ms (decode "
              << out["search"]["decode_ms"] << ", forward " << out["search"]["forward_ms"] << ", scan "
              << out["search"]["scan_ms"] << "); module start " << startMs << " ms" << std::endl;
}

// The file as other benchmarks left it, without the keys this one writes, so that none of them is
// left over from an earlier run with other sizes.
// A collection of n like syntheticCollection's in which one entry in a hundred is moved a step of
// norm 2 to 12 from an earlier one (distances 100.02 to 100.72, the threshold's 100.3 lying at a
// step of 7.75) and one in two hundred repeats an earlier one exactly.
FeatureMap collectionWithCopies(std::size_t n, SyntheticFeatures& features) {
    std::vector<std::vector<float>> vectors;
    vectors.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0 && i % 100 == 50) {
            vectors.push_back(features.near(vectors[features.below(i)],
                                            2.0 + 10.0 * static_cast<double>(features.below(1000)) / 1000));
        } else if (i > 0 && i % 200 == 7) {
            vectors.push_back(vectors[features.below(i)]);
        } else {
            vectors.push_back(features.next());
        }
    }
    FeatureMap collection;
    for (std::size_t i = 0; i < n; ++i) collection.emplace(syntheticKey(i), std::move(vectors[i]));
    return collection;
}

// Times nearPairs over a collection of n, and checks it against offsetDistance over every pair of
// a sample of its entries.
void dupesBenchmark(std::size_t n, json& out) {
    SyntheticFeatures features(n + 7);
    const FeatureMap collection = collectionWithCopies(n, features);
    const float threshold = likeness::kSamePictureDistance;
    const Clock::time_point wallStart = Clock::now();
    const double cpuStart = threadMilliseconds();
    const std::vector<likeness::NearPair> pairs = likeness::nearPairs(collection, threshold);
    const double cpuMs = threadMilliseconds() - cpuStart;
    const double wallMs = millisecondsSince(wallStart);

    std::vector<const FeatureMap::value_type*> entries;
    for (const auto& entry : collection) entries.push_back(&entry);
    constexpr std::size_t kSampleRows = 100;
    std::size_t measured = 0;
    const double literalStart = threadMilliseconds();
    for (std::size_t r = 0; r < kSampleRows && r < n; ++r) {
        const FeatureMap::value_type& row = *entries[features.below(n)];
        std::vector<std::pair<std::string, float>> expected;
        for (const FeatureMap::value_type* other : entries) {
            if (other == &row) continue;
            const float distance = offsetDistance(row.second, other->second);
            ++measured;
            if (distance < threshold) expected.emplace_back(other->first, distance);
        }
        std::vector<std::pair<std::string, float>> found;
        for (const likeness::NearPair& pair : pairs) {
            if (*pair.first == row.first) found.emplace_back(*pair.second, pair.distance);
            if (*pair.second == row.first) found.emplace_back(*pair.first, pair.distance);
        }
        std::sort(expected.begin(), expected.end());
        std::sort(found.begin(), found.end());
        if (found != expected) throw std::runtime_error("nearPairs misses or adds pairs of " + row.first);
    }
    const double literalMsPerPair = measured > 0 ? (threadMilliseconds() - literalStart) / measured : 0.0;
    const double allPairs = static_cast<double>(n) * (static_cast<double>(n) - 1) / 2;
    const std::string label = sizeLabel(n);
    out["dupes_runs"][label] = {{"pictures", n},
                                {"pairs_found", pairs.size()},
                                {"near_pairs_ms", cpuMs},
                                {"near_pairs_wall_ms", wallMs},
                                {"literal_all_pairs_estimate_ms", literalMsPerPair * allPairs},
                                {"checked_rows", std::min(kSampleRows, n)}};
    out["dupes_ms_" + label] = cpuMs;
    std::cout << "dupes " << label << ": " << pairs.size() << " pairs below " << threshold << " in " << cpuMs
              << " ms CPU (" << wallMs << " ms wall); every pair with offsetDistance would take about "
              << literalMsPerPair * allPairs / 1000 << " s" << std::endl;
}

json readOthers(const fs::path& path) {
    std::ifstream in(path);
    if (!in) return json::object();
    json existing = json::parse(in, nullptr, false);
    if (!existing.is_object()) return json::object();
    const char* const families[] = {"scan_",         "literal_scan_",   "float_scan_",     "remove_ms_",
                                    "stream_read_",  "bytes_per_entry", "literal_vs_scan", "search",
                                    "real_features", "kernel_level"};
    for (auto item = existing.begin(); item != existing.end();) {
        bool ours = false;
        for (const char* family : families) ours = ours || item.key().rfind(family, 0) == 0;
        item = ours ? existing.erase(item) : std::next(item);
    }
    return existing;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    json out = readOthers(options.json);
    const likeness::DistanceKernels kernels = likeness::fastestKernels();
    out["kernel_level"] = likeness::kernelLevelName(kernels.level);
    std::cout << "kernels: " << likeness::kernelLevelName(kernels.level) << std::endl;
    try {
        if (!options.sizes.empty()) {
            std::vector<double> streamRates;
            {
                StreamRead stream(options.streamMiB);
                for (std::size_t n : options.sizes) scanBenchmark(n, options, stream, streamRates, out);
            }
            const std::size_t largest = *std::max_element(options.sizes.begin(), options.sizes.end());
            const json& top = out["scan_runs"][sizeLabel(largest)];
            out["stream_read_gbps"] = median(streamRates);
            out["scan_gbps"] = top["float_scan_gbps"];
            out["bytes_per_entry"] = top["bytes_per_entry"];
            out["bytes_per_entry_vs_raw_floats"] = top["bytes_per_entry"].get<double>() / (kDim * sizeof(float));
            out["scan_gbps_vs_stream"] = top["float_scan_gbps"].get<double>() / out["stream_read_gbps"].get<double>();
            out["literal_vs_scan"] = top["literal_scan_ms"].get<double>() / top["scan_ms"].get<double>();
            out["scan_vs_stream_bound"] = top["scan_ms"].get<double>() / top["stream_bound_ms"].get<double>();
        }
        for (std::size_t n : options.dupesSizes) dupesBenchmark(n, out);
        // The whole search and the real features go with the scans.
        const bool scans = !options.sizes.empty();
        const bool haveModel = scans && !options.model.empty() && fs::exists(options.model / "v0.dat");
        if (scans && !haveModel)
            std::cout << "search and real features: skipped, no model (give --model DIR)" << std::endl;
        if (haveModel && options.endToEndSize > 0) endToEnd(options.endToEndSize, options, out);
        if (haveModel && !options.photos.empty()) realFeatures(options, out);
    } catch (const std::exception& error) {
        std::cerr << "bench_scan: " << error.what() << std::endl;
        return 1;
    }
    fs::create_directories(fs::absolute(options.json).parent_path());
    std::ofstream(options.json) << out.dump(2) << "\n";
    std::cout << "wrote " << options.json.string() << std::endl;
    return 0;
}
