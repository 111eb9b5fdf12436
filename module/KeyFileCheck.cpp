// A key's folder is resolved once for all its keys, and a folder holding many keys is listed once
// instead of asking for each of them: a listed regular file is a plain file whose resolved path
// is the folder's plus its name. Anything the listing does not vouch for is asked of lstat.
#include "module/KeyFileCheck.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace {

// Keys looked up one by one in a folder (one of them found) before the folder is listed: few
// keys in a large folder cost less asked singly.
constexpr int kLookupsBeforeListing = 32;

// A set of names filled once: one buffer of names and an open-addressed index into it, since a
// node per name costs more to build than all the lookups cost.
class NameSet {
public:
    void add(const char* name) {
        starts.push_back(static_cast<std::uint32_t>(names.size()));
        names.append(name);
    }

    void index() {
        starts.push_back(static_cast<std::uint32_t>(names.size()));  // where a next name would start
        std::size_t size = 16;
        while (size < 2 * starts.size()) size *= 2;
        slots.assign(size, kEmpty);
        for (std::uint32_t i = 0; i + 1 < starts.size(); ++i) {
            std::size_t slot = slotOf(nameAt(i));
            while (slots[slot] != kEmpty) slot = (slot + 1) & (slots.size() - 1);
            slots[slot] = i;
        }
    }

    bool contains(std::string_view name) const {
        if (slots.empty()) return false;
        for (std::size_t slot = slotOf(name); slots[slot] != kEmpty; slot = (slot + 1) & (slots.size() - 1)) {
            if (nameAt(slots[slot]) == name) return true;
        }
        return false;
    }

private:
    static constexpr std::uint32_t kEmpty = UINT32_MAX;

    std::string_view nameAt(std::uint32_t i) const {
        return std::string_view(names.data() + starts[i], starts[i + 1] - starts[i]);
    }
    std::size_t slotOf(std::string_view name) const { return std::hash<std::string_view>()(name) & (slots.size() - 1); }

    std::string names;
    std::vector<std::uint32_t> starts;
    std::vector<std::uint32_t> slots;
};

}  // namespace

struct KeyFileCheck::Folder {
    bool resolvedKnown = false;
    std::filesystem::path resolved;
    int lookups = 0;
    bool searchable = false;  // a file in it was found, so lstat can reach what it holds
    bool listed = false;
    NameSet regularFiles;
};

KeyFileCheck::KeyFileCheck(const KeyRules& rules) : rules(rules) {}

KeyFileCheck::~KeyFileCheck() = default;

KeyFileCheck::Folder& KeyFileCheck::folderNamed(const std::string& path) {
    std::unique_ptr<Folder>& folder = folders[path];
    if (!folder) folder = std::make_unique<Folder>();
    return *folder;
}

KeyFileCheck::Kind KeyFileCheck::kindOf(Folder& folder, const std::string& folderPath, const std::string& key,
                                        const std::string& name) {
    if (folder.listed && folder.regularFiles.contains(name)) return Kind::PlainFile;
    struct stat status;
    ++folder.lookups;
    if (lstat(key.c_str(), &status) != 0) return Kind::Other;
    if (S_ISLNK(status.st_mode)) return Kind::SymbolicLink;
    if (!S_ISREG(status.st_mode)) return Kind::Other;
    folder.searchable = true;
    if (!folder.listed && folder.lookups >= kLookupsBeforeListing) {
        folder.listed = true;
        if (DIR* listing = opendir(folderPath.c_str())) {
            while (const dirent* entry = readdir(listing)) {
                if (entry->d_type == DT_REG) folder.regularFiles.add(entry->d_name);
            }
            closedir(listing);
            folder.regularFiles.index();
        }
    }
    return Kind::PlainFile;
}

bool KeyFileCheck::accepts(const std::string& key) {
    if (key.find('\0') != std::string::npos) return false;
    const std::string::size_type slash = key.rfind('/');
    const std::string folderPath =
        slash == std::string::npos ? std::string(".") : key.substr(0, slash == 0 ? 1 : slash);
    const std::string name = slash == std::string::npos ? key : key.substr(slash + 1);
    Folder& folder = folderNamed(folderPath);
    switch (kindOf(folder, folderPath, key, name)) {
    case Kind::PlainFile:
        if (!folder.resolvedKnown) {
            folder.resolved = KeyRules::normalisedPath(folderPath);
            folder.resolvedKnown = true;
        }
        return rules.reasonInFolder(key, folder.resolved, name).empty();
    case Kind::SymbolicLink: {
        struct stat target;
        return stat(key.c_str(), &target) == 0 && S_ISREG(target.st_mode) && rules.reason(key).empty();
    }
    case Kind::Other: break;
    }
    return false;
}
