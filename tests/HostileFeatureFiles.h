// Feature files made to be hard on whatever reads them: floats of every kind, value texts the
// writer never makes, keys of every sort, torn, overlong and foreign lines, at random but seeded.
#ifndef LIKENESS_TESTS_HOSTILEFEATUREFILES_H
#define LIKENESS_TESTS_HOSTILEFEATUREFILES_H

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "log/EasyLog.h"
#include "module/FeatureLoader.h"

using Collection = std::map<std::string, std::vector<float>>;

// Floats of every kind: each binary exponent with its extreme and random mantissas and both
// signs, subnormals, zeros, NaN and infinities, the neighbours of every power of ten, and the
// values whose seventh digit is an exact tie.
std::vector<float> everyKindOfFloat(std::mt19937& random);

// Texts a value field may hold: what the writer makes, and what it never makes.
const std::vector<std::string>& unusualValueTexts();

// The writer's text of value.
std::string textOf(float value);

bool sameBits(const std::vector<float>& a, const std::vector<float>& b);

// A gtest failure, naming context, unless both hold the same keys with the same bits.
void expectSameCollection(const Collection& actual, const Collection& expected, const std::string& context);

// A folder of keys that name files, folders, links and the module's own files, and random
// feature files over them: records good and bad in every way the loader must tell apart.
class HostileFiles {
public:
    // dbPath is the feature file the keys must not name; it is in a folder holding many keys.
    HostileFiles(unsigned seed, const std::string& dbPath) : random(seed) {
        std::filesystem::create_directories("pics");
        std::filesystem::create_directories("dir");
        std::filesystem::create_directories("other");
        for (int i = 0; i < 40; ++i) writeFile("pics/p" + std::to_string(i) + ".jpg", "x");
        for (const char* name : {"other/x.jpg", "tmp.jpg", "cr\r.jpg"}) writeFile(name, "x");
        std::filesystem::create_symlink("pics/p0.jpg", "link.jpg");
        std::filesystem::create_symlink("dir", "dirlink");
        std::filesystem::create_symlink(dbPath, "dblink");
        std::filesystem::create_symlink("missing.jpg", "dangling");
        keys = {"other/x.jpg",
                "./pics/p1.jpg",
                "pics//p2.jpg",
                "pics/../pics/p3.jpg",
                "missing.jpg",
                "pics/missing.jpg",
                "dir",
                "dir/",
                "..",
                ".",
                "/",
                "pics/p4.jpg/",
                "link.jpg",
                "dirlink",
                "dblink",
                "dangling",
                dbPath,
                "./" + dbPath,
                "dir/../" + dbPath,
                EasyLog::GetInstance()->FilePath(),
                "tmp.jpg",
                "cr\r.jpg",
                std::string("pics/p5.jpg\0x", 13),
                "pics/p6.jpg ",
                " pics/p7.jpg"};
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

#endif
