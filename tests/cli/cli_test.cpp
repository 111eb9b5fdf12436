// The likeness command driven as a user drives it: a fresh home, pictures added from folders,
// files and a local HTTP server, searches printed as text, JSON and an HTML page.
#include <fstream>
#include <regex>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include "CliTestSupport.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

}  // namespace

TEST_F(CliTest, InitFindsModelsInOrderAndGuardsAnExistingHome) {
    EXPECT_TRUE(fs::is_regular_file(home / "model" / "v0.net"));
    EXPECT_TRUE(fs::is_regular_file(home / "model" / "v0.dat"));
    EXPECT_TRUE(fs::is_directory(home / "pictures"));

    const CommandRun again = likeness("init --model " + shellQuoted(LIKENESS_TEST_MODEL_DIR) + " home");
    EXPECT_EQ(again.status, 2);
    EXPECT_NE(again.err.find("already has a model"), std::string::npos) << again.err;
    EXPECT_EQ(likeness("init --force --model " + shellQuoted(LIKENESS_TEST_MODEL_DIR) + " home").status, 0);

    const CommandRun fromEnvironment = runShell(
        "LIKENESS_MODEL_DIR=" + shellQuoted(LIKENESS_TEST_MODEL_DIR) + " " + shellQuoted(LIKENESS_CLI) + " init other",
        work);
    EXPECT_EQ(fromEnvironment.status, 0) << fromEnvironment.err;
    EXPECT_NE(fromEnvironment.out.find("$LIKENESS_MODEL_DIR"), std::string::npos) << fromEnvironment.out;
    EXPECT_TRUE(fs::is_regular_file(work / "other" / "model" / "v0.dat"));

    const CommandRun nowhere =
        runShell("LIKENESS_MODEL_DIR=/nonexistent-model " + shellQuoted(LIKENESS_CLI) + " init third", work);
    EXPECT_EQ(nowhere.status, 2);
    EXPECT_NE(nowhere.err.find("/nonexistent-model"), std::string::npos) << nowhere.err;
    EXPECT_FALSE(fs::exists(work / "third"));
}

TEST_F(CliTest, CommandsOutsideAHomeSayHowToMakeOne) {
    fs::create_directories(work / "empty");
    for (const std::string command : {"info", "add pics", "search pics/scene1.png", "classify pics/scene1.png"}) {
        const CommandRun run = runShell(shellQuoted(LIKENESS_CLI) + " --home empty " + command, work);
        EXPECT_EQ(run.status, 2) << command;
        EXPECT_NE(run.err.find("likeness init empty"), std::string::npos) << command << ": " << run.err;
    }
    EXPECT_EQ(runShell(shellQuoted(LIKENESS_CLI) + " --home missing info", work).status, 2);
}

TEST_F(CliTest, AddFolderStoresEveryPictureAndMirrorsSubfolders) {
    const CommandRun add = likeness("add pics");
    EXPECT_EQ(add.status, 0) << add.err;
    EXPECT_NE(add.out.find("added 7, duplicates 0, failed 0 (1 files without picture names skipped)"),
              std::string::npos)
        << add.out;
    EXPECT_TRUE(fs::is_regular_file(home / "pictures" / "scene5.png"));
    EXPECT_TRUE(fs::is_regular_file(home / "pictures" / "sub" / "scene0.jpg"));

    const CommandRun info = likeness("info");
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("pictures:  7\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find(fs::absolute(home / "feat.txt").string()), std::string::npos) << info.out;

    const CommandRun into = likeness("add --into other/place -v pics/scene1.png pics/scene2.jpg");
    EXPECT_EQ(into.status, 0) << into.err;
    EXPECT_NE(into.out.find("added pics/scene1.png as other/place/scene1.png"), std::string::npos) << into.out;
    EXPECT_TRUE(fs::is_regular_file(home / "other" / "place" / "scene2.jpg"));
}

TEST_F(CliTest, AddReportsDuplicatesNonPicturesAndMissingFiles) {
    ASSERT_EQ(likeness("add pics/scene1.png").status, 0);

    const CommandRun duplicate = likeness("add pics/scene1.png");
    EXPECT_EQ(duplicate.status, 0) << "a duplicate is no failure";
    EXPECT_NE(duplicate.err.find("pics/scene1.png: already in the collection as pictures/scene1.png"),
              std::string::npos)
        << duplicate.err;

    const CommandRun notPicture = likeness("add pics/notes.txt");
    EXPECT_EQ(notPicture.status, 1);
    EXPECT_NE(notPicture.err.find("pics/notes.txt: not a decodable picture"), std::string::npos) << notPicture.err;

    const CommandRun mixed = likeness("add pics/scene1.png pics/scene2.jpg pics/notes.txt pics/absent.jpg");
    EXPECT_EQ(mixed.status, 1);
    EXPECT_NE(mixed.err.find("pics/absent.jpg: no such file or folder"), std::string::npos) << mixed.err;
    EXPECT_NE(mixed.out.find("added 1, duplicates 1, failed 2"), std::string::npos) << mixed.out;

    const CommandRun info = likeness("info");
    EXPECT_NE(info.out.find("pictures:  2\n"), std::string::npos) << info.out;
}

TEST_F(CliTest, KeysTheLibraryRefusesAreReportedAsNotStored) {
    fs::copy_file(pics / "scene1.png", work / "feat.txt");
    const CommandRun run = likeness("add --into '' feat.txt");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("feat.txt: not stored:"), std::string::npos) << run.err;
}

TEST_F(CliTest, SearchPrintsNearestFirstAsTextAndJson) {
    ASSERT_EQ(likeness("add pics").status, 0);

    const CommandRun text = likeness("search -n 3 pics/scene3.png");
    EXPECT_EQ(text.status, 0) << text.err;
    const std::vector<std::string> keys = lines(text.out);
    ASSERT_EQ(keys.size(), 3u) << text.out;
    EXPECT_EQ(keys[0], "pictures/scene3.png");

    const CommandRun json = likeness("search --json -n 2 pics/scene4.jpg pics/notes.txt");
    EXPECT_EQ(json.status, 1) << "one query was not a picture";
    const nlohmann::json answer = nlohmann::json::parse(json.out);
    ASSERT_EQ(answer.size(), 2u);
    EXPECT_EQ(answer[0]["query"], "pics/scene4.jpg");
    ASSERT_EQ(answer[0]["results"].size(), 2u);
    EXPECT_EQ(answer[0]["results"][0], "pictures/scene4.jpg");
    EXPECT_TRUE(answer[1]["results"].empty());
    EXPECT_NE(answer[1]["error"].get<std::string>().find("not a decodable picture"), std::string::npos);

    const CommandRun all = likeness("search -n 100 pics/scene0.jpg");
    EXPECT_EQ(lines(all.out).size(), 7u) << all.out;
    EXPECT_EQ(likeness("search -n 0 pics/scene0.jpg").status, 2) << "a count below one is a usage error";
}

TEST_F(CliTest, TransformedCopiesFindTheirOriginal) {
    ASSERT_EQ(likeness("add pics").status, 0);
    const CommandRun made =
        runShell(shellQuoted(LIKENESS_DEMO_QUERIES) + " queries pics/scene2.jpg pics/scene5.png", work);
    ASSERT_EQ(made.status, 0) << made.err;
    const std::vector<std::string> queries = lines(made.out);
    ASSERT_EQ(queries.size(), 8u) << "crop, recompression, rotation and mirror of each\n" << made.out;
    for (const std::string& query : queries) {
        const std::string original = query.find("scene2") != std::string::npos ? "scene2.jpg" : "scene5.png";
        const CommandRun search = likeness("search -n 1 " + shellQuoted(query));
        EXPECT_EQ(search.out, "pictures/" + original + "\n") << query;
    }
}

TEST_F(CliTest, HtmlPageEmbedsQueryAndResultThumbnails) {
    ASSERT_EQ(likeness("add pics").status, 0);
    std::ofstream(pics / "a&b<c>.png", std::ios::binary) << readFile(pics / "scene1.png");
    ASSERT_EQ(likeness("add " + shellQuoted("pics/a&b<c>.png")).status, 0);

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
    EXPECT_NE(html.find("a&amp;b&lt;c&gt;.png"), std::string::npos);
    EXPECT_EQ(html.find("a&b<c>"), std::string::npos) << "names are escaped";
    EXPECT_EQ(occurrences(html, "http://"), 0u) << "the page loads nothing";
}

// A local server with one picture, one text file and nothing else.
class CliUrlTest : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        fs::create_directories(work / "served");
        fs::copy_file(pics / "scene4.jpg", work / "served" / "photo.jpg");
        fs::copy_file(pics / "notes.txt", work / "served" / "notes.jpg");
        fs::copy_file(pics / "scene5.png", work / "served" / "other.png");
        ASSERT_TRUE(server.set_mount_point("/", (work / "served").string()));
        port = server.bind_to_any_port("127.0.0.1");
        ASSERT_GT(port, 0);
        serving = std::thread([this] { server.listen_after_bind(); });
    }
    void TearDown() override {
        server.stop();
        if (serving.joinable()) serving.join();
        CliTest::TearDown();
    }
    std::string url(const std::string& name) const { return "http://127.0.0.1:" + std::to_string(port) + "/" + name; }

    httplib::Server server;
    std::thread serving;
    int port = 0;
};

TEST_F(CliUrlTest, EachUrlGetsItsOwnOutcome) {
    const CommandRun good = likeness("add-url " + url("photo.jpg"));
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_NE(good.out.find("added " + url("photo.jpg") + " as pictures/photo.jpg"), std::string::npos) << good.out;
    EXPECT_TRUE(fs::is_regular_file(home / "pictures" / "photo.jpg"));

    const CommandRun missing = likeness("add-url " + url("gone.jpg"));
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find(url("gone.jpg") + ": download failed: see the log"), std::string::npos) << missing.err;

    std::ofstream(work / "urls.txt") << "# demo list\n" << url("photo.jpg") << "\n\n" << url("notes.jpg") << "\n"
                                     << url("gone.jpg") << "\n";
    const CommandRun listed = likeness("add-url --from urls.txt");
    EXPECT_EQ(listed.status, 1);
    EXPECT_NE(listed.err.find(url("notes.jpg") + ": not a decodable picture"), std::string::npos) << listed.err;
    EXPECT_NE(listed.out.find("added 0, duplicates 1, failed 2"), std::string::npos) << listed.out;

    const CommandRun search = likeness("search -n 1 " + url("photo.jpg"));
    EXPECT_EQ(search.status, 0) << search.err;
    EXPECT_EQ(search.out, "pictures/photo.jpg\n");
    const CommandRun badQuery = likeness("search " + url("gone.jpg"));
    EXPECT_EQ(badQuery.status, 1);
    EXPECT_NE(badQuery.err.find("download failed"), std::string::npos) << badQuery.err;
}

TEST_F(CliUrlTest, BatchReportsHowManyWereAdded) {
    const CommandRun batch = likeness("add-url --batch --into web " + url("other.png") + " " + url("gone.jpg"));
    EXPECT_EQ(batch.status, 1);
    EXPECT_NE(batch.out.find("added 1 of 2 URLs"), std::string::npos) << batch.out;
    EXPECT_TRUE(fs::is_regular_file(home / "web" / "other.png"));
    EXPECT_EQ(likeness("add-url").status, 2) << "no URL is a usage error";
}

TEST_F(CliTest, ClassifyNamesTheClassWhenTheModelListsThem) {
    const CommandRun unnamed = likeness("classify pics/scene1.png");
    EXPECT_EQ(unnamed.status, 0) << unnamed.err;
    std::smatch match;
    ASSERT_TRUE(std::regex_match(unnamed.out, match, std::regex("class ([0-9]+) (-?[0-9.]+)\n"))) << unnamed.out;
    const int classId = std::stoi(match[1]);

    std::ofstream names(home / "model" / "classes.txt");
    for (int i = 0; i <= classId; ++i) names << "kind" << i << "\n";
    names.close();
    const CommandRun named = likeness("classify pics/scene1.png");
    EXPECT_EQ(named.out, "kind" + std::to_string(classId) + " " + match[2].str() + "\n");
    EXPECT_EQ(likeness("classify pics/notes.txt").status, 1);
}

TEST_F(CliTest, ProgressBarOnATerminalOnlyAndNotWhenQuiet) {
    // script(1) gives the command a terminal, as a user at a shell has.
    const std::string add = shellQuoted(LIKENESS_CLI) + " --home home add ";
    const CommandRun live = runShell("script -qec " + shellQuoted(add + "pics") + " /dev/null", work);
    EXPECT_EQ(live.status, 0) << live.out;
    EXPECT_NE(live.out.find("adding ["), std::string::npos) << live.out;
    EXPECT_NE(live.out.find("7/7"), std::string::npos) << live.out;

    const CommandRun quiet = runShell("script -qec " + shellQuoted(add + "--quiet --into again pics") + " /dev/null", work);
    EXPECT_EQ(quiet.status, 0) << quiet.out;
    EXPECT_EQ(quiet.out.find("adding ["), std::string::npos) << quiet.out;
    EXPECT_NE(quiet.out.find("added 7"), std::string::npos) << quiet.out;

    const CommandRun piped = likeness("add --into third pics");
    EXPECT_EQ(piped.err.find("adding ["), std::string::npos) << "no bar drawn into a file";
}

TEST_F(CliTest, EverySubcommandHasHelp) {
    for (const std::string command : {"init", "add", "add-url", "search", "classify", "info"}) {
        const CommandRun help = likeness(command + " --help");
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_NE(help.out.find("Usage:"), std::string::npos) << command << ": " << help.out;
    }
    const CommandRun none = likeness("");
    EXPECT_EQ(none.status, 2);
}
