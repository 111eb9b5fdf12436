// The results page as a browser shows it: headless Chromium must decode every thumbnail at the
// size the page embeds and paint them, break long keys only after a "/", and show a checkerboard
// through transparent pictures. Without chromium these tests skip (scripts/install-deps installs
// it); they carry the ctest label "browser".
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

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

// Once the page has loaded, records in attributes of the body that --dump-dom prints: each image's
// decoded size (-1x-1 for one not complete), where each image lies, and the character before each
// line break inside the keys of the captions (their own text, not the rank, distance or mark).
const char* const kProbe = R"(<script>addEventListener('load', () => {
  const body = document.body;
  const images = [...document.images];
  body.setAttribute('data-sizes',
      images.map(i => i.complete ? i.naturalWidth + 'x' + i.naturalHeight : '-1x-1').join(' '));
  body.setAttribute('data-boxes', images.map(i => {
    const r = i.getBoundingClientRect();
    return [r.left, r.top, r.width, r.height].map(Math.round).join(',');
  }).join(' '));
  let breaks = '';
  for (const caption of document.querySelectorAll('figcaption')) {
    let top = null, last = '';
    for (const node of caption.childNodes) {
      if (node.nodeType !== Node.TEXT_NODE) continue;
      for (let i = 0; i < node.length; ++i) {
        const range = document.createRange();
        range.setStart(node, i);
        range.setEnd(node, i + 1);
        const box = range.getClientRects()[0];
        if (!box) continue;
        if (top !== null && box.top > top + 1) breaks += last;
        top = box.top;
        last = node.data[i];
      }
    }
  }
  body.setAttribute('data-breaks', breaks);
})</script>)";

// The value of a body attribute that the probe set, from a dumped DOM.
std::string probed(const std::string& dom, const std::string& name) {
    std::smatch value;
    if (!std::regex_search(dom, value, std::regex(name + "=\"([^\"]*)\""))) return "(not set)";
    return value[1].str();
}

class BrowserTest : public CliTest {
protected:
    void SetUp() override {
        // Checked before the work folder exists, so a skipped test leaves nothing behind.
        if (std::system("command -v chromium >/dev/null 2>&1") != 0) GTEST_SKIP() << "chromium is not installed";
        CliTest::SetUp();
        if (HasFatalFailure()) return;
        // Transparent but for a blue block; under the transparent part lies red, which only a page
        // that drops the alpha channel would show.
        cv::Mat clear(60, 80, CV_8UC4, cv::Scalar(0, 0, 255, 0));
        clear(cv::Rect(50, 35, 25, 20)).setTo(cv::Scalar(255, 0, 0, 255));
        ASSERT_TRUE(cv::imwrite((pics / "clear.png").string(), clear));
        // Keys longer than a caption's line, so that they must wrap.
        ASSERT_EQ(likeness("add --into collections/holidays2019/beachpictures pics").status, 0);
        const CommandRun search =
            likeness("search -n 3 --html results.html pics/scene1.png pics/scene4.jpg pics/clear.png");
        ASSERT_EQ(search.status, 0) << search.err;
        page = readFile(work / "results.html");
        // The page itself runs no script; the probe goes into a copy.
        ASSERT_EQ(page.find("<script"), std::string::npos);
        const std::size_t bodyEnd = page.rfind("</body>");
        ASSERT_NE(bodyEnd, std::string::npos);
        std::ofstream(work / "probe.html", std::ios::binary)
            << page.substr(0, bodyEnd) << kProbe << page.substr(bodyEnd);
    }

    // The probed copy as Chromium lays it out in a window of the screenshot's size.
    CommandRun dumpProbedDom() const {
        return runShell(chromium(work / "profile", std::string(kWindow) + " --dump-dom file://" +
                                                       shellQuoted((work / "probe.html").string())),
                        work);
    }

    static constexpr const char* kWindow = "--window-size=1200,1400";
    std::string page;
};

}  // namespace

TEST_F(BrowserTest, DecodesEveryThumbnailAtItsEmbeddedSizeAndBreaksKeysAfterSlashes) {
    const std::vector<cv::Mat> embedded = embeddedPictures(page);
    ASSERT_EQ(embedded.size(), 12u) << "three queries and three results each";
    std::string expected;
    for (const cv::Mat& picture : embedded) {
        ASSERT_FALSE(picture.empty());
        expected += (expected.empty() ? "" : " ") + std::to_string(picture.cols) + "x" + std::to_string(picture.rows);
    }
    const CommandRun dom = dumpProbedDom();
    ASSERT_EQ(dom.status, 0) << dom.err;
    EXPECT_EQ(probed(dom.out, "data-sizes"), expected) << "a broken image reports 0x0";
    const std::regex caption("<figcaption>");
    EXPECT_EQ(std::distance(std::sregex_iterator(dom.out.begin(), dom.out.end(), caption), std::sregex_iterator()), 12)
        << "every picture keeps its caption";
    const std::string breaks = probed(dom.out, "data-breaks");
    EXPECT_GE(breaks.size(), 9u) << "each result's key wraps at least once";
    EXPECT_EQ(breaks.find_first_not_of('/'), std::string::npos) << "lines end only after a /: " << breaks;
}

TEST_F(BrowserTest, ScreenshotShowsTheThumbnailsAndACheckerboardThroughTransparency) {
    const CommandRun dom = dumpProbedDom();
    ASSERT_EQ(dom.status, 0) << dom.err;
    const fs::path screenshotFile = work / "shot.png";
    const CommandRun shot = runShell(chromium(work / "profile", std::string(kWindow) + " --screenshot=" +
                                                                    shellQuoted(screenshotFile.string()) + " file://" +
                                                                    shellQuoted((work / "results.html").string())),
                                     work);
    ASSERT_EQ(shot.status, 0) << shot.err;
    const cv::Mat screenshot = cv::imread(screenshotFile.string(), cv::IMREAD_COLOR);
    ASSERT_FALSE(screenshot.empty()) << shot.err;
    EXPECT_EQ(screenshot.cols, 1200);
    EXPECT_EQ(screenshot.rows, 1400);

    // The page's own colours are greys, the thin blue frame of each query and the green of the
    // marks; the synthetic scenes are coloured shapes, so strongly coloured pixels in quantity can
    // only be painted thumbnails.
    cv::Mat hsv;
    cv::cvtColor(screenshot, hsv, cv::COLOR_BGR2HSV);
    cv::Mat saturation;
    cv::extractChannel(hsv, saturation, 1);
    const int colourful = cv::countNonZero(saturation > 80);
    // Eight scene thumbnails of at most 164x123 pixels; half of that area must show.
    EXPECT_GT(colourful, 8 * 164 * 123 / 2) << "colourful pixels in the screenshot";

    // The third query is the transparent picture: where it is transparent the page's checkerboard
    // shows, in its two greys, and none of the red beneath.
    std::istringstream boxes(probed(dom.out, "data-boxes"));
    std::vector<cv::Rect> images;
    for (std::string box; boxes >> box;) {
        int left = 0, top = 0, width = 0, height = 0;
        ASSERT_EQ(std::sscanf(box.c_str(), "%d,%d,%d,%d", &left, &top, &width, &height), 4) << box;
        images.emplace_back(left, top, width, height);
    }
    ASSERT_EQ(images.size(), 12u);
    const cv::Rect transparentPart = cv::Rect(images[8].x, images[8].y, images[8].width / 2, images[8].height / 2);
    ASSERT_EQ(transparentPart & cv::Rect(0, 0, screenshot.cols, screenshot.rows), transparentPart)
        << "the transparent query lies inside the screenshot";
    const cv::Mat area = screenshot(transparentPart);
    cv::Mat light;
    cv::Mat grey;
    cv::Mat red;
    cv::inRange(area, cv::Scalar(245, 245, 245), cv::Scalar(255, 255, 255), light);
    cv::inRange(area, cv::Scalar(185, 185, 185), cv::Scalar(215, 215, 215), grey);
    cv::inRange(area, cv::Scalar(0, 0, 150), cv::Scalar(100, 100, 255), red);
    const int pixels = transparentPart.area();
    EXPECT_GT(cv::countNonZero(light), pixels / 4) << "light squares";
    EXPECT_GT(cv::countNonZero(grey), pixels / 4) << "grey squares";
    EXPECT_EQ(cv::countNonZero(red), 0) << "the colour under the transparent pixels";
}
