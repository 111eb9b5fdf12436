// download_jpeg: fetches one http(s) URL into a local file with libcurl.
// The content is not examined; the caller decodes the file.
#ifndef LIKENESS_MODULE_DOWNLOAD_H
#define LIKENESS_MODULE_DOWNLOAD_H

#include <cstddef>
#include <string>

// Bounds that keep a download from hanging or filling the disk.
struct DownloadLimits {
    long connectTimeoutSeconds = 30;
    long stallSeconds = 30;                 // fail when nothing arrives for this long
    long long maxBodyBytes = 256LL << 20;   // fail when the body grows past this
};

// Writes the body of url to savepath (created or truncated) and returns true when the transfer
// completed with response code 200 or 201. Only http and https are accepted, also across
// redirects. A failed download leaves what was received in savepath.
bool download_jpeg(std::string url, std::string savepath);
bool download_jpeg(const std::string& url, const std::string& savepath, const DownloadLimits& limits);

// libcurl write callback: stream is the target FILE*.
size_t callbackfunction(void* data, size_t size, size_t nmemb, void* stream);

#endif
