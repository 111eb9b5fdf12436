// Fetching one http(s) URL with libcurl into a file, which is replaced only with a complete body.
// The content is not examined; the caller decodes it. Exported, so that a host can fetch outside
// its own locks with the limits the library applies.
#ifndef LIKENESS_MODULE_DOWNLOAD_H
#define LIKENESS_MODULE_DOWNLOAD_H

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "module/Export.h"

// Bounds that keep a download from hanging or filling the disk.
struct DownloadLimits {
    long connectTimeoutSeconds = 30;
    long stallSeconds = 30;                // fail when nothing arrives for this long
    long totalSeconds = 300;               // fail when the whole transfer takes longer
    long maxRedirects = 10;                // fail on the redirect after this many
    long long maxBodyBytes = 256LL << 20;  // fail when the body grows past this
    // When set, the transfer fails ("cancelled") soon after *cancel becomes true.
    const std::atomic<bool>* cancel = nullptr;
};

enum class DownloadOutcome {
    Complete,    // answered 200 or 201; the whole body is written, synced and in memory
    Failed,      // the transfer failed, or the server answered another code
    NotWritten,  // the body could not be written beside the destination
};

// One body on its way to a destination file. It is written to a new file beside the destination
// as it arrives and kept in memory; the destination is replaced only by commit(), so a download
// that fails, or that the caller rejects, never touches it. An uncommitted file is removed when
// the object goes.
class LIKENESS_API PendingDownload {
public:
    explicit PendingDownload(std::string destination);
    ~PendingDownload();
    PendingDownload(const PendingDownload&) = delete;
    PendingDownload& operator=(const PendingDownload&) = delete;

    // Fetches url (http and https only, also across redirects). Logs the entry line
    // "download_jpeg => url=..., savepath=<destination>" and one line for the outcome; a failed
    // transfer adds "!!! Download error: REASON" (timed out, too large, cannot connect...).
    DownloadOutcome fetch(const std::string& url, const DownloadLimits& limits = DownloadLimits());
    // The body of a complete fetch.
    const std::vector<unsigned char>& body() const { return received; }
    // Why the last fetch failed, in words a host can show its user ("timed out", "the server
    // answered HTTP 404"...), as its log line says; empty after a complete one.
    const std::string& failure() const { return reason; }
    // Renames the body of a complete fetch over the destination and syncs the destination's
    // folder. False, with the destination as it was, when there is none or the rename fails.
    bool commit();

private:
    std::string destination;
    std::string temporary;
    std::vector<unsigned char> received;
    std::string reason;
    bool written = false;   // the file beside the destination exists
    bool complete = false;  // and holds the whole body
};

// Fetches url and, when the transfer completes with response code 200 or 201, replaces savepath
// with the body. Returns true then; on false, savepath is as it was.
bool download_jpeg(std::string url, std::string savepath);
bool download_jpeg(const std::string& url, const std::string& savepath, const DownloadLimits& limits);

// libcurl write callback of the transfers above: stream is the transfer's sink.
size_t callbackfunction(void* data, size_t size, size_t nmemb, void* stream);

#endif
