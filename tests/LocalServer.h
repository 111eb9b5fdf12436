// An HTTP server on 127.0.0.1 for the download tests: routes are added before start(), which
// serves them on a free port from a thread of its own until the object goes.
#ifndef LIKENESS_TESTS_LOCALSERVER_H
#define LIKENESS_TESTS_LOCALSERVER_H

#include <chrono>
#include <string>
#include <thread>

#include <httplib.h>

class LocalServer {
public:
    LocalServer() = default;
    ~LocalServer() {
        server.stop();
        if (thread.joinable()) thread.join();
    }
    LocalServer(const LocalServer&) = delete;
    LocalServer& operator=(const LocalServer&) = delete;

    httplib::Server& routes() { return server; }
    void start() {
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port) + path; }

private:
    httplib::Server server;
    std::thread thread;
    int port = 0;
};

#endif
