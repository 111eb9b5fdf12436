// The order in which search ranks stored pictures: nearest first, NaN distances last, ties by key.
// Also the ranking as search first computed it, kept as the reference the index is checked against.
#ifndef LIKENESS_MODULE_RANKING_H
#define LIKENESS_MODULE_RANKING_H

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "module/Distance.h"
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
// keys ranked as above with ties in key order.
inline std::vector<const std::string*> rankLiterally(const FeatureMap& features, const std::vector<float>& query,
                                                     std::size_t wanted) {
    using Ranked = std::pair<float, const std::string*>;
    std::vector<Ranked> ranking;
    ranking.reserve(features.size());
    for (const auto& entry : features) ranking.emplace_back(offsetDistance(entry.second, query), &entry.first);
    rankNearestFirst(
        ranking, wanted, [](const Ranked& entry) { return entry.first; },
        [](const Ranked& a, const Ranked& b) { return *a.second < *b.second; });
    std::vector<const std::string*> keys;
    const std::size_t count = std::min(wanted, ranking.size());
    keys.reserve(count);
    for (std::size_t i = 0; i < count; ++i) keys.push_back(ranking[i].second);
    return keys;
}

#endif
