// Key construction and the refusal of keys that would corrupt the collection.
// Paths are compared after making them absolute and resolving what exists of them.
#include "module/KeySafety.h"

#include <filesystem>
#include <system_error>

#include "module/CollectionFiles.h"
#include "module/FeatureContract.h"

namespace fs = std::filesystem;

namespace {

fs::path normalised(const std::string& path) {
    std::error_code error;
    fs::path absolute = fs::absolute(path, error);
    if (error) return fs::path(path).lexically_normal();
    fs::path resolved = fs::weakly_canonical(absolute, error);
    return error ? absolute.lexically_normal() : resolved;
}

bool samePath(const std::string& a, const std::string& b) {
    return !a.empty() && !b.empty() && normalised(a) == normalised(b);
}

}  // namespace

std::string makeKey(const std::string& source, const std::string& saveDir) {
    const std::string::size_type slash = source.rfind('/');
    return saveDir + (slash == std::string::npos ? source : source.substr(slash + 1));
}

std::string unsafeKeyReason(const std::string& key, const std::string& dbPath, const std::string& logPath) {
    if (key.find('|') != std::string::npos) return "it contains \"|\"";
    if (key.find('\n') != std::string::npos) return "it contains a line feed";
    if (key.find('\r') != std::string::npos) return "it contains a carriage return";
    // A NUL would cut the path the system sees short of the key: another picture's file.
    for (const char c : key) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return "it contains a control character";
    }
    if (!key.empty() && key.front() == ' ') return "it begins with a space";
    std::error_code error;
    if (key.empty() || key.back() == '/' || fs::is_directory(key, error)) return "it names a folder";
    if (samePath(key, dbPath)) return "it names the feature file";
    if (samePath(key, likeness::kQueryFile)) return "it names the query file tmp.jpg";
    if (samePath(key, logPath)) return "it names the log file";
    if (samePath(key, likeness::kModelNetPath) || samePath(key, likeness::kModelWeightsPath)) {
        return "it names a model file";
    }
    return "";
}
