#include "RandomChains.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "Alterations.h"

using namespace alterations;

namespace {

constexpr int kAlterationKinds = 24;

cv::Mat threeChannels(const cv::Mat& image) {
    if (image.channels() == 3) return image;
    cv::Mat out;
    cv::cvtColor(image, out, cv::COLOR_GRAY2BGR);
    return out;
}

cv::Mat jpegRoundTrip(const cv::Mat& image, int quality) {
    std::vector<unsigned char> bytes;
    cv::imencode(".jpg", image, bytes, {cv::IMWRITE_JPEG_QUALITY, quality});
    return cv::imdecode(bytes, cv::IMREAD_COLOR);
}

cv::Scalar randomColour(cv::RNG& rng) {
    switch (rng.uniform(0, 3)) {
    case 0: return cv::Scalar::all(255);
    case 1: return cv::Scalar::all(0);
    default: return cv::Scalar(rng.uniform(0, 256), rng.uniform(0, 256), rng.uniform(0, 256));
    }
}

int longSideOf(const cv::Mat& image) {
    return std::max(image.cols, image.rows);
}

cv::Mat oneAlteration(const cv::Mat& image, const cv::Mat& backdrop, cv::RNG& rng) {
    switch (rng.uniform(0, kAlterationKinds)) {
    case 0: return offCentreCrop(image, rng.uniform(0.2, 0.9), rng);
    case 1: return rotateKeepingCanvas(image, rng.uniform(-180.0, 180.0));
    case 2: return rotateKeepingCanvas(image, rng.uniform(-20.0, 20.0));
    case 3: {
        cv::Mat out;
        cv::flip(image, out, 1);
        return out;
    }
    case 4: return framed(image, rng.uniform(0.0, 0.3), rng.uniform(0.0, 0.3), randomColour(rng));
    case 5: return backdrop.empty() ? image : pastedOnto(image, backdrop, rng.uniform(0.3, 0.8), rng);
    case 6: {
        cv::Mat out;
        cv::GaussianBlur(image, out, cv::Size(0, 0), longSideOf(image) * rng.uniform(0.002, 0.02));
        return out;
    }
    case 7: return motionBlur(image, rng.uniform(0.01, 0.05));
    case 8: return gaussianNoise(image, rng.uniform(5.0, 50.0), rng);
    case 9: return saltAndPepper(image, rng.uniform(0.01, 0.08), rng);
    case 10: return pixelated(image, rng.uniform(8, 48));
    case 11: return thumbnailAndBack(image, rng.uniform(24, 128));
    case 12: {
        cv::Mat out;
        cv::resize(scaledBy(image, rng.uniform(0.2, 0.6), cv::INTER_NEAREST), out, image.size(), 0, 0,
                   cv::INTER_NEAREST);
        return out;
    }
    case 13: return posterised(image, rng.uniform(2, 9));
    case 14: return linearContrast(image, rng.uniform(0.5, 1.5), rng.uniform(-80.0, 80.0));
    case 15: return gamma(image, std::exp(rng.uniform(std::log(0.4), std::log(2.5))));
    case 16: return hueShifted(image, rng.uniform(0, 360));
    case 17: return grayscale(image);
    case 18:
        return resized(image, cv::Size(std::max(1, static_cast<int>(image.cols * rng.uniform(0.6, 1.4))), image.rows));
    case 19: return perspectiveWarp(image, rng.uniform(0.03, 0.15), rng);
    case 20: return jpegRoundTrip(longSideTo(image, rng.uniform(100, 400)), rng.uniform(5, 40));
    case 21: return overlaidText(image, rng);
    case 22: return watermarked(image);
    default: return occluded(image, rng.uniform(0.05, 0.25), rng);
    }
}

}  // namespace

cv::Mat randomChainCopy(const cv::Mat& photo, const cv::Mat& backdrop, cv::RNG& rng) {
    cv::Mat copy = photo;
    const int steps = rng.uniform(1, 4);
    for (int step = 0; step < steps; ++step) copy = threeChannels(oneAlteration(copy, backdrop, rng));
    if (rng.uniform(0, 2)) copy = jpegRoundTrip(copy, rng.uniform(10, 96));
    return copy;
}
