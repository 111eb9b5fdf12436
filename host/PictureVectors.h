// The command's own view of how close pictures are: a picture's feature vector extracted as the
// library extracts it (the home's model, the same preprocessing and layer), measured against
// stored vectors with the library's own distance, so the numbers it prints are the ones search
// ranked by.
#ifndef LIKENESS_HOST_PICTUREVECTORS_H
#define LIKENESS_HOST_PICTUREVECTORS_H

#include <optional>
#include <string>
#include <vector>

#include "ResultsPage.h"
#include "classifier/VnnClassifier.h"
#include "module/FeatureMap.h"

namespace likeness_cli {

class PictureVectors {
public:
    // The vector of the picture file, or nothing when it does not decode. Loads the model of the
    // working directory (the home) on first use; OpenCV's exceptions pass through.
    std::optional<std::vector<float>> of(const std::string& picturePath);

private:
    std::optional<VnnClassifier> classifier;
};

// Whether two pictures this far apart are taken for the same picture (likeness::kSamePictureDistance).
bool samePicture(float distance);

// The matches of keys (stored in features), each with its distance to query; without a query
// vector they carry no distance.
std::vector<Match> measured(const std::vector<std::string>& keys, const std::optional<std::vector<float>>& query,
                            const FeatureMap& features);

// True when the vectors agree to the six significant digits the feature file keeps: what one
// picture gives, before and after a restart.
bool sameVector(const std::vector<float>& a, const std::vector<float>& b);

}  // namespace likeness_cli

#endif
