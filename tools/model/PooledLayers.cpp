#include "PooledLayers.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <utility>

#include <opencv2/imgcodecs.hpp>

#include "Transforms.h"
#include "module/FeatureContract.h"

namespace fs = std::filesystem;

namespace keras_to_caffe {

std::string pooledName(const std::string& layer, Pooling pooling) {
    return layer + "@" + poolingName(pooling);
}

LayerPooler::LayerPooler(const fs::path& model, std::vector<std::string> layers)
    : net(cv::dnn::readNetFromCaffe((model / "v0.net").string(), (model / "v0.dat").string())),
      layers(std::move(layers)) {}

Pooled LayerPooler::pool(const cv::Mat& picture) {
    const cv::Size side(likeness::kInputSide, likeness::kInputSide);
    const cv::Scalar mean(likeness::kInputMeanBgr[0], likeness::kInputMeanBgr[1], likeness::kInputMeanBgr[2]);
    net.setInput(cv::dnn::blobFromImage(picture, likeness::kInputScale, side, mean, false, false));
    std::vector<cv::Mat> outputs;
    net.forward(outputs, layers);
    Pooled pooled;
    for (std::size_t index = 0; index < layers.size(); ++index) {
        const cv::Mat& blob = outputs[index];
        const int channels = blob.size[1];
        const std::size_t perChannel = blob.total() / static_cast<std::size_t>(channels);
        std::vector<float>& average = pooled[pooledName(layers[index], Pooling::Average)];
        std::vector<float>& maximum = pooled[pooledName(layers[index], Pooling::Maximum)];
        std::vector<float>& generalisedMean = pooled[pooledName(layers[index], Pooling::GeneralisedMean)];
        for (int channel = 0; channel < channels; ++channel) {
            const float* begin = blob.ptr<float>() + channel * perChannel;
            average.push_back(static_cast<float>(std::accumulate(begin, begin + perChannel, 0.0) / perChannel));
            maximum.push_back(*std::max_element(begin, begin + perChannel));
            double cubes = 0;
            for (const float* value = begin; value != begin + perChannel; ++value)
                cubes += std::pow(static_cast<double>(*value), kGeneralisedMeanPower);
            generalisedMean.push_back(static_cast<float>(std::pow(cubes / perChannel, 1.0 / kGeneralisedMeanPower)));
        }
        const int height = blob.size[2];
        const int width = blob.size[3];
        if (height % kSpectrumGrid == 0 && width % kSpectrumGrid == 0) {
            const std::vector<double> spectrum = cosineSpectrum(blob.ptr<float>(), channels, height, width);
            pooled[pooledName(layers[index], Pooling::CosineSpectrum)].assign(spectrum.begin(), spectrum.end());
        }
        if (height % kCosineGrid == 0 && width % kCosineGrid == 0) {
            const std::vector<double> cosines = signedCosines(blob.ptr<float>(), channels, height, width);
            pooled[pooledName(layers[index], Pooling::SignedCosines)].assign(cosines.begin(), cosines.end());
        }
    }
    return pooled;
}

std::vector<std::string> layersOf(const std::vector<FeaturePart>& parts) {
    std::vector<std::string> layers;
    for (const FeaturePart& part : parts)
        if (std::find(layers.begin(), layers.end(), part.layer) == layers.end()) layers.push_back(part.layer);
    return layers;
}

std::vector<double> partsOf(const std::vector<FeaturePart>& parts, const Pooled& pooled, std::vector<int>* channels) {
    std::vector<double> values;
    for (const FeaturePart& part : parts) {
        const std::vector<float>& pooledPart = pooled.at(pooledName(part.layer, part.pooling));
        double norm = 1.0;
        if (part.normalised)
            norm = std::sqrt(std::inner_product(pooledPart.begin(), pooledPart.end(), pooledPart.begin(), 0.0));
        for (float value : pooledPart) values.push_back(value / norm);
        if (channels) channels->push_back(static_cast<int>(pooledPart.size()));
    }
    return values;
}

std::vector<double> scaledPartsOf(const std::vector<FeaturePart>& parts, const Pooled& pooled) {
    std::vector<int> channels;
    std::vector<double> values = partsOf(parts, pooled, &channels);
    for (std::size_t part = 0, column = 0; part < channels.size(); column += channels[part++])
        for (int channel = 0; channel < channels[part]; ++channel) values[column + channel] *= parts[part].scale;
    return values;
}

ShapingPhotos shapingPhotos(const fs::path& dir, Split split) {
    ShapingPhotos shaping;
    shaping.photos = loadPhotos(dir, {});
    auto& photos = shaping.photos;
    photos.erase(std::remove_if(photos.begin(), photos.end(),
                                [](const Photo& photo) { return photo.kind != kDefaultPhotoKind; }),
                 photos.end());
    std::vector<int> longSides;
    for (const Photo& photo : photos) longSides.push_back(photo.longSide);
    const auto roles = assignRoles(longSides, ProtocolSizes{});
    if (!roles) throw std::runtime_error("too few large photos in " + dir.string());
    shaping.roles = *roles;
    shaping.sources = sourcesOfSplit(roles->sources, split);
    return shaping;
}

cv::Mat alteredCopy(const Photo& photo, const cv::Mat& original, std::size_t transform) {
    const QueryTransform& alteration = queryTransforms()[transform];
    if (!alteration.alter) return original;
    return cv::imdecode(encodeQuery(alteration, original, querySeed(photo, transform)).bytes, cv::IMREAD_COLOR);
}

std::size_t transformsThatMayShapeTheFeature() {
    const auto& transforms = queryTransforms();
    return static_cast<std::size_t>(std::count_if(transforms.begin(), transforms.end(), mayShapeTheFeature));
}

}  // namespace keras_to_caffe
