// The feature file's writers: one text record per stored picture, appended (only a compaction,
// module/FeatureFileRewrite.h, rewrites the file).
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

// The same, for the file at dbPath (created when missing), and returns the number of records
// that are whole in the file and synced to the disk, in order: the first that failed and every
// one after it are not in the file, or are in a form the loader refuses. Records that could not
// be synced are taken out again. One fsync per call, and one of the folder when the file was empty
// before (new). If the file does not end in a line feed (a record torn by a crash), one is
// written first so the torn line cannot swallow the new record.
std::size_t save2featDBBatch(const std::string& dbPath, const std::vector<std::vector<float>>& batchfeats,
                             const std::vector<std::string>& filenames);
// Returns true when the record is whole in the file and synced.
bool save2featDB(const std::string& dbPath, const std::vector<float>& feat, const std::string& key);

// The record text of one key and vector, line feed included.
std::string featureRecord(const std::string& key, const std::vector<float>& feat);
// Appends that text to text.
void appendFeatureRecord(std::string& text, const std::string& key, const std::vector<float>& feat);

#endif
