// The close pairs of a collection against a plain loop over every pair with offsetDistance, on
// every kernel level this CPU runs: every size around the blocking and the tiles, duplicates,
// near copies at the cut, NaN and inf vectors, vectors of other lengths and odd thresholds.
#include <cmath>
#include <cstring>
#include <iostream>
#include <limits>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "module/Distance.h"
#include "module/DistanceKernels.h"
#include "module/FeatureContract.h"
#include "module/FeatureIndex.h"
#include "module/NearPairs.h"

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Keys, then the distance's bits, so that a distance off by one unit in the last place shows.
using PairRow = std::tuple<std::string, std::string, std::uint32_t>;

std::uint32_t bitsOf(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

PairRow row(const std::string& a, const std::string& b, float distance) {
    return a < b ? PairRow{a, b, bitsOf(distance)} : PairRow{b, a, bitsOf(distance)};
}

std::string describe(const std::set<PairRow>& rows) {
    std::ostringstream text;
    for (const PairRow& r : rows) {
        float distance;
        const std::uint32_t bits = std::get<2>(r);
        std::memcpy(&distance, &bits, sizeof distance);
        text << "\n  " << std::get<0>(r) << " " << std::get<1>(r) << " " << std::hexfloat << distance;
    }
    return text.str();
}

// The reference: every pair measured with offsetDistance.
std::set<PairRow> literalPairs(const FeatureMap& features, float below) {
    const CoutCapture quiet;
    std::set<PairRow> rows;
    for (auto a = features.begin(); a != features.end(); ++a) {
        for (auto b = std::next(a); b != features.end(); ++b) {
            const float distance = offsetDistance(a->second, b->second);
            if (distance < below) rows.insert(row(a->first, b->first, distance));
        }
    }
    return rows;
}

// A collection shaped like the default feature's (dense signed values, norm about 30), with exact
// duplicates, near copies on both sides of 100.3, broken vectors and vectors of other lengths.
class Collection {
public:
    explicit Collection(unsigned seed) : random(seed) {}

    // broken adds vectors holding NaN or inf and vectors of other lengths.
    FeatureMap make(std::size_t size, std::size_t dim, bool broken = true) {
        FeatureMap features;
        std::vector<std::vector<float>> made;
        while (features.size() < size) {
            const std::size_t n = features.size();
            std::vector<float> vector;
            if (n % 7 == 3 && !made.empty()) {
                vector = made[random() % made.size()];  // a byte-identical copy
            } else if (n % 5 == 2 && !made.empty()) {
                // Steps of norm 5 to 9: the distance lands on either side of 100.3 (norm 7.75).
                vector = moved(made[random() % made.size()], 5.0 + static_cast<double>(random() % 400) / 100.0);
            } else {
                vector = realLike(dim);
            }
            if (broken && n % 37 == 11 && dim > 0) vector[random() % dim] = (n % 2 == 0) ? kNaN : kInf;
            if (broken && n % 41 == 19) vector.resize(dim + 1 + n % 2);
            made.push_back(vector);
            features.emplace("pics/" + std::to_string(random() % 1000) + "-" + std::to_string(n) + ".jpg", vector);
        }
        return features;
    }

private:
    std::vector<float> realLike(std::size_t dim) {
        std::vector<float> v(dim);
        for (float& x : v) x = std::normal_distribution<float>(0.0f, 1.33f)(random);
        return v;
    }

    std::vector<float> moved(const std::vector<float>& of, double stepNorm) {
        std::vector<float> step = realLike(of.size());
        double squares = 0.0;
        for (float x : step) squares += static_cast<double>(x) * x;
        const double scale = squares > 0 ? stepNorm / std::sqrt(squares) : 0.0;
        std::vector<float> result(of);
        for (std::size_t i = 0; i < of.size(); ++i) result[i] += static_cast<float>(step[i] * scale);
        return result;
    }

    std::mt19937 random;
};

std::set<PairRow> rowsOf(const std::vector<ClosePair>& pairs) {
    std::set<PairRow> rows;
    for (const ClosePair& pair : pairs) rows.insert(row(*pair.first, *pair.second, pair.distance));
    return rows;
}

}  // namespace

TEST(ClosePairs, EqualTheLiteralPairsForEverySizeLevelAndThreshold) {
    const std::vector<std::size_t> sizes{0, 1, 2, 3, 15, 16, 17, 33, 255, 256, 257, 273, 529};
    const float thresholds[] = {
        likeness::kSamePictureDistance, 100.0f, 100.0001f, 100.25f, 108.0f, kLengthMismatchDistance,
        2 * kLengthMismatchDistance,    kInf,   kNaN};
    for (likeness::KernelLevel level : likeness::supportedKernelLevels()) {
        for (std::size_t dim : {7u, 512u}) {
            Collection collection(static_cast<unsigned>(dim));
            for (std::size_t size : sizes) {
                // The long thresholds pair everything; the largest sizes would only repeat the small ones.
                const FeatureMap features = collection.make(size, dim);
                FeatureIndex index(dim, likeness::kernelsFor(level));
                index.assign(features);
                for (float below : thresholds) {
                    if (size > 300 && !(below < 200.0f)) continue;
                    const std::set<PairRow> expected = literalPairs(features, below);
                    std::string printed;
                    std::vector<ClosePair> pairs;
                    ScanCounts counts;
                    {
                        const CoutCapture output;
                        pairs = index.closePairs(below, {}, &counts);
                        printed = output.str();
                    }
                    const std::set<PairRow> actual = rowsOf(pairs);
                    const std::string context = std::string(likeness::kernelLevelName(level)) + ", dim " +
                                                std::to_string(dim) + ", size " + std::to_string(size) + ", below " +
                                                std::to_string(below);
                    EXPECT_EQ(printed, "") << context;
                    std::set<PairRow> missing, extra;
                    for (const PairRow& r : expected)
                        if (actual.count(r) == 0) missing.insert(r);
                    for (const PairRow& r : actual)
                        if (expected.count(r) == 0) extra.insert(r);
                    ASSERT_TRUE(missing.empty() && extra.empty())
                        << context << ": missing" << describe(missing) << "\nextra" << describe(extra);
                    ASSERT_EQ(pairs.size(), actual.size()) << context << ": a pair was given twice";
                }
            }
        }
    }
}

TEST(ClosePairs, PassesOverFarPairsOfRealLikeVectors) {
    Collection collection(5);
    const FeatureMap features = collection.make(600, likeness::kFeatureDim, false);
    FeatureIndex index(likeness::kFeatureDim);
    index.assign(features);
    ScanCounts counts;
    const std::vector<ClosePair> pairs = index.closePairs(likeness::kSamePictureDistance, {}, &counts);
    EXPECT_FALSE(pairs.empty()) << "the copies are found";
    const std::size_t blockedPairs = counts.exact + counts.skipped;
    EXPECT_EQ(blockedPairs, 600u * 599 / 2) << "every pair is examined";
    EXPECT_LT(counts.exact, blockedPairs / 50) << "the codes rule out nearly every unrelated pair";
}

TEST(NearPairs, OrdersEachPairAndTheListByKeyAndReportsProgress) {
    Collection collection(17);
    const FeatureMap features = collection.make(300, likeness::kFeatureDim);
    std::vector<std::pair<std::size_t, std::size_t>> reports;
    std::vector<likeness::NearPair> pairs;
    {
        const CoutCapture quiet;
        pairs = likeness::nearPairs(features, likeness::kSamePictureDistance,
                                    [&](std::size_t done, std::size_t total) { reports.emplace_back(done, total); });
        EXPECT_EQ(quiet.str(), "") << "nothing is printed for the vectors of other lengths";
    }
    const std::set<PairRow> expected = literalPairs(features, likeness::kSamePictureDistance);
    ASSERT_EQ(pairs.size(), expected.size());
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        EXPECT_LT(*pairs[i].first, *pairs[i].second) << i;
        EXPECT_EQ(features.count(*pairs[i].first), 1u);
        EXPECT_EQ(&features.find(*pairs[i].first)->first, pairs[i].first) << "keys point into the map";
        EXPECT_EQ(expected.count(row(*pairs[i].first, *pairs[i].second, pairs[i].distance)), 1u) << i;
        if (i > 0) {
            EXPECT_TRUE(std::tie(*pairs[i - 1].first, *pairs[i - 1].second) <
                        std::tie(*pairs[i].first, *pairs[i].second))
                << "sorted and unique at " << i;
        }
    }
    ASSERT_FALSE(reports.empty());
    const std::size_t total = features.size() * (features.size() - 1) / 2;
    for (std::size_t i = 0; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i].second, total);
        if (i > 0) {
            EXPECT_LE(reports[i - 1].first, reports[i].first) << "progress never goes back";
        }
    }
    EXPECT_EQ(reports.back().first, total);

    // A collection of mostly other lengths is indexed at its own most common length.
    FeatureMap shortVectors;
    for (const auto& entry : features)
        shortVectors.emplace(entry.first, std::vector<float>(entry.second.begin(), entry.second.begin() + 3));
    shortVectors.emplace("long", features.begin()->second);
    {
        const CoutCapture quiet;
        std::set<PairRow> found;
        for (const likeness::NearPair& pair : likeness::nearPairs(shortVectors, 100.01f))
            found.insert(row(*pair.first, *pair.second, pair.distance));
        EXPECT_EQ(found, literalPairs(shortVectors, 100.01f));
        EXPECT_TRUE(likeness::nearPairs(FeatureMap(), 200.0f).empty());
    }
}
