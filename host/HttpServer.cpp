// The server's connections are small state machines driven by one io_context: read a head (under
// the head deadline), read its body in pieces into memory or a file (under the request's
// deadline), hand the request to a worker, write the answer, and begin again with what the client
// sent after it. Each connection has one timer; when it fires, the socket's pending operation is
// cancelled and the connection answers 408 or closes, as its state calls for.
#include "HttpServer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <limits>
#include <list>
#include <mutex>
#include <thread>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace likeness_cli {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

// What a body is read in, and what a closing connection reads and drops at a time.
constexpr std::size_t kBodyPiece = 64 * 1024;
constexpr std::size_t kDrainPiece = 4096;
// How long a connection that must close after its answer keeps reading what the client still sends,
// so that closing does not reset the connection before the client has read the answer.
constexpr std::chrono::milliseconds kLingerTime{1000};
// How long an answer may take to write once the server is stopping.
constexpr std::chrono::seconds kStoppingWriteTime{2};

bool sameLetters(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Percent-decodes text; false when an escape is cut short or not hexadecimal.
bool percentDecoded(std::string_view text, bool plusIsSpace, std::string& decoded) {
    decoded.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            if (i + 2 >= text.size()) return false;
            const int high = hexValue(text[i + 1]);
            const int low = hexValue(text[i + 2]);
            if (high < 0 || low < 0) return false;
            decoded += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            decoded += plusIsSpace && text[i] == '+' ? ' ' : text[i];
        }
    }
    return true;
}

// Splits the target into its decoded path and parameters; false when it is malformed.
bool readTarget(std::string_view target, HttpRequest& request) {
    const std::size_t question = target.find('?');
    if (!percentDecoded(target.substr(0, question), false, request.path)) return false;
    if (question == std::string_view::npos) return true;
    std::string_view rest = target.substr(question + 1);
    while (!rest.empty()) {
        const std::size_t amp = rest.find('&');
        const std::string_view part = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
        if (part.empty()) continue;
        const std::size_t equals = part.find('=');
        std::string name, value;
        if (!percentDecoded(part.substr(0, equals), true, name) ||
            !percentDecoded(equals == std::string_view::npos ? std::string_view() : part.substr(equals + 1), true,
                            value))
            return false;
        request.query.emplace_back(std::move(name), std::move(value));
    }
    return true;
}

const std::string* firstNamed(const HttpFields& fields, std::string_view name) {
    for (const auto& field : fields)
        if (sameLetters(field.first, name)) return &field.second;
    return nullptr;
}

}  // namespace

const std::string* HttpRequest::header(std::string_view name) const {
    return firstNamed(headers, name);
}

const std::string* HttpRequest::param(std::string_view name) const {
    for (const auto& field : query)
        if (field.first == name) return &field.second;
    return nullptr;
}

std::string escapedForLog(std::string_view text) {
    static const char* const hex = "0123456789abcdef";
    std::string escaped;
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte == '\\') {
            escaped += "\\\\";
        } else if (byte < 0x20 || byte >= 0x7f) {
            escaped += "\\x";
            escaped += hex[byte >> 4];
            escaped += hex[byte & 15];
        } else {
            escaped += c;
        }
    }
    return escaped;
}

class HttpServer::Impl {
public:
    Impl(HttpHandler& handler, HttpLimits limits, std::function<void(const std::string&)> log)
        : handler(handler), limits(std::move(limits)), log(std::move(log)), acceptor(io), retry(io), stopTimer(io) {}

    class Connection;

    bool listen(const std::string& address, int port, std::string& whyNot);
    void run();
    void stop() {
        asio::post(io, [this] { beginStop(); });
    }
    int boundPort = 0;

private:
    friend class Connection;

    void accept();
    void beginStop();
    void forget(std::list<std::shared_ptr<Connection>>::iterator place);
    // Takes a request back from the queue before a worker has it; false when one has.
    bool takeBack(const Connection* connection);
    void enqueue(std::shared_ptr<Connection> connection);
    void work();
    // Nothing left to wait for once stopping: let run() return.
    void finishIfDone();

    HttpHandler& handler;
    HttpLimits limits;
    std::function<void(const std::string&)> log;
    asio::io_context io;
    tcp::acceptor acceptor;
    asio::steady_timer retry;      // accepting again after the process ran out of descriptors
    asio::steady_timer stopTimer;  // closing what is left when the stop time is up
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> keepRunning;
    bool stopping = false;  // network thread only
    // In the order they came, so that the oldest idle one goes first when there are too many.
    std::list<std::shared_ptr<Connection>> connections;

    std::mutex queueLock;
    std::condition_variable queued;
    std::deque<std::shared_ptr<Connection>> waiting;
    bool workersEnd = false;
    std::vector<std::thread> workers;
};

class HttpServer::Impl::Connection : public std::enable_shared_from_this<Connection> {
public:
    // handling: with the workers, queued or being answered.
    enum class State { head, body, handling, writing, closing, closed };

    Connection(Impl& server, tcp::socket socket)
        : server(server),
          socket(std::move(socket)),
          timer(server.io),
          buffer(server.limits.maxHeadBytes + kBodyPiece) {}

    void start(std::list<std::shared_ptr<Connection>>::iterator place) {
        self = place;
        readHead();
    }
    State state() const { return current; }
    HttpRequest& request() { return incoming; }

    // The server stops: what has not been accepted closes, what has is refused or finished.
    void stopping() {
        switch (current) {
        case State::head: close(); break;
        case State::body:
            refuseNow = true;
            socket.cancel();
            break;
        case State::handling:
            // Refused when no worker has taken it yet; otherwise its answer is on the way.
            if (server.takeBack(this)) answer(refusal(503, "shutting_down", "the service is stopping"), true);
            break;
        case State::writing:
            timer.expires_after(kStoppingWriteTime);
            watch();
            break;
        case State::closing:
        case State::closed: break;
        }
    }

    // The worker's answer, on the network thread.
    void answered(HttpResponse response) { answer(std::move(response), false); }

    void close() {
        if (current == State::closed) return;
        const std::shared_ptr<Connection> keep = shared_from_this();
        current = State::closed;
        boost::system::error_code ignored;
        timer.cancel();
        socket.shutdown(tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
        dropBodyFile();
        server.forget(self);
    }

private:
    void readHead() {
        current = State::head;
        incoming = HttpRequest();
        parser.emplace();
        parser->header_limit(static_cast<std::uint32_t>(server.limits.maxHeadBytes));
        // The plan sets the real limit once the head is in; until then nothing is refused for it.
        parser->body_limit(std::numeric_limits<std::uint64_t>::max());
        timer.expires_after(server.limits.headTime);
        watch();
        http::async_read_header(socket, buffer, *parser,
                                [me = shared_from_this()](beast::error_code error, std::size_t) { me->headIn(error); });
    }

    void headIn(beast::error_code error) {
        if (current != State::head) return;
        if (error == http::error::header_limit) {
            refuse(431, "head_too_large",
                   "the request's head is larger than " + std::to_string(server.limits.maxHeadBytes) + " bytes");
            return;
        }
        if (error == http::error::end_of_stream || error == asio::error::eof || expired() || server.stopping ||
            error == asio::error::operation_aborted || error == asio::error::connection_reset) {
            close();
            return;
        }
        if (error) {
            refuse(400, "bad_request", std::string("the request could not be read: ") + error.message());
            return;
        }
        const auto& head = parser->get();
        std::size_t fields = 0;
        for (const auto& field : head) {
            incoming.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
            ++fields;
        }
        incoming.method = std::string(head.method_string());
        incoming.target = std::string(head.target());
        incoming.keepAlive = head.keep_alive();
        incoming.deadline = HttpClock::now() + server.limits.requestTime;
        if (fields > server.limits.maxHeaderFields) {
            refuse(431, "head_too_large",
                   "the request has more than " + std::to_string(server.limits.maxHeaderFields) + " header fields");
            return;
        }
        if (!readTarget(incoming.target, incoming)) {
            refuse(400, "bad_request", "the request's target is not well percent-encoded");
            return;
        }
        HttpPlan plan = server.handler.plan(incoming);
        const bool bodyComing = !parser->is_done();
        if (plan.answerNow) {
            answer(std::move(*plan.answerNow), bodyComing);
            return;
        }
        bodyLimit = plan.bodyLimit;
        if (parser->content_length() && *parser->content_length() > bodyLimit) {
            refuse(413, "too_large",
                   "the request body is larger than the limit of " + std::to_string(bodyLimit) + " bytes");
            return;
        }
        if (plan.bodyToFile && !openBodyFile()) return;
        current = State::body;
        timer.expires_at(incoming.deadline);
        watch();
        const std::string* expect = incoming.header("Expect");
        if (bodyComing && expect != nullptr && sameLetters(*expect, "100-continue")) {
            // The client waits for this before it sends a large body.
            static const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
            asio::async_write(socket, asio::buffer(kContinue),
                              [me = shared_from_this()](beast::error_code error, std::size_t) {
                                  if (error) return me->bodyFailed(error);
                                  me->readBody();
                              });
            return;
        }
        readBody();
    }

    bool openBodyFile() {
        std::string pattern = (server.limits.uploads / "body-XXXXXX").string();
        const int fd = mkstemp(pattern.data());
        if (fd < 0) {
            const int cause = errno;
            const bool full = cause == ENOSPC || cause == EDQUOT;
            refuse(full ? 507 : 500, "not_stored", std::string("cannot write the upload: ") + std::strerror(cause));
            return false;
        }
        bodyFd = fd;
        incoming.bodyFile = pattern;
        return true;
    }

    void readBody() {
        if (parser->is_done()) return bodyIn();
        // Only a connection that is receiving a body holds a buffer for it.
        piece.resize(kBodyPiece);
        parser->get().body().data = piece.data();
        parser->get().body().size = piece.size();
        http::async_read_some(socket, buffer, *parser, [me = shared_from_this()](beast::error_code error, std::size_t) {
            me->bodyPiece(error);
        });
    }

    void bodyPiece(beast::error_code error) {
        if (current != State::body) return;
        if (refuseNow) return refuse(503, "shutting_down", "the service is stopping");
        if (error == http::error::need_buffer) error = {};
        if (error) return bodyFailed(error);
        const std::size_t got = piece.size() - parser->get().body().size;
        incoming.bodyBytes += got;
        if (incoming.bodyBytes > bodyLimit) {
            refuse(413, "too_large",
                   "the request body is larger than the limit of " + std::to_string(bodyLimit) + " bytes");
            return;
        }
        if (bodyFd >= 0) {
            for (std::size_t written = 0; written < got;) {
                const ssize_t put = ::write(bodyFd, piece.data() + written, got - written);
                if (put < 0 && errno == EINTR) continue;
                if (put <= 0) {
                    const int cause = put == 0 ? ENOSPC : errno;
                    const bool full = cause == ENOSPC || cause == EDQUOT;
                    refuse(full ? 507 : 500, "not_stored",
                           std::string("cannot write the upload: ") + std::strerror(cause));
                    return;
                }
                written += static_cast<std::size_t>(put);
            }
        } else {
            incoming.body.append(piece.data(), got);
        }
        readBody();
    }

    void bodyFailed(beast::error_code error) {
        if (refuseNow) return refuse(503, "shutting_down", "the service is stopping");
        if (expired())
            return refuse(408, "timed_out",
                          "the request took longer than the time limit of " +
                              std::to_string(server.limits.requestTime.count()) + " s");
        if (error == http::error::partial_message || error == asio::error::eof ||
            error == asio::error::connection_reset || error == asio::error::operation_aborted)
            return close();
        refuse(400, "bad_request", std::string("the request body could not be read: ") + error.message());
    }

    void bodyIn() {
        if (bodyFd >= 0) {
            ::close(bodyFd);
            bodyFd = -1;
        }
        timer.cancel();
        piece = std::vector<char>();
        current = State::handling;
        server.enqueue(shared_from_this());
    }

    HttpResponse refusal(int status, const std::string& error, const std::string& message) {
        return server.handler.failure(status, error, message);
    }

    // Answers a request the server refuses, and closes the connection after it.
    void refuse(int status, const std::string& error, const std::string& message) {
        answer(refusal(status, error, message), true);
    }

    void answer(HttpResponse response, bool thenClose) {
        if (current == State::closed) return;
        current = State::writing;
        dropBodyFile();
        piece = std::vector<char>();
        const unsigned version = parser && parser->get().version() == 10 ? 10 : 11;
        outgoing.emplace(static_cast<http::status>(response.status), version);
        for (const auto& field : response.headers) outgoing->set(field.first, field.second);
        if (!response.contentType.empty()) outgoing->set(http::field::content_type, response.contentType);
        outgoing->body() = std::move(response.body);
        closeAfter = thenClose || !incoming.keepAlive || server.stopping;
        outgoing->keep_alive(!closeAfter);
        outgoing->prepare_payload();
        if (server.log)
            server.log(escapedForLog(incoming.method.empty() ? "-" : incoming.method) + " " +
                       escapedForLog(incoming.target.empty() ? "-" : incoming.target) + " " +
                       std::to_string(response.status));
        timer.expires_after(server.stopping ? std::chrono::seconds(kStoppingWriteTime) : server.limits.requestTime);
        watch();
        http::async_write(socket, *outgoing,
                          [me = shared_from_this()](beast::error_code error, std::size_t) { me->written(error); });
    }

    void written(beast::error_code error) {
        if (current != State::writing) return;
        outgoing.reset();
        if (error) return close();
        if (!closeAfter) return readHead();
        linger();
    }

    // Says it is done sending, then drops what the client still sends for a moment, so that the
    // close does not reset the connection under an answer the client has not read yet.
    void linger() {
        current = State::closing;
        boost::system::error_code ignored;
        socket.shutdown(tcp::socket::shutdown_send, ignored);
        timer.expires_after(kLingerTime);
        watch();
        drain();
    }

    void drain() {
        piece.resize(kDrainPiece);
        socket.async_read_some(asio::buffer(piece), [me = shared_from_this()](beast::error_code error, std::size_t) {
            if (me->current != State::closing) return;
            if (error) return me->close();
            me->drain();
        });
    }

    bool expired() const { return timer.expiry() <= HttpClock::now(); }

    // When the timer's expiry passes, the pending operation on the socket is cancelled; its
    // handler then finds the expiry passed.
    void watch() {
        timer.async_wait([me = shared_from_this()](beast::error_code error) {
            if (error == asio::error::operation_aborted || !me->expired()) return;
            if (me->current == State::writing || me->current == State::closing) return me->close();
            boost::system::error_code ignored;
            me->socket.cancel(ignored);
        });
    }

    void dropBodyFile() {
        if (bodyFd >= 0) {
            ::close(bodyFd);
            bodyFd = -1;
        }
        if (!incoming.bodyFile.empty()) {
            std::error_code ignored;
            std::filesystem::remove(incoming.bodyFile, ignored);
        }
    }

    Impl& server;
    tcp::socket socket;
    asio::steady_timer timer;
    beast::flat_buffer buffer;
    std::optional<http::request_parser<http::buffer_body>> parser;
    std::optional<http::response<http::string_body>> outgoing;
    HttpRequest incoming;
    State current = State::head;
    std::list<std::shared_ptr<Connection>>::iterator self;
    std::uint64_t bodyLimit = 0;
    int bodyFd = -1;
    bool refuseNow = false;
    bool closeAfter = false;
    std::vector<char> piece;
};

bool HttpServer::Impl::listen(const std::string& address, int port, std::string& whyNot) {
    boost::system::error_code error;
    const asio::ip::address ip = asio::ip::make_address(address, error);
    if (error) {
        whyNot = address + " is not an IP address";
        return false;
    }
    const tcp::endpoint endpoint(ip, static_cast<unsigned short>(port));
    acceptor.open(endpoint.protocol(), error);
    if (!error) acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    if (!error) acceptor.bind(endpoint, error);
    if (!error) acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error) {
        whyNot = error.message();
        return false;
    }
    boundPort = acceptor.local_endpoint().port();
    return true;
}

void HttpServer::Impl::run() {
    keepRunning.emplace(io.get_executor());
    for (std::size_t i = 0; i < std::max<std::size_t>(1, limits.workers); ++i) workers.emplace_back([this] { work(); });
    accept();
    io.run();
    {
        std::lock_guard<std::mutex> hold(queueLock);
        workersEnd = true;
    }
    queued.notify_all();
    for (std::thread& worker : workers) worker.join();
    workers.clear();
}

void HttpServer::Impl::accept() {
    acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
        if (stopping) return;
        if (error) {
            // Out of descriptors, say: try again shortly rather than spin.
            retry.expires_after(std::chrono::milliseconds(100));
            retry.async_wait([this](beast::error_code) {
                if (!stopping) accept();
            });
            return;
        }
        if (connections.size() >= limits.maxConnections) {
            // The oldest connection that has no request under way makes room; when every one has,
            // the new one is turned away.
            const auto idle = std::find_if(connections.begin(), connections.end(), [](const auto& connection) {
                return connection->state() == Connection::State::head;
            });
            if (idle == connections.end()) {
                boost::system::error_code ignored;
                socket.close(ignored);
                accept();
                return;
            }
            (*idle)->close();
        }
        auto connection = std::make_shared<Connection>(*this, std::move(socket));
        connections.push_back(connection);
        connection->start(std::prev(connections.end()));
        accept();
    });
}

void HttpServer::Impl::forget(std::list<std::shared_ptr<Connection>>::iterator place) {
    connections.erase(place);
    finishIfDone();
}

bool HttpServer::Impl::takeBack(const Connection* connection) {
    std::lock_guard<std::mutex> hold(queueLock);
    const auto found = std::find_if(waiting.begin(), waiting.end(),
                                    [connection](const auto& each) { return each.get() == connection; });
    if (found == waiting.end()) return false;
    waiting.erase(found);
    return true;
}

void HttpServer::Impl::beginStop() {
    if (stopping) return;
    stopping = true;
    boost::system::error_code ignored;
    acceptor.close(ignored);
    retry.cancel();
    const std::vector<std::shared_ptr<Connection>> open(connections.begin(), connections.end());
    for (const auto& connection : open) connection->stopping();
    stopTimer.expires_after(limits.stopTime);
    stopTimer.async_wait([this](beast::error_code error) {
        if (error == asio::error::operation_aborted) return;
        const std::vector<std::shared_ptr<Connection>> left(connections.begin(), connections.end());
        for (const auto& connection : left) connection->close();
        keepRunning.reset();
    });
    finishIfDone();
}

void HttpServer::Impl::finishIfDone() {
    if (!stopping || !connections.empty()) return;
    stopTimer.cancel();
    keepRunning.reset();
}

void HttpServer::Impl::enqueue(std::shared_ptr<Connection> connection) {
    {
        std::lock_guard<std::mutex> hold(queueLock);
        waiting.push_back(std::move(connection));
    }
    queued.notify_one();
}

void HttpServer::Impl::work() {
    for (;;) {
        std::shared_ptr<Connection> connection;
        {
            std::unique_lock<std::mutex> hold(queueLock);
            queued.wait(hold, [this] { return workersEnd || !waiting.empty(); });
            if (waiting.empty()) return;
            connection = std::move(waiting.front());
            waiting.pop_front();
        }
        HttpResponse response;
        try {
            response = handler.answer(connection->request());
        } catch (const std::exception& error) {
            response = handler.failure(500, "failed", std::string("the request failed: ") + error.what());
        } catch (...) {
            response = handler.failure(500, "failed", "the request failed: unknown exception");
        }
        asio::post(io,
                   [connection, answer = std::move(response)]() mutable { connection->answered(std::move(answer)); });
    }
}

HttpServer::HttpServer(HttpHandler& handler, HttpLimits limits, std::function<void(const std::string&)> log)
    : impl(std::make_unique<Impl>(handler, std::move(limits), std::move(log))) {}

HttpServer::~HttpServer() = default;

bool HttpServer::listen(const std::string& address, int port, std::string& whyNot) {
    return impl->listen(address, port, whyNot);
}

int HttpServer::port() const {
    return impl->boundPort;
}

void HttpServer::run() {
    impl->run();
}

void HttpServer::stop() {
    impl->stop();
}

}  // namespace likeness_cli
