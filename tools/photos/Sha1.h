// SHA-1 of a byte string, used only to put the benchmark's photos in a fixed, content-defined order.
// Self-contained so the benchmark needs no crypto library.
#ifndef LIKENESS_TOOLS_PHOTOS_SHA1_H
#define LIKENESS_TOOLS_PHOTOS_SHA1_H

#include <string>

// The 40 lowercase hexadecimal digits of the SHA-1 digest of bytes.
std::string sha1Hex(const std::string& bytes);

#endif
