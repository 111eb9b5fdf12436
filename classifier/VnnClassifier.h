// A Caffe network run by OpenCV's dnn module, with the preprocessing that turns a picture into
// its input: resize to inputSize, subtract mean per channel, multiply by scale.
#ifndef LIKENESS_CLASSIFIER_VNNCLASSIFIER_H
#define LIKENESS_CLASSIFIER_VNNCLASSIFIER_H

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include "module/Export.h"

// Result of VnnClassifier::classify.
struct VnnType {
    int classId = -1;     // index of the largest value of the last layer's flattened output
    double score = -1.0;  // that value
    float timeMs = 0;     // forward time reported by the network's own profile
};

// Legacy name of the result record.
using VnnCls400 = VnnType;

// Copies share one network (cv::dnn::Net is a reference-counted handle), so a classifier and its
// copies must not be used from two threads at once.
class LIKENESS_API VnnClassifier {
public:
    // A placeholder with an empty network; assign a loaded classifier before extracting.
    VnnClassifier();
    // Reads a Caffe description and weights from files. The int and bool arguments have no effect.
    // An empty network prints "read net empty!!" and ends the process with exit(-100); OpenCV's
    // exceptions for unreadable files pass through.
    VnnClassifier(std::string netPath, std::string weightsPath, int, float scale, cv::Size inputSize, cv::Scalar mean,
                  bool);
    // The same from the bytes of the two files.
    VnnClassifier(std::vector<unsigned char> netBytes, std::vector<unsigned char> weightsBytes, int, float scale,
                  cv::Size inputSize, cv::Scalar mean, bool);
    ~VnnClassifier();
    VnnClassifier(const VnnClassifier&) = default;
    VnnClassifier& operator=(const VnnClassifier&) = default;

    // Replaces feature with the flattened output of the named layer for image. Always returns 0.
    // An empty image or an unknown layer makes OpenCV throw; feature is then empty.
    int extract(cv::Mat image, std::vector<float>& feature, std::string layer);
    // Runs the whole network and reports the largest value of its last layer. Returns classId.
    int classify(cv::Mat image, VnnType& prediction);

    // How many forward passes the classifiers of this process have run: what a host or a test
    // watches to see what its calls cost.
    static std::uint64_t forwardPasses();

    float getScale() const { return scale; }
    cv::Size getInputSize() const { return inputSize; }
    cv::Scalar getMean() const { return mean; }

private:
    void configure(float scaleFactor, cv::Size size, cv::Scalar channelMean);
    void setBlobInput(const cv::Mat& image);

    cv::dnn::Net net;
    float scale = 1.0f;
    cv::Size inputSize;
    cv::Scalar mean;
};

#endif
