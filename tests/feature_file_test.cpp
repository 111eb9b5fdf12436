// The fast value text, writer and loader against their plain references (tests/LiteralFeatureFile.h),
// bit for bit, on every kind of float and on random and hostile files; and how the loader reads
// through the file seam: short reads, blocks, read errors, lines too long to be records.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FailingFileCalls.h"
#include "LiteralFeatureFile.h"
#include "TestSupport.h"
#include "log/EasyLog.h"
#include "module/FeatureDB.h"
#include "module/FeatureLoader.h"
#include "module/FeatureText.h"
#include "module/PlainDecimal.h"

namespace fs = std::filesystem;

namespace {

using Collection = std::map<std::string, std::vector<float>>;

float fromBits(std::uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Floats of every kind: each binary exponent with its extreme and random mantissas and both
// signs, subnormals, zeros, NaN and infinities, the neighbours of every power of ten, and the
// values whose seventh digit is an exact tie.
std::vector<float> everyKindOfFloat(std::mt19937& random) {
    std::vector<float> values;
    for (std::uint32_t exponent = 0; exponent < 256; ++exponent) {
        for (std::uint32_t mantissa : {0u, 1u, 0x7FFFFFu, 0x400000u, static_cast<std::uint32_t>(random()) & 0x7FFFFFu}) {
            for (std::uint32_t sign : {0u, 0x80000000u}) values.push_back(fromBits(sign | exponent << 23 | mantissa));
        }
    }
    values.push_back(-std::numeric_limits<float>::quiet_NaN());
    for (int power = -45; power <= 38; ++power) {
        const float near = std::strtof(("1e" + std::to_string(power)).c_str(), nullptr);
        values.insert(values.end(), {near, std::nextafter(near, 0.0f), std::nextafter(near, std::numeric_limits<float>::infinity())});
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
        "abc", "0x", "1e", ".", "-", "+", "--1", "1-", "1..5", "1.5e", "1.5e+", "1,5", "1e999", "-1e999", "1e39",
        "3.40282e+38", "3.40283e+38", "-3.40283e+38", "1e-999", "1e-46", "7.1e-46", "1.4013e-45", "1.17549e-38",
        "0x1p3", "+1", " 1", "\t2", "1 ", "inf", "-inf", "infinity", "INF", "infinit", "nan", "-nan", "nan(123)",
        "NaN", ".5", "5.", "-.5", "-0", "0.000123457", "1.23457e-05", "12345678", "1234567.1234567",
        "0.00000001", "00000000000000000000001.5", "1.00000000000000000000000001", "9007199254740993",
        "123456789012345678901234567890", std::string("1\0" "2", 3), "1\r", "8388608.5", "8388609.5",
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

// A folder of keys that name files, folders, links and the module's own files, and random
// feature files over them: records good and bad in every way the loader must tell apart.
class HostileFiles {
public:
    // dbPath is the feature file the keys must not name; it is in a folder holding many keys.
    HostileFiles(unsigned seed, const std::string& dbPath) : random(seed) {
        fs::create_directories("pics");
        fs::create_directories("dir");
        fs::create_directories("other");
        for (int i = 0; i < 40; ++i) writeFile("pics/p" + std::to_string(i) + ".jpg", "x");
        for (const char* name : {"other/x.jpg", "tmp.jpg", "cr\r.jpg"}) writeFile(name, "x");
        fs::create_symlink("pics/p0.jpg", "link.jpg");
        fs::create_symlink("dir", "dirlink");
        fs::create_symlink(dbPath, "dblink");
        fs::create_symlink("missing.jpg", "dangling");
        keys = {"other/x.jpg", "./pics/p1.jpg", "pics//p2.jpg", "pics/../pics/p3.jpg", "missing.jpg",
                "pics/missing.jpg", "dir", "dir/", "..", ".", "/", "pics/p4.jpg/", "link.jpg", "dirlink", "dblink",
                "dangling", dbPath, "./" + dbPath, "dir/../" + dbPath, EasyLog::GetInstance()->FilePath(), "tmp.jpg",
                "cr\r.jpg", std::string("pics/p5.jpg\0x", 13), "pics/p6.jpg ", " pics/p7.jpg"};
        for (int i = 0; i < 40; ++i) keys.push_back("pics/p" + std::to_string(i) + ".jpg");
        for (float value : everyKindOfFloat(random)) values.push_back(textOf(value));
        for (int i = 0; i < 2000; ++i) values.push_back(textOf(std::normal_distribution<float>(0, 1.33f)(random)));
    }

    std::string file(int featDim, int lines) {
        std::string text;
        for (int i = 0; i < lines; ++i) text += line(featDim);
        return text;
    }

private:
    std::size_t pick(std::size_t count) { return static_cast<std::size_t>(random() % count); }

    // Short records get unusual texts more often, so that some of them still load.
    std::string valueText(bool unusual, int featDim) {
        if (unusual && pick(featDim > 8 ? 40 : 3) == 0) return unusualValueTexts()[pick(unusualValueTexts().size())];
        return values[pick(values.size())];
    }

    std::string line(int featDim) {
        std::string text = pick(10) == 0 ? "   " : "";
        text += keys[pick(keys.size())] + "|";
        const int fields = featDim + (pick(10) == 0 ? static_cast<int>(pick(3)) - 1 : 0);
        const bool unusual = pick(4) == 0;
        for (int i = 0; i < fields; ++i) text += valueText(unusual, featDim) + (unusual && pick(60) == 0 ? "||" : "|");
        switch (pick(14)) {
        case 0: text.resize(pick(text.size() + 1)); break;  // torn anywhere
        case 1: text.pop_back(); break;                     // torn before the last "|"
        case 2: text += "\r"; break;
        case 3: text += "  "; break;
        case 4: text = "|" + text; break;
        case 5: text += std::string(kMaxRecordLineBytes - std::min(text.size(), kMaxRecordLineBytes) + pick(2), ' ');
        }
        return text + "\n";
    }

    std::mt19937 random;
    std::vector<std::string> keys;
    std::vector<std::string> values;
};

Collection loadFast(const std::string& path, int featDim, bool* opened = nullptr) {
    Collection collection{{"before", {1.0f}}};
    const bool read = loadFeatureFile(path, featDim, KeyRules(path, EasyLog::GetInstance()->FilePath()), collection);
    if (opened != nullptr) *opened = read;
    return collection;
}

Collection loadLiteral(const std::string& path, int featDim) {
    return literalLoad(path, featDim, literalKeyTest(path, EasyLog::GetInstance()->FilePath()));
}

}  // namespace

TEST(ValueText, WritesWhatAStreamWritesAndReadsWhatStrtodReads) {
    std::mt19937 random(7);
    const std::vector<float> values = everyKindOfFloat(random);
    EXPECT_EQ(featureRecord("k", values), literalRecord("k", values));

    std::vector<std::string> texts = unusualValueTexts();
    for (float value : values) texts.push_back(textOf(value));
    for (const std::string& text : texts) {
        float fast = 0;
        float literal = 0;
        const bool fastReads = readValueText(text.data(), text.data() + text.size(), fast);
        ASSERT_EQ(fastReads, literalValue(text, literal)) << "\"" << text << "\"";
        if (fastReads) {
            ASSERT_TRUE(sameBits({fast}, {literal})) << "\"" << text << "\"";
        }
    }
    for (const char* junk : {"abc", "0x", "1e", ".", "1e999", "1e39"}) {
        float ignored = 0;
        EXPECT_FALSE(readValueText(junk, junk + std::strlen(junk), ignored)) << junk;
    }
}

// The loader's fast path on plain decimals of every shape it takes (1 to 14 digits, the point
// anywhere, either sign) and a few it hands on, against strtod.
TEST(ValueText, PlainDecimalsReadAsStrtodReadsThem) {
    std::mt19937 random(3);
    std::vector<std::uint64_t> mantissas;
    for (std::uint64_t m = 0; m < 3000; ++m) mantissas.push_back(m);
    for (int i = 0; i < 30000; ++i) mantissas.push_back(random() % 100000000);
    for (int i = 0; i < 3000; ++i) mantissas.push_back((std::uint64_t{random()} << 20 ^ random()) % 100000000000000);
    std::size_t fastReads = 0;
    for (std::uint64_t mantissa : mantissas) {
        const std::string digits = std::to_string(mantissa);
        for (std::size_t point = 0; point <= digits.size(); ++point) {
            const std::string number = (random() % 2 ? "-" : "") + digits.substr(0, point) +
                                       (point < digits.size() || random() % 2 ? "." : "") + digits.substr(point);
            const std::string field = number + "|" + std::string(kPlainDecimalReach, '7');
            float fast = 0;
            float literal = 0;
            const char* end = scanPlainDecimal(field.data(), fast);
            if (end == nullptr) continue;
            ++fastReads;
            ASSERT_EQ(end, field.data() + number.size()) << number;
            ASSERT_TRUE(literalValue(number, literal)) << number;
            ASSERT_TRUE(sameBits({fast}, {literal})) << number;
        }
    }
    EXPECT_GT(fastReads, mantissas.size() * 5) << "the fast path must take most of them";
}

TEST(FeatureLoader, LoadsBitForBitWhatTheLiteralLoaderLoads) {
    TempHome home(false);
    for (unsigned seed = 1; seed <= 6; ++seed) {
        HostileFiles files(seed, "pics/db.txt");
        const int featDim = seed % 2 == 0 ? 512 : 3;
        writeFile("pics/db.txt", files.file(featDim, featDim == 512 ? 300 : 3000));
        const Collection fast = loadFast("pics/db.txt", featDim);
        expectSameCollection(fast, loadLiteral("pics/db.txt", featDim), "seed " + std::to_string(seed));
        EXPECT_GT(fast.size(), 30u) << "the files must hold records too";
        for (const auto& entry : fs::directory_iterator(".")) fs::remove_all(entry.path());
    }
}

TEST(FeatureLoader, ReadsAcrossBlocksAndShortReads) {
    TempHome home(false);
    HostileFiles files(11, "db.txt");
    writeFile("db.txt", files.file(512, 1100));  // over 4 MiB: lines straddle the loader's blocks
    ASSERT_GT(fs::file_size("db.txt"), std::size_t{5} << 20);
    const Collection literal = loadLiteral("db.txt", 512);
    expectSameCollection(loadFast("db.txt", 512), literal, "whole reads");
    FailingFileCalls calls;
    calls.maxReadBytes = 4093;
    ScopedFileCalls installed(calls);
    expectSameCollection(loadFast("db.txt", 512), literal, "short reads");
}

TEST(FeatureLoader, AReadErrorKeepsTheLinesReadBeforeIt) {
    TempHome home(false);
    HostileFiles files(12, "db.txt");
    const std::string text = files.file(3, 200);
    writeFile("db.txt", text);
    for (std::size_t failing : {1u, 2u, 5u, 9u}) {
        FailingFileCalls calls(FailingFileCalls::Call::Read, failing);
        calls.maxReadBytes = 1000;
        bool opened = false;
        Collection fast;
        {
            ScopedFileCalls installed(calls);
            fast = loadFast("db.txt", 3, &opened);
        }
        EXPECT_TRUE(opened);
        const std::size_t bytesRead = (failing - 1) * 1000;
        writeFile("prefix.txt", bytesRead == 0 ? "" : text.substr(0, text.rfind('\n', bytesRead - 1) + 1));
        expectSameCollection(fast, literalLoad("prefix.txt", 3, literalKeyTest("db.txt", EasyLog::GetInstance()->FilePath())),
                             "read " + std::to_string(failing) + " fails");
    }
}

TEST(FeatureLoader, SkipsLinesTooLongToBeRecordsWithoutLosingLaterOnes) {
    TempHome home(false);
    for (const char* name : {"a.jpg", "b.jpg", "c.jpg"}) writeFile(name, "x");
    const std::string record = "|1.5|-2|3|";
    // Written piece by piece: the test holds no long line either.
    std::ofstream file("db.txt", std::ios::binary);
    file << "a.jpg" << record << std::string(kMaxRecordLineBytes - 5 - record.size(), ' ') << "\n";
    file << "b.jpg" << record << std::string(kMaxRecordLineBytes - 4 - record.size(), ' ') << "\n";  // a byte too long
    const std::string mebibyte(1 << 20, '1');
    for (int i = 0; i < 64; ++i) file << mebibyte;
    file << "|\n";
    file << "c.jpg" << record << "\n";
    file << "b.jpg|" << std::string(kMaxRecordLineBytes, '7');  // unfinished at the end of the file
    file.close();
    const Collection loaded = loadFast("db.txt", 3);
    ASSERT_EQ(loaded.size(), 2u);
    EXPECT_EQ(loaded.at("a.jpg"), (std::vector<float>{1.5f, -2.0f, 3.0f}));
    EXPECT_EQ(loaded.count("c.jpg"), 1u);
}

TEST(FeatureLoader, AFileThatCannotBeOpenedLeavesTheCollectionAlone) {
    TempHome home(false);
    bool opened = true;
    const Collection untouched = loadFast("missing.txt", 3, &opened);
    EXPECT_FALSE(opened);
    EXPECT_EQ(untouched.count("before"), 1u);
    fs::create_directories("folder");
    EXPECT_TRUE(loadFast("folder", 3, &opened).empty()) << "a folder opens but reads nothing";
    EXPECT_TRUE(opened);
}
