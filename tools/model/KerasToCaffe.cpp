#include "KerasToCaffe.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <iterator>
#include <map>
#include <random>
#include <sstream>

namespace keras_to_caffe {
namespace {

using nlohmann::json;

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "keras-weights.bin holds little-endian float32");

constexpr const char* kInputBlob = "data";

struct Shape {
    int channels = 0;
    int height = 0;
    int width = 0;
};

json readJson(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw ConversionError("cannot open " + path);
    try {
        return json::parse(in);
    } catch (const json::exception& error) {
        throw ConversionError(path + ": " + error.what());
    }
}

// cos(pi (2 position + 1) frequency / (2 grid)): the DCT-II basis over a grid.
double cosineBasis(int frequency, int position, int grid = kSpectrumGrid) {
    const double pi = std::acos(-1.0);
    return std::cos(pi * (2 * position + 1) * frequency / (2.0 * grid));
}

// The mean over channels of `values` averaged on a grid x grid grid of equal cells, row-major.
std::vector<double> gridMeans(const float* values, int channels, int height, int width, int grid) {
    if (channels < 1 || height < grid || width < grid || height % grid || width % grid)
        throw ConversionError("a cosine transform needs sides that are multiples of " + std::to_string(grid));
    const int cellHeight = height / grid;
    const int cellWidth = width / grid;
    std::vector<double> means(static_cast<std::size_t>(grid) * grid, 0.0);
    for (int channel = 0; channel < channels; ++channel)
        for (int row = 0; row < height; ++row)
            for (int column = 0; column < width; ++column)
                means[(row / cellHeight) * grid + column / cellWidth] +=
                    values[(static_cast<std::size_t>(channel) * height + row) * width + column];
    for (double& mean : means) mean /= static_cast<double>(channels) * cellHeight * cellWidth;
    return means;
}

// The (u, v) coefficient of the two-dimensional DCT-II of a grid x grid array of means.
double cosineCoefficient(const std::vector<double>& means, int grid, int u, int v) {
    double sum = 0.0;
    for (int y = 0; y < grid; ++y)
        for (int x = 0; x < grid; ++x)
            sum += cosineBasis(u, y, grid) * cosineBasis(v, x, grid) * means[static_cast<std::size_t>(y) * grid + x];
    return sum;
}

// The frequency pairs (u, v), u <= v, that the spectrum keeps, in its order.
std::vector<std::pair<int, int>> spectrumFrequencies() {
    std::vector<std::pair<int, int>> frequencies;
    for (int u = 0; u < kSpectrumGrid; ++u)
        for (int v = u; v < kSpectrumGrid; ++v)
            if (u + v > 0) frequencies.emplace_back(u, v);
    return frequencies;
}

// The frequency pairs (u, v) the signed cosines keep, in their order: every pair below
// kCosinesKept but the mean (0, 0).
std::vector<std::pair<int, int>> signedCosineFrequencies() {
    std::vector<std::pair<int, int>> frequencies;
    for (int u = 0; u < kCosinesKept; ++u)
        for (int v = 0; v < kCosinesKept; ++v)
            if (u + v > 0) frequencies.emplace_back(u, v);
    return frequencies;
}

// Enough digits that the float Caffe reads back is the nearest to value.
std::string decimal(double value) {
    std::ostringstream text;
    text << std::setprecision(9) << value;
    return text.str();
}

std::string blobText(const std::vector<int>& shape) {
    std::string text;
    for (int dim : shape) text += (text.empty() ? "" : "x") + std::to_string(dim);
    return text;
}

class Converter {
public:
    explicit Converter(const KerasModel& model) : model(model) {
        for (const json& layer : model.layers)
            for (const json& input : layer.at("inputs")) ++consumers[input.get<std::string>()];
    }

    void convertLayers() {
        for (const json& layer : model.layers) {
            const std::string kind = layer.at("class");
            if (kind == "InputLayer") input(layer);
            else if (kind == "ZeroPadding2D") zeroPadding(layer);
            else if (kind == "Conv2D") convolution(layer, false);
            else if (kind == "DepthwiseConv2D") convolution(layer, true);
            else if (kind == "BatchNormalization") batchNormalization(layer);
            else if (kind == "ReLU") relu(layer);
            else if (kind == "Add") add(layer);
            else if (kind == "AveragePooling2D") averagePooling(layer);
            else if (kind == "Flatten") flatten(layer);
            else if (kind == "Dense") dense(layer);
            else if (kind == "Dropout") alias(layer);  // identity at inference
            else fail(layer, "layer class " + kind + " is not supported");
        }
    }

    // Inserted right after the last layer it reads, so a forward to the feature computes nothing more.
    void addFeature(const FeatureRecipe& recipe) {
        if (recipe.parts.empty()) throw ConversionError("the feature recipe names no layer");
        std::vector<caffe::Layer> head;
        std::vector<std::string> pooled;
        std::vector<int> partChannels;
        std::size_t lastSource = 0;
        for (const FeaturePart& part : recipe.parts) {
            const std::string source = blobOfLayer(part.layer);
            const std::string kind = poolingName(part.pooling);
            const std::string name = "feature_" + kind + "_" + part.layer;
            if (std::find(pooled.begin(), pooled.end(), name) != pooled.end())
                throw ConversionError("the feature recipe names the " + kind + " of " + part.layer + " twice");
            if (part.pooling == Pooling::CosineSpectrum) {
                addSpectrum(head, name, source);
            } else if (part.pooling == Pooling::SignedCosines) {
                addSignedCosines(head, name, source);
            } else if (part.pooling == Pooling::GeneralisedMean) {
                // ReLU outputs are never negative, so the cube root is always real.
                head.push_back({name + "_cubed",
                                "Power",
                                {source},
                                {name + "_cubed"},
                                "power_param { power: " + decimal(kGeneralisedMeanPower) + " }",
                                {}});
                head.push_back({name + "_mean",
                                "Pooling",
                                {name + "_cubed"},
                                {name + "_mean"},
                                "pooling_param { pool: AVE global_pooling: true }",
                                {}});
                head.push_back({name,
                                "Power",
                                {name + "_mean"},
                                {name},
                                "power_param { power: " + decimal(1.0 / kGeneralisedMeanPower) + " }",
                                {}});
            } else {
                head.push_back({name,
                                "Pooling",
                                {source},
                                {name},
                                std::string("pooling_param { pool: ") +
                                    (part.pooling == Pooling::Maximum ? "MAX" : "AVE") + " global_pooling: true }",
                                {}});
            }
            if (part.normalised) head.push_back(normalisation(name + "_normalised", name, 1.0));
            pooled.push_back(head.back().tops.front());
            partChannels.push_back(part.pooling == Pooling::CosineSpectrum  ? kSpectrumValues
                                   : part.pooling == Pooling::SignedCosines ? kSignedCosineValues
                                                                            : shapes.at(source).channels);
            lastSource = std::max(lastSource, producers.at(source));
        }
        std::string projected = pooled.front();
        if (pooled.size() > 1) {
            projected = "feature_parts";
            head.push_back({projected, "Concat", pooled, {projected}, "concat_param { axis: 1 }", {}});
        }
        FeatureMap map = featureMap(recipe, partChannels);
        const std::string mapped = recipe.normalised ? "feature_mapped" : likeness::kFeatureLayer;
        caffe::Layer feature{mapped,
                             "InnerProduct",
                             {projected},
                             {mapped},
                             "inner_product_param { num_output: " + std::to_string(likeness::kFeatureDim) + " }",
                             {}};
        feature.blobs.push_back({{likeness::kFeatureDim, map.columns}, std::move(map.matrix)});
        feature.blobs.push_back({{likeness::kFeatureDim}, std::move(map.bias)});
        head.push_back(std::move(feature));
        if (recipe.normalised) head.push_back(normalisation(likeness::kFeatureLayer, mapped, recipe.scale));
        for (const caffe::Layer& layer : head)
            if (shapes.count(layer.tops.front()))
                throw ConversionError("the model already has a blob named " + layer.tops.front());
        layers.insert(layers.begin() + static_cast<std::ptrdiff_t>(lastSource) + 1, head.begin(), head.end());
    }

    // Grid averages by a Pooling layer, then the channel mean and the cosine coefficients
    // `frequencies` of the grid in one InnerProduct, named `name`.
    void addCosines(std::vector<caffe::Layer>& head, const std::string& name, const std::string& source, int grid,
                    const std::vector<std::pair<int, int>>& frequencies) const {
        const Shape& shape = shapes.at(source);
        if (shape.height % grid || shape.width % grid)
            throw ConversionError("a cosine transform on a " + std::to_string(grid) + " grid needs a layer whose " +
                                  "sides are multiples of " + std::to_string(grid) + "; " + source + " is " +
                                  std::to_string(shape.height) + "x" + std::to_string(shape.width));
        const int cellHeight = shape.height / grid;
        const int cellWidth = shape.width / grid;
        head.push_back({name + "_grid",
                        "Pooling",
                        {source},
                        {name + "_grid"},
                        "pooling_param { pool: AVE kernel_h: " + std::to_string(cellHeight) +
                            " kernel_w: " + std::to_string(cellWidth) + " stride_h: " + std::to_string(cellHeight) +
                            " stride_w: " + std::to_string(cellWidth) + " }",
                        {}});
        const int cells = grid * grid;
        const int outputs = static_cast<int>(frequencies.size());
        std::vector<float> cosines(static_cast<std::size_t>(outputs) * shape.channels * cells);
        for (int row = 0; row < outputs; ++row)
            for (int channel = 0; channel < shape.channels; ++channel)
                for (int y = 0; y < grid; ++y)
                    for (int x = 0; x < grid; ++x)
                        cosines[(static_cast<std::size_t>(row) * shape.channels + channel) * cells + y * grid + x] =
                            static_cast<float>(cosineBasis(frequencies[row].first, y, grid) *
                                               cosineBasis(frequencies[row].second, x, grid) / shape.channels);
        caffe::Layer transform{name,
                               "InnerProduct",
                               {name + "_grid"},
                               {name},
                               "inner_product_param { num_output: " + std::to_string(outputs) + " }",
                               {}};
        transform.blobs.push_back({{outputs, shape.channels * cells}, std::move(cosines)});
        transform.blobs.push_back({{outputs}, std::vector<float>(outputs, 0.0f)});
        head.push_back(std::move(transform));
    }

    // Shaped like the globally pooled parts it is concatenated with.
    static caffe::Layer asChannels(const std::string& name, const std::string& bottom) {
        return {name, "Reshape", {bottom}, {name}, "reshape_param { shape { dim: 0 dim: -1 dim: 1 dim: 1 } }", {}};
    }

    // Every cosine of the grid, their magnitudes by AbsVal, and the sums of transposed frequencies
    // in another InnerProduct.
    void addSpectrum(std::vector<caffe::Layer>& head, const std::string& name, const std::string& source) const {
        std::vector<std::pair<int, int>> every;
        for (int u = 0; u < kSpectrumGrid; ++u)
            for (int v = 0; v < kSpectrumGrid; ++v) every.emplace_back(u, v);
        addCosines(head, name + "_cosines", source, kSpectrumGrid, every);
        const int cells = kSpectrumGrid * kSpectrumGrid;
        head.push_back({name + "_magnitudes", "AbsVal", {name + "_cosines"}, {name + "_magnitudes"}, "", {}});
        const std::vector<std::pair<int, int>> frequencies = spectrumFrequencies();
        std::vector<float> folding(static_cast<std::size_t>(kSpectrumValues) * cells, 0.0f);
        for (std::size_t row = 0; row < frequencies.size(); ++row) {
            const auto [u, v] = frequencies[row];
            folding[row * cells + u * kSpectrumGrid + v] += 1.0f;
            folding[row * cells + v * kSpectrumGrid + u] += 1.0f;
        }
        caffe::Layer fold{name + "_folded",
                          "InnerProduct",
                          {name + "_magnitudes"},
                          {name + "_folded"},
                          "inner_product_param { num_output: " + std::to_string(kSpectrumValues) + " }",
                          {}};
        fold.blobs.push_back({{kSpectrumValues, cells}, std::move(folding)});
        fold.blobs.push_back({{kSpectrumValues}, std::vector<float>(kSpectrumValues, 0.0f)});
        head.push_back(std::move(fold));
        head.push_back(asChannels(name, name + "_folded"));
    }

    void addSignedCosines(std::vector<caffe::Layer>& head, const std::string& name, const std::string& source) const {
        addCosines(head, name + "_coefficients", source, kCosineGrid, signedCosineFrequencies());
        head.push_back(asChannels(name, name + "_coefficients"));
    }

    // OpenCV's Normalize divides by the Euclidean norm over all the values of a picture and
    // multiplies by the one shared scale.
    static caffe::Layer normalisation(const std::string& name, const std::string& bottom, double scale) {
        caffe::Layer layer{
            name, "Normalize", {bottom}, {name}, "norm_param { across_spatial: true channel_shared: true eps: 1e-10 }",
            {}};
        layer.blobs.push_back({{1}, {static_cast<float>(scale)}});
        return layer;
    }

    caffe::NetWriter write() const {
        caffe::NetWriter net("nsfwjs_mobilenet_v2");
        net.setInput(kInputBlob, {1, 3, likeness::kInputSide, likeness::kInputSide});
        for (const caffe::Layer& layer : layers) net.addLayer(layer);
        return net;
    }

private:
    [[noreturn]] static void fail(const json& layer, const std::string& why) {
        throw ConversionError(layer.at("name").get<std::string>() + ": " + why);
    }

    std::string blobOfLayer(const std::string& kerasName) const {
        const auto found = blobs.find(kerasName);
        if (found == blobs.end()) throw ConversionError("no converted layer is named " + kerasName);
        return found->second;
    }

    std::string onlyInput(const json& layer) const {
        if (layer.at("inputs").size() != 1) fail(layer, "expected exactly one input");
        return layer.at("inputs")[0];
    }

    std::vector<float> weight(const std::string& name, const std::vector<int>& expectedShape) const {
        if (!model.weights.contains(name)) throw ConversionError("weight " + name + " is missing");
        const json& entry = model.weights.at(name);
        const std::vector<int> shape = entry.at("shape");
        if (shape != expectedShape)
            throw ConversionError("weight " + name + " is " + blobText(shape) + ", expected " +
                                  blobText(expectedShape));
        std::size_t count = 1;
        for (int dim : shape) count *= static_cast<std::size_t>(dim);
        const std::size_t offset = entry.at("offset");
        if (offset + count > model.values.size())
            throw ConversionError("weight " + name + " lies beyond keras-weights.bin");
        return {model.values.begin() + static_cast<std::ptrdiff_t>(offset),
                model.values.begin() + static_cast<std::ptrdiff_t>(offset + count)};
    }

    void emit(caffe::Layer layer, const Shape& shape) {
        for (const std::string& top : layer.tops) {
            shapes[top] = shape;
            producers[top] = layers.size();
        }
        layers.push_back(std::move(layer));
    }

    void alias(const json& layer) { blobs[layer.at("name")] = blobOfLayer(onlyInput(layer)); }

    // The library feeds (BGR - mean) x 1.0; a per-channel Scale gives back BGR / 255, and the first
    // convolution reads its channels in that order. Folding the mean into the convolution instead
    // would be wrong where its window overlaps the zero padding.
    void input(const json& layer) {
        const json& shape = layer.at("config").at("batch_input_shape");
        if (shape != json::parse("[null, 224, 224, 3]")) fail(layer, "expected a 224x224x3 input, got " + shape.dump());
        const std::string name = layer.at("name");
        caffe::Layer rescale{name, "Scale", {kInputBlob}, {name}, "scale_param { bias_term: true }", {}};
        std::vector<float> scale(3, static_cast<float>(1.0 / 255.0));
        std::vector<float> bias(3);
        for (int channel = 0; channel < 3; ++channel)
            bias[channel] = static_cast<float>(likeness::kInputMeanBgr[channel] / 255.0);
        rescale.blobs.push_back({{3}, std::move(scale)});
        rescale.blobs.push_back({{3}, std::move(bias)});
        emit(std::move(rescale), {3, likeness::kInputSide, likeness::kInputSide});
        blobs[name] = name;
        bgrBlob = name;
    }

    void zeroPadding(const json& layer) {
        if (layer.at("config").at("padding") != json::parse("[[0, 1], [0, 1]]"))
            fail(layer, "only the padding [[0,1],[0,1]] before a stride-2 convolution is supported");
        const std::string source = onlyInput(layer);
        if (consumers[layer.at("name")] != 1) fail(layer, "padding read by more than one layer");
        paddedSources[layer.at("name")] = blobOfLayer(source);
    }

    // The Caffe padding of a convolution: Keras's "same" at stride 1, or, after Keras's padding of
    // [[0,1],[0,1]], its 3x3 stride-2 "valid" convolution. Caffe pads symmetrically, so pad 2 on
    // every side gives the same windows shifted by one row and column, which two Slices drop
    // (emitDroppingFirstRowAndColumn).
    static int caffePadding(const json& layer, const Shape& in, bool padded, int kernel, int stride) {
        const std::string padding = layer.at("config").at("padding");
        if (padded) {
            if (padding != "valid" || kernel != 3 || stride != 2)
                fail(layer, "padded input expects a 3x3 stride-2 valid convolution");
            if (in.height % 2 || in.width % 2) fail(layer, "padded input expects even rows and columns");
            return 2;
        }
        if (padding == "same") {
            if (stride != 1 || kernel % 2 == 0)
                fail(layer, "\"same\" padding is supported for odd kernels at stride 1");
            return kernel / 2;
        }
        if (padding != "valid") fail(layer, "unknown padding " + padding);
        return 0;
    }

    // Keras's depthwise kernel (rows, columns, channels, multiplier) in Caffe's order (channel and
    // copy, rows, columns).
    std::vector<float> depthwiseWeights(const std::string& name, int kernel, int channels, int multiplier) const {
        const std::vector<float> kerasWeights =
            weight(name + "/depthwise_kernel", {kernel, kernel, channels, multiplier});
        std::vector<float> caffeWeights(kerasWeights.size());
        for (int channel = 0; channel < channels; ++channel)
            for (int copy = 0; copy < multiplier; ++copy)
                for (int y = 0; y < kernel; ++y)
                    for (int x = 0; x < kernel; ++x)
                        caffeWeights[((static_cast<std::size_t>(channel) * multiplier + copy) * kernel + y) * kernel +
                                     x] =
                            kerasWeights[((static_cast<std::size_t>(y) * kernel + x) * channels + channel) *
                                             multiplier +
                                         copy];
        return caffeWeights;
    }

    // Keras's kernel (rows, columns, inputs, outputs) in Caffe's order (outputs, inputs, rows,
    // columns); a convolution of the picture reads BGR where Keras read RGB.
    std::vector<float> kernelWeights(const std::string& name, int kernel, int channels, int outputs,
                                     bool readsPicture) const {
        const std::vector<float> kerasWeights = weight(name + "/kernel", {kernel, kernel, channels, outputs});
        std::vector<float> caffeWeights(kerasWeights.size());
        for (int output = 0; output < outputs; ++output)
            for (int channel = 0; channel < channels; ++channel) {
                const int kerasChannel = readsPicture ? channels - 1 - channel : channel;  // BGR -> RGB
                for (int y = 0; y < kernel; ++y)
                    for (int x = 0; x < kernel; ++x)
                        caffeWeights[((static_cast<std::size_t>(output) * channels + channel) * kernel + y) * kernel +
                                     x] =
                            kerasWeights[((static_cast<std::size_t>(y) * kernel + x) * channels + kerasChannel) *
                                             outputs +
                                         output];
            }
        return caffeWeights;
    }

    // The Slices that turn the output of a convolution padded on every side into that of the
    // asymmetric padding, named `name`.
    void emitDroppingFirstRowAndColumn(const std::string& name, const std::string& convolutionTop, Shape out) {
        const std::string rowsDropped = name + "_rows_dropped";
        --out.height;
        emit({rowsDropped,
              "Slice",
              {convolutionTop},
              {name + "_first_row", rowsDropped},
              "slice_param { axis: 2 slice_point: 1 }",
              {}},
             out);
        --out.width;
        emit({name + "_columns_dropped",
              "Slice",
              {rowsDropped},
              {name + "_first_column", name},
              "slice_param { axis: 3 slice_point: 1 }",
              {}},
             out);
    }

    // Weights go from Keras' [kh, kw, in, out] (depthwise: [kh, kw, in, multiplier]) to Caffe's
    // [out, in / group, kh, kw].
    void convolution(const json& layer, bool depthwise) {
        const json& config = layer.at("config");
        const std::string name = layer.at("name");
        const std::string source = onlyInput(layer);
        const bool padded = paddedSources.count(source) != 0;
        const std::string bottom = padded ? paddedSources.at(source) : blobOfLayer(source);
        const Shape in = shapes.at(bottom);
        const int kernel = config.at("kernel_size")[0];
        const int stride = config.at("strides")[0];
        if (config.at("kernel_size")[1] != kernel || config.at("strides")[1] != stride)
            fail(layer, "non-square kernel or stride");
        if (config.at("dilation_rate") != json::parse("[1, 1]")) fail(layer, "dilation is not supported");
        if (config.at("activation") != "linear") fail(layer, "a fused activation is not supported");
        if (config.at("data_format") != "channels_last") fail(layer, "expected channels_last");
        const int pad = caffePadding(layer, in, padded, kernel, stride);
        const bool readsPicture = bottom == bgrBlob;
        if (readsPicture && depthwise) fail(layer, "a depthwise convolution cannot read the BGR picture");

        const int multiplier = depthwise ? config.at("depth_multiplier").get<int>() : 0;
        const int outputs = depthwise ? in.channels * multiplier : config.at("filters").get<int>();
        const int group = depthwise ? in.channels : 1;
        std::vector<float> caffeWeights = depthwise ? depthwiseWeights(name, kernel, in.channels, multiplier)
                                                    : kernelWeights(name, kernel, in.channels, outputs, readsPicture);
        std::vector<float> bias =
            config.at("use_bias").get<bool>() ? weight(name + "/bias", {outputs}) : std::vector<float>(outputs, 0.0f);

        const Shape out{outputs, (in.height + 2 * pad - kernel) / stride + 1,
                        (in.width + 2 * pad - kernel) / stride + 1};
        const std::string convolutionTop = padded ? name + "_shifted" : name;
        caffe::Layer caffeLayer{name,
                                "Convolution",
                                {bottom},
                                {convolutionTop},
                                "convolution_param { num_output: " + std::to_string(outputs) +
                                    " kernel_size: " + std::to_string(kernel) + " stride: " + std::to_string(stride) +
                                    " pad: " + std::to_string(pad) + " group: " + std::to_string(group) +
                                    " bias_term: true }",
                                {}};
        const int inputsPerGroup = in.channels / group;
        caffeLayer.blobs.push_back({{outputs, inputsPerGroup, kernel, kernel}, std::move(caffeWeights)});
        caffeLayer.blobs.push_back({{outputs}, std::move(bias)});
        const std::size_t convolutionIndex = layers.size();
        emit(std::move(caffeLayer), out);
        if (padded) emitDroppingFirstRowAndColumn(name, convolutionTop, out);
        blobs[name] = name;
        convolutions[name] = convolutionIndex;
    }

    // Folded into the convolution before it: w' = w * gamma / sqrt(variance + epsilon) and
    // b' = (b - mean) * gamma / sqrt(variance + epsilon) + beta, per output channel. Slicing rows
    // and columns commutes with that, so the Slices after a padded convolution stay as they are.
    void batchNormalization(const json& layer) {
        const json& config = layer.at("config");
        const std::string name = layer.at("name");
        const std::string source = onlyInput(layer);
        const std::string blob = blobOfLayer(source);
        const auto convolution = convolutions.find(blob);
        if (convolution == convolutions.end())
            fail(layer, "only a batch normalisation right after a convolution is supported");
        if (consumers[source] != 1) fail(layer, source + " is read by more than the batch normalisation");
        if (config.at("axis") != -1 && config.at("axis") != 3) fail(layer, "expected normalisation over channels");
        const int channels = shapes.at(blob).channels;
        const double epsilon = config.at("epsilon");
        const std::vector<float> gamma =
            config.at("scale").get<bool>() ? weight(name + "/gamma", {channels}) : std::vector<float>(channels, 1.0f);
        const std::vector<float> beta =
            config.at("center").get<bool>() ? weight(name + "/beta", {channels}) : std::vector<float>(channels, 0.0f);
        const std::vector<float> mean = weight(name + "/moving_mean", {channels});
        const std::vector<float> variance = weight(name + "/moving_variance", {channels});

        caffe::Layer& target = layers.at(convolution->second);
        std::vector<float>& weights = target.blobs.at(0).data;
        std::vector<float>& bias = target.blobs.at(1).data;
        const std::size_t perChannel = weights.size() / static_cast<std::size_t>(channels);
        for (int channel = 0; channel < channels; ++channel) {
            const double factor = gamma[channel] / std::sqrt(static_cast<double>(variance[channel]) + epsilon);
            for (std::size_t index = 0; index < perChannel; ++index) {
                float& value = weights[channel * perChannel + index];
                value = static_cast<float>(value * factor);
            }
            bias[channel] =
                static_cast<float>((static_cast<double>(bias[channel]) - mean[channel]) * factor + beta[channel]);
        }
        // The convolution's output now is the normalisation's: it takes the normalisation's name,
        // and the unnormalised output, which no longer exists, is no longer reachable by name.
        caffe::Layer& producer = layers.at(producers.at(blob));
        producer.name = name;
        producer.tops.back() = name;
        shapes[name] = shapes.at(blob);
        producers[name] = producers.at(blob);
        shapes.erase(blob);
        producers.erase(blob);
        convolutions.erase(convolution);
        blobs.erase(source);
        blobs[name] = name;
    }

    void relu(const json& layer) {
        const json& config = layer.at("config");
        const json& maxValue = config.at("max_value");
        if (config.value("negative_slope", 0.0) != 0.0 || config.value("threshold", 0.0) != 0.0)
            fail(layer, "only plain ReLU and ReLU6 are supported");
        if (!maxValue.is_null() && maxValue != 6) fail(layer, "only a maximum of 6 is supported");
        const std::string name = layer.at("name");
        const std::string bottom = blobOfLayer(onlyInput(layer));
        emit({name, maxValue.is_null() ? "ReLU" : "ReLU6", {bottom}, {name}, "", {}}, shapes.at(bottom));
        blobs[name] = name;
    }

    void add(const json& layer) {
        std::vector<std::string> bottoms;
        for (const json& input : layer.at("inputs")) bottoms.push_back(blobOfLayer(input));
        if (bottoms.size() < 2) fail(layer, "an addition needs two inputs");
        const Shape shape = shapes.at(bottoms.front());
        for (const std::string& bottom : bottoms) {
            const Shape other = shapes.at(bottom);
            if (other.channels != shape.channels || other.height != shape.height || other.width != shape.width)
                fail(layer, "inputs of different shapes");
        }
        const std::string name = layer.at("name");
        emit({name, "Eltwise", bottoms, {name}, "eltwise_param { operation: SUM }", {}}, shape);
        blobs[name] = name;
    }

    void averagePooling(const json& layer) {
        const json& config = layer.at("config");
        const std::string bottom = blobOfLayer(onlyInput(layer));
        const Shape in = shapes.at(bottom);
        const json whole = json::array({in.height, in.width});
        if (config.at("pool_size") != whole || config.at("strides") != whole || config.at("padding") != "valid")
            fail(layer, "only a pooling over the whole picture is supported");
        const std::string name = layer.at("name");
        emit({name, "Pooling", {bottom}, {name}, "pooling_param { pool: AVE global_pooling: true }", {}},
             {in.channels, 1, 1});
        blobs[name] = name;
    }

    // Keras flattens rows, columns, channels and Caffe channels, rows, columns: the same only at 1x1.
    void flatten(const json& layer) {
        const Shape in = shapes.at(blobOfLayer(onlyInput(layer)));
        if (in.height != 1 || in.width != 1) fail(layer, "flattening a spatial output would reorder its values");
        alias(layer);
    }

    void dense(const json& layer) {
        const json& config = layer.at("config");
        const std::string name = layer.at("name");
        const std::string bottom = blobOfLayer(onlyInput(layer));
        const Shape in = shapes.at(bottom);
        if (in.height != 1 || in.width != 1) fail(layer, "expected a flat input");
        const int outputs = config.at("units");
        const std::string activation = config.at("activation");
        if (activation != "linear" && activation != "relu" && activation != "softmax")
            fail(layer, "activation " + activation + " is not supported");
        const std::vector<float> kerasWeights = weight(name + "/kernel", {in.channels, outputs});
        std::vector<float> caffeWeights(kerasWeights.size());
        for (int output = 0; output < outputs; ++output)
            for (int channel = 0; channel < in.channels; ++channel)
                caffeWeights[static_cast<std::size_t>(output) * in.channels + channel] =
                    kerasWeights[static_cast<std::size_t>(channel) * outputs + output];
        std::vector<float> bias =
            config.at("use_bias").get<bool>() ? weight(name + "/bias", {outputs}) : std::vector<float>(outputs, 0.0f);
        const std::string linearTop = activation == "linear" ? name : name + "_linear";
        caffe::Layer product{linearTop,
                             "InnerProduct",
                             {bottom},
                             {linearTop},
                             "inner_product_param { num_output: " + std::to_string(outputs) + " }",
                             {}};
        product.blobs.push_back({{outputs, in.channels}, std::move(caffeWeights)});
        product.blobs.push_back({{outputs}, std::move(bias)});
        emit(std::move(product), {outputs, 1, 1});
        if (activation != "linear")
            emit({name, activation == "relu" ? "ReLU" : "Softmax", {linearTop}, {name}, "", {}}, {outputs, 1, 1});
        blobs[name] = name;
    }

    const KerasModel& model;
    std::map<std::string, int> consumers;              // Keras layer -> layers reading its output
    std::map<std::string, std::string> blobs;          // Keras layer -> Caffe blob holding its output
    std::map<std::string, std::string> paddedSources;  // Keras padding layer -> the blob it pads
    std::map<std::string, Shape> shapes;               // Caffe blob -> channels, rows, columns
    std::map<std::string, std::size_t> producers;      // Caffe blob -> index of the layer writing it
    std::map<std::string, std::size_t> convolutions;   // Caffe blob -> its convolution, still unnormalised
    std::string bgrBlob;
    std::vector<caffe::Layer> layers;
};

}  // namespace

KerasModel readKerasDump(const std::string& directory) {
    KerasModel model;
    const json description = readJson(directory + "/keras-model.json");
    model.layers = description.at("layers");
    model.weights = description.at("weights");
    const std::string weightsPath = directory + "/keras-weights.bin";
    std::ifstream in(weightsPath, std::ios::binary);
    if (!in) throw ConversionError("cannot open " + weightsPath);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (bytes.size() % sizeof(float)) throw ConversionError(weightsPath + " is not a whole number of float32 values");
    model.values.resize(bytes.size() / sizeof(float));
    std::memcpy(model.values.data(), bytes.data(), bytes.size());
    return model;
}

const char* poolingName(Pooling pooling) {
    switch (pooling) {
    case Pooling::Maximum: return "max";
    case Pooling::GeneralisedMean: return "gem";
    case Pooling::CosineSpectrum: return "spectrum";
    case Pooling::SignedCosines: return "cosines";
    case Pooling::Average: break;
    }
    return "average";
}

std::vector<double> cosineSpectrum(const float* values, int channels, int height, int width) {
    const std::vector<double> means = gridMeans(values, channels, height, width, kSpectrumGrid);
    std::vector<double> spectrum;
    for (const auto& [u, v] : spectrumFrequencies())
        spectrum.push_back(std::abs(cosineCoefficient(means, kSpectrumGrid, u, v)) +
                           std::abs(cosineCoefficient(means, kSpectrumGrid, v, u)));
    return spectrum;
}

std::vector<double> signedCosines(const float* values, int channels, int height, int width) {
    const std::vector<double> means = gridMeans(values, channels, height, width, kCosineGrid);
    std::vector<double> cosines;
    for (const auto& [u, v] : signedCosineFrequencies()) cosines.push_back(cosineCoefficient(means, kCosineGrid, u, v));
    return cosines;
}

// Frozen ImageNet blocks only, so the fine-tuned content head does not shape similarity, and a
// coarse view of the whole picture. Chosen on the quality benchmark's dev split (79 photographs,
// 33 altered copies each, against 348 indexed ones), with the projection fitted on one half of
// the sources and scored on the other: generalised means of block 10's depthwise output and of
// the expansions of blocks 9 and 6, each normalised and whitened, reach recall@1 0.974 and mAP
// 0.979 (max-pooled instead, 0.953 and 0.960); adding the input's cosine spectrum at weight 0.2
// gives 0.980 and 0.984, better in every block (JPEG 0.989 -> 0.994; at weight 0.3, 0.979 and
// 0.983). Without whitening, on the whole dev split (feature_probe), the earlier recipe (maxima
// of blocks 10 and 9 through seeded orthonormal rows) scores 0.891 and 0.905, the generalised
// means only 0.848 and 0.863. Normalising the result to norm 30 puts squared differences between
// different photographs near 1800 and between a photograph and an altered copy mostly below
// 1000, far above the steps of about 1.5e-3 that the float distance
// sqrt(10000 + squared differences) resolves. The forward to the feature stops after block 10's
// depthwise convolution.
FeatureRecipe defaultRecipe() {
    FeatureRecipe recipe;
    recipe.parts = {{"block_10_depthwise_relu", Pooling::GeneralisedMean, true, 1.0},
                    {"block_9_expand_relu", Pooling::GeneralisedMean, true, 1.0},
                    {"block_6_expand_relu", Pooling::GeneralisedMean, true, 1.0},
                    {"input_1", Pooling::CosineSpectrum, true, 0.2}};
    recipe.normalised = true;
    recipe.scale = 30.0;
    return recipe;
}

std::vector<FeaturePart> parseFeatureParts(const std::string& text) {
    std::vector<FeaturePart> parts;
    std::stringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        std::stringstream fields(item);
        FeaturePart part;
        std::getline(fields, part.layer, ':');
        if (part.layer.empty()) throw ConversionError("empty layer name in feature part \"" + item + "\"");
        std::string field;
        while (std::getline(fields, field, ':')) {
            if (field == "max") part.pooling = Pooling::Maximum;
            else if (field == "gem") part.pooling = Pooling::GeneralisedMean;
            else if (field == "spectrum") part.pooling = Pooling::CosineSpectrum;
            else if (field == "cosines") part.pooling = Pooling::SignedCosines;
            else if (field == "l2") part.normalised = true;
            else part.scale = parseScale(field);
        }
        parts.push_back(part);
    }
    if (parts.empty()) throw ConversionError("no feature parts in \"" + text + "\"");
    return parts;
}

double parseScale(const std::string& text) {
    std::size_t used = 0;
    double value = 0.0;
    try {
        value = std::stod(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size() || !std::isfinite(value)) throw ConversionError("bad scale \"" + text + "\"");
    return value;
}

Projection readProjection(const std::string& path) {
    const json description = readJson(path);
    Projection projection;
    try {
        projection.matrix = description.at("matrix").get<std::vector<std::vector<double>>>();
        if (description.contains("bias")) projection.bias = description.at("bias").get<std::vector<double>>();
    } catch (const json::exception& error) {
        throw ConversionError(path + ": " + error.what());
    }
    if (!projection.bias.empty() && projection.bias.size() != static_cast<std::size_t>(likeness::kFeatureDim))
        throw ConversionError(path + ": the bias must have " + std::to_string(likeness::kFeatureDim) + " values");
    return projection;
}

Projection orthonormalProjection(int columns, unsigned seed) {
    if (columns < likeness::kFeatureDim)
        throw ConversionError("an orthonormal projection to " + std::to_string(likeness::kFeatureDim) +
                              " values needs at least as many inputs, not " + std::to_string(columns));
    std::mt19937 generator(seed);
    // Our own mapping from the generator's raw output, since std::normal_distribution differs
    // between standard libraries.
    auto unitOpen = [&generator] { return (static_cast<double>(generator() >> 8) + 0.5) / 16777216.0; };
    Projection projection;
    projection.matrix.assign(likeness::kFeatureDim, std::vector<double>(columns));
    for (std::vector<double>& row : projection.matrix) {
        for (double& value : row) value = std::sqrt(-2.0 * std::log(unitOpen())) * std::cos(2.0 * M_PI * unitOpen());
        // Gram-Schmidt, twice over to keep the rows orthogonal to rounding precision.
        for (int pass = 0; pass < 2; ++pass)
            for (const std::vector<double>* earlier = projection.matrix.data(); earlier != &row; ++earlier) {
                double dot = 0.0;
                for (int column = 0; column < columns; ++column) dot += row[column] * (*earlier)[column];
                for (int column = 0; column < columns; ++column) row[column] -= dot * (*earlier)[column];
            }
        double norm = 0.0;
        for (double value : row) norm += value * value;
        norm = std::sqrt(norm);
        for (double& value : row) value /= norm;
    }
    return projection;
}

FeatureMap featureMap(const FeatureRecipe& recipe, const std::vector<int>& partChannels) {
    if (partChannels.size() != recipe.parts.size())
        throw ConversionError("one channel count per feature part expected");
    std::vector<double> columnScales;
    for (std::size_t part = 0; part < partChannels.size(); ++part)
        columnScales.insert(columnScales.end(), static_cast<std::size_t>(partChannels[part]), recipe.parts[part].scale);
    const double mapScale = recipe.normalised ? 1.0 : recipe.scale;
    FeatureMap map;
    map.columns = static_cast<int>(columnScales.size());
    const int columns = map.columns;
    map.matrix.assign(static_cast<std::size_t>(likeness::kFeatureDim) * columns, 0.0f);
    map.bias.assign(likeness::kFeatureDim, 0.0f);
    if (recipe.projection && recipe.orthonormalSeed)
        throw ConversionError("give a projection or an orthonormal seed, not both");
    if (recipe.projection || recipe.orthonormalSeed) {
        const Projection projection =
            recipe.projection ? *recipe.projection : orthonormalProjection(columns, *recipe.orthonormalSeed);
        if (projection.matrix.size() != static_cast<std::size_t>(likeness::kFeatureDim))
            throw ConversionError("the projection has " + std::to_string(projection.matrix.size()) + " rows, not " +
                                  std::to_string(likeness::kFeatureDim));
        for (int row = 0; row < likeness::kFeatureDim; ++row) {
            if (projection.matrix[row].size() != static_cast<std::size_t>(columns))
                throw ConversionError("projection row " + std::to_string(row) + " has " +
                                      std::to_string(projection.matrix[row].size()) + " values but the parts give " +
                                      std::to_string(columns));
            for (int column = 0; column < columns; ++column)
                map.matrix[static_cast<std::size_t>(row) * columns + column] =
                    static_cast<float>(mapScale * projection.matrix[row][column] * columnScales[column]);
            if (!projection.bias.empty()) map.bias[row] = static_cast<float>(mapScale * projection.bias[row]);
        }
    } else {
        if (columns != likeness::kFeatureDim)
            throw ConversionError("the feature parts give " + std::to_string(columns) +
                                  " values; without a projection they must give " +
                                  std::to_string(likeness::kFeatureDim));
        for (int index = 0; index < likeness::kFeatureDim; ++index)
            map.matrix[static_cast<std::size_t>(index) * columns + index] =
                static_cast<float>(mapScale * columnScales[index]);
    }
    return map;
}

caffe::NetWriter convert(const KerasModel& model, const FeatureRecipe& recipe) {
    Converter converter(model);
    converter.convertLayers();
    converter.addFeature(recipe);
    return converter.write();
}

}  // namespace keras_to_caffe
