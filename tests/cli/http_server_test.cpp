// The service's HTTP layer on its own, with a handler of the test's: clients that send slowly or
// not at all, pipelined requests, oversized heads and bodies, and a stop while all of that goes on.
// Every wait is bounded by a generous deadline, so a loaded machine slows these tests down but
// cannot make them hang.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "CliTestSupport.h"
#include "HttpServer.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using likeness_cli::HttpHandler;
using likeness_cli::HttpLimits;
using likeness_cli::HttpPlan;
using likeness_cli::HttpRequest;
using likeness_cli::HttpResponse;
using likeness_cli::HttpServer;

namespace {

// "/now" is answered on the network thread; "/work" by a worker, after `workTime`; "/file" and
// "/memory" take a body of at most 1000 bytes and echo its size and, for a file, its first bytes.
class TestHandler : public HttpHandler {
public:
    HttpPlan plan(const HttpRequest& head) override {
        HttpPlan plan;
        if (head.path == "/now") plan.answerNow = HttpResponse{200, "text/plain", "now", {}};
        plan.bodyLimit = 1000;
        plan.bodyToFile = head.path == "/file";
        return plan;
    }
    HttpResponse answer(HttpRequest& request) override {
        if (request.path == "/work") std::this_thread::sleep_for(workTime);
        std::string text = request.path + " " + std::to_string(request.bodyBytes);
        if (const std::string* i = request.param("i")) text += " i=" + *i;
        if (!request.bodyFile.empty()) {
            text += " " + readFile(request.bodyFile).substr(0, 5);
            std::lock_guard<std::mutex> hold(filesLock);
            files.push_back(request.bodyFile);
        } else {
            text += " " + request.body.substr(0, 5);
        }
        return HttpResponse{200, "text/plain", text, {}};
    }
    HttpResponse failure(int status, const std::string& error, const std::string&) override {
        return HttpResponse{status, "text/plain", error, {}};
    }

    std::chrono::milliseconds workTime{0};
    std::mutex filesLock;
    std::vector<fs::path> files;
};

class HttpServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        uploads = fs::temp_directory_path() / ("likeness-http-" + std::to_string(getpid()));
        fs::remove_all(uploads);
        fs::create_directories(uploads);
        limits.uploads = uploads;
        limits.headTime = 1000ms;
        limits.requestTime = 1s;
        limits.stopTime = 3s;
    }
    void TearDown() override {
        stop();
        fs::remove_all(uploads);
    }

    void start() {
        server = std::make_unique<HttpServer>(handler, limits, [this](const std::string& line) {
            std::lock_guard<std::mutex> hold(logLock);
            logged.push_back(line);
        });
        std::string whyNot;
        ASSERT_TRUE(server->listen("127.0.0.1", 0, whyNot)) << whyNot;
        running = std::thread([this] { server->run(); });
    }
    // Stops the server and says how long run() took to return.
    std::chrono::milliseconds stop() {
        if (!server) return 0ms;
        const auto began = std::chrono::steady_clock::now();
        server->stop();
        running.join();
        server.reset();
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began);
    }
    std::string get(const std::string& target) {
        RawConnection client(server->port());
        client.send("GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n");
        return client.receive(10s);
    }

    TestHandler handler;
    HttpLimits limits;
    fs::path uploads;
    std::unique_ptr<HttpServer> server;
    std::thread running;
    std::mutex logLock;
    std::vector<std::string> logged;
};

// Opens count connections; when slow, each sends the start of a head one byte at a time, every
// 100 ms, until the server closes it.
class ClientCrowd {
public:
    ClientCrowd(int port, int count, bool slow) {
        for (int i = 0; i < count; ++i) connections.push_back(std::make_unique<RawConnection>(port));
        if (slow)
            sender = std::thread([this] {
                const std::string head = "GET /now HTTP/1.1\r\nX-Slow: ";
                for (std::size_t byte = 0; !done; ++byte) {
                    for (auto& connection : connections) connection->send(std::string(1, head[byte % head.size()]));
                    std::this_thread::sleep_for(100ms);
                }
            });
    }
    ~ClientCrowd() {
        done = true;
        if (sender.joinable()) sender.join();
    }
    int connected() const {
        int count = 0;
        for (const auto& connection : connections) count += connection->connected() ? 1 : 0;
        return count;
    }
    // How many the server closed within timeout (counted one after another).
    int closedWithin(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        int closed = 0;
        for (auto& connection : connections) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            closed += connection->closedWithin(std::max(left, 1ms)) ? 1 : 0;
        }
        return closed;
    }

private:
    std::vector<std::unique_ptr<RawConnection>> connections;
    std::atomic<bool> done{false};
    std::thread sender;
};

}  // namespace

TEST_F(HttpServerTest, SlowAndIdleClientsNeitherDelayOthersNorStayOpen) {
    ASSERT_NO_FATAL_FAILURE(start());
    ClientCrowd idle(server->port(), 150, false);
    ClientCrowd slow(server->port(), 150, true);
    ASSERT_EQ(idle.connected() + slow.connected(), 300);
    std::this_thread::sleep_for(300ms);
    const auto asked = std::chrono::steady_clock::now();
    const std::string now = get("/now");
    const auto answeredIn = std::chrono::steady_clock::now() - asked;
    EXPECT_EQ(answerStatuses(now), std::vector<int>{200}) << now;
    EXPECT_EQ(answerStatuses(get("/work")), std::vector<int>{200}) << "the workers are free too";
    std::printf("answered in %.1f ms beside 150 idle and 150 slow connections\n",
                std::chrono::duration<double, std::milli>(answeredIn).count());
    // The head time is 1 s: every one of them is closed well before 4 s.
    EXPECT_EQ(idle.closedWithin(3s), 150);
    EXPECT_EQ(slow.closedWithin(3s), 150) << "sending one byte at a time keeps no connection open";
}

TEST_F(HttpServerTest, AnswersPipelinedRequestsInOrder) {
    handler.workTime = 20ms;
    ASSERT_NO_FATAL_FAILURE(start());
    RawConnection client(server->port());
    std::string requests;
    for (int i = 1; i <= 4; ++i)
        requests += "GET /" + std::string(i % 2 == 0 ? "work" : "memory") + "?i=" + std::to_string(i) +
                    " HTTP/1.1\r\nHost: x\r\n\r\n";
    requests += "POST /memory?i=5 HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello";
    ASSERT_TRUE(client.send(requests));
    const std::string answers = client.receive(10s, 5);
    EXPECT_EQ(answerStatuses(answers), std::vector<int>({200, 200, 200, 200, 200})) << answers;
    std::size_t at = 0;
    for (const std::string body : {"i=1", "i=2", "i=3", "i=4", "/memory 5 i=5 hello"}) {
        const std::size_t found = answers.find(body, at);
        EXPECT_NE(found, std::string::npos) << body << " in order, in " << answers;
        at = found == std::string::npos ? at : found;
    }
}

TEST_F(HttpServerTest, RefusesOversizedHeadsAndMalformedRequestsAndCloses) {
    ASSERT_NO_FATAL_FAILURE(start());
    std::string manyFields;
    for (int i = 0; i < 10000; ++i) manyFields += "X-A: b\r\n";
    std::string someFields;
    for (int i = 0; i < 65; ++i) someFields += "X-" + std::to_string(i) + ": b\r\n";
    const std::pair<std::string, std::string> cases[] = {
        {"GET /now HTTP/1.1\r\nHost: x\r\n" + manyFields + "\r\n", "head_too_large"},
        {"GET /now HTTP/1.1\r\nHost: x\r\n" + someFields + "\r\n", "head_too_large"},
        {"GET /now HTTP/1.1\r\nHost: x\r\nX-Long: " + std::string(20000, 'a') + "\r\n\r\n", "head_too_large"},
        {"POST /memory HTTP/1.1\r\nHost: x\r\nContent-Length: -5\r\n\r\n", "bad_request"},
        {"GET /now%zz HTTP/1.1\r\nHost: x\r\n\r\n", "bad_request"},
        {"BLAH\r\n\r\n", "bad_request"},
    };
    for (const auto& [request, error] : cases) {
        RawConnection client(server->port());
        client.send(request);
        const std::string answer = client.receive(10s);
        EXPECT_EQ(answer.rfind(error), answer.size() - error.size()) << request.substr(0, 60) << ": " << answer;
        EXPECT_TRUE(client.closedWithin(5s)) << request.substr(0, 60);
    }
    EXPECT_EQ(answerStatuses(get("/now")), std::vector<int>{200});
}

TEST_F(HttpServerTest, BoundsBodiesBySizeAndTimeAndRemovesTheirFiles) {
    ASSERT_NO_FATAL_FAILURE(start());
    RawConnection declared(server->port());
    declared.send("POST /memory HTTP/1.1\r\nHost: x\r\nContent-Length: 5000\r\n\r\n");
    EXPECT_EQ(answerStatuses(declared.receive(10s)), std::vector<int>{413}) << "told by its length, before any of it";

    RawConnection chunked(server->port());
    chunked.send("POST /file HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n");
    for (int i = 0; i < 3; ++i) chunked.send("190\r\n" + std::string(400, 'c') + "\r\n");
    EXPECT_EQ(answerStatuses(chunked.receive(10s)), std::vector<int>{413}) << "told by what arrives";

    RawConnection stalled(server->port());
    const auto began = std::chrono::steady_clock::now();
    stalled.send("POST /memory HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\n01234");
    const std::string late = stalled.receive(10s);
    EXPECT_EQ(answerStatuses(late), std::vector<int>{408}) << late;
    EXPECT_GE(std::chrono::steady_clock::now() - began, 900ms) << "not before the request time";

    RawConnection continued(server->port());
    continued.send("POST /file HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: 11\r\n\r\n");
    EXPECT_EQ(continued.receive(10s, 0).substr(0, 25), "HTTP/1.1 100 Continue\r\n\r\n");
    continued.send("hello world");
    const std::string echoed = continued.receive(10s);
    EXPECT_NE(echoed.find("/file 11 hello"), std::string::npos) << echoed;
    std::lock_guard<std::mutex> hold(handler.filesLock);
    ASSERT_EQ(handler.files.size(), 1u);
    EXPECT_FALSE(fs::exists(handler.files[0])) << "a body's file goes with its request";
    EXPECT_TRUE(fs::is_empty(uploads));
}

TEST_F(HttpServerTest, StopsInTimeAnsweringOrRefusingEveryRequestItAccepted) {
    handler.workTime = 1000ms;
    limits.workers = 1;
    ASSERT_NO_FATAL_FAILURE(start());
    ClientCrowd slow(server->port(), 20, true);
    RawConnection working(server->port());
    working.send("GET /work HTTP/1.1\r\nHost: x\r\n\r\n");
    std::this_thread::sleep_for(200ms);
    std::vector<std::unique_ptr<RawConnection>> queued;
    for (int i = 0; i < 5; ++i) {
        queued.push_back(std::make_unique<RawConnection>(server->port()));
        queued.back()->send("GET /work HTTP/1.1\r\nHost: x\r\n\r\n");
    }
    RawConnection halfBody(server->port());
    halfBody.send("POST /memory HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\n012");
    std::this_thread::sleep_for(200ms);

    const std::chrono::milliseconds took = stop();
    EXPECT_LT(took, limits.stopTime + 1s) << "however the clients behave";
    EXPECT_EQ(answerStatuses(working.receive(1s)), std::vector<int>{200}) << "the request under way finishes";
    for (auto& each : queued) EXPECT_EQ(answerStatuses(each->receive(1s)), std::vector<int>{503});
    EXPECT_EQ(answerStatuses(halfBody.receive(1s)), std::vector<int>{503});
    EXPECT_EQ(slow.closedWithin(1s), 20);
}

TEST_F(HttpServerTest, LogsOneEscapedLinePerAnswer) {
    ASSERT_NO_FATAL_FAILURE(start());
    get("/now%0aGET%20/forged");
    get("/now?x=%1b[31m");
    EXPECT_EQ(stop() < 5s, true);
    EXPECT_EQ(logged, std::vector<std::string>({"GET /now%0aGET%20/forged 200", "GET /now?x=%1b[31m 200"}));
    EXPECT_EQ(likeness_cli::escapedForLog("a\nb\x1b[31m\\\xc3\xa9"), "a\\x0ab\\x1b[31m\\\\\\xc3\\xa9");
}
