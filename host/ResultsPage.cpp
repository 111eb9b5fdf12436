// Thumbnails and the HTML of the results page.
#include "ResultsPage.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace likeness_cli {
namespace {

const char* const kStyle = R"(body{font-family:sans-serif;margin:1.5em;background:#fafafa;color:#222}
h1{font-size:1.4em}h2{font-size:1.05em;margin:1.6em 0 .5em;word-break:break-all}
.row{display:flex;flex-wrap:wrap;gap:12px;align-items:flex-start}
figure{margin:0;padding:6px;background:#fff;border:1px solid #ddd;border-radius:4px;width:164px}
figure.query{border:2px solid #2a6ebb}
figure img{max-width:164px;max-height:164px;display:block;margin:auto}
figcaption{font-size:.8em;margin-top:4px;word-break:break-all}
.rank{font-weight:bold;margin-right:.3em}.failure{color:#b00020}.missing{color:#777;font-size:.8em})";

std::string figure(const std::string& cssClass, const std::string& thumbnail, const std::string& caption) {
    std::string html = "<figure class=\"" + cssClass + "\">";
    if (thumbnail.empty())
        html += "<div class=\"missing\">picture not readable</div>";
    else
        html += "<img src=\"" + thumbnail + "\" alt=\"\">";
    return html + "<figcaption>" + caption + "</figcaption></figure>\n";
}

}  // namespace

std::string base64(const std::vector<unsigned char>& bytes) {
    static const char* const kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t available = std::min<std::size_t>(3, bytes.size() - i);
        unsigned long group = static_cast<unsigned long>(bytes[i]) << 16;
        if (available > 1) group |= static_cast<unsigned long>(bytes[i + 1]) << 8;
        if (available > 2) group |= bytes[i + 2];
        for (std::size_t sextet = 0; sextet < 4; ++sextet)
            text += sextet <= available ? kAlphabet[(group >> (18 - 6 * sextet)) & 0x3F] : '=';
    }
    return text;
}

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
    const cv::Mat picture = cv::imread(picturePath, cv::IMREAD_COLOR);
    if (picture.empty()) return "";
    cv::Mat thumbnail = picture;
    const int longSide = std::max(picture.cols, picture.rows);
    if (longSide > maxSide) {
        const double factor = static_cast<double>(maxSide) / longSide;
        cv::resize(picture, thumbnail, cv::Size(), factor, factor, cv::INTER_AREA);
    }
    std::vector<unsigned char> jpeg;
    if (!cv::imencode(".jpg", thumbnail, jpeg, {cv::IMWRITE_JPEG_QUALITY, 85})) return "";
    return "data:image/jpeg;base64," + base64(jpeg);
}

void writeResultsPage(const std::string& file, const std::string& title, const std::vector<QueryResults>& searches) {
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" +
                       escapeHtml(title) + "</title><style>" + kStyle + "</style></head><body>\n<h1>" +
                       escapeHtml(title) + "</h1>\n";
    for (const QueryResults& search : searches) {
        html += "<section><h2>Query: " + escapeHtml(search.query) + "</h2>\n<div class=\"row\">\n";
        html += figure("query", search.queryThumbnail, "query");
        if (!search.failure.empty())
            html += "<p class=\"failure\">" + escapeHtml(search.failure) + "</p>\n";
        for (std::size_t rank = 0; rank < search.keys.size(); ++rank) {
            const std::string& key = search.keys[rank];
            html += figure("result", thumbnailDataUri(key),
                           "<span class=\"rank\">" + std::to_string(rank + 1) + ".</span>" + escapeHtml(key));
        }
        html += "</div></section>\n";
    }
    html += "</body></html>\n";
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << html;
    if (!out.flush()) throw std::runtime_error("cannot write the results page " + file);
}

}  // namespace likeness_cli
