// The network set up as the library runs it for feature vectors: the preprocessing and input of
// module/FeatureContract.h around a VnnClassifier.
#ifndef LIKENESS_MODULE_FEATURECLASSIFIER_H
#define LIKENESS_MODULE_FEATURECLASSIFIER_H

#include <string>

#include "classifier/VnnClassifier.h"
#include "module/Export.h"

namespace likeness {

// A classifier that prepares pictures exactly as the library does for its feature vectors, loaded
// from the given description and weights.
LIKENESS_API VnnClassifier makeFeatureClassifier(const std::string& netPath, const std::string& weightsPath);

}  // namespace likeness

#endif
