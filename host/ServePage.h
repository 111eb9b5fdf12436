// The page `likeness serve` shows at "/": choose or drop a picture, see the nearest stored
// pictures with their distances, and add it to the collection. Self-contained: no script, style
// or font comes from anywhere but the page itself and the service's own endpoints.
#ifndef LIKENESS_HOST_SERVEPAGE_H
#define LIKENESS_HOST_SERVEPAGE_H

namespace likeness_cli {

extern const char* const kServePage;

}  // namespace likeness_cli

#endif
