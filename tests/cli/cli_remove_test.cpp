// `likeness remove` and `likeness compact` as a user meets them, the home's one-writer lock, and
// what a compaction killed at a random moment leaves: the old feature file or the new one, whole.
// LIKENESS_CRASH_KILLS sets the number of kills (15).
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <thread>

#include "CliTestSupport.h"

namespace fs = std::filesystem;

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

void writeBytes(const fs::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
}

// A feature file of count records of 512 values under keys pictures/kN.jpg whose stored copies
// exist, except every seventh; every fifth key is stored twice and every thirteenth line is torn.
std::string syntheticFeatureFile(const fs::path& home, int count) {
    std::string text;
    char value[32];
    for (int i = 0; i < count; ++i) {
        const std::string key = "pictures/k" + std::to_string(i) + ".jpg";
        if (i % 7 != 0) writeBytes(home / key, "");
        std::string record = key + "|";
        for (int d = 0; d < 512; ++d) {
            std::snprintf(value, sizeof value, "%g", ((i * 512 + d) % 1999 - 999) / 337.0);
            record += std::string(value) + "|";
        }
        record += "\n";
        text += record;
        if (i % 5 == 0) text += record;
        if (i % 13 == 0) text += record.substr(0, record.size() / 2) + "\n";
    }
    return text;
}

std::vector<std::string> temporariesIn(const fs::path& folder) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder))
        if (contains(entry.path().filename().string(), ".partial-")) found.push_back(entry.path().filename().string());
    return found;
}

int killsWanted() {
    const char* wanted = std::getenv("LIKENESS_CRASH_KILLS");
    return wanted != nullptr ? std::atoi(wanted) : 15;
}

}  // namespace

TEST_F(CliTest, RemoveTakesPicturesOutByKeyAndDeletesTheirCopiesOnlyWhenAsked) {
    ASSERT_EQ(likeness("add pics").status, 0);
    const CommandRun some = likeness("remove pictures/pics/scene0.jpg pics/scene1.png");
    EXPECT_EQ(some.status, 1) << "a key that is not in the collection is a failure";
    EXPECT_TRUE(contains(some.out, "removed pictures/pics/scene0.jpg\n")) << some.out;
    EXPECT_TRUE(contains(some.out, "removed 1, not found 1")) << some.out;
    EXPECT_TRUE(contains(some.err, "pics/scene1.png: not in the collection")) << some.err;
    EXPECT_TRUE(contains(some.err, "keys are written as search prints them")) << some.err;
    EXPECT_TRUE(fs::is_regular_file(home / "pictures/pics/scene0.jpg")) << "the stored copy stays";
    EXPECT_TRUE(contains(some.out, "its stored copy stays in the home")) << "and the command says so: " << some.out;
    // The copy no record names can be found later; the home's other pictures are not taken for it.
    fs::create_directories(home / "queries");
    fs::copy_file(pics / "scene2.jpg", home / "queries" / "q.jpg");
    const std::vector<std::string> left = lines(likeness("remove --unrecorded").out);
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0], "pictures/pics/scene0.jpg");
    EXPECT_TRUE(contains(left[1], "1 stored copy that no record names")) << left[1];
    EXPECT_TRUE(contains(likeness("info").out, "pictures:  5\n"));
    const CommandRun search = likeness("search -n 10 pics/scene0.jpg");
    EXPECT_EQ(search.status, 0) << search.err;
    EXPECT_FALSE(contains(search.out, "pictures/pics/scene0.jpg")) << search.out;
    EXPECT_TRUE(contains(search.out, "pictures/pics/scene1.png")) << search.out;

    const CommandRun deleting = likeness("remove --delete-files pictures/pics/scene1.png");
    EXPECT_EQ(deleting.status, 0) << deleting.err;
    EXPECT_TRUE(contains(deleting.out, "removed pictures/pics/scene1.png and deleted its stored copy")) << deleting.out;
    EXPECT_FALSE(fs::exists(home / "pictures/pics/scene1.png"));
    EXPECT_TRUE(contains(likeness("info").out, "pictures:  4\n"));

    const CommandRun again = likeness("remove pictures/pics/scene1.png");
    EXPECT_EQ(again.status, 1);
    EXPECT_TRUE(contains(again.err, "pictures/pics/scene1.png: not in the collection")) << again.err;

    const CommandRun back = likeness("add pics/scene0.jpg --into pictures/pics");
    EXPECT_EQ(back.status, 0) << back.err;
    EXPECT_TRUE(contains(likeness("info").out, "pictures:  5\n")) << "a removed picture can come back";

    for (const char* wrong : {"remove", "remove --missing pictures/pics/scene2.jpg", "remove --missing --delete-files",
                              "remove --unrecorded pictures/pics/scene2.jpg"}) {
        const CommandRun refused = likeness(wrong);
        EXPECT_EQ(refused.status, 2) << wrong;
        EXPECT_TRUE(contains(refused.err, "likeness: ")) << wrong << ": " << refused.err;
    }

    ASSERT_EQ(likeness("remove pictures/pics/scene2.jpg").status, 0);
    const CommandRun cleared = likeness("remove --unrecorded --delete-files");
    EXPECT_EQ(cleared.status, 0) << cleared.err;
    EXPECT_TRUE(contains(cleared.out, "deleted pictures/pics/scene2.jpg\ndeleted 1 stored copy")) << cleared.out;
    EXPECT_FALSE(fs::exists(home / "pictures/pics/scene2.jpg"));
    EXPECT_TRUE(fs::exists(home / "queries" / "q.jpg"));
}

TEST_F(CliTest, RemoveMissingAndCompactDropWhatTheFeatureFileLoadsNothingFrom) {
    ASSERT_EQ(likeness("add pics").status, 0);
    const std::string firstRecord = lines(readFile(home / "feat.txt")).front();
    ASSERT_EQ(firstRecord.rfind("pictures/pics/scene0.jpg|", 0), 0u) << firstRecord;
    fs::remove(home / "pictures/pics/scene2.jpg");
    std::ofstream(home / "feat.txt", std::ios::app) << firstRecord << "\n" << firstRecord.substr(0, 100) << "\n";

    const CommandRun missing = likeness("remove --missing");
    EXPECT_EQ(missing.status, 0) << missing.err;
    EXPECT_TRUE(contains(missing.out, "removed pictures/pics/scene2.jpg: no stored copy")) << missing.out;
    EXPECT_TRUE(contains(missing.out,
                         "kept 5 records; dropped 1 torn or damaged lines, 1 records replaced by a "
                         "later one of their key, 1 records of keys with no stored copy"))
        << missing.out;
    const std::string compacted = readFile(home / "feat.txt");
    EXPECT_EQ(lines(compacted).size(), 5u);
    EXPECT_EQ(lines(compacted).back(), firstRecord) << "the last record of a key is the one kept, byte for byte";

    const CommandRun compact = likeness("compact");
    EXPECT_EQ(compact.status, 0) << compact.err;
    EXPECT_TRUE(contains(compact.out, "feat.txt is compact: 5 records")) << compact.out;
    EXPECT_EQ(readFile(home / "feat.txt"), compacted);
    EXPECT_TRUE(contains(likeness("info").out, "pictures:  5\n"));

    writeBytes(home / "pictures/pics/scene2.jpg", readFile(pics / "scene2.jpg"));
    EXPECT_TRUE(contains(likeness("info").out, "pictures:  5\n")) << "a file put back does not revive its old record";
}

TEST_F(CliTest, ASecondWriterIsRefusedWhileTheHomeIsLockedAndReadersAreNot) {
    ASSERT_EQ(likeness("add pics/scene0.jpg pics/scene1.png").status, 0);
    const std::string before = readFile(home / "feat.txt");
    const int held = open(home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    for (const char* writer : {"add pics/scene2.jpg", "add-url http://127.0.0.1:1/a.jpg", "remove pictures/scene0.jpg",
                               "remove --missing", "compact"}) {
        const CommandRun refused = likeness(writer);
        EXPECT_EQ(refused.status, 2) << writer;
        EXPECT_TRUE(contains(refused.err, "another likeness process is writing the home " + home.string()))
            << writer << ": " << refused.err;
    }
    EXPECT_EQ(readFile(home / "feat.txt"), before);
    EXPECT_EQ(likeness("info").status, 0) << "readers need no lock";
    EXPECT_EQ(likeness("search pics/scene0.jpg").status, 0);
    close(held);
    EXPECT_EQ(likeness("remove pictures/scene0.jpg").status, 0) << "the lock went with its holder";
}

TEST_F(CliTest, ACompactionKilledAtAnyMomentLeavesTheOldFileOrTheNewOne) {
    const std::string oldText = syntheticFeatureFile(home, 2500);
    writeBytes(home / "feat.txt", oldText);
    const auto started = std::chrono::steady_clock::now();
    const CommandRun clean = likeness("compact");
    const auto took = std::chrono::steady_clock::now() - started;
    ASSERT_EQ(clean.status, 0) << clean.err;
    ASSERT_TRUE(contains(clean.out, "kept 2142 records")) << clean.out;
    const std::string newText = readFile(home / "feat.txt");

    std::mt19937 random(20261209);
    const long long spanMicroseconds = std::chrono::duration_cast<std::chrono::microseconds>(took).count() * 5 / 4;
    int oldLeft = 0;
    int newLeft = 0;
    int halfWritten = 0;
    const int kills = killsWanted();
    for (int round = 0; round < kills && !HasFailure(); ++round) {
        writeBytes(home / "feat.txt", oldText);
        const pid_t child = fork();
        if (child == 0) {
            const int quiet = open("/dev/null", O_WRONLY);
            dup2(quiet, 1);
            dup2(quiet, 2);
            if (chdir(work.c_str()) == 0) execl(LIKENESS_CLI, "likeness", "--home", "home", "compact", nullptr);
            _exit(127);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % spanMicroseconds));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        const std::string left = readFile(home / "feat.txt");
        EXPECT_TRUE(left == oldText || left == newText)
            << "round " << round << ": " << left.size() << " bytes, neither the old file nor the new one";
        (left == oldText ? oldLeft : newLeft) += 1;
        halfWritten += temporariesIn(home).empty() ? 0 : 1;
        const CommandRun next = likeness("compact");
        EXPECT_EQ(next.status, 0) << "round " << round << ": the killed writer's lock is gone: " << next.err;
        EXPECT_EQ(readFile(home / "feat.txt"), newText) << "round " << round;
        EXPECT_EQ(temporariesIn(home), std::vector<std::string>{}) << "round " << round;
    }
    std::printf("kills that left the old file: %d (%d beside a half-written new one), the new one: %d\n", oldLeft,
                halfWritten, newLeft);
    EXPECT_TRUE(contains(likeness("info").out, "pictures:  2142\n"));
}
