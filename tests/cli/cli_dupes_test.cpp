// `likeness dupes`: a home of distinct pictures, byte-identical copies and altered copies is
// grouped as the pictures are related, in text, JSON and on the page; the keep rules pick the
// right picture; the threshold moves the grouping; and nothing in the home changes.
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>

#include <nlohmann/json.hpp>

#include "CliTestSupport.h"

namespace fs = std::filesystem;

namespace {

using Groups = std::vector<std::vector<std::string>>;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The groups of the text output: "group N: M pictures, ...", then a line per member: its distance
// from the first (none for the first itself) and its key.
Groups textGroups(const std::string& out) {
    Groups groups;
    bool inMembers = false;
    const std::regex member(" {4}(?:[0-9. ]{7})  (.+)");
    std::smatch found;
    for (const std::string& line : lines(out)) {
        if (std::regex_match(line, std::regex("group [0-9]+: [0-9]+ pictures, distances from the first"))) {
            groups.emplace_back();
            inMembers = true;
        } else if (inMembers && std::regex_match(line, found, member)) {
            groups.back().push_back(found[1].str());
        } else {
            inMembers = false;
        }
    }
    return groups;
}

Groups jsonGroups(const nlohmann::json& answer) {
    Groups groups;
    for (const nlohmann::json& group : answer.at("groups")) {
        groups.emplace_back();
        for (const nlohmann::json& member : group.at("members")) groups.back().push_back(member.at("key"));
    }
    return groups;
}

// Every file below the home with its bytes.
std::map<std::string, std::string> snapshot(const fs::path& home) {
    std::map<std::string, std::string> files;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(home))
        if (entry.is_regular_file() && entry.path().extension() != ".log")
            files[entry.path().lexically_relative(home).string()] = readFile(entry.path());
    return files;
}

// The JPEG with an EXIF block saying it was taken at date ("2001:02:03 04:05:06"), in big-endian
// TIFF order: IFD0 holds only the pointer to the Exif IFD, which holds only DateTimeOriginal.
std::string withTakenDate(const std::string& jpeg, const std::string& date) {
    const auto big = [](std::uint32_t value, int bytes) {
        std::string out;
        for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>(value >> (8 * i) & 0xFF);
        return out;
    };
    const std::string tiff = "MM" + big(42, 2) + big(8, 4) +  // header, IFD0 at 8
                             big(1, 2) + big(0x8769, 2) + big(4, 2) + big(1, 4) + big(26, 4) + big(0, 4) +   // IFD0
                             big(1, 2) + big(0x9003, 2) + big(2, 2) + big(20, 4) + big(44, 4) + big(0, 4) +  // Exif IFD
                             date + std::string(1, '\0');
    const std::string block = std::string("Exif\0\0", 6) + tiff;
    return jpeg.substr(0, 2) + "\xFF\xE1" + big(static_cast<std::uint32_t>(block.size() + 2), 2) + block +
           jpeg.substr(2);
}

const std::vector<std::string> kScene4Group{"pictures/pics/scene4-copy.jpg", "pictures/pics/scene4.jpg",
                                            "pictures/q/jpeg-scene4.jpg", "pictures/q/mirror-scene4.jpg"};
const std::vector<std::string> kScene3Group{"pictures/pics/scene3.png", "pictures/q/crop-scene3.jpg",
                                            "pictures/q/jpeg-scene3.jpg"};
const std::vector<std::string> kScene5Group{"pictures/pics/scene5.png", "pictures/q/jpeg-scene5.jpg"};

class DupesTest : public CliTest {
protected:
    // Distinct scenes 0, 3, 4 and 5 (the test model puts scenes 1 and 2 near 0), a byte-identical
    // copy of scene 4 and altered copies: scene 4 recompressed and mirrored, scene 3 cropped and
    // recompressed, scene 5 recompressed.
    // prepare runs on the pictures and their altered copies before they are added.
    void addRelatedPictures(const std::function<void()>& prepare = [] {}) {
        fs::remove(pics / "scene1.png");
        fs::remove(pics / "scene2.jpg");
        fs::remove_all(pics / "sub");
        fs::remove(pics / "notes.txt");
        fs::copy_file(pics / "scene4.jpg", pics / "scene4-copy.jpg");
        const CommandRun made =
            runShell(shellQuoted(LIKENESS_DEMO_QUERIES) + " q pics/scene3.png pics/scene4.jpg pics/scene5.png", work);
        ASSERT_EQ(made.status, 0) << made.err;
        for (const char* unwanted : {"rotate-scene3.jpg", "rotate-scene4.jpg", "rotate-scene5.jpg", "mirror-scene3.jpg",
                                     "mirror-scene5.jpg", "crop-scene4.jpg", "crop-scene5.jpg"})
            ASSERT_TRUE(fs::remove(work / "q" / unwanted)) << unwanted;
        prepare();
        const CommandRun added = likeness("add --allow-copies pics q");
        ASSERT_EQ(added.status, 0) << added.err;
        ASSERT_TRUE(contains(added.out, "added 10")) << added.out;
    }
};

}  // namespace

TEST_F(DupesTest, GroupsCopiesTransitivelyLargestGroupFirstAndLeavesDistinctPicturesOut) {
    addRelatedPictures();
    const CommandRun run = likeness("dupes");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(textGroups(run.out), (Groups{kScene4Group, kScene3Group, kScene5Group})) << run.out;
    EXPECT_FALSE(contains(run.out, "scene0")) << "a distinct picture is in no group";
    EXPECT_TRUE(
        contains(run.out, "             pictures/pics/scene4-copy.jpg\n    100.000  pictures/pics/scene4.jpg\n"))
        << "the byte-identical copy is at the least distance from the first\n"
        << run.out;
    EXPECT_TRUE(contains(run.out,
                         "3 groups of near-duplicates, 9 pictures in all, among 10 stored pictures "
                         "(the same-picture rule)"))
        << run.out;
    EXPECT_FALSE(contains(run.out, "keep:")) << "nothing is chosen unless asked";
    EXPECT_EQ(run.err, "") << "no progress display for a handful of pairs that went by in a moment";

    // Only the identical copy is this close; far enough, everything is one group.
    const CommandRun tight = likeness("dupes --threshold 100.001");
    ASSERT_EQ(tight.status, 0) << tight.err;
    EXPECT_EQ(textGroups(tight.out), (Groups{{"pictures/pics/scene4-copy.jpg", "pictures/pics/scene4.jpg"}}))
        << tight.out;
    const Groups loose = textGroups(likeness("dupes --threshold 150").out);
    ASSERT_EQ(loose.size(), 1u);
    EXPECT_EQ(loose[0].size(), 10u);

    // Groups of one size come in the order of their first keys.
    fs::copy_file(pics / "scene0.jpg", pics / "scene0-copy.jpg");
    ASSERT_EQ(likeness("add --allow-copies pics/scene0-copy.jpg").status, 0);
    fs::copy_file(pics / "scene5.png", pics / "scene5-copy.png");
    ASSERT_EQ(likeness("add --allow-copies pics/scene5-copy.png").status, 0);
    EXPECT_EQ(textGroups(likeness("dupes --threshold 100.001").out),
              (Groups{{"pictures/pics/scene0.jpg", "pictures/scene0-copy.jpg"},
                      {"pictures/pics/scene4-copy.jpg", "pictures/pics/scene4.jpg"},
                      {"pictures/pics/scene5.png", "pictures/scene5-copy.png"}}));

    for (const char* bad : {"100", "99.5", "abc", "nan", "inf"}) {
        const CommandRun refused = likeness(std::string("dupes --threshold ") + bad);
        EXPECT_EQ(refused.status, 2) << bad;
        EXPECT_TRUE(contains(refused.err, "above 100")) << bad << ": " << refused.err;
    }
    EXPECT_EQ(likeness("dupes --keep biggest").status, 2);
}

TEST_F(DupesTest, JsonHoldsEveryGroupMemberAndPairWithTheDistancesSearchMeasures) {
    addRelatedPictures();
    // A Latin-1 name, which JSON carries with its exact bytes beside it.
    fs::copy_file(pics / "scene5.png", pics / "caf\xe9.png");
    ASSERT_EQ(likeness("add --allow-copies " + shellQuoted("pics/caf\xe9.png")).status, 0);

    const CommandRun run = likeness("dupes --json");
    ASSERT_EQ(run.status, 0) << run.err;
    const nlohmann::json answer = nlohmann::json::parse(run.out);
    EXPECT_EQ(answer.at("pictures"), 11);
    const double threshold = answer.at("threshold").get<double>();
    EXPECT_NEAR(threshold, 100.3, 1e-5);
    EXPECT_EQ(answer.count("keep_rule"), 0u);
    const std::string latin1Key = "pictures/caf\xEF\xBF\xBD.png";
    std::vector<std::string> scene5Group{latin1Key, "pictures/pics/scene5.png", "pictures/q/jpeg-scene5.jpg"};
    // Groups of three in the order of their first keys.
    EXPECT_EQ(jsonGroups(answer), (Groups{kScene4Group, scene5Group, kScene3Group}));
    const nlohmann::json& latin1 = answer["groups"][1]["members"][0];
    EXPECT_EQ(fromBase64(latin1.at("key_bytes").get<std::string>()), "pictures/caf\xe9.png");

    for (const nlohmann::json& group : answer["groups"]) {
        std::set<std::string> members;
        for (const nlohmann::json& member : group["members"]) {
            const std::string key = member.count("key_bytes") ? fromBase64(member["key_bytes"].get<std::string>())
                                                              : member["key"].get<std::string>();
            members.insert(member["key"].get<std::string>());
            EXPECT_EQ(member.at("bytes").get<std::uintmax_t>(), fs::file_size(home / key)) << key;
            EXPECT_TRUE(
                std::regex_match(member.at("modified").get<std::string>(),
                                 std::regex("20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-2][0-9]:[0-5][0-9]:[0-6][0-9]Z")))
                << member["modified"];
        }
        // The pairs join every member, each pair once, in key order, all below the threshold.
        std::map<std::string, std::string> joinedTo;
        for (const std::string& member : members) joinedTo[member] = member;
        const std::function<std::string(const std::string&)> root = [&](const std::string& key) {
            return joinedTo[key] == key ? key : root(joinedTo[key]);
        };
        std::set<std::pair<std::string, std::string>> seen;
        for (const nlohmann::json& pair : group.at("pairs")) {
            const std::string first = pair.at("first"), second = pair.at("second");
            EXPECT_LT(first, second);
            EXPECT_TRUE(seen.insert({first, second}).second) << first << " " << second;
            EXPECT_EQ(members.count(first) + members.count(second), 2u) << first << " " << second;
            EXPECT_LT(pair.at("distance").get<double>(), threshold);
            joinedTo[root(first)] = root(second);
        }
        std::set<std::string> roots;
        for (const std::string& member : members) roots.insert(root(member));
        EXPECT_EQ(roots.size(), 1u) << "the pairs connect the group " << group.dump();
    }
    // Six pairs in the group of four: its members are all close to one another.
    const nlohmann::json& pairs = answer["groups"][0]["pairs"];
    ASSERT_EQ(pairs.size(), 6u);
    EXPECT_EQ(pairs[0]["first"], "pictures/pics/scene4-copy.jpg");
    EXPECT_EQ(pairs[0]["second"], "pictures/pics/scene4.jpg");
    EXPECT_EQ(pairs[0]["distance"].get<double>(), 100.0);

    // Search measures the same distances from a query's fresh vector; the stored one keeps six digits.
    const nlohmann::json found = nlohmann::json::parse(
        likeness("search --json -n 3 " + shellQuoted((home / "pictures/q/jpeg-scene3.jpg").string())).out);
    std::map<std::string, double> fromSearch;
    for (const nlohmann::json& result : found[0]["results"]) fromSearch[result["key"]] = result["distance"];
    for (const nlohmann::json& pair : answer["groups"][2]["pairs"]) {
        if (pair["second"] != "pictures/q/jpeg-scene3.jpg") continue;
        ASSERT_EQ(fromSearch.count(pair["first"]), 1u) << pair.dump();
        EXPECT_NEAR(pair["distance"].get<double>(), fromSearch[pair["first"]], 1e-3) << pair.dump();
    }

    // Each member's distance from the first is the pair's, where they form one, and the text says it.
    const std::string text = likeness("dupes").out;
    for (const nlohmann::json& group : answer["groups"]) {
        const nlohmann::json& first = group["members"][0];
        EXPECT_EQ(first["distance_to_first"].get<double>(), 100.0);
        for (const nlohmann::json& pair : group["pairs"]) {
            if (pair["first"] != first["key"]) continue;
            for (const nlohmann::json& member : group["members"]) {
                if (member["key"] == pair["second"]) {
                    EXPECT_EQ(member["distance_to_first"], pair["distance"]) << pair.dump();
                }
            }
        }
        for (const nlohmann::json& member : group["members"]) {
            if (member.count("key_bytes") || member == first) continue;
            char distance[32];
            std::snprintf(distance, sizeof distance, "%7.3f", member["distance_to_first"].get<double>());
            EXPECT_TRUE(contains(text, "    " + std::string(distance) + "  " + member["key"].get<std::string>() + "\n"))
                << member.dump();
        }
    }
}

TEST_F(DupesTest, KeepNamesTheLargestOldestOrFirstAndDeletesNothing) {
    // The mirrored copy is the oldest file of its group before it is added, and its stored copy
    // keeps that date; the recompressed scene 3, the newest file of its group, says it was taken
    // in 2001; the cropped one is made the largest of its group.
    addRelatedPictures([this] {
        fs::last_write_time(work / "q/mirror-scene4.jpg",
                            fs::last_write_time(pics / "scene4.jpg") - std::chrono::hours(24 * 365));
        const std::string dated = withTakenDate(readFile(work / "q/jpeg-scene3.jpg"), "2001:02:03 04:05:06");
        std::ofstream(work / "q/jpeg-scene3.jpg", std::ios::binary) << dated;
        fs::last_write_time(pics / "scene3.png", fs::last_write_time(pics / "scene4.jpg") - std::chrono::hours(24));
    });
    {
        std::ofstream grow(home / "pictures/q/crop-scene3.jpg", std::ios::binary | std::ios::app);
        grow << std::string(200000, '\0');  // trailing bytes after the JPEG's end; its vector is already stored
    }
    const std::map<std::string, std::string> before = snapshot(home);

    const auto kept = [this](const std::string& rule) {
        const CommandRun run = likeness("dupes --json --keep " + rule);
        EXPECT_EQ(run.status, 0) << run.err;
        const nlohmann::json answer = nlohmann::json::parse(run.out);
        EXPECT_EQ(answer.at("keep_rule"), rule);
        std::vector<std::string> keys;
        for (const nlohmann::json& group : answer["groups"]) keys.push_back(group.at("keep"));
        return keys;
    };
    // Scene 4's byte-identical pair ties for the largest there: the first key wins.
    const auto largestOf = [this](const std::vector<std::string>& group) {
        std::string best = group[0];
        for (const std::string& key : group)
            if (fs::file_size(home / key) > fs::file_size(home / best)) best = key;
        return best;
    };
    EXPECT_EQ(kept("largest"), (std::vector<std::string>{largestOf(kScene4Group), "pictures/q/crop-scene3.jpg",
                                                         largestOf(kScene5Group)}));
    const std::vector<std::string> oldest = kept("oldest");
    ASSERT_EQ(oldest.size(), 3u);
    EXPECT_EQ(oldest[0], "pictures/q/mirror-scene4.jpg");
    EXPECT_EQ(oldest[1], "pictures/q/jpeg-scene3.jpg") << "the date it was taken, not its file's, counts";
    EXPECT_EQ(kept("first"), (std::vector<std::string>{kScene4Group[0], kScene3Group[0], kScene5Group[0]}));

    const CommandRun text = likeness("dupes --keep largest");
    EXPECT_TRUE(contains(text.out, "  keep: pictures/q/crop-scene3.jpg (the largest file, " +
                                       std::to_string(fs::file_size(home / "pictures/q/crop-scene3.jpg")) +
                                       " bytes)\n"))
        << text.out;
    const std::string byAge = likeness("dupes --keep oldest").out;
    EXPECT_TRUE(contains(byAge, "  keep: pictures/q/mirror-scene4.jpg (the oldest, modified ")) << byAge;
    EXPECT_TRUE(contains(byAge, "  keep: pictures/q/jpeg-scene3.jpg (the oldest, taken 2001-02-03 04:05:06)")) << byAge;
    EXPECT_EQ(snapshot(home), before) << "dupes changes no file of the home";
}

TEST_F(DupesTest, PageShowsEachGroupsThumbnailsAndDistances) {
    addRelatedPictures();
    const CommandRun run = likeness("dupes --keep first --html dupes.html");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(contains(run.err, "wrote the page dupes.html")) << run.err;
    const std::string html = readFile(work / "dupes.html");
    const std::vector<cv::Mat> pictures = embeddedPictures(html);
    ASSERT_EQ(pictures.size(), 9u) << "one thumbnail per member";
    for (const cv::Mat& picture : pictures) EXPECT_FALSE(picture.empty());
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find("http://"), std::string::npos) << "the page loads nothing";
    EXPECT_TRUE(contains(html, "<h2>Group 1: 4 pictures</h2>"));
    EXPECT_TRUE(contains(html, "pictures/<wbr>pics/<wbr>scene4-<wbr>copy.jpg<span class=\"mark\">keep</span>"));
    EXPECT_TRUE(contains(html, "scene4.jpg<span class=\"distance\">distance 100.000 from 1</span>"));
    const std::regex fromFirst("<span class=\"distance\">distance 10[0-9]\\.[0-9]{3} from 1</span>");
    EXPECT_EQ(std::distance(std::sregex_iterator(html.begin(), html.end(), fromFirst), std::sregex_iterator()),
              3 + 2 + 1)
        << "every member but the first of each group";
    EXPECT_TRUE(contains(html, "nothing was deleted"));
}

TEST_F(DupesTest, AnEmptyHomeHasNoDuplicates) {
    const CommandRun text = likeness("dupes");
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out, "no near-duplicates among 0 stored pictures (the same-picture rule)\n");
    const nlohmann::json answer = nlohmann::json::parse(likeness("dupes --json --keep largest").out);
    EXPECT_EQ(answer.at("pictures"), 0);
    EXPECT_TRUE(answer.at("groups").empty());
    ASSERT_EQ(likeness("dupes --html empty.html").status, 0);
    EXPECT_TRUE(embeddedPictures(readFile(work / "empty.html")).empty());

    // One picture alone has nobody to be like.
    ASSERT_EQ(likeness("add pics/scene3.png").status, 0);
    EXPECT_EQ(likeness("dupes").out, "no near-duplicates among 1 stored picture (the same-picture rule)\n");
}

// A threshold at which everything chains: one group of every picture, said to be too large; the
// text gives each member once and the page a bounded share of them, while JSON keeps every pair.
TEST_F(DupesTest, WhenEverythingChainsTheOutputStaysReadable) {
    const CommandRun made = runShell(shellQuoted(MAKE_TEST_PICTURES) + " many 60", work);
    ASSERT_EQ(made.status, 0) << made.err;
    ASSERT_EQ(likeness("add -q many").status, 0);
    const CommandRun run = likeness("dupes --threshold 100000 --keep first --html all.html");
    ASSERT_EQ(run.status, 0) << run.err;
    const Groups groups = textGroups(run.out);
    ASSERT_EQ(groups.size(), 1u) << run.out;
    EXPECT_EQ(groups[0].size(), 60u);
    EXPECT_EQ(lines(run.out).size(), 1 + 60 + 1 + 1 + 1u) << "a line per member, not per pair";
    EXPECT_TRUE(contains(run.err, "group 1 holds 60 pictures: at a distance below 100000, chains of close pairs"))
        << run.err;
    const std::string html = readFile(work / "all.html");
    EXPECT_EQ(embeddedPictures(html).size(), 24u);
    EXPECT_TRUE(contains(html, "36 more pictures of this group are not shown; likeness dupes --json lists them all."));
    const nlohmann::json answer = nlohmann::json::parse(likeness("dupes --json --threshold 100000").out);
    EXPECT_EQ(answer["groups"][0]["members"].size(), 60u);
    EXPECT_EQ(answer["groups"][0]["pairs"].size(), 60u * 59 / 2);
    EXPECT_TRUE(contains(likeness("dupes --threshold 100.0001").out, "(distance below 100.0001)\n"))
        << "the threshold as it was given";
}
