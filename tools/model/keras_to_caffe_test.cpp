// Checks of the converter's recipe handling that need neither node nor the real model: part
// parsing, the seeded orthonormal projection, the feature map and refused Keras layers.
#include <gtest/gtest.h>

#include <cmath>

#include "KerasToCaffe.h"

namespace {

using namespace keras_to_caffe;

TEST(ParseFeatureParts, ReadsPoolingNormalisationAndScale) {
    const std::vector<FeaturePart> parts = parseFeatureParts("block_10_depthwise_relu:max:l2:0.5,block_5_add");
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].layer, "block_10_depthwise_relu");
    EXPECT_EQ(parts[0].pooling, Pooling::Maximum);
    EXPECT_TRUE(parts[0].normalised);
    EXPECT_DOUBLE_EQ(parts[0].scale, 0.5);
    EXPECT_EQ(parts[1].layer, "block_5_add");
    EXPECT_EQ(parts[1].pooling, Pooling::Average);
    EXPECT_FALSE(parts[1].normalised);
    EXPECT_DOUBLE_EQ(parts[1].scale, 1.0);
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
    ASSERT_EQ(projection.matrix.size(), static_cast<std::size_t>(kFeatureSize));
    for (std::size_t first = 0; first < projection.matrix.size(); first += 37)
        for (std::size_t second = 0; second < projection.matrix.size(); second += 41) {
            double dot = 0.0;
            for (std::size_t column = 0; column < 600; ++column) dot += projection.matrix[first][column] * projection.matrix[second][column];
            EXPECT_NEAR(dot, first == second ? 1.0 : 0.0, 1e-9) << first << " . " << second;
        }
    EXPECT_TRUE(projection.bias.empty());
}

TEST(OrthonormalProjection, SeedDecidesTheRows) {
    EXPECT_EQ(orthonormalProjection(520, 7).matrix, orthonormalProjection(520, 7).matrix);
    EXPECT_NE(orthonormalProjection(520, 7).matrix[0], orthonormalProjection(520, 8).matrix[0]);
}

TEST(OrthonormalProjection, NeedsAtLeastAsManyInputsAsOutputs) {
    EXPECT_THROW(orthonormalProjection(kFeatureSize - 1, 1), ConversionError);
}

TEST(FeatureMap, WithoutProjectionIsDiagonalOfPartAndFinalScales) {
    FeatureRecipe recipe;
    recipe.parts = {{"a", Pooling::Average, false, 2.0}, {"b", Pooling::Maximum, true, 3.0}};
    recipe.scale = 0.5;
    const FeatureMap map = featureMap(recipe, {500, 12});
    ASSERT_EQ(map.columns, kFeatureSize);
    EXPECT_FLOAT_EQ(map.matrix[0], 1.0f);
    EXPECT_FLOAT_EQ(map.matrix[1], 0.0f);
    EXPECT_FLOAT_EQ(map.matrix[499 * kFeatureSize + 499], 1.0f);
    EXPECT_FLOAT_EQ(map.matrix[500 * kFeatureSize + 500], 1.5f);
    EXPECT_FLOAT_EQ(map.bias[7], 0.0f);
}

// A normalised feature is rescaled after its normalisation, so the map leaves the final scale out.
TEST(FeatureMap, NormalisedFeatureKeepsTheFinalScaleOutOfTheMap) {
    FeatureRecipe recipe;
    recipe.parts = {{"a", Pooling::Average, false, 2.0}};
    recipe.normalised = true;
    recipe.scale = 10.0;
    const FeatureMap map = featureMap(recipe, {kFeatureSize});
    EXPECT_FLOAT_EQ(map.matrix[3 * kFeatureSize + 3], 2.0f);
}

TEST(FeatureMap, ProjectionColumnsCarryThePartScalesAndTheBiasTheFinalScale) {
    FeatureRecipe recipe;
    recipe.parts = {{"a", Pooling::Average, false, 2.0}, {"b", Pooling::Average, false, -1.0}};
    recipe.scale = 3.0;
    Projection projection;
    projection.matrix.assign(kFeatureSize, std::vector<double>{0.25, 0.5, 1.0});
    projection.bias.assign(kFeatureSize, 0.125);
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
    projection.matrix.assign(kFeatureSize - 1, std::vector<double>(384, 0.0));
    recipe.projection = projection;
    EXPECT_THROW(featureMap(recipe, {384}), ConversionError) << "511 rows";
    recipe.projection->matrix.assign(kFeatureSize, std::vector<double>(383, 0.0));
    EXPECT_THROW(featureMap(recipe, {384}), ConversionError) << "rows one value short";
    recipe.projection->matrix.assign(kFeatureSize, std::vector<double>(384, 0.0));
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
    EXPECT_THROW(convert(modelWithOneLayer({{"name", "x"}, {"class", "Conv3D"}, {"config", nlohmann::json::object()}, {"inputs", {"input_1"}}}),
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
    const KerasModel model = modelWithOneLayer(
        {{"name", "relu"}, {"class", "ReLU"}, {"config", {{"max_value", 6}, {"negative_slope", 0}, {"threshold", 0}}}, {"inputs", {"input_1"}}});
    EXPECT_THROW(convert(model, recipe), ConversionError);
}

}  // namespace
