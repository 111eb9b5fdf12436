// The loader's fast path for the value texts the writer makes: [-]digits[.digits], read eight
// bytes at a time. Inline, since the loader calls it for every field of every record.
#ifndef LIKENESS_MODULE_PLAINDECIMAL_H
#define LIKENESS_MODULE_PLAINDECIMAL_H

#include <cstddef>
#include <cstdint>
#include <cstring>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the scanner reads bytes as little-endian words");

// How many bytes from a field's first byte readPlainDecimal may read, whatever the field's length.
inline constexpr std::size_t kPlainDecimalReach = 10;

namespace plain_decimal {

inline constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7};
// The doubles nearest to 10^-k.
inline constexpr double kInversePowersOfTen[] = {1e0, 1e-1, 1e-2, 1e-3, 1e-4, 1e-5, 1e-6, 1e-7};
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

// Reads the field [begin, begin + length) when it is [-]digits[.digits] with at most 8 digits and
// at most 7 after the point: returns true and sets value to the float strtod's double narrows
// to, or returns false for the general reader to decide. Fields are read apart from one another,
// so the reads of neighbouring fields overlap. May read kPlainDecimalReach bytes from begin.
[[gnu::always_inline]] inline bool readPlainDecimal(const char* begin, std::size_t length, float& value) {
    using namespace plain_decimal;
    const bool negative = *begin == '-';
    const char* digits = begin + (negative ? 1 : 0);
    const std::size_t size = length - (negative ? 1 : 0);
    if (size == 0 || size > 9) return false;
    // Lengths vary from field to field, so everything that depends on one is selected, not
    // branched on: a mispredicted branch costs more than the whole conversion.
    const std::uint64_t head = loadWord(digits);
    // The ninth byte counts only in a field of nine: eight digits and a point.
    const std::uint64_t ninthByte = static_cast<unsigned char>(digits[8]);
    const std::uint64_t ninth = size == 9 ? ninthByte : std::uint64_t{'0'};
    const unsigned inHead = size < 8 ? static_cast<unsigned>(size) : 8u;
    const std::uint64_t stops = nonDigitBytes(head) & (~std::uint64_t{0} >> (64 - 8 * inHead));
    if (ninth - '0' > 9) return false;
    if (stops == 0) {
        if (size > 8) return false;
        value = static_cast<float>(static_cast<double>(leadingNumber(head, static_cast<unsigned>(size))) *
                                   kSigns[negative ? 1 : 0]);
        return true;
    }
    const unsigned point = firstMarkedByte(stops);
    const unsigned fractionDigits = static_cast<unsigned>(size) - point - 1;
    // One point, nothing else that is not a digit, and a digit somewhere.
    if (static_cast<char>(head >> (8 * point)) != '.' || (stops & (stops - 1)) != 0 || size == 1 ||
        fractionDigits >= 8) {
        return false;
    }
    // The digits on both sides joined into one word, converted at once.
    const std::uint64_t wholeBytes = (std::uint64_t{1} << (8 * point)) - 1;
    const std::uint64_t joined = (head & wholeBytes) | ((head >> 8 >> (8 * point)) << (8 * point)) | ninth << 56;
    value = narrowQuotient(leadingNumber(joined, static_cast<unsigned>(size) - 1), fractionDigits) *
            static_cast<float>(kSigns[negative ? 1 : 0]);
    return true;
}

#endif
