// Drawing of the progress display.
#include "Progress.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <sstream>
#include <utility>

namespace likeness_cli {
namespace {

// A bar redrawn more often than this only costs time; a line printed more often is noise.
constexpr std::chrono::milliseconds kRedrawInterval(100);
constexpr std::chrono::seconds kLineInterval(5);
constexpr std::size_t kBarWidth = 30;

std::string clockText(double seconds) {
    const long whole = static_cast<long>(seconds + 0.5);
    char text[32];
    if (whole >= 3600) std::snprintf(text, sizeof(text), "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
    else std::snprintf(text, sizeof(text), "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

}  // namespace

Progress::Progress(std::string label, std::size_t total, bool quiet) : label(std::move(label)), total(total) {
    // One item gets its own result line; a display for it would only flicker.
    if (quiet || total < 2) display = Display::None;
    else display = isatty(STDERR_FILENO) ? Display::LiveBar : Display::PeriodicLines;
    if (display == Display::LiveBar) drawBar();
}

Progress::~Progress() {
    finish();
}

std::string Progress::statusText() const {
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0.0;
    std::ostringstream text;
    text << done << "/" << total;
    text.setf(std::ios::fixed);
    text.precision(1);
    text << "  " << rate << "/s";
    if (done == total) text << "  " << clockText(elapsed) << " total";
    else if (done > 0) text << "  " << clockText(static_cast<double>(total - done) / rate) << " left";
    return text.str();
}

void Progress::drawBar() {
    const std::size_t filled = total == 0 ? kBarWidth : done * kBarWidth / total;
    std::cerr << "\r\033[K" << label << " [" << std::string(filled, '#') << std::string(kBarWidth - filled, '.') << "] "
              << statusText() << std::flush;
    lastShown = Clock::now();
}

void Progress::clearBar() {
    std::cerr << "\r\033[K";
}

void Progress::advance() {
    advanceTo(done + 1);
}

void Progress::advanceTo(std::size_t count) {
    done = count;
    const auto now = Clock::now();
    if (display == Display::LiveBar && (now - lastShown >= kRedrawInterval || done == total)) {
        drawBar();
    } else if (display == Display::PeriodicLines && now - lastShown >= kLineInterval && done < total) {
        std::cerr << label << ": " << statusText() << std::endl;
        lastShown = now;
        linesShown = true;
    }
}

void Progress::note(std::ostream& out, const std::string& line) {
    if (display == Display::LiveBar) clearBar();
    out << line << std::endl;
    if (display == Display::LiveBar) drawBar();
}

void Progress::finish() {
    if (finished) return;
    finished = true;
    if (display == Display::LiveBar) {
        drawBar();
        std::cerr << std::endl;
    } else if (display == Display::PeriodicLines && linesShown) {
        std::cerr << label << ": " << statusText() << std::endl;
    }
}

}  // namespace likeness_cli
