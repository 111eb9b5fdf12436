// One add through the library, with the checks before it and the reading of its result.
#include "PictureAdder.h"

#include "module/Distance.h"
#include "module/KeySafety.h"

namespace likeness_cli {

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
    if (!identical.empty() && identical == key) return describeAdd(LIKENESS_ALREADY_PRESENT, shown, key, {});
    if (!identical.empty() && !allowCopies) return sameFileAs(shown, identical);
    const CallLog log(display);
    try {
        const int code = collection.operations().addAPicToDB(picture.source, picture.saveDir);
        if (code == LIKENESS_ADDED) stored.remember(key, sourcesStay ? picture.source : key);
        if (code == LIKENESS_ALREADY_PRESENT) return alreadyPresent(picture.source, shown, key);
        return describeAdd(code, shown, key, log.details());
    } catch (const std::exception& error) {
        return failure(shown, "cannot be added, skipped: " + oneLine(error));
    }
}

// The key is taken. The stored vector was extracted from the pixels its file decoded to, so it
// is this file's own vector (to the six digits the feature file keeps) only when the file
// decodes to the same pixels: then it is a duplicate, whatever the stored copy's bytes became.
// Anything else is another picture under the same name, however alike the two look.
Outcome PictureAdder::alreadyPresent(const std::string& source, const std::string& shown, const std::string& key) {
    const std::optional<std::vector<float>> vector = vectors.of(source);
    const std::vector<float>& storedVector = collection.state().features().at(key);
    if (vector && sameVector(*vector, storedVector)) return describeAdd(LIKENESS_ALREADY_PRESENT, shown, key, {});
    return keyClash(shown, key, vector ? std::optional<float>(offsetDistance(storedVector, *vector)) : std::nullopt);
}

}  // namespace likeness_cli
