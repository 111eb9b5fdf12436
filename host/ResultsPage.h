// The pages of `likeness search --html` and `likeness dupes --html`: self-contained HTML files with
// the thumbnails embedded as data: URIs, so they open offline and can be mailed as they are.
#ifndef LIKENESS_HOST_RESULTSPAGE_H
#define LIKENESS_HOST_RESULTSPAGE_H

#include <cstddef>
#include <string>
#include <vector>

#include "Duplicates.h"
#include "module/SamePicture.h"

namespace likeness_cli {

struct QueryResults {
    std::string query;                     // as the user gave it
    std::string queryThumbnail;            // data: URI, empty when the picture could not be read
    std::vector<likeness::Match> matches;  // nearest first
    std::string failure;                   // the message when the search failed
};

// A data: URI of the picture scaled to fit maxSide: a PNG that keeps its transparency for a picture
// with an alpha channel, a JPEG otherwise; empty when it cannot be read.
std::string thumbnailDataUri(const std::string& picturePath, int maxSide = 256);

// Text made safe inside HTML elements and quoted attributes.
std::string escapeHtml(const std::string& text);

// The pages are written to file, summary as their first paragraph; keys are read as paths relative
// to the working directory. They throw std::runtime_error when the file cannot be written.

// Each query's thumbnail beside its results'.
void writeResultsPage(const std::string& file, const std::string& title, const std::string& summary,
                      const std::vector<QueryResults>& searches);

// The most thumbnails a page of near-duplicates shows, in all and of one group: a home where
// everything chains into a few huge groups still gets a page a browser opens at once.
inline constexpr std::size_t kPageThumbnails = 240;
inline constexpr std::size_t kGroupThumbnails = 24;

// Each group's thumbnails side by side, numbered, each with its distance from the first, the kept
// one marked (and shown, when it lies past the group's share); then a line for what is left out.
void writeDuplicatesPage(const std::string& file, const std::string& title, const std::string& summary,
                         const std::vector<DuplicateGroup>& groups);

}  // namespace likeness_cli

#endif
