// `likeness add-url` and searches by URL against a local server: each URL gets its own line,
// a failed download says why on that line, and a picture the decoder gives up on stops nothing.
#include <csignal>
#include <fstream>
#include <thread>

#include <httplib.h>

#include "CliTestSupport.h"

namespace fs = std::filesystem;

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A local server with two pictures, a text file named like a picture and picture headers that
// declare 60000 x 60000 pixels (OpenCV refuses it by itself) and 30000 x 30000 (2.7 GB to decode,
// which OpenCV would try); everything else is a 404.
class CliUrlTest : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        if (HasFatalFailure()) return;
        fs::create_directories(work / "served" / "dir");
        fs::copy_file(pics / "scene4.jpg", work / "served" / "photo.jpg");
        fs::copy_file(pics / "notes.txt", work / "served" / "notes.jpg");
        fs::copy_file(pics / "scene5.png", work / "served" / "other.png");
        std::ofstream(work / "served" / "bomb.png", std::ios::binary) << pngDeclaring(60000, 60000);
        std::ofstream(work / "served" / "wall.png", std::ios::binary) << pngDeclaring(30000, 30000);
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

}  // namespace

TEST_F(CliUrlTest, AFailedDownloadSaysWhyOnItsOwnLine) {
    const CommandRun good = likeness("add-url " + url("photo.jpg"));
    EXPECT_EQ(good.status, 0) << good.err;
    EXPECT_TRUE(contains(good.out, "added " + url("photo.jpg") + " as pictures/photo.jpg")) << good.out;

    const CommandRun missing = likeness("add-url " + url("gone.jpg"));
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(contains(missing.err, url("gone.jpg") + ": download failed: the server answered HTTP 404"))
        << missing.err;
    // The log named is one the user can open from where they ran the command.
    const std::size_t at = missing.err.find("(details in ");
    ASSERT_NE(at, std::string::npos) << missing.err;
    const std::string logShown = missing.err.substr(at + 12, missing.err.find(')', at) - at - 12);
    EXPECT_EQ(logShown.rfind("home/", 0), 0u) << logShown;
    EXPECT_TRUE(contains(readFile(work / logShown), "!!! Response code: 404")) << logShown;

    const CommandRun refused = likeness("add-url ftp://127.0.0.1/a.jpg http://127.0.0.1:1/b.jpg " + url("dir/"));
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(contains(refused.err, "ftp://127.0.0.1/a.jpg: download failed: scheme refused")) << refused.err;
    EXPECT_TRUE(contains(refused.err, "http://127.0.0.1:1/b.jpg: download failed: cannot connect")) << refused.err;
    EXPECT_TRUE(contains(refused.err, url("dir/") + ": the URL ends in \"/\"")) << refused.err;
    EXPECT_TRUE(contains(refused.out, "added 0, duplicates 0, failed 3")) << refused.out;

    std::ofstream(work / "urls.txt") << "# demo list\n" << url("photo.jpg") << "\n\n" << url("notes.jpg") << "\n";
    const CommandRun listed = likeness("add-url --from urls.txt");
    EXPECT_EQ(listed.status, 1);
    EXPECT_TRUE(contains(listed.err, url("notes.jpg") + ": not a decodable picture")) << listed.err;
    EXPECT_TRUE(contains(listed.out, "added 0, duplicates 1, failed 1")) << listed.out;

    const CommandRun search = likeness("search -n 1 " + url("photo.jpg"));
    EXPECT_EQ(search.status, 0) << search.err;
    EXPECT_EQ(search.out, "100.000  pictures/photo.jpg  (same picture)\n");
    const CommandRun badQuery = likeness("search " + url("gone.jpg"));
    EXPECT_EQ(badQuery.status, 1);
    EXPECT_TRUE(contains(badQuery.err, "download failed: the server answered HTTP 404")) << badQuery.err;
}

TEST_F(CliUrlTest, BatchReportsEveryUrl) {
    const CommandRun batch = likeness("-v add-url --batch --into web " + url("other.png") + " " + url("gone.jpg") +
                                      " " + url("photo.jpg") + " " + url("notes.jpg") + " " + url("x/other.png"));
    EXPECT_EQ(batch.status, 1);
    EXPECT_TRUE(contains(batch.err, url("gone.jpg") + ": download failed: the server answered HTTP 404")) << batch.err;
    EXPECT_TRUE(contains(batch.err, url("notes.jpg") + ": not a decodable picture")) << batch.err;
    EXPECT_TRUE(contains(batch.err, url("x/other.png") + ": already in the collection as web/other.png")) << batch.err;
    EXPECT_TRUE(contains(batch.out, "added 2, duplicates 1, failed 2")) << batch.out;
    EXPECT_TRUE(fs::is_regular_file(home / "web" / "other.png"));
    EXPECT_TRUE(fs::is_regular_file(home / "web" / "photo.jpg"));
    EXPECT_EQ(likeness("add-url").status, 2) << "no URL is a usage error";
}

TEST_F(CliUrlTest, GoesOnPastAPictureThatMakesTheDecoderGiveUp) {
    const std::string urls = url("photo.jpg") + " " + url("bomb.png") + " " + url("other.png");
    for (const std::string mode : {"--into one", "--batch --into two"}) {
        const CommandRun run = likeness("add-url " + mode + " " + urls);
        EXPECT_EQ(run.status, 1) << mode;
        EXPECT_TRUE(contains(run.err, url("bomb.png") + ": ")) << mode << ": " << run.err;
        EXPECT_TRUE(contains(run.out, "added 2, duplicates 0, failed 1")) << mode << ": " << run.out;
    }
    EXPECT_TRUE(fs::is_regular_file(home / "two" / "other.png")) << "the batch went on after the bad picture";
}

#if !defined(__SANITIZE_ADDRESS__)
// A 254-byte PNG whose header says 30000 x 30000 would cost 2.7 GB to decode: every path that
// decodes refuses it from its header, so each command says why and none runs out of its 1.5 GB of
// address space. (AddressSanitizer cannot run under such a limit.)
TEST_F(CliUrlTest, AHeaderOf30000By30000IsRefusedOnEveryPathUnderAnAddressSpaceLimit) {
    const unsigned long long limit = 1536ull << 20;
    fs::copy_file(work / "served" / "wall.png", work / "wall.png");
    fs::create_directories(work / "taken");
    fs::copy_file(work / "served" / "wall.png", work / "taken" / "scene1.png");
    ASSERT_EQ(likeness("add pics/scene1.png").status, 0);
    const auto limited = [&](const std::string& arguments) {
        return runShell("ulimit -v " + std::to_string(limit >> 10) + " && " + shellQuoted(LIKENESS_CLI) +
                            " --home home " + arguments,
                        work);
    };
    const std::string budget = "30000 x 30000 pixels, over the limit";
    for (const std::string& arguments :
         {std::string("add wall.png"), std::string("search wall.png"), std::string("classify wall.png"),
          "add-url " + url("wall.png"), "add-url --batch " + url("wall.png"), "search " + url("wall.png")}) {
        const CommandRun run = limited(arguments);
        EXPECT_EQ(run.status, 1) << arguments << ": " << run.err;
        EXPECT_TRUE(contains(run.err, budget)) << arguments << ": " << run.err;
    }
    const CommandRun taken = limited("add taken/scene1.png");
    EXPECT_EQ(taken.status, 1) << taken.err;
    EXPECT_TRUE(contains(taken.err, "is already taken by a different picture")) << taken.err;

    ServeProcess serve(work, "", {}, limit);
    ASSERT_GT(serve.port(), 0) << serve.standardError();
    httplib::Client client("127.0.0.1", serve.port());
    const std::string wall = readFile(work / "wall.png");
    for (const char* path : {"/pictures?key=wall.png", "/search"}) {
        const httplib::Result answer = client.Post(path, wall, "application/octet-stream");
        ASSERT_TRUE(answer) << path;
        EXPECT_EQ(answer->status, 422) << path;
        EXPECT_TRUE(contains(answer->body, budget)) << path << ": " << answer->body;
    }
    EXPECT_EQ(serve.stop(SIGTERM), 0) << serve.standardError();
}
#endif
