// Encodings the command's output needs: base64 for embedded pictures and exact bytes, and UTF-8
// checks for keys and paths, which are byte strings that JSON and HTML cannot carry as they are.
#ifndef LIKENESS_HOST_TEXTENCODING_H
#define LIKENESS_HOST_TEXTENCODING_H

#include <string>
#include <vector>

namespace likeness_cli {

// Standard base64 with padding.
std::string base64(const std::vector<unsigned char>& bytes);
std::string base64(const std::string& bytes);

// True when text is well-formed UTF-8 (no overlong forms, surrogates or code points past U+10FFFF).
bool isValidUtf8(const std::string& text);

// text with every byte that is not part of a well-formed UTF-8 sequence replaced by U+FFFD.
std::string withInvalidUtf8Replaced(const std::string& text);

}  // namespace likeness_cli

#endif
