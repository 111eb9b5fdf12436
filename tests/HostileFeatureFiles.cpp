// The hostile feature files' value helpers.
#include "HostileFeatureFiles.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "module/FeatureText.h"

namespace {

float fromBits(std::uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

}  // namespace

// Floats of every kind: each binary exponent with its extreme and random mantissas and both
// signs, subnormals, zeros, NaN and infinities, the neighbours of every power of ten, and the
// values whose seventh digit is an exact tie.
std::vector<float> everyKindOfFloat(std::mt19937& random) {
    std::vector<float> values;
    for (std::uint32_t exponent = 0; exponent < 256; ++exponent) {
        for (std::uint32_t mantissa :
             {0u, 1u, 0x7FFFFFu, 0x400000u, static_cast<std::uint32_t>(random()) & 0x7FFFFFu}) {
            for (std::uint32_t sign : {0u, 0x80000000u}) values.push_back(fromBits(sign | exponent << 23 | mantissa));
        }
    }
    values.push_back(-std::numeric_limits<float>::quiet_NaN());
    for (int power = -45; power <= 38; ++power) {
        const float near = std::strtof(("1e" + std::to_string(power)).c_str(), nullptr);
        values.insert(values.end(),
                      {near, std::nextafter(near, 0.0f), std::nextafter(near, std::numeric_limits<float>::infinity())});
    }
    for (float tie : {123456.5f, 123457.5f, 999999.5f, 1000005.0f, 1234565.0f, 9999995.0f, 0.5f, 100000.5f}) {
        values.insert(values.end(), {tie, -tie});
    }
    for (int i = 0; i < 200000; ++i) values.push_back(fromBits(static_cast<std::uint32_t>(random())));
    return values;
}

// Texts a value field may hold: what the writer makes, and what it never makes.
const std::vector<std::string>& unusualValueTexts() {
    static const std::vector<std::string> texts{
        "abc",
        "0x",
        "1e",
        ".",
        "-",
        "+",
        "--1",
        "1-",
        "1..5",
        "1.5e",
        "1.5e+",
        "1,5",
        "1e999",
        "-1e999",
        "1e39",
        "3.40282e+38",
        "3.40283e+38",
        "-3.40283e+38",
        "1e-999",
        "1e-46",
        "7.1e-46",
        "1.4013e-45",
        "1.17549e-38",
        "0x1p3",
        "+1",
        " 1",
        "\t2",
        "1 ",
        "inf",
        "-inf",
        "infinity",
        "INF",
        "infinit",
        "nan",
        "-nan",
        "nan(123)",
        "NaN",
        ".5",
        "5.",
        "-.5",
        "-0",
        "0.000123457",
        "1.23457e-05",
        "12345678",
        "1234567.1234567",
        "0.00000001",
        "00000000000000000000001.5",
        "1.00000000000000000000000001",
        "9007199254740993",
        "123456789012345678901234567890",
        std::string("1\0"
                    "2",
                    3),
        "1\r",
        "8388608.5",
        "8388609.5",
        "0.500000029802322387695312"};  // the last three lie halfway between two floats
    return texts;
}

std::string textOf(float value) {
    char text[kMaxValueTextBytes];
    return std::string(text, writeValueText(text, value));
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

void expectSameCollection(const Collection& actual, const Collection& expected, const std::string& context) {
    ASSERT_EQ(actual.size(), expected.size()) << context;
    for (auto a = actual.begin(), e = expected.begin(); a != actual.end(); ++a, ++e) {
        ASSERT_EQ(a->first, e->first) << context;
        ASSERT_TRUE(sameBits(a->second, e->second)) << context << ": values of " << a->first;
    }
}
