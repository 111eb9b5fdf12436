// The rules that keep a key from damaging the collection before anything is written at it.
// A key is also a file path, so it must not name a file the module itself depends on.
#ifndef LIKENESS_MODULE_KEYSAFETY_H
#define LIKENESS_MODULE_KEYSAFETY_H

#include <string>

// The file, in the working directory, that a search by URL downloads its query picture into.
extern const char* const kQueryFile;

// saveDir followed by the part of source after its last "/" (all of it when it has none).
std::string makeKey(const std::string& source, const std::string& saveDir);

// The reason a key cannot be stored, or an empty string when it can. A key is refused when the
// feature file could not load it back ("|", line feed, carriage return, a leading space), or when
// it names the module's feature file, the query file "tmp.jpg" or the log file.
std::string unsafeKeyReason(const std::string& key, const std::string& dbPath, const std::string& logPath);

// True when both paths name the same existing file.
bool sameExistingFile(const std::string& a, const std::string& b);

#endif
