// The distance between two feature vectors and the order in which stored pictures are ranked.
// Distances are sqrt(10000 + sum of squared differences), so equal vectors are 100.0 apart.
#ifndef LIKENESS_MODULE_DISTANCE_H
#define LIKENESS_MODULE_DISTANCE_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// The distance returned when the two vectors differ in length.
constexpr float kLengthMismatchDistance = 100000000.0f;

// Differences are taken in float, squared and summed in double starting from 10000, and the root
// is narrowed to float. Vectors of different lengths print "feat1 & feat2 length isnot match!!"
// on standard output and are kLengthMismatchDistance apart.
float computeDist(std::vector<float> feat1, std::vector<float> feat2);
// The same without copying its arguments.
float offsetDistance(const std::vector<float>& feat1, const std::vector<float>& feat2);

// True exactly when a is nearer than b; keys are not looked at.
bool distVecCmp(const std::pair<std::string, float>& a, const std::pair<std::string, float>& b);

// Puts the `wanted` nearest entries of a distance list first, in ascending order of distance
// (the whole list when wanted >= its size). NaN distances rank after all others. Entries at equal
// distance come in no defined order.
template <typename Entry, typename DistanceOf>
void rankNearestFirst(std::vector<Entry>& list, std::size_t wanted, DistanceOf distanceOf);

#include "module/Distance.inl"

#endif
