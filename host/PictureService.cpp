// The endpoints. A picture body goes to a file of its own in the uploads folder as it arrives and
// is added or searched from there, as `likeness add` and `likeness search` would with a file.
#include "PictureService.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "JsonText.h"
#include "PictureType.h"
#include "ServePage.h"
#include "TextEncoding.h"
#include "classifier/VnnClassifier.h"
#include "log/EasyLog.h"
#include "module/CollectionFiles.h"
#include "module/KeySafety.h"
#include "module/PictureDecoder.h"
#include "module/SamePicture.h"

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

namespace likeness_cli {
namespace {

// A JSON body holds a URL and a key at most; anything larger is no request of this service.
constexpr std::size_t kMaxJsonBytes = 64 * 1024;
// How many results a search may ask for.
constexpr int kMaxResults = 10000;
constexpr std::size_t kMaxNameBytes = 255;
// Requests read and answered at once; they wait for the library one by one.
constexpr std::size_t kRequestThreads = 8;

void sendJson(httplib::Response& response, int status, const json& body) {
    response.status = status;
    response.set_content(body.dump(), "application/json");
}

void fail(httplib::Response& response, int status, const std::string& error, const std::string& message) {
    json body = json::object();
    body["error"] = error;
    body["message"] = withInvalidUtf8Replaced(message);
    sendJson(response, status, body);
}

// The path a stored picture is served at: its key, every byte outside the unreserved ones and "/"
// percent-encoded.
std::string pictureUrl(const std::string& key) {
    static const char* const hex = "0123456789ABCDEF";
    std::string url = "/pictures/";
    for (const unsigned char c : key) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
            url += static_cast<char>(c);
        } else {
            url += '%';
            url += hex[c >> 4];
            url += hex[c & 15];
        }
    }
    return url;
}

void putKey(json& object, const std::string& key) {
    putText(object, "key", key);
    object["picture"] = pictureUrl(key);
}

// An empty folder of its own for one request's body, removed with everything in it at the end.
class RequestFolder {
public:
    explicit RequestFolder(const fs::path& uploads) {
        std::string pattern = (uploads / "request-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) path = pattern;
        else error = errno;
    }
    ~RequestFolder() {
        std::error_code ignored;
        if (!path.empty()) fs::remove_all(path, ignored);
    }
    RequestFolder(const RequestFolder&) = delete;
    RequestFolder& operator=(const RequestFolder&) = delete;

    fs::path path;  // empty when it could not be made
    int error = 0;
};

// FNV-1a, 64 bits: names an unnamed upload after its bytes, so sending the same picture twice
// gives the same key.
class BytesName {
public:
    void add(const char* data, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            hash ^= static_cast<unsigned char>(data[i]);
            hash *= 0x100000001b3ull;
        }
    }
    std::string text() const {
        char digits[17];
        std::snprintf(digits, sizeof(digits), "%016llx", static_cast<unsigned long long>(hash));
        return digits;
    }

private:
    std::uint64_t hash = 0xcbf29ce484222325ull;
};

// Where a failure to write a file belongs: a full disk is the server's storage, anything else its fault.
void failToWrite(httplib::Response& response, int error, const std::string& what) {
    const bool full = error == ENOSPC || error == EDQUOT;
    fail(response, full ? 507 : 500, "not_stored", "cannot write " + what + ": " + std::strerror(error));
}

}  // namespace

struct PictureService::Body {
    bool isJson = false;
    std::string text;  // a JSON body
    std::optional<RequestFolder> folder;
    fs::path file;        // a picture body, in folder
    std::string leading;  // its first bytes
    std::size_t size = 0;
    BytesName name;
};

PictureService::PictureService(Collection& collection, const fs::path& home, fs::path uploads,
                               const ServiceLimits& limits)
    : collection(collection),
      home(home),
      uploads(std::move(uploads)),
      limits(limits),
      adder(collection, false, display, false) {}

void PictureService::install(httplib::Server& server) {
    server.new_task_queue = [] { return new httplib::ThreadPool(kRequestThreads); };
    server.set_payload_max_length(limits.maxBodyBytes);
    // A second past the time limit, so that a client that stops sending is told it took too long.
    server.set_read_timeout(limits.timeLimit + std::chrono::seconds(1));
    server.set_write_timeout(limits.timeLimit);
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(kServePage, "text/html; charset=utf-8");
    });
    server.Get("/healthz", [](const httplib::Request&, httplib::Response& response) {
        sendJson(response, 200, json{{"status", "ok"}});
    });
    server.Get("/info", [this](const httplib::Request&, httplib::Response& response) { info(response); });
    server.Post("/pictures", [this](const httplib::Request& request, httplib::Response& response,
                                    const httplib::ContentReader& reader) { addPicture(request, response, reader); });
    server.Post("/search", [this](const httplib::Request& request, httplib::Response& response,
                                  const httplib::ContentReader& reader) { search(request, response, reader); });
    server.Get(R"(/pictures/(.+))",
               [this](const httplib::Request& request, httplib::Response& response) { getPicture(request, response); });
    server.Delete(R"(/pictures/(.+))", [this](const httplib::Request& request, httplib::Response& response) {
        removePicture(request, response);
    });
    server.set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr thrown) {
        std::string what = "unknown exception";
        try {
            std::rethrow_exception(thrown);
        } catch (const std::exception& error) {
            what = oneLine(error);
        } catch (...) {
        }
        fail(response, 500, "failed", "the request failed: " + what);
    });
    // The statuses the HTTP layer sets by itself (no such endpoint, a body over the limit, a
    // malformed request) get a JSON error too; the endpoints' own errors already have theirs.
    const std::size_t maxBody = limits.maxBodyBytes;
    server.set_error_handler([maxBody](const httplib::Request& request, httplib::Response& response) {
        if (!response.body.empty()) return;
        if (response.status == 413)
            fail(response, 413, "too_large",
                 "the request body is larger than the limit of " + std::to_string(maxBody) + " bytes");
        else if (response.status == 404 || response.status == 405)
            fail(response, response.status, "no_such_endpoint", "no endpoint " + request.method + " " + request.path);
        else
            fail(response, response.status, "bad_request",
                 "the request could not be read (HTTP " + std::to_string(response.status) + ")");
    });
}

bool PictureService::receive(const httplib::Request& request, const httplib::ContentReader& reader,
                             Clock::time_point deadline, Body& body, httplib::Response& response) const {
    const std::string type = request.get_header_value("Content-Type");
    if (type.rfind("multipart/", 0) == 0) {
        fail(response, 415, "unsupported_body",
             "send the picture's own bytes as the body (curl --data-binary @FILE), not a form");
        return false;
    }
    body.isJson = type.rfind("application/json", 0) == 0;
    const std::size_t limit = body.isJson ? kMaxJsonBytes : limits.maxBodyBytes;
    if (request.has_header("Content-Length") &&
        std::strtoull(request.get_header_value("Content-Length").c_str(), nullptr, 10) > limit) {
        fail(response, 413, "too_large",
             "the request body is larger than the limit of " + std::to_string(limit) + " bytes");
        return false;
    }
    std::ofstream out;
    if (!body.isJson) {
        body.folder.emplace(uploads);
        if (body.folder->path.empty()) {
            failToWrite(response, body.folder->error, "the upload");
            return false;
        }
        body.file = body.folder->path / "body";
        out.open(body.file, std::ios::binary);
    }
    bool late = false;
    bool tooLarge = false;
    const bool read = reader([&](const char* data, std::size_t size) {
        if (Clock::now() > deadline) late = true;
        if (body.size + size > limit) tooLarge = true;
        if (late || tooLarge) return false;
        body.size += size;
        if (body.isJson) {
            body.text.append(data, size);
            return true;
        }
        if (body.leading.size() < 16) body.leading.append(data, std::min<std::size_t>(size, 16 - body.leading.size()));
        body.name.add(data, size);
        return static_cast<bool>(out.write(data, static_cast<std::streamsize>(size)));
    });
    const int writeError = errno;
    if (tooLarge) {
        fail(response, 413, "too_large",
             "the request body is larger than the limit of " + std::to_string(limit) + " bytes");
        return false;
    }
    if (late || (!read && Clock::now() > deadline)) {
        fail(response, 408, "timed_out",
             "the request took longer than the time limit of " + std::to_string(limits.timeLimit.count()) + " s");
        return false;
    }
    if (!body.isJson) {
        out.close();
        if (!out) {
            failToWrite(response, writeError, "the upload");
            return false;
        }
    }
    if (!read) {
        fail(response, 400, "bad_request", "the request body could not be read");
        return false;
    }
    if (body.size == 0) {
        fail(response, 400, "empty_body", "send a picture's bytes as the body, or {\"url\": \"http://...\"} as JSON");
        return false;
    }
    return true;
}

bool PictureService::lockBefore(std::unique_lock<std::timed_mutex>& lock, Clock::time_point deadline,
                                httplib::Response& response) const {
    if (lock.try_lock_until(deadline)) return true;
    response.set_header("Retry-After", "5");
    fail(response, 503, "busy",
         "the collection was busy for the whole time limit of " + std::to_string(limits.timeLimit.count()) + " s");
    return false;
}

std::string PictureService::keyFor(const std::string& name, httplib::Response& response) const {
    std::string problem;
    if (name.empty()) problem = "is empty";
    else if (name.front() == '/') problem = "is an absolute path";
    for (std::size_t begin = 0; problem.empty() && begin <= name.size();) {
        std::size_t end = name.find('/', begin);
        if (end == std::string::npos) end = name.size();
        const std::string part = name.substr(begin, end - begin);
        if (part.empty()) problem = "has an empty part (\"//\" or a \"/\" at its end)";
        else if (part == "." || part == "..") problem = "has a \"" + part + "\" part";
        else if (part.size() > kMaxNameBytes) problem = "has a part longer than 255 bytes";
        begin = end + 1;
    }
    const std::string key = kServedPictureFolder + name;
    if (problem.empty()) {
        const std::string reason = unsafeKeyReason(key, collection.featureFile(), EasyLog::GetInstance()->FilePath());
        if (!reason.empty()) problem = "is refused: " + reason;
    }
    if (problem.empty()) return key;
    fail(response, 400, "unsafe_key", "the key " + name + " " + problem);
    return "";
}

void PictureService::addPicture(const httplib::Request& request, httplib::Response& response,
                                const httplib::ContentReader& reader) {
    const Clock::time_point deadline = Clock::now() + limits.timeLimit;
    Body body;
    if (!receive(request, reader, deadline, body, response)) return;
    std::optional<std::string> name;
    if (request.has_param("key")) name = request.get_param_value("key");
    std::optional<std::string> url;
    if (body.isJson) {
        const json request = json::parse(body.text, nullptr, false);
        if (request.is_discarded() || !request.is_object() || !request.contains("url") || !request["url"].is_string() ||
            (request.contains("key") && !request["key"].is_string())) {
            fail(response, 400, "bad_json", "expected {\"url\": \"http://...\"} with an optional \"key\" string");
            return;
        }
        url = request["url"].get<std::string>();
        if (request.contains("key")) {
            if (name && *name != request["key"].get<std::string>()) {
                fail(response, 400, "bad_request", "two different keys: one in the address, one in the JSON");
                return;
            }
            name = request["key"].get<std::string>();
        }
    }
    Outcome outcome;
    if (url) {
        if (!isUrl(*url)) {
            fail(response, 400, "bad_url", "the url must begin with http:// or https://");
            return;
        }
        const std::string key = makeKey(*url, kServedPictureFolder);
        if (key == kServedPictureFolder) {
            fail(response, 400, "bad_url", "the URL ends in \"/\", so it names no file to store the picture as");
            return;
        }
        if (name && kServedPictureFolder + *name != key) {
            fail(response, 400, "key_with_url",
                 "a picture fetched by URL is stored under the URL's own name, " + key +
                     "; send the picture's bytes instead to choose its key");
            return;
        }
        if (keyFor(key.substr(std::strlen(kServedPictureFolder)), response).empty()) return;
        std::unique_lock<std::timed_mutex> lock(libraryLock, std::defer_lock);
        if (!lockBefore(lock, deadline, response)) return;
        std::error_code ignored;
        fs::create_directories(kServedPictureFolder, ignored);
        outcome = describeAdd(collection.addUrl(*url, kServedPictureFolder), *url, logShown(display));
    } else {
        const PictureType type = pictureTypeOf(body.leading);
        const std::string given = name ? *name : "upload-" + body.name.text() + type.extension;
        const std::string key = keyFor(given, response);
        if (key.empty()) return;
        const fs::path named = fs::path(key).filename();
        const fs::path source = body.folder->path / named;
        std::error_code error;
        fs::rename(body.file, source, error);
        if (error) {
            failToWrite(response, error.value(), "the upload");
            return;
        }
        const std::string saveDir = key.substr(0, key.size() - named.string().size());
        std::unique_lock<std::timed_mutex> lock(libraryLock, std::defer_lock);
        if (!lockBefore(lock, deadline, response)) return;
        fs::create_directories(saveDir, error);  // a folder that cannot be made shows as "not stored"
        outcome = adder.add({source.string(), saveDir}, std::string("the uploaded picture"));
    }
    json answer = json::object();
    switch (outcome.result) {
    case AddResult::Added:
    case AddResult::AlreadyPresent:
    case AddResult::SameFile:
        answer["result"] = outcome.result == AddResult::Added            ? "added"
                           : outcome.result == AddResult::AlreadyPresent ? "already_present"
                                                                         : "same_file";
        putKey(answer, outcome.key);
        answer["message"] = withInvalidUtf8Replaced(outcome.line);
        sendJson(response, outcome.result == AddResult::Added ? 201 : 200, answer);
        return;
    case AddResult::KeyTaken:
        fail(response, 409, "key_taken",
             outcome.key + " is already taken by a different picture; choose another key with ?key=NAME");
        return;
    case AddResult::DownloadFailed: fail(response, 502, "download_failed", outcome.line); return;
    case AddResult::NotDecodable: fail(response, 422, "not_decodable", outcome.line); return;
    case AddResult::KeyRefused: fail(response, 400, "unsafe_key", outcome.line); return;
    case AddResult::NotStored: fail(response, 507, "not_stored", outcome.line); return;
    case AddResult::Unreadable:
    case AddResult::Failed: fail(response, 500, "failed", outcome.line); return;
    }
}

void PictureService::search(const httplib::Request& request, httplib::Response& response,
                            const httplib::ContentReader& reader) {
    const Clock::time_point deadline = Clock::now() + limits.timeLimit;
    int count = 10;
    if (request.has_param("n")) {
        const std::string text = request.get_param_value("n");
        char* end = nullptr;
        errno = 0;
        const long asked = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || errno != 0 || asked < 1 || asked > kMaxResults) {
            fail(response, 400, "bad_count",
                 "n takes a whole number of results from 1 to " + std::to_string(kMaxResults) + " (got " + text + ")");
            return;
        }
        count = static_cast<int>(asked);
    }
    Body body;
    if (!receive(request, reader, deadline, body, response)) return;
    std::string target;
    std::string shown = "the query picture";
    if (body.isJson) {
        const json query = json::parse(body.text, nullptr, false);
        if (query.is_discarded() || !query.is_object() || !query.contains("url") || !query["url"].is_string()) {
            fail(response, 400, "bad_json", "expected {\"url\": \"http://...\"}");
            return;
        }
        target = shown = query["url"].get<std::string>();
        if (!isUrl(target)) {
            fail(response, 400, "bad_url", "the url must begin with http:// or https://");
            return;
        }
    } else {
        target = body.file.string();
    }
    std::unique_lock<std::timed_mutex> lock(libraryLock, std::defer_lock);
    if (!lockBefore(lock, deadline, response)) return;
    const likeness::SearchOutcome found =
        body.isJson ? collection.searchUrl(target, count) : collection.searchFile(target, count);
    lock.unlock();
    if (found.status == likeness::QueryStatus::downloadFailed) {
        fail(response, 502, "download_failed", describeSearchFailure(found, shown, logShown(display)));
        return;
    }
    if (found.status != likeness::QueryStatus::ok) {
        fail(response, 422, "not_decodable", shown + ": not a decodable picture: " + found.reason);
        return;
    }
    json answer = json::object();
    answer["results"] = json::array();
    for (const likeness::Match& match : found.matches) {
        json result = json::object();
        putKey(result, match.key);
        result["distance"] = match.distance;
        result["same_picture"] = match.samePicture;
        answer["results"].push_back(result);
    }
    answer["same_picture_below"] = likeness::samePictureBelow();
    sendJson(response, 200, answer);
}

void PictureService::getPicture(const httplib::Request& request, httplib::Response& response) {
    const std::string key = request.matches[1].str();
    {
        std::unique_lock<std::timed_mutex> lock(libraryLock, std::defer_lock);
        if (!lockBefore(lock, Clock::now() + limits.timeLimit, response)) return;
        if (collection.vectorOf(key) == nullptr) {
            fail(response, 404, "unknown_key", "no stored picture has the key " + key);
            return;
        }
    }
    // Read outside the lock: a stored copy is replaced only by a rename, so this reads one whole file.
    std::ifstream in(key, std::ios::binary | std::ios::ate);
    std::string bytes(in ? static_cast<std::size_t>(in.tellg()) : 0, '\0');
    if (!in || !in.seekg(0) || !in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
        fail(response, 500, "unreadable", "the stored picture " + key + " cannot be read");
        return;
    }
    const char* const mediaType = pictureTypeOf(bytes.substr(0, 16)).mediaType;
    response.set_header("Cache-Control", "no-cache");
    response.set_content(std::move(bytes), mediaType);
}

void PictureService::removePicture(const httplib::Request& request, httplib::Response& response) {
    const std::string key = request.matches[1].str();
    bool deleteFile = false;
    if (request.has_param("delete_file")) {
        const std::string value = request.get_param_value("delete_file");
        deleteFile = value == "1" || value == "true";
        if (!deleteFile && value != "0" && value != "false") {
            fail(response, 400, "bad_request", "delete_file takes true or false (got " + value + ")");
            return;
        }
    }
    std::unique_lock<std::timed_mutex> lock(libraryLock, std::defer_lock);
    if (!lockBefore(lock, Clock::now() + limits.timeLimit, response)) return;
    if (collection.vectorOf(key) == nullptr) {
        fail(response, 404, "unknown_key", "no stored picture has the key " + key);
        return;
    }
    const likeness::RemoveOutcome removal = collection.remove({key});
    if (removal.code != 0) {
        fail(response, 507, "not_rewritten",
             "nothing removed: " + removal.reason + " (see the log " + logShown(display) + ")");
        return;
    }
    json answer = json::object();
    answer["result"] = "removed";
    putText(answer, "key", key);
    // The record is gone first, so a copy that cannot be deleted is only a stray file.
    std::error_code error;
    answer["file_deleted"] = deleteFile && fs::remove(key, error);
    if (deleteFile && error) answer["file_error"] = error.message();
    sendJson(response, 200, answer);
}

void PictureService::info(httplib::Response& response) {
    json answer = json::object();
    putText(answer, "home", home.string());
    {
        std::unique_lock<std::timed_mutex> lock(libraryLock, std::defer_lock);
        if (!lockBefore(lock, Clock::now() + limits.timeLimit, response)) return;
        answer["pictures"] = collection.size();
        putText(answer, "database", (home / collection.featureFile()).string());
        std::error_code error;
        const std::uintmax_t bytes = fs::file_size(collection.featureFile(), error);
        answer["database_bytes"] = error ? 0 : bytes;
    }
    answer["version"] = LIKENESS_VERSION;
    answer["forward_passes"] = VnnClassifier::forwardPasses();
    answer["same_picture_below"] = likeness::samePictureBelow();
    const PictureLimits pixels;
    answer["limits"] = {{"max_body_bytes", limits.maxBodyBytes},
                        {"time_limit_seconds", limits.timeLimit.count()},
                        {"max_pixels", pixels.maxPixels},
                        {"max_side", pixels.maxSide}};
    sendJson(response, 200, answer);
}

}  // namespace likeness_cli
