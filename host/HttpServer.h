// The HTTP/1.1 server under `likeness serve`: event-driven (Boost.Beast over Asio), so that slow or
// idle clients cost a socket and a few kilobytes each, never a thread. One network thread reads and
// writes every connection, each step under a deadline; a request whose head and body are in is
// handed to a small pool of workers, and its answer written back in order, so pipelined requests
// are answered one after another.
#ifndef LIKENESS_HOST_HTTPSERVER_H
#define LIKENESS_HOST_HTTPSERVER_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace likeness_cli {

using HttpClock = std::chrono::steady_clock;
using HttpFields = std::vector<std::pair<std::string, std::string>>;

struct HttpLimits {
    // From a connection's start, or the end of its previous answer, until the whole head of its
    // next request is in: an idle or slow connection is closed after this.
    std::chrono::milliseconds headTime{5000};
    std::size_t maxHeadBytes = 16 * 1024;  // request line and header fields together
    std::size_t maxHeaderFields = 64;
    // From a head's arrival until its body is in and the collection is free (the service's time
    // limit); also how long writing one answer may take.
    std::chrono::seconds requestTime{60};
    std::size_t maxConnections = 1000;
    std::size_t workers = 8;
    // From stop() until every connection is closed, answered or not.
    std::chrono::seconds stopTime{8};
    // Where bodies kept in files are written (removed when their request ends).
    std::filesystem::path uploads;
};

struct HttpRequest {
    std::string method;
    std::string target;  // as sent
    std::string path;    // the target's path, percent-decoded
    HttpFields query;    // the target's parameters, percent-decoded ("+" is a space)
    HttpFields headers;
    bool keepAlive = true;
    // Receiving the body and waiting for the collection end here.
    HttpClock::time_point deadline;
    std::string body;                // a body kept in memory
    std::filesystem::path bodyFile;  // or written to a file
    std::uint64_t bodyBytes = 0;

    // The first header field of that name (compared without case); null when there is none.
    const std::string* header(std::string_view name) const;
    const std::string* param(std::string_view name) const;
};

struct HttpResponse {
    int status = 200;
    std::string contentType;
    std::string body;
    HttpFields headers;
};

// What the server does with a request once its head is in.
struct HttpPlan {
    // When set, this is the answer: the body, if any, is not read (and the connection closes after
    // the answer when one was coming). Cheap answers and refusals are given this way, on the network
    // thread, so they never wait for a worker.
    std::optional<HttpResponse> answerNow;
    std::uint64_t bodyLimit = 0;  // the most bytes the body may hold
    bool bodyToFile = false;      // write it to a file in the uploads folder rather than keep it in memory
};

class HttpHandler {
public:
    virtual ~HttpHandler() = default;
    // On the network thread, as soon as a request's head is in.
    virtual HttpPlan plan(const HttpRequest& head) = 0;
    // On a worker, once the whole body is in. An exception becomes a 500 made by failure().
    virtual HttpResponse answer(HttpRequest& request) = 0;
    // The answer to a request the server itself refuses: a status, a short name for programs and a
    // sentence for people.
    virtual HttpResponse failure(int status, const std::string& error, const std::string& message) = 0;
};

class HttpServer {
public:
    // log, when set, is called on the network thread with one line per answer: the method, the
    // target as sent and the status, with every control byte escaped.
    HttpServer(HttpHandler& handler, HttpLimits limits, std::function<void(const std::string&)> log = {});
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds address:port (port 0: a free one). False, with why in whyNot, when it cannot.
    bool listen(const std::string& address, int port, std::string& whyNot);
    int port() const;
    // Serves until stop() has finished: every request whose head came in is answered or refused
    // (503), and every connection closed, within the stop time.
    void run();
    // From any thread.
    void stop();

private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

// text with every byte outside printable ASCII written as \xHH, and "\" as "\\": one line of a log
// that no request can break, forge or colour.
std::string escapedForLog(std::string_view text);

}  // namespace likeness_cli

#endif
