// Progress of long work on standard error: a live bar on a terminal, a plain line every few
// seconds otherwise (logs, pipes, CI), nothing when quiet.
#ifndef LIKENESS_HOST_PROGRESS_H
#define LIKENESS_HOST_PROGRESS_H

#include <chrono>
#include <cstddef>
#include <ostream>
#include <string>

namespace likeness_cli {

class Progress {
public:
    Progress(std::string label, std::size_t total, bool quiet);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Counts one more item done.
    void advance();
    // Sets how many items are done, for work that reports its own count.
    void advanceTo(std::size_t count);
    // Prints one line on out without tearing the bar.
    void note(std::ostream& out, const std::string& line);
    // Ends the display; called by the destructor if not before.
    void finish();

private:
    using Clock = std::chrono::steady_clock;
    enum class Display { None, LiveBar, PeriodicLines };

    std::string statusText() const;
    void drawBar();
    void clearBar();

    std::string label;
    std::size_t total;
    std::size_t done = 0;
    Display display;
    bool finished = false;
    bool linesShown = false;  // a periodic line was printed, so the last state is worth one too
    Clock::time_point start = Clock::now();
    Clock::time_point lastShown = start;
};

}  // namespace likeness_cli

#endif
