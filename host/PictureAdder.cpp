// One add through the library, with the checks before it and the reading of its result.
#include "PictureAdder.h"

#include <algorithm>
#include <cmath>

#include "module/Distance.h"
#include "module/KeySafety.h"

namespace likeness_cli {
namespace {

// True when the vectors agree to the six significant digits the feature file keeps: what one
// picture gives, before and after a restart.
bool sameVector(const std::vector<float>& a, const std::vector<float>& b) {
    if (a.size() != b.size()) return false;
    // %g rounds to six significant digits: a relative change of at most 5e-6.
    constexpr float kRounding = 1e-5f;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (!(std::fabs(a[i] - b[i]) <= kRounding * std::max(std::fabs(a[i]), std::fabs(b[i])))) return false;
    return true;
}

}  // namespace

Outcome PictureAdder::add(const PictureToAdd& picture, const std::optional<std::string>& shownAs) {
    const std::string shown = shownAs ? *shownAs : display(picture.source);
    const std::string key = makeKey(picture.source, picture.saveDir);
    const std::string unreadable = unreadableReason(picture.source);
    if (!unreadable.empty()) {
        Outcome outcome = failure(shown, "cannot read: " + unreadable);
        outcome.result = AddResult::Unreadable;
        return outcome;
    }
    const std::string identical = stored.identicalTo(picture.source, key);
    if (!identical.empty() && identical == key) return alreadyIn(shown, key);
    if (!identical.empty() && !allowCopies) return sameFileAs(shown, identical);
    try {
        const likeness::AddOutcome added = collection.addFile(picture.source, picture.saveDir);
        if (added.result == likeness::AddResult::added) stored.remember(key, sourcesStay ? picture.source : key);
        if (added.result == likeness::AddResult::alreadyPresent) return alreadyPresent(picture.source, shown, key);
        return describeAdd(added, shown, logShown(display));
    } catch (const std::exception& error) {
        return failure(shown, "cannot be added, skipped: " + oneLine(error));
    }
}

Outcome PictureAdder::alreadyIn(const std::string& shown, const std::string& key) {
    return describeAdd({LIKENESS_ALREADY_PRESENT, likeness::AddResult::alreadyPresent, "", key}, shown, "");
}

// The key is taken. The stored vector was extracted from the pixels its file decoded to, so it
// is this file's own vector (to the six digits the feature file keeps) only when the file
// decodes to the same pixels: then it is a duplicate, whatever the stored copy's bytes became.
// Anything else is another picture under the same name, however alike the two look.
Outcome PictureAdder::alreadyPresent(const std::string& source, const std::string& shown, const std::string& key) {
    const likeness::ExtractOutcome extracted = collection.extractFile(source);
    const std::vector<float>& storedVector = *collection.vectorOf(key);
    const bool decoded = extracted.status == likeness::QueryStatus::ok;
    if (decoded && sameVector(extracted.vector, storedVector)) return alreadyIn(shown, key);
    return keyClash(shown, key,
                    decoded ? std::optional<float>(offsetDistance(storedVector, extracted.vector)) : std::nullopt);
}

}  // namespace likeness_cli
