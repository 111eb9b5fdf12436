// Caffe text and binary writers. The binary side is protobuf wire format with the field numbers of
// caffe.proto: NetParameter.name 1, .layer 100; LayerParameter.name 1, .type 2, .bottom 3, .top 4,
// .blobs 7; BlobProto.data 5 (packed float), .shape 7; BlobShape.dim 1 (packed int64).
#include "caffe/CaffeWriter.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

namespace caffe {
namespace {

enum WireType : unsigned { kVarint = 0, kLengthDelimited = 2 };

namespace field {
constexpr unsigned kNetName = 1;
constexpr unsigned kNetLayer = 100;
constexpr unsigned kLayerName = 1;
constexpr unsigned kLayerType = 2;
constexpr unsigned kLayerBottom = 3;
constexpr unsigned kLayerTop = 4;
constexpr unsigned kLayerBlobs = 7;
constexpr unsigned kBlobData = 5;
constexpr unsigned kBlobShape = 7;
constexpr unsigned kShapeDim = 1;
}  // namespace field

void putVarint(std::string& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<char>((value & 0x7F) | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

void putLengthDelimited(std::string& out, unsigned fieldNumber, const std::string& bytes) {
    putVarint(out, (static_cast<std::uint64_t>(fieldNumber) << 3) | kLengthDelimited);
    putVarint(out, bytes.size());
    out += bytes;
}

// Protobuf stores floats as little-endian IEEE 754 whatever the host's byte order.
void putFloat(std::string& out, float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    for (int byte = 0; byte < 4; ++byte) out.push_back(static_cast<char>((bits >> (8 * byte)) & 0xFF));
}

std::string blobBytes(const Blob& blob) {
    std::string dims;
    // int64 varints: a negative value is sign-extended to ten bytes, as protobuf does.
    for (int dim : blob.shape) putVarint(dims, static_cast<std::uint64_t>(static_cast<std::int64_t>(dim)));
    std::string shape;
    putLengthDelimited(shape, field::kShapeDim, dims);
    std::string floats;
    floats.reserve(blob.data.size() * 4);
    for (float value : blob.data) putFloat(floats, value);
    std::string out;
    putLengthDelimited(out, field::kBlobShape, shape);
    putLengthDelimited(out, field::kBlobData, floats);
    return out;
}

std::string layerBytes(const Layer& layer) {
    std::string out;
    putLengthDelimited(out, field::kLayerName, layer.name);
    putLengthDelimited(out, field::kLayerType, layer.type);
    for (const std::string& bottom : layer.bottoms) putLengthDelimited(out, field::kLayerBottom, bottom);
    for (const std::string& top : layer.tops) putLengthDelimited(out, field::kLayerTop, top);
    for (const Blob& blob : layer.blobs) putLengthDelimited(out, field::kLayerBlobs, blobBytes(blob));
    return out;
}

void writeLayerText(std::ostream& text, const Layer& layer) {
    text << "layer {\n  name: " << quotedText(layer.name) << "\n  type: " << quotedText(layer.type) << "\n";
    for (const std::string& bottom : layer.bottoms) text << "  bottom: " << quotedText(bottom) << "\n";
    for (const std::string& top : layer.tops) text << "  top: " << quotedText(top) << "\n";
    if (!layer.params.empty()) text << "  " << layer.params << "\n";
    text << "}\n";
}

bool writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) return false;
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return !out.fail();
}

}  // namespace

std::string quotedText(const std::string& text) {
    std::string out = "\"";
    for (const char character : text) {
        const auto byte = static_cast<unsigned char>(character);
        if (character == '"' || character == '\\') {
            out += '\\';
            out += character;
        } else if (character == '\n') {
            out += "\\n";
        } else if (byte < 0x20) {
            char octal[5];
            std::snprintf(octal, sizeof octal, "\\%03o", byte);
            out += octal;
        } else {
            out += character;
        }
    }
    return out + "\"";
}

NetWriter::NetWriter(std::string netName) : name(std::move(netName)) {}

void NetWriter::setInput(const std::string& blobName, const std::vector<int>& shape) {
    inputName = blobName;
    inputShape = shape;
}

void NetWriter::addLayer(Layer layer) {
    layers.push_back(std::move(layer));
}

std::string NetWriter::description() const {
    std::ostringstream text;
    text << "name: " << quotedText(name) << "\n";
    if (!inputName.empty()) {
        std::string shape = "input_param { shape {";
        for (int dim : inputShape) shape += " dim: " + std::to_string(dim);
        writeLayerText(text, {inputName, "Input", {}, {inputName}, shape + " } }", {}});
    }
    for (const Layer& layer : layers) writeLayerText(text, layer);
    return text.str();
}

std::string NetWriter::weights() const {
    std::string out;
    putLengthDelimited(out, field::kNetName, name);
    for (const Layer& layer : layers) putLengthDelimited(out, field::kNetLayer, layerBytes(layer));
    return out;
}

bool NetWriter::write(const std::string& descriptionPath, const std::string& weightsPath) const {
    return writeFile(descriptionPath, description()) && writeFile(weightsPath, weights());
}

}  // namespace caffe
