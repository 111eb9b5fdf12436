// The one place where the library talks to the network.
// Every path after the file is opened releases the curl handle before closing the file.
#include "module/Download.h"

#include <curl/curl.h>

#include <cstdio>

#include "log/EasyLog.h"

namespace {

// What the write callback needs to enforce the body limit while writing.
struct DownloadTarget {
    FILE* file;
    long long received;
    long long maxBodyBytes;
};

size_t writeBounded(void* data, size_t size, size_t nmemb, void* userdata) {
    auto* target = static_cast<DownloadTarget*>(userdata);
    const long long blockBytes = static_cast<long long>(size * nmemb);
    if (target->received + blockBytes > target->maxBodyBytes) return 0;
    target->received += blockBytes;
    return callbackfunction(data, size, nmemb, target->file);
}

void logWithText(const char* fmt, const char* text) {
    EasyLog::GetInstance()->WriteLog(EasyLog::LOG_INFO, fmt, text);
}

}  // namespace

size_t callbackfunction(void* data, size_t size, size_t nmemb, void* stream) {
    if (stream == nullptr) {
        puts("!!! No stream");
        return 0;
    }
    return fwrite(data, size, nmemb, static_cast<FILE*>(stream));
}

bool download_jpeg(std::string url, std::string savepath) {
    return download_jpeg(url, savepath, DownloadLimits());
}

bool download_jpeg(const std::string& url, const std::string& savepath, const DownloadLimits& limits) {
    EasyLog::GetInstance()->WriteLog(EasyLog::LOG_INFO, "download_jpeg => url=%s, savepath=%s",
                                     url.c_str(), savepath.c_str());
    FILE* file = fopen(savepath.c_str(), "wb");
    if (file == nullptr) {
        EasyLog::GetInstance()->WriteLog(EasyLog::LOG_INFO, " !!! Failed to create file on the disk\n");
        return false;
    }
    DownloadTarget target{file, 0, limits.maxBodyBytes};
    CURL* curl = curl_easy_init();
    CURLcode outcome = CURLE_FAILED_INIT;
    if (curl != nullptr) {
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &target);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeBounded);
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, limits.connectTimeoutSeconds);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, limits.stallSeconds);
        curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBodyBytes));
        // A process-wide signal handler is not ours to install; without this, the resolver's
        // timeout would raise SIGALRM in the host.
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        outcome = curl_easy_perform(curl);
    }
    if (outcome != CURLE_OK) {
        logWithText("!!! Failed to download: %s\n", url.c_str());
        if (curl != nullptr) curl_easy_cleanup(curl);
        fclose(file);
        return false;
    }
    long responseCode = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &responseCode);
    curl_easy_cleanup(curl);
    // A close that fails (a full disk on the last buffered block) means the file is incomplete.
    const bool closed = fclose(file) == 0;
    if (static_cast<unsigned long>(responseCode - 200) <= 1) {
        if (!closed) {
            logWithText("!!! Failed to download: %s\n", url.c_str());
            return false;
        }
        EasyLog::GetInstance()->WriteLog(EasyLog::LOG_INFO, "!!! return true");
        return true;
    }
    EasyLog::GetInstance()->WriteLog(EasyLog::LOG_INFO, "!!! Response code: %d\n",
                                     static_cast<int>(responseCode));
    return false;
}
