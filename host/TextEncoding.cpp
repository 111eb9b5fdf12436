// base64 and UTF-8 validation.
#include "TextEncoding.h"

#include <algorithm>

namespace likeness_cli {
namespace {

// The length of the well-formed UTF-8 sequence starting at text[at], or 0 when none starts there.
std::size_t sequenceLength(const std::string& text, std::size_t at) {
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char secondLow = 0x80;
    unsigned char secondHigh = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) secondLow = 0xA0;   // overlong
        if (lead == 0xED) secondHigh = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) secondLow = 0x90;   // overlong
        if (lead == 0xF4) secondHigh = 0x8F;  // past U+10FFFF
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    if (byte(at + 1) < secondLow || byte(at + 1) > secondHigh) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
    return length;
}

}  // namespace

std::string base64(const std::vector<unsigned char>& bytes) {
    static const char* const kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t available = std::min<std::size_t>(3, bytes.size() - i);
        unsigned long group = static_cast<unsigned long>(bytes[i]) << 16;
        if (available > 1) group |= static_cast<unsigned long>(bytes[i + 1]) << 8;
        if (available > 2) group |= bytes[i + 2];
        for (std::size_t sextet = 0; sextet < 4; ++sextet)
            text += sextet <= available ? kAlphabet[(group >> (18 - 6 * sextet)) & 0x3F] : '=';
    }
    return text;
}

std::string base64(const std::string& bytes) {
    return base64(std::vector<unsigned char>(bytes.begin(), bytes.end()));
}

bool isValidUtf8(const std::string& text) {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = sequenceLength(text, at);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

std::string withInvalidUtf8Replaced(const std::string& text) {
    std::string replaced;
    replaced.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = sequenceLength(text, at);
        if (length == 0) {
            replaced += "\xEF\xBF\xBD";
            ++at;
        } else {
            replaced.append(text, at, length);
            at += length;
        }
    }
    return replaced;
}

}  // namespace likeness_cli
