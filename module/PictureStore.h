// A picture's bytes in and out: reading a source file whole, and storing the copy at a key so that
// the key holds the whole copy, synced to the disk, or what it held before, never a part.
#ifndef LIKENESS_MODULE_PICTURESTORE_H
#define LIKENESS_MODULE_PICTURESTORE_H

#include <cstddef>
#include <string>
#include <vector>

#include "module/PictureDecoder.h"

// Larger local files are not read: no picture within the pixel budget needs 1 GiB.
inline constexpr std::size_t kMaxPictureFileBytes = std::size_t{1} << 30;

// Reads the regular file at path whole into bytes. Returns why not, for a person, when it cannot be
// opened or read, is no regular file (a folder, a FIFO, a device) or holds more than maxBytes (bytes
// is then empty); an empty string when it was read.
std::string readPictureFile(const std::string& path, std::vector<unsigned char>& bytes,
                            std::size_t maxBytes = kMaxPictureFileBytes);

// Stores the picture read from the file `source` (its bytes, and the pixels decoded from them) at
// key. The copy is the source's own bytes when key's extension names the source's format, or no
// format; it is picture re-encoded in the format key names otherwise. It is written beside key,
// synced and renamed over key, and key's folder synced; it keeps the source file's modification
// time. When key is the source file itself, that file is only synced. Returns false, leaving key
// as it was, when any step fails.
bool storePictureCopy(const std::string& key, const std::string& source, const std::vector<unsigned char>& bytes,
                      const likeness::DecodedPicture& picture);

#endif
