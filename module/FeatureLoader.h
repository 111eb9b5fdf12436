// The loader of the feature file: which lines are records, and the collection they make.
// Reads in large blocks through the file seam (module/FileIo.h), holding at most one block.
#ifndef LIKENESS_MODULE_FEATURELOADER_H
#define LIKENESS_MODULE_FEATURELOADER_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "module/KeyRules.h"

// The longest line (line feed excluded) that can be a record: 64 KiB of values, which a record
// of %g values never nears, plus the longest path a key can be. Longer lines are skipped
// without being held in memory.
inline constexpr std::size_t kMaxRecordLineBytes = 64 * 1024 + 4096;

// Receives the lines of a feature file in file order from readFeatureLines.
class FeatureLineSink {
public:
    virtual ~FeatureLineSink() = default;
    // A line of at most kMaxRecordLineBytes, its line feed (if it has one) excluded, which begins
    // offset bytes into the file. At least kPlainDecimalReach bytes after end are readable, as
    // readFeatureRecord needs.
    virtual void line(const char* begin, const char* end, std::uint64_t offset) = 0;
    // The next bytes of a line longer than kMaxRecordLineBytes, its line feed included when the
    // file has one; first marks the first piece of each such line.
    virtual void longLinePiece(const char* begin, const char* end, bool first) = 0;
};

// Hands every line of the open file fd to sink, reading 4 MiB blocks through the file seam and
// holding no more. False after a read error, which ends the file there without its unfinished line.
bool readFeatureLines(int fd, FeatureLineSink& sink);

// The key and values of the record on the line [begin, end) as readFeatureLines hands it over, or
// false when the line is not a record of values.size() values (the rules of loadFeatureFile below,
// the key's file aside).
bool readFeatureRecord(const char* begin, const char* end, std::string_view& key, std::vector<float>& values);

// Replaces the contents of collection with the records of the file at path and logs "succeed in
// load features !! ". A line is a record when, after trimming spaces from both ends, it ends with
// "|" and splits at runs of "|" into a key and exactly featDim values, each of which
// readValueText (module/FeatureText.h) reads whole; and its key names an existing regular file
// that rules allow, and the file's removal list (module/RemovalList.h) does not remove it. The last
// record of a key wins. Returns false, leaving collection as it was
// and logging nothing, when the file cannot be opened.
bool loadFeatureFile(const std::string& path, int featDim, const KeyRules& rules,
                     std::map<std::string, std::vector<float>>& collection);

#endif
