// Learned whitening: a linear map under which the differences between photographs and their
// altered copies weigh alike in every direction, fitted from examples of both.
#ifndef LIKENESS_TOOLS_MODEL_WHITENING_H
#define LIKENESS_TOOLS_MODEL_WHITENING_H

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "KerasToCaffe.h"

namespace keras_to_caffe {

// The shrinkage of the default model's whitening. Chosen on the quality benchmark's dev split,
// fitted on one half of its sources and scored on the other: without the cosine spectrum, mAP
// 0.973 with 0.01, 0.976 with 0.03, 0.979 with 0.1, 0.975 with 0.5; with it, 0.980 with 0.03,
// 0.984 with 0.1, 0.983 with 0.3.
constexpr double kDefaultWhiteningShrinkage = 0.1;

// originals: one row per photograph (CV_64F, N x D); copies: one row per altered copy (CV_64F,
// M x D), copyOf[m] the row of originals copy m was made from. Returns `dimensions` rows of D
// values and a bias such that matrix * x + bias is x centred on the mean of all N + M rows,
// rotated and scaled so that copy - original has unit variance in every direction (first
// step), then turned onto the directions in which the centred photographs vary most, in
// decreasing order (second step).
// shrinkage adds that fraction of the differences' mean variance to every direction before the
// first step: with fewer differences than dimensions some directions are never seen to vary,
// and dividing by their near-zero variance would let noise in them decide every distance.
// Throws std::invalid_argument on empty, mismatched or out-of-range input.
Projection learnWhitening(const cv::Mat& originals, const cv::Mat& copies, const std::vector<int>& copyOf,
                          double shrinkage, int dimensions);

// Writes the {"matrix": [...], "bias": [...]} that readProjection reads, every value exact;
// false when the file cannot be written.
bool writeProjection(const Projection& projection, const std::string& path);

}  // namespace keras_to_caffe

#endif
