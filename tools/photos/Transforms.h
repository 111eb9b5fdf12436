// The altered copies the quality benchmark queries with, in the spirit of INRIA Copydays: the
// original, JPEG recompression, centred crops, a set of strong attacks, and a block that no fit
// or choice may ever see.
#ifndef LIKENESS_TOOLS_PHOTOS_TRANSFORMS_H
#define LIKENESS_TOOLS_PHOTOS_TRANSFORMS_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

// Unseen: photometric damage, framing, pasting, overlays and resampling that the other blocks
// lack. Nothing is fitted or chosen on it, so it shows how the feature holds on alterations it
// was not shaped for.
enum class QueryBlock { Identity, Jpeg, Crop, Strong, Unseen };

const char* blockName(QueryBlock block);

struct QueryTransform {
    QueryBlock block;
    std::string name;
    // Empty for the identity, whose query is the original file itself. The second picture is the
    // backdrop of transforms that paste the photo onto another one, empty for the others.
    std::function<cv::Mat(const cv::Mat&, const cv::Mat&, cv::RNG&)> alter;
    // The JPEG quality the altered picture is saved with; 0 saves it as lossless PNG so that only
    // the named alteration acts.
    int jpegQuality = 0;
    bool needsBackdrop = false;
};

// The 58 transforms in a fixed order: identity; JPEG qualities 3 to 75; crops removing 10 % to
// 80 % of the area; 14 strong attacks; 25 unseen ones. New transforms go last, so the seeds of
// the earlier ones stay as they were.
const std::vector<QueryTransform>& queryTransforms();

// Whether a fit or a choice of the feature may look at queries the transform makes: every block
// but the unseen one, which is for reporting only.
bool mayShapeTheFeature(const QueryTransform& transform);

// A centred rectangle keeping (1 - removedAreaFraction) of the area of size, in the same aspect ratio.
cv::Rect centredCrop(cv::Size size, double removedAreaFraction);

// The encoded bytes of a transform applied to original, and the file extension they need.
struct EncodedQuery {
    std::vector<unsigned char> bytes;
    std::string extension;
};

// seed makes the random parts (noise, text placement, perspective) reproducible per query.
// backdrop is the other photo of a transform that needsBackdrop (std::invalid_argument when it is
// empty there), ignored by the others.
EncodedQuery encodeQuery(const QueryTransform& transform, const cv::Mat& original, std::uint64_t seed,
                         const cv::Mat& backdrop = cv::Mat());

#endif
