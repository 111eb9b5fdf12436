#include "Transforms.h"

#include <algorithm>
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

// Each cell of a grid whose long side has `cells` cells filled with its mean colour.
cv::Mat pixelated(const cv::Mat& image, int cells) {
    cv::Mat out;
    cv::resize(longSideTo(image, cells), out, image.size(), 0, 0, cv::INTER_NEAREST);
    return out;
}

// Down to a thumbnail of the given long side and back up to the original size.
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

// A horizontal smear over `fraction` of the width, as a camera moved while the shutter was open.
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

// The photo in the middle of a plain frame whose sides add `fraction` of its size on each side.
cv::Mat framed(const cv::Mat& image, double fractionX, double fractionY, const cv::Scalar& colour) {
    const int x = static_cast<int>(std::lround(image.cols * fractionX));
    const int y = static_cast<int>(std::lround(image.rows * fractionY));
    cv::Mat out;
    cv::copyMakeBorder(image, out, y, y, x, x, cv::BORDER_CONSTANT, colour);
    return out;
}

// The photo scaled to `scale` of the backdrop's sides and pasted at a random place on it.
cv::Mat pastedOnto(const cv::Mat& image, const cv::Mat& backdrop, double scale, cv::RNG& rng) {
    cv::Mat out = backdrop.clone();
    const cv::Size size(std::max(1, static_cast<int>(backdrop.cols * scale)),
                        std::max(1, static_cast<int>(backdrop.rows * scale)));
    const cv::Rect place(rng.uniform(0, backdrop.cols - size.width + 1),
                         rng.uniform(0, backdrop.rows - size.height + 1), size.width, size.height);
    resized(image, size).copyTo(out(place));
    return out;
}

// A large caption across the middle, blended at half opacity, as a stock-photo watermark.
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

// A filled rectangle of a random colour covering `fraction` of the area at a random place.
cv::Mat occluded(const cv::Mat& image, double fraction, cv::RNG& rng) {
    cv::Mat out = image.clone();
    const int width = static_cast<int>(image.cols * std::sqrt(fraction));
    const int height = static_cast<int>(image.rows * std::sqrt(fraction));
    const cv::Rect place(rng.uniform(0, image.cols - width + 1), rng.uniform(0, image.rows - height + 1), width,
                         height);
    cv::rectangle(out, place, cv::Scalar(rng.uniform(0, 256), rng.uniform(0, 256), rng.uniform(0, 256)), cv::FILLED);
    return out;
}

// The part of the photo keeping `keptArea` of its area, in its aspect ratio, at a random place.
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

// Darker towards the corners: each pixel times 1 - strength * (distance from the centre / half diagonal)^2.
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
    case QueryBlock::Identity:
        return "identity";
    case QueryBlock::Jpeg:
        return "jpeg";
    case QueryBlock::Crop:
        return "crop";
    case QueryBlock::Strong:
        return "strong";
    case QueryBlock::Unseen:
        break;
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
