// The loader's fast path for the value texts the writer makes: [-]digits[.digits], read eight
// bytes at a time. Inline, since the loader calls it for every field of every record.
#ifndef LIKENESS_MODULE_PLAINDECIMAL_H
#define LIKENESS_MODULE_PLAINDECIMAL_H

#include <cstddef>
#include <cstdint>
#include <cstring>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the scanner reads bytes as little-endian words");

// How many bytes from a field's first byte scanPlainDecimal may read, whatever the field's length.
inline constexpr std::size_t kPlainDecimalReach = 17;

namespace plain_decimal {

inline constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7};
// The doubles nearest to 10^-k.
inline constexpr double kInversePowersOfTen[] = {1e0, 1e-1, 1e-2, 1e-3, 1e-4, 1e-5, 1e-6, 1e-7};
inline constexpr std::uint64_t kIntegerPowersOfTen[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};
// Signs applied by multiplication, exact and without a branch: a field's sign is a coin toss.
inline constexpr double kSigns[] = {1.0, -1.0};

inline std::uint64_t loadWord(const char* at) {
    std::uint64_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

// Bit 7 set in each byte of word that is not an ASCII digit.
inline std::uint64_t nonDigitBytes(std::uint64_t word) {
    const std::uint64_t offset = word ^ 0x3030303030303030u;  // digits become 0..9
    return (((offset & 0x7F7F7F7F7F7F7F7Fu) + 0x7676767676767676u) | offset) & 0x8080808080808080u;
}

inline unsigned firstMarkedByte(std::uint64_t marks) {
    return static_cast<unsigned>(__builtin_ctzll(marks)) / 8;
}

// The number that the first count (0 to 8) bytes of word, all digits, write.
inline std::uint64_t leadingNumber(std::uint64_t word, unsigned count) {
    if (count == 0) return 0;
    // Move the digits to the end of an eight-digit number with leading zeros, then add pairs,
    // quadruples and halves in place.
    std::uint64_t value = (word << (8 * (8 - count))) & 0x0F0F0F0F0F0F0F0Fu;
    value = (value * 10 + (value >> 8)) & 0x00FF00FF00FF00FFu;
    value = (value * 100 + (value >> 16)) & 0x0000FFFF0000FFFFu;
    return (value * 10000 + (value >> 32)) & 0xFFFFFFFFu;
}

// The float strtod's double nearest to mantissa / 10^decimals narrows to, for mantissa below
// 10^8. The product by the nearest double to 10^-decimals is within 2.5 ulps of that double, so
// unless it lies that close to a point halfway between two floats (the 29 bits a float drops
// read about 2^28), both narrow to the same float; near one, the division decides.
inline float narrowQuotient(std::uint64_t mantissa, unsigned decimals) {
    const double numerator = static_cast<double>(static_cast<std::int64_t>(mantissa));
    const double product = numerator * kInversePowersOfTen[decimals];
    std::uint64_t bits;
    std::memcpy(&bits, &product, sizeof bits);
    const std::uint64_t dropped = bits & ((std::uint64_t{1} << 29) - 1);
    constexpr std::uint64_t kHalfway = std::uint64_t{1} << 28;
    constexpr std::uint64_t kMargin = 4;
    if (dropped - (kHalfway - kMargin) <= 2 * kMargin) return static_cast<float>(numerator / kPowersOfTen[decimals]);
    return static_cast<float>(product);
}

}  // namespace plain_decimal

// Reads a field at `at` of the form [-]digits[.digits] (at most 7 digits on each side of the
// point) that ends with "|": returns the "|" and sets value to the float strtod's double narrows
// to, or returns nullptr for the general reader to decide. May read kPlainDecimalReach bytes.
inline const char* scanPlainDecimal(const char* at, float& value) {
    using namespace plain_decimal;
    const bool negative = *at == '-';
    const char* digits = at + (negative ? 1 : 0);
    // Both words are loaded at once and the fraction's is cut out of them: a load that waited for
    // the point's place would lengthen the chain from one field to the next.
    const unsigned __int128 bytes = loadWord(digits) | static_cast<unsigned __int128>(loadWord(digits + 8)) << 64;
    const std::uint64_t head = static_cast<std::uint64_t>(bytes);
    const std::uint64_t headStops = nonDigitBytes(head);
    if (headStops == 0) return nullptr;
    const unsigned wholeDigits = firstMarkedByte(headStops);
    const char stop = static_cast<char>(head >> (8 * wholeDigits));
    if (stop == '|') {
        if (wholeDigits == 0) return nullptr;
        value = static_cast<float>(static_cast<double>(leadingNumber(head, wholeDigits)) * kSigns[negative ? 1 : 0]);
        return digits + wholeDigits;
    }
    if (stop != '.') return nullptr;
    const std::uint64_t tail = static_cast<std::uint64_t>(bytes >> (8 * (wholeDigits + 1)));
    const std::uint64_t tailStops = nonDigitBytes(tail);
    if (tailStops == 0) return nullptr;
    const unsigned fractionDigits = firstMarkedByte(tailStops);
    if (static_cast<char>(tail >> (8 * fractionDigits)) != '|' || wholeDigits + fractionDigits == 0) return nullptr;
    float magnitude = 0;
    if (wholeDigits + fractionDigits <= 8) {
        // The usual case: the digits on both sides joined into one word, converted at once.
        const std::uint64_t wholeBytes = (std::uint64_t{1} << (8 * wholeDigits)) - 1;
        const std::uint64_t joined = (head & wholeBytes) | (tail << (8 * wholeDigits));
        magnitude = narrowQuotient(leadingNumber(joined, wholeDigits + fractionDigits), fractionDigits);
    } else {
        // Up to 14 digits: below 2^53, so the one rounding of the division is strtod's.
        const std::uint64_t mantissa =
            leadingNumber(head, wholeDigits) * kIntegerPowersOfTen[fractionDigits] + leadingNumber(tail, fractionDigits);
        magnitude = static_cast<float>(static_cast<double>(static_cast<std::int64_t>(mantissa)) / kPowersOfTen[fractionDigits]);
    }
    value = magnitude * static_cast<float>(kSigns[negative ? 1 : 0]);
    return digits + wholeDigits + 1 + fractionDigits;
}

#endif
