// `likeness shard` and `likeness merge`: every record the home loads reaches exactly one shard, byte
// for byte, with its stored copy, and comes back by a merge; a refusal leaves nothing behind.
#include <algorithm>
#include <fstream>
#include <set>

#include "CliTestSupport.h"
#include "module/ShardKey.h"

namespace fs = std::filesystem;

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string keyOf(const std::string& record) {
    return record.substr(0, record.find('|'));
}

// The records a home loads: the last line of each key, but those removed.
std::set<std::string> loadedRecords(const fs::path& home, const std::set<std::string>& removed) {
    std::vector<std::string> all = lines(readFile(home / "feat.txt"));
    std::set<std::string> seen;
    std::set<std::string> records;
    for (auto line = all.rbegin(); line != all.rend(); ++line)
        if (seen.insert(keyOf(*line)).second && removed.count(keyOf(*line)) == 0) records.insert(*line);
    return records;
}

std::set<std::string> recordsOf(const fs::path& home) {
    const std::vector<std::string> all = lines(readFile(home / "feat.txt"));
    return std::set<std::string>(all.begin(), all.end());
}

class ShardTest : public CliTest {
protected:
    // A home holding the six pictures, one of them removed since.
    void SetUp() override {
        CliTest::SetUp();
        ASSERT_EQ(likeness("-q add pics").status, 0);
        ASSERT_EQ(likeness("remove pictures/pics/scene1.png").status, 0);
        expected = loadedRecords(home, {"pictures/pics/scene1.png"});
        ASSERT_EQ(expected.size(), 5u);
    }

    CommandRun run(const std::string& arguments) const {
        return runShell(shellQuoted(LIKENESS_CLI) + " " + arguments, work);
    }

    std::string searchJson(const std::string& home) const {
        return run("--home " + home + " search --json -n 10 pics/scene0.jpg pics/scene3.png").out;
    }

    std::set<std::string> expected;
};

}  // namespace

TEST(ShardKey, IsTheFnv1aHashOfTheKeyModuloTheCount) {
    // The published FNV-1a test values: homes on disk depend on this never changing.
    EXPECT_EQ(likeness::shardOf("a", 1000003), 0xaf63dc4c8601ec8cull % 1000003);
    EXPECT_EQ(likeness::shardOf("foobar", 4099), 0x85944171f73967e8ull % 4099);
    EXPECT_EQ(likeness::shardOf("foobar", 1), 0u);
}

TEST_F(ShardTest, EveryLoadedRecordReachesOneShardAndComesBackByAMerge) {
    const CommandRun split = run("shard home --into 3 shards");
    ASSERT_EQ(split.status, 0) << split.err;
    EXPECT_TRUE(contains(split.out, "(5 pictures) into 3 homes")) << split.out;
    std::set<std::string> united;
    for (std::size_t shard = 0; shard < 3; ++shard) {
        const fs::path shardHome = work / "shards" / ("shard-" + std::to_string(shard));
        for (const std::string& record : recordsOf(shardHome)) {
            const std::string key = keyOf(record);
            EXPECT_EQ(likeness::shardOf(key, 3), shard) << key;
            EXPECT_EQ(readFile(shardHome / key), readFile(home / key)) << key;
            EXPECT_TRUE(united.insert(record).second) << key << " is in two shards";
        }
        EXPECT_EQ(readFile(shardHome / "model" / "v0.dat"), readFile(home / "model" / "v0.dat"));
    }
    EXPECT_EQ(united, expected);
    EXPECT_FALSE(fs::exists(work / "shards.partial"));

    const CommandRun merged = run("merge shards merged");
    ASSERT_EQ(merged.status, 0) << merged.err;
    EXPECT_TRUE(contains(merged.out, "into " + (work / "merged").string() + ": 5 pictures")) << merged.out;
    EXPECT_EQ(recordsOf(work / "merged"), expected);
    const std::string before = searchJson("home");
    EXPECT_TRUE(contains(before, "pictures/pics/scene0.jpg"));
    EXPECT_EQ(searchJson("merged"), before);
}

TEST_F(ShardTest, RefusalsLeaveNothingBehind) {
    fs::create_directories(work / "taken");
    const CommandRun taken = run("shard home --into 2 taken");
    EXPECT_EQ(taken.status, 1);
    EXPECT_TRUE(contains(taken.err, "nothing split: " + (work / "taken").string() + " exists already")) << taken.err;
    EXPECT_TRUE(fs::is_empty(work / "taken"));

    ASSERT_EQ(run("shard home --into 2 shards").status, 0);
    // A key in two shards: the merge cannot tell which picture the key names.
    const std::string stray = *lines(readFile(work / "shards" / "shard-0" / "feat.txt")).begin();
    std::ofstream(work / "shards" / "shard-1" / "feat.txt", std::ios::app) << stray << "\n";
    fs::create_directories(work / "shards" / "shard-1" / fs::path(keyOf(stray)).parent_path());
    fs::copy_file(work / "shards" / "shard-0" / keyOf(stray), work / "shards" / "shard-1" / keyOf(stray));
    const CommandRun twice = run("merge shards merged");
    EXPECT_EQ(twice.status, 1);
    EXPECT_TRUE(contains(twice.err, keyOf(stray) + " is in both")) << twice.err;
    fs::rename(work / "shards" / "shard-1", work / "lost");
    const CommandRun missing = run("merge shards merged");
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(contains(missing.err, "missing or hold no model: " + (work / "shards" / "shard-1").string()))
        << missing.err;
    EXPECT_FALSE(fs::exists(work / "merged"));
    EXPECT_FALSE(fs::exists(work / "merged.partial"));

    // A stored copy outside the home cannot move with a shard.
    std::ofstream(work / "outside.jpg") << "";
    const std::string record = *expected.begin();
    std::ofstream(home / "feat.txt", std::ios::app)
        << (work / "outside.jpg").string() << record.substr(record.find('|')) << "\n";
    const CommandRun outside = run("shard home --into 2 more");
    EXPECT_EQ(outside.status, 1);
    EXPECT_TRUE(contains(outside.err, "outside.jpg lies outside its home")) << outside.err;
    EXPECT_FALSE(fs::exists(work / "more"));
    EXPECT_FALSE(fs::exists(work / "more.partial"));
}
