// What a picture's feature vector is: the model files, how a picture becomes the network's input
// and which layer's output is the vector. Hosts, tools and benchmarks take these from here only.
#ifndef LIKENESS_MODULE_FEATURECONTRACT_H
#define LIKENESS_MODULE_FEATURECONTRACT_H

namespace likeness {

// The model a module loads, relative to the working directory: the Caffe text description and
// its binary weights.
inline constexpr const char* kModelNetPath = "model/v0.net";
inline constexpr const char* kModelWeightsPath = "model/v0.dat";

// Every picture is resized, without keeping its aspect ratio, to a square of this side.
inline constexpr int kInputSide = 224;
// Subtracted from channels 0, 1 and 2 (blue, green, red as OpenCV decodes them), before scaling.
inline constexpr double kInputMeanBgr[3] = {103.94, 116.78, 123.68};
inline constexpr float kInputScale = 1.0f;

// The layer whose raw output is a picture's feature vector, and that vector's length.
inline constexpr const char* kFeatureLayer = "pool5";
inline constexpr int kFeatureDim = 512;

// Two pictures whose distance (module/Distance.h) is below this are taken for the same picture by
// the command's duplicate decisions. It holds for the default model only. Provisional: on photos
// outside the quality benchmark it kept 95 % precision, but found only about a quarter of the
// altered copies; the quality benchmark's per-kind calibration is to replace it.
inline constexpr float kSamePictureDistance = 101.3f;

}  // namespace likeness

#endif
