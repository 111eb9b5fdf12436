// Caffe network writer: turns a list of layers into the two files cv::dnn::readNetFromCaffe reads,
// the prototxt description and the binary NetParameter weights, without the protobuf library.
#ifndef LIKENESS_TOOLS_CAFFE_CAFFEWRITER_H
#define LIKENESS_TOOLS_CAFFE_CAFFEWRITER_H

#include <string>
#include <vector>

namespace caffe {

// One learned parameter array of a layer, in Caffe's layout: a convolution's weights are
// {outputs, inputs / group, kernelHeight, kernelWidth} and its bias {outputs}; an inner product's
// weights are {outputs, inputs}; a Scale layer's are {channels}.
struct Blob {
    std::vector<int> shape;
    std::vector<float> data;  // row-major, as many values as the product of shape
};

// One layer. The names are escaped on output, so any text is allowed. `params` is the layer's
// parameter block(s) in prototxt syntax, written verbatim into the description, e.g.
// "convolution_param { num_output: 32 kernel_size: 3 stride: 2 pad: 1 group: 1 bias_term: true }".
// OpenCV attaches the blobs to the description's layer of the same name.
struct Layer {
    std::string name;
    std::string type;  // "Convolution", "Pooling", "ReLU", "ReLU6", "InnerProduct", "Eltwise", ...
    std::vector<std::string> bottoms;
    std::vector<std::string> tops;
    std::string params;
    std::vector<Blob> blobs;  // stored only in the weights file
};

class NetWriter {
public:
    explicit NetWriter(std::string netName);

    // Declares the network's input blob through an "Input" layer, the first layer written.
    void setInput(const std::string& blobName, const std::vector<int>& shape);
    // Layers are written in the order they are added, which must be an order of execution.
    void addLayer(Layer layer);

    // The prototxt text of the network.
    std::string description() const;
    // The binary NetParameter holding each layer's name, type, bottoms, tops and blobs.
    std::string weights() const;
    // Writes both files, replacing existing ones; false when either cannot be opened, written
    // completely or closed.
    bool write(const std::string& descriptionPath, const std::string& weightsPath) const;

private:
    std::string name;
    std::string inputName;
    std::vector<int> inputShape;
    std::vector<Layer> layers;
};

// The text as a quoted prototxt string literal: quotes, backslashes and control characters escaped.
std::string quotedText(const std::string& text);

}  // namespace caffe

#endif
