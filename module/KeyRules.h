// The key rules of unsafeKeyReason, prepared once for checking many keys: the module's own files
// are resolved when the object is made, and a caller that knows where a key leads can say so.
#ifndef LIKENESS_MODULE_KEYRULES_H
#define LIKENESS_MODULE_KEYRULES_H

#include <filesystem>
#include <string>
#include <vector>

class KeyRules {
public:
    // The rules for a module whose feature file is dbPath and whose log file is logPath.
    KeyRules(const std::string& dbPath, const std::string& logPath);

    // The reason key cannot be stored, or an empty string when it can (unsafeKeyReason's answer).
    std::string reason(const std::string& key) const;
    // The same, for a key known to name the file `name` (not a symbolic link) in the folder whose
    // normalisedPath is resolvedFolder: the key resolves to resolvedFolder / name.
    std::string reasonInFolder(const std::string& key, const std::filesystem::path& resolvedFolder,
                               const std::string& name) const;

    // path made absolute with what exists of it resolved (symbolic links, "." and ".."): the
    // form in which keys and the module's files are compared.
    static std::filesystem::path normalisedPath(const std::string& path);

private:
    struct ProtectedFile {
        std::filesystem::path path;  // normalised
        std::filesystem::path folder;
        std::string name;
        const char* reason;
    };

    void protect(const std::string& path, const char* reason);

    std::vector<ProtectedFile> protectedFiles;
};

#endif
