// The order in which search ranks stored pictures: nearest first, NaN distances last.
// NaN is moved out of the way first because it breaks the strict weak order std::sort requires.
#ifndef LIKENESS_MODULE_RANKING_H
#define LIKENESS_MODULE_RANKING_H

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

// Puts the `wanted` nearest entries of a distance list first, in ascending order of distance
// (the whole list when wanted >= its size). Entries at equal distance come in no defined order.
template <typename Entry, typename DistanceOf>
void rankNearestFirst(std::vector<Entry>& list, std::size_t wanted, DistanceOf distanceOf) {
    const auto firstNaN = std::partition(list.begin(), list.end(), [&](const Entry& entry) {
        return !std::isnan(distanceOf(entry));
    });
    const auto nearer = [&](const Entry& a, const Entry& b) { return distanceOf(a) < distanceOf(b); };
    const auto comparable = static_cast<std::size_t>(firstNaN - list.begin());
    if (wanted < comparable) {
        std::partial_sort(list.begin(), list.begin() + static_cast<std::ptrdiff_t>(wanted), firstNaN, nearer);
    } else {
        std::sort(list.begin(), firstNaN, nearer);
    }
}

#endif
