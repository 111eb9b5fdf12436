// feature_probe: scores candidate recipes for the model's feature layer on the benchmark's dev
// split, so the recipe shipped by default is chosen by measurement and never on the test split.
// (The default model's projection is fitted by tools/model/train/train_feature.py.)
//
// It runs the converted network once per picture (every indexed photo and every altered copy of
// the split's sources), pools the layers the recipes name, and for each recipe builds the feature
// exactly as the converter's map does (keras_to_caffe::featureMap) before ranking the indexed
// photos by Euclidean distance. Any converted model will do: every Keras layer keeps its name.
//
// usage: feature_probe [--photos DIR] [--model DIR] [--split dev|test|all] RECIPE...
//   RECIPE is the converter's part list (LAYER[:max|:gem|:spectrum][:l2][:SCALE],...) optionally followed
//   by "/seed=N" (the seeded orthonormal projection to 512 values), "/projection=FILE.json" and
//   "/norm" (final normalisation).
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <iostream>
#include <numeric>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "KerasToCaffe.h"
#include "PooledLayers.h"
#include "Progress.h"
#include "Report.h"
#include "Transforms.h"
#include "module/FeatureContract.h"

namespace fs = std::filesystem;
using keras_to_caffe::FeaturePart;
using keras_to_caffe::FeatureRecipe;
using keras_to_caffe::Pooled;

namespace {

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

std::vector<double> featureOf(Candidate& candidate, const Pooled& pooled) {
    std::vector<double> feature;
    if (candidate.recipe.orthonormalSeed || candidate.recipe.projection) {
        std::vector<int> channels;
        const std::vector<double> parts = keras_to_caffe::partsOf(candidate.recipe.parts, pooled, &channels);
        // The map carries the parts' scales, so it reads them unscaled.
        if (!candidate.map) candidate.map = keras_to_caffe::featureMap(candidate.recipe, channels);
        const keras_to_caffe::FeatureMap& map = *candidate.map;
        feature.assign(likeness::kFeatureDim, 0.0);
        for (int row = 0; row < likeness::kFeatureDim; ++row) {
            double sum = map.bias[row];
            for (int column = 0; column < map.columns; ++column)
                sum += static_cast<double>(map.matrix[static_cast<std::size_t>(row) * map.columns + column]) *
                       parts[column];
            feature[row] = sum;
        }
    } else {
        feature = keras_to_caffe::scaledPartsOf(candidate.recipe.parts, pooled);
    }
    if (candidate.recipe.normalised) {
        const double norm = std::sqrt(std::inner_product(feature.begin(), feature.end(), feature.begin(), 0.0));
        for (double& value : feature) value /= norm;
    }
    return feature;
}

// The probe ranks its own double-precision features, not the library's stored floats, so it
// compares recipes before any model is converted from them.
double squaredDistance(const std::vector<double>& a, const std::vector<double>& b) {
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
    return sum;
}

struct Options {
    fs::path photos = "build/photos/set";
    fs::path model = "model";
    Split split = Split::Dev;
    std::vector<std::string> recipes;
};

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if ((argument == "--photos" || argument == "--model" || argument == "--split") && i + 1 < argc) {
            const std::string value = argv[++i];
            if (argument == "--photos") options.photos = value;
            if (argument == "--model") options.model = value;
            if (argument == "--split") {
                const auto parsed = parseSplit(value);
                if (!parsed) throw std::invalid_argument("unknown split " + value);
                options.split = *parsed;
            }
        } else {
            options.recipes.push_back(argument);
        }
    }
    if (options.recipes.empty()) throw std::invalid_argument("no recipe given");
    return options;
}

struct Query {
    std::size_t transform;
    std::size_t target;  // position of its original among the indexed photos
    Pooled pooled;
};

std::vector<Pooled> poolIndexed(const keras_to_caffe::ShapingPhotos& shaping, keras_to_caffe::LayerPooler& pooler) {
    std::vector<Pooled> indexed;
    Progress indexing("pooling indexed photos", shaping.roles.indexed.size());
    for (std::size_t i : shaping.roles.indexed) {
        indexed.push_back(pooler.pool(cv::imread(shaping.photos[i].path.string(), cv::IMREAD_COLOR)));
        indexing.advance();
    }
    return indexed;
}

std::vector<Query> poolQueries(const keras_to_caffe::ShapingPhotos& shaping, keras_to_caffe::LayerPooler& pooler) {
    const std::vector<std::size_t>& indexed = shaping.roles.indexed;
    const auto& transforms = queryTransforms();
    std::vector<Query> queries;
    Progress querying("pooling queries", shaping.sources.size() * keras_to_caffe::transformsThatMayShapeTheFeature());
    for (std::size_t source : shaping.sources) {
        const Photo& photo = shaping.photos[source];
        const cv::Mat original = cv::imread(photo.path.string(), cv::IMREAD_COLOR);
        const auto target =
            static_cast<std::size_t>(std::find(indexed.begin(), indexed.end(), source) - indexed.begin());
        for (std::size_t transform = 0; transform < transforms.size(); ++transform) {
            if (!mayShapeTheFeature(transforms[transform])) continue;
            queries.push_back(
                {transform, target, pooler.pool(keras_to_caffe::alteredCopy(photo, original, transform))});
            querying.advance();
        }
    }
    return queries;
}

// Each query's rank of its original under every candidate, in candidate order.
std::vector<QueryOutcome> rankQueries(std::vector<Candidate>& candidates, const std::vector<Pooled>& indexed,
                                      const std::vector<Query>& queries) {
    std::vector<QueryOutcome> outcomes(queries.size());
    for (Candidate& candidate : candidates) {
        std::vector<std::vector<double>> stored;
        for (const Pooled& pooled : indexed) stored.push_back(featureOf(candidate, pooled));
        for (std::size_t q = 0; q < queries.size(); ++q) {
            const std::vector<double> feature = featureOf(candidate, queries[q].pooled);
            std::vector<double> distances;
            for (const std::vector<double>& vector : stored) distances.push_back(squaredDistance(feature, vector));
            outcomes[q].transform = queries[q].transform;
            outcomes[q].rankByMethod.push_back(rankWithTiesInIndexOrder(distances, queries[q].target));
        }
    }
    return outcomes;
}

int run(const Options& options) {
    std::vector<Candidate> candidates;
    std::vector<FeaturePart> allParts;
    for (const std::string& text : options.recipes) {
        candidates.push_back(parseCandidate(text));
        allParts.insert(allParts.end(), candidates.back().recipe.parts.begin(), candidates.back().recipe.parts.end());
    }
    const keras_to_caffe::ShapingPhotos shaping = keras_to_caffe::shapingPhotos(options.photos, options.split);
    keras_to_caffe::LayerPooler pooler(options.model, keras_to_caffe::layersOf(allParts));
    const std::vector<Pooled> indexed = poolIndexed(shaping, pooler);
    const std::vector<Query> queries = poolQueries(shaping, pooler);
    const std::vector<QueryOutcome> outcomes = rankQueries(candidates, indexed, queries);

    std::vector<std::string> methods;
    for (std::size_t c = 0; c < candidates.size(); ++c) methods.push_back("r" + std::to_string(c + 1));
    std::cout << shaping.sources.size() << " query sources (" << splitName(options.split) << " split), "
              << indexed.size() << " indexed\n";
    for (std::size_t c = 0; c < candidates.size(); ++c) std::cout << methods[c] << " = " << candidates[c].text << "\n";
    std::cout << "\n";
    printScoreTable(std::cout, "block", scoreByBlock(outcomes, methods), methods);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(parseOptions(argc, argv));
    } catch (const std::exception& error) {
        std::cerr << "feature_probe: " << error.what() << "\n";
        return 1;
    }
}
