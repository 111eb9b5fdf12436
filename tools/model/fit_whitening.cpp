// fit_whitening: learns the default model's projection, a whitening of the feature's parts (the
// default recipe's unless --parts is given), from the dev split of the photo set: its sources and
// their altered copies. The test split is never read. scripts/make-model runs it on a first
// conversion and gives the result to the converter's --projection.
//
// usage: fit_whitening --model DIR --photos DIR --out FILE.json [--parts PARTS]
//                      [--copies chains|benchmark] [--chains N] [--shrinkage S]
//   --model      any converted model: the parts are read from the pooled Keras layers, never from
//                the feature itself
//   --copies     the benchmark's transforms outside its unseen block (the default), or random
//                chains of alterations (tools/photos/RandomChains.h)
//   --chains     random chains per source (32, as many as the benchmark's transforms it may use)
//   --shrinkage  the whitening's shrinkage (kDefaultWhiteningShrinkage)
#include <exception>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "Alterations.h"
#include "KerasToCaffe.h"
#include "PooledLayers.h"
#include "Progress.h"
#include "RandomChains.h"
#include "Transforms.h"
#include "Whitening.h"
#include "module/FeatureContract.h"

namespace fs = std::filesystem;
using namespace keras_to_caffe;

namespace {

const char* const kUsage =
    "usage: fit_whitening --model DIR --photos DIR --out FILE.json [--parts PARTS]\n"
    "                     [--copies chains|benchmark] [--chains N] [--shrinkage S]\n";

// The chains start from the photo at this long side: far above the network's input, so the
// damage looks as it does on a full-size photo, and several times quicker to alter.
constexpr int kChainSourceLongSide = 800;
constexpr std::uint64_t kChainSeed = 0x5eed0c4a1ull;

struct Options {
    fs::path model;
    fs::path photos;
    fs::path out;
    std::vector<FeaturePart> parts = defaultRecipe().parts;
    bool randomChains = false;
    int chains = 32;
    double shrinkage = kDefaultWhiteningShrinkage;
};

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (i + 1 >= argc) throw std::invalid_argument(flag + " needs a value");
        const std::string value = argv[++i];
        if (flag == "--model") {
            options.model = value;
        } else if (flag == "--photos") {
            options.photos = value;
        } else if (flag == "--out") {
            options.out = value;
        } else if (flag == "--parts") {
            options.parts = parseFeatureParts(value);
        } else if (flag == "--copies" && (value == "chains" || value == "benchmark")) {
            options.randomChains = value == "chains";
        } else if (flag == "--chains") {
            options.chains = std::stoi(value);
            if (options.chains < 1) throw std::invalid_argument("--chains needs a positive count");
        } else if (flag == "--shrinkage") {
            options.shrinkage = std::stod(value);
            if (!(options.shrinkage > 0)) throw std::invalid_argument("--shrinkage needs a positive value");
        } else {
            throw std::invalid_argument("unknown option " + flag);
        }
    }
    if (options.model.empty() || options.photos.empty() || options.out.empty())
        throw std::invalid_argument("--model, --photos and --out are needed");
    return options;
}

// The scaled parts of the sources (one row each) and of their altered copies, with the source
// each copy was made from. The unaltered query is left out: it would only add differences of zero.
struct Samples {
    cv::Mat originals;
    cv::Mat copies;
    std::vector<int> copyOf;
};

// The source's altered copies: its random chains, pasted where they paste onto another source of
// the split, or the benchmark's transforms that may shape the feature.
std::vector<cv::Mat> copiesOf(const ShapingPhotos& shaping, std::size_t source, const cv::Mat& original,
                              const Options& options) {
    const Photo& photo = shaping.photos[source];
    std::vector<cv::Mat> copies;
    if (!options.randomChains) {
        const auto& transforms = queryTransforms();
        for (std::size_t transform = 0; transform < transforms.size(); ++transform)
            if (transforms[transform].alter && mayShapeTheFeature(transforms[transform]))
                copies.push_back(alteredCopy(photo, original, transform));
        return copies;
    }
    const cv::Mat start = std::max(original.cols, original.rows) > kChainSourceLongSide
                              ? alterations::longSideTo(original, kChainSourceLongSide)
                              : original;
    for (int chain = 0; chain < options.chains; ++chain) {
        cv::RNG rng(querySeed(photo, 0) ^ (kChainSeed + static_cast<std::uint64_t>(chain) * 0x9E3779B97F4A7C15ull));
        const auto other = backdropFor(source, rng.next(), shaping.sources);
        cv::Mat backdrop;
        if (other)
            backdrop = alterations::longSideTo(cv::imread(shaping.photos[*other].path.string(), cv::IMREAD_COLOR),
                                               kChainSourceLongSide);
        copies.push_back(randomChainCopy(start, backdrop, rng));
    }
    return copies;
}

Samples poolSamples(const ShapingPhotos& shaping, const Options& options) {
    LayerPooler pooler(options.model, layersOf(options.parts));
    Samples samples;
    const std::size_t perSource =
        options.randomChains ? static_cast<std::size_t>(options.chains) : transformsThatMayShapeTheFeature() - 1;
    Progress pooling("pooling the sources and their altered copies", shaping.sources.size() * (perSource + 1));
    for (std::size_t source : shaping.sources) {
        const cv::Mat original = cv::imread(shaping.photos[source].path.string(), cv::IMREAD_COLOR);
        samples.originals.push_back(cv::Mat(scaledPartsOf(options.parts, pooler.pool(original))).t());
        pooling.advance();
        for (const cv::Mat& copy : copiesOf(shaping, source, original, options)) {
            samples.copies.push_back(cv::Mat(scaledPartsOf(options.parts, pooler.pool(copy))).t());
            samples.copyOf.push_back(samples.originals.rows - 1);
            pooling.advance();
        }
    }
    return samples;
}

// The whitening is fitted to the scaled parts, as the feature map will apply it, so a part's
// scale sets how much the shrinkage evens it out with the others.
int run(const Options& options) {
    const ShapingPhotos shaping = shapingPhotos(options.photos, Split::Dev);
    const Samples samples = poolSamples(shaping, options);
    const Projection projection =
        learnWhitening(samples.originals, samples.copies, samples.copyOf, options.shrinkage, likeness::kFeatureDim);
    if (!writeProjection(projection, options.out.string()))
        throw std::runtime_error("cannot write " + options.out.string());
    std::cout << "fit_whitening: whitening of " << samples.originals.cols << " values fitted on "
              << samples.originals.rows << " photos and " << samples.copies.rows << " altered copies, written to "
              << options.out.string() << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(parseOptions(argc, argv));
    } catch (const std::invalid_argument& error) {
        std::cerr << "fit_whitening: " << error.what() << "\n" << kUsage;
        return 2;
    } catch (const std::exception& error) {
        std::cerr << "fit_whitening: " << error.what() << "\n";
        return 1;
    }
}
