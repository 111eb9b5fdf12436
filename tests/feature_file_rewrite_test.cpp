// The feature file's rewrites against their plain references (tests/LiteralFeatureFile.h) on random
// and hostile files; what a failing step at any point leaves; and removal through the module,
// which must keep the file, the map and search in step.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CollectionChecks.h"
#include "FailingFileCalls.h"
#include "HostileFeatureFiles.h"
#include "LiteralFeatureFile.h"
#include "TestSupport.h"
#include "log/EasyLog.h"
#include "module/FeatureDB.h"
#include "module/FeatureFileRewrite.h"
#include "module/FeatureLoader.h"

namespace fs = std::filesystem;

namespace {

using Call = FailingFileCalls::Call;

Collection loaded(const std::string& path, int featDim) {
    Collection collection;
    loadFeatureFile(path, featDim, KeyRules(path, EasyLog::GetInstance()->FilePath()), collection);
    return collection;
}

KeyTest keysThatLoad(const std::string& path) {
    return literalKeyTest(path, EasyLog::GetInstance()->FilePath());
}

void expectSameCounts(const RewriteCounts& actual, const RewriteCounts& expected, const std::string& context) {
    EXPECT_EQ(actual.kept, expected.kept) << context;
    EXPECT_EQ(actual.removed, expected.removed) << context;
    EXPECT_EQ(actual.torn, expected.torn) << context;
    EXPECT_EQ(actual.duplicates, expected.duplicates) << context;
    EXPECT_EQ(actual.missing, expected.missing) << context;
}

// The names in folder that are not in before: what a rewrite left behind.
std::vector<std::string> newNames(const std::string& folder, const std::set<std::string>& before) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (before.count(name) == 0) names.push_back(name);
    }
    return names;
}

std::set<std::string> namesIn(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

// Some keys of the hostile files' collection, some that it does not hold, and one that names a
// file but holds only damaged lines.
std::vector<std::string> someKeys(std::mt19937& random) {
    std::vector<std::string> keys{"missing.jpg", "no/such.jpg", "pics/p6.jpg ", "link.jpg"};
    for (int i = 0; i < 12; ++i) keys.push_back("pics/p" + std::to_string(random() % 40) + ".jpg");
    return keys;
}

void clearFolder() {
    for (const auto& entry : fs::directory_iterator(".")) fs::remove_all(entry.path());
}

// Stores pictures in0.png ... in<count - 1>.png, made from seeds 0 to count - 1, under pics/.
void addSeededPictures(IModule& module, int count) {
    fs::create_directories("pics");
    for (int seed = 0; seed < count; ++seed)
        ASSERT_EQ(module.addAPicToDB(writePicture("in" + std::to_string(seed) + ".png", seed), "pics/"), 0);
}

}  // namespace

TEST(FeatureFileRewrite, CompactionWritesWhatTheLiteralCompactionWritesAndLoadsTheSame) {
    TempHome home(false);
    for (unsigned seed = 1; seed <= 6; ++seed) {
        const std::string context = "seed " + std::to_string(seed);
        HostileFiles files(seed, "pics/db.txt");
        const int featDim = seed % 2 == 0 ? 512 : 3;
        writeFile("pics/db.txt", files.file(featDim, featDim == 512 ? 300 : 3000));
        const Collection before = loaded("pics/db.txt", featDim);
        RewriteCounts expected;
        std::vector<std::string> expectedGone;
        const std::string expectedText =
            literalCompaction("pics/db.txt", featDim, keysThatLoad("pics/db.txt"), expected, expectedGone);
        ASSERT_GT(expected.torn * expected.duplicates * expected.missing * expected.kept, 0u)
            << context << ": the file must hold every kind of line";
        const std::set<std::string> namesBefore = namesIn("pics");

        RewriteCounts counts;
        std::vector<std::string> gone;
        ASSERT_EQ(compactFeatureFile("pics/db.txt", featDim, counts, &gone), RewriteOutcome::rewritten) << context;
        EXPECT_TRUE(readFile("pics/db.txt") == expectedText) << context;
        expectSameCounts(counts, expected, context);
        EXPECT_EQ(gone, expectedGone) << context;
        expectSameCollection(loaded("pics/db.txt", featDim), before, context + ": what loads");
        EXPECT_TRUE(newNames("pics", namesBefore).empty()) << context << ": nothing left beside the file";

        RewriteCounts again;
        ASSERT_EQ(compactFeatureFile("pics/db.txt", featDim, again), RewriteOutcome::rewritten) << context;
        EXPECT_EQ(again.kept, counts.kept) << context;
        EXPECT_EQ(again.torn + again.duplicates + again.missing, 0u) << context << ": a compacted file is compact";
        EXPECT_TRUE(readFile("pics/db.txt") == expectedText) << context;
        clearFolder();
    }
}

TEST(FeatureFileRewrite, RemovalDropsEveryRecordOfTheKeysAndKeepsEveryOtherLine) {
    TempHome home(false);
    std::mt19937 random(5);
    for (unsigned seed = 1; seed <= 6; ++seed) {
        const std::string context = "seed " + std::to_string(seed);
        HostileFiles files(seed + 100, "db.txt");
        const int featDim = seed % 2 == 0 ? 512 : 3;
        std::string text = files.file(featDim, featDim == 512 ? 300 : 3000);
        if (seed % 3 == 0) text.pop_back();  // a last line without its line feed
        writeFile("db.txt", text);
        chmod("db.txt", seed % 2 == 0 ? 0600 : 0644);
        const std::vector<std::string> keys = someKeys(random);
        Collection expectedLoad = loaded("db.txt", featDim);
        for (const std::string& key : keys) expectedLoad.erase(key);
        RewriteCounts expected;
        const std::string expectedText = literalWithout("db.txt", featDim, keys, expected);
        ASSERT_GT(expected.removed, 0u) << context;

        RewriteCounts counts;
        ASSERT_EQ(rewriteFeatureFileWithout("db.txt", featDim, keys, counts), RewriteOutcome::rewritten) << context;
        EXPECT_TRUE(readFile("db.txt") == expectedText) << context;
        expectSameCounts(counts, expected, context);
        expectSameCollection(loaded("db.txt", featDim), expectedLoad, context + ": what loads");
        struct stat status;
        ASSERT_EQ(stat("db.txt", &status), 0);
        EXPECT_EQ(status.st_mode & 0777, seed % 2 == 0 ? 0600u : 0644u) << context << ": the mode stays";
        clearFolder();
    }
}

TEST(FeatureFileRewrite, FilesWithNothingToDropAreLeftAlone) {
    TempHome home(false);
    writeFile("a.jpg", "x");
    RewriteCounts counts;
    EXPECT_EQ(compactFeatureFile("none.txt", 3, counts), RewriteOutcome::rewritten);
    EXPECT_FALSE(fs::exists("none.txt")) << "a missing file is an empty collection, not created";

    const std::string whole = "a.jpg|1|2|3|\n";
    for (const std::string& text : {std::string(), whole, whole + "a.jpg|1|2|3|"}) {
        writeFile("db.txt", text);
        const fs::file_time_type written = fs::last_write_time("db.txt");
        const std::set<std::string> before = namesIn(".");
        FailingFileCalls calls;
        {
            ScopedFileCalls installed(calls);
            ASSERT_EQ(rewriteFeatureFileWithout("db.txt", 3, {"b.jpg"}, counts), RewriteOutcome::rewritten);
        }
        EXPECT_EQ(counts.kept, text.empty() ? 0u : text == whole ? 1u : 2u);
        EXPECT_EQ(calls.count(Call::Write) + calls.count(Call::Rename), 0u) << "nothing to drop, nothing written";
        EXPECT_EQ(readFile("db.txt"), text);
        EXPECT_EQ(fs::last_write_time("db.txt"), written);
        EXPECT_TRUE(newNames(".", before).empty());
    }
}

TEST(FeatureFileRewrite, ReadsAcrossBlocksShortReadsAndShortWrites) {
    TempHome home(false);
    HostileFiles files(21, "db.txt");
    const std::string text = files.file(512, 1100);  // over 4 MiB: lines straddle the reader's blocks
    ASSERT_GT(text.size(), std::size_t{5} << 20);
    writeFile("db.txt", text);
    RewriteCounts expected;
    std::vector<std::string> expectedGone;
    const std::string expectedText = literalCompaction("db.txt", 512, keysThatLoad("db.txt"), expected, expectedGone);
    for (bool shortCalls : {false, true}) {
        writeFile("db.txt", text);
        FailingFileCalls calls;
        if (shortCalls) {
            calls.maxReadBytes = 4093;
            calls.maxWriteBytes = 100000;
        }
        RewriteCounts counts;
        {
            ScopedFileCalls installed(calls);
            ASSERT_EQ(compactFeatureFile("db.txt", 512, counts), RewriteOutcome::rewritten);
        }
        EXPECT_TRUE(readFile("db.txt") == expectedText) << "short calls: " << shortCalls;
        expectSameCounts(counts, expected, shortCalls ? "short calls" : "whole calls");
    }
}

// Each open, read, write, fsync, close and rename of a removal and of a compaction made to fail in
// turn: before the rename the old file stays byte for byte, errno tells the cause, and nothing is
// left beside it; a failing sync of the folder leaves the new file and says so.
TEST(FeatureFileRewrite, EveryFailingStepLeavesTheOldFileOrTheNewOneAndNoTemporary) {
    TempHome home(false);
    HostileFiles files(31, "db.txt");
    const std::string oldText = files.file(3, 300);
    const std::vector<std::string> keys{"pics/p1.jpg", "pics/p2.jpg", "other/x.jpg"};
    for (bool compacting : {false, true}) {
        auto run = [&](RewriteCounts& counts) {
            return compacting ? compactFeatureFile("db.txt", 3, counts)
                              : rewriteFeatureFileWithout("db.txt", 3, keys, counts);
        };
        writeFile("db.txt", oldText);
        const std::set<std::string> before = namesIn(".");
        FailingFileCalls clean;
        clean.maxReadBytes = 200000;
        clean.maxWriteBytes = 50000;
        RewriteCounts counts;
        {
            ScopedFileCalls installed(clean);
            ASSERT_EQ(run(counts), RewriteOutcome::rewritten);
        }
        const std::string newText = readFile("db.txt");
        ASSERT_NE(newText, oldText);
        ASSERT_GT(clean.count(Call::Write), 2u) << "writes in several pieces";

        std::size_t failures = 0;
        for (Call call : {Call::Open, Call::Read, Call::Write, Call::Fsync, Call::Close, Call::Rename}) {
            for (std::size_t nth = 1; nth <= clean.count(call); ++nth) {
                const std::string context = std::string(compacting ? "compaction" : "removal") + ", call kind " +
                                            std::to_string(static_cast<int>(call)) + " #" + std::to_string(nth);
                writeFile("db.txt", oldText);
                FailingFileCalls failing(call, nth, ENOSPC);
                failing.maxReadBytes = clean.maxReadBytes;
                failing.maxWriteBytes = clean.maxWriteBytes;
                RewriteOutcome outcome;
                errno = 0;
                {
                    ScopedFileCalls installed(failing);
                    outcome = run(counts);
                }
                const int cause = errno;
                // The folder's sync is the last open and the last fsync; a failing close of the old
                // file or of the folder changes nothing.
                const bool ofFolder = (call == Call::Open || call == Call::Fsync) && nth == clean.count(call);
                const RewriteOutcome expected = ofFolder                         ? RewriteOutcome::folderNotSynced
                                                : call == Call::Close && nth > 1 ? RewriteOutcome::rewritten
                                                                                 : RewriteOutcome::failed;
                EXPECT_EQ(outcome, expected) << context;
                EXPECT_TRUE(readFile("db.txt") == (outcome == RewriteOutcome::failed ? oldText : newText)) << context;
                if (outcome != RewriteOutcome::rewritten) {
                    EXPECT_EQ(cause, ENOSPC) << context;
                }
                EXPECT_TRUE(newNames(".", before).empty()) << context << ": " << newNames(".", before).front();
                failures += outcome == RewriteOutcome::failed;
            }
        }
        EXPECT_GT(failures, 8u);
    }
}

TEST(FeatureFileRewrite, RemovesWhatKilledRewritesLeftButNotWhatLiveOnesWrite) {
    TempHome home(false);
    writeFile("a.jpg", "x");
    writeFile("db.txt", "a.jpg|1|2|3|\ntorn\n");
    const pid_t exited = fork();
    if (exited == 0) _exit(0);
    waitpid(exited, nullptr, 0);
    const std::string dead = "db.txt.partial-" + std::to_string(exited) + "-3";
    const std::string ours = "db.txt.partial-" + std::to_string(getpid()) + "-9";
    const std::string live = "db.txt.partial-" + std::to_string(getppid()) + "-1";
    const std::string other = "other.txt.partial-" + std::to_string(exited) + "-1";
    for (const std::string& name : {dead, ours, live, other}) writeFile(name, "half a file");
    RewriteCounts counts;
    ASSERT_EQ(compactFeatureFile("db.txt", 3, counts), RewriteOutcome::rewritten);
    EXPECT_EQ(readFile("db.txt"), "a.jpg|1|2|3|\n");
    EXPECT_FALSE(fs::exists(dead));
    for (const std::string& name : {ours, live, other}) EXPECT_TRUE(fs::exists(name)) << name;
}

TEST(RemovePictures, TakesTheKeysOutOfTheFileTheMapAndSearchTogether) {
    TempHome home;
    auto module = startModule();
    ASSERT_NO_FATAL_FAILURE(addSeededPictures(*module, 5));
    std::size_t removed = 99;
    ASSERT_EQ(module->removePictures({"pics/in1.png", "pics/in3.png", "pics/unknown.png", "pics/in1.png"}, &removed),
              0);
    EXPECT_EQ(removed, 2u);
    const std::set<std::string> left{"pics/in0.png", "pics/in2.png", "pics/in4.png"};
    std::set<std::string> inMap;
    for (const auto& entry : module->features()) inMap.insert(entry.first);
    EXPECT_EQ(inMap, left);
    std::vector<std::string> found;
    ASSERT_EQ(module->search("in1.png", 1, found, -1), 3);
    EXPECT_EQ(std::set<std::string>(found.begin(), found.end()), left) << "search ranks what the map holds";
    EXPECT_TRUE(fs::exists("pics/in1.png")) << "the stored copy stays";
    EXPECT_EQ(loaded("feat.txt", 512).size(), 3u);

    ASSERT_EQ(module->addAPicToDB("in1.png", "pics/"), 0) << "a removed key can be added again";
    EXPECT_EQ(module->removePictures({"pics/none.png"}, &removed), 0);
    EXPECT_EQ(removed, 0u);
    auto restarted = startModule();
    EXPECT_EQ(restarted->features().size(), 4u);
    EXPECT_EQ(restarted->features().count("pics/in1.png"), 1u);
}

TEST(RemovePictures, AFailedRewriteChangesNothing) {
    TempHome home;
    auto module = startModule();
    ASSERT_NO_FATAL_FAILURE(addSeededPictures(*module, 3));
    const std::string fileBefore = readFile("feat.txt");
    for (Call call : {Call::Open, Call::Write, Call::Fsync, Call::Rename}) {
        FailingFileCalls failing(call, call == Call::Open ? 2 : 1);
        std::size_t removed = 99;
        const LogWatch log;
        {
            ScopedFileCalls installed(failing);
            EXPECT_EQ(module->removePictures({"pics/in1.png"}, &removed), LIKENESS_NOT_REWRITTEN);
        }
        EXPECT_EQ(removed, 0u);
        EXPECT_NE(log.added().find("cannot rewrite the feature file feat.txt"), std::string::npos) << log.added();
        EXPECT_EQ(module->features().count("pics/in1.png"), 1u);
        std::vector<std::string> found;
        EXPECT_EQ(module->search("in1.png", 1, found, 1), 1);
        EXPECT_EQ(found, std::vector<std::string>{"pics/in1.png"}) << "search still finds it";
        EXPECT_EQ(readFile("feat.txt"), fileBefore);
        EXPECT_TRUE(leftoverTemporaries(".").empty());
    }
    FailingFileCalls folderSync(Call::Fsync, 2);
    std::size_t removed = 0;
    {
        ScopedFileCalls installed(folderSync);
        EXPECT_EQ(module->removePictures({"pics/in1.png"}, &removed), LIKENESS_NOT_REWRITTEN);
    }
    EXPECT_EQ(removed, 1u) << "the new file is in place, so memory follows it";
    EXPECT_EQ(module->features().count("pics/in1.png"), 0u);
    EXPECT_EQ(startModule()->features().count("pics/in1.png"), 0u);
}
