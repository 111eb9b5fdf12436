#include "Transforms.h"

#include <cmath>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

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

// Three captions at random places, white with a dark outline, each line about 1/12 of the height.
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

// Each corner moves inwards by up to `fraction` of the width and of the height.
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

std::vector<QueryTransform> buildTransforms() {
    std::vector<QueryTransform> transforms;
    transforms.push_back({QueryBlock::Identity, "identity", {}, 0});
    const auto unchanged = [](const cv::Mat& image, cv::RNG&) { return image; };
    for (int quality : {3, 5, 8, 10, 15, 20, 30, 50, 75}) {
        transforms.push_back({QueryBlock::Jpeg, "jpeg-q" + std::to_string(quality), unchanged, quality});
    }
    for (int percent : {10, 15, 20, 30, 40, 50, 60, 70, 80}) {
        transforms.push_back({QueryBlock::Crop, "crop-" + std::to_string(percent),
                              [percent](const cv::Mat& image, cv::RNG&) { return cropped(image, percent / 100.0); }, 0});
    }
    const auto strong = [&transforms](std::string name, std::function<cv::Mat(const cv::Mat&, cv::RNG&)> alter,
                                      int jpegQuality = 0) {
        transforms.push_back({QueryBlock::Strong, std::move(name), std::move(alter), jpegQuality});
    };
    strong("long-side-256", [](const cv::Mat& image, cv::RNG&) { return longSideTo(image, 256); });
    strong("width-x0.75", [](const cv::Mat& image, cv::RNG&) {
        return resized(image, cv::Size(std::max(1, static_cast<int>(std::lround(image.cols * 0.75))), image.rows));
    });
    strong("rotate-10", [](const cv::Mat& image, cv::RNG&) { return rotateKeepingCanvas(image, 10); });
    strong("rotate-90", [](const cv::Mat& image, cv::RNG&) {
        cv::Mat out;
        cv::rotate(image, out, cv::ROTATE_90_CLOCKWISE);
        return out;
    });
    strong("mirror", [](const cv::Mat& image, cv::RNG&) {
        cv::Mat out;
        cv::flip(image, out, 1);
        return out;
    });
    strong("contrast-1.3+30", [](const cv::Mat& image, cv::RNG&) { return linearContrast(image, 1.3, 30); });
    strong("contrast-0.7-30", [](const cv::Mat& image, cv::RNG&) { return linearContrast(image, 0.7, -30); });
    strong("gamma-0.5", [](const cv::Mat& image, cv::RNG&) { return gamma(image, 0.5); });
    strong("blur-sigma-3", [](const cv::Mat& image, cv::RNG&) {
        cv::Mat out;
        cv::GaussianBlur(image, out, cv::Size(0, 0), 3);
        return out;
    });
    strong("noise-sigma-20", [](const cv::Mat& image, cv::RNG& rng) { return gaussianNoise(image, 20, rng); });
    strong("text", [](const cv::Mat& image, cv::RNG& rng) { return overlaidText(image, rng); });
    strong("grayscale", [](const cv::Mat& image, cv::RNG&) { return grayscale(image); });
    strong("perspective-10", [](const cv::Mat& image, cv::RNG& rng) { return perspectiveWarp(image, 0.10, rng); });
    strong(
        "crop50-rotate5-contrast1.2-jpeg30",
        [](const cv::Mat& image, cv::RNG&) { return linearContrast(rotateKeepingCanvas(cropped(image, 0.5), 5), 1.2, 0); },
        30);
    return transforms;
}

}  // namespace

const char* blockName(QueryBlock block) {
    switch (block) {
        case QueryBlock::Identity: return "identity";
        case QueryBlock::Jpeg: return "jpeg";
        case QueryBlock::Crop: return "crop";
        case QueryBlock::Strong: break;
    }
    return "strong";
}

const std::vector<QueryTransform>& queryTransforms() {
    static const std::vector<QueryTransform> transforms = buildTransforms();
    return transforms;
}

cv::Rect centredCrop(cv::Size size, double removedAreaFraction) {
    const double sideFactor = std::sqrt(1.0 - removedAreaFraction);
    const int width = std::max(1, static_cast<int>(std::lround(size.width * sideFactor)));
    const int height = std::max(1, static_cast<int>(std::lround(size.height * sideFactor)));
    return cv::Rect((size.width - width) / 2, (size.height - height) / 2, width, height);
}

EncodedQuery encodeQuery(const QueryTransform& transform, const cv::Mat& original, std::uint64_t seed) {
    if (!transform.alter) throw std::logic_error("the identity query is the original file; nothing to encode");
    cv::RNG rng(seed);
    const cv::Mat altered = transform.alter(original, rng);
    EncodedQuery query;
    if (transform.jpegQuality > 0) {
        query.extension = ".jpg";
        cv::imencode(query.extension, altered, query.bytes, {cv::IMWRITE_JPEG_QUALITY, transform.jpegQuality});
    } else {
        query.extension = ".png";
        // Fast compression: the files live only as long as their query.
        cv::imencode(query.extension, altered, query.bytes, {cv::IMWRITE_PNG_COMPRESSION, 1});
    }
    return query;
}
