// The converted network's layers pooled per channel on photographs, the raw material from which the
// feature's recipes are compared, and the photos those use.
#ifndef LIKENESS_TOOLS_MODEL_POOLEDLAYERS_H
#define LIKENESS_TOOLS_MODEL_POOLEDLAYERS_H

#include <cstddef>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include "KerasToCaffe.h"
#include "PhotoSet.h"
#include "Protocol.h"

namespace keras_to_caffe {

// One picture's pooled outputs, by pooledName.
using Pooled = std::map<std::string, std::vector<float>>;

// "LAYER@POOLING" (poolingName).
std::string pooledName(const std::string& layer, Pooling pooling);

// Runs a converted model (any: every Keras layer keeps its name) on pictures preprocessed as the
// library does and pools each named layer every way the recipes can (the cosine spectrum only
// where the layer's sides are multiples of kSpectrumGrid).
class LayerPooler {
public:
    LayerPooler(const std::filesystem::path& model, std::vector<std::string> layers);
    Pooled pool(const cv::Mat& picture);

private:
    cv::dnn::Net net;
    std::vector<std::string> layers;
};

// The layers the parts read, each once, in order of first mention.
std::vector<std::string> layersOf(const std::vector<FeaturePart>& parts);

// The parts concatenated as the network's "feature_parts" holds them: pooled, and normalised
// where asked, but not yet scaled (the feature map carries the scales). channels, when given,
// receives each part's length.
std::vector<double> partsOf(const std::vector<FeaturePart>& parts, const Pooled& pooled,
                            std::vector<int>* channels = nullptr);
// partsOf's values with each part multiplied by its scale, as the feature map sees them.
std::vector<double> scaledPartsOf(const std::vector<FeaturePart>& parts, const Pooled& pooled);

// The photos the feature is shaped on: the ordinary ones alone (as before the set gained its
// low-structure kind; the other kinds only ever serve the benchmark), their roles, and the
// sources of one split.
struct ShapingPhotos {
    std::vector<Photo> photos;
    PhotoRoles roles;
    std::vector<std::size_t> sources;
};
// Throws std::runtime_error when the set has too few large photos.
ShapingPhotos shapingPhotos(const std::filesystem::path& dir, Split split);

// The query a transform (one that needs no backdrop) makes of a source photo, decoded as the
// library would read it; the original itself for the identity.
cv::Mat alteredCopy(const Photo& photo, const cv::Mat& original, std::size_t transform);

// How many of queryTransforms() a fit or a choice may look at (mayShapeTheFeature).
std::size_t transformsThatMayShapeTheFeature();

}  // namespace keras_to_caffe

#endif
