#include "Progress.h"

#include <iostream>
#include <utility>

Progress::Progress(std::string what, std::size_t total) : what(std::move(what)), total(total) {}

void Progress::advance() {
    ++done;
    const auto now = std::chrono::steady_clock::now();
    if (done < total && now - lastReport < std::chrono::seconds(3)) return;
    lastReport = now;
    const double seconds = std::chrono::duration<double>(now - start).count();
    std::cerr << what << " " << done << "/" << total << " (" << static_cast<int>(seconds) << " s)\n";
}
