// The signatures of the formats OpenCV reads here, and of GIF, which it does not decode but a
// browser shows.
#include "PictureType.h"

namespace likeness_cli {
namespace {

bool startsWith(const std::string& bytes, const std::string& signature, std::size_t at = 0) {
    return bytes.size() >= at + signature.size() && bytes.compare(at, signature.size(), signature) == 0;
}

}  // namespace

PictureType pictureTypeOf(const std::string& bytes) {
    using namespace std::string_literals;
    if (startsWith(bytes, "\xFF\xD8\xFF")) return {"image/jpeg", ".jpg"};
    if (startsWith(bytes, "\x89PNG\r\n\x1A\n")) return {"image/png", ".png"};
    if (startsWith(bytes, "RIFF") && startsWith(bytes, "WEBP", 8)) return {"image/webp", ".webp"};
    if (startsWith(bytes, "GIF87a") || startsWith(bytes, "GIF89a")) return {"image/gif", ".gif"};
    if (startsWith(bytes, "BM")) return {"image/bmp", ".bmp"};
    if (startsWith(bytes, "II*\0"s) || startsWith(bytes, "MM\0*"s)) return {"image/tiff", ".tif"};
    if (startsWith(bytes, "\0\0\0\x0CjP  "s) || startsWith(bytes, "\xFF\x4F\xFF\x51")) return {"image/jp2", ".jp2"};
    if (bytes.size() >= 3 && bytes[0] == 'P' &&
        (bytes[2] == '\n' || bytes[2] == ' ' || bytes[2] == '\r' || bytes[2] == '\t')) {
        switch (bytes[1]) {
        case '1':
        case '4': return {"image/x-portable-bitmap", ".pbm"};
        case '2':
        case '5': return {"image/x-portable-graymap", ".pgm"};
        case '3':
        case '6': return {"image/x-portable-pixmap", ".ppm"};
        default: break;
        }
    }
    return {"application/octet-stream", ""};
}

}  // namespace likeness_cli
