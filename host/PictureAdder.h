// Adding local pictures one by one as the command does: a duplicate (the same picture under its
// key), a key clash (another picture under it) and the same file under another key told apart.
#ifndef LIKENESS_HOST_PICTUREADDER_H
#define LIKENESS_HOST_PICTUREADDER_H

#include <optional>
#include <string>

#include "CommandSupport.h"
#include "Outcome.h"
#include "PictureFiles.h"
#include "StoredFiles.h"

namespace likeness_cli {

class PictureAdder {
public:
    // sourcesStay: the files added stay where they are, so a later file is compared with a source
    // rather than with its stored copy (whose bytes a re-encoding may have changed). Uploads that
    // are deleted after their add pass false.
    PictureAdder(Collection& collection, bool allowCopies, const PathDisplay& display, bool sourcesStay = true)
        : collection(collection),
          allowCopies(allowCopies),
          sourcesStay(sourcesStay),
          display(display),
          stored(collection.features()) {}

    // Adds picture, naming it in the outcome's line as display shows its source, or as shown.
    Outcome add(const PictureToAdd& picture, const std::optional<std::string>& shown = std::nullopt);

private:
    Outcome alreadyPresent(const std::string& source, const std::string& shown, const std::string& key);
    static Outcome alreadyIn(const std::string& shown, const std::string& key);

    Collection& collection;
    bool allowCopies;
    bool sourcesStay;
    const PathDisplay& display;
    StoredFiles stored;
};

}  // namespace likeness_cli

#endif
