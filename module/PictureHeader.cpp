// Format signatures and header fields of every format OpenCV decodes here, read with bounds checks
// only: a header is hostile input. JPEG is walked segment by segment up to its end marker, because
// its decoder pads a cut-off picture with grey and reports nothing when it reads from memory.
#include "module/PictureHeader.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>

namespace likeness {
namespace {

constexpr std::size_t kNowhere = std::numeric_limits<std::size_t>::max();

// A bounds-checked view of the file's bytes; a read outside it gives 0.
class Bytes {
public:
    Bytes(const unsigned char* data, std::size_t size) : data(data), length(size) {}

    std::size_t size() const { return length; }
    bool has(std::size_t at, std::size_t count) const { return at <= length && count <= length - at; }
    unsigned operator[](std::size_t at) const { return at < length ? data[at] : 0u; }
    bool startsWith(std::size_t at, const char* text) const {
        const std::size_t count = std::strlen(text);
        return has(at, count) && std::memcmp(data + at, text, count) == 0;
    }
    std::uint64_t bigEndian(std::size_t at, int bytes) const { return combine(at, bytes, true); }
    std::uint64_t littleEndian(std::size_t at, int bytes) const { return combine(at, bytes, false); }
    // The position of the next byte equal to value at or after at, or kNowhere.
    std::size_t find(std::size_t at, unsigned char value) const {
        if (at >= length) return kNowhere;
        const void* found = std::memchr(data + at, value, length - at);
        return found == nullptr ? kNowhere : static_cast<std::size_t>(static_cast<const unsigned char*>(found) - data);
    }

private:
    std::uint64_t combine(std::size_t at, int bytes, bool bigEndianOrder) const {
        if (!has(at, static_cast<std::size_t>(bytes))) return 0;
        std::uint64_t value = 0;
        for (int i = 0; i < bytes; ++i) {
            const std::size_t index = at + static_cast<std::size_t>(bigEndianOrder ? i : bytes - 1 - i);
            value = value << 8 | data[index];
        }
        return value;
    }

    const unsigned char* data;
    std::size_t length;
};

PictureHeader sized(PictureFormat format, std::uint64_t width, std::uint64_t height) {
    PictureHeader header;
    header.format = format;
    header.width = width;
    header.height = height;
    return header;
}

// ---- JPEG ----

bool isStartOfFrame(unsigned code) {
    return code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC;
}

// Where the entropy-coded data that begins at `at` ends: the 0xFF that starts the next marker other
// than a restart marker or a stuffed zero. kNowhere when the data run to the end of the file.
std::size_t endOfScanData(const Bytes& in, std::size_t at) {
    for (;;) {
        const std::size_t marker = in.find(at, 0xFF);
        if (marker == kNowhere) return kNowhere;
        std::size_t code = marker + 1;
        while (code < in.size() && in[code] == 0xFF) ++code;
        if (code >= in.size()) return kNowhere;
        if (in[code] != 0x00 && (in[code] < 0xD0 || in[code] > 0xD7)) return code - 1;
        at = code + 1;
    }
}

PictureHeader jpegHeader(const Bytes& in) {
    PictureHeader header = sized(PictureFormat::Jpeg, 0, 0);
    const char* const cutOff = "the JPEG data end before their end marker";
    bool frameSeen = false;
    std::size_t at = 2;
    for (;;) {
        if (at >= in.size()) {
            header.damage = cutOff;
            return header;
        }
        if (in[at] != 0xFF) {
            header.damage = "bytes outside any JPEG segment";
            return header;
        }
        while (at < in.size() && in[at] == 0xFF) ++at;
        if (at >= in.size()) {
            header.damage = cutOff;
            return header;
        }
        const unsigned code = in[at++];
        if (code == 0xD9) return header;
        if (code == 0x01 || (code >= 0xD0 && code <= 0xD7)) continue;
        if (code == 0x00 || code == 0xD8) {
            header.damage = "a JPEG marker out of place";
            return header;
        }
        const std::size_t length = static_cast<std::size_t>(in.bigEndian(at, 2));
        if (!in.has(at, 2) || !in.has(at, length)) {
            header.damage = cutOff;
            return header;
        }
        if (length < 2) {
            header.damage = "a JPEG segment shorter than its length field";
            return header;
        }
        if (isStartOfFrame(code) && !frameSeen && length >= 8) {
            header.height = in.bigEndian(at + 3, 2);
            header.width = in.bigEndian(at + 5, 2);
            frameSeen = true;
        }
        at += length;
        if (code == 0xDA) {
            at = endOfScanData(in, at);
            if (at == kNowhere) {
                header.damage = cutOff;
                return header;
            }
        }
    }
}

// ---- WebP ----

PictureHeader webpHeader(const Bytes& in) {
    if (in.startsWith(12, "VP8 ") && in[23] == 0x9D && in[24] == 0x01 && in[25] == 0x2A) {
        return sized(PictureFormat::Webp, in.littleEndian(26, 2) & 0x3FFF, in.littleEndian(28, 2) & 0x3FFF);
    }
    if (in.startsWith(12, "VP8L") && in[20] == 0x2F && in.has(21, 4)) {
        const std::uint64_t bits = in.littleEndian(21, 4);
        return sized(PictureFormat::Webp, (bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1);
    }
    if (in.startsWith(12, "VP8X") && in.has(24, 6)) {
        return sized(PictureFormat::Webp, in.littleEndian(24, 3) + 1, in.littleEndian(27, 3) + 1);
    }
    return sized(PictureFormat::Webp, 0, 0);
}

// ---- BMP ----

PictureHeader bmpHeader(const Bytes& in) {
    const std::uint64_t infoSize = in.littleEndian(14, 4);
    if (infoSize == 12) return sized(PictureFormat::Bmp, in.littleEndian(18, 2), in.littleEndian(20, 2));
    if (infoSize < 36 || !in.has(18, 8)) return sized(PictureFormat::Bmp, 0, 0);
    // Signed: a negative height is a picture stored top row first.
    const auto width = static_cast<std::int32_t>(in.littleEndian(18, 4));
    const auto height = static_cast<std::int32_t>(in.littleEndian(22, 4));
    if (width <= 0 || height == 0) return sized(PictureFormat::Bmp, 0, 0);
    const std::int64_t rows = height < 0 ? -static_cast<std::int64_t>(height) : height;
    return sized(PictureFormat::Bmp, static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(rows));
}

// ---- TIFF: the first directory, which is the page OpenCV decodes ----

PictureHeader tiffHeader(const Bytes& in) {
    PictureHeader header = sized(PictureFormat::Tiff, 0, 0);
    const bool bigEndian = in[0] == 'M';
    const auto read = [&](std::size_t at, int bytes) {
        return bigEndian ? in.bigEndian(at, bytes) : in.littleEndian(at, bytes);
    };
    const auto directory = static_cast<std::size_t>(read(4, 4));
    if (!in.has(directory, 2)) return header;
    const auto entries = static_cast<std::size_t>(read(directory, 2));
    std::uint64_t tileWidth = 0;
    std::uint64_t tileHeight = 0;
    for (std::size_t i = 0; i < entries; ++i) {
        const std::size_t entry = directory + 2 + 12 * i;
        if (!in.has(entry, 12)) break;
        const std::uint64_t type = read(entry + 2, 2);
        if (type != 3 && type != 4) continue;  // sizes are SHORT or LONG
        const std::uint64_t value = type == 3 ? read(entry + 8, 2) : read(entry + 8, 4);
        switch (read(entry, 2)) {
        case 256: header.width = value; break;
        case 257: header.height = value; break;
        case 322: tileWidth = value; break;
        case 323: tileHeight = value; break;
        default: break;
        }
    }
    header.tilePixels = tileWidth * tileHeight;
    return header;
}

// ---- The Netpbm family and PFM: numbers in text, with # comments ----

// Skips white space and comments, then reads a decimal number; values past 32 bits saturate.
// Returns false when no digit follows, or when nothing follows the digits.
bool readTextNumber(const Bytes& in, std::size_t& at, std::uint64_t& value) {
    for (;;) {
        while (at < in.size() && std::isspace(static_cast<int>(in[at]))) ++at;
        if (at < in.size() && in[at] == '#') {
            const std::size_t lineEnd = in.find(at, '\n');
            at = lineEnd == kNowhere ? in.size() : lineEnd;
            continue;
        }
        break;
    }
    if (at >= in.size() || !std::isdigit(static_cast<int>(in[at]))) return false;
    value = 0;
    const std::uint64_t saturated = std::numeric_limits<std::uint32_t>::max();
    while (at < in.size() && std::isdigit(static_cast<int>(in[at]))) {
        value = std::min(saturated, value * 10 + (in[at] - '0'));
        ++at;
    }
    // Digits that run to the end of the data may be the start of a longer number.
    return at < in.size();
}

PictureHeader widthThenHeight(const Bytes& in, PictureFormat format) {
    std::size_t at = 2;
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    if (!readTextNumber(in, at, width) || !readTextNumber(in, at, height)) return sized(format, 0, 0);
    return sized(format, width, height);
}

// PAM: "WIDTH n" and "HEIGHT n" lines, then "ENDHDR"; a header cut before that gives no size.
PictureHeader pamHeader(const Bytes& in) {
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    std::size_t at = 2;
    while (at < in.size()) {
        while (at < in.size() && std::isspace(static_cast<int>(in[at]))) ++at;
        if (in.startsWith(at, "#")) {
            const std::size_t lineEnd = in.find(at, '\n');
            at = lineEnd == kNowhere ? in.size() : lineEnd;
        } else if (in.startsWith(at, "WIDTH")) {
            at += 5;
            if (!readTextNumber(in, at, width)) break;
        } else if (in.startsWith(at, "HEIGHT")) {
            at += 6;
            if (!readTextNumber(in, at, height)) break;
        } else if (in.startsWith(at, "ENDHDR")) {
            return sized(PictureFormat::Pam, width, height);
        } else {
            while (at < in.size() && !std::isspace(static_cast<int>(in[at]))) ++at;
        }
    }
    return sized(PictureFormat::Pam, 0, 0);
}

// ---- Sun raster ----

PictureHeader sunRasterHeader(const Bytes& in) {
    return sized(PictureFormat::SunRaster, in.bigEndian(4, 4), in.bigEndian(8, 4));
}

// ---- Radiance HDR: header lines, an empty line, then a resolution line such as "-Y 480 +X 640" ----

PictureHeader hdrHeader(const Bytes& in) {
    std::size_t at = 0;
    for (;;) {
        const std::size_t lineEnd = in.find(at, '\n');
        if (lineEnd == kNowhere) return sized(PictureFormat::Hdr, 0, 0);
        if (lineEnd == at) break;
        at = lineEnd + 1;
    }
    ++at;
    std::uint64_t sides[2] = {0, 0};
    for (std::uint64_t& side : sides) {
        while (at < in.size() && in[at] == ' ') ++at;
        if (!(in[at] == '-' || in[at] == '+') || !(in[at + 1] == 'X' || in[at + 1] == 'Y')) {
            return sized(PictureFormat::Hdr, 0, 0);
        }
        at += 2;
        if (!readTextNumber(in, at, side)) return sized(PictureFormat::Hdr, 0, 0);
    }
    return sized(PictureFormat::Hdr, sides[1], sides[0]);
}

// ---- JPEG 2000: the SIZ segment of the code stream, bare or inside the jp2c box ----

PictureHeader codeStreamHeader(const Bytes& in, std::size_t at) {
    PictureHeader header = sized(PictureFormat::Jpeg2000, 0, 0);
    if (in.bigEndian(at, 4) != 0xFF4FFF51 || !in.has(at, 24)) return header;
    const std::uint64_t right = in.bigEndian(at + 8, 4);
    const std::uint64_t bottom = in.bigEndian(at + 12, 4);
    const std::uint64_t left = in.bigEndian(at + 16, 4);
    const std::uint64_t top = in.bigEndian(at + 20, 4);
    if (right <= left || bottom <= top) return header;
    header.width = right - left;
    header.height = bottom - top;
    return header;
}

PictureHeader jp2Header(const Bytes& in) {
    std::size_t at = 0;
    while (in.has(at, 8)) {
        std::uint64_t length = in.bigEndian(at, 4);
        std::size_t contents = at + 8;
        if (length == 1) {
            length = in.bigEndian(at + 8, 8);
            contents = at + 16;
        } else if (length == 0) {
            length = in.size() - at;
        }
        if (in.startsWith(at + 4, "jp2c")) return codeStreamHeader(in, contents);
        if (length < contents - at || length > in.size() - at) break;
        at += static_cast<std::size_t>(length);
    }
    return sized(PictureFormat::Jpeg2000, 0, 0);
}

// ---- OpenEXR: the dataWindow attribute of the first header ----

PictureHeader exrHeader(const Bytes& in) {
    PictureHeader header = sized(PictureFormat::Exr, 0, 0);
    std::size_t at = 8;
    for (;;) {
        const std::size_t nameEnd = in.find(at, '\0');
        if (nameEnd == kNowhere || nameEnd == at) return header;
        const std::size_t typeEnd = in.find(nameEnd + 1, '\0');
        if (typeEnd == kNowhere || !in.has(typeEnd + 1, 4)) return header;
        const std::uint64_t valueSize = in.littleEndian(typeEnd + 1, 4);
        const std::size_t value = typeEnd + 5;
        if (!in.has(value, static_cast<std::size_t>(valueSize))) return header;
        if (in.startsWith(at, "dataWindow") && nameEnd == at + 10 && valueSize == 16) {
            const auto corner = [&](std::size_t offset) {
                return static_cast<std::int64_t>(static_cast<std::int32_t>(in.littleEndian(value + offset, 4)));
            };
            const std::int64_t width = corner(8) - corner(0) + 1;
            const std::int64_t height = corner(12) - corner(4) + 1;
            if (width > 0 && height > 0) {
                header.width = static_cast<std::uint64_t>(width);
                header.height = static_cast<std::uint64_t>(height);
            }
            return header;
        }
        at = value + static_cast<std::size_t>(valueSize);
    }
}

bool spaceAt(const Bytes& in, std::size_t at) {
    return at < in.size() && std::isspace(static_cast<int>(in[at]));
}

}  // namespace

PictureHeader readPictureHeader(const unsigned char* data, std::size_t size) {
    const Bytes in(data, size);
    if (in[0] == 0xFF && in[1] == 0xD8 && in[2] == 0xFF) return jpegHeader(in);
    if (in.startsWith(0, "\x89PNG\r\n\x1a\n")) {
        if (!in.startsWith(12, "IHDR")) return sized(PictureFormat::Png, 0, 0);
        return sized(PictureFormat::Png, in.bigEndian(16, 4), in.bigEndian(20, 4));
    }
    if (in.startsWith(0, "RIFF") && in.startsWith(8, "WEBP")) return webpHeader(in);
    if (in.startsWith(0, "BM")) return bmpHeader(in);
    if ((in.startsWith(0, "II") && in[2] == 42 && in[3] == 0) ||
        (in.startsWith(0, "MM") && in[2] == 0 && in[3] == 42)) {
        return tiffHeader(in);
    }
    if (in[0] == 'P' && spaceAt(in, 2)) {
        if (in[1] >= '1' && in[1] <= '6') return widthThenHeight(in, PictureFormat::Pnm);
        if (in[1] == '7') return pamHeader(in);
        if (in[1] == 'F' || in[1] == 'f') return widthThenHeight(in, PictureFormat::Pfm);
    }
    if (in[0] == 0x59 && in[1] == 0xA6 && in[2] == 0x6A && in[3] == 0x95) return sunRasterHeader(in);
    if (in.startsWith(0, "#?RGBE") || in.startsWith(0, "#?RADIANCE")) return hdrHeader(in);
    if (in.bigEndian(0, 4) == 12 && in.startsWith(4, "jP  \r\n\x87\n")) return jp2Header(in);
    if (in[0] == 0xFF && in[1] == 0x4F && in[2] == 0xFF && in[3] == 0x51) return codeStreamHeader(in, 0);
    if (in[0] == 0x76 && in[1] == 0x2F && in[2] == 0x31 && in[3] == 0x01) return exrHeader(in);
    return PictureHeader();
}

PictureFormat formatNamedBy(const std::string& path) {
    const std::string::size_type dot = path.rfind('.');
    const std::string::size_type slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return PictureFormat::Unknown;
    std::string extension = path.substr(dot + 1);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    struct Named {
        const char* extension;
        PictureFormat format;
    };
    static const Named names[] = {
        {"jpg", PictureFormat::Jpeg},     {"jpeg", PictureFormat::Jpeg},     {"jpe", PictureFormat::Jpeg},
        {"png", PictureFormat::Png},      {"webp", PictureFormat::Webp},     {"bmp", PictureFormat::Bmp},
        {"dib", PictureFormat::Bmp},      {"tif", PictureFormat::Tiff},      {"tiff", PictureFormat::Tiff},
        {"pbm", PictureFormat::Pnm},      {"pgm", PictureFormat::Pnm},       {"ppm", PictureFormat::Pnm},
        {"pnm", PictureFormat::Pnm},      {"pam", PictureFormat::Pam},       {"pfm", PictureFormat::Pfm},
        {"sr", PictureFormat::SunRaster}, {"ras", PictureFormat::SunRaster}, {"hdr", PictureFormat::Hdr},
        {"pic", PictureFormat::Hdr},      {"jp2", PictureFormat::Jpeg2000},  {"exr", PictureFormat::Exr},
    };
    for (const Named& named : names) {
        if (extension == named.extension) return named.format;
    }
    return PictureFormat::Unknown;
}

const char* formatName(PictureFormat format) {
    switch (format) {
    case PictureFormat::Jpeg: return "JPEG";
    case PictureFormat::Png: return "PNG";
    case PictureFormat::Webp: return "WebP";
    case PictureFormat::Bmp: return "BMP";
    case PictureFormat::Tiff: return "TIFF";
    case PictureFormat::Pnm: return "PNM";
    case PictureFormat::Pam: return "PAM";
    case PictureFormat::Pfm: return "PFM";
    case PictureFormat::SunRaster: return "Sun raster";
    case PictureFormat::Hdr: return "Radiance HDR";
    case PictureFormat::Jpeg2000: return "JPEG 2000";
    case PictureFormat::Exr: return "OpenEXR";
    case PictureFormat::Unknown: break;
    }
    return "unknown";
}

const char* formatExtension(PictureFormat format) {
    switch (format) {
    case PictureFormat::Jpeg: return ".jpg";
    case PictureFormat::Png: return ".png";
    case PictureFormat::Webp: return ".webp";
    case PictureFormat::Bmp: return ".bmp";
    case PictureFormat::Tiff: return ".tif";
    case PictureFormat::Pnm: return ".pnm";
    case PictureFormat::Pam: return ".pam";
    case PictureFormat::Pfm: return ".pfm";
    case PictureFormat::SunRaster: return ".ras";
    case PictureFormat::Hdr: return ".hdr";
    case PictureFormat::Jpeg2000: return ".jp2";
    case PictureFormat::Exr: return ".exr";
    case PictureFormat::Unknown: break;
    }
    return "";
}

const char* formatMediaType(PictureFormat format) {
    switch (format) {
    case PictureFormat::Jpeg: return "image/jpeg";
    case PictureFormat::Png: return "image/png";
    case PictureFormat::Webp: return "image/webp";
    case PictureFormat::Bmp: return "image/bmp";
    case PictureFormat::Tiff: return "image/tiff";
    case PictureFormat::Pnm: return "image/x-portable-anymap";
    case PictureFormat::Pam: return "image/x-portable-arbitrarymap";
    case PictureFormat::Pfm: return "image/x-portable-floatmap";
    case PictureFormat::SunRaster: return "image/x-sun-raster";
    case PictureFormat::Hdr: return "image/vnd.radiance";
    case PictureFormat::Jpeg2000: return "image/jp2";
    case PictureFormat::Exr: return "image/x-exr";
    case PictureFormat::Unknown: break;
    }
    return "application/octet-stream";
}

}  // namespace likeness
