// Reading back the library's log lines "[date] [time] [level    ] message".
#include "LibraryLog.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <utility>

namespace likeness_cli {
namespace {

bool beginsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The message of a log line: what follows its third "] ".
std::string messageOf(const std::string& line) {
    std::size_t at = 0;
    for (int column = 0; column < 3; ++column) {
        at = line.find("] ", at);
        if (at == std::string::npos) return line;
        at += 2;
    }
    return line.substr(at);
}

}  // namespace

LogWatch::LogWatch(std::string logFile) : logFile(std::move(logFile)) {
    std::error_code error;
    start = std::filesystem::file_size(this->logFile, error);
    if (error) start = 0;
}

std::vector<std::string> LogWatch::messages() const {
    std::ifstream in(logFile, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(start));
    std::vector<std::string> found;
    // Messages that end in a line feed of their own leave an empty line after them.
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) found.push_back(messageOf(line));
    return found;
}

std::string failureReason(const std::vector<std::string>& messages) {
    const std::string reasonPrefix = "!!! Download error: ";
    const std::string codePrefix = "!!! Response code: ";
    const std::string unsafePrefix = "not stored, unsafe key: ";
    const std::string rewritePrefix = "cannot rewrite the feature file ";
    for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
        const std::string& message = *it;
        if (beginsWith(message, reasonPrefix)) return message.substr(reasonPrefix.size());
        if (beginsWith(message, codePrefix)) {
            const std::string code = message.substr(codePrefix.size());
            return code == "0" ? "the server sent no HTTP status" : "the server answered HTTP " + code;
        }
        if (beginsWith(message, " !!! Failed to create file on the disk")) return "cannot create the file";
        if (beginsWith(message, unsafePrefix)) {
            const std::size_t keyAt = message.rfind(", key=");
            const std::size_t length = keyAt == std::string::npos ? std::string::npos : keyAt - unsafePrefix.size();
            return "the key is refused: " + message.substr(unsafePrefix.size(), length);
        }
        if (beginsWith(message, "not stored, cannot write the copy")) return "cannot write the stored copy";
        if (beginsWith(message, "not stored, cannot append")) return "cannot append its record to the feature file";
        if (beginsWith(message, rewritePrefix)) return message.substr(rewritePrefix.size());
    }
    return "";
}

std::vector<std::vector<std::string>> messagesPerUrl(const std::vector<std::string>& messages, std::size_t urlCount) {
    const std::string urlPrefix = "search url: i=";
    std::vector<std::vector<std::string>> perUrl(urlCount);
    std::vector<std::string>* current = nullptr;
    for (const std::string& message : messages) {
        // What the batch logs after its loop (the append) belongs to no URL.
        if (beginsWith(message, "  save2featDBBatch(")) current = nullptr;
        if (beginsWith(message, urlPrefix)) {
            std::size_t index = 0;
            std::size_t at = urlPrefix.size();
            for (; at < message.size() && std::isdigit(static_cast<unsigned char>(message[at])); ++at)
                index = index * 10 + static_cast<std::size_t>(message[at] - '0');
            current = at > urlPrefix.size() && index < urlCount ? &perUrl[index] : nullptr;
        }
        if (current != nullptr) current->push_back(message);
    }
    return perUrl;
}

bool anyBeginsWith(const std::vector<std::string>& messages, const std::string& prefix) {
    for (const std::string& message : messages)
        if (beginsWith(message, prefix)) return true;
    return false;
}

}  // namespace likeness_cli
