// Finding the stored picture whose file holds exactly the bytes of another file, so the same file
// under another name is not stored twice. Cheap enough to ask for every file added: the sizes of
// the stored files are read once (one stat each, on first use) and bytes are compared only
// between files of equal size.
#ifndef LIKENESS_HOST_STOREDFILES_H
#define LIKENESS_HOST_STOREDFILES_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "module/ImplIModule.h"

namespace likeness_cli {

class StoredFiles {
public:
    // features is the collection as loaded; its keys are the stored files' paths.
    explicit StoredFiles(const FeatureMap& features) : features(features) {}

    // The key of a stored picture whose file has the same bytes as file, trying preferredKey
    // first; empty when there is none.
    std::string identicalTo(const std::string& file, const std::string& preferredKey);

    // Records that key was stored in this run from source. The source is what gets compared:
    // its bytes are the ones a later file must equal, whatever the stored copy became.
    void remember(const std::string& key, const std::string& source);

private:
    void index();

    const FeatureMap& features;
    bool indexed = false;
    // size -> (key, file whose bytes stand for the key)
    std::multimap<std::uintmax_t, std::pair<std::string, std::string>> bySize;
};

// True when both files can be read and hold the same bytes.
bool sameBytes(const std::string& a, const std::string& b);

}  // namespace likeness_cli

#endif
