// The endpoints. A picture body arrives in a file of its own, which is moved into a folder of the
// request's own under the name its key will have, and added or searched from there, as `likeness
// add` and `likeness search` would with a file. A picture named by URL is fetched into such a
// folder first, outside the collection's lock, and then added or searched the same way.
#include "PictureService.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <utility>

#include <nlohmann/json.hpp>

#include "Home.h"
#include "JsonText.h"
#include "ServePage.h"
#include "TextEncoding.h"
#include "classifier/VnnClassifier.h"
#include "log/EasyLog.h"
#include "module/Download.h"
#include "module/KeySafety.h"
#include "module/PictureDecoder.h"
#include "module/PictureHeader.h"
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
// A key's whole length: far below the system's path limit, whatever the home's own path.
constexpr std::size_t kMaxKeyBytes = 1024;
// Downloads at once: each holds a worker for up to the library's 5 minutes, and the others must
// stay free for searches.
constexpr int kMaxDownloads = 3;
constexpr const char* kTokenCookie = "likeness_token";

HttpResponse jsonAnswer(int status, const json& body) {
    return HttpResponse{status, "application/json", body.dump(), {}};
}

HttpResponse fail(int status, const std::string& error, const std::string& message) {
    json body = json::object();
    body["error"] = error;
    body["message"] = withInvalidUtf8Replaced(message);
    return jsonAnswer(status, body);
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

std::string lowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A media type without its parameters, in lower case: "image/png" of "Image/PNG; q=1".
std::string mediaTypeOf(const std::string* header) {
    if (header == nullptr) return "";
    std::string type = lowerCase(header->substr(0, header->find(';')));
    while (!type.empty() && type.back() == ' ') type.pop_back();
    return type;
}

// Compares in a time that does not depend on where they first differ.
bool sameSecret(const std::string& given, const std::string& secret) {
    unsigned char differ = given.size() == secret.size() ? 0 : 1;
    for (std::size_t i = 0; i < given.size(); ++i)
        differ |= static_cast<unsigned char>(given[i] ^ secret[i % std::max<std::size_t>(1, secret.size())]);
    return differ == 0;
}

// The value of the cookie name in a Cookie header; empty when it has none.
std::string cookieValue(const std::string* header, const std::string& name) {
    if (header == nullptr) return "";
    for (std::size_t at = 0; at < header->size();) {
        std::size_t end = header->find(';', at);
        if (end == std::string::npos) end = header->size();
        std::string pair = header->substr(at, end - at);
        pair.erase(0, pair.find_first_not_of(' '));
        if (pair.compare(0, name.size() + 1, name + "=") == 0) return pair.substr(name.size() + 1);
        at = end + 1;
    }
    return "";
}

// An empty folder of its own for one request's files, removed with everything in it at the end.
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

// The name of an unnamed upload: the library's name for its bytes (likeness::BytesName), so
// sending the same picture twice gives the same key.
std::string uploadName(const fs::path& file) {
    likeness::BytesName name;
    std::ifstream in(file, std::ios::binary);
    char block[65536];
    while (in.read(block, sizeof(block)) || in.gcount() > 0)
        name.add(reinterpret_cast<const unsigned char*>(block), static_cast<std::size_t>(in.gcount()));
    return name.name();
}

// Where a failure to write a file belongs: a full disk is the server's storage, anything else its fault.
HttpResponse failToWrite(int error, const std::string& what) {
    const bool full = error == ENOSPC || error == EDQUOT;
    return fail(full ? 507 : 500, "not_stored", "cannot write " + what + ": " + std::strerror(error));
}

// The parameter n of a search, from 1 to kMaxResults, digits only; nothing when it is anything else.
std::optional<int> resultCount(const std::string& text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    int count = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        count = count * 10 + (c - '0');
    }
    if (count < 1 || count > kMaxResults) return std::nullopt;
    return count;
}

// The key of a request for /pictures/KEY.
std::string requestedKey(const HttpRequest& request) {
    return request.path.substr(std::strlen("/pictures/"));
}

}  // namespace

PictureService::PictureService(Collection& collection, const fs::path& home, fs::path uploads,
                               const ServiceLimits& limits)
    : collection(collection),
      home(home),
      uploads(std::move(uploads)),
      limits(limits),
      adder(collection, false, display, false) {}

HttpResponse PictureService::failure(int status, const std::string& error, const std::string& message) {
    HttpResponse answer = fail(status, error, message);
    if (status == 503) answer.headers.emplace_back("Retry-After", "5");
    return answer;
}

std::optional<HttpResponse> PictureService::refusedAccess(const HttpRequest& head) const {
    const std::string* host = head.header("Host");
    if (host == nullptr || host->empty()) return fail(400, "bad_request", "the request names no Host");
    if (!access.hosts.empty()) {
        bool known = false;
        for (const std::string& allowed : access.hosts) known = known || lowerCase(*host) == lowerCase(allowed);
        if (!known) {
            std::string names;
            for (const std::string& allowed : access.hosts) names += (names.empty() ? "" : ", ") + allowed;
            return fail(403, "unknown_host",
                        "this service answers requests for " + names + " only, not for " + *host +
                            " (another name for it can be allowed with serve --allow-host NAME)");
        }
    }
    // A browser says where a request comes from: only the service's own page may use it.
    const std::string* origin = head.header("Origin");
    if (origin != nullptr && lowerCase(*origin) != "http://" + lowerCase(*host))
        return fail(403, "cross_origin", "requests from other pages (" + *origin + ") are refused");
    const std::string* site = head.header("Sec-Fetch-Site");
    const bool navigation = head.method == "GET" && (head.path == "/" || head.path == "/healthz");
    if (site != nullptr && *site != "same-origin" && *site != "none" && !navigation)
        return fail(403, "cross_origin", "requests from other pages (Sec-Fetch-Site: " + *site + ") are refused");
    if (!access.token.empty() && head.path != "/healthz") {
        const std::string* authorization = head.header("Authorization");
        const std::string* given = head.param("token");
        const bool allowed = (authorization != nullptr && sameSecret(*authorization, "Bearer " + access.token)) ||
                             sameSecret(cookieValue(head.header("Cookie"), kTokenCookie), access.token) ||
                             (head.path == "/" && given != nullptr && sameSecret(*given, access.token));
        if (!allowed)
            return fail(401, "token_needed",
                        "this service listens beyond this machine and needs its token: the header Authorization: "
                        "Bearer TOKEN, or open the page as /?token=TOKEN (the token is in the home's serve-token "
                        "file)");
    }
    return std::nullopt;
}

HttpPlan PictureService::plan(const HttpRequest& head) {
    HttpPlan plan;
    if (std::optional<HttpResponse> refused = refusedAccess(head)) {
        plan.answerNow = std::move(refused);
        return plan;
    }
    const bool isGet = head.method == "GET";
    if (isGet && head.path == "/") {
        plan.answerNow = HttpResponse{200, "text/html; charset=utf-8", kServePage, {}};
        // The page's own requests, and its pictures, carry the token from now on.
        if (!access.token.empty())
            plan.answerNow->headers.emplace_back(
                "Set-Cookie", std::string(kTokenCookie) + "=" + access.token + "; Path=/; HttpOnly; SameSite=Strict");
        return plan;
    }
    if (isGet && head.path == "/healthz") {
        plan.answerNow = jsonAnswer(200, json{{"status", "ok"}});
        return plan;
    }
    const bool picture = head.path.rfind("/pictures/", 0) == 0 && head.path.size() > std::strlen("/pictures/");
    if ((isGet && (picture || head.path == "/info")) || (head.method == "DELETE" && picture)) return plan;
    const bool posting = head.path == "/pictures" || head.path == "/search";
    if (head.method != "POST" || !posting) {
        plan.answerNow =
            fail(posting || picture ? 405 : 404, "no_such_endpoint", "no endpoint " + head.method + " " + head.path);
        return plan;
    }
    const std::string type = mediaTypeOf(head.header("Content-Type"));
    if (type.rfind("multipart/", 0) == 0) {
        plan.answerNow = fail(415, "unsupported_body",
                              "send the picture's own bytes as the body (curl -H 'Content-Type: image/jpeg' "
                              "--data-binary @FILE), not a form");
        return plan;
    }
    // What a page of any site may send without asking first: never taken, so that no page can add
    // or search through a visitor's browser.
    if (type.empty() || type == "text/plain" || type == "application/x-www-form-urlencoded") {
        plan.answerNow =
            fail(415, "unsupported_body",
                 "send the picture with its media type (curl -H 'Content-Type: image/jpeg' "
                 "--data-binary @FILE), or JSON as application/json; a body of " +
                     (type.empty() ? std::string("no type") : type) + " is what any web page could send here");
        return plan;
    }
    if (head.path == "/search") {
        const std::string* n = head.param("n");
        if (n != nullptr && !resultCount(*n)) {
            plan.answerNow = fail(
                400, "bad_count",
                "n takes a whole number of results from 1 to " + std::to_string(kMaxResults) + " (got " + *n + ")");
            return plan;
        }
    }
    const bool isJson = type == "application/json";
    plan.bodyLimit = isJson ? kMaxJsonBytes : limits.maxBodyBytes;
    plan.bodyToFile = !isJson;
    return plan;
}

HttpResponse PictureService::answer(HttpRequest& request) {
    if (request.method == "POST" && request.path == "/pictures") return addPicture(request);
    if (request.method == "POST") return search(request);
    if (request.path == "/info") return info(request);
    if (request.method == "DELETE") return removePicture(request);
    return getPicture(request);
}

bool PictureService::lockBefore(std::unique_lock<DeadlineMutex>& lock, Clock::time_point deadline,
                                HttpResponse& refusal) {
    // In short waits, so that a request still waiting when the service stops is refused at once.
    constexpr std::chrono::milliseconds kWait{100};
    while (!stopping) {
        if (lock.try_lock_until(std::min(deadline, Clock::now() + kWait))) return true;
        if (Clock::now() >= deadline) break;
    }
    refusal = stopping ? failure(503, "shutting_down", "the service is stopping")
                       : failure(503, "busy",
                                 "the collection was busy for the whole time limit of " +
                                     std::to_string(limits.timeLimit.count()) + " s");
    return false;
}

std::string PictureService::keyFor(const std::string& name, HttpResponse& refusal) const {
    std::string problem;
    if (name.empty()) problem = "is empty";
    else if (name.front() == '/') problem = "is an absolute path";
    else if (name.size() > kMaxKeyBytes) problem = "is longer than " + std::to_string(kMaxKeyBytes) + " bytes";
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
    // A folder of the key that leads out of the home (a link) would store the picture there.
    if (problem.empty() && !liesInHome(home, fs::path(key).parent_path()))
        problem = "leads out of the home through a symbolic link";
    if (problem.empty()) return key;
    refusal = fail(400, "unsafe_key", "the key " + name.substr(0, 300) + " " + problem);
    return "";
}

std::optional<fs::path> PictureService::fetch(const std::string& url, const fs::path& folder, const std::string& name,
                                              HttpResponse& refusal) {
    if (downloads.fetch_add(1) >= kMaxDownloads) {
        downloads.fetch_sub(1);
        refusal = failure(503, "busy", std::to_string(kMaxDownloads) + " downloads are under way; try again shortly");
        return std::nullopt;
    }
    const fs::path file = folder / name;
    PendingDownload download(file.string());
    DownloadLimits bounds;
    bounds.cancel = &stopping;
    const DownloadOutcome outcome = download.fetch(url, bounds);
    downloads.fetch_sub(1);
    if (outcome == DownloadOutcome::Failed) {
        refusal = fail(502, "download_failed", "cannot download " + url + ": " + download.failure());
        return std::nullopt;
    }
    if (outcome == DownloadOutcome::NotWritten || !download.commit()) {
        refusal = failToWrite(errno, "the download");
        return std::nullopt;
    }
    return file;
}

HttpResponse PictureService::addPicture(const HttpRequest& request) {
    const std::string* keyParam = request.param("key");
    std::optional<std::string> name;
    if (keyParam != nullptr) name = *keyParam;
    std::optional<std::string> url;
    if (request.bodyBytes == 0)
        return fail(400, "empty_body", "send a picture's bytes as the body, or {\"url\": \"http://...\"} as JSON");
    if (request.bodyFile.empty()) {
        const json asked = json::parse(request.body, nullptr, false);
        if (asked.is_discarded() || !asked.is_object() || !asked.contains("url") || !asked["url"].is_string() ||
            (asked.contains("key") && !asked["key"].is_string()))
            return fail(400, "bad_json", "expected {\"url\": \"http://...\"} with an optional \"key\" string");
        url = asked["url"].get<std::string>();
        if (asked.contains("key")) {
            if (name && *name != asked["key"].get<std::string>())
                return fail(400, "bad_request", "two different keys: one in the address, one in the JSON");
            name = asked["key"].get<std::string>();
        }
    }
    const RequestFolder folder(uploads);
    if (folder.path.empty()) return failToWrite(folder.error, "the upload");
    HttpResponse refusal;
    std::string key;
    fs::path source;
    if (url) {
        if (!isUrl(*url)) return fail(400, "bad_url", "the url must begin with http:// or https://");
        key = makeKey(*url, kServedPictureFolder);
        if (key == kServedPictureFolder)
            return fail(400, "bad_url", "the URL ends in \"/\", so it names no file to store the picture as");
        if (name && kServedPictureFolder + *name != key)
            return fail(400, "key_with_url",
                        "a picture fetched by URL is stored under the URL's own name, " + key +
                            "; send the picture's bytes instead to choose its key");
        if (keyFor(key.substr(std::strlen(kServedPictureFolder)), refusal).empty()) return refusal;
        const std::optional<fs::path> fetched = fetch(*url, folder.path, fs::path(key).filename().string(), refusal);
        if (!fetched) return refusal;
        source = *fetched;
    } else {
        key = keyFor(name ? *name : uploadName(request.bodyFile), refusal);
        if (key.empty()) return refusal;
        source = folder.path / fs::path(key).filename();
        std::error_code error;
        fs::rename(request.bodyFile, source, error);
        if (error) return failToWrite(error.value(), "the upload");
    }
    const std::string saveDir = key.substr(0, key.size() - fs::path(key).filename().string().size());
    std::unique_lock<DeadlineMutex> lock(libraryLock, std::defer_lock);
    if (!lockBefore(lock, request.deadline, refusal)) return refusal;
    std::error_code ignored;
    fs::create_directories(saveDir, ignored);  // a folder that cannot be made shows as "not stored"
    const Outcome outcome = adder.add({source.string(), saveDir}, url ? *url : std::string("the uploaded picture"));
    lock.unlock();
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
        return jsonAnswer(outcome.result == AddResult::Added ? 201 : 200, answer);
    case AddResult::KeyTaken:
        return fail(409, "key_taken",
                    outcome.key + " is already taken by a different picture; choose another key with ?key=NAME");
    case AddResult::DownloadFailed: return fail(502, "download_failed", outcome.line);
    case AddResult::NotDecodable: return fail(422, "not_decodable", outcome.line);
    case AddResult::KeyRefused: return fail(400, "unsafe_key", outcome.line);
    case AddResult::NotStored: return fail(507, "not_stored", outcome.line);
    case AddResult::Unreadable:
    case AddResult::Failed: break;
    }
    return fail(500, "failed", outcome.line);
}

HttpResponse PictureService::search(const HttpRequest& request) {
    const std::string* n = request.param("n");
    const int count = n != nullptr ? *resultCount(*n) : 10;
    if (request.bodyBytes == 0)
        return fail(400, "empty_body", "send a picture's bytes as the body, or {\"url\": \"http://...\"} as JSON");
    const RequestFolder folder(uploads);
    if (folder.path.empty()) return failToWrite(folder.error, "the upload");
    HttpResponse refusal;
    fs::path picture;
    std::string shown = "the query picture";
    if (request.bodyFile.empty()) {
        const json query = json::parse(request.body, nullptr, false);
        if (query.is_discarded() || !query.is_object() || !query.contains("url") || !query["url"].is_string())
            return fail(400, "bad_json", "expected {\"url\": \"http://...\"}");
        shown = query["url"].get<std::string>();
        if (!isUrl(shown)) return fail(400, "bad_url", "the url must begin with http:// or https://");
        const std::optional<fs::path> fetched = fetch(shown, folder.path, "query", refusal);
        if (!fetched) return refusal;
        picture = *fetched;
    } else {
        picture = request.bodyFile;
    }
    std::unique_lock<DeadlineMutex> lock(libraryLock, std::defer_lock);
    if (!lockBefore(lock, request.deadline, refusal)) return refusal;
    const likeness::SearchOutcome found = collection.searchFile(picture.string(), count);
    lock.unlock();
    if (found.status != likeness::QueryStatus::ok)
        return fail(422, "not_decodable", shown + ": not a decodable picture: " + found.reason);
    json answer = json::object();
    answer["results"] = json::array();
    for (const likeness::Match& match : found.matches) {
        json result = json::object();
        putKey(result, match.key);
        result["distance"] = jsonNumber(match.distance);
        result["same_picture"] = match.samePicture;
        answer["results"].push_back(result);
    }
    answer["same_picture_below"] = jsonNumber(likeness::samePictureBelow());
    return jsonAnswer(200, answer);
}

HttpResponse PictureService::getPicture(const HttpRequest& request) {
    const std::string key = requestedKey(request);
    HttpResponse refusal;
    {
        std::unique_lock<DeadlineMutex> lock(libraryLock, std::defer_lock);
        if (!lockBefore(lock, request.deadline, refusal)) return refusal;
        if (collection.vectorOf(key) == nullptr)
            return fail(404, "unknown_key", "no stored picture has the key " + key);
    }
    // A key can lead anywhere once the feature file was edited by hand: only pictures of the home
    // are served, whatever links lie on the way.
    if (!liesInHome(home, key))
        return fail(403, "outside_home", "the stored picture of " + key + " lies outside the home and is not served");
    // Read outside the lock: a stored copy is replaced only by a rename, so this reads one whole file.
    std::ifstream in(key, std::ios::binary | std::ios::ate);
    std::string bytes(in ? static_cast<std::size_t>(in.tellg()) : 0, '\0');
    if (!in || !in.seekg(0) || !in.read(bytes.data(), static_cast<std::streamsize>(bytes.size())))
        return fail(500, "unreadable", "the stored picture " + key + " cannot be read");
    const likeness::PictureFormat format =
        likeness::readPictureHeader(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()).format;
    if (format == likeness::PictureFormat::Unknown)
        return fail(403, "not_a_picture", "the file at " + key + " holds no picture of a known format");
    HttpResponse answer{200, likeness::formatMediaType(format), std::move(bytes), {}};
    answer.headers = {{"Cache-Control", "no-cache"},
                      {"X-Content-Type-Options", "nosniff"},
                      {"Cross-Origin-Resource-Policy", "same-origin"}};
    return answer;
}

HttpResponse PictureService::removePicture(const HttpRequest& request) {
    const std::string key = requestedKey(request);
    bool deleteFile = false;
    if (const std::string* value = request.param("delete_file")) {
        deleteFile = *value == "1" || *value == "true";
        if (!deleteFile && *value != "0" && *value != "false")
            return fail(400, "bad_request", "delete_file takes true or false (got " + *value + ")");
    }
    HttpResponse refusal;
    std::unique_lock<DeadlineMutex> lock(libraryLock, std::defer_lock);
    if (!lockBefore(lock, request.deadline, refusal)) return refusal;
    if (collection.vectorOf(key) == nullptr) return fail(404, "unknown_key", "no stored picture has the key " + key);
    const likeness::RemoveOutcome removal = collection.remove({key});
    if (removal.code != 0)
        return fail(507, "not_rewritten",
                    "nothing removed: " + removal.reason + " (see the log " + logShown(display) + ")");
    lock.unlock();
    json answer = json::object();
    answer["result"] = "removed";
    putText(answer, "key", key);
    // The record is gone first, so a copy that cannot be deleted is only a stray file.
    bool deleted = false;
    if (deleteFile && !entryLiesInHome(home, key)) {
        answer["file_error"] = "the stored copy lies outside the home and is not deleted";
    } else if (deleteFile) {
        std::error_code error;
        deleted = fs::remove(key, error);
        if (error) answer["file_error"] = error.message();
    }
    answer["file_deleted"] = deleted;
    return jsonAnswer(200, answer);
}

HttpResponse PictureService::info(const HttpRequest& request) {
    json answer = json::object();
    putText(answer, "home", home.string());
    HttpResponse refusal;
    {
        std::unique_lock<DeadlineMutex> lock(libraryLock, std::defer_lock);
        if (!lockBefore(lock, request.deadline, refusal)) return refusal;
        answer["pictures"] = collection.size();
        putText(answer, "database", (home / collection.featureFile()).string());
        std::error_code error;
        const std::uintmax_t bytes = fs::file_size(collection.featureFile(), error);
        answer["database_bytes"] = error ? 0 : bytes;
    }
    answer["version"] = LIKENESS_VERSION;
    answer["forward_passes"] = VnnClassifier::forwardPasses();
    answer["same_picture_below"] = jsonNumber(likeness::samePictureBelow());
    const likeness::PictureLimits pixels;
    answer["limits"] = {{"max_body_bytes", limits.maxBodyBytes},
                        {"time_limit_seconds", limits.timeLimit.count()},
                        {"max_pixels", pixels.maxPixels},
                        {"max_side", pixels.maxSide}};
    return jsonAnswer(200, answer);
}

}  // namespace likeness_cli
