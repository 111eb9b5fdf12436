// The log file's name, layout, banners, length cut and fallback, each checked in a fresh process
// (log_probe) because the logger is created once per process.
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

// Written out here rather than taken from EasyLog, as an independent check of the file's name.
std::string todaysLogName() {
    char text[11] = {0};
    std::time_t now = std::time(nullptr);
    std::strftime(text, sizeof(text), "%Y.%m.%d", std::localtime(&now));
    return std::string(text) + ".log";
}

std::string runProbe(const std::string& dir, const std::string& mode) {
    const std::string command = std::string(LIKENESS_LOG_PROBE) + " " + dir + " " + mode;
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, got);
    EXPECT_EQ(pclose(pipe), 0) << command;
    return out;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

const std::string kPrefix = R"(\[\d{4}\.\d{2}\.\d{2}\] \[\d{2}:\d{2}:\d{2}\] )";

}  // namespace

TEST(Logger, WritesDatedFileWithExactLineLayout) {
    TempHome home(false);
    EXPECT_EQ(runProbe(home.path(), "lines"), "");
    const std::vector<std::string> lines = splitLines(readFile(todaysLogName()));
    ASSERT_EQ(lines.size(), 14u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(kPrefix + R"(\[LOG_INFO \] -{18} LOG SYSTEM START -{18})")))
        << lines[0];
    EXPECT_EQ(lines[1], "");
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(kPrefix + R"(\[LOG_INFO \] succeed in load features !! )")))
        << lines[2];
    EXPECT_EQ(lines[3], "") << "a message ending in a line feed is followed by an empty line";
    EXPECT_TRUE(std::regex_match(lines[4], std::regex(kPrefix + R"(\[LOG_INFO \] no line feed, value=42)")));
    const char* const names[] = {"LOG_TRACE", "LOG_DEBUG", "LOG_INFO ", "LOG_WARN ",
                                 "LOG_ERROR", "LOG_ALARM", "LOG_FATAL"};
    for (int level = 0; level < 7; ++level) {
        const std::string& line = lines[static_cast<std::size_t>(5 + level)];
        EXPECT_EQ(line.substr(24), "[" + std::string(names[level]) + "] level " + std::to_string(level)) << line;
    }
    EXPECT_EQ(lines[12].substr(36), std::string(1022, 'x')) << "printf-style messages are cut to 1022 characters";
    EXPECT_EQ(lines[13].substr(36), std::string(1500, 'y')) << "the string form has no limit";
}

TEST(Logger, SecondStartOnTheSameDayAppends) {
    TempHome home(false);
    writeFile(todaysLogName(), "an earlier run\n");
    runProbe(home.path(), "lines");
    runProbe(home.path(), "lines");
    const std::string text = readFile(todaysLogName());
    EXPECT_EQ(text.rfind("an earlier run\n", 0), 0u);
    std::size_t banners = 0;
    for (std::size_t at = text.find("LOG SYSTEM START"); at != std::string::npos;
         at = text.find("LOG SYSTEM START", at + 1)) {
        ++banners;
    }
    EXPECT_EQ(banners, 2u);
}

TEST(Logger, HostAndLibraryShareOneLogger) {
    TempHome home;
    runProbe(home.path(), "host");
    const std::string text = readFile(todaysLogName());
    EXPECT_EQ(text.find("LOG SYSTEM START"), text.rfind("LOG SYSTEM START")) << text;
    const std::size_t before = text.find("] host before\n");
    const std::size_t library = text.find("] ImplIModule !! \n");
    const std::size_t after = text.find("] host after\n");
    ASSERT_NE(before, std::string::npos) << text;
    ASSERT_NE(library, std::string::npos) << text;
    ASSERT_NE(after, std::string::npos) << text;
    EXPECT_LT(before, library);
    EXPECT_LT(library, after);
}

TEST(Logger, EndBannerHasNoEmptyLineAfterIt) {
    TempHome home(false);
    runProbe(home.path(), "end");
    const std::string text = readFile(todaysLogName());
    const std::string tail = "] ------------------ LOG SYSTEM END ------------------ \n";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

TEST(Logger, FallsBackToStandardOutputWhenTheFileCannotBeOpened) {
    TempHome home(false);
    std::filesystem::create_directory(todaysLogName());
    const std::vector<std::string> lines = splitLines(runProbe(home.path(), "lines"));
    ASSERT_EQ(lines.size(), 14u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(kPrefix + R"(\[LOG_INFO \] -{18} LOG SYSTEM START -{18})")));
    EXPECT_EQ(lines[12].substr(36), std::string(1022, 'x'));
}
