// The same-picture rule: today a distance below the default model's calibrated threshold.
#include "module/SamePicture.h"

#include "module/FeatureContract.h"

namespace likeness {

void markSamePictures(std::vector<Match>& matches) {
    for (Match& match : matches) match.samePicture = samePicture(match.distance);
}

bool samePicture(float distance) {
    return distance < kSamePictureDistance;
}

float samePictureBelow() {
    return kSamePictureDistance;
}

}  // namespace likeness
