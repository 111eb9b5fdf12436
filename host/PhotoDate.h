// When a photo was taken, as its camera wrote it in the file (EXIF DateTimeOriginal): a date that
// copying, downloading or adding the file does not change, unlike its modification time.
#ifndef LIKENESS_HOST_PHOTODATE_H
#define LIKENESS_HOST_PHOTODATE_H

#include <cstdint>
#include <optional>
#include <string>

namespace likeness_cli {

struct PhotoDate {
    std::int64_t seconds = 0;  // since 1970, the camera's clock taken as this machine's local time
    std::string text;          // "2015-06-01 12:30:00", as the camera's clock read
};

// The date the photo in the file at path was taken, from the EXIF block of a JPEG (APP1), a PNG
// (eXIf) or a WebP (EXIF); nothing when the file holds none or cannot be read. Reads only the
// file's structure up to the block, never past its end.
std::optional<PhotoDate> photoTakenDate(const std::string& path);

// The same for a TIFF structure in memory (what the EXIF blocks hold).
std::optional<PhotoDate> exifTakenDate(const std::string& tiff);

}  // namespace likeness_cli

#endif
