// The one place where the library talks to the network.
// Every path after the file is opened releases the curl handle before closing the file.
#include "module/Download.h"

#include <curl/curl.h>
#include <fcntl.h>

#include <cstdio>
#include <string>
#include <utility>

#include "log/EasyLog.h"
#include "module/FileIo.h"
#include "module/LogText.h"

namespace {

// Where the write callback puts a body, and the limit it enforces while doing so.
struct DownloadSink {
    int fd;
    std::vector<unsigned char>* body;
    long long maxBodyBytes;
    bool writeFailed;
    bool overLimit;
};

void logLine(const char* message) {
    EasyLog::GetInstance()->WriteLog(EasyLog::LOG_INFO, "%s", message);
}

void logWithUrl(const char* fmt, const std::string& url) {
    EasyLog::GetInstance()->WriteLog(EasyLog::LOG_INFO, fmt, logText(url).c_str());
}

// Why a transfer failed, in words a host can show its user; the log line that carries it has a
// fixed prefix so hosts can find it.
std::string transferFailureReason(CURLcode outcome, const DownloadSink& sink) {
    const std::string tooLarge = "too large: over " + std::to_string(sink.maxBodyBytes) + " bytes";
    switch (outcome) {
    case CURLE_UNSUPPORTED_PROTOCOL: return "scheme refused: only http and https are fetched";
    case CURLE_URL_MALFORMAT: return "malformed URL";
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return "cannot resolve the host name";
    case CURLE_COULDNT_CONNECT: return "cannot connect";
    case CURLE_OPERATION_TIMEDOUT: return "timed out";
    case CURLE_TOO_MANY_REDIRECTS: return "too many redirects";
    case CURLE_FILESIZE_EXCEEDED: return tooLarge;
    case CURLE_WRITE_ERROR: return sink.overLimit ? tooLarge : "cannot write the file";
    case CURLE_ABORTED_BY_CALLBACK: return "cancelled";
    default: return curl_easy_strerror(outcome);
    }
}

void logReason(const std::string& reason) {
    EasyLog::GetInstance()->WriteLog(EasyLog::LOG_INFO, "!!! Download error: %s", reason.c_str());
}

// libcurl's progress callback: a non-zero answer ends the transfer.
int cancelWhenAsked(void* cancel, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::atomic<bool>*>(cancel)->load() ? 1 : 0;
}

}  // namespace

size_t callbackfunction(void* data, size_t size, size_t nmemb, void* stream) {
    if (stream == nullptr) {
        puts("!!! No stream");
        return 0;
    }
    auto* sink = static_cast<DownloadSink*>(stream);
    const size_t blockBytes = size * nmemb;
    if (static_cast<long long>(sink->body->size() + blockBytes) > sink->maxBodyBytes) {
        sink->overLimit = true;
        return 0;
    }
    if (!writeAll(sink->fd, data, blockBytes)) {
        sink->writeFailed = true;
        return 0;
    }
    const auto* block = static_cast<const unsigned char*>(data);
    sink->body->insert(sink->body->end(), block, block + blockBytes);
    return blockBytes;
}

PendingDownload::PendingDownload(std::string destination) : destination(std::move(destination)) {}

PendingDownload::~PendingDownload() {
    if (written) fileCalls().unlink(temporary.c_str());
}

DownloadOutcome PendingDownload::fetch(const std::string& url, const DownloadLimits& limits) {
    EasyLog::GetInstance()->WriteLog(EasyLog::LOG_INFO, "download_jpeg => url=%s, savepath=%s", logText(url).c_str(),
                                     logText(destination).c_str());
    reason.clear();
    temporary = temporaryNameBeside(destination);
    const int fd = fileCalls().open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0) {
        reason = "cannot create the file";
        logLine(" !!! Failed to create file on the disk\n");
        return DownloadOutcome::NotWritten;
    }
    written = true;
    DownloadSink sink{fd, &received, limits.maxBodyBytes, false, false};
    CURL* curl = curl_easy_init();
    CURLcode outcome = CURLE_FAILED_INIT;
    if (curl != nullptr) {
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, callbackfunction);
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(curl, CURLOPT_MAXREDIRS, limits.maxRedirects);
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, limits.connectTimeoutSeconds);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, limits.totalSeconds);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, limits.stallSeconds);
        curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBodyBytes));
        // A process-wide signal handler is not ours to install; without this, the resolver's
        // timeout would raise SIGALRM in the host.
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        if (limits.cancel != nullptr) {
            curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, cancelWhenAsked);
            curl_easy_setopt(curl, CURLOPT_XFERINFODATA, limits.cancel);
            curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        }
        outcome = curl_easy_perform(curl);
    }
    if (outcome != CURLE_OK) {
        logWithUrl("!!! Failed to download: %s\n", url);
        reason = transferFailureReason(outcome, sink);
        logReason(reason);
        if (curl != nullptr) curl_easy_cleanup(curl);
        fileCalls().close(fd);
        return sink.writeFailed ? DownloadOutcome::NotWritten : DownloadOutcome::Failed;
    }
    long responseCode = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &responseCode);
    curl_easy_cleanup(curl);
    if (static_cast<unsigned long>(responseCode - 200) > 1) {
        EasyLog::GetInstance()->WriteLog(EasyLog::LOG_INFO, "!!! Response code: %d\n", static_cast<int>(responseCode));
        reason = responseCode == 0 ? "the server sent no HTTP status"
                                   : "the server answered HTTP " + std::to_string(responseCode);
        fileCalls().close(fd);
        return DownloadOutcome::Failed;
    }
    // The body must be on the disk before the destination can be replaced with it.
    const bool synced = fileCalls().fsync(fd) == 0;
    if (fileCalls().close(fd) != 0 || !synced) {
        logWithUrl("!!! Failed to download: %s\n", url);
        reason = "cannot write the file";
        logReason(reason);
        return DownloadOutcome::NotWritten;
    }
    logLine("!!! return true");
    complete = true;
    return DownloadOutcome::Complete;
}

bool PendingDownload::commit() {
    if (!complete || fileCalls().rename(temporary.c_str(), destination.c_str()) != 0) return false;
    written = false;
    return syncFolderOf(destination);
}

bool download_jpeg(std::string url, std::string savepath) {
    return download_jpeg(url, savepath, DownloadLimits());
}

bool download_jpeg(const std::string& url, const std::string& savepath, const DownloadLimits& limits) {
    PendingDownload download(savepath);
    if (download.fetch(url, limits) != DownloadOutcome::Complete) return false;
    if (download.commit()) return true;
    logLine(" !!! Failed to create file on the disk\n");
    return false;
}
