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

// The same-picture rule of the default model (module/SamePicture.h), calibrated on the quality
// benchmark's dev split only (every dev query: JPEG, crops, strong attacks and random chains of
// alterations, of indexed sources and of held-out photos, among 1600 indexed pictures), for 95 %
// precision on each kind of photo. Two pictures closer than kSamePictureDistance are the same
// picture: on its own that distance must hold for textures and papers, whose copies of pictures
// that are not stored come nearer than anything else, so alone it accepts about 10 % of the copies.
// A search's nearest match is also the same picture when it lies below
// kSamePictureNearestBelow and the next stored picture is at least kSamePictureGap farther: a copy
// stands out from the pictures around it, a look-alike does not. On dev the two together accept
// 43 % of the ordinary photos' copies at precision 0.999 and 34 % of the low-structure ones at 0.952.
inline constexpr float kSamePictureDistance = 100.3f;
inline constexpr float kSamePictureNearestBelow = 102.0f;
inline constexpr float kSamePictureGap = 0.6f;

}  // namespace likeness

#endif
