#include "Alterations.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "Transforms.h"

namespace alterations {

cv::Mat rotateKeepingCanvas(const cv::Mat& image, double degrees) {
    const cv::Point2f centre(static_cast<float>(image.cols) / 2, static_cast<float>(image.rows) / 2);
    cv::Mat rotated;
    cv::warpAffine(image, rotated, cv::getRotationMatrix2D(centre, degrees, 1.0), image.size(), cv::INTER_LINEAR,
                   cv::BORDER_CONSTANT, cv::Scalar::all(0));
    return rotated;
}

cv::Mat linearContrast(const cv::Mat& image, double gain, double offset) {
    cv::Mat adjusted;
    image.convertTo(adjusted, -1, gain, offset);
    return adjusted;
}

cv::Mat resized(const cv::Mat& image, cv::Size size) {
    cv::Mat out;
    cv::resize(image, out, size, 0, 0, cv::INTER_AREA);
    return out;
}

cv::Mat longSideTo(const cv::Mat& image, int longSide) {
    const double factor = static_cast<double>(longSide) / std::max(image.cols, image.rows);
    return resized(image, cv::Size(std::max(1, static_cast<int>(std::lround(image.cols * factor))),
                                   std::max(1, static_cast<int>(std::lround(image.rows * factor)))));
}

cv::Mat gamma(const cv::Mat& image, double exponent) {
    cv::Mat table(1, 256, CV_8U);
    for (int level = 0; level < 256; ++level) {
        table.at<unsigned char>(level) = cv::saturate_cast<unsigned char>(255.0 * std::pow(level / 255.0, exponent));
    }
    cv::Mat out;
    cv::LUT(image, table, out);
    return out;
}

cv::Mat gaussianNoise(const cv::Mat& image, double sigma, cv::RNG& rng) {
    cv::Mat noisy;
    image.convertTo(noisy, CV_32F);
    cv::Mat noise(noisy.size(), noisy.type());
    rng.fill(noise, cv::RNG::NORMAL, 0, sigma);
    noisy += noise;
    cv::Mat out;
    noisy.convertTo(out, CV_8U);
    return out;
}

cv::Mat overlaidText(const cv::Mat& image, cv::RNG& rng) {
    cv::Mat out = image.clone();
    const char* const captions[] = {"Holiday 2026", "likeness test copy", "(c) somebody"};
    const double fontScale = image.rows / 12.0 / 22.0;
    const int thickness = std::max(1, static_cast<int>(std::lround(fontScale * 2)));
    for (const char* caption : captions) {
        int baseline = 0;
        const cv::Size extent = cv::getTextSize(caption, cv::FONT_HERSHEY_SIMPLEX, fontScale, thickness, &baseline);
        const cv::Point origin(rng.uniform(0, std::max(1, image.cols - extent.width)),
                               rng.uniform(extent.height, std::max(extent.height + 1, image.rows - baseline)));
        cv::putText(out, caption, origin, cv::FONT_HERSHEY_SIMPLEX, fontScale, cv::Scalar::all(0), thickness * 3,
                    cv::LINE_AA);
        cv::putText(out, caption, origin, cv::FONT_HERSHEY_SIMPLEX, fontScale, cv::Scalar::all(255), thickness,
                    cv::LINE_AA);
    }
    return out;
}

cv::Mat grayscale(const cv::Mat& image) {
    cv::Mat gray;
    cv::cvtColor(image, gray, cv::COLOR_BGR2GRAY);
    return gray;
}

cv::Mat perspectiveWarp(const cv::Mat& image, double fraction, cv::RNG& rng) {
    const auto width = static_cast<float>(image.cols);
    const auto height = static_cast<float>(image.rows);
    const cv::Point2f corners[4] = {{0, 0}, {width, 0}, {width, height}, {0, height}};
    const float inwardX[4] = {1, -1, -1, 1};
    const float inwardY[4] = {1, 1, -1, -1};
    cv::Point2f moved[4];
    for (int i = 0; i < 4; ++i) {
        moved[i] = corners[i] + cv::Point2f(inwardX[i] * static_cast<float>(rng.uniform(0.0, fraction)) * width,
                                            inwardY[i] * static_cast<float>(rng.uniform(0.0, fraction)) * height);
    }
    cv::Mat warped;
    cv::warpPerspective(image, warped, cv::getPerspectiveTransform(corners, moved), image.size(), cv::INTER_LINEAR,
                        cv::BORDER_CONSTANT, cv::Scalar::all(0));
    return warped;
}

cv::Mat cropped(const cv::Mat& image, double removedAreaFraction) {
    return image(centredCrop(image.size(), removedAreaFraction)).clone();
}

cv::Mat pixelated(const cv::Mat& image, int cells) {
    cv::Mat out;
    cv::resize(longSideTo(image, cells), out, image.size(), 0, 0, cv::INTER_NEAREST);
    return out;
}

cv::Mat thumbnailAndBack(const cv::Mat& image, int longSide) {
    cv::Mat out;
    cv::resize(longSideTo(image, longSide), out, image.size(), 0, 0, cv::INTER_LINEAR);
    return out;
}

cv::Mat scaledBy(const cv::Mat& image, double factor, int interpolation) {
    cv::Mat out;
    cv::resize(image, out,
               cv::Size(std::max(1, static_cast<int>(std::lround(image.cols * factor))),
                        std::max(1, static_cast<int>(std::lround(image.rows * factor)))),
               0, 0, interpolation);
    return out;
}

cv::Mat posterised(const cv::Mat& image, int levels) {
    cv::Mat table(1, 256, CV_8U);
    for (int level = 0; level < 256; ++level) {
        const double step = std::round(level / 255.0 * (levels - 1));
        table.at<unsigned char>(level) = cv::saturate_cast<unsigned char>(step * 255.0 / (levels - 1));
    }
    cv::Mat out;
    cv::LUT(image, table, out);
    return out;
}

cv::Mat motionBlur(const cv::Mat& image, double fraction) {
    const int length = std::max(3, static_cast<int>(std::lround(image.cols * fraction)) | 1);
    const cv::Mat kernel = cv::Mat::ones(1, length, CV_32F) / static_cast<float>(length);
    cv::Mat out;
    cv::filter2D(image, out, -1, kernel, cv::Point(-1, -1), 0, cv::BORDER_REFLECT);
    return out;
}

cv::Mat saltAndPepper(const cv::Mat& image, double fraction, cv::RNG& rng) {
    cv::Mat out = image.clone();
    const int count = static_cast<int>(fraction * image.rows * image.cols);
    for (int i = 0; i < count; ++i) {
        const int y = rng.uniform(0, image.rows);
        const int x = rng.uniform(0, image.cols);
        out.at<cv::Vec3b>(y, x) = rng.uniform(0, 2) ? cv::Vec3b(255, 255, 255) : cv::Vec3b(0, 0, 0);
    }
    return out;
}

cv::Mat framed(const cv::Mat& image, double fractionX, double fractionY, const cv::Scalar& colour) {
    const int x = static_cast<int>(std::lround(image.cols * fractionX));
    const int y = static_cast<int>(std::lround(image.rows * fractionY));
    cv::Mat out;
    cv::copyMakeBorder(image, out, y, y, x, x, cv::BORDER_CONSTANT, colour);
    return out;
}

cv::Mat pastedOnto(const cv::Mat& image, const cv::Mat& backdrop, double scale, cv::RNG& rng) {
    cv::Mat out = backdrop.clone();
    const cv::Size size(std::max(1, static_cast<int>(backdrop.cols * scale)),
                        std::max(1, static_cast<int>(backdrop.rows * scale)));
    const cv::Rect place(rng.uniform(0, backdrop.cols - size.width + 1),
                         rng.uniform(0, backdrop.rows - size.height + 1), size.width, size.height);
    resized(image, size).copyTo(out(place));
    return out;
}

cv::Mat watermarked(const cv::Mat& image) {
    cv::Mat marked = image.clone();
    const char* const caption = "SAMPLE";
    const double fontScale = image.cols / 4.0 / 22.0;
    const int thickness = std::max(2, static_cast<int>(std::lround(fontScale * 3)));
    int baseline = 0;
    const cv::Size extent = cv::getTextSize(caption, cv::FONT_HERSHEY_SIMPLEX, fontScale, thickness, &baseline);
    cv::putText(marked, caption, cv::Point((image.cols - extent.width) / 2, (image.rows + extent.height) / 2),
                cv::FONT_HERSHEY_SIMPLEX, fontScale, cv::Scalar::all(255), thickness, cv::LINE_AA);
    cv::Mat out;
    cv::addWeighted(image, 0.5, marked, 0.5, 0, out);
    return out;
}

cv::Mat occluded(const cv::Mat& image, double fraction, cv::RNG& rng) {
    cv::Mat out = image.clone();
    const int width = static_cast<int>(image.cols * std::sqrt(fraction));
    const int height = static_cast<int>(image.rows * std::sqrt(fraction));
    const cv::Rect place(rng.uniform(0, image.cols - width + 1), rng.uniform(0, image.rows - height + 1), width,
                         height);
    cv::rectangle(out, place, cv::Scalar(rng.uniform(0, 256), rng.uniform(0, 256), rng.uniform(0, 256)), cv::FILLED);
    return out;
}

cv::Mat offCentreCrop(const cv::Mat& image, double keptArea, cv::RNG& rng) {
    const cv::Rect centred = centredCrop(image.size(), 1 - keptArea);
    const cv::Rect place(rng.uniform(0, image.cols - centred.width + 1),
                         rng.uniform(0, image.rows - centred.height + 1), centred.width, centred.height);
    return image(place).clone();
}

cv::Mat hueShifted(const cv::Mat& image, int degrees) {
    cv::Mat hsv;
    cv::cvtColor(image, hsv, cv::COLOR_BGR2HSV);
    for (auto pixel = hsv.begin<cv::Vec3b>(); pixel != hsv.end<cv::Vec3b>(); ++pixel) {
        (*pixel)[0] = static_cast<unsigned char>(((*pixel)[0] + degrees / 2) % 180);
    }
    cv::Mat out;
    cv::cvtColor(hsv, out, cv::COLOR_HSV2BGR);
    return out;
}

cv::Mat vignetted(const cv::Mat& image, double strength) {
    cv::Mat out(image.size(), image.type());
    const double cx = image.cols / 2.0;
    const double cy = image.rows / 2.0;
    const double halfDiagonalSquared = cx * cx + cy * cy;
    for (int y = 0; y < image.rows; ++y) {
        for (int x = 0; x < image.cols; ++x) {
            const double gain = 1 - strength * ((x - cx) * (x - cx) + (y - cy) * (y - cy)) / halfDiagonalSquared;
            const cv::Vec3b pixel = image.at<cv::Vec3b>(y, x);
            for (int c = 0; c < 3; ++c) out.at<cv::Vec3b>(y, x)[c] = cv::saturate_cast<unsigned char>(pixel[c] * gain);
        }
    }
    return out;
}

cv::Mat sharpened(const cv::Mat& image, double amount) {
    cv::Mat blurred;
    cv::GaussianBlur(image, blurred, cv::Size(0, 0), 2);
    cv::Mat out;
    cv::addWeighted(image, 1 + amount, blurred, -amount, 0, out);
    return out;
}

}  // namespace alterations
