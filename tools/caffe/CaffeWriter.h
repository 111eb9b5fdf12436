// Writes a Caffe network as the two files OpenCV's readNetFromCaffe reads: the text description
// and the binary weights (a NetParameter protobuf, encoded here without the protobuf library).
#ifndef LIKENESS_TOOLS_CAFFE_CAFFEWRITER_H
#define LIKENESS_TOOLS_CAFFE_CAFFEWRITER_H

#include <string>
#include <vector>

namespace caffe {

struct Blob {
    std::vector<int> shape;   // e.g. {out, in / group, kh, kw} for a convolution's weights
    std::vector<float> data;  // row-major, product of shape values long
};

struct Layer {
    std::string name;
    std::string type;                 // Caffe layer type: "Convolution", "Pooling", "ReLU", ...
    std::vector<std::string> bottoms;
    std::vector<std::string> tops;
    std::string params;               // text of the layer's parameter blocks, written verbatim
    std::vector<Blob> blobs;          // learned parameters, stored only in the weights file
};

class NetWriter {
public:
    explicit NetWriter(std::string netName) : name(std::move(netName)) {}

    // The network's input blob, declared by an "Input" layer of that name.
    void setInput(const std::string& blobName, const std::vector<int>& shape);
    void addLayer(Layer layer);

    std::string description() const;   // prototxt text
    std::string weights() const;        // binary NetParameter
    // Writes both files; false when either cannot be written completely.
    bool write(const std::string& descriptionPath, const std::string& weightsPath) const;

private:
    std::string name;
    std::string inputName;
    std::vector<int> inputShape;
    std::vector<Layer> layers;
};

}  // namespace caffe

#endif
