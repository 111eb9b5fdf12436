// The pairs from an index built for the purpose over the collection's most common vector length.
#include "module/NearPairs.h"

#include <algorithm>
#include <map>

#include "module/FeatureIndex.h"

namespace likeness {
namespace {

// The index's codes cover one length; the others are measured one pair at a time.
std::size_t mostCommonLength(const FeatureMap& features) {
    std::map<std::size_t, std::size_t> counts;
    for (const auto& entry : features) ++counts[entry.second.size()];
    std::size_t best = 0;
    std::size_t bestCount = 0;
    for (const auto& [length, count] : counts) {
        if (count > bestCount) {
            best = length;
            bestCount = count;
        }
    }
    return best;
}

}  // namespace

std::vector<NearPair> nearPairs(const FeatureMap& features, float below, const NearPairsProgress& progress) {
    FeatureIndex index(mostCommonLength(features));
    index.assign(features);
    const std::vector<ClosePair> found = index.closePairs(below, progress);
    std::vector<NearPair> pairs;
    pairs.reserve(found.size());
    for (const ClosePair& pair : found) {
        const bool inOrder = *pair.first < *pair.second;
        pairs.push_back({inOrder ? pair.first : pair.second, inOrder ? pair.second : pair.first, pair.distance});
    }
    std::sort(pairs.begin(), pairs.end(), [](const NearPair& a, const NearPair& b) {
        if (*a.first != *b.first) return *a.first < *b.first;
        return *a.second < *b.second;
    });
    return pairs;
}

}  // namespace likeness
