// Caffe text and binary writers. The binary side uses Caffe's field numbers: NetParameter.name 1,
// .layer 100; LayerParameter.name 1, .type 2, .blobs 7; BlobProto.shape 7, .data 5; BlobShape.dim 1.
#include "caffe/CaffeWriter.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>

namespace caffe {
namespace {

enum WireType : unsigned { kVarint = 0, kLengthDelimited = 2 };

void putVarint(std::string& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<char>((value & 0x7F) | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

void putTag(std::string& out, unsigned field, WireType type) {
    putVarint(out, (static_cast<std::uint64_t>(field) << 3) | type);
}

void putBytes(std::string& out, unsigned field, const std::string& bytes) {
    putTag(out, field, kLengthDelimited);
    putVarint(out, bytes.size());
    out += bytes;
}

std::string blobBytes(const Blob& blob) {
    std::string dims;
    for (int dim : blob.shape) putVarint(dims, static_cast<std::uint64_t>(dim));
    std::string shape;
    putBytes(shape, 1, dims);
    std::string floats(blob.data.size() * sizeof(float), '\0');
    // Protobuf stores packed floats little-endian, which is this machine's order.
    if (!blob.data.empty()) std::memcpy(&floats[0], blob.data.data(), floats.size());
    std::string out;
    putBytes(out, 7, shape);
    putBytes(out, 5, floats);
    return out;
}

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

}  // namespace

void NetWriter::setInput(const std::string& blobName, const std::vector<int>& shape) {
    inputName = blobName;
    inputShape = shape;
}

void NetWriter::addLayer(Layer layer) {
    layers.push_back(std::move(layer));
}

std::string NetWriter::description() const {
    std::ostringstream text;
    text << "name: " << quoted(name) << "\n";
    if (!inputName.empty()) {
        text << "layer {\n  name: " << quoted(inputName) << "\n  type: \"Input\"\n  top: " << quoted(inputName)
             << "\n  input_param { shape {";
        for (int dim : inputShape) text << " dim: " << dim;
        text << " } }\n}\n";
    }
    for (const Layer& layer : layers) {
        text << "layer {\n  name: " << quoted(layer.name) << "\n  type: " << quoted(layer.type) << "\n";
        for (const std::string& bottom : layer.bottoms) text << "  bottom: " << quoted(bottom) << "\n";
        for (const std::string& top : layer.tops) text << "  top: " << quoted(top) << "\n";
        if (!layer.params.empty()) text << "  " << layer.params << "\n";
        text << "}\n";
    }
    return text.str();
}

std::string NetWriter::weights() const {
    std::string out;
    putBytes(out, 1, name);
    for (const Layer& layer : layers) {
        std::string encoded;
        putBytes(encoded, 1, layer.name);
        putBytes(encoded, 2, layer.type);
        for (const Blob& blob : layer.blobs) putBytes(encoded, 7, blobBytes(blob));
        putBytes(out, 100, encoded);
    }
    return out;
}

bool NetWriter::write(const std::string& descriptionPath, const std::string& weightsPath) const {
    const auto writeFile = [](const std::string& path, const std::string& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        return !out.fail();
    };
    return writeFile(descriptionPath, description()) && writeFile(weightsPath, weights());
}

}  // namespace caffe
