#include "Transforms.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "Alterations.h"

namespace {

using namespace alterations;

using Alteration = std::function<cv::Mat(const cv::Mat&, cv::RNG&)>;

// An alteration of the photo alone, which has no use for a backdrop.
std::function<cv::Mat(const cv::Mat&, const cv::Mat&, cv::RNG&)> alone(Alteration alter) {
    return [alter = std::move(alter)](const cv::Mat& image, const cv::Mat&, cv::RNG& rng) { return alter(image, rng); };
}

std::vector<QueryTransform> buildTransforms() {
    std::vector<QueryTransform> transforms;
    transforms.push_back({QueryBlock::Identity, "identity", {}, 0});
    const auto unchanged = [](const cv::Mat& image, cv::RNG&) { return image; };
    for (int quality : {3, 5, 8, 10, 15, 20, 30, 50, 75}) {
        transforms.push_back({QueryBlock::Jpeg, "jpeg-q" + std::to_string(quality), alone(unchanged), quality});
    }
    for (int percent : {10, 15, 20, 30, 40, 50, 60, 70, 80}) {
        transforms.push_back(
            {QueryBlock::Crop, "crop-" + std::to_string(percent),
             alone([percent](const cv::Mat& image, cv::RNG&) { return cropped(image, percent / 100.0); }), 0});
    }
    const auto strong = [&transforms](std::string name, Alteration alter, int jpegQuality = 0) {
        transforms.push_back({QueryBlock::Strong, std::move(name), alone(std::move(alter)), jpegQuality});
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
        [](const cv::Mat& image, cv::RNG&) {
            return linearContrast(rotateKeepingCanvas(cropped(image, 0.5), 5), 1.2, 0);
        },
        30);
    const auto unseen = [&transforms](std::string name, Alteration alter, int jpegQuality = 0) {
        transforms.push_back({QueryBlock::Unseen, std::move(name), alone(std::move(alter)), jpegQuality});
    };
    unseen("pixelate-24", [](const cv::Mat& image, cv::RNG&) { return pixelated(image, 24); });
    unseen("pixelate-12", [](const cv::Mat& image, cv::RNG&) { return pixelated(image, 12); });
    unseen("thumbnail-64-and-back", [](const cv::Mat& image, cv::RNG&) { return thumbnailAndBack(image, 64); });
    unseen("thumbnail-32-and-back", [](const cv::Mat& image, cv::RNG&) { return thumbnailAndBack(image, 32); });
    unseen(
        "half-size-jpeg-q5", [](const cv::Mat& image, cv::RNG&) { return scaledBy(image, 0.5, cv::INTER_AREA); }, 5);
    unseen(
        "long-side-160-jpeg-q10", [](const cv::Mat& image, cv::RNG&) { return longSideTo(image, 160); }, 10);
    unseen("posterise-4", [](const cv::Mat& image, cv::RNG&) { return posterised(image, 4); });
    unseen("brightness+60", [](const cv::Mat& image, cv::RNG&) { return linearContrast(image, 1, 60); });
    unseen("brightness-60", [](const cv::Mat& image, cv::RNG&) { return linearContrast(image, 1, -60); });
    unseen("gamma-2", [](const cv::Mat& image, cv::RNG&) { return gamma(image, 2.0); });
    unseen("motion-blur-4", [](const cv::Mat& image, cv::RNG&) { return motionBlur(image, 0.04); });
    unseen("blur-sigma-1%", [](const cv::Mat& image, cv::RNG&) {
        cv::Mat out;
        cv::GaussianBlur(image, out, cv::Size(0, 0), std::max(image.cols, image.rows) / 100.0);
        return out;
    });
    unseen("salt-and-pepper-5", [](const cv::Mat& image, cv::RNG& rng) { return saltAndPepper(image, 0.05, rng); });
    unseen(
        "noise-sigma-40-jpeg-q40", [](const cv::Mat& image, cv::RNG& rng) { return gaussianNoise(image, 40, rng); },
        40);
    unseen("white-border-25",
           [](const cv::Mat& image, cv::RNG&) { return framed(image, 0.25, 0.25, cv::Scalar::all(255)); });
    unseen("letterbox-black-20",
           [](const cv::Mat& image, cv::RNG&) { return framed(image, 0, 0.2, cv::Scalar::all(0)); });
    transforms.push_back({QueryBlock::Unseen, "pasted-half-size",
                          [](const cv::Mat& image, const cv::Mat& backdrop, cv::RNG& rng) {
                              return pastedOnto(image, backdrop, 0.5, rng);
                          },
                          0, true});
    unseen("watermark", [](const cv::Mat& image, cv::RNG&) { return watermarked(image); });
    unseen("occluded-15", [](const cv::Mat& image, cv::RNG& rng) { return occluded(image, 0.15, rng); });
    unseen("nearest-x0.3-and-back", [](const cv::Mat& image, cv::RNG&) {
        cv::Mat out;
        cv::resize(scaledBy(image, 0.3, cv::INTER_NEAREST), out, image.size(), 0, 0, cv::INTER_CUBIC);
        return out;
    });
    unseen("off-centre-crop-50", [](const cv::Mat& image, cv::RNG& rng) { return offCentreCrop(image, 0.5, rng); });
    unseen("rotate-30", [](const cv::Mat& image, cv::RNG&) { return rotateKeepingCanvas(image, 30); });
    unseen("hue-60", [](const cv::Mat& image, cv::RNG&) { return hueShifted(image, 60); });
    unseen("vignette-0.8", [](const cv::Mat& image, cv::RNG&) { return vignetted(image, 0.8); });
    unseen("sharpen-3", [](const cv::Mat& image, cv::RNG&) { return sharpened(image, 3); });
    return transforms;
}

}  // namespace

const char* blockName(QueryBlock block) {
    switch (block) {
    case QueryBlock::Identity: return "identity";
    case QueryBlock::Jpeg: return "jpeg";
    case QueryBlock::Crop: return "crop";
    case QueryBlock::Strong: return "strong";
    case QueryBlock::Unseen: break;
    }
    return "unseen";
}

const std::vector<QueryTransform>& queryTransforms() {
    static const std::vector<QueryTransform> transforms = buildTransforms();
    return transforms;
}

bool mayShapeTheFeature(const QueryTransform& transform) {
    return transform.block != QueryBlock::Unseen;
}

cv::Rect centredCrop(cv::Size size, double removedAreaFraction) {
    const double sideFactor = std::sqrt(1.0 - removedAreaFraction);
    const int width = std::max(1, static_cast<int>(std::lround(size.width * sideFactor)));
    const int height = std::max(1, static_cast<int>(std::lround(size.height * sideFactor)));
    return cv::Rect((size.width - width) / 2, (size.height - height) / 2, width, height);
}

EncodedQuery encodeQuery(const QueryTransform& transform, const cv::Mat& original, std::uint64_t seed,
                         const cv::Mat& backdrop) {
    if (!transform.alter) throw std::logic_error("the identity query is the original file; nothing to encode");
    if (transform.needsBackdrop && backdrop.empty())
        throw std::invalid_argument(transform.name + " needs a backdrop photo");
    cv::RNG rng(seed);
    const cv::Mat altered = transform.alter(original, backdrop, rng);
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
