// The picture alterations the quality benchmark's transforms and the fit's random chains are
// made of: geometry, framing, pasting, photometric damage, resampling and overlays.
#ifndef LIKENESS_TOOLS_PHOTOS_ALTERATIONS_H
#define LIKENESS_TOOLS_PHOTOS_ALTERATIONS_H

#include <opencv2/core.hpp>

// Each takes a BGR picture of 8-bit channels and returns a new one (grayscale returns one channel).
namespace alterations {

// Turned about its centre on a canvas of the same size, the corners left black.
cv::Mat rotateKeepingCanvas(const cv::Mat& image, double degrees);

// Every value times gain plus offset, saturated.
cv::Mat linearContrast(const cv::Mat& image, double gain, double offset);

// To exactly `size`, by area averaging.
cv::Mat resized(const cv::Mat& image, cv::Size size);

// Scaled, keeping its aspect ratio, to the given long side.
cv::Mat longSideTo(const cv::Mat& image, int longSide);

// Each value v becomes 255 (v / 255)^exponent.
cv::Mat gamma(const cv::Mat& image, double exponent);

// Independent Gaussian noise of the given deviation on every value.
cv::Mat gaussianNoise(const cv::Mat& image, double sigma, cv::RNG& rng);

// Three captions at random places, white with a dark outline, each line about 1/12 of the height.
cv::Mat overlaidText(const cv::Mat& image, cv::RNG& rng);

// One channel of grey levels.
cv::Mat grayscale(const cv::Mat& image);

// Each corner moves inwards by up to `fraction` of the width and of the height.
cv::Mat perspectiveWarp(const cv::Mat& image, double fraction, cv::RNG& rng);

// The centred crop of centredCrop (Transforms.h).
cv::Mat cropped(const cv::Mat& image, double removedAreaFraction);

// Each cell of a grid whose long side has `cells` cells filled with its mean colour.
cv::Mat pixelated(const cv::Mat& image, int cells);

// Down to a thumbnail of the given long side and back up to the original size.
cv::Mat thumbnailAndBack(const cv::Mat& image, int longSide);

// Both sides times factor, with the given OpenCV interpolation.
cv::Mat scaledBy(const cv::Mat& image, double factor, int interpolation);

// Every channel reduced to `levels` evenly spaced levels.
cv::Mat posterised(const cv::Mat& image, int levels);

// A horizontal smear over `fraction` of the width, as a camera moved while the shutter was open.
cv::Mat motionBlur(const cv::Mat& image, double fraction);

// `fraction` of the pixels turned white or black at random.
cv::Mat saltAndPepper(const cv::Mat& image, double fraction, cv::RNG& rng);

// The photo in the middle of a plain frame whose sides add `fraction` of its size on each side.
cv::Mat framed(const cv::Mat& image, double fractionX, double fractionY, const cv::Scalar& colour);

// The photo scaled to `scale` of the backdrop's sides and pasted at a random place on it.
cv::Mat pastedOnto(const cv::Mat& image, const cv::Mat& backdrop, double scale, cv::RNG& rng);

// A large caption across the middle, blended at half opacity, as a stock-photo watermark.
cv::Mat watermarked(const cv::Mat& image);

// A filled rectangle of a random colour covering `fraction` of the area at a random place.
cv::Mat occluded(const cv::Mat& image, double fraction, cv::RNG& rng);

// The part of the photo keeping `keptArea` of its area, in its aspect ratio, at a random place.
cv::Mat offCentreCrop(const cv::Mat& image, double keptArea, cv::RNG& rng);

// The hue turned by `degrees`.
cv::Mat hueShifted(const cv::Mat& image, int degrees);

// Darker towards the corners: each pixel times 1 - strength * (distance from the centre / half diagonal)^2.
cv::Mat vignetted(const cv::Mat& image, double strength);

// Unsharp masking: the photo plus `amount` times its difference from a blur of sigma 2.
cv::Mat sharpened(const cv::Mat& image, double amount);

}  // namespace alterations

#endif
