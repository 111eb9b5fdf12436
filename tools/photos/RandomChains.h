// Randomised altered copies for fitting the feature: chains of one to three alterations drawn
// from a broad family with random parameters, so a fit learns the kinds of damage rather than a
// fixed list of them.
#ifndef LIKENESS_TOOLS_PHOTOS_RANDOMCHAINS_H
#define LIKENESS_TOOLS_PHOTOS_RANDOMCHAINS_H

#include <opencv2/core.hpp>

// One to three alterations (any crop position, any angle, mirror, borders, pasting onto
// `backdrop`, blur, noise, pixelation, down-and-up resampling, posterising, brightness, contrast,
// gamma, hue, greyscale, aspect, perspective, low-quality JPEG after resizing, captions,
// watermarks, rectangles), then saved as JPEG at a random quality half of the time, decoded as the
// library would read it. Always three channels. The same rng state gives the same copy.
cv::Mat randomChainCopy(const cv::Mat& photo, const cv::Mat& backdrop, cv::RNG& rng);

#endif
