// The pages as a browser shows them: headless Chromium must decode every thumbnail at the size the
// page embeds and paint them, break long keys only between the parts of names, show a checkerboard through
// transparent pictures, and lay each group of near-duplicates out side by side with its
// distances. The page of `likeness serve` as a user works it: choose a picture, see its nearest
// ones, add it, and find its stored copy first. Pages of other sites, and of a name that leads here,
// get nothing from the service. Without chromium these tests skip (scripts/install-deps installs
// it); they carry the ctest label "browser".
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>
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

// Shown distances of a near-duplicates page: the text of every member's distance that has a size on
// screen.
const char* const kDistancesProbe = R"(<script>addEventListener('load', () => {
  const shown = [...document.querySelectorAll('figure .distance')].filter(d => d.getBoundingClientRect().height > 0);
  document.body.setAttribute('data-distances', shown.map(d => d.textContent).join('|'));
})</script>)";

// A copy of page with the probes before the end of its body; the page itself must run no script.
void writeProbedCopy(const std::string& page, const fs::path& copy, const std::string& probes) {
    ASSERT_EQ(page.find("<script"), std::string::npos);
    const std::size_t bodyEnd = page.rfind("</body>");
    ASSERT_NE(bodyEnd, std::string::npos);
    std::ofstream(copy, std::ios::binary) << page.substr(0, bodyEnd) << probes << page.substr(bodyEnd);
}

// The decoded sizes of the embedded pictures, as the probe writes them.
std::string embeddedSizes(const std::string& page) {
    std::string sizes;
    for (const cv::Mat& picture : embeddedPictures(page)) {
        if (picture.empty()) return "(an embedded picture does not decode)";
        sizes += (sizes.empty() ? "" : " ") + std::to_string(picture.cols) + "x" + std::to_string(picture.rows);
    }
    return sizes;
}

std::vector<cv::Rect> probedBoxes(const std::string& dom) {
    std::istringstream boxes(probed(dom, "data-boxes"));
    std::vector<cv::Rect> images;
    for (std::string box; boxes >> box;) {
        int left = 0, top = 0, width = 0, height = 0;
        if (std::sscanf(box.c_str(), "%d,%d,%d,%d", &left, &top, &width, &height) == 4)
            images.emplace_back(left, top, width, height);
    }
    return images;
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
        // Keys longer than a caption's line, with a part longer than a line, so that they must wrap.
        ASSERT_EQ(likeness("add --into collections/summer_holidays_in_the_mountains_2019/beach pics").status, 0);
        const CommandRun search =
            likeness("search -n 3 --html results.html pics/scene1.png pics/scene4.jpg pics/clear.png");
        ASSERT_EQ(search.status, 0) << search.err;
        page = readFile(work / "results.html");
        writeProbedCopy(page, work / "probe.html", kProbe);
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

TEST_F(BrowserTest, DecodesEveryThumbnailAtItsEmbeddedSizeAndBreaksKeysBetweenTheirParts) {
    ASSERT_EQ(embeddedPictures(page).size(), 12u) << "three queries and three results each";
    const std::string expected = embeddedSizes(page);
    const CommandRun dom = dumpProbedDom();
    ASSERT_EQ(dom.status, 0) << dom.err;
    EXPECT_EQ(probed(dom.out, "data-sizes"), expected) << "a broken image reports 0x0";
    const std::regex caption("<figcaption>");
    EXPECT_EQ(std::distance(std::sregex_iterator(dom.out.begin(), dom.out.end(), caption), std::sregex_iterator()), 12)
        << "every picture keeps its caption";
    const std::string breaks = probed(dom.out, "data-breaks");
    EXPECT_GE(breaks.size(), 9u) << "each result's key wraps at least once";
    EXPECT_EQ(breaks.find_first_not_of("/_"), std::string::npos) << "lines end only after a / or _: " << breaks;
}

TEST_F(BrowserTest, ScreenshotShowsTheThumbnailsAndACheckerboardThroughTransparency) {
    const CommandRun dom = dumpProbedDom();
    ASSERT_EQ(dom.status, 0) << dom.err;
    const fs::path screenshotFile = work / "shot.png";
    const CommandRun shot = runShell(
        chromium(work / "profile", std::string(kWindow) + " --screenshot=" + shellQuoted(screenshotFile.string()) +
                                       " file://" + shellQuoted((work / "results.html").string())),
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
    const std::vector<cv::Rect> images = probedBoxes(dom.out);
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

namespace {

// Chromium driven over the DevTools protocol on a pipe (--remote-debugging-pipe: commands on its
// file descriptor 3, answers on 4, each message ended by a NUL), in one page of its own.
class DevToolsPage {
public:
    // flags: more command-line switches for chromium, such as --host-resolver-rules.
    explicit DevToolsPage(const fs::path& profile, const std::vector<std::string>& flags = {}) {
        int commands[2];
        int answers[2];
        if (pipe(commands) != 0 || pipe(answers) != 0) return;
        pid = fork();
        if (pid == 0) {
            dup2(commands[0], 3);
            dup2(answers[1], 4);
            for (const int fd : {commands[0], commands[1], answers[0], answers[1]})
                if (fd > 4) close(fd);
            const int quiet = open("/dev/null", O_WRONLY);
            dup2(quiet, STDOUT_FILENO);
            dup2(quiet, STDERR_FILENO);
            std::vector<std::string> words = {"chromium",
                                              "--headless",
                                              "--no-sandbox",
                                              "--disable-gpu",
                                              "--disable-quic",
                                              "--no-first-run",
                                              "--disable-background-networking",
                                              "--disable-component-update",
                                              "--disable-sync",
                                              "--remote-debugging-pipe",
                                              "--user-data-dir=" + profile.string()};
            words.insert(words.end(), flags.begin(), flags.end());
            words.push_back("about:blank");
            std::vector<char*> argv;
            for (std::string& word : words) argv.push_back(word.data());
            argv.push_back(nullptr);
            execvp("chromium", argv.data());
            _exit(127);
        }
        close(commands[0]);
        close(answers[1]);
        toBrowser = commands[1];
        fromBrowser = answers[0];
        const nlohmann::json target = call("Target.createTarget", {{"url", "about:blank"}});
        if (!target.contains("targetId")) return;
        const nlohmann::json attached =
            call("Target.attachToTarget", {{"targetId", target["targetId"]}, {"flatten", true}});
        session = attached.value("sessionId", "");
    }
    ~DevToolsPage() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        for (const int fd : {toBrowser, fromBrowser})
            if (fd >= 0) close(fd);
    }
    DevToolsPage(const DevToolsPage&) = delete;
    DevToolsPage& operator=(const DevToolsPage&) = delete;

    bool ready() const { return !session.empty(); }

    // Sends a command to the page (to the browser when toPage is false) and returns its result;
    // an error answer, or none within a minute, gives {"error": ...}.
    nlohmann::json call(const std::string& method, const nlohmann::json& params, bool toPage = false) {
        nlohmann::json message = {{"id", ++lastId}, {"method", method}, {"params", params}};
        if (toPage) message["sessionId"] = session;
        const std::string text = message.dump() + '\0';
        if (write(toBrowser, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            return {{"error", "cannot write to chromium"}};
        while (true) {
            const std::optional<std::string> answer = nextMessage();
            if (!answer) return {{"error", "chromium gave no answer to " + method}};
            const nlohmann::json parsed = nlohmann::json::parse(*answer, nullptr, false);
            if (!parsed.is_object() || parsed.value("id", 0) != lastId) continue;  // events, other answers
            if (parsed.contains("error")) return {{"error", parsed["error"].dump()}};
            return parsed.value("result", nlohmann::json::object());
        }
    }

    // The value of a JavaScript expression in the page, promises awaited.
    nlohmann::json evaluate(const std::string& expression) {
        const nlohmann::json result = call(
            "Runtime.evaluate", {{"expression", expression}, {"awaitPromise", true}, {"returnByValue", true}}, true);
        if (result.contains("exceptionDetails")) return {{"error", result["exceptionDetails"].dump()}};
        return result.contains("result") ? result["result"].value("value", nlohmann::json()) : result;
    }

private:
    std::optional<std::string> nextMessage() {
        while (true) {
            const std::size_t end = buffer.find('\0');
            if (end != std::string::npos) {
                std::string message = buffer.substr(0, end);
                buffer.erase(0, end + 1);
                return message;
            }
            pollfd waiting{fromBrowser, POLLIN, 0};
            if (poll(&waiting, 1, 60000) <= 0) return std::nullopt;
            char chunk[65536];
            const ssize_t got = read(fromBrowser, chunk, sizeof(chunk));
            if (got <= 0) return std::nullopt;
            buffer.append(chunk, static_cast<std::size_t>(got));
        }
    }

    pid_t pid = -1;
    int toBrowser = -1;
    int fromBrowser = -1;
    int lastId = 0;
    std::string session;
    std::string buffer;
};

// Resolves once the page's data-state is one of the given ones (a minute at most).
std::string untilState(const std::string& states) {
    return "new Promise((resolve, reject) => { const wanted = " + states +
           "; const started = Date.now(); const check = () => {"
           " const state = document.body && document.body.dataset.state;"
           " if (wanted.includes(state)) resolve(state);"
           " else if (Date.now() - started > 60000) reject(new Error('still ' + state));"
           " else setTimeout(check, 50); }; check(); })";
}

// What the page shows as results once every image has loaded: key, distance text, mark and
// decoded size of each.
const char* const kShownResults = R"(new Promise(resolve => {
  const check = () => {
    const images = [...document.querySelectorAll('#results img')];
    if (!images.every(i => i.complete)) return setTimeout(check, 50);
    resolve([...document.querySelectorAll('#results figure')].map(f => ({
      key: f.dataset.key,
      distance: f.querySelector('.distance').textContent,
      same: f.querySelector('.mark') !== null,
      size: f.querySelector('img').naturalWidth + 'x' + f.querySelector('img').naturalHeight})));
  };
  check();
}))";

class ServedPageTest : public CliTest {
protected:
    void SetUp() override {
        if (std::system("command -v chromium >/dev/null 2>&1") != 0) GTEST_SKIP() << "chromium is not installed";
        CliTest::SetUp();
    }
};

}  // namespace

TEST_F(ServedPageTest, AChosenPictureIsSearchedAddedAndThenFoundFirstAsItsOwnStoredCopy) {
    for (const char* name : {"scene0.jpg", "scene1.png", "scene2.jpg"})
        ASSERT_EQ(likeness("add pics/" + std::string(name)).status, 0);
    ServeProcess server(work, "");
    ASSERT_GT(server.port(), 0) << server.firstLine() << server.standardError();
    DevToolsPage page(work / "profile");
    ASSERT_TRUE(page.ready()) << "chromium answers on its pipe";
    const std::string address = "http://127.0.0.1:" + std::to_string(server.port()) + "/";
    ASSERT_FALSE(page.call("Page.navigate", {{"url", address}}, true).contains("error"));
    ASSERT_EQ(page.evaluate(untilState("['idle']")), "idle");
    EXPECT_EQ(page.evaluate("document.body.innerText.includes('Nothing is added to the collection until')"), true)
        << "the idle page says what choosing a picture does";

    const nlohmann::json document = page.call("DOM.getDocument", nlohmann::json::object(), true);
    const nlohmann::json input =
        page.call("DOM.querySelector", {{"nodeId", document["root"]["nodeId"]}, {"selector", "#choose"}}, true);
    ASSERT_TRUE(input.contains("nodeId")) << input;
    const auto choose = [&](const fs::path& chosen) {
        ASSERT_FALSE(
            page.call("DOM.setFileInputFiles", {{"files", {chosen.string()}}, {"nodeId", input["nodeId"]}}, true)
                .contains("error"));
        ASSERT_EQ(page.evaluate(untilState("['results', 'error']")), "results")
            << page.evaluate("document.getElementById('status').textContent");
    };
    const char* const restFollows = "document.querySelector('#results .rest').previousElementSibling?.dataset.key";
    choose(pics / "scene4.jpg");
    const nlohmann::json before = page.evaluate(kShownResults);
    ASSERT_EQ(before.size(), 3u) << before;
    for (const nlohmann::json& shown : before) {
        EXPECT_NE(shown["key"], "pictures/scene4.jpg");
        EXPECT_EQ(shown["size"], "320x240") << "each stored picture is shown from the service: " << shown;
        EXPECT_EQ(shown["same"], false);
    }
    EXPECT_EQ(page.evaluate(restFollows), nlohmann::json()) << "the line on unrelated results comes first";
    EXPECT_EQ(page.evaluate("document.querySelectorAll('#results figure.other').length"), 3);

    ASSERT_EQ(page.evaluate("document.getElementById('add').click(); document.body.dataset.state"), "adding");
    ASSERT_EQ(page.evaluate(untilState("['results', 'error']")), "results")
        << page.evaluate("document.getElementById('status').textContent");
    const nlohmann::json after = page.evaluate(kShownResults);
    ASSERT_EQ(after.size(), 4u) << after;
    EXPECT_EQ(after[0]["key"], "pictures/scene4.jpg");
    EXPECT_EQ(after[0]["distance"], "distance 100.000");
    EXPECT_EQ(after[0]["same"], true);
    EXPECT_EQ(after[0]["size"], "320x240");
    EXPECT_EQ(after[1]["same"], false);
    EXPECT_EQ(page.evaluate("document.getElementById('status').textContent"), "Added as pictures/scene4.jpg");
    EXPECT_EQ(readFile(home / "pictures" / "scene4.jpg"), readFile(pics / "scene4.jpg"));
    EXPECT_EQ(page.evaluate(restFollows), "pictures/scene4.jpg") << "the same picture, then the line on the rest";

    // A different picture under a name that is taken: the page offers another name and adds it so.
    fs::create_directories(work / "clash");
    ASSERT_TRUE(cv::imwrite((work / "clash" / "scene0.jpg").string(), cv::imread((pics / "scene3.png").string())));
    choose(work / "clash" / "scene0.jpg");
    ASSERT_EQ(page.evaluate("document.getElementById('add').click(); document.body.dataset.state"), "adding");
    ASSERT_EQ(page.evaluate(untilState("['results', 'renaming', 'error']")), "renaming")
        << page.evaluate("document.getElementById('status').textContent");
    EXPECT_EQ(page.evaluate("document.getElementById('key').value"), "scene0-2.jpg");
    page.evaluate("document.getElementById('add').click()");
    ASSERT_EQ(page.evaluate(untilState("['results', 'renaming', 'error']")), "results")
        << page.evaluate("document.getElementById('status').textContent");
    EXPECT_EQ(page.evaluate("document.getElementById('status').textContent"), "Added as pictures/scene0-2.jpg");
    EXPECT_EQ(server.stop(SIGTERM), 0) << server.standardError();
}

namespace {

// What a page of another site tries against the service at svc: add a picture with fetch in
// no-cors mode (untyped, and typed as a PNG) and with a script-less text/plain form, search, read
// /info, and load a stored picture as an image. Resolves to what each attempt saw.
const char* const kAttackPage = R"(<!DOCTYPE html><html><body><iframe name="sink"></iframe><script>
async function attack(svc) {
  const canvas = document.createElement('canvas');
  canvas.width = canvas.height = 32;
  canvas.getContext('2d').fillRect(0, 0, 20, 20);
  const png = await new Promise(done => canvas.toBlob(done, 'image/png'));
  const sent = request => request.then(() => 'sent', () => 'failed');
  const tries = {
    noCors: await sent(fetch(svc + '/pictures?key=nocors.png', {method: 'POST', mode: 'no-cors', body: png})),
    typed: await sent(fetch(svc + '/pictures?key=typed.png',
        {method: 'POST', mode: 'no-cors', headers: {'Content-Type': 'image/png'}, body: png})),
    search: await sent(fetch(svc + '/search', {method: 'POST', mode: 'no-cors', body: png})),
    read: await fetch(svc + '/info').then(answer => answer.text(), () => 'blocked'),
    picture: await new Promise(done => {
      const image = new Image();
      image.onload = () => done('loaded ' + image.naturalWidth);
      image.onerror = () => done('not loaded');
      image.src = svc + '/pictures/pictures/scene0.jpg';
    }),
  };
  const form = document.createElement('form');
  form.method = 'POST';
  form.enctype = 'text/plain';
  form.target = 'sink';
  form.action = svc + '/pictures?key=form.png';
  const field = document.createElement('input');
  field.name = 'x';
  field.value = 'y';
  form.appendChild(field);
  document.body.appendChild(form);
  tries.form = await new Promise(done => {
    document.querySelector('iframe').onload = () => done('answered');
    form.submit();
    setTimeout(() => done('no answer'), 10000);
  });
  return tries;
}
</script></body></html>)";

class ServiceFromOtherPagesTest : public ServedPageTest {
protected:
    void SetUp() override {
        ServedPageTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_EQ(likeness("add pics/scene0.jpg pics/scene1.png").status, 0);
        server.emplace(work, "");
        ASSERT_GT(server->port(), 0) << server->firstLine() << server->standardError();
    }
    void TearDown() override {
        if (server) {
            EXPECT_EQ(server->stop(SIGTERM), 0) << server->standardError();
        }
        CliTest::TearDown();
    }
    std::string serviceAddress() const { return "http://127.0.0.1:" + std::to_string(server->port()); }
    // The collection is as it was and the service neither added nor searched for anyone.
    void expectUntouched(const std::string& context) {
        EXPECT_NE(likeness("info").out.find("pictures:  2\n"), std::string::npos) << context;
        EXPECT_TRUE(fs::exists(home / "pictures" / "scene0.jpg")) << context;
        const std::string log = server->standardError();
        EXPECT_EQ(log.find(" 201\n"), std::string::npos) << context << ": " << log;
        EXPECT_EQ(log.find("POST /search 200"), std::string::npos) << context << ": " << log;
    }

    std::optional<ServeProcess> server;
};

}  // namespace

TEST_F(ServiceFromOtherPagesTest, PagesOfAnotherPortOrFilesCanNeitherAddNorSearchNorRead) {
    httplib::Server other;
    other.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(kAttackPage, "text/html");
    });
    const int otherPort = other.bind_to_any_port("127.0.0.1");
    std::thread serving([&other] { other.listen_after_bind(); });
    std::ofstream(work / "attack.html") << kAttackPage;
    DevToolsPage page(work / "profile");
    ASSERT_TRUE(page.ready()) << "chromium answers on its pipe";
    for (const std::string& origin :
         {"http://127.0.0.1:" + std::to_string(otherPort) + "/", "file://" + (work / "attack.html").string()}) {
        ASSERT_FALSE(page.call("Page.navigate", {{"url", origin}}, true).contains("error")) << origin;
        nlohmann::json tries =
            page.evaluate("new Promise(r => setTimeout(r, 300)).then(() => attack('" + serviceAddress() + "'))");
        ASSERT_TRUE(tries.is_object()) << origin << ": " << tries;
        EXPECT_EQ(tries["read"], "blocked") << origin;
        EXPECT_EQ(tries["picture"], "not loaded") << origin << ": a picture of the service is not readable";
        expectUntouched(origin + " " + tries.dump());
    }
    other.stop();
    serving.join();
}

TEST_F(ServiceFromOtherPagesTest, APageOfAnotherNameThatLeadsHereIsRefused) {
    // A name that resolves to this machine, as a DNS rebinding attack makes it do for its page.
    DevToolsPage page(work / "profile", {"--host-resolver-rules=MAP rebind.test 127.0.0.1"});
    ASSERT_TRUE(page.ready());
    const std::string rebound = "http://rebind.test:" + std::to_string(server->port());
    ASSERT_FALSE(page.call("Page.navigate", {{"url", rebound + "/"}}, true).contains("error"));
    const std::string status =
        "new Promise(r => setTimeout(r, 300)).then(() => Promise.all(["
        "fetch('/info').then(a => a.status),"
        "fetch('/pictures/pictures/scene0.jpg').then(a => a.status),"
        "fetch('/pictures/pictures/scene0.jpg?delete_file=true', {method: 'DELETE'})"
        ".then(a => a.status)]))";
    EXPECT_EQ(page.evaluate(status), nlohmann::json({403, 403, 403}));
    EXPECT_EQ(page.evaluate("document.body.innerText.includes('unknown_host')"), true) << "not the service's page";
    expectUntouched("rebind.test");

    // The service's own page, as before, keeps working.
    ASSERT_FALSE(page.call("Page.navigate", {{"url", serviceAddress() + "/"}}, true).contains("error"));
    EXPECT_EQ(page.evaluate(untilState("['idle']")), "idle");
    EXPECT_EQ(page.evaluate("fetch('/info').then(a => a.json()).then(info => info.pictures)"), 2);
}

class DuplicatesBrowserTest : public CliTest {
protected:
    void SetUp() override {
        if (std::system("command -v chromium >/dev/null 2>&1") != 0) GTEST_SKIP() << "chromium is not installed";
        CliTest::SetUp();
    }
};

TEST_F(DuplicatesBrowserTest, ShowsEachGroupSideBySideWithItsDistances) {
    // Two byte-identical copies of scene 3 and one of scene 4 beside the six scenes (of which the
    // test model puts 0, 1 and 2 close together).
    fs::create_directories(work / "copies");
    fs::copy_file(pics / "scene3.png", work / "copies" / "scene3-a.png");
    fs::copy_file(pics / "scene3.png", work / "copies" / "scene3-b.png");
    fs::copy_file(pics / "scene4.jpg", work / "copies" / "scene4.jpg");
    ASSERT_EQ(likeness("add --allow-copies pics copies").status, 0);
    const CommandRun dupes = likeness("dupes --keep first --html dupes.html");
    ASSERT_EQ(dupes.status, 0) << dupes.err;
    const std::string page = readFile(work / "dupes.html");
    writeProbedCopy(page, work / "probe.html", std::string(kProbe) + kDistancesProbe);
    if (HasFatalFailure()) return;

    // How many members each group has, from the page's headings.
    std::vector<int> groupSizes;
    const std::regex heading("<h2>Group [0-9]+: ([0-9]+) pictures</h2>");
    for (std::sregex_iterator it(page.begin(), page.end(), heading), end; it != end; ++it)
        groupSizes.push_back(std::stoi((*it)[1].str()));
    ASSERT_GE(groupSizes.size(), 2u) << dupes.out;

    const CommandRun dom = runShell(chromium(work / "profile", "--window-size=1200,1400 --dump-dom file://" +
                                                                   shellQuoted((work / "probe.html").string())),
                                    work);
    ASSERT_EQ(dom.status, 0) << dom.err;
    EXPECT_EQ(probed(dom.out, "data-sizes"), embeddedSizes(page)) << "a broken image reports 0x0";
    const std::vector<cv::Rect> images = probedBoxes(dom.out);
    std::size_t next = 0;
    int groupTop = -1;
    for (std::size_t g = 0; g < groupSizes.size(); ++g) {
        ASSERT_LE(next + static_cast<std::size_t>(groupSizes[g]), images.size()) << "one thumbnail per member";
        const cv::Rect first = images[next];
        EXPECT_GT(first.y, groupTop) << "group " << g + 1 << " lies below the one before";
        for (int m = 1; m < groupSizes[g]; ++m) {
            const cv::Rect& image = images[next + static_cast<std::size_t>(m)];
            const cv::Rect& before = images[next + static_cast<std::size_t>(m) - 1];
            EXPECT_LE(std::abs(image.y - first.y), 2) << "group " << g + 1 << ", member " << m + 1 << " shares the row";
            EXPECT_GE(image.x, before.x + before.width)
                << "group " << g + 1 << ", member " << m + 1 << " lies to the right";
        }
        groupTop = first.y;
        next += static_cast<std::size_t>(groupSizes[g]);
    }
    EXPECT_EQ(next, images.size());

    // The thumbnails are painted: the scenes' strong colours cover most of the thumbnails on screen.
    const fs::path screenshotFile = work / "shot.png";
    const CommandRun shot = runShell(
        chromium(work / "profile", "--window-size=1200,1400 --screenshot=" + shellQuoted(screenshotFile.string()) +
                                       " file://" + shellQuoted((work / "dupes.html").string())),
        work);
    ASSERT_EQ(shot.status, 0) << shot.err;
    const cv::Mat screenshot = cv::imread(screenshotFile.string(), cv::IMREAD_COLOR);
    ASSERT_FALSE(screenshot.empty()) << shot.err;
    int thumbnailArea = 0;
    for (const cv::Rect& image : images)
        thumbnailArea += (image & cv::Rect(0, 0, screenshot.cols, screenshot.rows)).area();
    cv::Mat hsv;
    cv::cvtColor(screenshot, hsv, cv::COLOR_BGR2HSV);
    cv::Mat saturation;
    cv::extractChannel(hsv, saturation, 1);
    EXPECT_GT(thumbnailArea, 0);
    EXPECT_GT(cv::countNonZero(saturation > 80), thumbnailArea / 2) << "colourful pixels in the screenshot";

    // Every member but each group's first shows its distance from the first.
    const std::string shownDistances = probed(dom.out, "data-distances");
    EXPECT_EQ(static_cast<std::size_t>(std::count(shownDistances.begin(), shownDistances.end(), '|')) + 1,
              images.size() - groupSizes.size())
        << shownDistances;
    EXPECT_NE(shownDistances.find("distance 100.000 from 1"), std::string::npos)
        << "the identical copies' distance is on screen: " << shownDistances;
}
