// The results page as a browser shows it: headless Chromium must decode every thumbnail at the
// size the page embeds and paint them. Chromium is optional, so these tests skip without it; they
// carry the ctest label "browser".
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "CliTestSupport.h"

namespace fs = std::filesystem;

namespace {

// Chromium without network, first-run chores or a shared profile; a hung browser fails the run
// instead of the whole suite.
std::string chromium(const fs::path& profile, const std::string& arguments) {
    return "timeout 60 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
           "--disable-background-networking --disable-component-update --disable-sync --user-data-dir=" +
           shellQuoted(profile.string()) + " " + arguments;
}

// Once the page has loaded, records each image's decoded size, or -1x-1 for one not complete, in
// an attribute of the body that --dump-dom prints.
const char* const kSizeProbe =
    "<script>addEventListener('load', () => document.body.setAttribute('data-sizes', "
    "[...document.images].map(i => i.complete ? i.naturalWidth + 'x' + i.naturalHeight : '-1x-1').join(' ')))"
    "</script>";

class BrowserTest : public CliTest {
protected:
    void SetUp() override {
        // Checked before the work folder exists, so a skipped test leaves nothing behind.
        if (std::system("command -v chromium >/dev/null 2>&1") != 0) GTEST_SKIP() << "chromium is not installed";
        CliTest::SetUp();
        ASSERT_EQ(likeness("add pics").status, 0);
        const CommandRun search = likeness("search -n 3 --html results.html pics/scene1.png pics/scene4.jpg");
        ASSERT_EQ(search.status, 0) << search.err;
        page = readFile(work / "results.html");
    }

    std::string page;
};

}  // namespace

TEST_F(BrowserTest, DecodesEveryThumbnailAtItsEmbeddedSize) {
    const std::vector<cv::Mat> embedded = embeddedPictures(page);
    ASSERT_EQ(embedded.size(), 8u) << "two queries and three results each";
    std::string expected;
    for (const cv::Mat& picture : embedded) {
        ASSERT_FALSE(picture.empty());
        expected += (expected.empty() ? "" : " ") + std::to_string(picture.cols) + "x" + std::to_string(picture.rows);
    }

    // The page itself runs no script; the probe goes into a copy.
    ASSERT_EQ(page.find("<script"), std::string::npos);
    const std::size_t bodyEnd = page.rfind("</body>");
    ASSERT_NE(bodyEnd, std::string::npos);
    std::ofstream(work / "probe.html", std::ios::binary)
        << page.substr(0, bodyEnd) << kSizeProbe << page.substr(bodyEnd);
    const CommandRun dom =
        runShell(chromium(work / "profile", "--dump-dom file://" + shellQuoted((work / "probe.html").string())), work);
    ASSERT_EQ(dom.status, 0) << dom.err;
    std::smatch sizes;
    ASSERT_TRUE(std::regex_search(dom.out, sizes, std::regex("data-sizes=\"([^\"]*)\""))) << dom.out.substr(0, 2000);
    EXPECT_EQ(sizes[1].str(), expected) << "a broken image reports 0x0";
    const std::regex caption("<figcaption>");
    EXPECT_EQ(std::distance(std::sregex_iterator(dom.out.begin(), dom.out.end(), caption), std::sregex_iterator()), 8)
        << "every picture keeps its caption";
}

TEST_F(BrowserTest, ScreenshotShowsTheThumbnails) {
    const fs::path screenshotFile = work / "shot.png";
    const CommandRun shot = runShell(chromium(work / "profile", "--window-size=1200,900 --screenshot=" +
                                                                    shellQuoted(screenshotFile.string()) + " file://" +
                                                                    shellQuoted((work / "results.html").string())),
                                     work);
    ASSERT_EQ(shot.status, 0) << shot.err;
    const cv::Mat screenshot = cv::imread(screenshotFile.string(), cv::IMREAD_COLOR);
    ASSERT_FALSE(screenshot.empty()) << shot.err;
    EXPECT_EQ(screenshot.cols, 1200);
    EXPECT_EQ(screenshot.rows, 900);

    // The page's own colours are greys and the thin blue frame of each query; the synthetic scenes
    // are coloured shapes, so strongly coloured pixels in quantity can only be painted thumbnails.
    cv::Mat hsv;
    cv::cvtColor(screenshot, hsv, cv::COLOR_BGR2HSV);
    cv::Mat saturation;
    cv::extractChannel(hsv, saturation, 1);
    const int colourful = cv::countNonZero(saturation > 80);
    // Eight thumbnails of at most 164x123 pixels fit in the window; half of that area must show.
    EXPECT_GT(colourful, 8 * 164 * 123 / 2) << "colourful pixels in the screenshot";
}
