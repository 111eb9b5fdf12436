// `likeness search`: distances beside the keys in text, JSON and the results page, and the
// messages for queries and homes that cannot give results.
#include <charconv>
#include <fstream>
#include <regex>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include "CliTestSupport.h"

namespace fs = std::filesystem;

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

struct TextResult {
    double distance;
    std::string key;
    bool samePicture;
};

// "DISTANCE  KEY" lines, "  (same picture)" after the close ones.
std::vector<TextResult> parseText(const std::string& out) {
    std::vector<TextResult> results;
    const std::regex line(R"( *([0-9]+\.[0-9]{3})  (.*?)(  \(same picture\))?)");
    for (const std::string& text : lines(out)) {
        std::smatch match;
        if (!std::regex_match(text, match, line)) {
            ADD_FAILURE() << "not a result line: " << text;
            continue;
        }
        results.push_back({std::stod(match[1]), match[2], match[3].matched});
    }
    return results;
}

}  // namespace

TEST_F(CliTest, SearchGivesEachResultItsDistanceNearestFirst) {
    ASSERT_EQ(likeness("add pics").status, 0);

    const CommandRun text = likeness("search -n 3 pics/scene3.png");
    EXPECT_EQ(text.status, 0) << text.err;
    const std::vector<TextResult> results = parseText(text.out);
    ASSERT_EQ(results.size(), 3u) << text.out;
    EXPECT_EQ(results[0].key, "pictures/pics/scene3.png");
    EXPECT_EQ(results[0].distance, 100.0) << "a picture is at the least possible distance from itself";
    EXPECT_TRUE(results[0].samePicture);

    // The command measures the distances itself; they must rank the keys as the library did.
    const CommandRun json = likeness("search --json -n 10 pics/scene4.jpg pics/notes.txt");
    EXPECT_EQ(json.status, 1) << "one query was not a picture";
    const nlohmann::json answer = nlohmann::json::parse(json.out);
    ASSERT_EQ(answer.size(), 2u);
    EXPECT_EQ(answer[0]["query"], "pics/scene4.jpg");
    const nlohmann::json& found = answer[0]["results"];
    ASSERT_EQ(found.size(), 6u) << "every stored picture, since fewer than 10 are";
    EXPECT_EQ(found[0]["key"], "pictures/pics/scene4.jpg");
    bool someFar = false;
    for (std::size_t i = 1; i < found.size(); ++i) {
        EXPECT_LE(found[i - 1]["distance"].get<double>(), found[i]["distance"].get<double>()) << i;
        EXPECT_GT(found[i]["distance"].get<double>(), 100.0) << "only the query itself is at 100";
        // A distance is printed in its float's shortest form, not in the 17 digits of a double.
        char shortest[32];
        *std::to_chars(shortest, shortest + 31, found[i]["distance"].get<float>()).ptr = '\0';
        EXPECT_EQ(found[i]["distance"].get<double>(), std::stod(shortest)) << found[i]["distance"].dump();
        someFar |= !found[i]["same_picture"].get<bool>();
    }
    EXPECT_TRUE(found[0]["same_picture"].get<bool>());
    EXPECT_TRUE(someFar) << "the test model puts some scenes past the threshold";
    EXPECT_TRUE(answer[1]["results"].empty());
    EXPECT_TRUE(contains(answer[1]["error"].get<std::string>(), "not a decodable picture"));

    // Text and JSON print the same measurement.
    const std::vector<TextResult> all = parseText(likeness("search -n 10 pics/scene4.jpg").out);
    ASSERT_EQ(all.size(), found.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].key, found[i]["key"]);
        EXPECT_NEAR(all[i].distance, found[i]["distance"].get<double>(), 0.0005);
        EXPECT_EQ(all[i].samePicture, found[i]["same_picture"].get<bool>());
    }
}

TEST_F(CliTest, TransformedCopiesFindTheirOriginalAndDecodersKeepQuiet) {
    // A comment chunk with a wrong CRC after the PNG's header: libpng warns and decodes the pixels.
    const std::string png = readFile(pics / "scene5.png");
    std::ofstream(pics / "scene5.png", std::ios::binary)
        << png.substr(0, 33) + std::string("\0\0\0\x04tEXta\0bc\x01\x02\x03\x04", 16) + png.substr(33);
    const CommandRun added = likeness("add pics");
    ASSERT_EQ(added.status, 0) << added.err;
    const CommandRun made =
        runShell(shellQuoted(LIKENESS_DEMO_QUERIES) + " queries pics/scene2.jpg pics/scene5.png", work);
    ASSERT_EQ(made.status, 0) << made.err;
    const CommandRun page = likeness("search --html page.html pics/scene5.png");
    for (const CommandRun& run : {added, made, page})
        EXPECT_FALSE(contains(run.err, "libpng")) << "decoder messages go to the log\n" << run.err;
    const std::vector<std::string> queries = lines(made.out);
    ASSERT_EQ(queries.size(), 8u) << "crop, recompression, rotation and mirror of each\n" << made.out;
    for (const std::string& query : queries) {
        const std::string original = query.find("scene2") != std::string::npos ? "scene2.jpg" : "scene5.png";
        const std::vector<TextResult> nearest = parseText(likeness("search -n 1 " + shellQuoted(query)).out);
        ASSERT_EQ(nearest.size(), 1u) << query;
        EXPECT_EQ(nearest[0].key, "pictures/pics/" + original) << query;
    }
}

TEST_F(CliTest, JsonCarriesKeysThatAreNotUtf8Exactly) {
    // A Latin-1 file name, as old archives have them: "caf\xe9.png".
    const std::string latin1Name = "caf\xe9.png";
    fs::create_directories(work / "old");
    std::ofstream(work / "old" / latin1Name, std::ios::binary) << readFile(pics / "scene1.png");
    ASSERT_EQ(likeness("add old").status, 0);

    const CommandRun json = likeness("search --json -n 1 " + shellQuoted("old/" + latin1Name));
    EXPECT_EQ(json.status, 0) << json.err;
    const nlohmann::json answer = nlohmann::json::parse(json.out);
    const nlohmann::json& result = answer.at(0).at("results").at(0);
    EXPECT_EQ(result["key"], "pictures/old/caf\xEF\xBF\xBD.png") << "the invalid byte is replaced";
    EXPECT_EQ(fromBase64(result["key_bytes"].get<std::string>()), "pictures/old/" + latin1Name);
    EXPECT_EQ(fromBase64(answer[0]["query_bytes"].get<std::string>()), "old/" + latin1Name);
    EXPECT_EQ(result.count("distance"), 1u);

    ASSERT_EQ(likeness("add pics/scene2.jpg").status, 0);
    const nlohmann::json plain = nlohmann::json::parse(likeness("search --json -n 1 pics/scene2.jpg").out);
    EXPECT_EQ(plain[0]["results"][0].count("key_bytes"), 0u) << "valid keys come as they are";
}

TEST_F(CliTest, QueriesAndHomesThatCannotGiveResultsSaySo) {
    const CommandRun empty = likeness("search pics/scene1.png");
    EXPECT_EQ(empty.status, 1);
    EXPECT_TRUE(contains(empty.err, "is empty")) << empty.err;
    EXPECT_TRUE(contains(empty.err, "likeness --home home add")) << empty.err;

    ASSERT_EQ(likeness("add pics/scene1.png").status, 0);
    const CommandRun missing = likeness("search pics/absent.jpg");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "pics/absent.jpg: no such file\n");

    const CommandRun zero = likeness("search -n 0 pics/scene1.png");
    EXPECT_EQ(zero.status, 2);
    EXPECT_TRUE(contains(zero.err, "at least 1")) << zero.err;
    EXPECT_LT(zero.err.size(), 200u) << "no 300-digit range\n" << zero.err;
    EXPECT_EQ(likeness("search -n 2x pics/scene1.png").status, 2);
}

TEST_F(CliTest, HtmlPageShowsDistancesTheMarkAndWhatItShows) {
    ASSERT_EQ(likeness("add pics").status, 0);
    std::ofstream(pics / "a&b<c>.png", std::ios::binary) << readFile(pics / "scene1.png");
    ASSERT_EQ(likeness("add --allow-copies " + shellQuoted("pics/a&b<c>.png")).status, 0);

    const CommandRun run =
        likeness("search -n 4 --html results.html pics/scene1.png " + shellQuoted("pics/a&b<c>.png"));
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string html = readFile(work / "results.html");
    const std::vector<cv::Mat> pictures = embeddedPictures(html);
    ASSERT_EQ(pictures.size(), 10u) << "two queries and four results each";
    for (const cv::Mat& picture : pictures) {
        ASSERT_FALSE(picture.empty());
        EXPECT_LE(std::max(picture.cols, picture.rows), 256);
    }
    EXPECT_EQ(pictures[0].cols, 256) << "the 320x240 query scaled to fit 256";
    EXPECT_TRUE(contains(html, "a&amp;b&lt;c&gt;.png"));
    EXPECT_FALSE(contains(html, "a&b<c>")) << "names are escaped";
    EXPECT_EQ(occurrences(html, "http://"), 0u) << "the page loads nothing";

    EXPECT_EQ(occurrences(html, "<span class=\"distance\">distance "), 8u);
    EXPECT_TRUE(contains(html, "distance 100.000</span>"));
    const std::vector<TextResult> text = parseText(likeness("search -n 4 pics/scene1.png").out);
    std::size_t marked = 0;
    for (const TextResult& result : text) marked += result.samePicture;
    EXPECT_GE(marked, 1u);
    EXPECT_EQ(occurrences(html.substr(0, html.find("<section>", html.find("<section>") + 1)), ">same picture</span>"),
              marked)
        << "the first query's marks are the text's";
    EXPECT_TRUE(contains(html, "pictures/<wbr>pics/<wbr>scene1.png")) << "captions may break after each /";
    EXPECT_TRUE(contains(html, "<p class=\"summary\">Each query with its 4 nearest stored pictures"));
    EXPECT_TRUE(contains(html, " are marked &quot;same picture&quot;: those almost surely are"))
        << "the page says what the mark means";
}

TEST_F(CliTest, TransparentPicturesKeepTheirAlphaOnThePage) {
    cv::Mat transparent(60, 80, CV_8UC4, cv::Scalar(0, 0, 255, 0));
    transparent(cv::Rect(20, 15, 40, 30)).setTo(cv::Scalar(255, 0, 0, 255));
    ASSERT_TRUE(cv::imwrite((pics / "clear.png").string(), transparent));
    ASSERT_EQ(likeness("add pics/clear.png").status, 0);
    ASSERT_EQ(likeness("search -n 1 --html page.html pics/clear.png").status, 0);
    const std::string html = readFile(work / "page.html");
    // The query is the user's own file; whether the stored copy keeps its alpha is the library's
    // business.
    const std::vector<cv::Mat> pictures = embeddedPictures(html);
    ASSERT_EQ(pictures.size(), 2u);
    ASSERT_EQ(pictures[0].channels(), 4);
    EXPECT_EQ(pictures[0].at<cv::Vec4b>(2, 2)[3], 0) << "a transparent corner stays transparent";
    EXPECT_EQ(pictures[0].at<cv::Vec4b>(30, 40)[3], 255);
}

TEST_F(CliTest, KeysAndFoldersNamePicturesFromOutsideTheHome) {
    ASSERT_EQ(likeness("add pics").status, 0);
    // The work folder holds no pictures/ folder: the key names the home's stored picture.
    const CommandRun byKey = likeness("search -n 1 pictures/pics/scene3.png");
    EXPECT_EQ(byKey.status, 0) << byKey.err;
    EXPECT_EQ(byKey.out, "100.000  pictures/pics/scene3.png  (same picture)\n");
    const CommandRun classified = likeness("classify pictures/pics/scene3.png");
    EXPECT_EQ(classified.status, 0) << classified.err;

    const CommandRun folder = likeness("search -n 1 pics");
    EXPECT_EQ(folder.status, 0) << folder.err;
    EXPECT_EQ(occurrences(folder.out, "# pics/"), 7u) << "each picture of the folder is a query\n" << folder.out;
    EXPECT_TRUE(contains(folder.out, "# pics/sub/scene0.jpg\n100.000  pictures/pics/scene0.jpg  (same picture)\n"))
        << folder.out;
    const CommandRun classifiedFolder = likeness("classify pics/sub");
    EXPECT_EQ(classifiedFolder.status, 0) << classifiedFolder.err;
    EXPECT_EQ(lines(classifiedFolder.out).size(), 1u) << classifiedFolder.out;

    fs::create_directories(work / "empty");
    const CommandRun empty = likeness("search empty");
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(empty.err, "empty: a folder with no picture in it\n");
}
