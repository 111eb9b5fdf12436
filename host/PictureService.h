// The HTTP service of `likeness serve`: the collection's operations as JSON endpoints, and the
// page at "/" that uses them, behind the HTTP layer of HttpServer.h. Requests are answered on many
// threads; every call into the library (which is single-threaded) happens under one lock, taken
// within the request's time limit, and a picture fetched by URL is fetched before it is taken.
#ifndef LIKENESS_HOST_PICTURESERVICE_H
#define LIKENESS_HOST_PICTURESERVICE_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "CommandSupport.h"
#include "DeadlineMutex.h"
#include "HttpServer.h"
#include "PictureAdder.h"

namespace likeness_cli {

struct ServiceLimits {
    std::size_t maxBodyBytes = std::size_t{64} << 20;  // a picture sent in a request
    std::chrono::seconds timeLimit{60};                // receiving a request and waiting for the collection
};

// Who may send requests, beyond reaching the address the service listens on.
struct ServiceAccess {
    // The Host values requests must carry ("127.0.0.1:8790", "localhost:8790"...), compared
    // without case; any Host when empty (a wildcard address, where the token guards instead).
    std::vector<std::string> hosts;
    // When not empty, every request but the health check must carry it: as "Authorization: Bearer
    // TOKEN", or as the cookie that the page sets once it was opened with ?token=TOKEN.
    std::string token;
};

// The folder, under pictures are stored in, of the home the process runs in.
inline constexpr const char* kServedPictureFolder = "pictures/";

class PictureService final : public HttpHandler {
public:
    // collection: the home's module, the process's working directory being the home. uploads: the
    // folder of this process's own where the HTTP layer writes bodies (the same file system as
    // the request folders made beside them).
    PictureService(Collection& collection, const std::filesystem::path& home, std::filesystem::path uploads,
                   const ServiceLimits& limits);
    // Who may send requests; set before the first request (the port is known once bound). Until
    // then, any Host is answered.
    void allow(ServiceAccess rules) { access = std::move(rules); }

    HttpPlan plan(const HttpRequest& head) override;
    HttpResponse answer(HttpRequest& request) override;
    HttpResponse failure(int status, const std::string& error, const std::string& message) override;

    // The service is stopping: downloads under way end at once, answered 502 ("cancelled"), and
    // requests waiting for the collection are refused (503).
    void beginStopping() { stopping = true; }

private:
    using Clock = HttpClock;
    struct Body;

    // Why a request may not be made here (a foreign Host or origin, no token), as an answer.
    std::optional<HttpResponse> refusedAccess(const HttpRequest& head) const;
    HttpResponse addPicture(const HttpRequest& request);
    HttpResponse search(const HttpRequest& request);
    HttpResponse getPicture(const HttpRequest& request);
    HttpResponse removePicture(const HttpRequest& request);
    HttpResponse info(const HttpRequest& request);

    // Fetches url into folder under the name the key will have, outside the collection's lock and
    // with the library's limits; the file's path, or nothing with the refusal set.
    std::optional<std::filesystem::path> fetch(const std::string& url, const std::filesystem::path& folder,
                                               const std::string& name, HttpResponse& refusal);
    // Takes the collection's lock before the deadline; false, with a 503 set, when it is busy until
    // then or the service is stopping.
    bool lockBefore(std::unique_lock<DeadlineMutex>& lock, Clock::time_point deadline, HttpResponse& refusal);
    // The key pictures/NAME for a name given by the client; empty, with a 400 set, when it is unsafe.
    std::string keyFor(const std::string& name, HttpResponse& refusal) const;

    Collection& collection;
    std::filesystem::path home;
    std::filesystem::path uploads;
    ServiceLimits limits;
    ServiceAccess access;
    PathDisplay display;
    std::atomic<bool> stopping{false};
    std::atomic<int> downloads{0};
    DeadlineMutex libraryLock;  // every use of the collection and of the adder
    PictureAdder adder;
};

}  // namespace likeness_cli

#endif
