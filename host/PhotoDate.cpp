// Finding the EXIF block in the three containers that carry one, and the date in its TIFF
// structure: IFD0 points at the Exif IFD, whose DateTimeOriginal is 19 characters and a NUL.
#include "PhotoDate.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>

namespace likeness_cli {
namespace {

constexpr std::uint16_t kExifIfdPointer = 0x8769;
constexpr std::uint16_t kDateTimeOriginal = 0x9003;
constexpr std::uint16_t kAsciiType = 2;
constexpr std::size_t kIfdEntryBytes = 12;
// A block larger than this is no EXIF block a camera writes (JPEG's own limit is 64 KiB).
constexpr std::uint32_t kMaxBlockBytes = 1 << 20;
constexpr const char* kJpegExifPrefix = "Exif\0\0";
constexpr std::size_t kJpegExifPrefixBytes = 6;

// The unsigned number of width bytes at `at` in bytes, which hold them, in the given byte order.
std::uint32_t numberAt(const std::string& bytes, std::size_t at, std::size_t width, bool bigEndian) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i)
        value = value << 8 | static_cast<unsigned char>(bytes[at + (bigEndian ? i : width - 1 - i)]);
    return value;
}

// Unsigned numbers of a TIFF structure in its byte order; nothing past its end.
class TiffBytes {
public:
    explicit TiffBytes(const std::string& data) : data(data), bigEndian(data.compare(0, 2, "MM") == 0) {}

    std::optional<std::uint32_t> number(std::size_t at, std::size_t width) const {
        if (at > data.size() || data.size() - at < width) return std::nullopt;
        return numberAt(data, at, width, bigEndian);
    }

    // Where the entry of tag lies in the IFD at offset.
    std::optional<std::size_t> entry(std::size_t offset, std::uint16_t tag) const {
        const std::optional<std::uint32_t> count = number(offset, 2);
        if (!count) return std::nullopt;
        for (std::size_t i = 0; i < *count; ++i) {
            const std::size_t at = offset + 2 + i * kIfdEntryBytes;
            const std::optional<std::uint32_t> found = number(at, 2);
            if (!found) return std::nullopt;
            if (*found == tag) return at;
        }
        return std::nullopt;
    }

    const std::string& data;
    bool bigEndian;
};

// "2015:06:01 12:30:00" as a date; nothing when it is not one (cameras write blanks when unset).
std::optional<PhotoDate> parseExifDate(const std::string& text) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (text.size() < 19 ||
        std::sscanf(text.c_str(), "%4d:%2d:%2d %2d:%2d:%2d", &year, &month, &day, &hour, &minute, &second) != 6 ||
        year < 1800 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    parts.tm_isdst = -1;
    char shown[64];
    std::snprintf(shown, sizeof(shown), "%04d-%02d-%02d %02d:%02d:%02d", year, month, day, hour, minute, second);
    return PhotoDate{static_cast<std::int64_t>(std::mktime(&parts)), shown};
}

// Up to size bytes of in from offset: fewer at its end.
std::string bytesAt(std::ifstream& in, std::uint64_t offset, std::size_t size) {
    std::string bytes(size, '\0');
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(bytes.data(), static_cast<std::streamsize>(size));
    bytes.resize(in ? size : static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    return bytes;
}

bool hasExifPrefix(const std::string& block) {
    return block.compare(0, kJpegExifPrefixBytes, std::string(kJpegExifPrefix, kJpegExifPrefixBytes)) == 0;
}

// PNG and WebP blocks may carry JPEG's prefix too.
std::string withoutExifPrefix(std::string block) {
    if (hasExifPrefix(block)) block.erase(0, kJpegExifPrefixBytes);
    return block;
}

// The segments before the picture data: FF, a marker, a big-endian length that counts itself.
std::string jpegExifBlock(std::ifstream& in) {
    constexpr unsigned char kApp1 = 0xE1, kStartOfScan = 0xDA, kEndOfImage = 0xD9;
    for (std::uint64_t at = 2;;) {
        const std::string head = bytesAt(in, at, 4);
        if (head.size() < 4 || static_cast<unsigned char>(head[0]) != 0xFF) return "";
        const auto marker = static_cast<unsigned char>(head[1]);
        if (marker == kStartOfScan || marker == kEndOfImage) return "";
        const std::uint32_t length = numberAt(head, 2, 2, true);
        if (length < 2) return "";
        if (marker == kApp1) {
            const std::string block = bytesAt(in, at + 4, length - 2);
            if (hasExifPrefix(block)) return block.substr(kJpegExifPrefixBytes);
        }
        at += 2 + length;
    }
}

// Chunks of a length, a type, the data and a CRC, until IEND.
std::string pngExifBlock(std::ifstream& in) {
    for (std::uint64_t at = 8;;) {
        const std::string head = bytesAt(in, at, 8);
        if (head.size() < 8) return "";
        const std::uint32_t length = numberAt(head, 0, 4, true);
        const std::string type = head.substr(4, 4);
        if (type == "eXIf") return length <= kMaxBlockBytes ? withoutExifPrefix(bytesAt(in, at + 8, length)) : "";
        if (type == "IEND") return "";
        at += 12 + std::uint64_t{length};
    }
}

// RIFF chunks of a type, a little-endian length and the data, padded to an even length.
std::string webpExifBlock(std::ifstream& in) {
    for (std::uint64_t at = 12;;) {
        const std::string head = bytesAt(in, at, 8);
        if (head.size() < 8) return "";
        const std::uint32_t length = numberAt(head, 4, 4, false);
        if (head.compare(0, 4, "EXIF") == 0)
            return length <= kMaxBlockBytes ? withoutExifPrefix(bytesAt(in, at + 8, length)) : "";
        at += 8 + std::uint64_t{length} + (length & 1);
    }
}

}  // namespace

std::optional<PhotoDate> exifTakenDate(const std::string& tiff) {
    const TiffBytes bytes(tiff);
    if (tiff.compare(0, 2, "II") != 0 && tiff.compare(0, 2, "MM") != 0) return std::nullopt;
    const std::optional<std::uint32_t> firstIfd = bytes.number(4, 4);
    if (!firstIfd) return std::nullopt;
    const std::optional<std::size_t> pointer = bytes.entry(*firstIfd, kExifIfdPointer);
    if (!pointer) return std::nullopt;
    const std::optional<std::uint32_t> exifIfd = bytes.number(*pointer + 8, 4);
    if (!exifIfd) return std::nullopt;
    const std::optional<std::size_t> date = bytes.entry(*exifIfd, kDateTimeOriginal);
    if (!date || bytes.number(*date + 2, 2) != kAsciiType) return std::nullopt;
    const std::optional<std::uint32_t> count = bytes.number(*date + 4, 4);
    const std::optional<std::uint32_t> offset = bytes.number(*date + 8, 4);
    // 19 characters and a NUL: always stored away from the entry.
    if (!count || !offset || *count < 19 || *offset > tiff.size() || tiff.size() - *offset < 19) return std::nullopt;
    return parseExifDate(tiff.substr(*offset, 19));
}

std::optional<PhotoDate> photoTakenDate(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string start = bytesAt(in, 0, 12);
    std::string block;
    if (start.compare(0, 2, "\xFF\xD8") == 0) block = jpegExifBlock(in);
    else if (start.compare(0, 8, "\x89PNG\r\n\x1A\n") == 0) block = pngExifBlock(in);
    else if (start.size() == 12 && start.compare(0, 4, "RIFF") == 0 && start.compare(8, 4, "WEBP") == 0)
        block = webpExifBlock(in);
    if (block.empty()) return std::nullopt;
    return exifTakenDate(block);
}

}  // namespace likeness_cli
