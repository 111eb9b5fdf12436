// Decoding pictures safely: the size read from every format's header, the pixel budget against
// forged headers, the refusal of cut-off and corrupt files, and the decoders' messages kept off the
// process's standard error.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "CollectionChecks.h"
#include "TestSupport.h"
#include "module/PictureDecoder.h"
#include "module/PictureHeader.h"

using namespace likeness;

namespace {

using Bytes = std::vector<unsigned char>;

struct Sample {
    const char* extension;
    PictureFormat format;
    Bytes bytes;
};

// One 75 x 41 picture (not square, so a swapped width and height shows) in every format OpenCV
// writes here, in the pixel type each encoder takes.
std::vector<Sample> samplesOfEveryFormat() {
    const cv::Mat colour = makePicture(5, cv::Size(75, 41));
    cv::Mat grey;
    cv::extractChannel(colour, grey, 1);
    cv::Mat floating;
    colour.convertTo(floating, CV_32F, 1.0 / 255);
    const struct {
        const char* extension;
        PictureFormat format;
        const cv::Mat& pixels;
    } wanted[] = {
        {".jpg", PictureFormat::Jpeg, colour},     {".png", PictureFormat::Png, colour},
        {".webp", PictureFormat::Webp, colour},    {".bmp", PictureFormat::Bmp, colour},
        {".tiff", PictureFormat::Tiff, colour},    {".ppm", PictureFormat::Pnm, colour},
        {".pgm", PictureFormat::Pnm, grey},        {".pbm", PictureFormat::Pnm, grey},
        {".pam", PictureFormat::Pam, colour},      {".pfm", PictureFormat::Pfm, floating},
        {".sr", PictureFormat::SunRaster, colour}, {".hdr", PictureFormat::Hdr, floating},
        {".jp2", PictureFormat::Jpeg2000, colour}, {".exr", PictureFormat::Exr, floating},
    };
    std::vector<Sample> samples;
    for (const auto& one : wanted) {
        Bytes bytes;
        if (!cv::imencode(one.extension, one.pixels, bytes)) throw std::runtime_error(one.extension);
        samples.push_back({one.extension, one.format, bytes});
    }
    // Lossy WebP (VP8) besides the lossless kind above (VP8L) and a bare JPEG 2000 code stream.
    Bytes lossy;
    cv::imencode(".webp", colour, lossy, {cv::IMWRITE_WEBP_QUALITY, 80});
    samples.push_back({".webp", PictureFormat::Webp, lossy});
    const Bytes& boxed = samples[12].bytes;
    const std::string text(boxed.begin(), boxed.end());
    samples.push_back({".j2k", PictureFormat::Jpeg2000, Bytes(boxed.begin() + text.find("jp2c") + 4, boxed.end())});
    return samples;
}

void append(Bytes& out, const std::string& text) {
    out.insert(out.end(), text.begin(), text.end());
}
void appendBig(Bytes& out, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}
void appendLittle(Bytes& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}
Bytes textBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes pngBytesDeclaring(unsigned width, unsigned height) {
    const std::string png = pngDeclaring(width, height);
    return Bytes(png.begin(), png.end());
}

Bytes jpegDeclaring(std::uint64_t width, std::uint64_t height) {
    Bytes jpeg{0xFF, 0xD8, 0xFF, 0xC0};
    appendBig(jpeg, 17, 2);
    jpeg.push_back(8);
    appendBig(jpeg, height, 2);
    appendBig(jpeg, width, 2);
    jpeg.push_back(3);
    for (unsigned char component = 1; component <= 3; ++component) {
        for (unsigned char field : {component, static_cast<unsigned char>(0x11), static_cast<unsigned char>(0)}) {
            jpeg.push_back(field);
        }
    }
    jpeg.insert(jpeg.end(), {0xFF, 0xD9});
    return jpeg;
}

Bytes tiffDeclaring(std::uint64_t width, std::uint64_t height, std::uint64_t tileSide) {
    Bytes tiff;
    append(tiff, std::string("II*\0", 4));
    appendLittle(tiff, 8, 4);
    const int entries = tileSide > 0 ? 4 : 2;
    appendLittle(tiff, static_cast<std::uint64_t>(entries), 2);
    const std::uint64_t tags[][2] = {{256, width}, {257, height}, {322, tileSide}, {323, tileSide}};
    for (int i = 0; i < entries; ++i) {
        appendLittle(tiff, tags[i][0], 2);
        appendLittle(tiff, 4, 2);  // LONG
        appendLittle(tiff, 1, 4);
        appendLittle(tiff, tags[i][1], 4);
    }
    appendLittle(tiff, 0, 4);
    return tiff;
}

Bytes codeStreamDeclaring(std::uint64_t width, std::uint64_t height) {
    Bytes stream{0xFF, 0x4F, 0xFF, 0x51};
    appendBig(stream, 41, 2);
    appendBig(stream, 0, 2);
    appendBig(stream, width, 4);
    appendBig(stream, height, 4);
    appendBig(stream, 0, 8);  // image offsets
    appendBig(stream, width, 4);
    appendBig(stream, height, 4);
    stream.resize(stream.size() + 15, 0);
    return stream;
}

struct Forged {
    const char* name;
    Bytes bytes;
    std::uint64_t width;
    std::uint64_t height;
};

// A header of every format declaring a picture far over the budget, with next to no data behind.
std::vector<Forged> forgedHeaders() {
    std::vector<Forged> forged;
    forged.push_back({"bomb.png", pngBytesDeclaring(32000, 32000), 32000, 32000});
    forged.push_back({"bomb.jpg", jpegDeclaring(65000, 65000), 65000, 65000});
    Bytes webp;
    append(webp, "RIFF");
    appendLittle(webp, 22, 4);
    append(webp, "WEBPVP8X");
    appendLittle(webp, 10, 4);
    appendLittle(webp, 0, 4);
    appendLittle(webp, 16383, 3);
    appendLittle(webp, 16383, 3);
    forged.push_back({"bomb.webp", webp, 16384, 16384});
    Bytes bmp;
    append(bmp, "BM");
    appendLittle(bmp, 0, 4);
    appendLittle(bmp, 0, 4);
    appendLittle(bmp, 54, 4);
    appendLittle(bmp, 40, 4);
    appendLittle(bmp, 40000, 4);
    appendLittle(bmp, static_cast<std::uint32_t>(-40000), 4);  // top row first
    appendLittle(bmp, 1, 2);
    appendLittle(bmp, 24, 2);
    bmp.resize(54, 0);
    forged.push_back({"bomb.bmp", bmp, 40000, 40000});
    forged.push_back({"bomb.tiff", tiffDeclaring(50000, 50000, 0), 50000, 50000});
    forged.push_back({"bomb.ppm", textBytes("P6\n# made big\n20000 20000\n255\n"), 20000, 20000});
    forged.push_back({"bomb.pbm", textBytes("P4 30000 30000 "), 30000, 30000});
    forged.push_back(
        {"bomb.pam", textBytes("P7\nWIDTH 20000\nHEIGHT 20000\nDEPTH 3\nMAXVAL 255\nENDHDR\n"), 20000, 20000});
    forged.push_back({"bomb.pfm", textBytes("PF\n20000 20000\n-1.0\n"), 20000, 20000});
    Bytes sun{0x59, 0xA6, 0x6A, 0x95};
    for (std::uint64_t field : {20000, 20000, 24, 0, 1, 0, 0}) appendBig(sun, field, 4);
    forged.push_back({"bomb.sr", sun, 20000, 20000});
    forged.push_back(
        {"bomb.hdr", textBytes("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 20000 +X 30000\n"), 30000, 20000});
    forged.push_back({"bomb.j2k", codeStreamDeclaring(40000, 40000), 40000, 40000});
    Bytes jp2;
    appendBig(jp2, 12, 4);
    append(jp2, "jP  \r\n\x87\n");
    appendBig(jp2, 20, 4);
    append(jp2, "ftypjp2 ");
    appendBig(jp2, 0, 4);
    append(jp2, "jp2 ");
    const Bytes stream = codeStreamDeclaring(40000, 40000);
    appendBig(jp2, 8 + stream.size(), 4);
    append(jp2, "jp2c");
    jp2.insert(jp2.end(), stream.begin(), stream.end());
    forged.push_back({"bomb.jp2", jp2, 40000, 40000});
    Bytes exr{0x76, 0x2F, 0x31, 0x01, 2, 0, 0, 0};
    append(exr, std::string("channels\0chlist\0", 16));
    appendLittle(exr, 1, 4);
    exr.push_back(0);
    append(exr, std::string("dataWindow\0box2i\0", 17));
    appendLittle(exr, 16, 4);
    for (std::int32_t corner : {-10, 0, 39989, 19999}) appendLittle(exr, static_cast<std::uint32_t>(corner), 4);
    exr.push_back(0);
    forged.push_back({"bomb.exr", exr, 40000, 20000});
    return forged;
}

// Points fd 2 at a file for the life of the object, so a test sees what reached standard error.
class StandardErrorFile {
public:
    StandardErrorFile()
        : path(std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") + "/likeness-stderr-" +
               std::to_string(getpid())) {
        fflush(stderr);
        saved = dup(2);
        const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(file, 2);
        close(file);
    }
    ~StandardErrorFile() {
        fflush(stderr);
        dup2(saved, 2);
        close(saved);
        unlink(path.c_str());
    }
    std::string text() const { return readFile(path); }

private:
    std::string path;
    int saved;
};

}  // namespace

TEST(PictureHeader, ReadsFormatAndSizeOfEveryFormatOpenCvWrites) {
    for (const Sample& sample : samplesOfEveryFormat()) {
        const PictureHeader header = readPictureHeader(sample.bytes.data(), sample.bytes.size());
        EXPECT_EQ(header.format, sample.format) << sample.extension;
        EXPECT_EQ(header.width, 75u) << sample.extension;
        EXPECT_EQ(header.height, 41u) << sample.extension;
        EXPECT_EQ(header.damage, "") << sample.extension;
        if (cv::haveImageWriter(std::string("x") + sample.extension)) {
            EXPECT_EQ(formatNamedBy(std::string("dir.d/x") + sample.extension), sample.format) << sample.extension;
        }
        const cv::Mat decoded = decodePicture(sample.bytes, sample.extension).pixels;
        EXPECT_EQ(decoded.size(), cv::Size(75, 41)) << sample.extension;
        EXPECT_EQ(decoded.type(), CV_8UC3) << sample.extension;
    }
    EXPECT_EQ(formatNamedBy("pics/A.JPEG"), PictureFormat::Jpeg);
    EXPECT_EQ(formatNamedBy("pics.png/photo"), PictureFormat::Unknown) << "a dot in a folder name is no extension";
    EXPECT_EQ(formatNamedBy("photo.txt"), PictureFormat::Unknown);
    const Bytes text = textBytes("<html>not a picture</html>");
    EXPECT_EQ(readPictureHeader(text.data(), text.size()).format, PictureFormat::Unknown);
    EXPECT_EQ(readPictureHeader(nullptr, 0).format, PictureFormat::Unknown);
}

// Cut-off files never claim a wrong size, and random damage to the header is read without a read
// outside the bytes (which the AddressSanitizer build reports).
TEST(PictureHeader, SurvivesCutsAndDamageToTheFirstBytes) {
    std::mt19937 random(11);
    for (const Sample& sample : samplesOfEveryFormat()) {
        for (std::size_t kept = 0; kept < std::min<std::size_t>(sample.bytes.size(), 600); ++kept) {
            const PictureHeader header = readPictureHeader(sample.bytes.data(), kept);
            EXPECT_TRUE(header.format == sample.format || header.format == PictureFormat::Unknown) << sample.extension;
            EXPECT_TRUE(header.width == 0 || header.width == 75) << sample.extension << " cut to " << kept;
            EXPECT_TRUE(header.height == 0 || header.height == 41) << sample.extension << " cut to " << kept;
        }
        for (int round = 0; round < 400; ++round) {
            Bytes damaged(sample.bytes.begin(),
                          sample.bytes.begin() + static_cast<long>(random() % (sample.bytes.size() + 1)));
            for (int flips = 0; flips < 3 && !damaged.empty(); ++flips) {
                damaged[random() % std::min<std::size_t>(damaged.size(), 96)] = static_cast<unsigned char>(random());
            }
            readPictureHeader(damaged.data(), damaged.size());
        }
    }
}

TEST(PictureDecoding, RefusesForgedHeadersBeforeDecodingAnything) {
    for (const Forged& bomb : forgedHeaders()) {
        const PictureHeader header = readPictureHeader(bomb.bytes.data(), bomb.bytes.size());
        EXPECT_EQ(header.width, bomb.width) << bomb.name;
        EXPECT_EQ(header.height, bomb.height) << bomb.name;
        LogWatch log;
        EXPECT_FALSE(decodePicture(bomb.bytes, bomb.name).usable()) << bomb.name;
        EXPECT_NE(log.added().find("pixels, over the limit of 100000000 pixels and 1048576 per side: picture=" +
                                   std::string(bomb.name)),
                  std::string::npos)
            << bomb.name << ": " << log.added();
        EXPECT_EQ(log.added().find("decoder"), std::string::npos) << bomb.name << ": no decoder ran";
    }
    LogWatch log;
    EXPECT_FALSE(decodePicture(pngBytesDeclaring(1u << 21, 1), "strip.png").usable()) << "one side over OpenCV's limit";
    EXPECT_FALSE(decodePicture(tiffDeclaring(64, 64, 60000), "tiles.tiff").usable()) << "a small page of huge tiles";
    EXPECT_NE(log.added().find("tiles of 3600000000 pixels"), std::string::npos);
    EXPECT_FALSE(decodePicture(jpegDeclaring(640, 0), "dnl.jpg").usable()) << "a JPEG giving its height later";
    EXPECT_NE(log.added().find("the JPEG header gives no size: picture=dnl.jpg"), std::string::npos);

    Bytes exact;
    cv::imencode(".png", makePicture(1, cv::Size(40, 25)), exact);
    PictureLimits budget;
    budget.maxPixels = 1000;
    EXPECT_TRUE(decodePicture(exact, "exact.png", budget).usable()) << "a picture of exactly the budget fits";
    budget.maxPixels = 999;
    EXPECT_FALSE(decodePicture(exact, "exact.png", budget).usable());
}

TEST(PictureDecoding, RefusesCutOffAndCorruptPicturesOfEveryFormat) {
    LogWatch log;
    for (const Sample& sample : samplesOfEveryFormat()) {
        for (double kept : {0.1, 0.5, 0.9}) {
            const Bytes cut(sample.bytes.begin(), sample.bytes.begin() + static_cast<long>(sample.bytes.size() * kept));
            EXPECT_FALSE(decodePicture(cut, sample.extension).usable()) << sample.extension << " cut to " << kept;
        }
        const Bytes lastByteMissing(sample.bytes.begin(), sample.bytes.end() - 1);
        EXPECT_FALSE(decodePicture(lastByteMissing, sample.extension).usable()) << sample.extension;
    }
    Bytes photo;
    cv::imencode(".jpg", makePicture(9, cv::Size(320, 240)), photo);
    EXPECT_FALSE(decodePicture(Bytes(photo.begin(), photo.begin() + 300), "first300.jpg").usable());
    EXPECT_FALSE(decodePicture(Bytes(photo.begin(), photo.begin() + photo.size() / 2), "half.jpg").usable());
    EXPECT_NE(log.added().find("not decodable, the JPEG data end before their end marker: picture=half.jpg"),
              std::string::npos);
    Bytes corrupt = photo;
    for (std::size_t i = photo.size() / 3; i < photo.size() / 3 + 40; ++i) corrupt[i] ^= 0x5a;
    EXPECT_FALSE(decodePicture(corrupt, "corrupt.jpg").usable());

    Bytes trailing = photo;
    trailing.insert(trailing.end(), 100, 0x42);
    EXPECT_TRUE(decodePicture(trailing, "trailing.jpg").usable()) << "bytes after the end marker are harmless";
    Bytes png;
    cv::imencode(".png", makePicture(9), png);
    Bytes badText(png.begin(), png.begin() + 33);
    append(badText, std::string("\0\0\0\x04tEXta\0bc\x01\x02\x03\x04", 16));
    badText.insert(badText.end(), png.begin() + 33, png.end());
    LogWatch warned;
    EXPECT_TRUE(decodePicture(badText, "text-crc.png").usable()) << "a damaged comment leaves the pixels whole";
    EXPECT_NE(warned.added().find("decoder says: libpng warning: tEXt: CRC error, picture=text-crc.png"),
              std::string::npos)
        << warned.added();
}

TEST(PictureDecoding, KeepsDecoderMessagesOffStandardErrorAndPutsItBack) {
    Bytes photo;
    cv::imencode(".jpg", makePicture(3, cv::Size(320, 240)), photo);
    Bytes corrupt = photo;
    for (std::size_t i = photo.size() / 3; i < photo.size() / 3 + 40; ++i) corrupt[i] ^= 0x5a;
    Bytes bmp;
    cv::imencode(".bmp", makePicture(3), bmp);
    bmp.resize(bmp.size() / 2);
    {
        StandardErrorFile standardError;
        LogWatch log;
        EXPECT_FALSE(decodePicture(corrupt, "in/corrupt\n.jpg").usable());
        EXPECT_FALSE(decodePicture(bmp, "half.bmp").usable());
        EXPECT_TRUE(decodePicture(photo, "whole.jpg").usable());
        std::fputs("host line\n", stderr);
        EXPECT_EQ(standardError.text(), "host line\n") << "only the host's own line reaches standard error";
        EXPECT_NE(log.added().find("decoder says: Corrupt JPEG data"), std::string::npos) << log.added();
        EXPECT_NE(log.added().find(", picture=in/corrupt\\n.jpg\n"), std::string::npos);
        EXPECT_NE(log.added().find("Unexpected end of input stream"), std::string::npos);
    }
    // A host may run with standard error closed; it must stay closed rather than become ours.
    const int saved = dup(2);
    close(2);
    EXPECT_FALSE(decodePicture(corrupt, "corrupt.jpg").usable());
    EXPECT_EQ(fcntl(2, F_GETFD), -1);
    dup2(saved, 2);
    close(saved);
}
