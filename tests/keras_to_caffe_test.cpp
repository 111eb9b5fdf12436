// Checks of the converter that need neither node nor the real model: part parsing, the seeded
// orthonormal projection, the feature map, refused layers and a small network against Keras' rules.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>

#include <unistd.h>

#include <opencv2/dnn.hpp>

#include "KerasToCaffe.h"
#include "LearnedParts.h"

namespace {

using namespace keras_to_caffe;

TEST(ParseFeatureParts, ReadsPoolingNormalisationAndScale) {
    const std::vector<FeaturePart> parts =
        parseFeatureParts("block_10_depthwise_relu:max:l2:0.5,block_5_add,block_6_add:gem,input_1:spectrum");
    ASSERT_EQ(parts.size(), 4u);
    EXPECT_EQ(parts[0].layer, "block_10_depthwise_relu");
    EXPECT_EQ(parts[0].pooling, Pooling::Maximum);
    EXPECT_TRUE(parts[0].normalised);
    EXPECT_DOUBLE_EQ(parts[0].scale, 0.5);
    EXPECT_EQ(parts[1].layer, "block_5_add");
    EXPECT_EQ(parts[1].pooling, Pooling::Average);
    EXPECT_FALSE(parts[1].normalised);
    EXPECT_DOUBLE_EQ(parts[1].scale, 1.0);
    EXPECT_EQ(parts[2].pooling, Pooling::GeneralisedMean);
    EXPECT_EQ(parts[3].pooling, Pooling::CosineSpectrum);
}

TEST(ParseFeatureParts, RefusesMalformedText) {
    EXPECT_THROW(parseFeatureParts(""), ConversionError);
    EXPECT_THROW(parseFeatureParts(":max"), ConversionError);
    EXPECT_THROW(parseFeatureParts("block_5_add:mean"), ConversionError);
    EXPECT_THROW(parseFeatureParts("block_5_add:1.5x"), ConversionError);
    EXPECT_THROW(parseFeatureParts("block_5_add:inf"), ConversionError);
}

TEST(OrthonormalProjection, RowsAreOrthonormal) {
    const Projection projection = orthonormalProjection(600, 3);
    ASSERT_EQ(projection.matrix.size(), static_cast<std::size_t>(likeness::kFeatureDim));
    for (std::size_t first = 0; first < projection.matrix.size(); first += 37)
        for (std::size_t second = 0; second < projection.matrix.size(); second += 41) {
            double dot = 0.0;
            for (std::size_t column = 0; column < 600; ++column)
                dot += projection.matrix[first][column] * projection.matrix[second][column];
            EXPECT_NEAR(dot, first == second ? 1.0 : 0.0, 1e-9) << first << " . " << second;
        }
    EXPECT_TRUE(projection.bias.empty());
}

TEST(OrthonormalProjection, SeedDecidesTheRows) {
    EXPECT_EQ(orthonormalProjection(520, 7).matrix, orthonormalProjection(520, 7).matrix);
    EXPECT_NE(orthonormalProjection(520, 7).matrix[0], orthonormalProjection(520, 8).matrix[0]);
}

TEST(OrthonormalProjection, NeedsAtLeastAsManyInputsAsOutputs) {
    EXPECT_THROW(orthonormalProjection(likeness::kFeatureDim - 1, 1), ConversionError);
}

TEST(FeatureMap, WithoutProjectionIsDiagonalOfPartAndFinalScales) {
    FeatureRecipe recipe;
    recipe.parts = {{"a", Pooling::Average, false, 2.0}, {"b", Pooling::Maximum, true, 3.0}};
    recipe.scale = 0.5;
    const FeatureMap map = featureMap(recipe, {500, 12});
    ASSERT_EQ(map.columns, likeness::kFeatureDim);
    EXPECT_FLOAT_EQ(map.matrix[0], 1.0f);
    EXPECT_FLOAT_EQ(map.matrix[1], 0.0f);
    EXPECT_FLOAT_EQ(map.matrix[499 * likeness::kFeatureDim + 499], 1.0f);
    EXPECT_FLOAT_EQ(map.matrix[500 * likeness::kFeatureDim + 500], 1.5f);
    EXPECT_FLOAT_EQ(map.bias[7], 0.0f);
}

// A normalised feature is rescaled after its normalisation, so the map leaves the final scale out.
TEST(FeatureMap, NormalisedFeatureKeepsTheFinalScaleOutOfTheMap) {
    FeatureRecipe recipe;
    recipe.parts = {{"a", Pooling::Average, false, 2.0}};
    recipe.normalised = true;
    recipe.scale = 10.0;
    const FeatureMap map = featureMap(recipe, {likeness::kFeatureDim});
    EXPECT_FLOAT_EQ(map.matrix[3 * likeness::kFeatureDim + 3], 2.0f);
}

TEST(FeatureMap, ProjectionColumnsCarryThePartScalesAndTheBiasTheFinalScale) {
    FeatureRecipe recipe;
    recipe.parts = {{"a", Pooling::Average, false, 2.0}, {"b", Pooling::Average, false, -1.0}};
    recipe.scale = 3.0;
    Projection projection;
    projection.matrix.assign(likeness::kFeatureDim, std::vector<double>{0.25, 0.5, 1.0});
    projection.bias.assign(likeness::kFeatureDim, 0.125);
    recipe.projection = projection;
    const FeatureMap map = featureMap(recipe, {2, 1});
    ASSERT_EQ(map.columns, 3);
    EXPECT_FLOAT_EQ(map.matrix[3 * 5 + 0], 1.5f);
    EXPECT_FLOAT_EQ(map.matrix[3 * 5 + 1], 3.0f);
    EXPECT_FLOAT_EQ(map.matrix[3 * 5 + 2], -3.0f);
    EXPECT_FLOAT_EQ(map.bias[5], 0.375f);
}

TEST(FeatureMap, RefusesShapesThatDoNotFit) {
    FeatureRecipe recipe;
    recipe.parts = {{"a", Pooling::Average, false, 1.0}};
    EXPECT_THROW(featureMap(recipe, {384}), ConversionError) << "384 values without a projection";
    EXPECT_THROW(featureMap(recipe, {512, 1}), ConversionError) << "two channel counts for one part";
    Projection projection;
    projection.matrix.assign(likeness::kFeatureDim - 1, std::vector<double>(384, 0.0));
    recipe.projection = projection;
    EXPECT_THROW(featureMap(recipe, {384}), ConversionError) << "511 rows";
    recipe.projection->matrix.assign(likeness::kFeatureDim, std::vector<double>(383, 0.0));
    EXPECT_THROW(featureMap(recipe, {384}), ConversionError) << "rows one value short";
    recipe.projection->matrix.assign(likeness::kFeatureDim, std::vector<double>(384, 0.0));
    recipe.orthonormalSeed = 1;
    EXPECT_THROW(featureMap(recipe, {384}), ConversionError) << "projection and seed together";
}

KerasModel modelWithOneLayer(const nlohmann::json& layer) {
    KerasModel model;
    model.layers = nlohmann::json::array();
    model.layers.push_back({{"name", "input_1"},
                            {"class", "InputLayer"},
                            {"config", {{"batch_input_shape", {nullptr, 224, 224, 3}}}},
                            {"inputs", nlohmann::json::array()}});
    model.layers.push_back(layer);
    model.weights = nlohmann::json::object();
    return model;
}

TEST(Convert, RefusesLayersItCannotReproduce) {
    FeatureRecipe recipe;
    recipe.parts = {{"input_1", Pooling::Average, false, 1.0}};
    EXPECT_THROW(
        convert(
            modelWithOneLayer(
                {{"name", "x"}, {"class", "Conv3D"}, {"config", nlohmann::json::object()}, {"inputs", {"input_1"}}}),
            recipe),
        ConversionError);
    EXPECT_THROW(convert(modelWithOneLayer({{"name", "pad"},
                                            {"class", "ZeroPadding2D"},
                                            {"config", {{"padding", {{1, 1}, {1, 1}}}}},
                                            {"inputs", {"input_1"}}}),
                         recipe),
                 ConversionError);
    EXPECT_THROW(convert(modelWithOneLayer({{"name", "relu"},
                                            {"class", "ReLU"},
                                            {"config", {{"max_value", 4}, {"negative_slope", 0}, {"threshold", 0}}},
                                            {"inputs", {"input_1"}}}),
                         recipe),
                 ConversionError);
}

TEST(Convert, RefusesARecipeNamingAnUnknownLayer) {
    FeatureRecipe recipe;
    recipe.parts = {{"block_99", Pooling::Average, false, 1.0}};
    const KerasModel model = modelWithOneLayer({{"name", "relu"},
                                                {"class", "ReLU"},
                                                {"config", {{"max_value", 6}, {"negative_slope", 0}, {"threshold", 0}}},
                                                {"inputs", {"input_1"}}});
    EXPECT_THROW(convert(model, recipe), ConversionError);
}

// Mirroring a picture only flips the signs of its cosine coefficients and a quarter turn also
// transposes them; the spectrum must see neither, yet tell different pictures apart.
TEST(CosineSpectrum, IgnoresMirrorsAndQuarterTurnsButNotContent) {
    constexpr int kChannels = 3;
    constexpr int kSide = 4 * kSpectrumGrid;
    cv::Mat planes[kChannels];
    std::vector<float> original;
    std::vector<float> mirrored;
    std::vector<float> turned;
    std::vector<float> other;
    cv::RNG random(5);
    for (cv::Mat& plane : planes) {
        plane.create(kSide, kSide, CV_32F);
        random.fill(plane, cv::RNG::UNIFORM, 0.0, 1.0);
        cv::Mat flipped;
        cv::Mat rotated;
        cv::flip(plane, flipped, 1);
        cv::rotate(plane, rotated, cv::ROTATE_90_CLOCKWISE);
        original.insert(original.end(), plane.begin<float>(), plane.end<float>());
        mirrored.insert(mirrored.end(), flipped.begin<float>(), flipped.end<float>());
        turned.insert(turned.end(), rotated.begin<float>(), rotated.end<float>());
        cv::Mat unrelated(kSide, kSide, CV_32F);
        random.fill(unrelated, cv::RNG::UNIFORM, 0.0, 1.0);
        other.insert(other.end(), unrelated.begin<float>(), unrelated.end<float>());
    }
    const std::vector<double> spectrum = cosineSpectrum(original.data(), kChannels, kSide, kSide);
    ASSERT_EQ(spectrum.size(), static_cast<std::size_t>(kSpectrumValues));
    const std::vector<double> ofMirror = cosineSpectrum(mirrored.data(), kChannels, kSide, kSide);
    const std::vector<double> ofTurn = cosineSpectrum(turned.data(), kChannels, kSide, kSide);
    const std::vector<double> ofOther = cosineSpectrum(other.data(), kChannels, kSide, kSide);
    double otherDifference = 0.0;
    for (int value = 0; value < kSpectrumValues; ++value) {
        EXPECT_NEAR(ofMirror[value], spectrum[value], 1e-9) << "value " << value;
        EXPECT_NEAR(ofTurn[value], spectrum[value], 1e-9) << "value " << value;
        otherDifference = std::max(otherDifference, std::abs(ofOther[value] - spectrum[value]));
    }
    EXPECT_GT(otherDifference, 0.1);
    EXPECT_THROW(cosineSpectrum(original.data(), kChannels, kSide - 1, kSide), ConversionError);
}

// A network with each construct the converter rewrites: the asymmetric padding before a stride-2
// convolution, batch normalisations to fold, a depthwise convolution, ReLU6, an addition, the
// global pool, a dense softmax, the picture's BGR channels and pooled and cosine feature parts.
// Its output is computed here directly from Keras' definitions and compared with OpenCV running the converted network.
class SmallNetwork : public ::testing::Test {
protected:
    static constexpr int kSide = likeness::kInputSide;
    static constexpr int kHalf = kSide / 2;
    static constexpr int kFilters = 2;
    static constexpr int kClasses = 3;

    std::vector<float> addWeight(const std::string& name, const std::vector<int>& shape, float low, float high) {
        std::size_t count = 1;
        for (int dim : shape) count *= static_cast<std::size_t>(dim);
        model.weights[name] = {{"shape", shape}, {"offset", model.values.size()}};
        std::vector<float> values(count);
        for (float& value : values) value = std::uniform_real_distribution<float>(low, high)(generator);
        model.values.insert(model.values.end(), values.begin(), values.end());
        return values;
    }

    void addLayer(const std::string& name, const std::string& kind, nlohmann::json config,
                  const std::vector<std::string>& inputs) {
        config["name"] = name;
        model.layers.push_back({{"name", name}, {"class", kind}, {"config", config}, {"inputs", inputs}});
    }

    struct Normalisation {
        std::vector<float> gamma, beta, mean, variance;
        double apply(int channel, double value) const {
            return (value - mean[channel]) / std::sqrt(variance[channel] + 0.001) * gamma[channel] + beta[channel];
        }
    };

    Normalisation addNormalisation(const std::string& name, const std::string& input) {
        addLayer(name, "BatchNormalization", {{"axis", -1}, {"epsilon", 0.001}, {"center", true}, {"scale", true}},
                 {input});
        return {addWeight(name + "/gamma", {kFilters}, 0.5f, 1.5f), addWeight(name + "/beta", {kFilters}, -0.5f, 0.5f),
                addWeight(name + "/moving_mean", {kFilters}, -0.3f, 0.3f),
                addWeight(name + "/moving_variance", {kFilters}, 0.5f, 2.0f)};
    }

    static double relu6(double value) { return std::min(6.0, std::max(0.0, value)); }

    static std::filesystem::path scratchFolder(const std::string& prefix) {
        return std::filesystem::temp_directory_path() / (prefix + std::to_string(::getpid()));
    }

    // Writes the converted network into directory (removed after), reads it back with OpenCV and
    // runs it on a random picture (bgr), prepared as the library prepares one: outputs receives
    // the named layers' values.
    static void runConverted(const caffe::NetWriter& converted, const std::filesystem::path& directory,
                             const std::vector<std::string>& names, cv::Mat& bgr, std::vector<cv::Mat>& outputs) {
        std::filesystem::create_directories(directory);
        const std::string description = (directory / "v0.net").string(), weights = (directory / "v0.dat").string();
        ASSERT_TRUE(converted.write(description, weights));
        cv::dnn::Net net = cv::dnn::readNetFromCaffe(description, weights);
        std::filesystem::remove_all(directory);

        bgr.create(kSide, kSide, CV_8UC3);
        cv::randu(bgr, 0, 256);
        const double* mean = likeness::kInputMeanBgr;
        net.setInput(
            cv::dnn::blobFromImage(bgr, 1.0, cv::Size(kSide, kSide), cv::Scalar(mean[0], mean[1], mean[2]), false));
        net.forward(outputs, names);
    }

    std::mt19937 generator{11};
    KerasModel model;
};

TEST_F(SmallNetwork, ConvertedNetworkComputesWhatKerasDefines) {
    const nlohmann::json linear = {{"kernel_size", {3, 3}},
                                   {"dilation_rate", {1, 1}},
                                   {"activation", "linear"},
                                   {"data_format", "channels_last"},
                                   {"use_bias", false}};
    const nlohmann::json relu6Config = {{"max_value", 6}, {"negative_slope", 0}, {"threshold", 0}};
    model.layers = nlohmann::json::array();
    model.weights = nlohmann::json::object();
    addLayer("input_1", "InputLayer", {{"batch_input_shape", {nullptr, kSide, kSide, 3}}}, {});
    addLayer("pad", "ZeroPadding2D", {{"padding", {{0, 1}, {0, 1}}}}, {"input_1"});
    nlohmann::json convolutionConfig = linear;
    convolutionConfig.update({{"filters", kFilters}, {"strides", {2, 2}}, {"padding", "valid"}});
    addLayer("conv", "Conv2D", convolutionConfig, {"pad"});
    const std::vector<float> kernel = addWeight("conv/kernel", {3, 3, 3, kFilters}, -1.0f, 1.0f);
    const Normalisation convolutionNormalisation = addNormalisation("conv_bn", "conv");
    addLayer("conv_relu", "ReLU", relu6Config, {"conv_bn"});
    nlohmann::json depthwiseConfig = linear;
    depthwiseConfig.update({{"depth_multiplier", 1}, {"strides", {1, 1}}, {"padding", "same"}});
    addLayer("depthwise", "DepthwiseConv2D", depthwiseConfig, {"conv_relu"});
    const std::vector<float> depthwiseKernel =
        addWeight("depthwise/depthwise_kernel", {3, 3, kFilters, 1}, -1.0f, 1.0f);
    const Normalisation depthwiseNormalisation = addNormalisation("depthwise_bn", "depthwise");
    addLayer("depthwise_relu", "ReLU", relu6Config, {"depthwise_bn"});
    addLayer("add", "Add", nlohmann::json::object(), {"conv_relu", "depthwise_relu"});
    addLayer("pool", "AveragePooling2D",
             {{"pool_size", {kHalf, kHalf}}, {"strides", {kHalf, kHalf}}, {"padding", "valid"}}, {"add"});
    addLayer("flatten", "Flatten", nlohmann::json::object(), {"pool"});
    addLayer("scores", "Dense", {{"units", kClasses}, {"activation", "softmax"}, {"use_bias", true}}, {"flatten"});
    const std::vector<float> dense = addWeight("scores/kernel", {kFilters, kClasses}, -1.0f, 1.0f);
    const std::vector<float> denseBias = addWeight("scores/bias", {kClasses}, -0.5f, 0.5f);

    FeatureRecipe recipe;
    // The feature = the average and the generalised mean of "add" and the cosine spectrum and signed
    // cosines of the input, each value once: row r of the projection picks value r % kParts.
    recipe.parts = {{"add", Pooling::Average, false, 1.0},
                    {"add", Pooling::GeneralisedMean, false, 1.0},
                    {"input_1", Pooling::CosineSpectrum, false, 1.0},
                    {"input_1", Pooling::SignedCosines, false, 1.0}};
    constexpr int kParts = 2 * kFilters + kSpectrumValues + kSignedCosineValues;
    recipe.projection =
        Projection{std::vector<std::vector<double>>(likeness::kFeatureDim, std::vector<double>(kParts, 0.0)), {}};
    for (int row = 0; row < likeness::kFeatureDim; ++row) recipe.projection->matrix[row][row % kParts] = 1.0;
    cv::Mat bgr;
    std::vector<cv::Mat> outputs;
    ASSERT_NO_FATAL_FAILURE(runConverted(convert(model, recipe), scratchFolder("keras_to_caffe_test_"),
                                         {"add", "scores", likeness::kFeatureLayer}, bgr, outputs));

    // Keras: the model sees rgb / 255, padded with one zero row and column at the bottom and right.
    auto rgb = [&](int y, int x, int channel) {
        return y < kSide && x < kSide ? bgr.at<cv::Vec3b>(y, x)[2 - channel] / 255.0 : 0.0;
    };
    std::vector<double> first(static_cast<std::size_t>(kFilters) * kHalf * kHalf);
    auto at = [](int filter, int y, int x) { return (static_cast<std::size_t>(filter) * kHalf + y) * kHalf + x; };
    for (int filter = 0; filter < kFilters; ++filter)
        for (int y = 0; y < kHalf; ++y)
            for (int x = 0; x < kHalf; ++x) {
                double sum = 0.0;
                for (int ky = 0; ky < 3; ++ky)
                    for (int kx = 0; kx < 3; ++kx)
                        for (int channel = 0; channel < 3; ++channel)
                            sum += rgb(2 * y + ky, 2 * x + kx, channel) *
                                   kernel[((ky * 3 + kx) * 3 + channel) * kFilters + filter];
                first[at(filter, y, x)] = relu6(convolutionNormalisation.apply(filter, sum));
            }
    std::vector<double> pooledSum(kFilters, 0.0);
    std::vector<double> cubedSum(kFilters, 0.0);
    double worstActivation = 0.0;
    for (int filter = 0; filter < kFilters; ++filter)
        for (int y = 0; y < kHalf; ++y)
            for (int x = 0; x < kHalf; ++x) {
                double sum = 0.0;
                for (int ky = -1; ky <= 1; ++ky)
                    for (int kx = -1; kx <= 1; ++kx)
                        if (y + ky >= 0 && y + ky < kHalf && x + kx >= 0 && x + kx < kHalf)
                            sum += first[at(filter, y + ky, x + kx)] *
                                   depthwiseKernel[((ky + 1) * 3 + kx + 1) * kFilters + filter];
                const double added = first[at(filter, y, x)] + relu6(depthwiseNormalisation.apply(filter, sum));
                pooledSum[filter] += added;
                cubedSum[filter] += added * added * added;
                worstActivation =
                    std::max(worstActivation, std::abs(added - outputs[0].ptr<float>()[at(filter, y, x)]));
            }
    EXPECT_LE(worstActivation, 1e-4);
    ASSERT_EQ(outputs[2].total(), static_cast<std::size_t>(likeness::kFeatureDim));
    for (int filter = 0; filter < kFilters; ++filter) {
        EXPECT_NEAR(outputs[2].ptr<float>()[filter], pooledSum[filter] / (kHalf * kHalf), 1e-4) << "average " << filter;
        EXPECT_NEAR(outputs[2].ptr<float>()[kFilters + filter], std::cbrt(cubedSum[filter] / (kHalf * kHalf)), 1e-4)
            << "generalised mean " << filter;
    }
    // The spectrum and the signed cosines straight from their definitions: grey levels of rgb / 255
    // averaged over square cells, cosine coefficients of the grid; for the spectrum, magnitudes of
    // (u, v) and (v, u) added, (0, 0) left out; for the cosines, u and v below kCosinesKept.
    const double pi = std::acos(-1.0);
    auto coefficient = [&](int grid, int u, int v) {
        const int cell = kSide / grid;
        double sum = 0.0;
        for (int y = 0; y < kSide; ++y)
            for (int x = 0; x < kSide; ++x)
                sum += (rgb(y, x, 0) + rgb(y, x, 1) + rgb(y, x, 2)) / (3.0 * cell * cell) *
                       std::cos(pi * (y / cell + 0.5) * u / grid) * std::cos(pi * (x / cell + 0.5) * v / grid);
        return sum;
    };
    int value = 2 * kFilters;
    for (int u = 0; u < kSpectrumGrid; ++u)
        for (int v = u; v < kSpectrumGrid; ++v) {
            if (u == 0 && v == 0) continue;
            const double expected =
                std::abs(coefficient(kSpectrumGrid, u, v)) + std::abs(coefficient(kSpectrumGrid, v, u));
            EXPECT_NEAR(outputs[2].ptr<float>()[value], expected, 1e-4) << "spectrum (" << u << ", " << v << ")";
            ++value;
        }
    for (int u = 0; u < kCosinesKept; ++u)
        for (int v = 0; v < kCosinesKept; ++v) {
            if (u == 0 && v == 0) continue;
            EXPECT_NEAR(outputs[2].ptr<float>()[value], coefficient(kCosineGrid, u, v), 1e-4)
                << "cosine (" << u << ", " << v << ")";
            ++value;
        }
    std::vector<double> logits(denseBias.begin(), denseBias.end());
    for (int filter = 0; filter < kFilters; ++filter)
        for (int output = 0; output < kClasses; ++output)
            logits[output] += pooledSum[filter] / (kHalf * kHalf) * dense[filter * kClasses + output];
    double total = 0.0;
    for (double logit : logits) total += std::exp(logit);
    ASSERT_EQ(outputs[1].total(), static_cast<std::size_t>(kClasses));
    for (int output = 0; output < kClasses; ++output)
        EXPECT_NEAR(outputs[1].ptr<float>()[output], std::exp(logits[output]) / total, 1e-5) << "class " << output;
}

// A learned parts file holding a float16 delta for a block's 1x1 convolution and a float16
// projection: the converted network gains a tuned copy of the block, which the feature reads,
// while the block itself, and so everything after it, keeps the npm weights.
TEST_F(SmallNetwork, TunedBlocksAreACopyWithTheDeltaThatOnlyTheFeatureReads) {
    const nlohmann::json pointwise = {
        {"kernel_size", {1, 1}}, {"dilation_rate", {1, 1}}, {"activation", "linear"}, {"data_format", "channels_last"},
        {"use_bias", false},     {"filters", kFilters},     {"strides", {1, 1}},      {"padding", "same"}};
    model.layers = nlohmann::json::array();
    model.weights = nlohmann::json::object();
    addLayer("input_1", "InputLayer", {{"batch_input_shape", {nullptr, kSide, kSide, 3}}}, {});
    addLayer("block_7_conv", "Conv2D", pointwise, {"input_1"});
    const std::vector<float> kernel = addWeight("block_7_conv/kernel", {1, 1, 3, kFilters}, -1.0f, 1.0f);
    addLayer("after", "ReLU", {{"max_value", nullptr}}, {"block_7_conv"});

    // 0x3800 is 0.5 and 0x3c00 is 1 in float16: every kernel value grows by 0.5 in the copy, and
    // projection row r picks part value r % kFilters.
    std::string data(2 * 3 * kFilters, '\0');
    for (std::size_t at = 0; at < data.size(); at += 2) data[at + 1] = '\x38';
    const std::size_t projectionOffset = data.size();
    for (int row = 0; row < likeness::kFeatureDim; ++row)
        for (int column = 0; column < kFilters; ++column)
            data += row % kFilters == column ? std::string("\x00\x3c", 2) : std::string(2, '\0');
    const nlohmann::json header = {
        {"tuned_blocks", {7}},
        {"parts", {{{"layer", "tuned_block_7_conv"}, {"pooling", "average"}, {"normalised", false}, {"scale", 1.0}}}},
        {"normalised", false},
        {"scale", 1.0},
        {"arrays",
         {{{"name", "delta:block_7_conv/kernel"}, {"type", "float16"}, {"shape", {1, 1, 3, kFilters}}, {"offset", 0}},
          {{"name", "projection"},
           {"type", "float16"},
           {"shape", {likeness::kFeatureDim, kFilters}},
           {"offset", projectionOffset}}}}};
    const std::filesystem::path directory = scratchFolder("learned_parts_test_");
    std::filesystem::create_directories(directory);
    std::ofstream((directory / "parts").string(), std::ios::binary) << "likeness-learned-parts 1\n"
                                                                    << header.dump() << "\n"
                                                                    << data;
    const LearnedParts learned = readLearnedParts((directory / "parts").string());
    cv::Mat bgr;
    std::vector<cv::Mat> outputs;
    ASSERT_NO_FATAL_FAILURE(runConverted(convert(withTunedBlocks(model, learned), learned.recipe), directory,
                                         {"after", likeness::kFeatureLayer}, bgr, outputs));
    for (int filter = 0; filter < kFilters; ++filter) {
        double tuned = 0.0;
        for (int y = 0; y < kSide; ++y)
            for (int x = 0; x < kSide; ++x)
                for (int channel = 0; channel < 3; ++channel) {
                    const double rgb = bgr.at<cv::Vec3b>(y, x)[2 - channel] / 255.0;
                    tuned += rgb * (kernel[channel * kFilters + filter] + 0.5);
                }
        const double pixels = static_cast<double>(kSide) * kSide;
        EXPECT_NEAR(outputs[1].ptr<float>()[filter], tuned / pixels, 1e-4) << "tuned copy " << filter;
        double originalReLU = 0.0;
        for (int y = 0; y < kSide; ++y)
            for (int x = 0; x < kSide; ++x) {
                double sum = 0.0;
                for (int channel = 0; channel < 3; ++channel)
                    sum += bgr.at<cv::Vec3b>(y, x)[2 - channel] / 255.0 * kernel[channel * kFilters + filter];
                originalReLU += std::max(0.0, sum) - outputs[0].ptr<float>()[(filter * kSide + y) * kSide + x];
            }
        EXPECT_NEAR(originalReLU / pixels, 0.0, 1e-5) << "original block " << filter;
    }
}

}  // namespace
