// The key rule: the name under which a picture is stored, and the keys the library refuses before
// anything is written at them. A key is also a file path, so it must not name a file the module needs.
#ifndef LIKENESS_MODULE_KEYSAFETY_H
#define LIKENESS_MODULE_KEYSAFETY_H

#include <string>

#include "module/Export.h"

// saveDir followed by the part of source after its last "/" (all of it when it has none); no
// separator is inserted, so saveDir normally ends in "/". A URL's query string stays in the key.
LIKENESS_API std::string makeKey(const std::string& source, const std::string& saveDir);

// The reason a key cannot be stored, or an empty string when it can. A key is refused when the
// feature file could not load it back ("|", line feed, carriage return, a leading space), when it
// holds any other control character (NUL included), when it names a folder (it is empty, ends in
// "/" or names an existing one), or when it names the module's feature file dbPath or its removal
// list, the query file "tmp.jpg", the log file logPath or one of the model files.
LIKENESS_API std::string unsafeKeyReason(const std::string& key, const std::string& dbPath, const std::string& logPath);

#endif
