// likeness-demo-queries: writes altered copies of pictures (cropped, recompressed, rotated,
// mirrored) to use as search queries, to show that a collection finds a photo from an altered copy.
// The alterations are the quality benchmark's own (tools/photos/Transforms.h), so what the demo
// shows is what the benchmark measures. The pictures are decoded as the library decodes them, so
// what their decoders say goes to the log of the working folder rather than to the terminal.
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "Transforms.h"
#include "module/PictureDecoder.h"

namespace fs = std::filesystem;

namespace {

// The file name prefix and the benchmark transform it shows. The mirror shows how far the
// network's learnt invariance goes: its filters are not mirror-symmetric.
struct DemoAlteration {
    const char* prefix;
    const char* transform;
};
constexpr DemoAlteration kAlterations[] = {
    {"crop", "crop-50"}, {"jpeg", "jpeg-q15"}, {"rotate", "rotate-10"}, {"mirror", "mirror"}};

// The quality the copies of the alterations that set none are saved with.
constexpr int kJpegQuality = 90;

const QueryTransform* transformNamed(const std::string& name) {
    for (const QueryTransform& transform : queryTransforms())
        if (transform.name == name) return &transform;
    return nullptr;
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
        const likeness::DecodedPicture decoded = likeness::readPicture(argv[i]);
        const cv::Mat& picture = decoded.pixels;
        if (picture.empty()) {
            std::cerr << "likeness-demo-queries: " << argv[i] << ": not a decodable picture (" << decoded.refusal << ")"
                      << std::endl;
            allWritten = false;
            continue;
        }
        const std::string name = fs::path(argv[i]).stem().string() + ".jpg";
        for (const DemoAlteration& alteration : kAlterations) {
            const QueryTransform* transform = transformNamed(alteration.transform);
            if (!transform) {
                std::cerr << "likeness-demo-queries: the benchmark has no transform " << alteration.transform
                          << std::endl;
                return 1;
            }
            cv::RNG unused;  // none of these alterations draws random numbers
            const cv::Mat altered = transform->alter(picture, cv::Mat(), unused);
            const int quality = transform->jpegQuality > 0 ? transform->jpegQuality : kJpegQuality;
            allWritten &= writeJpeg(outDir / (std::string(alteration.prefix) + "-" + name), altered, quality);
        }
    }
    return allWritten ? 0 : 1;
}
