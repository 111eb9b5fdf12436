// The ranking as search first computed it, kept as the plain reference the search index
// (module/FeatureIndex.h) is checked against: every distance measured, then sorted nearest first,
// NaN distances last, ties by key.
#ifndef LIKENESS_TESTS_LITERALRANKING_H
#define LIKENESS_TESTS_LITERALRANKING_H

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "module/Distance.h"
#include "module/FeatureIndex.h"
#include "module/FeatureMap.h"

// Puts the `wanted` nearest entries of a distance list first (the whole list when wanted >= its
// size): ascending distance, NaN after every number, and entries at equal distance, or NaN among
// themselves, ordered by tieBefore. NaN is moved out of the way first because it breaks the strict
// weak order the sorts require.
template <typename Entry, typename DistanceOf, typename TieBefore>
void rankNearestFirst(std::vector<Entry>& list, std::size_t wanted, DistanceOf distanceOf, TieBefore tieBefore) {
    const auto firstNaN =
        std::partition(list.begin(), list.end(), [&](const Entry& entry) { return !std::isnan(distanceOf(entry)); });
    const auto before = [&](const Entry& a, const Entry& b) {
        const auto da = distanceOf(a);
        const auto db = distanceOf(b);
        return da != db ? da < db : tieBefore(a, b);
    };
    const auto comparable = static_cast<std::size_t>(firstNaN - list.begin());
    if (wanted < comparable) {
        std::partial_sort(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(wanted), firstNaN, before);
        return;
    }
    std::sort(list.begin(), firstNaN, before);
    const std::size_t placed = std::min(wanted, list.size());
    std::partial_sort(firstNaN, list.begin() + static_cast<std::ptrdiff_t>(placed), list.end(), tieBefore);
}

// Every stored vector's offsetDistance to the query, walking the map, then the `wanted` nearest
// keys and their distances, ranked as above with ties in key order.
inline std::vector<RankedKey> rankLiterally(const FeatureMap& features, const std::vector<float>& query,
                                            std::size_t wanted) {
    std::vector<RankedKey> ranking;
    ranking.reserve(features.size());
    for (const auto& entry : features) ranking.push_back({&entry.first, offsetDistance(entry.second, query)});
    rankNearestFirst(
        ranking, wanted, [](const RankedKey& entry) { return entry.distance; },
        [](const RankedKey& a, const RankedKey& b) { return *a.key < *b.key; });
    ranking.resize(std::min(wanted, ranking.size()));
    return ranking;
}
// True when both rankings hold the same keys in the same order at the same distances, bit for bit.
inline bool sameRanking(const std::vector<RankedKey>& a, const std::vector<RankedKey>& b) {
    const auto same = [](const RankedKey& x, const RankedKey& y) {
        return *x.key == *y.key && std::memcmp(&x.distance, &y.distance, sizeof(float)) == 0;
    };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), same);
}

#endif
