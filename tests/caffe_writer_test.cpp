// Tests of the Caffe writer against OpenCV's Caffe reader, and of the generated test model.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include "caffe/CaffeWriter.h"

namespace {

namespace fs = std::filesystem;

cv::dnn::Net readNet(const caffe::NetWriter& writer) {
    const std::string description = writer.description();
    const std::string weights = writer.weights();
    return cv::dnn::readNetFromCaffe(description.data(), description.size(), weights.data(), weights.size());
}

std::vector<float> valuesOf(const cv::Mat& mat) {
    const cv::Mat flat = mat.reshape(1, 1);
    return std::vector<float>(flat.begin<float>(), flat.end<float>());
}

std::vector<int> shapeOf(const cv::Mat& mat) {
    return std::vector<int>(mat.size.p, mat.size.p + mat.dims);
}

std::string fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A 1x2x3x3 input holding 0..17, so every output value depends on which weight met which pixel.
cv::Mat countingInput() {
    const int shape[] = {1, 2, 3, 3};
    cv::Mat input(4, shape, CV_32F);
    std::iota(input.begin<float>(), input.end<float>(), 0.0f);
    return input;
}

class ScratchDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("caffe_writer_test_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

TEST(CaffeWriter, BlobsReadBackByLayerNameWithTheirShapes) {
    caffe::NetWriter writer("roundtrip");
    writer.setInput("data", {1, 2, 3, 3});
    // A blob-less layer ahead of the others and a grouped, dilated convolution whose blobs are
    // not 4D-square, so a shifted or mis-shaped blob cannot pass.
    writer.addLayer({"relu0", "ReLU", {"data"}, {"data"}, "", {}});
    writer.addLayer({"conv",
                     "Convolution",
                     {"data"},
                     {"conv"},
                     "convolution_param { num_output: 4 kernel_size: 2 group: 2 dilation: 1 stride: 1 }",
                     {{{4, 1, 2, 2}, {1.5f, -2.25f, 3e-8f, -0.0f, 1e20f, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}},
                      {{4}, {0.5f, -0.5f, 0.25f, -0.25f}}}});
    writer.addLayer({"fc",
                     "InnerProduct",
                     {"conv"},
                     {"fc"},
                     "inner_product_param { num_output: 3 }",
                     {{{3, 16}, std::vector<float>(48, -1.0f)}, {{3}, {1, 2, 3}}}});
    cv::dnn::Net net = readNet(writer);
    ASSERT_FALSE(net.empty());
    const int conv = net.getLayerId("conv");
    const int fc = net.getLayerId("fc");
    EXPECT_EQ(shapeOf(net.getParam(conv, 0)), (std::vector<int>{4, 1, 2, 2}));
    EXPECT_EQ(valuesOf(net.getParam(conv, 0)),
              (std::vector<float>{1.5f, -2.25f, 3e-8f, -0.0f, 1e20f, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}));
    EXPECT_EQ(valuesOf(net.getParam(conv, 1)), (std::vector<float>{0.5f, -0.5f, 0.25f, -0.25f}));
    EXPECT_EQ(valuesOf(net.getParam(fc, 1)), (std::vector<float>{1, 2, 3}));
}

TEST(CaffeWriter, ConvolutionAndPoolingComputeKnownValues) {
    caffe::NetWriter writer("arithmetic");
    writer.setInput("data", {1, 2, 3, 3});
    // Output channel 0 sums channel 0 over 2x2 windows; channel 1 takes channel 1's top-left
    // pixel minus 100.
    writer.addLayer({"conv",
                     "Convolution",
                     {"data"},
                     {"conv"},
                     "convolution_param { num_output: 2 kernel_size: 2 }",
                     {{{2, 2, 2, 2}, {1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}}, {{2}, {0, -100}}}});
    writer.addLayer({"pool", "Pooling", {"conv"}, {"pool"}, "pooling_param { pool: MAX global_pooling: true }", {}});
    cv::dnn::Net net = readNet(writer);
    net.setInput(countingInput());
    std::vector<cv::Mat> outputs;
    net.forward(outputs, std::vector<std::string>{"conv", "pool"});
    EXPECT_EQ(valuesOf(outputs[0]), (std::vector<float>{8, 12, 20, 24, -91, -90, -88, -87}));
    EXPECT_EQ(valuesOf(outputs[1]), (std::vector<float>{24, -87}));
}

TEST(CaffeWriter, NamesWithQuotesBackslashesAndControlCharactersSurviveOpenCV) {
    const std::string awkward = "a \"quoted\" \\ name\twith\nbreaks";
    EXPECT_EQ(caffe::quotedText(awkward), "\"a \\\"quoted\\\" \\\\ name\\011with\\nbreaks\"");
    caffe::NetWriter writer("escapes");
    writer.setInput("data", {1, 2, 3, 3});
    writer.addLayer(
        {awkward, "Scale", {"data"}, {"scaled"}, "scale_param { bias_term: true }", {{{2}, {2, 3}}, {{2}, {10, 20}}}});
    cv::dnn::Net net = readNet(writer);
    ASSERT_FALSE(net.empty());
    const int id = net.getLayerId(awkward);
    ASSERT_GE(id, 0);
    EXPECT_EQ(valuesOf(net.getParam(id, 0)), (std::vector<float>{2, 3}));
    net.setInput(countingInput());
    const std::vector<float> scaled = valuesOf(net.forward(awkward));
    EXPECT_EQ(scaled.front(), 10.0f);       // 0 * 2 + 10
    EXPECT_EQ(scaled.back(), 17 * 3 + 20);  // channel 1's last pixel
}

TEST(CaffeWriter, DescriptionDeclaresTheInputAndKeepsParamsVerbatim) {
    caffe::NetWriter writer("layout");
    writer.setInput("data", {1, 3, 224, 224});
    writer.addLayer({"flat", "Flatten", {"data"}, {"flat"}, "flatten_param {\n    axis: 1\n  }", {}});
    EXPECT_EQ(writer.description(),
              "name: \"layout\"\n"
              "layer {\n  name: \"data\"\n  type: \"Input\"\n  top: \"data\"\n"
              "  input_param { shape { dim: 1 dim: 3 dim: 224 dim: 224 } }\n}\n"
              "layer {\n  name: \"flat\"\n  type: \"Flatten\"\n  bottom: \"data\"\n  top: \"flat\"\n"
              "  flatten_param {\n    axis: 1\n  }\n}\n");
}

TEST(CaffeWriter, WeightsAreCaffeWireFormat) {
    caffe::NetWriter writer("n");
    writer.addLayer({"L", "T", {"b"}, {"t"}, "", {{{2, 200}, {1.0f}}}});
    // NetParameter{name "n", layer{name "L", type "T", bottom "b", top "t",
    //   blobs{shape{dim [2, 200]}, data [1.0f]}}}; 200 needs a two-byte varint.
    const std::string expected(
        "\x0a\x01n"
        "\xa2\x06\x1b"
        "\x0a\x01L\x12\x01T\x1a\x01"
        "b\x22\x01t"
        "\x3a\x0d"
        "\x3a\x05\x0a\x03\x02\xc8\x01"
        "\x2a\x04\x00\x00\x80\x3f",
        33);
    EXPECT_EQ(writer.weights(), expected);
}

class CaffeWriterFiles : public ScratchDirectoryTest {};

TEST_F(CaffeWriterFiles, WriteReportsFailureAndProducesReadableFiles) {
    caffe::NetWriter writer("files");
    writer.setInput("data", {1, 1, 2, 2});
    writer.addLayer({"relu", "ReLU", {"data"}, {"data"}, "", {}});
    EXPECT_FALSE(writer.write((dir / "missing" / "v0.net").string(), (dir / "v0.dat").string()));
    EXPECT_FALSE(writer.write((dir / "v0.net").string(), (dir / "missing" / "v0.dat").string()));
    EXPECT_FALSE(writer.write(dir.string(), (dir / "v0.dat").string()));  // a directory, not a file

    ASSERT_TRUE(writer.write((dir / "v0.net").string(), (dir / "v0.dat").string()));
    EXPECT_EQ(fileBytes(dir / "v0.net"), writer.description());
    EXPECT_EQ(fileBytes(dir / "v0.dat"), writer.weights());
    EXPECT_FALSE(cv::dnn::readNetFromCaffe((dir / "v0.net").string(), (dir / "v0.dat").string()).empty());
}

class TestModel : public ScratchDirectoryTest {
protected:
    static int generate(unsigned seed, const fs::path& out) {
        const std::string command =
            std::string(MAKE_TEST_MODEL_PATH) + " --seed " + std::to_string(seed) + " --out '" + out.string() + "'";
        return std::system(command.c_str());
    }

    // Pictures as the library feeds them: 224x224 BGR minus the channel means, in -128..128.
    static cv::Mat picture(int pattern) {
        cv::Mat image(224, 224, CV_8UC3);
        for (int row = 0; row < image.rows; ++row) {
            for (int col = 0; col < image.cols; ++col) {
                const int stripes = ((row / 16 + col / 16) % 2) * 255;
                const int gradient = (row + col * pattern) % 256;
                image.at<cv::Vec3b>(row, col) =
                    pattern == 0 ? cv::Vec3b(200, 30, 90)
                                 : cv::Vec3b(cv::saturate_cast<uchar>(stripes), cv::saturate_cast<uchar>(gradient),
                                             cv::saturate_cast<uchar>(255 - gradient));
            }
        }
        // The library's preprocessing written out, independently of module/FeatureContract.h.
        return cv::dnn::blobFromImage(image, 1.0, cv::Size(224, 224), cv::Scalar(103.94, 116.78, 123.68));
    }
};

TEST_F(TestModel, GivesDistinctFeaturesAtPool5AndClassScoresLast) {
    cv::dnn::Net net = cv::dnn::readNetFromCaffe(LIKENESS_TEST_MODEL_DIR "/v0.net", LIKENESS_TEST_MODEL_DIR "/v0.dat");
    ASSERT_FALSE(net.empty());
    std::vector<std::vector<float>> features;
    for (int pattern = 0; pattern < 3; ++pattern) {
        net.setInput(picture(pattern));
        const cv::Mat pool5 = net.forward("pool5");
        EXPECT_EQ(pool5.total(), 512u);
        features.push_back(valuesOf(pool5));

        const std::vector<float> scores = valuesOf(net.forward());
        EXPECT_EQ(scores.size(), 10u);
        EXPECT_NEAR(std::accumulate(scores.begin(), scores.end(), 0.0), 1.0, 1e-5);
    }
    const float largest = *std::max_element(features[1].begin(), features[1].end());
    EXPECT_GT(largest, 1.0f);
    EXPECT_LT(largest, 100.0f);
    // Features must differ far beyond what float rounding of the library's distance can hide.
    for (std::size_t a = 0; a < features.size(); ++a) {
        for (std::size_t b = a + 1; b < features.size(); ++b) {
            double squares = 0;
            for (std::size_t i = 0; i < 512; ++i)
                squares += (features[a][i] - features[b][i]) * (features[a][i] - features[b][i]);
            EXPECT_GT(squares, 10.0) << "pictures " << a << " and " << b;
        }
    }
}

TEST_F(TestModel, IsReproducibleFromItsSeed) {
    for (const char* name : {"a", "b", "c"}) fs::create_directory(dir / name);
    ASSERT_EQ(generate(7, dir / "a"), 0);
    ASSERT_EQ(generate(7, dir / "b"), 0);
    ASSERT_EQ(generate(8, dir / "c"), 0);
    for (const char* file : {"v0.net", "v0.dat"}) {
        EXPECT_EQ(fileBytes(dir / "a" / file), fileBytes(dir / "b" / file)) << file;
        EXPECT_EQ(fileBytes(dir / "a" / file), fileBytes(fs::path(LIKENESS_TEST_MODEL_DIR) / file)) << file;
    }
    EXPECT_NE(fileBytes(dir / "a" / "v0.dat"), fileBytes(dir / "c" / "v0.dat"));
}

TEST_F(TestModel, RefusesBadArgumentsAndUnwritableDirectories) {
    EXPECT_NE(generate(7, dir / "missing"), 0);
    const std::string tool = MAKE_TEST_MODEL_PATH;
    for (const std::string arguments :
         {"", " --seed 7", " --seed x7 --out .", " --seed 7 --out", " --size 3 --out ."}) {
        EXPECT_NE(std::system((tool + arguments + " 2>/dev/null").c_str()), 0) << arguments;
    }
}

}  // namespace
