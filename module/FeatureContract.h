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
// the command's duplicate decisions. It holds for the default model only. Calibrated on the quality
// benchmark's dev split (random chains of one to three alterations of its sources against its
// held-out photos, among 1600 indexed pictures): the largest distance that kept 95 % precision on
// both kinds of photo there was 100.31, set by the low-structure photos (textures, papers), whose
// absent copies come nearer than anything else; ordinary photos alone would allow 104.7. On the
// test split it gives precision 1.000 on ordinary photos and 0.978 on low-structure ones, but it
// accepts only about 7 % of the altered copies: a duplicate found this close is almost surely
// one, and most copies are not found this close.
inline constexpr float kSamePictureDistance = 100.3f;

}  // namespace likeness

#endif
