// The distance between two feature vectors, the one every ranking of the library uses.
// Distances are sqrt(10000 + sum of squared differences), so equal vectors are 100.0 apart.
#ifndef LIKENESS_MODULE_DISTANCE_H
#define LIKENESS_MODULE_DISTANCE_H

#include <string>
#include <utility>
#include <vector>

#include "module/Export.h"

namespace likeness {

// Added under the root of every distance, so that equal vectors are 100.0 apart: part of the stored
// ranking's contract, kept on purpose.
inline constexpr double kDistanceOffset = 10000.0;

}  // namespace likeness

// The distance returned when the two vectors differ in length.
constexpr float kLengthMismatchDistance = 100000000.0f;

// Differences are taken in float, squared and summed in double starting from 10000, in ascending
// index order, and the root is narrowed to float: search ranks by exactly this value. Vectors of
// different lengths print "feat1 & feat2 length isnot match!!" on standard output and are
// kLengthMismatchDistance apart.
LIKENESS_API float offsetDistance(const std::vector<float>& feat1, const std::vector<float>& feat2);

// Kept for callers of the original interface: offsetDistance on copies of its arguments, and the
// comparison of (key, distance) pairs by distance alone.
LIKENESS_API float computeDist(std::vector<float> feat1, std::vector<float> feat2);
LIKENESS_API bool distVecCmp(const std::pair<std::string, float>& a, const std::pair<std::string, float>& b);

#endif
