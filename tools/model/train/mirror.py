"""A PyTorch mirror of the Keras MobileNetV2 dumped by dump-model.mjs, computing what the converted
Caffe network computes, so that parts of it can be fine-tuned and written back into the dump's form.

Keras pads a stride-2 convolution's input by one row at the bottom and one column at the right,
then convolves without padding; torchvision's MobileNetV2 pads every side, so its weights cannot be
used as they are. The mirror takes the picture as the library feeds the network, BGR minus the
contract's mean, and turns it back into the model's RGB / 255 as the converted network does."""

import json
import os

import numpy as np
import torch
import torch.nn.functional as F

# Subtracted from channels 0, 1 and 2 (blue, green, red) by the library before the network.
INPUT_MEAN_BGR = (103.94, 116.78, 123.68)
INPUT_SIDE = 224


def read_dump(directory):
    """The dump's layer list and a name -> float32 array map of its weights."""
    with open(os.path.join(directory, "keras-model.json")) as file:
        description = json.load(file)
    values = np.fromfile(os.path.join(directory, "keras-weights.bin"), dtype="<f4")
    weights = {}
    for name, entry in description["weights"].items():
        count = int(np.prod(entry["shape"]))
        weights[name] = values[entry["offset"]:entry["offset"] + count].reshape(entry["shape"])
    return description["layers"], weights


def write_dump_weights(directory, weights, out_directory):
    """Writes a copy of the dump whose weights are `weights` (name -> array of the original shape)."""
    with open(os.path.join(directory, "keras-model.json")) as file:
        description = json.load(file)
    values = np.fromfile(os.path.join(directory, "keras-weights.bin"), dtype="<f4").copy()
    for name, array in weights.items():
        entry = description["weights"][name]
        if list(array.shape) != entry["shape"]:
            raise ValueError(f"{name} is {array.shape}, the dump holds {entry['shape']}")
        values[entry["offset"]:entry["offset"] + array.size] = array.astype("<f4").ravel()
    os.makedirs(out_directory, exist_ok=True)
    values.tofile(os.path.join(out_directory, "keras-weights.bin"))
    with open(os.path.join(out_directory, "keras-model.json"), "w") as file:
        json.dump(description, file, indent=1)


class KerasMirror(torch.nn.Module):
    """Runs the dumped layers from `first` (exclusive: its output is given) to the layers asked for.

    Every Keras weight becomes a parameter named like the weight with "/" replaced by ":"; a batch
    normalisation always uses its moving statistics, as at inference, so training it changes only
    its gamma and beta."""

    def __init__(self, layers, weights, names=None):
        super().__init__()
        self.layers = [layer for layer in layers if names is None or layer["name"] in names]
        self.params = torch.nn.ParameterDict()
        for layer in self.layers:
            prefix = layer["name"] + "/"
            for name, array in weights.items():
                if name.startswith(prefix):
                    self.params[name.replace("/", ":")] = torch.nn.Parameter(torch.from_numpy(array.copy()))

    def weight(self, layer, name):
        return self.params[f"{layer['name']}:{name}"]

    def forward(self, given, outputs):
        """given: name -> tensor (NCHW) of layers already computed; returns name -> tensor of every
        layer run, from which the caller takes `outputs`."""
        blobs = dict(given)
        for layer in self.layers:
            name, kind, config = layer["name"], layer["class"], layer["config"]
            if name in blobs:
                continue
            inputs = [blobs[source] for source in layer["inputs"]]
            if kind == "InputLayer":
                raise ValueError("give the input as the blob input_1")
            elif kind == "ZeroPadding2D":
                (top, bottom), (left, right) = config["padding"]
                blobs[name] = F.pad(inputs[0], (left, right, top, bottom))
            elif kind in ("Conv2D", "DepthwiseConv2D"):
                blobs[name] = self._convolution(layer, inputs[0])
            elif kind == "BatchNormalization":
                gamma, beta = self.weight(layer, "gamma"), self.weight(layer, "beta")
                mean, variance = self.weight(layer, "moving_mean"), self.weight(layer, "moving_variance")
                scale = gamma / torch.sqrt(variance.detach() + config["epsilon"])
                blobs[name] = (inputs[0] - mean.detach()[None, :, None, None]) * scale[None, :, None, None] \
                    + beta[None, :, None, None]
            elif kind == "ReLU":
                blobs[name] = torch.clamp(inputs[0], 0, config["max_value"]) if config.get("max_value") \
                    else F.relu(inputs[0])
            elif kind == "Add":
                blobs[name] = inputs[0] + inputs[1]
            elif kind == "AveragePooling2D":
                blobs[name] = inputs[0].mean(dim=(2, 3), keepdim=True)
            elif kind in ("Flatten", "Dropout"):
                blobs[name] = inputs[0].flatten(1)
            elif kind == "Dense":
                value = inputs[0].flatten(1) @ self.weight(layer, "kernel")
                if config["use_bias"]:
                    value = value + self.weight(layer, "bias")
                activation = config["activation"]
                blobs[name] = {"linear": lambda v: v, "relu": F.relu,
                               "softmax": lambda v: torch.softmax(v, dim=1)}[activation](value)
            else:
                raise ValueError(f"{name}: layer class {kind} is not mirrored")
            if all(output in blobs for output in outputs):
                break
        return blobs

    def _convolution(self, layer, value):
        config = layer["config"]
        stride = config["strides"][0]
        kernel = config["kernel_size"][0]
        padding = kernel // 2 if config["padding"] == "same" else 0
        if layer["class"] == "DepthwiseConv2D":
            keras = self.weight(layer, "depthwise_kernel")  # rows, columns, channels, multiplier
            weight = keras.permute(2, 3, 0, 1).reshape(-1, 1, kernel, kernel)
            groups = keras.shape[2]
        else:
            weight = self.weight(layer, "kernel").permute(3, 2, 0, 1)  # outputs, inputs, rows, columns
            groups = 1
        bias = self.weight(layer, "bias") if config["use_bias"] else None
        return F.conv2d(value, weight, bias, stride=stride, padding=padding, groups=groups)


def network_input(bgr_bytes):
    """uint8 pictures N x SIDE x SIDE x 3 (BGR, as write_views stores them) -> the model's input_1,
    RGB / 255 in NCHW, which the converted network recovers from the library's BGR minus mean."""
    value = torch.as_tensor(bgr_bytes).permute(0, 3, 1, 2).float()
    mean = torch.tensor(INPUT_MEAN_BGR).view(1, 3, 1, 1)
    bgr = (value - mean) / 255.0 + mean / 255.0
    return bgr.flip(1)
