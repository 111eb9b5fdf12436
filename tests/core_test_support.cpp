// Shared test helpers. The logger is created once per process in a directory that outlives every
// TempHome, so tests can read what it wrote.
#include "TestSupport.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "log/EasyLog.h"

namespace fs = std::filesystem;

namespace {

class LoggerInStableDirectory : public ::testing::Environment {
public:
    void SetUp() override {
        const std::string previous = fs::current_path().string();
        logDir = fs::temp_directory_path() / ("likeness-test-log-" + std::to_string(getpid()));
        fs::create_directories(logDir);
        fs::current_path(logDir);
        EasyLog::GetInstance();
        fs::current_path(previous);
    }
    // The logger keeps its file open, so the process can go on logging after the folder is gone.
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(logDir, ignored);
    }

private:
    fs::path logDir;
};

const ::testing::Environment* const loggerEnvironment =
    ::testing::AddGlobalTestEnvironment(new LoggerInStableDirectory);

}  // namespace

TempHome::TempHome(bool withModel) : previous(fs::current_path().string()) {
    std::string pattern = (fs::temp_directory_path() / "likeness-home-XXXXXX").string();
    if (mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir = pattern;
    if (withModel) {
        fs::create_directories(fs::path(dir) / "model");
        for (const char* name : {"v0.net", "v0.dat"}) {
            fs::copy_file(fs::path(LIKENESS_TEST_MODEL_DIR) / name, fs::path(dir) / "model" / name);
        }
    }
    fs::current_path(dir);
}

TempHome::~TempHome() {
    std::error_code ignored;
    fs::current_path(previous, ignored);
    fs::remove_all(dir, ignored);
}

cv::Mat makePicture(int seed, cv::Size size) {
    std::mt19937 generator(static_cast<unsigned>(seed));
    cv::Mat picture(size, CV_8UC3, cv::Scalar(generator() % 256, generator() % 256, generator() % 256));
    for (int shape = 0; shape < 12; ++shape) {
        const cv::Point centre(static_cast<int>(generator() % static_cast<unsigned>(size.width)),
                               static_cast<int>(generator() % static_cast<unsigned>(size.height)));
        const int radius = 5 + static_cast<int>(generator() % static_cast<unsigned>(size.width / 3 + 1));
        const cv::Scalar colour(generator() % 256, generator() % 256, generator() % 256);
        if (shape % 2 == 0) {
            cv::circle(picture, centre, radius, colour, cv::FILLED);
        } else {
            cv::rectangle(picture, centre, centre + cv::Point(radius, radius / 2), colour, cv::FILLED);
        }
    }
    return picture;
}

std::string writePicture(const std::string& path, int seed, cv::Size size) {
    if (!cv::imwrite(path, makePicture(seed, size))) throw std::runtime_error("cannot write " + path);
    return path;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

LogWatch::LogWatch() {
    std::error_code error;
    const auto size = fs::file_size(EasyLog::GetInstance()->FilePath(), error);
    start = error ? 0 : static_cast<long long>(size);
}

std::string LogWatch::added() const {
    const std::string text = readFile(EasyLog::GetInstance()->FilePath());
    return static_cast<long long>(text.size()) > start ? text.substr(static_cast<std::size_t>(start)) : "";
}

ChildOutcome runInChild(const std::function<void()>& body) {
    std::fflush(stdout);
    std::fflush(stderr);
    char outPath[] = "/tmp/likeness-child-XXXXXX";
    char errPath[] = "/tmp/likeness-child-XXXXXX";
    const int outCapture = mkstemp(outPath);
    const int errCapture = mkstemp(errPath);
    ChildOutcome outcome;
    const pid_t child = fork();
    if (child == 0) {
        dup2(outCapture, STDOUT_FILENO);
        dup2(errCapture, STDERR_FILENO);
        body();
        std::fflush(stdout);
        // Not exit(): the exit handlers belong to the parent, whose threads the child does not have
        // (TBB's tear-down, for one, crashes on them).
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFEXITED(status)) outcome.exitStatus = WEXITSTATUS(status);
    close(outCapture);
    close(errCapture);
    outcome.standardOutput = readFile(outPath);
    outcome.standardError = readFile(errPath);
    unlink(outPath);
    unlink(errPath);
    return outcome;
}
