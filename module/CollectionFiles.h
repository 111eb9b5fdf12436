// The fixed names of the files a collection uses besides its stored pictures, relative to the
// working directory. The log file's name comes from log/EasyLog.h.
#ifndef LIKENESS_MODULE_COLLECTIONFILES_H
#define LIKENESS_MODULE_COLLECTIONFILES_H

namespace likeness {

// The feature file a module loads and appends to when InitialModule is given an empty path, and
// the one the two-argument writers append to.
inline constexpr const char* kDefaultFeatureFile = "feat.txt";
// Where a search by URL downloads its query picture; overwritten by every such search.
inline constexpr const char* kQueryFile = "tmp.jpg";

}  // namespace likeness

#endif
