// make_test_model: writes a small seeded Caffe network for the tests, model/v0.net and v0.dat
// shaped like the real one: 1x3x224x224 in, 512 values at "pool5", class scores at the end.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>

#include "caffe/CaffeWriter.h"

namespace {

// Uniform values in [-bound, bound] drawn from mt19937 with our own mapping, so the model is the
// same whatever the standard library's distributions do.
std::vector<float> uniformValues(std::mt19937& generator, std::size_t count, double bound) {
    std::vector<float> values(count);
    for (float& value : values) {
        const double unit = static_cast<double>(generator() >> 8) / 16777216.0;
        value = static_cast<float>((2.0 * unit - 1.0) * bound);
    }
    return values;
}

caffe::Layer convolution(std::mt19937& generator, const std::string& name, const std::string& bottom,
                         int inputs, int outputs, int kernel, int stride, int pad, double gain) {
    const int fanIn = inputs * kernel * kernel;
    const double bound = gain * std::sqrt(3.0 / fanIn);
    caffe::Layer layer{name, "Convolution", {bottom}, {name},
                       "convolution_param { num_output: " + std::to_string(outputs) +
                           " kernel_size: " + std::to_string(kernel) + " stride: " + std::to_string(stride) +
                           " pad: " + std::to_string(pad) + " }",
                       {}};
    layer.blobs.push_back({{outputs, inputs, kernel, kernel},
                           uniformValues(generator, static_cast<std::size_t>(outputs) * fanIn, bound)});
    layer.blobs.push_back({{outputs}, uniformValues(generator, static_cast<std::size_t>(outputs), 0.05)});
    return layer;
}

caffe::Layer inPlace(const std::string& name, const std::string& type, const std::string& blob) {
    return {name, type, {blob}, {blob}, "", {}};
}

}  // namespace

int main(int argc, char** argv) {
    std::string outDir = ".";
    unsigned seed = 7;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--seed") {
            seed = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
        } else if (option == "--out") {
            outDir = argv[i + 1];
        } else {
            std::cerr << "usage: make_test_model [--seed N] [--out DIR]\n";
            return 2;
        }
    }
    std::mt19937 generator(seed);
    caffe::NetWriter net("likeness_test_model");
    net.setInput("data", {1, 3, 224, 224});
    // Inputs are mean-subtracted pixels of about +-128, so the first layer is scaled down to keep
    // activations of order 1.
    net.addLayer(convolution(generator, "conv1", "data", 3, 16, 7, 4, 3, 1.0 / 64.0));
    net.addLayer(inPlace("relu1", "ReLU", "conv1"));
    net.addLayer({"pool1", "Pooling", {"conv1"}, {"pool1"}, "pooling_param { pool: MAX kernel_size: 2 stride: 2 }", {}});
    net.addLayer(convolution(generator, "conv2", "pool1", 16, 512, 3, 2, 1, 3.0));
    net.addLayer(inPlace("relu2", "ReLU", "conv2"));
    net.addLayer({"pool5", "Pooling", {"conv2"}, {"pool5"}, "pooling_param { pool: AVE global_pooling: true }", {}});
    caffe::Layer scores{"fc6", "InnerProduct", {"pool5"}, {"fc6"}, "inner_product_param { num_output: 10 }", {}};
    scores.blobs.push_back({{10, 512}, uniformValues(generator, 10 * 512, std::sqrt(3.0 / 512))});
    scores.blobs.push_back({{10}, uniformValues(generator, 10, 0.1)});
    net.addLayer(scores);
    net.addLayer({"prob", "Softmax", {"fc6"}, {"prob"}, "", {}});
    if (!net.write(outDir + "/v0.net", outDir + "/v0.dat")) {
        std::cerr << "make_test_model: cannot write the model into " << outDir << "\n";
        return 1;
    }
    return 0;
}
