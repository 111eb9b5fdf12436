// fit_whitening: learns the default model's projection, a whitening of the feature's parts (the
// default recipe's unless --parts is given), from the dev split of the photo set: its sources and
// their altered copies. The test split is never read. scripts/make-model runs it on a first
// conversion and gives the result to the converter's --projection.
//
// usage: fit_whitening --model DIR --photos DIR --out FILE.json [--parts PARTS]
//   --model   any converted model: the parts are read from the pooled Keras layers, never from
//             the feature itself
#include <exception>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "KerasToCaffe.h"
#include "PooledLayers.h"
#include "Progress.h"
#include "Transforms.h"
#include "Whitening.h"
#include "module/FeatureContract.h"

namespace fs = std::filesystem;
using namespace keras_to_caffe;

namespace {

const char* const kUsage = "usage: fit_whitening --model DIR --photos DIR --out FILE.json [--parts PARTS]\n";

struct Options {
    fs::path model;
    fs::path photos;
    fs::path out;
    std::vector<FeaturePart> parts = defaultRecipe().parts;
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

Samples poolSamples(const ShapingPhotos& shaping, const Options& options) {
    LayerPooler pooler(options.model, layersOf(options.parts));
    const auto& transforms = queryTransforms();
    Samples samples;
    Progress pooling("pooling the sources and their altered copies",
                     shaping.sources.size() * transformsThatMayShapeTheFeature());
    for (std::size_t source : shaping.sources) {
        const Photo& photo = shaping.photos[source];
        const cv::Mat original = cv::imread(photo.path.string(), cv::IMREAD_COLOR);
        samples.originals.push_back(cv::Mat(scaledPartsOf(options.parts, pooler.pool(original))).t());
        pooling.advance();
        for (std::size_t transform = 0; transform < transforms.size(); ++transform) {
            if (!transforms[transform].alter || !mayShapeTheFeature(transforms[transform])) continue;
            const cv::Mat copy = alteredCopy(photo, original, transform);
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
    const Projection projection = learnWhitening(samples.originals, samples.copies, samples.copyOf,
                                                 kDefaultWhiteningShrinkage, likeness::kFeatureDim);
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
