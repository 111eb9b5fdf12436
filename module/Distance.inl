// Ranking of a distance list; included by module/Distance.h only.
// NaN is moved out of the way first because it breaks the strict weak order std::sort requires.
#include <algorithm>
#include <cmath>

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
