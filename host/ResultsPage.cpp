// Thumbnails and the HTML of the pages.
#include "ResultsPage.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "TextEncoding.h"
#include "module/PictureDecoder.h"

namespace likeness_cli {
namespace {

// Captions break after a "/" of a key, and inside a name only when the name alone is too wide.
// Pictures lie on a checkerboard, which shows through where they are transparent.
const char* const kStyle = R"(body{font-family:sans-serif;margin:1.5em;background:#fafafa;color:#222}
h1{font-size:1.4em}h2{font-size:1.05em;margin:1.6em 0 .5em;overflow-wrap:anywhere}
.summary{max-width:60em;color:#444}
.row{display:flex;flex-wrap:wrap;gap:12px;align-items:flex-start}
figure{margin:0;padding:6px;background:#fff;border:1px solid #ddd;border-radius:4px;width:164px}
figure.query{border:2px solid #2a6ebb}figure.same{border:2px solid #1b7f3b}
figure img{max-width:164px;max-height:164px;display:block;margin:auto;
background:repeating-conic-gradient(#c8c8c8 0% 25%,#fff 0% 50%) 0 0/16px 16px}
figcaption{font-size:.8em;margin-top:4px;overflow-wrap:break-word}
.rank{font-weight:bold;margin-right:.3em}.distance{display:block;color:#555}
.mark{display:inline-block;margin-top:2px;padding:0 .4em;border-radius:3px;background:#1b7f3b;color:#fff}
.failure{color:#b00020}.missing{color:#777;font-size:.8em}.more{color:#555})";

std::string figure(const std::string& cssClass, const std::string& thumbnail, const std::string& caption) {
    std::string html = "<figure class=\"" + cssClass + "\">";
    if (thumbnail.empty()) html += "<div class=\"missing\">picture not readable</div>";
    else html += "<img src=\"" + thumbnail + "\" alt=\"\">";
    return html + "<figcaption>" + caption + "</figcaption></figure>\n";
}

// An escaped key with a line-break opportunity after each "/", "_" and "-", so that a caption
// breaks between the parts of a name rather than inside them.
std::string breakableKey(const std::string& key) {
    std::string html;
    for (const char c : escapeHtml(key)) {
        html += c;
        if (c == '/' || c == '_' || c == '-') html += "<wbr>";
    }
    return html;
}

std::string distanceText(float distance) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.3f", static_cast<double>(distance));
    return text;
}

std::string pageStart(const std::string& title, const std::string& summary) {
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" + escapeHtml(title) +
           "</title><style>" + kStyle + "</style></head><body>\n<h1>" + escapeHtml(title) +
           "</h1>\n<p class=\"summary\">" + escapeHtml(summary) + "</p>\n";
}

void writePage(const std::string& file, std::string html) {
    html += "</body></html>\n";
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << html;
    if (!out.flush()) throw std::runtime_error("cannot write the page " + file);
}

std::string matchCaption(std::size_t rank, const likeness::Match& match) {
    std::string caption = "<span class=\"rank\">" + std::to_string(rank) + ".</span>" + breakableKey(match.key);
    caption += "<span class=\"distance\">distance " + distanceText(match.distance) + "</span>";
    if (match.samePicture) caption += "<span class=\"mark\">same picture</span>";
    return caption;
}

// The picture as 8-bit BGR, or BGRA when it has an alpha channel, decoded within the library's
// pixel budget.
cv::Mat thumbnailSource(const std::string& picturePath) {
    cv::Mat picture = likeness::readPicture(picturePath, likeness::PictureChannels::withAlpha).pixels;
    if (picture.empty()) return picture;
    if (picture.depth() != CV_8U) picture.convertTo(picture, CV_8U, picture.depth() == CV_16U ? 1.0 / 257 : 1.0);
    if (picture.channels() == 1) cv::cvtColor(picture, picture, cv::COLOR_GRAY2BGR);
    return picture;
}

}  // namespace

std::string escapeHtml(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        case '\'': escaped += "&#39;"; break;
        default: escaped += c;
        }
    }
    return escaped;
}

std::string thumbnailDataUri(const std::string& picturePath, int maxSide) {
    const cv::Mat picture = thumbnailSource(picturePath);
    if (picture.empty()) return "";
    cv::Mat thumbnail = picture;
    const int longSide = std::max(picture.cols, picture.rows);
    if (longSide > maxSide) {
        const double factor = static_cast<double>(maxSide) / longSide;
        cv::resize(picture, thumbnail, cv::Size(), factor, factor, cv::INTER_AREA);
    }
    const bool transparent = thumbnail.channels() == 4;
    std::vector<unsigned char> encoded;
    if (!cv::imencode(transparent ? ".png" : ".jpg", thumbnail, encoded,
                      transparent ? std::vector<int>() : std::vector<int>{cv::IMWRITE_JPEG_QUALITY, 85}))
        return "";
    return std::string(transparent ? "data:image/png;base64," : "data:image/jpeg;base64,") + base64(encoded);
}

void writeResultsPage(const std::string& file, const std::string& title, const std::string& summary,
                      const std::vector<QueryResults>& searches) {
    std::string html = pageStart(title, summary);
    for (const QueryResults& search : searches) {
        html += "<section><h2>Query: " + escapeHtml(search.query) + "</h2>\n<div class=\"row\">\n";
        html += figure("query", search.queryThumbnail, "query");
        if (!search.failure.empty()) html += "<p class=\"failure\">" + escapeHtml(search.failure) + "</p>\n";
        for (std::size_t rank = 0; rank < search.matches.size(); ++rank) {
            const likeness::Match& match = search.matches[rank];
            html += figure(match.samePicture ? "result same" : "result", thumbnailDataUri(match.key),
                           matchCaption(rank + 1, match));
        }
        html += "</div></section>\n";
    }
    writePage(file, html);
}

void writeDuplicatesPage(const std::string& file, const std::string& title, const std::string& summary,
                         const std::vector<DuplicateGroup>& groups) {
    std::string html = pageStart(title, summary);
    std::size_t budget = kPageThumbnails;
    std::size_t group = 0;
    for (; group < groups.size() && budget > 0; ++group) {
        const DuplicateGroup& members = groups[group];
        const std::size_t count = members.members.size();
        // The first members, and the kept one in the last place when it is not among them.
        std::vector<std::size_t> shown;
        for (std::size_t m = 0; m < count && shown.size() < std::min(kGroupThumbnails, budget); ++m) shown.push_back(m);
        if (members.kept && *members.kept >= shown.size()) shown.back() = *members.kept;
        budget -= shown.size();
        html += "<section><h2>Group " + std::to_string(group + 1) + ": " + std::to_string(count) +
                " pictures</h2>\n<div class=\"row\">\n";
        for (const std::size_t m : shown) {
            const bool kept = members.kept == m;
            std::string caption =
                "<span class=\"rank\">" + std::to_string(m + 1) + ".</span>" + breakableKey(members.members[m].key);
            if (m > 0)
                caption += "<span class=\"distance\">distance " + distanceText(members.members[m].distanceToFirst) +
                           " from 1</span>";
            if (kept) caption += "<span class=\"mark\">keep</span>";
            html += figure(kept ? "result same" : "result", thumbnailDataUri(members.members[m].key), caption);
        }
        html += "</div>\n";
        if (shown.size() < count)
            html += "<p class=\"more\">" + std::to_string(count - shown.size()) +
                    " more pictures of this group are not shown; likeness dupes --json lists them all.</p>\n";
        html += "</section>\n";
    }
    if (group < groups.size())
        html += "<p class=\"more\">" + std::to_string(groups.size() - group) +
                " more groups are not shown; likeness dupes --json lists them all.</p>\n";
    writePage(file, html);
}

}  // namespace likeness_cli
