// make_test_model: writes DIR/v0.net and DIR/v0.dat, a small seeded Caffe network shaped like the
// real model (the input, feature layer and feature length of module/FeatureContract.h, softmax
// class scores last) for the tests.
#include <cmath>
#include <cstdint>
#include <iostream>
#include <random>
#include <string>

#include "caffe/CaffeWriter.h"
#include "module/FeatureContract.h"

namespace {

constexpr int kFeatureChannels = likeness::kFeatureDim;
constexpr int kClasses = 10;
// Mean-subtracted pixels span about -128..128, some sixty times the unit spread He's rule assumes.
constexpr double kPixelSpread = 64.0;

// Uniform values in [-bound, bound] from the generator's raw 32-bit output with our own mapping,
// so a seed gives the same model whichever standard library built the tool.
std::vector<float> uniformValues(std::mt19937& generator, std::size_t count, double bound) {
    std::vector<float> values(count);
    for (float& value : values) {
        const double unit = static_cast<double>(generator() >> 8) / 16777216.0;
        value = static_cast<float>((2.0 * unit - 1.0) * bound);
    }
    return values;
}

// He initialisation (variance 2 / fan-in, drawn uniformly) scaled by `gain`, so activations keep
// a spread of order `gain` through ReLUs.
double heBound(int fanIn, double gain) {
    return gain * std::sqrt(6.0 / fanIn);
}

caffe::Layer convolution(std::mt19937& generator, const std::string& name, const std::string& bottom, int inputs,
                         int outputs, int kernel, int stride, double gain) {
    const int fanIn = inputs * kernel * kernel;
    caffe::Layer layer{name,
                       "Convolution",
                       {bottom},
                       {name},
                       "convolution_param { num_output: " + std::to_string(outputs) +
                           " kernel_size: " + std::to_string(kernel) + " stride: " + std::to_string(stride) +
                           " pad: " + std::to_string(kernel / 2) + " }",
                       {}};
    const std::size_t weightCount = static_cast<std::size_t>(outputs) * fanIn;
    layer.blobs.push_back(
        {{outputs, inputs, kernel, kernel}, uniformValues(generator, weightCount, heBound(fanIn, gain))});
    layer.blobs.push_back({{outputs}, uniformValues(generator, static_cast<std::size_t>(outputs), 0.05)});
    return layer;
}

caffe::Layer relu(const std::string& blob) {
    return {"relu_" + blob, "ReLU", {blob}, {blob}, "", {}};
}

caffe::NetWriter testModel(unsigned seed) {
    std::mt19937 generator(seed);
    caffe::NetWriter net("likeness_test_model");
    net.setInput("data", {1, 3, likeness::kInputSide, likeness::kInputSide});
    net.addLayer(convolution(generator, "conv1", "data", 3, 16, 7, 4, 1.0 / kPixelSpread));  // 56x56
    net.addLayer(relu("conv1"));
    net.addLayer(
        {"pool1", "Pooling", {"conv1"}, {"pool1"}, "pooling_param { pool: MAX kernel_size: 2 stride: 2 }", {}});
    net.addLayer(convolution(generator, "conv2", "pool1", 16, kFeatureChannels, 3, 2, 2.0));  // 14x14
    net.addLayer(relu("conv2"));
    net.addLayer({likeness::kFeatureLayer,
                  "Pooling",
                  {"conv2"},
                  {likeness::kFeatureLayer},
                  "pooling_param { pool: AVE global_pooling: true }",
                  {}});
    caffe::Layer scores{"fc6",
                        "InnerProduct",
                        {likeness::kFeatureLayer},
                        {"fc6"},
                        "inner_product_param { num_output: " + std::to_string(kClasses) + " }",
                        {}};
    scores.blobs.push_back({{kClasses, kFeatureChannels},
                            uniformValues(generator, kClasses * kFeatureChannels, heBound(kFeatureChannels, 0.5))});
    scores.blobs.push_back({{kClasses}, uniformValues(generator, kClasses, 0.1)});
    net.addLayer(scores);
    net.addLayer({"prob", "Softmax", {"fc6"}, {"prob"}, "", {}});
    return net;
}

bool parseSeed(const std::string& text, unsigned& seed) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 10) return false;
    const unsigned long long value = std::stoull(text);
    if (value > UINT32_MAX) return false;
    seed = static_cast<unsigned>(value);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const char* usage = "usage: make_test_model --seed N --out DIR\n";
    unsigned seed = 0;
    std::string outDir;
    bool seedGiven = false;
    for (int i = 1; i < argc; i += 2) {
        const std::string option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == "--seed" && hasValue && parseSeed(argv[i + 1], seed)) {
            seedGiven = true;
        } else if (option == "--out" && hasValue && argv[i + 1][0] != '\0') {
            outDir = argv[i + 1];
        } else {
            std::cerr << usage;
            return 2;
        }
    }
    if (!seedGiven || outDir.empty()) {
        std::cerr << usage;
        return 2;
    }
    if (!testModel(seed).write(outDir + "/v0.net", outDir + "/v0.dat")) {
        std::cerr << "make_test_model: cannot write v0.net and v0.dat into " << outDir << "\n";
        return 1;
    }
    return 0;
}
