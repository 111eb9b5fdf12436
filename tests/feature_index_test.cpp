// The scan kernels and the index against the literal distance and ranking, bit for bit, on every
// kernel level this CPU runs, over adversarial values and every tail of the blocking.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "LiteralRanking.h"
#include "TestSupport.h"
#include "module/Distance.h"
#include "module/DistanceKernels.h"
#include "module/FeatureIndex.h"

namespace {

using likeness::KernelLevel;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

bool sameFloat(float a, float b) {
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

std::string hexValues(const std::vector<float>& values) {
    std::ostringstream text;
    text << values.size() << " values:";
    for (std::size_t i = 0; i < values.size() && i < 12; ++i) text << ' ' << std::hexfloat << values[i];
    if (values.size() > 12) text << " ...";
    return text.str();
}

// The kinds of vectors the tests store and query with.
enum class Kind { realLike, everyExponent, subnormal, nearQuery, nonFinite, overflowing, zero, count };
const char* const kKindNames[] = {"real-like",  "every-exponent", "subnormal", "near-query",
                                  "non-finite", "overflowing",    "zero"};

class Values {
public:
    explicit Values(unsigned seed) : random(seed) {}

    // Dense signed values of the default feature's scale: norm about 30 over 512 values.
    float realLike() { return std::normal_distribution<float>(0.0f, 1.33f)(random); }

    std::vector<float> make(Kind kind, std::size_t dim, const std::vector<float>& query) {
        std::vector<float> v(dim);
        for (std::size_t i = 0; i < dim; ++i) v[i] = element(kind, i < query.size() ? query[i] : 0.0f);
        if (kind == Kind::nonFinite && dim > 0) {
            const float specials[] = {kInf, -kInf, kNaN};
            v[random() % dim] = specials[random() % 3];
        }
        return v;
    }

    std::size_t below(std::size_t n) { return n == 0 ? 0 : random() % n; }

private:
    float element(Kind kind, float queryValue) {
        const float sign = random() % 2 == 0 ? 1.0f : -1.0f;
        switch (kind) {
        case Kind::everyExponent: {
            const int exponent = static_cast<int>(random() % 277) - 149;
            return sign * std::ldexp(1.0f + static_cast<float>(random() % 1024) / 1024.0f, exponent);
        }
        case Kind::subnormal:
            return sign * std::numeric_limits<float>::denorm_min() * static_cast<float>(random() % (1u << 23));
        case Kind::nearQuery: {
            float value = queryValue;
            for (unsigned steps = random() % 3; steps > 0; --steps) value = std::nextafter(value, sign * kInf);
            return value;
        }
        case Kind::overflowing:
            return sign * std::numeric_limits<float>::max() * (0.5f + static_cast<float>(random() % 512) / 1024.0f);
        case Kind::zero: return 0.0f;
        default: return realLike();
        }
    }

    std::mt19937 random;
};

// Compares the index's rankings of the `wanted` nearest with the literal ones, the lines both print
// included.
void expectSameRankings(const FeatureMap& features, const FeatureIndex& index, const std::vector<float>& query,
                        const std::vector<std::size_t>& wanted, const std::string& context) {
    std::vector<std::vector<RankedKey>> expected, actual, unbounded;
    std::string expectedOutput, actualOutput;
    {
        CoutCapture output;
        for (std::size_t count : wanted) expected.push_back(rankLiterally(features, query, count));
        expectedOutput = output.str();
    }
    {
        CoutCapture output;
        for (std::size_t count : wanted) actual.push_back(index.nearest(query, count));
        actualOutput = output.str();
    }
    {
        CoutCapture output;
        for (std::size_t count : wanted) unbounded.push_back(index.nearest(query, count, nullptr, ScanMode::exact));
    }
    ASSERT_EQ(actualOutput, expectedOutput) << context << ": the length-mismatch lines differ";
    for (std::size_t w = 0; w < wanted.size(); ++w) {
        ASSERT_TRUE(sameRanking(actual[w], unbounded[w])) << context << ": the bounded and the exact scan disagree";
        ASSERT_EQ(actual[w].size(), expected[w].size()) << context << ", wanted " << wanted[w];
        for (std::size_t i = 0; i < actual[w].size(); ++i) {
            const RankedKey& got = actual[w][i];
            const RankedKey& want = expected[w][i];
            if (sameRanking({got}, {want})) continue;
            FAIL() << context << ", wanted " << wanted[w] << ", place " << i << ": index gives " << *got.key << " at "
                   << std::hexfloat << got.distance << " (" << hexValues(features.at(*got.key)) << "), literal gives "
                   << *want.key << " at " << want.distance << " (" << hexValues(features.at(*want.key)) << "); query "
                   << hexValues(query);
        }
    }
}

std::string keyFor(std::mt19937& random, std::size_t n) {
    // Shared prefixes and bytes above 0x7f, so key order is not insertion order.
    const char* const prefixes[] = {"pics/", "pics/a", "\xc3\xa9t\xc3\xa9/", "Z"};
    return prefixes[random() % 4] + std::to_string(random() % 1000) + "-" + std::to_string(n);
}

}  // namespace

TEST(DistanceKernels, EveryLevelEqualsOffsetDistanceBitForBit) {
    Values values(3);
    std::vector<std::size_t> dims;
    for (std::size_t d = 0; d <= 40; ++d) dims.push_back(d);
    for (std::size_t d : {63u, 64u, 65u, 511u, 512u, 513u}) dims.push_back(d);
    for (KernelLevel level : likeness::supportedKernelLevels()) {
        const likeness::DistanceKernels kernels = likeness::kernelsFor(level);
        ASSERT_EQ(kernels.level, level);
        for (std::size_t dim : dims) {
            for (int kind = 0; kind < static_cast<int>(Kind::count); ++kind) {
                const std::vector<float> query =
                    values.make(kind % 2 == 0 ? Kind::realLike : Kind::everyExponent, dim, {});
                std::vector<std::vector<float>> stored;
                const float* lanes[likeness::kLanes];
                for (std::size_t l = 0; l < likeness::kLanes; ++l) {
                    // Lanes of mixed kinds, so neighbouring lanes cannot hide one another's faults.
                    stored.push_back(
                        values.make(static_cast<Kind>((kind + l) % static_cast<int>(Kind::count)), dim, query));
                }
                for (std::size_t l = 0; l < likeness::kLanes; ++l) lanes[l] = stored[l].data();
                // Fetching ahead must not change anything: the lanes fetch themselves again.
                float distances[likeness::kLanes];
                kernels.laneDistances(lanes, kind % 2 == 0 ? nullptr : lanes, query.data(), dim, distances);
                for (std::size_t l = 0; l < likeness::kLanes; ++l) {
                    const float expected = offsetDistance(stored[l], query);
                    ASSERT_TRUE(sameFloat(distances[l], expected))
                        << likeness::kernelLevelName(level) << ", dim " << dim << ", lane " << l << " ("
                        << kKindNames[(kind + l) % static_cast<int>(Kind::count)] << "): " << std::hexfloat
                        << distances[l] << " instead of " << expected << "; stored " << hexValues(stored[l])
                        << "; query " << hexValues(query);
                }
            }
        }
    }
}

TEST(DistanceKernels, EveryLevelComputesExactCodeDots) {
    std::mt19937 random(8);
    for (KernelLevel level : likeness::supportedKernelLevels()) {
        const likeness::DistanceKernels kernels = likeness::kernelsFor(level);
        for (std::size_t groups : {0u, 1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 33u, 128u, 129u}) {
            std::vector<std::int8_t> block(groups * likeness::kLanes * likeness::kCodeGroup);
            std::vector<std::uint8_t> query(groups * likeness::kCodeGroup);
            // Half the cases at the extremes, where a saturating or sign-confused product shows.
            const bool extremes = groups % 2 == 1;
            for (std::int8_t& code : block)
                code = static_cast<std::int8_t>(extremes ? (random() % 2 ? 127 : -127)
                                                         : static_cast<int>(random() % 255) - 127);
            for (std::uint8_t& q : query) q = static_cast<std::uint8_t>(extremes ? 255 : random() % 256);
            std::int32_t dots[likeness::kLanes];
            kernels.codeDots(block.data(), query.data(), groups, dots);
            for (std::size_t l = 0; l < likeness::kLanes; ++l) {
                std::int64_t expected = 0;
                for (std::size_t i = 0; i < groups * likeness::kCodeGroup; ++i) {
                    const std::size_t g = i / likeness::kCodeGroup;
                    const std::size_t k = i % likeness::kCodeGroup;
                    expected += block[(g * likeness::kLanes + l) * likeness::kCodeGroup + k] * query[i];
                }
                ASSERT_EQ(dots[l], expected)
                    << likeness::kernelLevelName(level) << ", groups " << groups << ", lane " << l;
            }
        }
    }
}

TEST(FeatureIndex, RanksLikeTheLiteralPathForEverySizeKindAndCount) {
    struct Scenario {
        const char* name;
        std::vector<Kind> kinds;
    };
    const std::vector<Scenario> scenarios{
        {"real-like", {Kind::realLike}},
        {"near-query ties", {Kind::nearQuery, Kind::nearQuery, Kind::realLike}},
        {"adversarial",
         {Kind::everyExponent, Kind::subnormal, Kind::nearQuery, Kind::nonFinite, Kind::overflowing, Kind::zero,
          Kind::realLike}},
    };
    for (KernelLevel level : likeness::supportedKernelLevels()) {
        for (std::size_t dim : {5u, 33u, 512u}) {
            for (const Scenario& scenario : scenarios) {
                Values values(static_cast<unsigned>(dim));
                std::mt19937 random(static_cast<unsigned>(dim) + 1);
                const std::vector<float> centre = values.make(Kind::realLike, dim, {});
                for (std::size_t size = 0; size <= 40; ++size) {
                    // The short dimensions meet every tail of the blocking; the real one a few.
                    if (dim == 512 && size % 16 > 1 && size % 16 < 15) continue;
                    FeatureMap features;
                    while (features.size() < size) {
                        const Kind kind = scenario.kinds[values.below(scenario.kinds.size())];
                        std::vector<float> vector = values.make(kind, dim, centre);
                        if (features.size() % 9 == 4) vector = features.begin()->second;  // a duplicate
                        if (features.size() % 13 == 6) vector.resize(dim + 1 - features.size() % 2 * 2);
                        features.emplace(keyFor(random, features.size()), vector);
                    }
                    FeatureIndex index(dim, likeness::kernelsFor(level));
                    index.assign(features);
                    ASSERT_EQ(index.size(), size);
                    std::vector<std::pair<std::string, std::vector<float>>> queries{
                        {"centre", centre},
                        {"near centre", values.make(Kind::nearQuery, dim, centre)},
                        {"real-like", values.make(Kind::realLike, dim, {})},
                        {"every exponent", values.make(Kind::everyExponent, dim, {})},
                        {"overflowing", values.make(Kind::overflowing, dim, {})},
                        {"zero", values.make(Kind::zero, dim, {})},
                        {"non-finite", values.make(Kind::nonFinite, dim, centre)},
                        {"other length", values.make(Kind::realLike, dim + 1, {})},
                    };
                    if (size > 0)
                        queries.push_back({"stored", std::next(features.begin(), static_cast<long>(size / 2))->second});
                    const std::vector<std::size_t> counts{
                        0, 1, 2, 3, 7, size - 1, size, size + 1, std::numeric_limits<std::size_t>::max()};
                    for (const auto& query : queries) {
                        expectSameRankings(features, index, query.second, counts,
                                           std::string(likeness::kernelLevelName(level)) + ", dim " +
                                               std::to_string(dim) + ", " + scenario.name + ", size " +
                                               std::to_string(size) + ", query " + query.first);
                        if (HasFatalFailure()) return;
                    }
                }
            }
        }
    }
}

TEST(FeatureIndex, StaysInStepThroughInsertionsRemovalsAndReassignment) {
    const std::size_t dim = 20;
    for (KernelLevel level : likeness::supportedKernelLevels()) {
        Values values(21);
        std::mt19937 random(22);
        FeatureMap features;
        for (std::size_t n = 0; n < 20; ++n) features.emplace(keyFor(random, n), values.make(Kind::realLike, dim, {}));
        FeatureIndex index(dim, likeness::kernelsFor(level));
        index.assign(features);
        const FeatureMap strangers{{"stranger", std::vector<float>(dim)}};
        // Grow past three blocks, shrink to nothing, grow again: every lane is filled and emptied.
        for (int step = 0; step < 160; ++step) {
            const bool grow = (step / 45) % 2 == 0 ? random() % 4 != 0 : random() % 4 == 0;
            if (grow) {
                const std::size_t n = 100 + static_cast<std::size_t>(step);
                const auto inserted = features.emplace(
                    keyFor(random, n),
                    values.make(n % 7 == 0 ? Kind::nonFinite : Kind::realLike, n % 5 == 0 ? dim - 1 : dim, {}));
                index.insert(*inserted.first);
                index.insert(*inserted.first);  // already indexed: no second lane
                const auto again = features.emplace(inserted.first->first, values.make(Kind::realLike, dim, {}));
                ASSERT_FALSE(again.second) << "the first vector of a key stays";
            } else if (!features.empty()) {
                const auto victim = std::next(features.begin(), static_cast<long>(random() % features.size()));
                index.erase(*victim);
                features.erase(victim);
            }
            index.erase(*strangers.begin());  // never indexed: ignored
            ASSERT_EQ(index.size(), features.size()) << "step " << step;
            const std::vector<float> query =
                features.empty() || step % 2 == 0 ? values.make(Kind::realLike, dim, {}) : features.begin()->second;
            expectSameRankings(features, index, query, {3, features.size()},
                               std::string(likeness::kernelLevelName(level)) + ", step " + std::to_string(step));
            if (HasFatalFailure()) return;
        }
        index.assign(features);
        expectSameRankings(features, index, values.make(Kind::realLike, dim, {}), {5}, "reassigned");
        index.clear();
        EXPECT_EQ(index.size(), 0u);
        EXPECT_TRUE(index.nearest(values.make(Kind::realLike, dim, {}), 5).empty());
    }
}

// The bound must let the scan pass over far vectors and still leave ties at the N-th place intact.
TEST(FeatureIndex, SkipsFarVectorsYetKeepsEveryTieAtTheCutInKeyOrder) {
    for (std::size_t dim : {33u, 512u}) {
        for (KernelLevel level : likeness::supportedKernelLevels()) {
            Values values(static_cast<unsigned>(dim) * 5);
            std::mt19937 random(9);
            // A query of exact binary fractions, so that a step of 1/8 in one value is exact and
            // every such neighbour lies at the same distance.
            std::vector<float> query(dim);
            for (float& q : query) q = static_cast<float>(static_cast<int>(random() % 2048) - 1024) / 1024.0f;
            FeatureMap features;
            for (std::size_t n = 0; n < 2000; ++n)
                features.emplace(keyFor(random, n), values.make(Kind::realLike, dim, query));
            for (std::size_t n = 0; n < 5; ++n) {
                std::vector<float> nearer = query;
                nearer[n] += 1.0f / 16.0f;
                features.emplace("nearer-" + std::to_string(n), nearer);
            }
            for (std::size_t n = 0; n < 40; ++n) {
                std::vector<float> tie = query;
                tie[random() % dim] += n % 2 == 0 ? 0.125f : -0.125f;
                features.emplace(keyFor(random, 5000 + n), tie);
            }
            FeatureIndex index(dim, likeness::kernelsFor(level));
            index.assign(features);
            expectSameRankings(features, index, query, {1, 5, 10, 45, 46},
                               std::string(likeness::kernelLevelName(level)) + ", dim " + std::to_string(dim));
            if (HasFatalFailure()) return;
            ScanCounts counts;
            const std::vector<RankedKey> ranked = index.nearest(query, 10, &counts);
            ASSERT_EQ(ranked.size(), 10u);
            EXPECT_EQ(*ranked[0].key, "nearer-0");
            EXPECT_EQ(counts.exact + counts.skipped, features.size());
            EXPECT_GT(counts.skipped, 1800u) << likeness::kernelLevelName(level) << ", dim " << dim
                                             << ": most of the 2000 far vectors should be passed over";
        }
    }
}

// Vectors their codes hold exactly leave the bound nothing but its safety margins, so it decides
// right at the cut; small values put many different sums on the same few floats.
TEST(FeatureIndex, TightBoundsKeepEveryEntryThatRoundsToTheCut) {
    std::mt19937 random(31);
    for (float step : {1.0f / 1024.0f, 1.0f / 16384.0f}) {
        const auto exactlyCoded = [&](std::size_t dim) {
            std::vector<float> v(dim);
            for (float& x : v) x = static_cast<float>(static_cast<int>(random() % 255) - 127) * step;
            v[random() % dim] = (random() % 2 == 0 ? 127.0f : -127.0f) * step;
            return v;
        };
        for (std::size_t dim : {33u, 512u}) {
            for (KernelLevel level : likeness::supportedKernelLevels()) {
                FeatureMap features;
                for (std::size_t n = 0; n < 1000; ++n) features.emplace(keyFor(random, n), exactlyCoded(dim));
                FeatureIndex index(dim, likeness::kernelsFor(level));
                index.assign(features);
                for (int q = 0; q < 3; ++q) {
                    const std::vector<float> query = q == 0 ? features.begin()->second : exactlyCoded(dim);
                    expectSameRankings(features, index, query, {1, 2, 10, 100},
                                       std::string(likeness::kernelLevelName(level)) + ", step " +
                                           std::to_string(step) + ", dim " + std::to_string(dim) + ", query " +
                                           std::to_string(q));
                    if (HasFatalFailure()) return;
                }
            }
        }
    }
}
