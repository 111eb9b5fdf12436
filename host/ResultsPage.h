// The results page of `likeness search --html`: one self-contained HTML file with the query and
// result thumbnails embedded as data: URIs, so it opens offline and can be mailed as it is.
#ifndef LIKENESS_HOST_RESULTSPAGE_H
#define LIKENESS_HOST_RESULTSPAGE_H

#include <optional>
#include <string>
#include <vector>

namespace likeness_cli {

// One stored picture found for a query.
struct Match {
    std::string key;
    std::optional<float> distance;  // none when the command could not measure it
    bool samePicture = false;       // closer than the same-picture threshold
};

struct QueryResults {
    std::string query;           // as the user gave it
    std::string queryThumbnail;  // data: URI, empty when the picture could not be read
    std::vector<Match> matches;  // nearest first
    std::string failure;         // the message when the search failed
};

// A data: URI of the picture scaled to fit maxSide: a PNG that keeps its transparency for a picture
// with an alpha channel, a JPEG otherwise; empty when it cannot be read.
std::string thumbnailDataUri(const std::string& picturePath, int maxSide = 256);

// Text made safe inside HTML elements and quoted attributes.
std::string escapeHtml(const std::string& text);

// Writes the page to file, summary as its first paragraph; result keys are read as paths relative
// to the working directory. Throws std::runtime_error when the file cannot be written.
void writeResultsPage(const std::string& file, const std::string& title, const std::string& summary,
                      const std::vector<QueryResults>& searches);

}  // namespace likeness_cli

#endif
