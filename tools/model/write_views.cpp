// write_views: writes pictures exactly as the network sees them (decoded, then resized to the
// input square as the library's extraction resizes them), so the feature can be trained and
// scored outside the library on the same inputs:
//   --train   every photo of a folder, `--views` random chains of it (tools/photos/RandomChains.h),
//             pasted onto other photos of the folder where a chain pastes, and `--transforms` of the
//             benchmark's transforms outside its unseen block, drawn at random per photo;
//   --dev     the benchmark's photo set: every indexed photo, and the dev split's sources and
//             held-out photos in each transform a choice may look at (never the unseen block) and in
//             `--chains` random chains drawn with another seed than any fit's.
// The test split is never read in either mode.
//
// usage: write_views (--train | --dev) --photos DIR --out DIR [--views K] [--transforms T] [--chains C]
//                   [--seed S]
// Writes OUT/views.u8 (N x SIDE x SIDE x 3 bytes, BGR, SIDE = the network's input side) and
// OUT/views.tsv (one line per picture: view, photo, kind, role, alteration, block).
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "Alterations.h"
#include "PhotoSet.h"
#include "Progress.h"
#include "Protocol.h"
#include "RandomChains.h"
#include "Transforms.h"
#include "module/FeatureContract.h"

namespace fs = std::filesystem;

namespace {

const char* const kUsage =
    "usage: write_views (--train | --dev) --photos DIR --out DIR [--views K] [--transforms T] [--chains C]\n"
    "                   [--seed S]\n";

// Chains start from the photo at this long side, as the fit's do: far above the network's input,
// so damage looks as it does on a full-size photo, and quicker to alter than the full size.
constexpr int kChainSourceLongSide = 800;

struct Options {
    bool train = false;
    bool dev = false;
    fs::path photos;
    fs::path out;
    int views = 8;
    int transforms = 4;
    int chains = 12;
    std::uint64_t seed = 0x7a11c0de5eedull;
};

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--train" || flag == "--dev") {
            (flag == "--train" ? options.train : options.dev) = true;
            continue;
        }
        if (i + 1 >= argc) throw std::invalid_argument(flag + " needs a value");
        const std::string value = argv[++i];
        if (flag == "--photos") options.photos = value;
        else if (flag == "--out") options.out = value;
        else if (flag == "--views") options.views = std::stoi(value);
        else if (flag == "--transforms") options.transforms = std::stoi(value);
        else if (flag == "--chains") options.chains = std::stoi(value);
        else if (flag == "--seed") options.seed = std::stoull(value, nullptr, 0);
        else throw std::invalid_argument("unknown option " + flag);
    }
    if (options.train == options.dev) throw std::invalid_argument("give one of --train and --dev");
    if (options.photos.empty() || options.out.empty()) throw std::invalid_argument("--photos and --out are needed");
    if (options.views < 0 || options.transforms < 0 || options.chains < 0)
        throw std::invalid_argument("counts cannot be negative");
    return options;
}

class ViewWriter {
public:
    explicit ViewWriter(const fs::path& out) {
        fs::create_directories(out);
        pixels.open(out / "views.u8", std::ios::binary | std::ios::trunc);
        table.open(out / "views.tsv", std::ios::trunc);
        if (!pixels || !table) throw std::runtime_error("cannot write in " + out.string());
        table << "view\tphoto\tkind\trole\talteration\tblock\n";
    }

    // The picture as the library reads a file of it: decoded in colour from its encoded bytes when
    // it was altered, then resized without keeping its aspect ratio, bilinearly.
    void write(const cv::Mat& picture, const Photo& photo, const std::string& role, const std::string& alteration,
               const std::string& block) {
        cv::Mat input;
        cv::resize(picture, input, cv::Size(likeness::kInputSide, likeness::kInputSide), 0, 0, cv::INTER_LINEAR);
        if (input.type() != CV_8UC3 || !input.isContinuous()) throw std::runtime_error("unexpected picture type");
        pixels.write(reinterpret_cast<const char*>(input.data), static_cast<std::streamsize>(input.total() * 3));
        table << count++ << "\t" << photo.name << "\t" << photo.kind << "\t" << role << "\t" << alteration << "\t"
              << block << "\n";
        if (!pixels || !table) throw std::runtime_error("cannot write the views");
    }

private:
    std::ofstream pixels;
    std::ofstream table;
    std::size_t count = 0;
};

cv::Mat readPhoto(const Photo& photo) {
    const cv::Mat picture = cv::imread(photo.path.string(), cv::IMREAD_COLOR);
    if (picture.empty()) throw std::runtime_error("cannot decode " + photo.path.string());
    return picture;
}

cv::Mat chainStart(const cv::Mat& picture) {
    return std::max(picture.cols, picture.rows) > kChainSourceLongSide
               ? alterations::longSideTo(picture, kChainSourceLongSide)
               : picture;
}

// Random chains of `photo`, pasting onto others of `backdrops` where a chain pastes.
void writeChains(ViewWriter& writer, const std::vector<Photo>& photos, std::size_t photo,
                 const std::vector<std::size_t>& backdrops, int count, std::uint64_t seed, const std::string& role) {
    const cv::Mat start = chainStart(readPhoto(photos[photo]));
    for (int chain = 0; chain < count; ++chain) {
        cv::RNG rng(querySeed(photos[photo], 0) ^ (seed + static_cast<std::uint64_t>(chain) * 0x9E3779B97F4A7C15ull));
        const auto other = backdropFor(photo, rng.next(), backdrops);
        const cv::Mat backdrop = other ? chainStart(readPhoto(photos[*other])) : cv::Mat();
        writer.write(randomChainCopy(start, backdrop, rng), photos[photo], role, "chain-" + std::to_string(chain),
                     "chain");
    }
}

// The benchmark's transform applied to `original` as its query file would hold it.
void writeTransform(ViewWriter& writer, const Photo& photo, const cv::Mat& original, std::size_t transform,
                    const std::string& role) {
    const QueryTransform& how = queryTransforms()[transform];
    if (!how.alter) {
        writer.write(original, photo, role, how.name, blockName(how.block));
        return;
    }
    const EncodedQuery query = encodeQuery(how, original, querySeed(photo, transform));
    writer.write(cv::imdecode(query.bytes, cv::IMREAD_COLOR), photo, role, how.name, blockName(how.block));
}

// The transforms a fit or a choice may look at, which need no second photo.
std::vector<std::size_t> shapingTransforms() {
    std::vector<std::size_t> shaping;
    const auto& transforms = queryTransforms();
    for (std::size_t transform = 0; transform < transforms.size(); ++transform)
        if (mayShapeTheFeature(transforms[transform]) && !transforms[transform].needsBackdrop)
            shaping.push_back(transform);
    return shaping;
}

void writeTrainingViews(const Options& options) {
    const std::vector<Photo> photos = loadPhotos(options.photos, {});
    std::vector<std::size_t> all(photos.size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
    const std::vector<std::size_t> transforms = shapingTransforms();
    ViewWriter writer(options.out);
    Progress progress("training views", photos.size());
    for (std::size_t photo = 0; photo < photos.size(); ++photo) {
        const cv::Mat original = readPhoto(photos[photo]);
        writer.write(original, photos[photo], "train", "original", "original");
        cv::RNG rng(querySeed(photos[photo], 0) ^ options.seed);
        for (int drawn = 0; drawn < options.transforms; ++drawn)
            writeTransform(writer, photos[photo], original,
                           transforms[1 + rng.uniform(0, static_cast<int>(transforms.size()) - 1)], "train");
        writeChains(writer, photos, photo, all, options.views, options.seed, "train");
        progress.advance();
    }
}

void writeQueries(ViewWriter& writer, const std::vector<Photo>& photos, std::size_t photo,
                  const std::vector<std::size_t>& sources, const Options& options, const std::string& role) {
    const cv::Mat original = readPhoto(photos[photo]);
    for (std::size_t transform : shapingTransforms()) writeTransform(writer, photos[photo], original, transform, role);
    writeChains(writer, photos, photo, sources, options.chains, options.seed, role);
}

void writeDevViews(const Options& options) {
    const std::vector<Photo> photos = loadPhotos(options.photos, {});
    std::vector<int> longSides;
    std::vector<std::string> kinds;
    for (const Photo& photo : photos) {
        longSides.push_back(photo.longSide);
        kinds.push_back(photo.kind);
    }
    const auto roles = assignRolesByKind(longSides, kinds, protocolKinds(), Split::Dev);
    if (!roles) throw std::runtime_error("too few large photos in " + options.photos.string());
    ViewWriter writer(options.out);
    Progress progress("dev views", roles->indexed.size() + roles->sources.size() + roles->heldOut.size());
    for (std::size_t photo : roles->indexed) {
        writer.write(readPhoto(photos[photo]), photos[photo], "index", "original", "original");
        progress.advance();
    }
    for (std::size_t photo : roles->sources) {
        writeQueries(writer, photos, photo, roles->sources, options, "source");
        progress.advance();
    }
    for (std::size_t photo : roles->heldOut) {
        writeQueries(writer, photos, photo, roles->sources, options, "absent");
        progress.advance();
    }
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Options options = parseOptions(argc, argv);
        if (options.train) writeTrainingViews(options);
        else writeDevViews(options);
        return 0;
    } catch (const std::invalid_argument& error) {
        std::cerr << "write_views: " << error.what() << "\n" << kUsage;
        return 2;
    } catch (const std::exception& error) {
        std::cerr << "write_views: " << error.what() << "\n";
        return 1;
    }
}
