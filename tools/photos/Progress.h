// Progress of the model tools' and the benchmarks' long loops: a plain line on standard error at
// most every few seconds and at the end, readable in logs and pipes alike.
#ifndef LIKENESS_TOOLS_PHOTOS_PROGRESS_H
#define LIKENESS_TOOLS_PHOTOS_PROGRESS_H

#include <chrono>
#include <cstddef>
#include <string>

// Reports "WHAT DONE/TOTAL (SECONDS s)".
class Progress {
public:
    Progress(std::string what, std::size_t total);
    void advance();

private:
    std::string what;
    std::size_t total;
    std::size_t done = 0;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point lastReport = start;
};

#endif
