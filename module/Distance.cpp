// Distance of two feature vectors.
#include "module/Distance.h"

#include <cmath>
#include <iostream>

#include "module/DistanceKernels.h"

float likeness::reportLengthMismatch() {
    std::cout << "feat1 & feat2 length isnot match!!" << std::endl;
    return kLengthMismatchDistance;
}

float offsetDistance(const std::vector<float>& feat1, const std::vector<float>& feat2) {
    if (feat1.size() != feat2.size()) return likeness::reportLengthMismatch();
    double sum = likeness::kDistanceOffset;
    for (std::size_t i = 0; i < feat1.size(); ++i) {
        const double difference = static_cast<double>(feat1[i] - feat2[i]);
        sum += difference * difference;
    }
    return static_cast<float>(std::sqrt(sum));
}

float computeDist(std::vector<float> feat1, std::vector<float> feat2) {
    return offsetDistance(feat1, feat2);
}

bool distVecCmp(const std::pair<std::string, float>& a, const std::pair<std::string, float>& b) {
    return a.second < b.second;
}
