#include "LearnedParts.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>

namespace keras_to_caffe {
namespace {

using nlohmann::json;

constexpr const char* kMagic = "likeness-learned-parts 1";

float halfToFloat(std::uint16_t half) {
    const int sign = half >> 15;
    const int exponent = (half >> 10) & 0x1f;
    const int mantissa = half & 0x3ff;
    double value;
    if (exponent == 0) value = std::ldexp(mantissa, -24);
    else if (exponent == 31) value = mantissa ? NAN : INFINITY;
    else value = std::ldexp(mantissa + 1024, exponent - 25);
    return static_cast<float>(sign ? -value : value);
}

std::vector<float> readArray(const json& entry, const std::string& data, const std::string& path) {
    const std::string type = entry.at("type");
    std::size_t count = 1;
    for (int dim : entry.at("shape").get<std::vector<int>>()) {
        if (dim < 0) throw ConversionError(path + ": negative dimension");
        count *= static_cast<std::size_t>(dim);
    }
    const std::size_t width = type == "float16" ? 2 : type == "float32" ? 4 : 0;
    if (width == 0) throw ConversionError(path + ": unknown array type " + type);
    const std::size_t offset = entry.at("offset");
    if (offset > data.size() || count * width > data.size() - offset)
        throw ConversionError(path + ": array " + entry.at("name").get<std::string>() + " lies beyond the file");
    std::vector<float> values(count);
    for (std::size_t index = 0; index < count; ++index) {
        const char* at = data.data() + offset + index * width;
        if (width == 2) {
            std::uint16_t half;
            std::memcpy(&half, at, 2);
            values[index] = halfToFloat(half);
        } else {
            std::memcpy(&values[index], at, 4);
        }
    }
    return values;
}

Pooling poolingNamed(const std::string& name) {
    for (Pooling pooling : {Pooling::Average, Pooling::Maximum, Pooling::GeneralisedMean, Pooling::CosineSpectrum,
                            Pooling::SignedCosines})
        if (name == poolingName(pooling)) return pooling;
    throw ConversionError("unknown pooling " + name);
}

bool inTunedBlock(const std::string& layer, const std::set<std::string>& prefixes) {
    for (const std::string& prefix : prefixes)
        if (layer.compare(0, prefix.size(), prefix) == 0) return true;
    return false;
}

}  // namespace

LearnedParts readLearnedParts(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ConversionError("cannot open " + path);
    std::string magic;
    std::string headerText;
    if (!std::getline(in, magic) || magic != kMagic || !std::getline(in, headerText))
        throw ConversionError(path + " is not a learned parts file");
    const std::string data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    LearnedParts parts;
    try {
        const json header = json::parse(headerText);
        parts.tunedBlocks = header.at("tuned_blocks").get<std::vector<int>>();
        for (const json& part : header.at("parts"))
            parts.recipe.parts.push_back(
                {part.at("layer"), poolingNamed(part.at("pooling")), part.at("normalised"), part.at("scale")});
        parts.recipe.normalised = header.at("normalised");
        parts.recipe.scale = header.at("scale");
        Projection projection;
        for (const json& entry : header.at("arrays")) {
            const std::string name = entry.at("name");
            std::vector<float> values = readArray(entry, data, path);
            const std::vector<int> shape = entry.at("shape");
            if (name.rfind("delta:", 0) == 0) {
                parts.deltas[name.substr(6)] = std::move(values);
                parts.deltaShapes[name.substr(6)] = shape;
            } else if (name == "projection") {
                if (shape.size() != 2 || shape[0] != likeness::kFeatureDim)
                    throw ConversionError(path + ": the projection must have " + std::to_string(likeness::kFeatureDim) +
                                          " rows");
                for (int row = 0; row < shape[0]; ++row)
                    projection.matrix.emplace_back(values.begin() + static_cast<std::ptrdiff_t>(row) * shape[1],
                                                   values.begin() + static_cast<std::ptrdiff_t>(row + 1) * shape[1]);
            } else if (name == "projection_bias") {
                projection.bias.assign(values.begin(), values.end());
            } else {
                throw ConversionError(path + ": unknown array " + name);
            }
        }
        if (projection.matrix.empty()) throw ConversionError(path + " holds no projection");
        parts.recipe.projection = std::move(projection);
    } catch (const json::exception& error) {
        throw ConversionError(path + ": " + error.what());
    }
    return parts;
}

KerasModel withTunedBlocks(const KerasModel& model, const LearnedParts& parts) {
    std::set<std::string> prefixes;
    for (int block : parts.tunedBlocks) prefixes.insert("block_" + std::to_string(block) + "_");
    KerasModel tuned = model;
    json copies = json::array();
    std::set<std::string> copied;
    std::size_t readFrom = 0;
    for (std::size_t index = 0; index < model.layers.size(); ++index) {
        const json& layer = model.layers[index];
        const std::string name = layer.at("name");
        if (!inTunedBlock(name, prefixes)) continue;
        json copy = layer;
        copy["name"] = kTunedPrefix + name;
        copy["config"]["name"] = kTunedPrefix + name;
        for (json& input : copy["inputs"]) {
            const std::string source = input;
            if (copied.count(source)) {
                input = kTunedPrefix + source;
                continue;
            }
            for (std::size_t earlier = 0; earlier < index; ++earlier)
                if (model.layers[earlier].at("name") == source) readFrom = std::max(readFrom, earlier);
        }
        copied.insert(name);
        copies.push_back(std::move(copy));
    }
    if (copies.empty()) throw ConversionError("the model has no layer in the tuned blocks");
    tuned.layers = json::array();
    for (std::size_t index = 0; index < model.layers.size(); ++index) {
        tuned.layers.push_back(model.layers[index]);
        if (index == readFrom)
            for (const json& copy : copies) tuned.layers.push_back(copy);
    }
    std::size_t applied = 0;
    for (const auto& [name, entry] : model.weights.items()) {
        if (!copied.count(name.substr(0, name.find('/')))) continue;
        const std::vector<int> shape = entry.at("shape");
        std::size_t count = 1;
        for (int dim : shape) count *= static_cast<std::size_t>(dim);
        const std::size_t offset = entry.at("offset");
        tuned.weights[kTunedPrefix + name] = {{"shape", shape}, {"offset", tuned.values.size()}};
        tuned.values.insert(tuned.values.end(), model.values.begin() + static_cast<std::ptrdiff_t>(offset),
                            model.values.begin() + static_cast<std::ptrdiff_t>(offset + count));
        const auto delta = parts.deltas.find(name);
        if (delta == parts.deltas.end()) continue;
        if (parts.deltaShapes.at(name) != shape) throw ConversionError("the delta of " + name + " has another shape");
        float* values = tuned.values.data() + tuned.values.size() - count;
        for (std::size_t index = 0; index < count; ++index) values[index] += delta->second[index];
        ++applied;
    }
    if (applied != parts.deltas.size())
        throw ConversionError("the learned parts change weights outside the tuned blocks");
    return tuned;
}

}  // namespace keras_to_caffe
