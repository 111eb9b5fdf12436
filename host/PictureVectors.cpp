// Extraction with the home's model.
#include "PictureVectors.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgcodecs.hpp>

#include "module/Distance.h"
#include "module/FeatureContract.h"

namespace likeness_cli {

std::optional<std::vector<float>> PictureVectors::of(const std::string& picturePath) {
    const cv::Mat picture = cv::imread(picturePath, cv::IMREAD_COLOR);
    if (picture.empty()) return std::nullopt;
    if (!classifier) classifier = makeFeatureClassifier(likeness::kModelNetPath, likeness::kModelWeightsPath);
    std::vector<float> feature;
    classifier->extract(picture, feature, likeness::kFeatureLayer);
    return feature;
}

bool samePicture(float distance) {
    return distance < likeness::kSamePictureDistance;
}

std::vector<Match> measured(const std::vector<std::string>& keys, const std::optional<std::vector<float>>& query,
                            const FeatureMap& features) {
    std::vector<Match> matches;
    for (const std::string& key : keys) {
        Match match{key, std::nullopt, false};
        if (query) {
            match.distance = offsetDistance(features.at(key), *query);
            match.samePicture = samePicture(*match.distance);
        }
        matches.push_back(match);
    }
    return matches;
}

bool sameVector(const std::vector<float>& a, const std::vector<float>& b) {
    if (a.size() != b.size()) return false;
    // %g rounds to six significant digits: a relative change of at most 5e-6.
    constexpr float kRounding = 1e-5f;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!(std::fabs(a[i] - b[i]) <= kRounding * std::max(std::fabs(a[i]), std::fabs(b[i])))) return false;
    return true;
}

}  // namespace likeness_cli
