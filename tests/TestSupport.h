// Helpers shared by the test suites: a throwaway working directory with the test model, seeded
// pictures, reading files and the log, and running code in a child process to see how it exits.
#ifndef LIKENESS_TESTS_TESTSUPPORT_H
#define LIKENESS_TESTS_TESTSUPPORT_H

#include <functional>
#include <iostream>
#include <sstream>
#include <string>

#include <opencv2/core.hpp>

// Creates a fresh directory holding model/ (the generated test model), makes it the working
// directory, and on destruction returns to the previous one and removes it.
class TempHome {
public:
    explicit TempHome(bool withModel = true);
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;
    const std::string& path() const { return dir; }

private:
    std::string dir;
    std::string previous;
};

// A picture of the given size whose content is fixed by seed; different seeds look different.
cv::Mat makePicture(int seed, cv::Size size = cv::Size(160, 120));
// Writes makePicture(seed, size) to path and returns path.
std::string writePicture(const std::string& path, int seed, cv::Size size = cv::Size(160, 120));

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);

// The text the process's log file gained since construction.
class LogWatch {
public:
    LogWatch();
    std::string added() const;

private:
    long long start;
};

struct ChildOutcome {
    int exitStatus = -1;  // low eight bits of the child's exit code; -1 when it did not exit
    std::string standardOutput;
    std::string standardError;
};
// Runs body in a forked child whose standard output and error are captured; the child exits with
// 0 when body returns.
ChildOutcome runInChild(const std::function<void()>& body);

// Collects what std::cout receives (where offsetDistance's length-mismatch lines go) while it lives.
class CoutCapture {
public:
    CoutCapture() : previous(std::cout.rdbuf(text.rdbuf())) {}
    ~CoutCapture() { std::cout.rdbuf(previous); }
    CoutCapture(const CoutCapture&) = delete;
    CoutCapture& operator=(const CoutCapture&) = delete;
    std::string str() const { return text.str(); }

private:
    std::ostringstream text;
    std::streambuf* previous;
};

#endif
