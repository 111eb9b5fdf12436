// The taken date of a photo, read from the EXIF block of each container that carries one, and
// nothing (never a read past the end) from a block cut short anywhere.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "PhotoDate.h"
#include "TestSupport.h"

using namespace likeness_cli;

namespace {

std::string littleEndian(std::uint32_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i) & 0xFF);
    return out;
}

std::string bigEndian(std::uint32_t value, int bytes) {
    std::string out;
    for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>(value >> (8 * i) & 0xFF);
    return out;
}

// A little-endian TIFF structure whose IFD0 holds an orientation before the pointer to the Exif
// IFD, which holds an exposure time before DateTimeOriginal.
std::string exifBlock(const std::string& date) {
    const auto entry = [](std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::uint32_t value) {
        return littleEndian(tag, 2) + littleEndian(type, 2) + littleEndian(count, 4) + littleEndian(value, 4);
    };
    const std::uint32_t exifIfd = 8 + 2 + 2 * 12 + 4;
    const std::uint32_t dateAt = exifIfd + 2 + 2 * 12 + 4;
    return "II" + littleEndian(42, 2) + littleEndian(8, 4) + littleEndian(2, 2) + entry(0x0112, 3, 1, 1) +
           entry(0x8769, 4, 1, exifIfd) + littleEndian(0, 4) + littleEndian(2, 2) + entry(0x829A, 5, 1, 0) +
           entry(0x9003, 2, 20, dateAt) + littleEndian(0, 4) + date + std::string(1, '\0');
}

void write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace

TEST(PhotoDate, IsReadFromPngAndWebpAndNothingFromACutOrBlankBlock) {
    TempHome home(false);
    const std::string block = exifBlock("2009:10:11 12:13:14");
    const std::string text = "tEXt";
    write("photo.png", std::string("\x89PNG\r\n\x1A\n", 8) + bigEndian(4, 4) + text + "abcd" + bigEndian(0, 4) +
                           bigEndian(static_cast<std::uint32_t>(block.size()), 4) + "eXIf" + block + bigEndian(0, 4) +
                           bigEndian(0, 4) + "IEND" + bigEndian(0, 4));
    // An odd-sized chunk before it is padded to an even length.
    const std::string chunks = "ICCP" + littleEndian(3, 4) + "abc" + std::string(1, '\0') + "EXIF" +
                               littleEndian(static_cast<std::uint32_t>(block.size()), 4) + block;
    write("photo.webp", "RIFF" + littleEndian(static_cast<std::uint32_t>(chunks.size() + 4), 4) + "WEBP" + chunks);
    for (const char* file : {"photo.png", "photo.webp"}) {
        const std::optional<PhotoDate> date = photoTakenDate(file);
        ASSERT_TRUE(date) << file;
        EXPECT_EQ(date->text, "2009-10-11 12:13:14") << file;
    }
    EXPECT_EQ(exifTakenDate(exifBlock("2009:10:11 12:13:14"))->seconds,
              exifTakenDate(exifBlock("2009:10:11 12:13:15"))->seconds - 1);
    EXPECT_FALSE(exifTakenDate(exifBlock("    :  :     :  :  "))) << "a camera without a set clock";
    for (std::size_t kept = 0; kept < block.size() - 1; ++kept)
        EXPECT_FALSE(exifTakenDate(block.substr(0, kept))) << "cut to " << kept << " bytes";
    EXPECT_FALSE(photoTakenDate("missing.jpg"));
}
