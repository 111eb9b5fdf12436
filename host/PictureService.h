// The HTTP service of `likeness serve`: the collection's operations as JSON endpoints, and the
// page at "/" that uses them. Requests are handled on many threads; every call into the library
// (which is single-threaded) happens under one lock, taken within the request's time limit.
#ifndef LIKENESS_HOST_PICTURESERVICE_H
#define LIKENESS_HOST_PICTURESERVICE_H

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <string>

#include <httplib.h>

#include "CommandSupport.h"
#include "PictureAdder.h"

namespace likeness_cli {

struct ServiceLimits {
    std::size_t maxBodyBytes = std::size_t{64} << 20;  // a picture sent in a request
    std::chrono::seconds timeLimit{60};                // receiving a request and waiting for the collection
};

// The folder, under pictures are stored in, of the home the process runs in.
inline constexpr const char* kServedPictureFolder = "pictures/";

class PictureService {
public:
    // collection: the home's module, the process's working directory being the home. uploads: an
    // empty folder of this process's own for the bodies being received.
    PictureService(Collection& collection, const std::filesystem::path& home, std::filesystem::path uploads,
                   const ServiceLimits& limits);

    // Installs the endpoints, the JSON errors and the limits on server.
    void install(httplib::Server& server);

private:
    using Clock = std::chrono::steady_clock;
    struct Body;

    void addPicture(const httplib::Request& request, httplib::Response& response, const httplib::ContentReader& reader);
    void search(const httplib::Request& request, httplib::Response& response, const httplib::ContentReader& reader);
    void getPicture(const httplib::Request& request, httplib::Response& response);
    void removePicture(const httplib::Request& request, httplib::Response& response);
    void info(httplib::Response& response);

    // Reads the request body, a picture into a file of its own or a JSON object into memory, within
    // the limits; false, with the error response set, when it cannot.
    bool receive(const httplib::Request& request, const httplib::ContentReader& reader, Clock::time_point deadline,
                 Body& body, httplib::Response& response) const;
    // Takes the collection's lock before the deadline; false, with a 503 set, when it is busy until then.
    bool lockBefore(std::unique_lock<std::timed_mutex>& lock, Clock::time_point deadline,
                    httplib::Response& response) const;
    // The key pictures/NAME for a name given by the client; empty, with a 400 set, when it is unsafe.
    std::string keyFor(const std::string& name, httplib::Response& response) const;

    Collection& collection;
    std::filesystem::path home;
    std::filesystem::path uploads;
    ServiceLimits limits;
    PathDisplay display;
    std::timed_mutex libraryLock;  // every use of the collection and of the adder
    PictureAdder adder;
};

}  // namespace likeness_cli

#endif
