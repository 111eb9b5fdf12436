// Turning a picture file's bytes into pixels without harming the host: a picture over the pixel
// budget is refused from its header, before any pixel is allocated, and one that its decoder finds
// cut off or damaged is refused too. What the decoders print goes to the log, not to standard error.
#ifndef LIKENESS_MODULE_PICTUREDECODER_H
#define LIKENESS_MODULE_PICTUREDECODER_H

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "module/Export.h"
#include "module/PictureHeader.h"

namespace likeness {

struct PictureLimits {
    // 100 megapixels: a 12000 x 8000 photo fits; decoding one takes about 300 MB.
    std::uint64_t maxPixels = 100000000;
    // OpenCV's own default limit per side; beyond it OpenCV throws instead of refusing.
    std::uint64_t maxSide = 1u << 20;
};

// What a decode keeps of a picture's channels.
enum class PictureChannels {
    colour,     // 8-bit BGR as cv::IMREAD_COLOR gives it: what feature vectors are made from
    withAlpha,  // as cv::IMREAD_UNCHANGED gives it (an alpha channel, grey, 16 bits kept), for showing
                // it; a JPEG still comes as colour, turned by its orientation tag
};

struct DecodedPicture {
    // The pixels as asked for (PictureChannels); empty when the picture was refused.
    cv::Mat pixels;
    // What the bytes are, also when they were refused.
    PictureFormat format = PictureFormat::Unknown;
    // Why they were refused, for a person ("30000 x 30000 pixels, over the limit..."); empty when not.
    std::string refusal;

    bool usable() const { return !pixels.empty(); }
};

// Whether the picture's size, as its header gives it, is known and within limits: each side and the
// number of pixels. A decode refuses any other before it allocates a pixel.
LIKENESS_API bool sizeWithinLimits(const PictureHeader& header, const PictureLimits& limits = PictureLimits());

// Decodes bytes in colour, as cv::imread(path, cv::IMREAD_COLOR) would decode the same file.
// Refused, with an empty picture: bytes of no format OpenCV decodes here (silently, like a file
// OpenCV cannot read), and, each with a log line naming the picture by `name` (its path or URL),
// pictures whose header gives no size or a size over limits, JPEG data that end before their end
// marker, and pictures the decoder fails on or reports corrupt. Anything the decoder prints while
// it runs is logged under `name` instead of reaching the process's standard error. Every picture
// the library or its command decodes goes through here.
LIKENESS_API DecodedPicture decodePicture(const std::vector<unsigned char>& bytes, const std::string& name,
                                          const PictureLimits& limits = PictureLimits(),
                                          PictureChannels channels = PictureChannels::colour);

// The same for the picture file at path: read whole when it is a regular file of at most 1 GiB,
// refused (with why) when it is not.
LIKENESS_API DecodedPicture readPicture(const std::string& path, PictureChannels channels = PictureChannels::colour,
                                        const PictureLimits& limits = PictureLimits());

}  // namespace likeness

#endif
