// The distance and the ranking, each checked against a plain reference over many sizes.
#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "LiteralRanking.h"
#include "module/Distance.h"

namespace {

// The defining formula, written the obvious way.
float referenceDistance(const std::vector<float>& a, const std::vector<float>& b) {
    double sum = 10000.0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += std::pow(static_cast<double>(a[i] - b[i]), 2);
    return static_cast<float>(std::sqrt(sum));
}

}  // namespace

TEST(Distance, KnownValuesAndLengthMismatch) {
    EXPECT_EQ(computeDist({}, {}), 100.0f);
    EXPECT_EQ(computeDist({1.5f, -2.0f}, {1.5f, -2.0f}), 100.0f);
    EXPECT_EQ(computeDist({0, 0}, {3, 4}), static_cast<float>(std::sqrt(10025.0)));
    EXPECT_EQ(computeDist({3}, {0}), computeDist({0}, {3}));
    EXPECT_NEAR(computeDist({3}, {0}), 100.044991f, 1e-5f);
    testing::internal::CaptureStdout();
    EXPECT_EQ(computeDist({}, {1.0f}), 100000000.0f);
    EXPECT_EQ(computeDist(std::vector<float>(512), std::vector<float>(511)), 100000000.0f);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "feat1 & feat2 length isnot match!!\nfeat1 & feat2 length isnot match!!\n");
}

TEST(Distance, MatchesTheReferenceOverManySizes) {
    std::mt19937 generator(11);
    std::normal_distribution<float> value(0.0f, 3.0f);
    for (std::size_t size : {1u, 2u, 3u, 7u, 8u, 15u, 16u, 17u, 63u, 64u, 511u, 512u, 1000u}) {
        std::vector<float> a(size), b(size);
        for (std::size_t i = 0; i < size; ++i) {
            a[i] = value(generator);
            b[i] = value(generator);
        }
        EXPECT_EQ(offsetDistance(a, b), referenceDistance(a, b)) << "size " << size;
    }
}

TEST(Ranking, ComparatorIsStrictOnDistancesOnly) {
    const std::pair<std::string, float> near{"z", 1.5f}, far{"a", 2.5f}, tie{"b", 1.5f};
    EXPECT_TRUE(distVecCmp(near, far));
    EXPECT_FALSE(distVecCmp(far, near));
    EXPECT_FALSE(distVecCmp(near, tie));
    EXPECT_FALSE(distVecCmp(tie, near));
    EXPECT_FALSE(distVecCmp(near, near));
}

TEST(Ranking, NearestFirstWithNaNLastAndTiesInOrderForEveryCount) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // (distance, place in the list); ties must come out in the order of their places.
    using Entry = std::pair<float, int>;
    const auto distanceOf = [](const Entry& e) { return e.first; };
    const auto placeBefore = [](const Entry& a, const Entry& b) { return a.second < b.second; };
    std::mt19937 generator(5);
    for (std::size_t size : {0u, 1u, 2u, 5u, 33u, 200u}) {
        std::vector<Entry> entries(size);
        for (std::size_t i = 0; i < size; ++i) {
            entries[i] = {generator() % 5 == 0 ? nan : 100.0f + static_cast<float>(generator() % 20),
                          static_cast<int>(i)};
        }
        std::vector<Entry> expected = entries;
        std::stable_sort(expected.begin(), expected.end(), [](const Entry& a, const Entry& b) {
            return !std::isnan(a.first) && (std::isnan(b.first) || a.first < b.first);
        });
        for (std::size_t wanted : {std::size_t{0}, std::size_t{1}, size / 2, size, size + 3}) {
            std::vector<Entry> ranked = entries;
            std::shuffle(ranked.begin(), ranked.end(), generator);
            rankNearestFirst(ranked, wanted, distanceOf, placeBefore);
            for (std::size_t i = 0; i < std::min(wanted, size); ++i) {
                EXPECT_EQ(ranked[i].second, expected[i].second)
                    << "size " << size << " wanted " << wanted << " at " << i;
            }
        }
    }
    std::vector<Entry> listed{{101.0f, 0}, {100.0f, 1}, {103.0f, 2}, {100.5f, 3}};
    rankNearestFirst(listed, listed.size(), distanceOf, placeBefore);
    EXPECT_EQ(listed, (std::vector<Entry>{{100.0f, 1}, {100.5f, 3}, {101.0f, 0}, {103.0f, 2}}));
}
