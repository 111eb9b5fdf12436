// Value text of the feature file. Writing rounds in double arithmetic where that provably gives
// %g's digits and leaves the rest (near-ties, zero, NaN, infinities) to std::to_chars; reading
// uses fast_float, which rounds exactly as strtod does, and strtod for what fast_float declines.
#include "module/FeatureText.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>
#include <system_error>

#include <fast_float/fast_float.h>

namespace {

constexpr int kLowestPowerOfTen = -34;
// The doubles nearest to 10^-34 ... 10^51: enough to scale every float magnitude to six digits.
constexpr double kPowersOfTen[] = {
    1e-34, 1e-33, 1e-32, 1e-31, 1e-30, 1e-29, 1e-28, 1e-27, 1e-26, 1e-25, 1e-24, 1e-23, 1e-22, 1e-21, 1e-20,
    1e-19, 1e-18, 1e-17, 1e-16, 1e-15, 1e-14, 1e-13, 1e-12, 1e-11, 1e-10, 1e-9,  1e-8,  1e-7,  1e-6,  1e-5,
    1e-4,  1e-3,  1e-2,  1e-1,  1e0,   1e1,   1e2,   1e3,   1e4,   1e5,   1e6,   1e7,   1e8,   1e9,   1e10,
    1e11,  1e12,  1e13,  1e14,  1e15,  1e16,  1e17,  1e18,  1e19,  1e20,  1e21,  1e22,  1e23,  1e24,  1e25,
    1e26,  1e27,  1e28,  1e29,  1e30,  1e31,  1e32,  1e33,  1e34,  1e35,  1e36,  1e37,  1e38,  1e39,  1e40,
    1e41,  1e42,  1e43,  1e44,  1e45,  1e46,  1e47,  1e48,  1e49,  1e50,  1e51};

double powerOfTen(int exponent) {
    return kPowersOfTen[exponent - kLowestPowerOfTen];
}

// A scaled magnitude below 1e6 carries two roundings of half an ulp (under 2.3e-10) from the
// power of ten and the product; closer than this to a tie or a power of ten, it cannot decide.
constexpr double kScalingError = 1e-9;

bool undecidable(double scaled, double boundary) {
    return std::fabs(scaled - boundary) <= kScalingError;
}

// The first six significant digits of a finite non-zero magnitude, rounded to nearest as %g
// rounds them, and the decimal exponent of the first digit after that rounding. False when double
// arithmetic cannot be sure of them.
bool roundToSixDigits(double magnitude, long& digits, int& exponent) {
    int binaryExponent = 0;
    std::frexp(magnitude, &binaryExponent);
    // magnitude is in [2^(b-1), 2^b), so this is floor(log10(magnitude)) or one less.
    int decimal = static_cast<int>(std::floor((binaryExponent - 1) * 0.30102999566398120));
    double scaled = magnitude * powerOfTen(5 - decimal);
    if (undecidable(scaled, 1e6)) return false;
    if (scaled > 1e6) {
        ++decimal;
        scaled = magnitude * powerOfTen(5 - decimal);
    }
    if (undecidable(scaled, 1e5) || undecidable(scaled, 1e6)) return false;
    const double whole = std::floor(scaled);
    const double fraction = scaled - whole;
    if (undecidable(fraction, 0.5)) return false;
    digits = static_cast<long>(whole) + (fraction > 0.5 ? 1 : 0);
    if (digits == 1000000) {
        digits = 100000;
        ++decimal;
    }
    exponent = decimal;
    return true;
}

// %g's layout of six digits d0..d5 worth d0.d1d2d3d4d5 x 10^exponent, trailing zeros dropped.
char* writeSixDigits(char* out, long digits, int exponent) {
    char digit[6];
    for (int i = 5; i >= 0; --i) {
        digit[i] = static_cast<char>('0' + digits % 10);
        digits /= 10;
    }
    int last = 5;
    while (last > 0 && digit[last] == '0') --last;
    if (exponent < -4 || exponent >= 6) {
        *out++ = digit[0];
        if (last > 0) *out++ = '.';
        for (int i = 1; i <= last; ++i) *out++ = digit[i];
        const int size = std::abs(exponent);  // at most 45 for a float
        *out++ = 'e';
        *out++ = exponent < 0 ? '-' : '+';
        *out++ = static_cast<char>('0' + size / 10);
        *out++ = static_cast<char>('0' + size % 10);
    } else if (exponent >= 0) {
        for (int i = 0; i <= exponent; ++i) *out++ = digit[i];
        if (last > exponent) *out++ = '.';
        for (int i = exponent + 1; i <= last; ++i) *out++ = digit[i];
    } else {
        *out++ = '0';
        *out++ = '.';
        for (int zeros = -1 - exponent; zeros > 0; --zeros) *out++ = '0';
        for (int i = 0; i <= last; ++i) *out++ = digit[i];
    }
    return out;
}

bool readWithStrtod(const char* begin, const char* end, double& wide) {
    const std::string text(begin, end);  // strtod needs a terminator
    char* stop = nullptr;
    wide = std::strtod(text.c_str(), &stop);
    return stop != text.c_str() && stop == text.c_str() + text.size();
}

// An infinity that strtod read from "inf" or "infinity", not one it made of a finite number.
bool spellsInfinity(const char* begin, const char* end) {
    while (begin != end && std::isspace(static_cast<unsigned char>(*begin))) ++begin;
    if (begin != end && (*begin == '-' || *begin == '+')) ++begin;
    return begin != end && (*begin == 'i' || *begin == 'I');
}

}  // namespace

char* writeValueText(char* out, float value) {
    if (value == 0.0f) {
        if (std::signbit(value)) *out++ = '-';
        *out++ = '0';
        return out;
    }
    long digits = 0;
    int exponent = 0;
    if (std::isfinite(value) && roundToSixDigits(std::fabs(static_cast<double>(value)), digits, exponent)) {
        if (std::signbit(value)) *out++ = '-';
        return writeSixDigits(out, digits, exponent);
    }
    return std::to_chars(out, out + kMaxValueTextBytes, static_cast<double>(value), std::chars_format::general, 6).ptr;
}

bool readValueText(const char* begin, const char* end, float& value) {
    double wide = 0;
    const fast_float::from_chars_result parsed = fast_float::from_chars(begin, end, wide);
    // fast_float reads no leading white space, "+" or hexadecimal, and drops NaN payloads.
    if (parsed.ptr != end || parsed.ec != std::errc() || std::isnan(wide)) {
        if (!readWithStrtod(begin, end, wide)) return false;
    }
    value = static_cast<float>(wide);
    return !std::isinf(value) || spellsInfinity(begin, end);
}
