// The refusal of keys that would corrupt the collection. Paths are compared after making them
// absolute and resolving what exists of them.
#include "module/KeyRules.h"

#include <system_error>

#include "module/CollectionFiles.h"
#include "module/FeatureContract.h"
#include "module/RemovalList.h"

namespace fs = std::filesystem;

namespace {

// The rules that look only at the key's bytes.
std::string textReason(const std::string& key) {
    if (key.find('|') != std::string::npos) return "it contains \"|\"";
    if (key.find('\n') != std::string::npos) return "it contains a line feed";
    if (key.find('\r') != std::string::npos) return "it contains a carriage return";
    // A NUL would cut the path the system sees short of the key: another picture's file.
    for (const char c : key) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return "it contains a control character";
    }
    if (!key.empty() && key.front() == ' ') return "it begins with a space";
    return "";
}

}  // namespace

KeyRules::KeyRules(const std::string& dbPath, const std::string& logPath) {
    protect(dbPath, "it names the feature file");
    if (!dbPath.empty()) protect(removalListPath(dbPath), "it names the feature file's removal list");
    protect(likeness::kQueryFile, "it names the query file tmp.jpg");
    protect(logPath, "it names the log file");
    protect(likeness::kModelNetPath, "it names a model file");
    protect(likeness::kModelWeightsPath, "it names a model file");
}

void KeyRules::protect(const std::string& path, const char* reason) {
    if (path.empty()) return;
    const fs::path normalised = normalisedPath(path);
    protectedFiles.push_back({normalised, normalised.parent_path(), normalised.filename().string(), reason});
}

fs::path KeyRules::normalisedPath(const std::string& path) {
    std::error_code error;
    fs::path absolute = fs::absolute(path, error);
    if (error) return fs::path(path).lexically_normal();
    fs::path resolved = fs::weakly_canonical(absolute, error);
    return error ? absolute.lexically_normal() : resolved;
}

std::string KeyRules::reason(const std::string& key) const {
    const std::string byText = textReason(key);
    if (!byText.empty()) return byText;
    std::error_code error;
    if (key.empty() || key.back() == '/' || fs::is_directory(key, error)) return "it names a folder";
    const fs::path resolved = normalisedPath(key);
    for (const ProtectedFile& file : protectedFiles) {
        if (file.path == resolved) return file.reason;
    }
    return "";
}

// A plain file is no folder, and a normalised folder ends in no separator (but "/"), so folder /
// name equals a protected path exactly when the name and the folder equal its own; the names,
// compared first, rarely do.
std::string KeyRules::reasonInFolder(const std::string& key, const fs::path& resolvedFolder,
                                     const std::string& name) const {
    const std::string byText = textReason(key);
    if (!byText.empty()) return byText;
    for (const ProtectedFile& file : protectedFiles) {
        if (file.name == name && file.folder == resolvedFolder) return file.reason;
    }
    return "";
}
