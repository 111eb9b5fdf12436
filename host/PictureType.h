// What kind of picture a file holds, told by its first bytes: the media type to serve it with and
// a file name ending that names its format, for pictures that arrive without a name.
#ifndef LIKENESS_HOST_PICTURETYPE_H
#define LIKENESS_HOST_PICTURETYPE_H

#include <string>

namespace likeness_cli {

struct PictureType {
    const char* mediaType;  // "application/octet-stream" when the bytes name no known format
    const char* extension;  // with its dot; empty when unknown
};

// Needs the first 16 bytes of the file (fewer for a shorter one).
PictureType pictureTypeOf(const std::string& leadingBytes);

}  // namespace likeness_cli

#endif
