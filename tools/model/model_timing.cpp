// model_timing: measures a model directory on this machine — file sizes, readNetFromCaffe time,
// and the time per picture of a forward to the feature layer and of a full forward at 1 and 2 threads.
// Usage: model_timing MODELDIR [REPEATS]
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

#include "module/FeatureContract.h"

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

template <typename Action>
double medianMilliseconds(int repeats, Action action) {
    std::vector<double> times;
    for (int repeat = 0; repeat < repeats; ++repeat) {
        const Clock::time_point start = Clock::now();
        action();
        times.push_back(millisecondsSince(start));
    }
    return median(times);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::cerr << "usage: model_timing MODELDIR [REPEATS]\n";
        return 2;
    }
    const std::string description = std::string(argv[1]) + "/v0.net";
    const std::string weights = std::string(argv[1]) + "/v0.dat";
    const int repeats = argc == 3 ? std::max(1, std::stoi(argv[2])) : 20;
    std::cout << "v0.net " << std::filesystem::file_size(description) << " bytes, v0.dat "
              << std::filesystem::file_size(weights) << " bytes\n";
    cv::dnn::Net net;
    const double load = medianMilliseconds(5, [&] { net = cv::dnn::readNetFromCaffe(description, weights); });
    std::cout << "readNetFromCaffe: " << load << " ms (median of 5)\n";

    const cv::Size side(likeness::kInputSide, likeness::kInputSide);
    cv::Mat picture(side, CV_8UC3);
    cv::randu(picture, 0, 256);
    const cv::Scalar mean(likeness::kInputMeanBgr[0], likeness::kInputMeanBgr[1], likeness::kInputMeanBgr[2]);
    const cv::Mat blob = cv::dnn::blobFromImage(picture, likeness::kInputScale, side, mean, false);
    for (int threads : {1, 2}) {
        cv::setNumThreads(threads);
        for (const std::string& output : {std::string(likeness::kFeatureLayer), std::string()}) {
            auto forward = [&] {
                net.setInput(blob);
                net.forward(output);
            };
            forward();  // the first forward allocates and initialises the layers
            std::cout << threads << " thread(s), forward to " << (output.empty() ? "the class scores" : output) << ": "
                      << medianMilliseconds(repeats, forward) << " ms per picture (median of " << repeats << ")\n";
        }
    }
    return 0;
}
