// Fidelity of the converted nsfwjs model: scripts/make-model builds the shipped default, and on real
// photographs OpenCV's pooled features (the tuned blocks' included), class scores and "pool5" match
// the original model run by TensorFlow.js with the learned parts' deltas added to its weights.
// The feature layer's name is written out, independently of module/FeatureContract.h.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <numeric>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "KerasToCaffe.h"
#include "LearnedParts.h"

namespace {

constexpr double kTolerance = 1e-4;
const char* const kPhotos[] = {"astronaut.png", "chelsea.png", "coffee.png", "rocket.jpg", "motorcycle_left.png"};
// Pooled outputs compared besides the recipe's parts: the 1280-value global pool under the
// classifier head and the class scores.
const std::vector<std::string> kComparedLayers = {"average_pooling2d_1", "dense_3"};
const std::string kLearnedParts = LIKENESS_SOURCE_DIR "/tools/model/learned/default.parts";

keras_to_caffe::FeatureRecipe testedRecipe() {
    static const keras_to_caffe::FeatureRecipe recipe = keras_to_caffe::readLearnedParts(kLearnedParts).recipe;
    return recipe;
}

// Parts the test computes itself from the picture as the model sees it, rather than the reference.
bool readsTheInput(const keras_to_caffe::FeaturePart& part) {
    return part.pooling == keras_to_caffe::Pooling::CosineSpectrum ||
           part.pooling == keras_to_caffe::Pooling::SignedCosines;
}

using Rows = std::vector<std::vector<double>>;

struct Fixture {
    std::string skipReason;
    std::string error;
    std::string modelDirectory;
    std::vector<cv::Mat> pictures;          // 224x224 BGR, as the library resizes them
    std::map<std::string, Rows> reference;  // Keras layer -> one row per picture
};

int run(const std::string& command) {
    std::cout << "+ " << command << std::endl;
    return std::system(command.c_str());
}

bool commandExists(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// What reference.mjs names the pooled output a part reads.
std::string referenceName(const keras_to_caffe::FeaturePart& part) {
    switch (part.pooling) {
    case keras_to_caffe::Pooling::Maximum: return part.layer + "@max";
    case keras_to_caffe::Pooling::GeneralisedMean: return part.layer + "@gem";
    case keras_to_caffe::Pooling::CosineSpectrum:
    case keras_to_caffe::Pooling::SignedCosines:
    case keras_to_caffe::Pooling::Average: break;
    }
    return part.layer;
}

// Every pooled output compared: the fixed ones, and each part's layer averaged and pooled the
// part's way. Cosine parts read the network's input, which the test knows exactly: they are
// computed here (partValues), not by the reference.
std::vector<std::string> referenceLayers() {
    std::vector<std::string> layers = kComparedLayers;
    for (const keras_to_caffe::FeaturePart& part : testedRecipe().parts)
        if (!readsTheInput(part))
            for (const std::string& name : {part.layer, referenceName(part)})
                if (std::find(layers.begin(), layers.end(), name) == layers.end()) layers.push_back(name);
    return layers;
}

Fixture prepare() {
    Fixture fixture;
    if (!commandExists("node") || !commandExists("npm")) {
        fixture.skipReason = "node and npm are needed to run the original model";
        return fixture;
    }
    const std::string work = FIDELITY_WORK_DIR;
    const std::string photos = work + "/photos";
    fixture.modelDirectory = work + "/model";
    std::filesystem::create_directories(work);
    if (run("CONVERT_NSFWJS='" CONVERT_NSFWJS_PATH "' '" LIKENESS_SOURCE_DIR "/scripts/make-model' '" +
            fixture.modelDirectory + "'") != 0) {
        fixture.error = "scripts/make-model failed";
        return fixture;
    }
    if (run("'" LIKENESS_SOURCE_DIR "/tests/model_fidelity_test.photos.sh' '" + photos + "'") != 0) {
        fixture.error = "fetching the photographs failed";
        return fixture;
    }
    const std::string pixelsPath = work + "/pixels.rgb";
    std::ofstream pixels(pixelsPath, std::ios::binary);
    for (const char* name : kPhotos) {
        const cv::Mat decoded = cv::imread(photos + "/" + name, cv::IMREAD_COLOR);
        if (decoded.empty()) {
            fixture.error = std::string("cannot decode ") + name;
            return fixture;
        }
        cv::Mat picture;
        cv::resize(decoded, picture, cv::Size(likeness::kInputSide, likeness::kInputSide));
        fixture.pictures.push_back(picture);
        cv::Mat rgb;
        cv::cvtColor(picture, rgb, cv::COLOR_BGR2RGB);
        pixels.write(reinterpret_cast<const char*>(rgb.data),
                     static_cast<std::streamsize>(rgb.total() * rgb.elemSize()));
    }
    pixels.close();
    std::string layerList;
    for (const std::string& layer : referenceLayers()) layerList += (layerList.empty() ? "" : ",") + layer;
    const std::string referencePath = work + "/reference.json";
    if (run("cd '" LIKENESS_SOURCE_DIR "/tools/model' && node reference.mjs '" + pixelsPath + "' " +
            std::to_string(fixture.pictures.size()) + " " + layerList + " '" + referencePath + "' '" + kLearnedParts +
            "'") != 0) {
        fixture.error = "reference.mjs failed";
        return fixture;
    }
    std::ifstream referenceFile(referencePath);
    fixture.reference = nlohmann::json::parse(referenceFile).get<std::map<std::string, Rows>>();
    return fixture;
}

const Fixture& fixture() {
    static const Fixture prepared = prepare();
    return prepared;
}

// What the library does to a picture before the network: (BGR - mean) x 1.0, no channel swap.
cv::Mat libraryBlob(const cv::Mat& picture) {
    const double* mean = likeness::kInputMeanBgr;
    return cv::dnn::blobFromImage(picture, 1.0, cv::Size(likeness::kInputSide, likeness::kInputSide),
                                  cv::Scalar(mean[0], mean[1], mean[2]), false);
}

// A blob's values per channel pooled over rows and columns when it has them, the way the
// reference name's suffix says ("@max", "@gem", else the average).
std::vector<double> pooled(const cv::Mat& blob, const std::string& referenceLayer) {
    const std::string pooling = referenceLayer.substr(std::min(referenceLayer.size(), referenceLayer.find('@')));
    const int channels = blob.size[1];
    const std::size_t perChannel = blob.total() / static_cast<std::size_t>(channels);
    std::vector<double> values(channels);
    for (int channel = 0; channel < channels; ++channel) {
        const float* begin = blob.ptr<float>() + channel * perChannel;
        if (pooling == "@max") {
            values[channel] = *std::max_element(begin, begin + perChannel);
        } else if (pooling == "@gem") {
            double cubes = 0.0;
            for (const float* value = begin; value != begin + perChannel; ++value) cubes += std::pow(*value, 3.0);
            values[channel] = std::cbrt(cubes / static_cast<double>(perChannel));
        } else {
            values[channel] = std::accumulate(begin, begin + perChannel, 0.0) / static_cast<double>(perChannel);
        }
    }
    return values;
}

void normalise(std::vector<double>& values) {
    const double norm = std::sqrt(std::inner_product(values.begin(), values.end(), values.begin(), 0.0));
    for (double& value : values) value /= norm;
}

double maxAbsoluteDifference(const std::vector<double>& actual, const std::vector<double>& expected) {
    double worst = 0.0;
    for (std::size_t index = 0; index < actual.size(); ++index)
        worst = std::max(worst, std::abs(actual[index] - expected[index]));
    return worst;
}

class ModelFidelityTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fixture().skipReason.empty()) GTEST_SKIP() << fixture().skipReason;
        ASSERT_TRUE(fixture().error.empty()) << fixture().error;
        net = cv::dnn::readNetFromCaffe(fixture().modelDirectory + "/v0.net", fixture().modelDirectory + "/v0.dat");
        ASSERT_FALSE(net.empty());
    }

    cv::dnn::Net net;
};

TEST_F(ModelFidelityTest, PooledFeaturesAndClassScoresMatchTensorFlowJs) {
    const std::vector<std::string> layers = referenceLayers();
    for (const std::string& layer : layers)
        ASSERT_EQ(fixture().reference.at(layer).size(), fixture().pictures.size()) << layer;
    std::map<std::string, double> worst;
    for (std::size_t picture = 0; picture < fixture().pictures.size(); ++picture) {
        net.setInput(libraryBlob(fixture().pictures[picture]));
        std::vector<cv::Mat> outputs;
        std::vector<std::string> caffeLayers;
        for (const std::string& layer : layers) caffeLayers.push_back(layer.substr(0, layer.find('@')));
        net.forward(outputs, caffeLayers);
        for (std::size_t index = 0; index < layers.size(); ++index) {
            const std::vector<double> actual = pooled(outputs[index], layers[index]);
            const std::vector<double>& expected = fixture().reference.at(layers[index])[picture];
            ASSERT_EQ(actual.size(), expected.size()) << layers[index];
            const double difference = maxAbsoluteDifference(actual, expected);
            worst[layers[index]] = std::max(worst[layers[index]], difference);
            EXPECT_LE(difference, kTolerance) << layers[index] << " on " << kPhotos[picture];
        }
        const std::vector<double>& expectedScores = fixture().reference.at("dense_3")[picture];
        const std::vector<double> scores =
            pooled(outputs[std::find(layers.begin(), layers.end(), "dense_3") - layers.begin()], "dense_3");
        EXPECT_EQ(std::max_element(scores.begin(), scores.end()) - scores.begin(),
                  std::max_element(expectedScores.begin(), expectedScores.end()) - expectedScores.begin())
            << "top class of " << kPhotos[picture];
    }
    for (const auto& [layer, difference] : worst) {
        std::cout << "max |OpenCV - tfjs| " << layer << ": " << difference << "\n";
        RecordProperty("max_error_" + layer, std::to_string(difference));
    }
}

// A part's values for one picture before its normalisation: the reference's pooled output, or
// for a cosine part, the cosines of the picture as the model sees it (rgb / 255).
std::vector<double> partValues(const keras_to_caffe::FeaturePart& part, std::size_t picture) {
    if (!readsTheInput(part)) return fixture().reference.at(referenceName(part))[picture];
    const cv::Mat blob = cv::dnn::blobFromImage(fixture().pictures[picture], 1.0 / 255.0);
    const auto cosines = part.pooling == keras_to_caffe::Pooling::CosineSpectrum ? keras_to_caffe::cosineSpectrum
                                                                                 : keras_to_caffe::signedCosines;
    return cosines(blob.ptr<float>(), blob.size[1], blob.size[2], blob.size[3]);
}

// pool5 is the recipe applied to the reference's pooled parts: each value within the error those
// parts may carry through its row of the map, or, for a normalised feature, within the tolerance
// of the unit vector.
TEST_F(ModelFidelityTest, FeatureIsTheRecipeAppliedToTheReference) {
    const keras_to_caffe::FeatureRecipe recipe = testedRecipe();
    std::vector<int> partChannels;
    for (const keras_to_caffe::FeaturePart& part : recipe.parts)
        partChannels.push_back(static_cast<int>(partValues(part, 0).size()));
    const keras_to_caffe::FeatureMap map = keras_to_caffe::featureMap(recipe, partChannels);
    for (std::size_t picture = 0; picture < fixture().pictures.size(); ++picture) {
        std::vector<double> parts;
        for (const keras_to_caffe::FeaturePart& part : recipe.parts) {
            std::vector<double> values = partValues(part, picture);
            if (part.normalised) normalise(values);
            parts.insert(parts.end(), values.begin(), values.end());
        }
        std::vector<double> expected(map.bias.begin(), map.bias.end());
        std::vector<double> tolerances(expected.size());
        for (int row = 0; row < likeness::kFeatureDim; ++row) {
            double rowWeight = 0.0;
            for (int column = 0; column < map.columns; ++column) {
                const float coefficient = map.matrix[static_cast<std::size_t>(row) * map.columns + column];
                expected[row] += coefficient * parts[column];
                rowWeight += std::abs(coefficient);
            }
            tolerances[row] = kTolerance * std::max(1.0, rowWeight);
        }
        net.setInput(libraryBlob(fixture().pictures[picture]));
        const cv::Mat feature = net.forward("pool5");
        ASSERT_EQ(feature.total(), static_cast<std::size_t>(likeness::kFeatureDim));
        std::vector<double> actual(feature.ptr<float>(), feature.ptr<float>() + feature.total());
        if (recipe.normalised) {
            normalise(expected);
            for (double& value : actual) value /= recipe.scale;
            tolerances.assign(tolerances.size(), kTolerance);
        }
        for (int row = 0; row < likeness::kFeatureDim; ++row)
            EXPECT_NEAR(actual[row], expected[row], tolerances[row]) << "pool5[" << row << "] on " << kPhotos[picture];
        if (recipe.normalised) {
            EXPECT_NEAR(cv::norm(feature), recipe.scale, 1e-4 * recipe.scale) << kPhotos[picture];
        }
    }
}

// The library computes features with forward("pool5"); OpenCV stops at the requested layer, so
// no layer after it may have run.
TEST_F(ModelFidelityTest, ForwardToFeatureRunsNoLaterLayer) {
    net.setInput(libraryBlob(fixture().pictures.front()));
    net.forward("pool5");
    std::vector<double> timings;
    net.getPerfProfile(timings);
    const std::vector<std::string> names = net.getLayerNames();
    const int featureId = net.getLayerId("pool5");
    ASSERT_LT(featureId, static_cast<int>(names.size())) << "pool5 is the last layer";
    for (std::size_t index = 0; index < names.size(); ++index) {
        const int layerId = net.getLayerId(names[index]);
        if (layerId > featureId) {
            EXPECT_EQ(timings[index], 0.0) << names[index] << " ran for a forward to pool5";
        } else if (layerId == featureId) {
            EXPECT_GT(timings[index], 0.0) << "pool5 did not run";
        }
    }
}

// Distances are sqrt(10000 + squared differences) in float, which cannot tell apart squared
// differences much below 1e-2; different photographs must lie far above that.
TEST_F(ModelFidelityTest, DifferentPhotographsHaveFeaturesFarApart) {
    std::vector<cv::Mat> features;
    for (const cv::Mat& picture : fixture().pictures) {
        net.setInput(libraryBlob(picture));
        features.push_back(net.forward("pool5").clone());
    }
    for (std::size_t first = 0; first < features.size(); ++first)
        for (std::size_t second = first + 1; second < features.size(); ++second) {
            const double squared = cv::norm(features[first], features[second], cv::NORM_L2SQR);
            EXPECT_GT(squared, 1.0) << kPhotos[first] << " and " << kPhotos[second];
        }
}

TEST_F(ModelFidelityTest, ClassifierIsTheLastLayerWithFiveScores) {
    net.setInput(libraryBlob(fixture().pictures.front()));
    const cv::Mat scores = net.forward();
    ASSERT_EQ(scores.total(), 5u);
    EXPECT_NEAR(cv::sum(scores)[0], 1.0, 1e-5);
    EXPECT_EQ(net.getLayerNames().back(), "dense_3");
}

}  // namespace
