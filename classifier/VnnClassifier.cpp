// Loading of the Caffe network and the two ways of running it on one picture.
// Nothing here catches OpenCV's exceptions: they reach the caller unchanged.
#include "classifier/VnnClassifier.h"

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <utility>

namespace {

[[noreturn]] void exitOnEmptyNetwork() {
    std::cout << "read net empty!!" << std::endl;
    std::exit(-100);
}

std::atomic<std::uint64_t> forwardCount{0};

cv::Mat flattenToRow(const cv::Mat& output) {
    return output.reshape(1, 1);
}

}  // namespace

VnnClassifier::VnnClassifier() : inputSize(0, 0), mean(0, 0, 0, 0) {}

VnnClassifier::VnnClassifier(std::string netPath, std::string weightsPath, int, float scale, cv::Size inputSize,
                             cv::Scalar mean, bool)
    : VnnClassifier() {
    net = cv::dnn::readNetFromCaffe(netPath, weightsPath);
    configure(scale, inputSize, mean);
}

VnnClassifier::VnnClassifier(std::vector<unsigned char> netBytes, std::vector<unsigned char> weightsBytes, int,
                             float scale, cv::Size inputSize, cv::Scalar mean, bool)
    : VnnClassifier() {
    net = cv::dnn::readNetFromCaffe(netBytes, weightsBytes);
    configure(scale, inputSize, mean);
}

VnnClassifier::~VnnClassifier() = default;

void VnnClassifier::configure(float scaleFactor, cv::Size size, cv::Scalar channelMean) {
    if (net.empty()) exitOnEmptyNetwork();
    net.setPreferableBackend(cv::dnn::DNN_BACKEND_DEFAULT);
    net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    scale = scaleFactor;
    inputSize = size;
    mean = channelMean;
}

void VnnClassifier::setBlobInput(const cv::Mat& image) {
    cv::Mat blob;
    cv::dnn::blobFromImage(image, blob, static_cast<double>(scale), inputSize, mean, false, false, CV_32F);
    net.setInput(blob, "", 1.0, cv::Scalar());
}

int VnnClassifier::extract(cv::Mat image, std::vector<float>& feature, std::string layer) {
    feature.clear();
    setBlobInput(image);
    cv::Mat row = flattenToRow(net.forward(layer));
    ++forwardCount;
    std::vector<float> values(row.begin<float>(), row.end<float>());
    feature = std::move(values);
    return 0;
}

int VnnClassifier::classify(cv::Mat image, VnnType& prediction) {
    prediction = VnnType();
    setBlobInput(image);
    cv::Mat row = flattenToRow(net.forward(""));
    ++forwardCount;
    double best = 0;
    cv::Point bestAt;
    cv::minMaxLoc(row, nullptr, &best, nullptr, &bestAt);
    prediction.score = best;
    prediction.classId = bestAt.x;
    const double ticksPerMs = cv::getTickFrequency() / 1000.0;
    std::vector<double> layerTimes;
    prediction.timeMs = static_cast<float>(static_cast<double>(net.getPerfProfile(layerTimes)) / ticksPerMs);
    return prediction.classId;
}

std::uint64_t VnnClassifier::forwardPasses() {
    return forwardCount;
}
