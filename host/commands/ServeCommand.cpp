// `likeness serve`: the home's collection behind an HTTP service until SIGINT or SIGTERM. The
// signals are taken by a thread of their own, which stops the server: requests under way finish,
// those not begun are refused, downloads are cancelled, then the module is handed back and the
// uploads folder removed before the process ends.
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#include <CLI/CLI.hpp>

#include "CommandSupport.h"
#include "Home.h"
#include "HttpServer.h"
#include "PictureService.h"
#include "commands/Commands.h"

namespace fs = std::filesystem;

namespace likeness_cli {
namespace {

// The home's file that holds the token of a service listening beyond this machine.
constexpr const char* kTokenFile = "serve-token";
constexpr const char* kUploadsPrefix = "likeness-serve-";

struct ServeOptions {
    std::string listen = "127.0.0.1:8790";  // ADDRESS:PORT; port 0 picks a free one
    std::size_t maxBodyBytes = std::size_t{64} << 20;
    int timeLimitSeconds = 60;
    std::vector<std::string> allowedHosts;
    std::string token;
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
    if (address.host == "localhost") address.host = "127.0.0.1";
    const std::string port = text.substr(colon + 1);
    char* end = nullptr;
    const long value = std::strtol(port.c_str(), &end, 10);
    if (!port.empty() && *end == '\0' && value >= 0 && value <= 65535) address.port = static_cast<int>(value);
    return address;
}

bool isLoopback(const std::string& host) {
    return host.rfind("127.", 0) == 0 || host == "::1";
}

bool isWildcard(const std::string& host) {
    return host == "0.0.0.0" || host == "::";
}

// Removes the uploads folders that services killed before their end left in folder: those named
// after a process that no longer runs, and owned by this user.
void removeLeftUploads(const fs::path& folder) {
    std::error_code error;
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (name.rfind(kUploadsPrefix, 0) != 0) continue;
        char* stop = nullptr;
        const long pid = std::strtol(name.c_str() + std::strlen(kUploadsPrefix), &stop, 10);
        struct stat status;
        if (*stop != '-' || pid <= 0 || lstat(entry->path().c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
            status.st_uid != getuid())
            continue;
        if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        std::error_code ignored;
        fs::remove_all(entry->path(), ignored);
    }
}

// The uploads folder of this process, in the system's temporary folder, named after the process so
// that a later service can remove it when this one is killed; removed at the end.
class UploadsFolder {
public:
    UploadsFolder() {
        std::error_code error;
        const fs::path temporary = fs::temp_directory_path(error);
        removeLeftUploads(temporary);
        std::string pattern = (temporary / (kUploadsPrefix + std::to_string(getpid()) + "-XXXXXX")).string();
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

// The token in the home's token file, made (32 random hexadecimal digits, readable by the user
// only) when there is none; empty, after saying why, when it can be neither read nor made.
std::string homeToken() {
    std::string token;
    std::getline(std::ifstream(kTokenFile), token);
    if (!token.empty()) return token;
    unsigned char random[16];
    std::ifstream source("/dev/urandom", std::ios::binary);
    if (!source.read(reinterpret_cast<char*>(random), sizeof(random))) {
        complain("cannot make a token: /dev/urandom cannot be read");
        return "";
    }
    char digits[3];
    for (const unsigned char byte : random) {
        std::snprintf(digits, sizeof(digits), "%02x", byte);
        token += digits;
    }
    const mode_t previous = umask(077);
    std::ofstream(kTokenFile) << token << "\n";
    umask(previous);
    std::string written;
    std::getline(std::ifstream(kTokenFile), written);
    if (written != token) {
        complain(std::string("cannot write the token file ") + kTokenFile + " in the home");
        return "";
    }
    return token;
}

// The Host values the service answers: the address it listens on (and localhost for a loopback
// one), and the names allowed by the user, with the port.
std::vector<std::string> acceptedHosts(const ListenAddress& address, int port, const ServeOptions& options) {
    std::vector<std::string> hosts;
    const std::string suffix = ":" + std::to_string(port);
    if (isWildcard(address.host) && options.allowedHosts.empty()) return hosts;
    if (!isWildcard(address.host)) {
        const bool bracketed = address.host.find(':') != std::string::npos;
        hosts.push_back((bracketed ? "[" + address.host + "]" : address.host) + suffix);
    }
    if (isLoopback(address.host)) hosts.push_back("localhost" + suffix);
    for (const std::string& name : options.allowedHosts) hosts.push_back(name + suffix);
    // A browser leaves the port out when it is HTTP's own.
    if (port == 80) {
        const std::size_t count = hosts.size();
        for (std::size_t i = 0; i < count; ++i) hosts.push_back(hosts[i].substr(0, hosts[i].size() - 3));
    }
    return hosts;
}

// Thousands of connections must not fail for want of descriptors: the soft limit goes up to the hard one.
void raiseDescriptorLimit() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// The home's note that this service runs there and where, for the writers its lock refuses
// (Home.h); removed when the service stops. The command runs in the home.
class ServingNote {
public:
    explicit ServingNote(const std::string& address) {
        std::ofstream(kServingFile) << getpid() << ' ' << address << '\n';
    }
    ~ServingNote() {
        std::error_code ignored;
        fs::remove(kServingFile, ignored);
    }
    ServingNote(const ServingNote&) = delete;
    ServingNote& operator=(const ServingNote&) = delete;
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
    const std::optional<likeness::WriterLock> homeLock = lockHome(*home);
    if (!homeLock) return kExitUsage;
    ServiceAccess access;
    const bool beyondThisMachine = !isLoopback(address.host);
    if (beyondThisMachine) {
        access.token = options.token.empty() ? homeToken() : options.token;
        if (access.token.empty()) return kExitUsage;
    }
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
    raiseDescriptorLimit();

    Collection collection;
    ServiceLimits limits;
    limits.maxBodyBytes = options.maxBodyBytes;
    limits.timeLimit = std::chrono::seconds(options.timeLimitSeconds);
    HttpLimits httpLimits;
    httpLimits.requestTime = limits.timeLimit;
    httpLimits.uploads = uploads.path;
    // The access rules need the port, which is known once the address is bound.
    PictureService service(collection, *home, uploads.path, limits);
    std::function<void(const std::string&)> log;
    if (!global.quiet) log = [](const std::string& line) { std::cerr << line << std::endl; };
    HttpServer server(service, httpLimits, log);
    std::string whyNot;
    if (!server.listen(address.host, address.port, whyNot)) {
        complain("cannot listen on " + options.listen + ": " + whyNot);
        return kExitUsage;
    }
    access.hosts = acceptedHosts(address, server.port(), options);
    service.allow(std::move(access));
    const bool bracketed = address.host.find(':') != std::string::npos;
    const std::string shown =
        "http://" + (bracketed ? "[" + address.host + "]" : address.host) + ":" + std::to_string(server.port());
    std::cout << "listening on " << shown << " (home " << home->string() << ")" << std::endl;
    const ServingNote note(shown);
    if (beyondThisMachine)
        std::cout << "beyond this machine: every request needs the token "
                  << (options.token.empty() ? "in " + (*home / kTokenFile).string() : std::string("given"))
                  << " (header Authorization: Bearer TOKEN, or open " << shown << "/?token=TOKEN)" << std::endl;

    std::thread stopper([&server, &service, &stopSignals] {
        int received = 0;
        sigwait(&stopSignals, &received);
        service.beginStopping();
        server.stop();
    });
    server.run();
    // When the server ended by itself, the stopper still waits: a pending SIGTERM ends its wait.
    pthread_kill(stopper.native_handle(), SIGTERM);
    stopper.join();
    if (!global.quiet) std::cerr << "stopped" << std::endl;
    return kExitOk;
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
            ->check(CLI::Validator(
                [](std::string& text) {
                    return text.find_first_not_of("0123456789") == std::string::npos && !text.empty() &&
                                   text.find_first_not_of('0') != std::string::npos
                               ? std::string()
                               : "--max-body takes a number of bytes, at least 1 (got " + text + ")";
                },
                "BYTES>=1"));
        command.add_option("--allow-host", options.allowedHosts,
                           "Also answer requests whose Host header names NAME (with the port), besides the address "
                           "listened on; a web page of any other name is refused");
        command.add_option("--token", options.token,
                           "The token requests must carry when the address is not a loopback one (default: the "
                           "home's serve-token file, made when missing)");
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
