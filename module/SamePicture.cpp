// The same-picture rule: a distance below the default model's calibrated threshold, or, for a
// search's nearest picture, a distance that stands out from the next one.
#include "module/SamePicture.h"

#include <cstdio>
#include <unordered_map>

#include "module/FeatureContract.h"

namespace likeness {
namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

}  // namespace

void markSamePictures(std::vector<Match>& matches) {
    for (Match& match : matches) match.samePicture = samePicture(match.distance);
    // A copy of a stored picture lies clearly nearer to it than to anything else, while a picture
    // that is not stored (a texture among textures) lands among look-alikes at similar distances,
    // so a gap to the next picture vouches for a nearest match that the distance alone cannot.
    if (matches.size() >= 2 && matches[0].distance < kSamePictureNearestBelow &&
        matches[1].distance - matches[0].distance >= kSamePictureGap)
        matches[0].samePicture = true;
}

bool samePicture(float distance) {
    return distance < kSamePictureDistance;
}

float samePictureBelow() {
    return kSamePictureDistance;
}

float samePicturePairsBelow() {
    return kSamePictureNearestBelow + kSamePictureGap;
}

std::vector<NearPair> samePicturePairs(const std::vector<NearPair>& pairs) {
    // Each picture's nearest and next nearest partner among the pairs, by index into pairs; a
    // picture with no next partner has its next stored picture at samePicturePairsBelow() or
    // farther, which is as far as the rule needs to know.
    struct Nearest {
        std::size_t first = kNone, second = kNone;
    };
    std::unordered_map<const std::string*, Nearest> nearest;
    const auto closer = [&pairs](std::size_t a, std::size_t b) { return pairs[a].distance < pairs[b].distance; };
    for (std::size_t i = 0; i < pairs.size(); ++i)
        for (const std::string* key : {pairs[i].first, pairs[i].second}) {
            Nearest& two = nearest[key];
            if (two.first == kNone || closer(i, two.first)) {
                two.second = two.first;
                two.first = i;
            } else if (two.second == kNone || closer(i, two.second)) {
                two.second = i;
            }
        }
    std::vector<bool> same(pairs.size(), false);
    for (std::size_t i = 0; i < pairs.size(); ++i) same[i] = samePicture(pairs[i].distance);
    for (const auto& [key, two] : nearest) {
        std::vector<Match> matches{
            {"", pairs[two.first].distance, false},
            {"", two.second == kNone ? samePicturePairsBelow() : pairs[two.second].distance, false}};
        markSamePictures(matches);
        if (matches[0].samePicture) same[two.first] = true;
    }
    std::vector<NearPair> kept;
    for (std::size_t i = 0; i < pairs.size(); ++i)
        if (same[i]) kept.push_back(pairs[i]);
    return kept;
}

std::string samePictureRuleText() {
    char text[200];
    std::snprintf(text, sizeof text,
                  "closer than %.1f, or, for the nearest, closer than %.1f and at least %.1f nearer than the next "
                  "stored picture",
                  static_cast<double>(kSamePictureDistance), static_cast<double>(kSamePictureNearestBelow),
                  static_cast<double>(kSamePictureGap));
    return text;
}

}  // namespace likeness
