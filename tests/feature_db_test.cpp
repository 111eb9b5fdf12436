// The feature file: record text, the writers' repairs and failure reports, and the loader's rules
// as seen through a module built on a prepared file.
#include <sys/resource.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FailingFileCalls.h"
#include "TestSupport.h"
#include "log/EasyLog.h"
#include "module/FeatureDB.h"
#include "module/FeatureLoader.h"
#include "module/Module.h"
#include "module/StringUtil.h"

namespace fs = std::filesystem;

namespace {

std::string valuesText(float value, int count = 512) {
    std::string text;
    for (int i = 0; i < count; ++i) text += (i == 0 ? std::to_string(value) : "0") + "|";
    return text;
}

std::unique_ptr<ImplIModule, void (*)(ImplIModule*)> openModule(const std::string& path) {
    return {InitialModule(path), ExitModule};
}

}  // namespace

TEST(FeatureRecord, UsesSixSignificantDigitsInShortestForm) {
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<float> values{
        0.5f, 0.0000125f, 0.0f, -2.5f, 0.123456789f, 1e-05f, 100000.0f, 1e+06f, std::numeric_limits<float>::quiet_NaN(),
        inf,  -inf};
    EXPECT_EQ(featureRecord("pics/a.jpg", values),
              "pics/a.jpg|0.5|1.25e-05|0|-2.5|0.123457|1e-05|100000|1e+06|nan|inf|-inf|\n");
    EXPECT_EQ(featureRecord("k", {}), "k|\n");
}

TEST(FeatureWriters, AppendRepairTornLineAndReportFailures) {
    TempHome home(false);
    LogWatch log;
    save2featDBBatch(std::vector<std::vector<float>>{}, std::vector<std::string>{});
    EXPECT_EQ(readFile("feat.txt"), "") << "an empty batch still creates the file";
    EXPECT_NE(log.added().find("save2featDBBatch !! \n"), std::string::npos);

    save2featDB({1.5f}, "a.jpg");
    save2featDBBatch({{2.0f}, {3.0f}}, {"b.jpg", "c.jpg"});
    EXPECT_EQ(readFile("feat.txt"), "a.jpg|1.5|\nb.jpg|2|\nc.jpg|3|\n");

    writeFile("own.txt", "torn|0.1|0.");
    EXPECT_TRUE(save2featDB("own.txt", {4.0f}, "d.jpg"));
    EXPECT_EQ(readFile("own.txt"), "torn|0.1|0.\nd.jpg|4|\n");

    EXPECT_EQ(save2featDBBatch("own.txt", {{1.0f}, {2.0f}}, {"only-one-key"}), 1u)
        << "a short key list must not be read past its end";
    EXPECT_FALSE(save2featDB("missing-dir/feat.txt", {1.0f}, "x.jpg"));
    EXPECT_EQ(save2featDBBatch(".", {{1.0f}}, {"x.jpg"}), 0u) << "a directory cannot take records";
}

// After any one failing file call (or a failed write whose clean-up fails too), the count a
// batch reports is the number of its records a restart loads, and a later append is whole.
TEST(FeatureWriters, ReportExactlyTheRecordsARestartLoads) {
    using Call = FailingFileCalls::Call;
    struct Failure {
        Call call;
        std::size_t nth;
        bool truncateFails;
    };
    std::vector<Failure> failures{{Call::Fsync, 1, false}, {Call::Fsync, 2, false}, {Call::Fsync, 1, true},
                                  {Call::Read, 1, false},  {Call::Close, 1, false}, {Call::Open, 1, false}};
    for (std::size_t nth = 1; nth <= 16; ++nth) failures.push_back({Call::Write, nth, nth % 3 == 0});
    std::vector<std::vector<float>> feats(3, std::vector<float>(512));
    for (std::size_t i = 0; i < 512; ++i) {
        for (std::size_t k = 0; k < 3; ++k) feats[k][i] = static_cast<float>(std::sin(static_cast<double>(i * 7 + k)));
    }
    const std::vector<std::string> keys{"a.jpg", "b.jpg", "c.jpg"};
    const std::string oldRecord = featureRecord("old.jpg", feats[0]);
    for (const std::string& before : {std::string(), oldRecord, oldRecord + "torn|0.5"}) {
        for (const Failure& failure : failures) {
            TempHome home(false);
            for (const char* name : {"a.jpg", "b.jpg", "c.jpg", "d.jpg", "old.jpg"}) writeFile(name, "x");
            if (!before.empty()) writeFile("db.txt", before);
            FailingFileCalls calls(failure.call, failure.nth);
            if (failure.truncateFails) calls.alsoFail(Call::Truncate, 1);
            calls.maxWriteBytes = 1000;
            std::size_t stored = 0;
            {
                ScopedFileCalls installed(calls);
                stored = save2featDBBatch("db.txt", feats, keys);
            }
            const std::string context = "call " + std::to_string(static_cast<int>(failure.call)) + " #" +
                                        std::to_string(failure.nth) + " on " + std::to_string(before.size()) + " bytes";
            const KeyRules rules("db.txt", EasyLog::GetInstance()->FilePath());
            std::map<std::string, std::vector<float>> loaded;
            loadFeatureFile("db.txt", 512, rules, loaded);
            EXPECT_EQ(loaded.size(), stored + (before.empty() ? 0 : 1)) << context;
            for (std::size_t i = 0; i < stored; ++i) EXPECT_EQ(loaded.count(keys[i]), 1u) << context;
            if (!failure.truncateFails) {
                std::string expected = before;
                // A last byte that cannot be read is taken for a torn line.
                const bool unsureOfLastByte = failure.call == Call::Read;
                if (stored > 0 && !before.empty() && (before.back() != '\n' || unsureOfLastByte)) expected += '\n';
                for (std::size_t i = 0; i < stored; ++i) expected += featureRecord(keys[i], feats[i]);
                EXPECT_TRUE(readFile("db.txt") == expected) << context << ": partial records are cut off";
            }
            ASSERT_TRUE(save2featDB("db.txt", feats[2], "d.jpg")) << context;
            loadFeatureFile("db.txt", 512, rules, loaded);
            EXPECT_EQ(loaded.size(), stored + (before.empty() ? 1 : 2)) << context << ": the next record loads";
        }
    }
}

// A real full disk: a file size limit that the batch's second or third record crosses.
TEST(FeatureWriters, AFileSizeLimitInsideABatchReportsTheRecordsThatLoad) {
    TempHome home(false);
    const std::vector<std::string> keys{"a.jpg", "b.jpg", "c.jpg"};
    for (const std::string& key : keys) writeFile(key, "x");
    const std::vector<std::vector<float>> feats(3, std::vector<float>(512, 0.123456f));
    const std::size_t recordBytes = featureRecord("a.jpg", feats[0]).size();
    for (std::size_t limit : {recordBytes + 100, 2 * recordBytes + 7, 2 * recordBytes - 1}) {
        fs::remove("db.txt");
        const ChildOutcome child = runInChild([&] {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit bounded{limit, limit};
            setrlimit(RLIMIT_FSIZE, &bounded);
            std::printf("%zu", save2featDBBatch("db.txt", feats, keys));
        });
        std::map<std::string, std::vector<float>> loaded;
        loadFeatureFile("db.txt", 512, KeyRules("db.txt", EasyLog::GetInstance()->FilePath()), loaded);
        EXPECT_EQ(std::to_string(loaded.size()), child.standardOutput) << "limit " << limit;
    }
}

TEST(FeatureWriters, SyncOncePerCallAndTheFolderOfANewFile) {
    using Call = FailingFileCalls::Call;
    TempHome home(false);
    FailingFileCalls calls;
    ScopedFileCalls installed(calls);
    ASSERT_TRUE(save2featDB("db.txt", {1.0f}, "a.jpg"));
    EXPECT_EQ(calls.count(Call::Fsync), 2u) << "the new file and its folder";
    ASSERT_TRUE(save2featDB("db.txt", {2.0f}, "b.jpg"));
    EXPECT_EQ(calls.count(Call::Fsync), 3u);
    EXPECT_EQ(save2featDBBatch("db.txt", {{3.0f}, {4.0f}, {5.0f}}, {"c.jpg", "d.jpg", "e.jpg"}), 3u);
    EXPECT_EQ(calls.count(Call::Fsync), 4u) << "a batch syncs once";
    EXPECT_EQ(calls.count(Call::Write), 3u) << "and writes once";
    EXPECT_EQ(save2featDBBatch("db.txt", {}, {}), 0u);
    EXPECT_EQ(calls.count(Call::Fsync), 4u) << "nothing to sync";
}

TEST(StringHelpers, TrimSpacesOnlyAndSplitOnAnySeparator) {
    std::string text = "  a b\t ";
    trimStr(text);
    EXPECT_EQ(text, "a b\t");
    std::string spaces = "    ";
    trimStr(spaces);
    EXPECT_EQ(spaces, "");
    std::vector<std::string> tokens{"kept"};
    splitStr("|a.jpg|0.5||2|", tokens, "|");
    EXPECT_EQ(tokens, (std::vector<std::string>{"kept", "a.jpg", "0.5", "2"}));
    tokens.clear();
    splitStr("a;b,c", tokens, ",;");
    EXPECT_EQ(tokens, (std::vector<std::string>{"a", "b", "c"}));
    tokens.clear();
    splitStr("|||", tokens, "|");
    EXPECT_TRUE(tokens.empty());
}

TEST(FeatureLoader, LoadsWholeRecordsOfSafeExistingFilesAndTheLastRecordOfEachKey) {
    TempHome home;
    for (const char* name : {"good.jpg", "dup.jpg", "spaced.jpg", "crlf.jpg", "short.jpg", "torn.jpg", "junk.jpg",
                             "special.jpg", "tail.jpg", "tmp.jpg"}) {
        writeFile(name, "x");
    }
    fs::create_directories("folder");
    std::string file;
    file += "good.jpg|" + valuesText(0.123456789f) + "\n";
    file += "dup.jpg|" + valuesText(1.0f) + "\n";
    file += "dup.jpg|" + valuesText(2.0f) + "\n";            // the later record wins
    file += "dup.jpg|" + valuesText(3.0f, 511) + "\n";       // ... when it is one
    file += "   spaced.jpg|" + valuesText(3.0f) + "   \n";   // leading and trailing spaces trimmed
    file += "crlf.jpg|" + valuesText(4.0f) + "\r\n";         // the CR ends the line instead of "|"
    file += "short.jpg|1||" + valuesText(5.0f, 510) + "\n";  // empty field collapses to 512 tokens
    file += "torn.jpg|" + valuesText(6.0f, 511) + "1.06\n";  // torn inside its last value
    for (const char* junk : {"abc", "0x", "1e", ".", "1e999"}) {
        file += std::string("junk.jpg|") + junk + "|" + valuesText(8.0f, 511) + "\n";
    }
    file += "special.jpg|nan|-inf|inf|-nan|" + valuesText(0.5f, 508) + "\n";
    for (const std::string& key :
         {std::string("folder"), std::string(".."), std::string("/"), std::string("db.txt"), std::string("./tmp.jpg"),
          EasyLog::GetInstance()->FilePath(), std::string("gone.jpg")}) {
        file += key + "|" + valuesText(7.0f) + "\n";
    }
    file += "\n     \n";
    file += "tail.jpg|" + valuesText(9.0f);  // last line without a line feed
    writeFile("db.txt", file);

    auto module = openModule("db.txt");
    const FeatureMap& map = module->features();
    ASSERT_EQ(map.size(), 5u);
    EXPECT_FLOAT_EQ(map.at("good.jpg")[0], 0.123457f);
    EXPECT_EQ(map.at("dup.jpg")[0], 2.0f);
    EXPECT_EQ(map.at("spaced.jpg")[0], 3.0f);
    const std::vector<float>& special = map.at("special.jpg");
    EXPECT_TRUE(std::isnan(special[0]) && std::isnan(special[3]) && std::signbit(special[3]));
    EXPECT_EQ(special[1], -std::numeric_limits<float>::infinity());
    EXPECT_EQ(special[2], std::numeric_limits<float>::infinity());
    EXPECT_EQ(map.at("tail.jpg")[0], 9.0f);
    EXPECT_EQ(readFile("db.txt"), file) << "loading never rewrites the file";
}

TEST(FeatureLoader, AKeyStoredAgainAfterItsCopyWasLostLoadsItsNewRecord) {
    TempHome home;
    fs::create_directories("one");
    fs::create_directories("two");
    writePicture("one/p.png", 1);
    writePicture("two/p.png", 2);
    std::vector<float> second;
    {
        auto module = openModule("feat.txt");
        ASSERT_EQ(module->addAPicToDB("one/p.png", ""), 0);
    }
    fs::remove("p.png");
    {
        auto module = openModule("feat.txt");
        ASSERT_TRUE(module->features().empty());
        ASSERT_EQ(module->addAPicToDB("two/p.png", ""), 0);
        second = module->features().at("p.png");
    }
    auto restarted = openModule("feat.txt");
    const std::vector<float>& loaded = restarted->features().at("p.png");
    EXPECT_EQ(featureRecord("p.png", loaded), featureRecord("p.png", second)) << "not the stale first record";
}

TEST(FeatureLoader, ReadsOnlyTheModulesOwnFile) {
    TempHome home;
    writeFile("a.jpg", "x");
    writeFile("feat.txt", "a.jpg|" + valuesText(1.0f) + "\n");
    EXPECT_EQ(openModule("other.txt")->features().size(), 0u) << "no fallback to feat.txt";
    EXPECT_EQ(openModule("")->features().size(), 1u) << "an empty path means feat.txt";
    EXPECT_EQ(openModule("")->databasePath(), "feat.txt");
}
