// The feature file: one text record per stored picture, appended and never rewritten.
// A record is the key, "|", then each value in %g form with 6 digits followed by "|", then "\n".
#ifndef LIKENESS_MODULE_FEATUREDB_H
#define LIKENESS_MODULE_FEATUREDB_H

#include <cstddef>
#include <string>
#include <vector>

// Appends one record per vector (the i-th vector under the i-th key) to "feat.txt" and logs
// "save2featDBBatch !! ". Failures are not reported; use the overload that takes a path for that.
void save2featDBBatch(std::vector<std::vector<float>> batchfeats, std::vector<std::string> filenames);
// Appends one record to "feat.txt"; logs nothing.
void save2featDB(std::vector<float> feat, std::string key);

// The same, for the file at dbPath. If the file does not end in a line feed (a record torn by a
// crash), one is written first so the torn line cannot swallow the new record. Returns the number
// of records that were written and flushed in order; the rest, if any, did not reach the file.
std::size_t save2featDBBatch(const std::string& dbPath, const std::vector<std::vector<float>>& batchfeats,
                             const std::vector<std::string>& filenames);
// Returns true when the record was written, flushed and the file closed without error.
bool save2featDB(const std::string& dbPath, const std::vector<float>& feat, const std::string& key);

// The record text of one key and vector, line feed included.
std::string featureRecord(const std::string& key, const std::vector<float>& feat);

#endif
