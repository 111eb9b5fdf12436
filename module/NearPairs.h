// Every pair of stored pictures closer than a distance: what finding the near-duplicates of a
// collection rests on, at a small part of the cost of measuring every pair.
#ifndef LIKENESS_MODULE_NEARPAIRS_H
#define LIKENESS_MODULE_NEARPAIRS_H

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "module/Export.h"
#include "module/FeatureMap.h"

namespace likeness {

// Two stored pictures, first before second in key order, and offsetDistance between their vectors.
// The keys point into the map the pair was found in.
struct NearPair {
    const std::string* first;
    const std::string* second;
    float distance;
};

// Called now and then with how many of the collection's pairs have been examined, out of all of them.
using NearPairsProgress = std::function<void(std::size_t examined, std::size_t total)>;

// Every pair of entries of features whose offsetDistance (module/Distance.h) is below `below`,
// with that distance bit for bit, sorted by first key, then second. Vectors holding NaN are below
// no distance; vectors of different lengths are kLengthMismatchDistance apart, and unlike
// offsetDistance nothing is printed for them. Compares the compact codes of the search index and
// measures in full only the pairs those leave possible; single-threaded.
LIKENESS_API std::vector<NearPair> nearPairs(const FeatureMap& features, float below,
                                             const NearPairsProgress& progress = {});

}  // namespace likeness

#endif
