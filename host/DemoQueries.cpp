// likeness-demo-queries: writes transformed copies of pictures (cropped, recompressed, rotated,
// mirrored) to use as search queries, to show that a collection finds a photo from an altered copy.
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace fs = std::filesystem;

namespace {

// The central 70% of the picture.
cv::Mat cropped(const cv::Mat& picture) {
    const int width = picture.cols * 7 / 10;
    const int height = picture.rows * 7 / 10;
    return picture(cv::Rect((picture.cols - width) / 2, (picture.rows - height) / 2, width, height)).clone();
}

// Turned by 8 degrees and enlarged just enough that no empty corner shows.
cv::Mat rotated(const cv::Mat& picture) {
    const double angle = 8.0;
    const double radians = angle * CV_PI / 180.0;
    const double aspect = static_cast<double>(std::max(picture.cols, picture.rows)) / std::min(picture.cols, picture.rows);
    const double zoom = std::cos(radians) + aspect * std::sin(radians);
    const cv::Point2f centre(picture.cols / 2.0f, picture.rows / 2.0f);
    cv::Mat turned;
    cv::warpAffine(picture, turned, cv::getRotationMatrix2D(centre, angle, zoom), picture.size(), cv::INTER_LINEAR,
                   cv::BORDER_REFLECT);
    return turned;
}

// Left and right swapped. The network's filters are not mirror-symmetric, so this shows how far
// its learnt invariance goes rather than a property built into the features.
cv::Mat mirrored(const cv::Mat& picture) {
    cv::Mat flipped;
    cv::flip(picture, flipped, 1);
    return flipped;
}

bool writeJpeg(const fs::path& file, const cv::Mat& picture, int quality) {
    if (!cv::imwrite(file.string(), picture, {cv::IMWRITE_JPEG_QUALITY, quality})) {
        std::cerr << "likeness-demo-queries: cannot write " << file << std::endl;
        return false;
    }
    std::cout << file.string() << std::endl;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: likeness-demo-queries OUTDIR PICTURE...\n"
                     "writes OUTDIR/crop-NAME.jpg, OUTDIR/jpeg-NAME.jpg, OUTDIR/rotate-NAME.jpg and\n"
                     "OUTDIR/mirror-NAME.jpg per picture\n";
        return 2;
    }
    const fs::path outDir = argv[1];
    std::error_code error;
    fs::create_directories(outDir, error);
    bool allWritten = true;
    for (int i = 2; i < argc; ++i) {
        const cv::Mat picture = cv::imread(argv[i], cv::IMREAD_COLOR);
        if (picture.empty()) {
            std::cerr << "likeness-demo-queries: " << argv[i] << ": not a decodable picture" << std::endl;
            allWritten = false;
            continue;
        }
        const std::string name = fs::path(argv[i]).stem().string() + ".jpg";
        allWritten &= writeJpeg(outDir / ("crop-" + name), cropped(picture), 90);
        allWritten &= writeJpeg(outDir / ("jpeg-" + name), picture, 15);
        allWritten &= writeJpeg(outDir / ("rotate-" + name), rotated(picture), 90);
        allWritten &= writeJpeg(outDir / ("mirror-" + name), mirrored(picture), 90);
    }
    return allWritten ? 0 : 1;
}
