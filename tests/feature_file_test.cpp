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
#include "HostileFeatureFiles.h"
#include "LiteralFeatureFile.h"
#include "TestSupport.h"
#include "log/EasyLog.h"
#include "module/FeatureDB.h"
#include "module/FeatureLoader.h"
#include "module/FeatureText.h"
#include "module/PlainDecimal.h"

namespace fs = std::filesystem;

namespace {

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

// The loader's fast path on plain decimals of every shape (1 to 14 digits, the point anywhere,
// either sign), each followed by the bytes of a next field, against strtod: whatever it reads
// must be strtod's float, and it must take the writer's usual texts.
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
            if (!readPlainDecimal(field.data(), number.size(), fast)) {
                EXPECT_GT(digits.size(), 7u) << number << ": a short plain decimal must not need the general reader";
                continue;
            }
            ++fastReads;
            ASSERT_TRUE(literalValue(number, literal)) << number;
            ASSERT_TRUE(sameBits({fast}, {literal})) << number;
        }
    }
    EXPECT_GT(fastReads, mantissas.size() * 5) << "the fast path must take most of them";
}

// Texts made of the bytes plain decimals are made of, and of their near misses, in every order:
// the fast path either declines or reads what strtod reads through to the field's end.
TEST(ValueText, PlainDecimalsDeclineWhatIsNotOne) {
    std::mt19937 random(17);
    const std::string alphabet = "0123456789.-+e| x";
    std::size_t fastReads = 0;
    for (int i = 0; i < 200000; ++i) {
        std::string text(random() % 12, ' ');
        for (char& c : text) c = alphabet[random() % (i % 2 == 0 ? 11 : alphabet.size())];
        // What follows the field is read too: digits there must not join it.
        const std::string field = text + std::string(kPlainDecimalReach, random() % 2 ? '5' : '.');
        float fast = 0;
        if (!readPlainDecimal(field.data(), text.size(), fast)) continue;
        ++fastReads;
        float literal = 0;
        ASSERT_TRUE(literalValue(text, literal)) << "\"" << text << "\" is not a number";
        ASSERT_TRUE(sameBits({fast}, {literal})) << "\"" << text << "\"";
    }
    EXPECT_GT(fastReads, 1000u);
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
        expectSameCollection(fast,
                             literalLoad("prefix.txt", 3, literalKeyTest("db.txt", EasyLog::GetInstance()->FilePath())),
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
