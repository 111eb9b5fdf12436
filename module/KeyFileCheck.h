// Which keys of a feature file can be loaded: those naming an existing regular file that the key
// rules allow. Made for the many keys of one load, which would otherwise cost a file-system
// round trip per key and a path resolution per key and protected file.
#ifndef LIKENESS_MODULE_KEYFILECHECK_H
#define LIKENESS_MODULE_KEYFILECHECK_H

#include <memory>
#include <string>
#include <unordered_map>

#include "module/KeyRules.h"

// Answers for the file system as it is while the object lives; ask once per key.
class KeyFileCheck {
public:
    explicit KeyFileCheck(const KeyRules& rules);
    ~KeyFileCheck();
    KeyFileCheck(const KeyFileCheck&) = delete;
    KeyFileCheck& operator=(const KeyFileCheck&) = delete;

    // True when key names an existing regular file (directly or through symbolic links) and the
    // rules allow it. A key holding a NUL byte names no file.
    bool accepts(const std::string& key);

private:
    struct Folder;
    enum class Kind { PlainFile, SymbolicLink, Other };

    Folder& folderNamed(const std::string& path);
    Kind kindOf(Folder& folder, const std::string& folderPath, const std::string& key, const std::string& name);

    const KeyRules& rules;
    std::unordered_map<std::string, std::unique_ptr<Folder>> folders;
};

#endif
