// Downloads from a server that misbehaves on purpose: a connection reset in the middle of the body,
// a body shorter than announced, a redirect loop, a trickle, an endless chunked body, 204, 500 with a
// picture, a decompression bomb. After each, the result, the map, the disk and a restart agree, and
// a file the user already had at the key is untouched.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "CollectionChecks.h"
#include "LocalServer.h"
#include "TestSupport.h"
#include "module/Download.h"

namespace fs = std::filesystem;

namespace {

std::string jpegOf(int seed) {
    std::vector<unsigned char> bytes;
    cv::imencode(".jpg", makePicture(seed, cv::Size(320, 240)), bytes);
    return std::string(bytes.begin(), bytes.end());
}

// Answers every connection with the headers and half the body of a picture, then resets it.
class ResettingServer {
public:
    ResettingServer() : body(jpegOf(3)) {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        socklen_t length = sizeof(address);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        listen(listener, 4);
        thread = std::thread([this] { serve(); });
    }
    ~ResettingServer() {
        stopping = true;
        shutdown(listener, SHUT_RDWR);
        thread.join();
        close(listener);
    }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }

private:
    void serve() {
        while (!stopping) {
            const int connection = accept(listener, nullptr, nullptr);
            if (connection < 0) return;
            char request[4096];
            [[maybe_unused]] const ssize_t ignored = recv(connection, request, sizeof(request), 0);
            const std::string answer =
                "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(body.size()) +
                "\r\n\r\n" + body.substr(0, body.size() / 2);
            [[maybe_unused]] const ssize_t sent = send(connection, answer.data(), answer.size(), MSG_NOSIGNAL);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            const linger reset{1, 0};
            setsockopt(connection, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
            close(connection);
        }
    }

    std::string body;
    int listener = -1;
    int port = 0;
    std::atomic<bool> stopping{false};
    std::thread thread;
};

class HostileServer : public LocalServer {
public:
    HostileServer() {
        httplib::Server& server = routes();
        server.Get(R"(/good/([^/]+))", [](const httplib::Request&, httplib::Response& response) {
            response.set_content(jpegOf(1), "image/jpeg");
        });
        server.Get("/short/short.jpg", [](const httplib::Request&, httplib::Response& response) {
            const std::string body = jpegOf(2);
            response.set_content_provider(body.size() + 1000, "image/jpeg",
                                          [body](size_t offset, size_t, httplib::DataSink& sink) {
                                              if (offset >= body.size()) return false;  // hang up early
                                              sink.write(body.data(), body.size());
                                              return true;
                                          });
        });
        server.Get("/once/once.jpg", [](const httplib::Request&, httplib::Response& response) {
            response.set_redirect("/good/once.jpg");
        });
        server.Get("/loop/loop.jpg", [](const httplib::Request&, httplib::Response& response) {
            response.set_redirect("/loop/loop.jpg");
        });
        server.Get("/trickle/trickle.jpg", [](const httplib::Request&, httplib::Response& response) {
            response.set_chunked_content_provider("image/jpeg", [](size_t, httplib::DataSink& sink) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                return sink.write("\xFF", 1);
            });
        });
        server.Get("/endless/endless.jpg", [](const httplib::Request&, httplib::Response& response) {
            response.set_chunked_content_provider("image/jpeg", [](size_t offset, httplib::DataSink& sink) {
                static const std::string block(1 << 20, '\x42');
                if (offset >= (300u << 20)) {
                    sink.done();
                    return true;
                }
                return sink.write(block.data(), block.size());
            });
        });
        server.Get("/empty/nothing.jpg",
                   [](const httplib::Request&, httplib::Response& response) { response.status = 204; });
        server.Get("/error/error.jpg", [](const httplib::Request&, httplib::Response& response) {
            response.status = 500;
            response.set_content(jpegOf(4), "image/jpeg");
        });
        server.Get("/bomb/bomb.png", [](const httplib::Request&, httplib::Response& response) {
            response.set_content(pngDeclaring(32000, 32000), "image/png");
        });
        start();
    }
};

}  // namespace

TEST(HostileServer, NoMisbehaviourAddsAPictureOrHarmsAFileAtTheKey) {
    TempHome home;
    HostileServer server;
    ResettingServer resetting;
    fs::create_directories("pics");
    auto module = startModule();
    const std::string own = "the user's own picture, not added yet";
    const struct {
        std::string url;
        const char* key;
        int expected;
        const char* logged;
    } cases[] = {
        {resetting.url("/reset/reset.jpg"), "pics/reset.jpg", -2, "!!! Failed to download: "},
        {server.url("/short/short.jpg"), "pics/short.jpg", -2, "!!! Failed to download: "},
        {server.url("/loop/loop.jpg"), "pics/loop.jpg", -2, "!!! Failed to download: "},
        {server.url("/endless/endless.jpg"), "pics/endless.jpg", -2, "!!! Failed to download: "},
        {server.url("/empty/nothing.jpg"), "pics/nothing.jpg", -2, "!!! Response code: 204"},
        {server.url("/error/error.jpg"), "pics/error.jpg", -2, "!!! Response code: 500"},
        {server.url("/bomb/bomb.png"), "pics/bomb.png", -3, "32000 x 32000 pixels, over the limit"},
    };
    for (const auto& hostile : cases) {
        writeFile(hostile.key, own);
        LogWatch log;
        EXPECT_EQ(module->addAUrlToDB(hostile.url, "pics/"), hostile.expected) << hostile.url;
        EXPECT_NE(log.added().find(hostile.logged), std::string::npos) << hostile.url << "\n" << log.added();
        expectNotAdded(*module, hostile.key, own);
    }
    std::vector<std::string> batch{server.url("/good/first.jpg")};
    for (const auto& hostile : cases) {
        if (hostile.key != std::string("pics/endless.jpg")) batch.push_back(hostile.url);
    }
    EXPECT_EQ(module->addUrlToDB(batch, "pics/"), 1);
    expectAddedWholly(*module, "pics/first.jpg", jpegOf(1));
    for (const auto& hostile : cases) expectNotAdded(*module, hostile.key, own);

    std::vector<std::string> result{"stale"};
    writeFile("tmp.jpg", "an earlier query");
    EXPECT_EQ(module->search(server.url("/error/error.jpg"), 0, result, 5), -2);
    EXPECT_EQ(readFile("tmp.jpg"), "an earlier query") << "a failed download leaves the query file alone";
    EXPECT_EQ(module->search(resetting.url("/reset/reset.jpg"), 0, result, 5), -2);
    EXPECT_EQ(module->search(server.url("/bomb/bomb.png"), 0, result, 5), -3);
    EXPECT_TRUE(result.empty());
    EXPECT_EQ(module->search(server.url("/good/query.jpg"), 0, result, 5), 1);
    EXPECT_EQ(result, std::vector<std::string>{"pics/first.jpg"});
}

TEST(HostileServer, ATrickleEndsAtTheTotalTimeLimitAndLeavesNoFile) {
    TempHome home(false);
    HostileServer server;
    writeFile("trickle.jpg", "kept");
    DownloadLimits limits;
    limits.totalSeconds = 1;
    LogWatch log;
    EXPECT_FALSE(download_jpeg(server.url("/trickle/trickle.jpg"), "trickle.jpg", limits));
    EXPECT_NE(log.added().find("!!! Failed to download: "), std::string::npos);
    EXPECT_EQ(readFile("trickle.jpg"), "kept");
    EXPECT_EQ(leftoverTemporaries("."), std::vector<std::string>{});

    DownloadLimits fewRedirects;
    fewRedirects.maxRedirects = 0;
    EXPECT_FALSE(download_jpeg(server.url("/once/once.jpg"), "once.jpg", fewRedirects));
    EXPECT_TRUE(download_jpeg(server.url("/once/once.jpg"), "once.jpg"));
}
