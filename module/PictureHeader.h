// What a picture file is before anything decodes it: its format, told by its content, and its size
// in pixels, read from its header alone, so that a picture too large to decode is refused unread.
// The one place where the library, and its hosts, know the picture formats.
#ifndef LIKENESS_MODULE_PICTUREHEADER_H
#define LIKENESS_MODULE_PICTUREHEADER_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "module/Export.h"

namespace likeness {

// The formats OpenCV's decoders read here. PNM is the family P1-P6 (one decoder); JPEG 2000 is
// both the boxed file and the bare code stream.
enum class PictureFormat { Unknown, Jpeg, Png, Webp, Bmp, Tiff, Pnm, Pam, Pfm, SunRaster, Hdr, Jpeg2000, Exr };

struct PictureHeader {
    PictureFormat format = PictureFormat::Unknown;
    // Both 0 when the header cannot be read or gives no size.
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    // Pixels of the largest tile the decoder holds besides the picture (TIFF); 0 when none.
    std::uint64_t tilePixels = 0;
    // Why the file is incomplete or damaged, when its structure shows it (JPEG); empty otherwise.
    std::string damage;

    bool sizeKnown() const { return width > 0 && height > 0; }
};

// Reads the format and size of the picture in data. Never reads outside [data, data + size).
LIKENESS_API PictureHeader readPictureHeader(const unsigned char* data, std::size_t size);

// The format that the extension of path asks an OpenCV encoder for (case does not matter), or
// Unknown when the extension names none of them.
LIKENESS_API PictureFormat formatNamedBy(const std::string& path);

// "JPEG", "PNG", ... for log lines.
LIKENESS_API const char* formatName(PictureFormat format);

// ".jpg", ".png", ...: the usual file name ending of format; empty for Unknown.
LIKENESS_API const char* formatExtension(PictureFormat format);

// "image/jpeg", "image/png", ...: the media type of format; "application/octet-stream" for Unknown.
LIKENESS_API const char* formatMediaType(PictureFormat format);

}  // namespace likeness

#endif
