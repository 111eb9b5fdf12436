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

void clearFolder() {
    for (const auto& entry : fs::directory_iterator(".")) fs::remove_all(entry.path());
}

// The last line of text, without its line feed.
std::string lastLine(std::string text) {
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text.substr(text.rfind('\n') + 1);
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

TEST(FeatureFileRewrite, FilesWithNothingToDropAreLeftAlone) {
    TempHome home(false);
    writeFile("a.jpg", "x");
    RewriteCounts counts;
    EXPECT_EQ(compactFeatureFile("none.txt", 3, counts), RewriteOutcome::rewritten);
    EXPECT_FALSE(fs::exists("none.txt")) << "a missing file is an empty collection, not created";

    writeFile("b.jpg", "x");
    const std::string whole = "a.jpg|1|2|3|\n";
    for (const std::string& text : {std::string(), whole, whole + "b.jpg|1|2|3|"}) {
        writeFile("db.txt", text);
        const fs::file_time_type written = fs::last_write_time("db.txt");
        const std::set<std::string> before = namesIn(".");
        FailingFileCalls calls;
        {
            ScopedFileCalls installed(calls);
            ASSERT_EQ(compactFeatureFile("db.txt", 3, counts), RewriteOutcome::rewritten);
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

// Each open, read, write, fsync, close and rename of a compaction made to fail in turn: before the rename the old file
// stays byte for byte, errno tells the cause, and nothing is left beside it; a failing sync of the folder leaves the
// new file and says so.
TEST(FeatureFileRewrite, EveryFailingStepLeavesTheOldFileOrTheNewOneAndNoTemporary) {
    TempHome home(false);
    HostileFiles files(31, "db.txt");
    const std::string oldText = files.file(3, 300);
    {
        auto run = [&](RewriteCounts& counts) { return compactFeatureFile("db.txt", 3, counts); };
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
                const std::string context =
                    "call kind " + std::to_string(static_cast<int>(call)) + " #" + std::to_string(nth);
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

// The lines readFeatureLines hands over, each checked against the bytes at the offset it names.
TEST(FeatureFileRewrite, EveryLineIsHandedOverWithTheOffsetWhereItBegins) {
    TempHome home(false);
    HostileFiles files(41, "db.txt");
    const std::string text = files.file(512, 1100) + std::string(70000, 'x') + "\nlast|1|";
    ASSERT_GT(text.size(), std::size_t{5} << 20) << "lines straddle the reader's blocks";
    writeFile("db.txt", text);
    class Checker : public FeatureLineSink {
    public:
        explicit Checker(const std::string& text) : text(text) {}
        void line(const char* begin, const char* end, std::uint64_t offset) override {
            const std::size_t length = static_cast<std::size_t>(end - begin);
            if (text.compare(offset, length, begin, length) != 0) ++wrong;
            ++lines;
        }
        void longLinePiece(const char*, const char*, bool) override {}
        const std::string& text;
        std::size_t lines = 0;
        std::size_t wrong = 0;
    };
    FailingFileCalls shortReads;
    shortReads.maxReadBytes = 4093;
    Checker checker(text);
    const int fd = open("db.txt", O_RDONLY);
    {
        ScopedFileCalls installed(shortReads);
        ASSERT_TRUE(readFeatureLines(fd, checker));
    }
    close(fd);
    EXPECT_GT(checker.lines, 1000u);
    EXPECT_EQ(checker.wrong, 0u);
}

TEST(RemovePictures, TakesTheKeysOutAtOnceWithoutRewritingTheFileAndACompactionFoldsThemIn) {
    TempHome home;
    auto module = startModule();
    ASSERT_NO_FATAL_FAILURE(addSeededPictures(*module, 5));
    const std::string fileBefore = readFile("feat.txt");
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
    EXPECT_TRUE(readFile("feat.txt") == fileBefore) << "the feature file is not rewritten";
    EXPECT_EQ(loaded("feat.txt", 512).size(), 3u);

    ASSERT_EQ(module->addAPicToDB("in1.png", "pics/"), 0) << "a removed key can be added again";
    EXPECT_EQ(module->removePictures({"pics/none.png"}, &removed), 0);
    EXPECT_EQ(removed, 0u);
    const Collection stored = loaded("feat.txt", 512);
    EXPECT_EQ(stored.size(), 4u);
    EXPECT_EQ(stored.count("pics/in1.png"), 1u) << "the record appended after the removal loads";

    RewriteCounts counts;
    ASSERT_EQ(compactFeatureFile("feat.txt", 512, counts), RewriteOutcome::rewritten);
    EXPECT_EQ(counts.removed, 2u) << "the first records of in1 and in3";
    EXPECT_EQ(counts.kept, 4u);
    EXPECT_FALSE(fs::exists("feat.txt.removed")) << "folded into the new file";
    expectSameCollection(loaded("feat.txt", 512), stored, "after the compaction");
}

TEST(RemovePictures, AFailedRecordOfTheRemovalChangesNothing) {
    TempHome home;
    auto module = startModule();
    ASSERT_NO_FATAL_FAILURE(addSeededPictures(*module, 3));
    const std::string fileBefore = readFile("feat.txt");
    // The first removal creates the list and syncs its folder; the second appends to it.
    for (const char* key : {"pics/in1.png", "pics/in2.png"}) {
        const std::string listBefore = fs::exists("feat.txt.removed") ? readFile("feat.txt.removed") : "";
        FailingFileCalls clean;
        {
            ScopedFileCalls installed(clean);
            std::size_t removed = 0;
            ASSERT_EQ(module->removePictures({key}, &removed), 0);
        }
        if (listBefore.empty()) fs::remove("feat.txt.removed");
        else writeFile("feat.txt.removed", listBefore);
        module = startModule();
        ASSERT_EQ(module->features().count(key), 1u) << "back with the list as it was";
        for (Call call : {Call::Open, Call::Write, Call::Fsync}) {
            for (std::size_t nth = 1; nth <= clean.count(call); ++nth) {
                const std::string context = std::string(key) + ", call kind " + std::to_string(static_cast<int>(call)) +
                                            " #" + std::to_string(nth);
                FailingFileCalls failing(call, nth);
                std::size_t removed = 99;
                {
                    ScopedFileCalls installed(failing);
                    EXPECT_EQ(module->removePictures({key}, &removed), LIKENESS_NOT_REWRITTEN) << context;
                }
                EXPECT_EQ(removed, 0u) << context;
                EXPECT_EQ(module->features().count(key), 1u) << context;
                std::vector<std::string> found;
                EXPECT_EQ(module->search(std::string(key).substr(5), 1, found, 1), 1) << context;
                EXPECT_EQ(found, std::vector<std::string>{key}) << context << ": search still finds it";
                EXPECT_EQ(fs::exists("feat.txt.removed") ? readFile("feat.txt.removed") : "", listBefore) << context;
                EXPECT_EQ(loaded("feat.txt", 512).count(key), 1u) << context;
            }
        }
        std::size_t removed = 0;
        ASSERT_EQ(module->removePictures({key}, &removed), 0);
        EXPECT_EQ(removed, 1u);
    }
    EXPECT_TRUE(readFile("feat.txt") == fileBefore);
    EXPECT_EQ(loaded("feat.txt", 512).size(), 1u);
}

// A compaction killed between marking the list and renaming its file in place, or between the
// rename and deleting the list: what loads is right either way, and the next writer settles it.
TEST(RemovePictures, ACompactionStoppedOnEitherSideOfItsRenameLeavesAListThatLoadsRight) {
    for (Call stop : {Call::Rename, Call::Unlink}) {
        const std::string context = stop == Call::Rename ? "before the rename" : "after the rename";
        TempHome home;
        auto module = startModule();
        ASSERT_NO_FATAL_FAILURE(addSeededPictures(*module, 3));
        std::size_t removed = 0;
        ASSERT_EQ(module->removePictures({"pics/in1.png"}, &removed), 0);
        ASSERT_EQ(module->addAPicToDB("in1.png", "pics/"), 0);
        ASSERT_EQ(module->removePictures({"pics/in2.png"}, &removed), 0);
        module.reset();
        const std::set<std::string> expected{"pics/in0.png", "pics/in1.png"};
        const auto keysLoaded = [] {
            std::set<std::string> keys;
            for (const auto& entry : loaded("feat.txt", 512)) keys.insert(entry.first);
            return keys;
        };
        ASSERT_EQ(keysLoaded(), expected);

        FailingFileCalls killed(stop, 1);
        RewriteCounts counts;
        {
            ScopedFileCalls installed(killed);
            compactFeatureFile("feat.txt", 512, counts);
        }
        ASSERT_TRUE(fs::exists("feat.txt.removed")) << context;
        EXPECT_EQ(lastLine(readFile("feat.txt.removed")).rfind("folded|", 0), 0u) << context;
        EXPECT_EQ(keysLoaded(), expected) << context << ": the re-added in1 loads, in2 does not";

        module = startModule();
        ASSERT_EQ(module->addAPicToDB(writePicture("in3.png", 3), "pics/"), 0) << context;
        EXPECT_EQ(fs::exists("feat.txt.removed"), stop == Call::Rename) << context << ": settled by the writer";
        if (stop == Call::Rename) {
            EXPECT_NE(lastLine(readFile("feat.txt.removed")).rfind("folded|", 0), 0u) << context;
        }
        EXPECT_EQ(module->features().size(), 3u) << context;
        EXPECT_EQ(startModule()->features().size(), 3u) << context;
    }
}

TEST(RemovePictures, ATornLineOfTheListRemovesNothing) {
    TempHome home;
    auto module = startModule();
    ASSERT_NO_FATAL_FAILURE(addSeededPictures(*module, 3));
    const std::string length = std::to_string(fs::file_size("feat.txt"));
    // A crash in the middle of a removal: the key cut short, or its closing "|" missing.
    for (const std::string& torn : {length + "|pics/in", length + "|pics/in1.png"}) {
        writeFile("feat.txt.removed", torn);
        EXPECT_EQ(startModule()->features().size(), 3u) << torn;
    }
    std::size_t removed = 0;
    ASSERT_EQ(startModule()->removePictures({"pics/in2.png"}, &removed), 0);
    const ModuleHandle restarted = startModule();
    EXPECT_EQ(restarted->features().size(), 2u);
    EXPECT_EQ(restarted->features().count("pics/in1.png"), 1u) << "the torn line stays apart from the next one";
}
