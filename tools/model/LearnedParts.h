// The learned parts of the default model: what training adds to the npm model (a tuned copy of
// some trunk blocks and the feature's recipe and projection), kept in the repository as one small
// file that tools/model/train/train_feature.py writes and the converter applies.
#ifndef LIKENESS_TOOLS_MODEL_LEARNEDPARTS_H
#define LIKENESS_TOOLS_MODEL_LEARNEDPARTS_H

#include <map>
#include <string>
#include <vector>

#include "KerasToCaffe.h"

namespace keras_to_caffe {

// The file: the line "likeness-learned-parts 1", one line of JSON, then the arrays' bytes
// (little-endian). The JSON holds "tuned_blocks" (trunk block numbers), "parts" (each {"layer",
// "pooling", "normalised", "scale"}), "normalised", "scale" and "arrays" (each {"name", "type":
// "float16" or "float32", "shape", "offset" in bytes}). Arrays: "delta:WEIGHT" for a tuned block's
// Keras weight (what to add to the npm model's value), "projection" (512 x the parts' values) and
// "projection_bias" (512).
struct LearnedParts {
    std::vector<int> tunedBlocks;
    FeatureRecipe recipe;                              // its projection included
    std::map<std::string, std::vector<float>> deltas;  // Keras weight name -> values to add
    std::map<std::string, std::vector<int>> deltaShapes;
};

// Throws ConversionError when the file cannot be read or is malformed.
LearnedParts readLearnedParts(const std::string& path);

// The prefix of the tuned copy's layers and weights: the copy of block_7_expand is tuned_block_7_expand.
inline constexpr const char* kTunedPrefix = "tuned_";

// The model with a tuned copy of the given trunk blocks beside the originals: the copy's layers
// follow the layer the blocks read from, so a forward to a feature that reads only the copy never
// runs the original blocks; their weights are the originals plus the deltas. The classifier keeps
// reading the original blocks, so its class scores do not change.
KerasModel withTunedBlocks(const KerasModel& model, const LearnedParts& parts);

}  // namespace keras_to_caffe

#endif
