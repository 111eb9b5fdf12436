// Converts the Keras MobileNetV2 dumped by dump-model.mjs into a Caffe network for OpenCV's dnn
// module: the classifier unchanged plus the feature layer of module/FeatureContract.h built from a recipe.
#ifndef LIKENESS_TOOLS_MODEL_KERASTOCAFFE_H
#define LIKENESS_TOOLS_MODEL_KERASTOCAFFE_H

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "caffe/CaffeWriter.h"
#include "module/FeatureContract.h"

namespace keras_to_caffe {

struct ConversionError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The neutral form written by dump-model.mjs: the layer list and every weight as float32.
struct KerasModel {
    nlohmann::json layers;
    nlohmann::json weights;  // name -> {"shape": [...], "offset": values before it}
    std::vector<float> values;
};
KerasModel readKerasDump(const std::string& directory);

// One source of the feature: a Keras layer with a spatial output, pooled over rows and columns
// per channel (average, maximum, or generalised mean: the cube root of the mean of the cubes) or
// reduced to its cosine spectrum (below), optionally divided by its Euclidean norm, then
// multiplied by `scale`.
enum class Pooling { Average, Maximum, GeneralisedMean, CosineSpectrum, SignedCosines };
constexpr double kGeneralisedMeanPower = 3.0;

// The cosine spectrum of a layer: the mean of its channels averaged on a kSpectrumGrid square
// grid, the grid's two-dimensional cosine transform (DCT-II, unnormalised), and the magnitude of
// each coefficient added to that of its transposed frequency, without the constant term. Mirroring
// only flips the signs of coefficients and a quarter turn also transposes them, so neither changes
// these values; the coarse grid makes them indifferent to fine texture, noise and blocking.
constexpr int kSpectrumGrid = 8;
constexpr int kSpectrumValues = kSpectrumGrid * (kSpectrumGrid + 1) / 2 - 1;
// values: channels x height x width, row-major; height and width multiples of kSpectrumGrid.
// Returns kSpectrumValues values, frequency pairs (u, v) with u <= v in row order.
std::vector<double> cosineSpectrum(const float* values, int channels, int height, int width);
// The signed low cosines of a layer: the mean of its channels averaged on a kCosineGrid square grid,
// its two-dimensional cosine transform (DCT-II, unnormalised), and the coefficients (u, v) with u, v
// below kCosinesKept but the constant one, in row order. Like a perceptual hash, they follow where
// the picture is light and dark, which pixelation, blur, noise and heavy compression leave alone.
constexpr int kCosineGrid = 32;
constexpr int kCosinesKept = 6;
constexpr int kSignedCosineValues = kCosinesKept * kCosinesKept - 1;
// values as for cosineSpectrum, height and width multiples of kCosineGrid; kSignedCosineValues values.
std::vector<double> signedCosines(const float* values, int channels, int height, int width);
// "average", "max", "gem", "spectrum" or "cosines", as the converter names the pooled blobs.
const char* poolingName(Pooling pooling);
struct FeaturePart {
    std::string layer;
    Pooling pooling = Pooling::Average;
    bool normalised = false;
    double scale = 1.0;
};

// A fixed linear map from the concatenated parts to the 512 feature values: value = matrix * x + bias.
struct Projection {
    std::vector<std::vector<double>> matrix;  // likeness::kFeatureDim rows, one column per concatenated value
    std::vector<double> bias;                 // empty or likeness::kFeatureDim values
};

// How the feature layer is made: the parts, concatenated, projected when a projection or an orthonormal
// seed is given (otherwise the parts must total 512 channels), optionally divided by the
// result's Euclidean norm, and multiplied by `scale`.
struct FeatureRecipe {
    std::vector<FeaturePart> parts;
    std::optional<Projection> projection;
    std::optional<unsigned> orthonormalSeed;  // orthonormalProjection(channels of the parts, seed)
    bool normalised = false;
    double scale = 1.0;
};

// The recipe shipped by default, without its projection: that one is learned from photographs
// (scripts/make-model fits it) and given to the converter. KerasToCaffe.cpp says how it was chosen.
FeatureRecipe defaultRecipe();
// "PART,PART,..." where a part is LAYER followed by any of ":max", ":gem" or ":spectrum" (else average), ":l2"
// (normalised) and ":SCALE"; throws ConversionError on malformed text.
std::vector<FeaturePart> parseFeatureParts(const std::string& text);
// A finite decimal number, the whole text; throws ConversionError otherwise.
double parseScale(const std::string& text);
// {"matrix": [[...], ...], "bias": [...]} with "bias" optional.
Projection readProjection(const std::string& path);
// likeness::kFeatureDim orthonormal rows of `columns` values from a seeded Gaussian matrix; the same
// seed gives the same rows on every platform.
Projection orthonormalProjection(int columns, unsigned seed);

// The recipe's linear map, likeness::kFeatureDim rows of `columns` values (row-major) and a bias, from
// the concatenated pooled (and, where asked, normalised) parts to the feature before its final
// normalisation; the part scales are in it, the final scale too unless the result is normalised.
// partChannels are the parts' channel counts.
struct FeatureMap {
    int columns = 0;
    std::vector<float> matrix;
    std::vector<float> bias;
};
FeatureMap featureMap(const FeatureRecipe& recipe, const std::vector<int>& partChannels);

// The converted network: input "data" 1x3xSIDExSIDE holding the library's preprocessed picture
// (BGR - likeness::kInputMeanBgr, module/FeatureContract.h), which it undoes to recover the model's
// rgb / 255. Each Keras layer's output is the output of the Caffe layer of the same name, except
// for a convolution followed by its batch normalisation (only the normalised output exists, under
// the normalisation's name) and for flatten and dropout (their input's); the feature layer
// (likeness::kFeatureLayer) follows the last layer it needs, so a forward to it stops there; the
// model's last layer comes last.
caffe::NetWriter convert(const KerasModel& model, const FeatureRecipe& recipe);

}  // namespace keras_to_caffe

#endif
