// The pixel budget, the damage checks and the decoding itself.
// The decoders (libjpeg, libpng, OpenJPEG, OpenCV's own) print to file descriptor 2; while one runs,
// that descriptor points at an in-memory file, and it is put back before anything else happens.
#include "module/PictureDecoder.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <iostream>

#include <opencv2/imgcodecs.hpp>

#include "log/EasyLog.h"
#include "module/LogText.h"
#include "module/PictureStore.h"

namespace likeness {
namespace {

// Points file descriptor 2 at an in-memory file for the life of the object (or until text()), then
// puts back what was there, a closed descriptor included. Captures nothing when that cannot be set up.
class StandardErrorCapture {
public:
    StandardErrorCapture() {
        std::fflush(stderr);
        std::cerr.flush();
        originalFlags = fcntl(STDERR_FILENO, F_GETFD);
        if (originalFlags >= 0) {
            original = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
            if (original < 0) return;
        }
        // Moved above 2 so that it stays apart from fd 2 even when fds 0-2 were closed.
        const int memory = memfd_create("likeness-decoder-messages", MFD_CLOEXEC);
        if (memory >= 0) {
            sink = fcntl(memory, F_DUPFD_CLOEXEC, 3);
            close(memory);
        }
        if (sink < 0 || dup2(sink, STDERR_FILENO) < 0) {
            release();
            return;
        }
        capturing = true;
    }
    ~StandardErrorCapture() {
        restore();
        release();
    }
    StandardErrorCapture(const StandardErrorCapture&) = delete;
    StandardErrorCapture& operator=(const StandardErrorCapture&) = delete;

    // Puts fd 2 back and returns what was written to it meanwhile (its first 4 KiB).
    std::string text() {
        restore();
        std::string written;
        if (sink < 0) return written;
        char buffer[4096];
        const ssize_t size = pread(sink, buffer, sizeof(buffer), 0);
        if (size > 0) written.assign(buffer, static_cast<std::size_t>(size));
        return written;
    }

private:
    void restore() {
        if (!capturing) return;
        capturing = false;
        std::fflush(stderr);
        std::cerr.flush();
        if (original >= 0) {
            dup2(original, STDERR_FILENO);
            fcntl(STDERR_FILENO, F_SETFD, originalFlags);
        } else {
            close(STDERR_FILENO);
        }
    }
    void release() {
        if (original >= 0) close(original);
        if (sink >= 0) close(sink);
        original = -1;
        sink = -1;
    }

    int originalFlags = -1;
    int original = -1;
    int sink = -1;
    bool capturing = false;
};

// libjpeg goes on after corrupt or missing data, filling in what it lacks, and only warns; these
// are its warnings about the data (the others are about unusual but valid markers).
bool jpegDecoderReportsDamage(const std::string& said) {
    for (const char* warning : {"Corrupt JPEG data", "Premature end of JPEG file", "Inconsistent progression sequence",
                                "Invalid SOS parameters"}) {
        if (said.find(warning) != std::string::npos) return true;
    }
    return false;
}

// Logs why the picture called name is refused and returns it.
std::string logRefusal(const std::string& reason, const std::string& name) {
    EasyLog::GetInstance()->WriteLog(EasyLog::LOG_INFO, "not decodable, %s: picture=%s\n", reason.c_str(),
                                     logText(name).c_str());
    return reason;
}

std::string sizeText(std::uint64_t width, std::uint64_t height) {
    return std::to_string(width) + " x " + std::to_string(height);
}

// Why the header alone rules the picture out, or an empty string.
std::string headerRefusal(const PictureHeader& header, const PictureLimits& limits) {
    const std::string format = formatName(header.format);
    if (!header.sizeKnown()) return "the " + format + " header gives no size";
    const std::string limit = " pixels, over the limit of " + std::to_string(limits.maxPixels) + " pixels and " +
                              std::to_string(limits.maxSide) + " per side";
    if (!sizeWithinLimits(header, limits)) return sizeText(header.width, header.height) + limit;
    if (header.tilePixels > limits.maxPixels) return "tiles of " + std::to_string(header.tilePixels) + limit;
    return header.damage;
}

}  // namespace

bool sizeWithinLimits(const PictureHeader& header, const PictureLimits& limits) {
    return header.sizeKnown() && header.width <= limits.maxSide && header.height <= limits.maxSide &&
           header.width * header.height <= limits.maxPixels;
}

DecodedPicture decodePicture(const std::vector<unsigned char>& bytes, const std::string& name,
                             const PictureLimits& limits, PictureChannels channels) {
    DecodedPicture decoded;
    const PictureHeader header = readPictureHeader(bytes.data(), bytes.size());
    decoded.format = header.format;
    if (header.format == PictureFormat::Unknown) {
        decoded.refusal = bytes.empty() ? "an empty file" : "not a picture of a format read here";
        return decoded;
    }
    if (bytes.size() > static_cast<std::size_t>(INT_MAX)) {
        decoded.refusal = "too many bytes to decode";
        return decoded;
    }
    const std::string refusal = headerRefusal(header, limits);
    if (!refusal.empty()) {
        decoded.refusal = logRefusal(refusal, name);
        return decoded;
    }
    const cv::Mat encoded(1, static_cast<int>(bytes.size()), CV_8U, const_cast<unsigned char*>(bytes.data()));
    StandardErrorCapture capture;
    const bool unchanged = channels == PictureChannels::withAlpha && header.format != PictureFormat::Jpeg;
    cv::Mat pixels = cv::imdecode(encoded, unchanged ? cv::IMREAD_UNCHANGED : cv::IMREAD_COLOR);
    std::string said = capture.text();
    while (!said.empty() && (said.back() == '\n' || said.back() == ' ')) said.pop_back();
    if (!said.empty()) {
        EasyLog::GetInstance()->WriteLog(EasyLog::LOG_INFO, "decoder says: %s, picture=%s\n", logText(said).c_str(),
                                         logText(name).c_str());
    }
    if (pixels.empty()) {
        decoded.refusal = logRefusal("the " + std::string(formatName(header.format)) + " decoder failed", name);
        return decoded;
    }
    if (header.format == PictureFormat::Jpeg && jpegDecoderReportsDamage(said)) {
        decoded.refusal = logRefusal("the JPEG decoder reports corrupt data", name);
        return decoded;
    }
    decoded.pixels = pixels;
    return decoded;
}

DecodedPicture readPicture(const std::string& path, PictureChannels channels, const PictureLimits& limits) {
    std::vector<unsigned char> bytes;
    DecodedPicture picture;
    picture.refusal = readPictureFile(path, bytes);
    if (picture.refusal.empty()) picture = decodePicture(bytes, path, limits, channels);
    return picture;
}

}  // namespace likeness
