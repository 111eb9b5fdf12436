// When a stored picture is taken for the same picture as a query, or as another stored picture:
// the one place that decides it, for search results, near-duplicate groups and every message
// that states the rule.
#ifndef LIKENESS_MODULE_SAMEPICTURE_H
#define LIKENESS_MODULE_SAMEPICTURE_H

#include <string>
#include <vector>

#include "module/Export.h"
#include "module/NearPairs.h"

namespace likeness {

// A stored picture a search found.
struct Match {
    std::string key;
    // offsetDistance (module/Distance.h) from the stored vector to the query's: the value the
    // ranking compared, bit for bit. 100 is the least possible.
    float distance = 0.0f;
    // Taken for the same picture as the query (markSamePictures).
    bool samePicture = false;
};

// Sets samePicture on the matches of one search, sorted nearest first, that are the same picture
// as its query, and clears it on the others: every match for which samePicture(distance) holds,
// and the nearest one also when it is close and the next match is clearly farther (the rule needs
// at least two matches for that; a search marks its results judging the nearest against the next
// stored picture even when it returns only one). The rule holds for the default model only.
LIKENESS_API void markSamePictures(std::vector<Match>& matches);

// Whether two stored pictures this far apart are the same picture, judged on the pair alone: what
// finding near-duplicates groups by default.
LIKENESS_API bool samePicture(float distance);

// The distance below which samePicture holds, for messages and pages that state the rule and as
// the default threshold of near-duplicates.
LIKENESS_API float samePictureBelow();

// The pairs of stored pictures that are the same picture: each pair closer than
// samePictureBelow(), and each picture with its nearest other picture when markSamePictures would
// mark that one in a search with the picture, beside the next nearest. pairs must hold every pair
// of the collection closer than samePicturePairsBelow() (Collection::nearPairs gives them), so
// that a picture's next nearest is known or known to lie farther. Kept in the order of pairs.
LIKENESS_API std::vector<NearPair> samePicturePairs(const std::vector<NearPair>& pairs);

// The distance below which samePicturePairs needs every pair.
LIKENESS_API float samePicturePairsBelow();

// The rule of markSamePictures in words, for messages and pages: "closer than 100.3, or ...".
LIKENESS_API std::string samePictureRuleText();

}  // namespace likeness

#endif
