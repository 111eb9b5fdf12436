#include "Sha1.h"

#include <array>
#include <cstdint>
#include <cstdio>

namespace {

std::uint32_t rotateLeft(std::uint32_t value, int bits) {
    return (value << bits) | (value >> (32 - bits));
}

void compressBlock(std::array<std::uint32_t, 5>& state, const unsigned char* block) {
    std::array<std::uint32_t, 80> words{};
    for (int i = 0; i < 16; ++i) {
        words[i] = (std::uint32_t{block[4 * i]} << 24) | (std::uint32_t{block[4 * i + 1]} << 16) |
                   (std::uint32_t{block[4 * i + 2]} << 8) | std::uint32_t{block[4 * i + 3]};
    }
    for (int i = 16; i < 80; ++i) {
        words[i] = rotateLeft(words[i - 3] ^ words[i - 8] ^ words[i - 14] ^ words[i - 16], 1);
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int i = 0; i < 80; ++i) {
        std::uint32_t mix;
        std::uint32_t constant;
        if (i < 20) {
            mix = (b & c) | (~b & d);
            constant = 0x5A827999u;
        } else if (i < 40) {
            mix = b ^ c ^ d;
            constant = 0x6ED9EBA1u;
        } else if (i < 60) {
            mix = (b & c) | (b & d) | (c & d);
            constant = 0x8F1BBCDCu;
        } else {
            mix = b ^ c ^ d;
            constant = 0xCA62C1D6u;
        }
        const std::uint32_t next = rotateLeft(a, 5) + mix + e + constant + words[i];
        e = d;
        d = c;
        c = rotateLeft(b, 30);
        b = a;
        a = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

}  // namespace

std::string sha1Hex(const std::string& bytes) {
    std::array<std::uint32_t, 5> state{0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t whole = bytes.size() / 64 * 64;
    for (std::size_t offset = 0; offset < whole; offset += 64) compressBlock(state, data + offset);

    // The tail: the remaining bytes, a 1 bit, zeros, and the message length in bits (big-endian),
    // in one or two blocks.
    std::array<unsigned char, 128> tail{};
    const std::size_t remaining = bytes.size() - whole;
    for (std::size_t i = 0; i < remaining; ++i) tail[i] = data[whole + i];
    tail[remaining] = 0x80;
    const std::size_t tailLength = remaining < 56 ? 64 : 128;
    const std::uint64_t bitLength = static_cast<std::uint64_t>(bytes.size()) * 8;
    for (int i = 0; i < 8; ++i) tail[tailLength - 1 - i] = static_cast<unsigned char>(bitLength >> (8 * i));
    for (std::size_t offset = 0; offset < tailLength; offset += 64) compressBlock(state, tail.data() + offset);

    std::string hex;
    char digits[9];
    for (std::uint32_t word : state) {
        std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(word));
        hex += digits;
    }
    return hex;
}
