// feature_probe: scores candidate recipes for the model's feature layer on the benchmark's dev
// split, so the recipe shipped by default is chosen by measurement and never on the test split;
// and fits the default model's learned whitening on that split.
//
// It runs the converted network once per picture (every indexed photo and every altered copy of
// the split's sources), pools the layers the recipes name, and for each recipe builds the feature
// exactly as the converter's map does (keras_to_caffe::featureMap) before ranking the indexed
// photos by Euclidean distance. Any converted model will do: every Keras layer keeps its name.
//
// usage: feature_probe [--photos DIR] [--model DIR] [--split dev|test|all] RECIPE...
//        feature_probe [--photos DIR] [--model DIR] [--split dev|test|all] --fit-projection OUT.json [PARTS]
//   RECIPE is the converter's part list (LAYER[:max|:gem|:spectrum][:l2][:SCALE],...) optionally followed
//   by "/seed=N" (the seeded orthonormal projection to 512 values), "/projection=FILE.json" and
//   "/norm" (final normalisation). --fit-projection learns a whitening of the parts (the default
//   recipe's unless PARTS is given) from the split's sources and their altered copies, and
//   writes it for the converter's --projection.
#include <algorithm>
#include <cmath>
#include <iostream>
#include <map>
#include <numeric>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>
#include <opencv2/imgcodecs.hpp>

#include "KerasToCaffe.h"
#include "Metrics.h"
#include "PhotoSet.h"
#include "Protocol.h"
#include "Report.h"
#include "Transforms.h"
#include "Whitening.h"

namespace fs = std::filesystem;
using keras_to_caffe::FeaturePart;
using keras_to_caffe::FeatureRecipe;
using keras_to_caffe::Pooling;

namespace {

// The library's preprocessing (module/ImplIModule.cpp), which the converted network undoes.
const cv::Size kInputSize(likeness::kInputSide, likeness::kInputSide);
const cv::Scalar kInputMean(likeness::kInputMeanBgr[0], likeness::kInputMeanBgr[1], likeness::kInputMeanBgr[2]);

struct Candidate {
    std::string text;
    FeatureRecipe recipe;
    // The projection, built once on first use: it depends only on the parts' channel counts.
    std::optional<keras_to_caffe::FeatureMap> map;
};

Candidate parseCandidate(const std::string& text) {
    Candidate candidate{text, {}, std::nullopt};
    std::stringstream fields(text);
    std::string field;
    std::getline(fields, field, '/');
    candidate.recipe.parts = keras_to_caffe::parseFeatureParts(field);
    while (std::getline(fields, field, '/')) {
        if (field == "norm") {
            candidate.recipe.normalised = true;
        } else if (field.rfind("seed=", 0) == 0) {
            candidate.recipe.orthonormalSeed = static_cast<unsigned>(std::stoul(field.substr(5)));
        } else if (field.rfind("projection=", 0) == 0) {
            candidate.recipe.projection = keras_to_caffe::readProjection(field.substr(11));
        } else {
            throw std::invalid_argument("unknown recipe option " + field + " in " + text);
        }
    }
    return candidate;
}

std::string pooledName(const std::string& layer, Pooling pooling) {
    return layer + "@" + keras_to_caffe::poolingName(pooling);
}

// One picture's pooled outputs, by pooledName.
using Pooled = std::map<std::string, std::vector<float>>;

class Extractor {
public:
    Extractor(const fs::path& model, const std::vector<Candidate>& candidates)
        : net(cv::dnn::readNetFromCaffe((model / "v0.net").string(), (model / "v0.dat").string())) {
        for (const Candidate& candidate : candidates)
            for (const FeaturePart& part : candidate.recipe.parts)
                if (std::find(layers.begin(), layers.end(), part.layer) == layers.end()) layers.push_back(part.layer);
    }

    Pooled pool(const cv::Mat& picture) {
        net.setInput(cv::dnn::blobFromImage(picture, 1.0, kInputSize, kInputMean, false, false));
        std::vector<cv::Mat> outputs;
        net.forward(outputs, layers);
        Pooled pooled;
        for (std::size_t index = 0; index < layers.size(); ++index) {
            const cv::Mat& blob = outputs[index];
            const int channels = blob.size[1];
            const std::size_t perChannel = blob.total() / static_cast<std::size_t>(channels);
            std::vector<float>& average = pooled[pooledName(layers[index], Pooling::Average)];
            std::vector<float>& maximum = pooled[pooledName(layers[index], Pooling::Maximum)];
            std::vector<float>& generalisedMean = pooled[pooledName(layers[index], Pooling::GeneralisedMean)];
            for (int channel = 0; channel < channels; ++channel) {
                const float* begin = blob.ptr<float>() + channel * perChannel;
                average.push_back(static_cast<float>(std::accumulate(begin, begin + perChannel, 0.0) / perChannel));
                maximum.push_back(*std::max_element(begin, begin + perChannel));
                double cubes = 0;
                for (const float* value = begin; value != begin + perChannel; ++value)
                    cubes += std::pow(static_cast<double>(*value), keras_to_caffe::kGeneralisedMeanPower);
                generalisedMean.push_back(static_cast<float>(std::pow(cubes / perChannel, 1.0 / keras_to_caffe::kGeneralisedMeanPower)));
            }
            const int height = blob.size[2];
            const int width = blob.size[3];
            if (height % keras_to_caffe::kSpectrumGrid == 0 && width % keras_to_caffe::kSpectrumGrid == 0) {
                const std::vector<double> spectrum = keras_to_caffe::cosineSpectrum(blob.ptr<float>(), channels, height, width);
                pooled[pooledName(layers[index], Pooling::CosineSpectrum)].assign(spectrum.begin(), spectrum.end());
            }
        }
        return pooled;
    }

private:
    cv::dnn::Net net;
    std::vector<std::string> layers;
};

// The parts concatenated as the network's "feature_parts" holds them: pooled, and normalised
// where asked, but not yet scaled (the feature map carries the scales).
std::vector<double> partsOf(const std::vector<FeaturePart>& recipeParts, const Pooled& pooled, std::vector<int>* channels = nullptr) {
    std::vector<double> parts;
    for (const FeaturePart& part : recipeParts) {
        const std::vector<float>& values = pooled.at(pooledName(part.layer, part.pooling));
        double norm = 1.0;
        if (part.normalised) norm = std::sqrt(std::inner_product(values.begin(), values.end(), values.begin(), 0.0));
        for (float value : values) parts.push_back(value / norm);
        if (channels) channels->push_back(static_cast<int>(values.size()));
    }
    return parts;
}

// partsOf's values with each part multiplied by its scale, as the feature map sees them.
std::vector<double> scaled(std::vector<double> parts, const std::vector<FeaturePart>& recipeParts, const std::vector<int>& channels) {
    for (std::size_t part = 0, column = 0; part < channels.size(); column += channels[part++])
        for (int channel = 0; channel < channels[part]; ++channel) parts[column + channel] *= recipeParts[part].scale;
    return parts;
}

std::vector<double> scaledPartsOf(const std::vector<FeaturePart>& recipeParts, const Pooled& pooled) {
    std::vector<int> channels;
    std::vector<double> parts = partsOf(recipeParts, pooled, &channels);
    return scaled(std::move(parts), recipeParts, channels);
}

std::vector<double> featureOf(Candidate& candidate, const Pooled& pooled) {
    std::vector<int> channels;
    const std::vector<double> parts = partsOf(candidate.recipe.parts, pooled, &channels);
    std::vector<double> feature;
    if (candidate.recipe.orthonormalSeed || candidate.recipe.projection) {
        // The map carries the parts' scales, so it reads them unscaled.
        if (!candidate.map) candidate.map = keras_to_caffe::featureMap(candidate.recipe, channels);
        const keras_to_caffe::FeatureMap& map = *candidate.map;
        feature.assign(likeness::kFeatureDim, 0.0);
        for (int row = 0; row < likeness::kFeatureDim; ++row) {
            double sum = map.bias[row];
            for (int column = 0; column < map.columns; ++column)
                sum += static_cast<double>(map.matrix[static_cast<std::size_t>(row) * map.columns + column]) * parts[column];
            feature[row] = sum;
        }
    } else {
        feature = scaled(parts, candidate.recipe.parts, channels);
    }
    if (candidate.recipe.normalised) {
        const double norm = std::sqrt(std::inner_product(feature.begin(), feature.end(), feature.begin(), 0.0));
        for (double& value : feature) value /= norm;
    }
    return feature;
}

double squaredDistance(const std::vector<double>& a, const std::vector<double>& b) {
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
    return sum;
}

// Whether the probe may look at a transform: the unseen block is for reporting only, never for
// fitting or choosing.
bool probeMaySee(const QueryTransform& transform) { return transform.block != QueryBlock::Unseen; }

std::size_t transformsTheProbeMaySee() {
    const auto& transforms = queryTransforms();
    return static_cast<std::size_t>(std::count_if(transforms.begin(), transforms.end(), probeMaySee));
}

// The query a transform makes of a source photo, decoded as the library would read it.
cv::Mat alteredCopy(const Photo& photo, const cv::Mat& original, std::size_t transform) {
    const QueryTransform& alteration = queryTransforms()[transform];
    if (!alteration.alter) return original;
    return cv::imdecode(encodeQuery(alteration, original, querySeed(photo, transform)).bytes, cv::IMREAD_COLOR);
}

// Learns the whitening of `parts` from the sources and their altered copies (not the unaltered
// query, which would only add differences of zero) and writes it to `out`. It is fitted to the
// scaled parts, as the feature map will apply it, so a part's scale sets how much the shrinkage
// evens it out with the others.
void fitProjection(const std::vector<Photo>& photos, const std::vector<std::size_t>& sources, const fs::path& model,
                   const std::vector<FeaturePart>& parts, const fs::path& out) {
    Candidate candidate{"", {}, std::nullopt};
    candidate.recipe.parts = parts;
    Extractor extractor(model, {candidate});
    const auto& transforms = queryTransforms();
    cv::Mat originals;
    cv::Mat copies;
    std::vector<int> copyOf;
    Progress pooling("pooling the sources and their altered copies", sources.size() * transformsTheProbeMaySee());
    for (std::size_t source : sources) {
        const cv::Mat original = cv::imread(photos[source].path.string(), cv::IMREAD_COLOR);
        originals.push_back(cv::Mat(scaledPartsOf(parts, extractor.pool(original))).t());
        pooling.advance();
        for (std::size_t transform = 0; transform < transforms.size(); ++transform) {
            if (!transforms[transform].alter || !probeMaySee(transforms[transform])) continue;
            copies.push_back(cv::Mat(scaledPartsOf(parts, extractor.pool(alteredCopy(photos[source], original, transform)))).t());
            copyOf.push_back(originals.rows - 1);
            pooling.advance();
        }
    }
    const keras_to_caffe::Projection projection = keras_to_caffe::learnWhitening(
        originals, copies, copyOf, keras_to_caffe::kDefaultWhiteningShrinkage, likeness::kFeatureDim);
    if (!keras_to_caffe::writeProjection(projection, out.string())) throw std::runtime_error("cannot write " + out.string());
    std::cout << "feature_probe: whitening of " << originals.cols << " values fitted on " << originals.rows << " photos and "
              << copies.rows << " altered copies, written to " << out.string() << "\n";
}

int run(int argc, char** argv) {
    fs::path photosDir = "build/photos/set";
    fs::path model = "model";
    fs::path fitOutput;
    Split split = Split::Dev;
    std::vector<std::string> recipes;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if ((argument == "--photos" || argument == "--model" || argument == "--split" || argument == "--fit-projection") &&
            i + 1 < argc) {
            const std::string value = argv[++i];
            if (argument == "--photos") photosDir = value;
            if (argument == "--model") model = value;
            if (argument == "--fit-projection") fitOutput = value;
            if (argument == "--split") {
                const auto parsed = parseSplit(value);
                if (!parsed) throw std::invalid_argument("unknown split " + value);
                split = *parsed;
            }
        } else {
            recipes.push_back(argument);
        }
    }
    if (fitOutput.empty() && recipes.empty()) throw std::invalid_argument("no recipe given");
    if (!fitOutput.empty() && recipes.size() > 1) throw std::invalid_argument("--fit-projection takes at most one part list");

    // The recipe and the whitening are chosen and fitted on the ordinary photos alone, as before
    // the set gained its low-structure kind; the other kinds only ever serve the benchmark.
    std::vector<Photo> photos = loadPhotos(photosDir, {});
    photos.erase(std::remove_if(photos.begin(), photos.end(), [](const Photo& photo) { return photo.kind != kDefaultPhotoKind; }),
                 photos.end());
    std::vector<int> longSides;
    for (const Photo& photo : photos) longSides.push_back(photo.longSide);
    const auto roles = assignRoles(longSides, ProtocolSizes{});
    if (!roles) throw std::runtime_error("too few large photos in " + photosDir.string());
    const std::vector<std::size_t> sources = sourcesOfSplit(roles->sources, split);
    if (!fitOutput.empty()) {
        fitProjection(photos, sources, model,
                      recipes.empty() ? keras_to_caffe::defaultRecipe().parts : keras_to_caffe::parseFeatureParts(recipes.front()),
                      fitOutput);
        return 0;
    }

    std::vector<Candidate> candidates;
    for (const std::string& text : recipes) candidates.push_back(parseCandidate(text));
    Extractor extractor(model, candidates);
    std::vector<Pooled> indexed;
    Progress indexing("pooling indexed photos", roles->indexed.size());
    for (std::size_t i : roles->indexed) {
        indexed.push_back(extractor.pool(cv::imread(photos[i].path.string(), cv::IMREAD_COLOR)));
        indexing.advance();
    }
    struct Query {
        std::size_t transform;
        std::size_t target;  // position of its original in roles->indexed
        Pooled pooled;
    };
    std::vector<Query> queries;
    const auto& transforms = queryTransforms();
    Progress querying("pooling queries", sources.size() * transformsTheProbeMaySee());
    for (std::size_t source : sources) {
        const cv::Mat original = cv::imread(photos[source].path.string(), cv::IMREAD_COLOR);
        const std::size_t target =
            static_cast<std::size_t>(std::find(roles->indexed.begin(), roles->indexed.end(), source) - roles->indexed.begin());
        for (std::size_t transform = 0; transform < transforms.size(); ++transform) {
            if (!probeMaySee(transforms[transform])) continue;
            queries.push_back({transform, target, extractor.pool(alteredCopy(photos[source], original, transform))});
            querying.advance();
        }
    }

    std::vector<QueryOutcome> outcomes(queries.size());
    std::vector<std::string> methods;
    for (std::size_t c = 0; c < candidates.size(); ++c) {
        methods.push_back("r" + std::to_string(c + 1));
        std::vector<std::vector<double>> stored;
        for (const Pooled& pooled : indexed) stored.push_back(featureOf(candidates[c], pooled));
        for (std::size_t q = 0; q < queries.size(); ++q) {
            const std::vector<double> feature = featureOf(candidates[c], queries[q].pooled);
            std::vector<double> distances;
            for (const std::vector<double>& vector : stored) distances.push_back(squaredDistance(feature, vector));
            outcomes[q].transform = queries[q].transform;
            outcomes[q].rankByMethod.push_back(rankWithTiesInIndexOrder(distances, queries[q].target));
        }
    }
    std::cout << sources.size() << " query sources (" << splitName(split) << " split), " << indexed.size() << " indexed\n";
    for (std::size_t c = 0; c < candidates.size(); ++c) std::cout << methods[c] << " = " << candidates[c].text << "\n";
    std::cout << "\n";
    printScoreTable(std::cout, "block", scoreByBlock(outcomes, methods), methods);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "feature_probe: " << error.what() << "\n";
        return 1;
    }
}
