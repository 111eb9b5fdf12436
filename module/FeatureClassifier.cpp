// The library's preprocessing applied to a classifier.
#include "module/FeatureClassifier.h"

#include "module/FeatureContract.h"

namespace likeness {

VnnClassifier makeFeatureClassifier(const std::string& netPath, const std::string& weightsPath) {
    return VnnClassifier(netPath, weightsPath, 1, kInputScale, cv::Size(kInputSide, kInputSide),
                         cv::Scalar(kInputMeanBgr[0], kInputMeanBgr[1], kInputMeanBgr[2], 0), false);
}

}  // namespace likeness
