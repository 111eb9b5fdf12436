// VnnClassifier on the generated test model: both loading forms, extraction and classification.
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/dnn.hpp>

#include "TestSupport.h"
#include "classifier/VnnClassifier.h"
#include "module/FeatureClassifier.h"

namespace {

const std::string kNet = std::string(LIKENESS_TEST_MODEL_DIR) + "/v0.net";
const std::string kWeights = std::string(LIKENESS_TEST_MODEL_DIR) + "/v0.dat";
// The module's preprocessing written out, independently of module/FeatureContract.h.
const cv::Scalar kMean(103.94, 116.78, 123.68, 0);

VnnClassifier loadFromFiles(int ignoredInt = 1, bool ignoredBool = false) {
    return VnnClassifier(kNet, kWeights, ignoredInt, 1.0f, cv::Size(224, 224), kMean, ignoredBool);
}

std::vector<unsigned char> bytesOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<float> features(VnnClassifier& classifier, const cv::Mat& picture, const std::string& layer = "pool5") {
    std::vector<float> feature;
    EXPECT_EQ(classifier.extract(picture, feature, layer), 0);
    return feature;
}

}  // namespace

TEST(Classifier, DefaultAndLoadedConfiguration) {
    const VnnClassifier placeholder;
    EXPECT_EQ(placeholder.getInputSize(), cv::Size(0, 0));
    EXPECT_EQ(placeholder.getMean(), cv::Scalar(0, 0, 0, 0));
    for (const VnnClassifier& loaded : {loadFromFiles(), likeness::makeFeatureClassifier(kNet, kWeights)}) {
        EXPECT_EQ(loaded.getInputSize(), cv::Size(224, 224));
        EXPECT_EQ(loaded.getMean(), kMean);
        EXPECT_EQ(loaded.getScale(), 1.0f);
    }
}

TEST(Classifier, MemoryFormAndIgnoredArgumentsGiveTheSameFeatures) {
    const cv::Mat picture = makePicture(3, cv::Size(300, 200));
    VnnClassifier fromFiles = loadFromFiles();
    VnnClassifier fromMemory(bytesOf(kNet), bytesOf(kWeights), 1, 1.0f, cv::Size(224, 224), kMean, false);
    VnnClassifier otherArguments = loadFromFiles(5, true);
    const std::vector<float> expected = features(fromFiles, picture);
    ASSERT_EQ(expected.size(), 512u);
    EXPECT_EQ(features(fromMemory, picture), expected);
    EXPECT_EQ(features(otherArguments, picture), expected);
}

TEST(Classifier, ExtractReplacesTheVectorAndIgnoresPictureSize) {
    VnnClassifier classifier = loadFromFiles();
    std::vector<float> feature(1000, 7.0f);
    classifier.extract(makePicture(1, cv::Size(100, 50)), feature, "pool5");
    EXPECT_EQ(feature.size(), 512u);
    EXPECT_EQ(feature, features(classifier, makePicture(1, cv::Size(100, 50))));
    EXPECT_EQ(features(classifier, makePicture(2, cv::Size(640, 480))).size(), 512u);
    EXPECT_NE(features(classifier, makePicture(1)), features(classifier, makePicture(2)))
        << "different pictures must give different features";
}

TEST(Classifier, AssignedCopySurvivesItsSource) {
    VnnClassifier kept;
    std::vector<float> expected;
    {
        VnnClassifier source = loadFromFiles();
        expected = features(source, makePicture(4));
        kept = source;
    }
    EXPECT_EQ(features(kept, makePicture(4)), expected);
}

TEST(Classifier, UnknownLayerThrowsAndLeavesTheVectorEmpty) {
    VnnClassifier classifier = loadFromFiles();
    std::vector<float> feature(3, 1.0f);
    EXPECT_THROW(classifier.extract(makePicture(1), feature, "no_such_layer"), cv::Exception);
    EXPECT_TRUE(feature.empty());
    EXPECT_THROW(classifier.extract(cv::Mat(), feature, "pool5"), cv::Exception);
    EXPECT_TRUE(feature.empty());
}

TEST(Classifier, ClassifyReportsTheLargestScore) {
    VnnClassifier classifier = loadFromFiles();
    const cv::Mat picture = makePicture(9);
    const std::vector<float> scores = features(classifier, picture, "prob");
    ASSERT_EQ(scores.size(), 10u);
    VnnType prediction;
    const int returned = classifier.classify(picture, prediction);
    EXPECT_EQ(returned, prediction.classId);
    ASSERT_GE(prediction.classId, 0);
    ASSERT_LT(prediction.classId, 10);
    const auto best = std::max_element(scores.begin(), scores.end());
    EXPECT_EQ(prediction.classId, best - scores.begin());
    EXPECT_FLOAT_EQ(static_cast<float>(prediction.score), *best);
    EXPECT_GT(prediction.timeMs, 0.0f);
}

TEST(Classifier, ClassifyTieGoesToTheFirstPosition) {
    TempHome home(false);
    // Every output is 1: a tie over all positions.
    writeFile(
        "flat.net",
        "name: \"flat\"\nlayer { name: \"data\" type: \"Input\" top: \"data\" input_param { shape { dim: 1 dim: 3 "
        "dim: 224 dim: 224 } } }\nlayer { name: \"pool\" type: \"Pooling\" bottom: \"data\" top: \"pool\" "
        "pooling_param { pool: AVE global_pooling: true } }\nlayer { name: \"one\" type: \"Power\" bottom: "
        "\"pool\" top: \"one\" power_param { power: 1 scale: 0 shift: 1 } }\n");
    VnnClassifier flat("flat.net", "", 1, 1.0f, cv::Size(224, 224), kMean, false);
    VnnType prediction;
    EXPECT_EQ(flat.classify(makePicture(2), prediction), 0);
    EXPECT_EQ(prediction.score, 1.0);
}

TEST(Classifier, ClassifyFailureLeavesThePredictionReset) {
    VnnClassifier classifier = loadFromFiles();
    VnnType prediction{4, 0.5, 3.0f};
    EXPECT_THROW(classifier.classify(cv::Mat(), prediction), cv::Exception);
    EXPECT_EQ(prediction.classId, -1);
    EXPECT_EQ(prediction.score, -1.0);
    EXPECT_EQ(prediction.timeMs, 0.0f);
}
