// Retrieval quality of likeness on real photographs, against OpenCV's perceptual hashes.
//
// Protocol (after INRIA Copydays): the photos of --photos are ordered by the SHA-1 of their bytes;
// within each kind of photo (Protocol.h: ordinary photos, and low-structure ones such as textures
// and papers) the first photos whose long side is at least 320 are query sources, the next 20 such
// photos are held out (queried, never indexed), and every photo but the held-out ones is indexed
// through addAPicToDB, so the rest of both kinds are distractors. Each source and held-out photo is
// queried in 58 altered copies (see Transforms.h) through search. --split dev or test queries only
// the sources (and the held-out photos) at even or odd positions in hash order within each kind.
//
// search returns keys only, so the distance thresholds come from the benchmark's own extraction
// of each query with the same model and the library's preprocessing, against the vectors the
// library stored (ImplIModule::features): per kind, the largest distance that keeps 95 % precision,
// the largest that keeps it on every kind at once, and what the shipped "same picture" rule
// gives. The nearest key by that extraction is checked against search's first key for every query
// and disagreements are reported.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "Metrics.h"
#include "PhotoSet.h"
#include "Progress.h"
#include "Protocol.h"
#include "Report.h"
#include "Transforms.h"
#include "classifier/VnnClassifier.h"
#include "module/Distance.h"
#include "module/FeatureContract.h"
#include "module/Module.h"
#include "module/SamePicture.h"

namespace fs = std::filesystem;

namespace {

constexpr double kWantedPrecision = 0.95;
const char* const kSaveDir = "pics/";

// The library's preprocessing; checked at run time against the vectors it stores, so a change
// behind the contract's back stops the benchmark instead of skewing the thresholds.
const cv::Size kInputSize(likeness::kInputSide, likeness::kInputSide);
const cv::Scalar kInputMean(likeness::kInputMeanBgr[0], likeness::kInputMeanBgr[1], likeness::kInputMeanBgr[2], 0);

struct Options {
    fs::path photos = "build/photos/set";
    fs::path model = "model";
    Split split = Split::Test;
    fs::path json = "build/bench/quality.json";
    fs::path matches;
    bool keepWork = false;
};

const char* const kUsage =
    "usage: bench_quality [--photos DIR] [--model DIR] [--split dev|test|all] [--json FILE] [--matches FILE] "
    "[--keep-work]\n"
    "  --photos DIR   the photo set made by scripts/fetch-photos (build/photos/set)\n"
    "  --model DIR    directory holding v0.net and v0.dat (model)\n"
    "  --split NAME   query the dev half, the test half or all of the sources (test)\n"
    "  --json FILE    where the scores are written (build/bench/quality.json)\n"
    "  --matches FILE also write every query's nearest distance, whether it is the original, the\n"
    "                 photo's kind and whether the photo is indexed (TSV), to judge other thresholds\n"
    "  --keep-work    keep the temporary home with the stored copies and the query files\n";

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::invalid_argument(flag + " needs a value");
            return argv[++i];
        };
        if (flag == "--photos") {
            options.photos = value();
        } else if (flag == "--model") {
            options.model = value();
        } else if (flag == "--split") {
            const std::string name = value();
            const auto split = parseSplit(name);
            if (!split) throw std::invalid_argument("unknown split " + name);
            options.split = *split;
        } else if (flag == "--json") {
            options.json = value();
        } else if (flag == "--matches") {
            options.matches = value();
        } else if (flag == "--keep-work") {
            options.keepWork = true;
        } else if (flag == "--help" || flag == "-h") {
            std::cout << kUsage;
            std::exit(0);
        } else {
            throw std::invalid_argument("unknown option " + flag);
        }
    }
    return options;
}

// The benchmark's own extraction of a query, as the library extracts stored pictures.
class OwnExtraction {
public:
    explicit OwnExtraction(const fs::path& modelDir)
        : classifier((modelDir / "v0.net").string(), (modelDir / "v0.dat").string(), 1, likeness::kInputScale,
                     kInputSize, kInputMean, false) {}

    std::vector<float> featureOf(const cv::Mat& picture) {
        std::vector<float> feature;
        classifier.extract(picture, feature, likeness::kFeatureLayer);
        return feature;
    }

private:
    VnnClassifier classifier;
};

struct Nearest {
    std::string key;
    double distance = 0;
    // Whether the library's same-picture rule takes it for the query's picture, judging it beside
    // the next nearest stored picture as a search does.
    bool samePicture = false;
};

Nearest nearestStored(const FeatureMap& stored, const std::vector<float>& query) {
    Nearest nearest{"", HUGE_VAL};
    double next = HUGE_VAL;
    for (const auto& [key, vector] : stored) {
        const double distance = offsetDistance(vector, query);
        if (distance < nearest.distance) {
            next = nearest.distance;
            nearest = {key, distance};
        } else if (distance < next) {
            next = distance;
        }
    }
    std::vector<likeness::Match> matches{{nearest.key, static_cast<float>(nearest.distance), false}};
    if (next != HUGE_VAL) matches.push_back({"", static_cast<float>(next), false});
    likeness::markSamePictures(matches);
    nearest.samePicture = matches.front().samePicture;
    return nearest;
}

void checkOwnExtractionMatchesLibrary(OwnExtraction& own, const FeatureMap& stored, const Photo& photo) {
    const auto found = stored.find(kSaveDir + photo.name);
    if (found == stored.end()) throw std::runtime_error("the library stored no vector for " + photo.name);
    const std::vector<float> mine = own.featureOf(cv::imread(photo.path.string(), cv::IMREAD_COLOR));
    double largest = mine.size() == found->second.size() ? 0 : HUGE_VAL;
    for (std::size_t i = 0; i < mine.size() && i < found->second.size(); ++i) {
        largest = std::max(largest, static_cast<double>(std::fabs(mine[i] - found->second[i])));
    }
    if (largest > 1e-4) {
        throw std::runtime_error("the benchmark's extraction differs from the library's for " + photo.name +
                                 "; update its copy of the library's preprocessing");
    }
}

void writeFile(const fs::path& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

// A fresh home holding model/ (a link to the model directory) and the stored copies' directory.
fs::path makeWorkHome(const fs::path& modelDir) {
    std::string pattern = (fs::temp_directory_path() / "likeness-quality-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a temporary directory");
    const fs::path home = pattern;
    fs::create_directory_symlink(modelDir, home / "model");
    fs::create_directory(home / kSaveDir);
    fs::create_directory(home / "queries");
    return home;
}

// What the queries of one kind of photo found nearest, for the thresholds.
struct KindMatches {
    std::vector<NearestMatch> matches;
    std::vector<bool> indexed;  // per match: whether its photo is indexed (else held out)
    std::size_t positiveQueries = 0;
    std::size_t negativeQueries = 0;
};

struct Run {
    std::vector<QueryOutcome> outcomes;
    std::map<std::string, KindMatches> byKind;
    std::size_t searchDisagreements = 0;
};

class QualityBenchmark {
public:
    QualityBenchmark(std::vector<Photo> photos, PhotoRoles roles, IModule& module, const FeatureMap& stored,
                     OwnExtraction& own, std::vector<Hasher> hashers, bool keepQueries)
        : photos(std::move(photos)),
          roles(std::move(roles)),
          module(module),
          stored(stored),
          own(own),
          hashers(std::move(hashers)),
          keepQueries(keepQueries) {
        // Pasted copies go onto held-out ordinary photos: never indexed, so the backdrop itself
        // cannot be found, and a scene rather than a texture.
        for (std::size_t absent : this->roles.heldOut)
            if (this->photos[absent].kind == kDefaultPhotoKind) backdrops.push_back(absent);
    }

    void queryAll(const std::vector<std::size_t>& sources, Run& run) {
        const auto& transforms = queryTransforms();
        Progress progress("queries", (sources.size() + roles.heldOut.size()) * transforms.size());
        for (std::size_t source : sources) {
            const cv::Mat original = cv::imread(photos[source].path.string(), cv::IMREAD_COLOR);
            for (std::size_t transform = 0; transform < transforms.size(); ++transform) {
                run.outcomes.push_back(queryOne(source, original, transform, true, run));
                ++run.byKind[photos[source].kind].positiveQueries;
                progress.advance();
            }
        }
        for (std::size_t absent : roles.heldOut) {
            const cv::Mat original = cv::imread(photos[absent].path.string(), cv::IMREAD_COLOR);
            for (std::size_t transform = 0; transform < transforms.size(); ++transform) {
                queryOne(absent, original, transform, false, run);
                ++run.byKind[photos[absent].kind].negativeQueries;
                progress.advance();
            }
        }
    }

private:
    // Ranks of the photo's original by search and by each hash, and its nearest match for the
    // threshold. An absent photo has no original to rank, so search is skipped for it.
    QueryOutcome queryOne(std::size_t photoIndex, const cv::Mat& original, std::size_t transform, bool indexed,
                          Run& run) {
        const Photo& photo = photos[photoIndex];
        const QueryTransform& how = queryTransforms()[transform];
        fs::path queryPath = photo.path;
        cv::Mat picture = original;
        if (how.alter) {
            const std::uint64_t seed = querySeed(photo, transform);
            cv::Mat backdrop;
            if (how.needsBackdrop) {
                const auto other = backdropFor(photoIndex, seed, backdrops);
                if (!other) throw std::runtime_error(how.name + " needs a held-out photo to paste onto");
                backdrop = cv::imread(photos[*other].path.string(), cv::IMREAD_COLOR);
            }
            const EncodedQuery query = encodeQuery(how, original, seed, backdrop);
            queryPath =
                fs::path("queries") / (fs::path(photo.name).stem().string() + "__" + how.name + query.extension);
            writeFile(queryPath, query.bytes);
            picture = cv::imdecode(query.bytes, cv::IMREAD_COLOR);
        }
        const std::string originalKey = kSaveDir + photo.name;
        const Nearest nearest = nearestStored(stored, own.featureOf(picture));
        run.byKind[photo.kind].matches.push_back(
            {static_cast<float>(nearest.distance), indexed && nearest.key == originalKey, nearest.samePicture});
        run.byKind[photo.kind].indexed.push_back(indexed);

        QueryOutcome outcome;
        outcome.transform = transform;
        outcome.kind = photo.kind;
        if (indexed) {
            std::vector<std::string> keys;
            module.search(queryPath.string(), 1, keys, static_cast<int>(kScoredDepth));
            const auto found = std::find(keys.begin(), keys.end(), originalKey);
            outcome.rankByMethod.push_back(
                found == keys.end() ? QueryRank{} : QueryRank{static_cast<std::size_t>(found - keys.begin())});
            if (keys.empty() || keys.front() != nearest.key) ++run.searchDisagreements;
            const std::vector<cv::Mat> queryHashes = hashesOf(picture, hashers);
            for (std::size_t h = 0; h < hashers.size(); ++h) {
                outcome.rankByMethod.push_back(hashRank(h, queryHashes[h], photoIndex));
            }
        }
        if (how.alter && !keepQueries) fs::remove(queryPath);
        return outcome;
    }

    QueryRank hashRank(std::size_t hasher, const cv::Mat& queryHash, std::size_t originalIndex) const {
        std::vector<double> distances;
        std::size_t target = 0;
        for (std::size_t i : roles.indexed) {
            if (i == originalIndex) target = distances.size();
            distances.push_back(hashers[hasher].algorithm->compare(queryHash, photos[i].hashes[hasher]));
        }
        return rankWithTiesInIndexOrder(distances, target);
    }

    std::vector<Photo> photos;
    PhotoRoles roles;
    IModule& module;
    const FeatureMap& stored;
    OwnExtraction& own;
    std::vector<Hasher> hashers;
    bool keepQueries;
    std::vector<std::size_t> backdrops;
};

ThresholdReport thresholdsOf(const Run& run) {
    ThresholdReport report;
    report.wantedPrecision = kWantedPrecision;
    report.shippedThreshold = likeness::samePictureBelow();
    std::vector<std::vector<NearestMatch>> groups;
    for (const auto& [kind, found] : run.byKind) groups.push_back(found.matches);
    report.commonThreshold = thresholdForEveryGroup(groups, kWantedPrecision);
    KindMatches overall;
    std::vector<std::pair<std::string, KindMatches>> kinds(run.byKind.begin(), run.byKind.end());
    for (const auto& [kind, found] : run.byKind) {
        overall.matches.insert(overall.matches.end(), found.matches.begin(), found.matches.end());
        overall.positiveQueries += found.positiveQueries;
        overall.negativeQueries += found.negativeQueries;
    }
    kinds.emplace_back("overall", overall);
    for (const auto& [kind, found] : kinds) {
        KindThreshold row;
        row.kind = kind;
        row.positiveQueries = found.positiveQueries;
        row.negativeQueries = found.negativeQueries;
        row.atWantedPrecision = thresholdForPrecision(found.matches, kWantedPrecision, found.positiveQueries);
        if (report.commonThreshold)
            row.atCommonThreshold = operatingPointAt(found.matches, *report.commonThreshold, found.positiveQueries);
        row.atShippedRule = operatingPointOfMarks(found.matches, report.shippedThreshold, found.positiveQueries);
        report.kinds.push_back(row);
    }
    return report;
}

// Every photo in hash order with its hashes, and the roles of the chosen split.
struct PhotoSetup {
    std::vector<Photo> photos;
    PhotoRoles roles;
};

PhotoSetup loadPhotoSetup(const fs::path& photoDir, const std::vector<Hasher>& hashers, Split split) {
    PhotoSetup setup;
    setup.photos = loadPhotos(photoDir, hashers);
    if (setup.photos.size() != kExpectedPhotos) {
        std::cerr << "warning: " << setup.photos.size() << " photos in " << photoDir << ", the protocol expects "
                  << kExpectedPhotos << "; scores are not comparable with other runs\n";
    }
    std::vector<int> longSides;
    std::vector<std::string> kinds;
    for (const Photo& photo : setup.photos) {
        longSides.push_back(photo.longSide);
        kinds.push_back(photo.kind);
    }
    const auto roles = assignRolesByKind(longSides, kinds, protocolKinds(), split);
    if (!roles)
        throw std::runtime_error("too few photos of some kind with a long side of at least 320 in " +
                                 photoDir.string());
    setup.roles = *roles;
    return setup;
}

void indexPhotos(ImplIModule& module, const PhotoSetup& setup) {
    Progress indexing("indexing", setup.roles.indexed.size());
    for (std::size_t i : setup.roles.indexed) {
        const int result = module.addAPicToDB(setup.photos[i].path.string(), kSaveDir);
        if (result != LIKENESS_ADDED) {
            throw std::runtime_error("addAPicToDB(" + setup.photos[i].name + ") returned " + std::to_string(result));
        }
        indexing.advance();
    }
}

// Indexes the photos in a fresh home and runs every query there.
Run runQueries(const PhotoSetup& setup, const fs::path& modelDir, const std::vector<Hasher>& hashers, bool keepWork,
               fs::path& home) {
    home = makeWorkHome(modelDir);
    const fs::path startDir = fs::current_path();
    fs::current_path(home);
    ImplIModule* module = InitialModule("feat.txt");
    indexPhotos(*module, setup);
    OwnExtraction own(modelDir);
    checkOwnExtractionMatchesLibrary(own, module->features(), setup.photos[setup.roles.indexed.front()]);
    QualityBenchmark benchmark(setup.photos, setup.roles, *module, module->features(), own, hashers, keepWork);
    Run run;
    benchmark.queryAll(setup.roles.sources, run);
    ExitModule(module);
    fs::current_path(startDir);
    return run;
}

struct Scores {
    std::vector<std::string> methods;
    std::vector<ScoreRow> blocks;
    std::vector<std::pair<std::string, std::vector<ScoreRow>>> blocksByKind;
    std::vector<ScoreRow> transforms;
    ThresholdReport threshold;
};

Scores scoresOf(const Run& run, const std::vector<Hasher>& hashers) {
    Scores scores;
    scores.methods.push_back("likeness");
    for (const Hasher& hasher : hashers) scores.methods.push_back(hasher.name);
    scores.blocks = scoreByBlock(run.outcomes, scores.methods);
    for (const KindSizes& kind : protocolKinds()) {
        std::vector<QueryOutcome> ofKind;
        for (const QueryOutcome& outcome : run.outcomes)
            if (outcome.kind == kind.kind) ofKind.push_back(outcome);
        scores.blocksByKind.emplace_back(kind.kind, scoreByBlock(ofKind, scores.methods));
    }
    scores.transforms = scoreByTransform(run.outcomes, scores.methods);
    scores.threshold = thresholdsOf(run);
    return scores;
}

void printReport(const RunFacts& facts, const Scores& scores) {
    std::cout << facts.photos << " photos, " << facts.indexed << " indexed, " << facts.sources << " query sources ("
              << facts.split << " split), " << facts.heldOut << " held out; model " << facts.model << "; "
              << static_cast<int>(facts.seconds) << " s\n\n";
    printScoreTable(std::cout, "block", scores.blocks, scores.methods);
    for (const auto& [kind, rows] : scores.blocksByKind) {
        std::cout << "\n";
        printScoreTable(std::cout, "block, " + kind + " sources", rows, scores.methods);
    }
    std::cout << "\n";
    printScoreTable(std::cout, "transform", scores.transforms, scores.methods);
    std::cout << "\nlikeness: distances at which a query's nearest picture is taken for its original ("
              << kWantedPrecision * 100 << " % precision wanted; absent = queries of held-out photos)\n";
    printThresholds(std::cout, scores.threshold);
    if (scores.threshold.commonThreshold) {
        std::cout << "largest distance keeping " << kWantedPrecision * 100
                  << " % precision on every kind: " << *scores.threshold.commonThreshold << "\n";
    } else {
        std::cout << "no distance keeps " << kWantedPrecision * 100 << " % precision on every kind\n";
    }
    std::cout << "queries whose first search key differs from the benchmark's own nearest picture: "
              << facts.searchDisagreements << "\n";
}

void writeMatches(const fs::path& path, const Run& run) {
    std::ofstream out(fs::absolute(path));
    out << "kind\tindexed\tdistance\tcorrect\n";
    for (const auto& [kind, found] : run.byKind)
        for (std::size_t i = 0; i < found.matches.size(); ++i)
            out << kind << "\t" << found.indexed[i] << "\t" << found.matches[i].distance << "\t"
                << found.matches[i].correct << "\n";
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

int runBenchmark(const Options& options) {
    const fs::path photoDir = fs::absolute(options.photos);
    const fs::path modelDir = fs::absolute(options.model);
    const fs::path jsonPath = fs::absolute(options.json);
    for (const char* file : {"v0.net", "v0.dat"}) {
        if (!fs::exists(modelDir / file)) throw std::runtime_error("no " + (modelDir / file).string());
    }
    const auto started = std::chrono::steady_clock::now();
    const std::vector<Hasher> hashers = makeHashers();
    const PhotoSetup setup = loadPhotoSetup(photoDir, hashers, options.split);
    fs::path home;
    const Run run = runQueries(setup, modelDir, hashers, options.keepWork, home);
    const Scores scores = scoresOf(run, hashers);
    const RunFacts facts{
        setup.photos.size(),        setup.roles.indexed.size(),
        setup.roles.sources.size(), setup.roles.heldOut.size(),
        splitName(options.split),   modelDir.string(),
        run.searchDisagreements,    std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count()};
    printReport(facts, scores);

    fs::create_directories(jsonPath.parent_path());
    std::ofstream json(jsonPath);
    writeJson(json, facts, scores.blocks, scores.blocksByKind, scores.transforms, scores.threshold);
    if (!json) throw std::runtime_error("cannot write " + jsonPath.string());
    std::cout << "wrote " << jsonPath.string() << "\n";
    if (!options.matches.empty()) writeMatches(options.matches, run);

    if (options.keepWork) {
        std::cout << "kept the work home " << home.string() << "\n";
    } else {
        fs::remove_all(home);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return runBenchmark(parseOptions(argc, argv));
    } catch (const std::invalid_argument& error) {
        std::cerr << "bench_quality: " << error.what() << "\n" << kUsage;
        return 2;
    } catch (const std::exception& error) {
        std::cerr << "bench_quality: " << error.what() << "\n";
        return 1;
    }
}
