// The same-picture rule: a distance below the default model's calibrated threshold, or, for a
// search's nearest picture, a distance that stands out from the next one.
#include "module/SamePicture.h"

#include "module/FeatureContract.h"

namespace likeness {

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

}  // namespace likeness
