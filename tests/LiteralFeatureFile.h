// The feature file read and written the plain way, as references for the fast loader and
// writer: a stream per line and per record, one string per field, strtod for every value.
#ifndef LIKENESS_TESTS_LITERALFEATUREFILE_H
#define LIKENESS_TESTS_LITERALFEATUREFILE_H

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "module/FeatureFileRewrite.h"

using LiteralCollection = std::map<std::string, std::vector<float>>;

// Whether a key's record may load: by default, the key names an existing regular file and
// unsafeKeyReason allows it for the feature file dbPath and the log file logPath.
using KeyTest = std::function<bool(const std::string& key)>;
KeyTest literalKeyTest(const std::string& dbPath, const std::string& logPath);

// The records of the file at path under the loader's rules, checked line by line and field by
// field in the most direct way. opened tells whether the file could be read.
LiteralCollection literalLoad(const std::string& path, int featDim, const KeyTest& keyLoads, bool* opened = nullptr);

// The key of line when it is a record of featDim values (its key's file aside), else false.
bool literalRecordKey(std::string line, int featDim, std::string& key);

// The file at path as compactFeatureFile should write it: the last record of each key whose key
// passes keyLoads, in file order; counts and the keys dropped for keyLoads as it should report them.
std::string literalCompaction(const std::string& path, int featDim, const KeyTest& keyLoads, RewriteCounts& counts,
                              std::vector<std::string>& goneKeys);

// One value field read by strtod: false when it is not a number through to its end, or when a
// finite text overflows the float range.
bool literalValue(const std::string& field, float& value);

// The record text through an output stream, as the writers first produced it.
std::string literalRecord(const std::string& key, const std::vector<float>& feat);

#endif
