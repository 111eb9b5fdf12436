// `likeness serve`: the home's collection behind an HTTP service until SIGINT or SIGTERM. The
// signals are taken by a thread of their own, which stops the server; requests under way finish,
// the module is handed back and the uploads folder removed before the process ends.
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <thread>

#include <httplib.h>
#include <CLI/CLI.hpp>

#include "CommandSupport.h"
#include "PictureService.h"
#include "commands/Commands.h"

namespace fs = std::filesystem;

namespace likeness_cli {
namespace {

struct ServeOptions {
    std::string listen = "127.0.0.1:8790";  // ADDRESS:PORT; port 0 picks a free one
    std::size_t maxBodyBytes = std::size_t{64} << 20;
    int timeLimitSeconds = 60;
};

struct ListenAddress {
    std::string host;
    int port = -1;
};

// "ADDRESS:PORT", "[IPv6]:PORT"; a port of -1 when it does not parse.
ListenAddress parseListen(const std::string& text) {
    ListenAddress address;
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return address;
    address.host = text.substr(0, colon);
    if (address.host.size() > 2 && address.host.front() == '[' && address.host.back() == ']')
        address.host = address.host.substr(1, address.host.size() - 2);
    const std::string port = text.substr(colon + 1);
    char* end = nullptr;
    const long value = std::strtol(port.c_str(), &end, 10);
    if (!port.empty() && *end == '\0' && value >= 0 && value <= 65535) address.port = static_cast<int>(value);
    return address;
}

// The uploads folder of this process, in the system's temporary folder; removed at the end.
class UploadsFolder {
public:
    UploadsFolder() {
        std::error_code error;
        std::string pattern = (fs::temp_directory_path(error) / "likeness-serve-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) path = pattern;
    }
    ~UploadsFolder() {
        std::error_code ignored;
        if (!path.empty()) fs::remove_all(path, ignored);
    }
    UploadsFolder(const UploadsFolder&) = delete;
    UploadsFolder& operator=(const UploadsFolder&) = delete;

    fs::path path;
};

int runServe(const GlobalOptions& global, const ServeOptions& options) {
    const ListenAddress address = parseListen(options.listen);
    if (address.port < 0) {
        complain("--listen takes ADDRESS:PORT, such as 127.0.0.1:8790 (got " + options.listen + ")");
        return kExitUsage;
    }
    const std::optional<fs::path> home = enterHome(global.home);
    if (!home) return kExitUsage;
    // The service writes the home for as long as it runs.
    const std::optional<HomeLock> homeLock = lockHome(*home);
    if (!homeLock) return kExitUsage;
    const UploadsFolder uploads;
    if (uploads.path.empty()) {
        complain("cannot make a folder for uploads in " + fs::temp_directory_path().string() + ": " +
                 std::strerror(errno));
        return kExitUsage;
    }

    // Blocked before any other thread starts, so that every thread inherits the mask and only
    // the waiting thread below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A client that goes away while it is being answered ends that answer, not the service.
    signal(SIGPIPE, SIG_IGN);

    Collection collection;
    ServiceLimits limits;
    limits.maxBodyBytes = options.maxBodyBytes;
    limits.timeLimit = std::chrono::seconds(options.timeLimitSeconds);
    PictureService service(collection, *home, uploads.path, limits);
    httplib::Server server;
    service.install(server);
    if (!global.quiet)
        server.set_logger([](const httplib::Request& request, const httplib::Response& response) {
            std::cerr << request.method << " " << request.path << " " << response.status << std::endl;
        });
    const int port = address.port == 0 ? server.bind_to_any_port(address.host)
                                       : (server.bind_to_port(address.host, address.port) ? address.port : -1);
    if (port < 0) {
        complain("cannot listen on " + options.listen + ": " + std::strerror(errno));
        return kExitUsage;
    }
    const bool bracketed = address.host.find(':') != std::string::npos;
    std::cout << "listening on http://" << (bracketed ? "[" + address.host + "]" : address.host) << ":" << port
              << " (home " << home->string() << ")" << std::endl;

    std::atomic<bool> ended{false};
    std::thread stopper([&server, &stopSignals, &ended] {
        int received = 0;
        sigwait(&stopSignals, &received);
        // A signal that came before the server started listening must still stop it.
        while (!ended && !server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        server.stop();
    });
    const bool listened = server.listen_after_bind();
    ended = true;
    // When the server ended by itself, the stopper still waits: a pending SIGTERM ends its wait.
    pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
    if (!global.quiet) std::cerr << "stopped" << std::endl;
    return listened ? kExitOk : kExitSomeFailed;
}

class ServeCommand final : public Command {
public:
    void define(CLI::App& command) override {
        command.description(
            "Serve the collection over HTTP (JSON endpoints, and a page at / to search it from a browser)");
        command
            .add_option("--listen", options.listen,
                        "ADDRESS:PORT to listen on; port 0 picks a free one. The address it listens on is printed")
            ->capture_default_str();
        command.add_option("--max-body", options.maxBodyBytes, "The largest request body accepted, in bytes")
            ->capture_default_str()
            ->check(CLI::PositiveNumber);
        command
            .add_option("--time-limit", options.timeLimitSeconds,
                        "Seconds a request may take to arrive and to wait for the collection")
            ->capture_default_str()
            ->check(CLI::Range(1, 86400));
    }
    int run(const GlobalOptions& global) override { return runServe(global, options); }

private:
    ServeOptions options;
};

}  // namespace

std::unique_ptr<Command> makeServeCommand() {
    return std::make_unique<ServeCommand>();
}

}  // namespace likeness_cli
