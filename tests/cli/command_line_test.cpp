// The likeness command run in the test's own process: which command runs with which global options,
// the lines each command refuses before it touches a home, and what a search costs.
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>
#include <CLI/CLI.hpp>

#include "Command.h"
#include "TestSupport.h"
#include "classifier/VnnClassifier.h"
#include "commands/Commands.h"
#include "module/Collection.h"

using namespace likeness_cli;

namespace {

// What std::cout and std::cerr receive while it lives.
class StreamCapture {
public:
    StreamCapture() : outBefore(std::cout.rdbuf(out.rdbuf())), errBefore(std::cerr.rdbuf(err.rdbuf())) {}
    ~StreamCapture() {
        std::cout.rdbuf(outBefore);
        std::cerr.rdbuf(errBefore);
    }
    StreamCapture(const StreamCapture&) = delete;
    StreamCapture& operator=(const StreamCapture&) = delete;

    std::ostringstream out;
    std::ostringstream err;

private:
    std::streambuf* outBefore;
    std::streambuf* errBefore;
};

// Records what it was run with in the test's log.
struct RunLog {
    std::string ran;
    std::string argument;
    GlobalOptions global;
};
RunLog runLog;

template <bool Throws>
class RecordingCommand final : public Command {
public:
    void define(CLI::App& command) override {
        command.description("records its run");
        command.add_option("ARGUMENT", argument);
    }
    int run(const GlobalOptions& global) override {
        if (Throws) throw std::runtime_error("it broke");
        runLog = {"recorder", argument, global};
        return 7;
    }

private:
    std::string argument;
};

std::unique_ptr<Command> makeRecorder() {
    return std::make_unique<RecordingCommand<false>>();
}
std::unique_ptr<Command> makeThrower() {
    return std::make_unique<RecordingCommand<true>>();
}

}  // namespace

TEST(CommandLine, RunsTheNamedCommandWithTheGlobalOptionsAndReportsWhatCannotRun) {
    const std::vector<CommandEntry> table = {{"record", makeRecorder}, {"throw", makeThrower}};
    runLog = {};
    EXPECT_EQ(runCommandLine(table, {"--home", "h", "-q", "record", "x"}), 7);
    EXPECT_EQ(runLog.ran, "recorder");
    EXPECT_EQ(runLog.argument, "x");
    EXPECT_EQ(runLog.global.home, "h");
    EXPECT_TRUE(runLog.global.quiet);
    EXPECT_FALSE(runLog.global.verbose);

    runLog = {};
    {
        const StreamCapture capture;
        EXPECT_EQ(runCommandLine(table, {}), 2) << "a command is required";
        EXPECT_EQ(runCommandLine(table, {"nothing"}), 2);
        EXPECT_EQ(runCommandLine(table, {"record", "x", "y"}), 2);
    }
    EXPECT_EQ(runLog.ran, "") << "no command runs on a line that does not parse";

    StreamCapture capture;
    EXPECT_EQ(runCommandLine(table, {"throw"}), 2);
    EXPECT_EQ(capture.err.str(), "likeness: it broke\n");
    EXPECT_EQ(runCommandLine(table, {"record", "--help"}), 0);
    EXPECT_NE(capture.out.str().find("records its run"), std::string::npos) << capture.out.str();
}

// Every one of these is refused with status 2 and its reason before the command looks for a home.
TEST(CommandLine, CommandsRefuseBadValuesBeforeTouchingAHome) {
    const std::vector<CommandEntry> table = {{"search", makeSearchCommand}, {"dupes", makeDupesCommand},
                                             {"serve", makeServeCommand},   {"remove", makeRemoveCommand},
                                             {"add", makeAddCommand},       {"add-url", makeAddUrlCommand}};
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"search", "-n", "0", "q.jpg"}, "-n takes a whole number of results, at least 1 (got 0)"},
        {{"search", "-n", "2.5", "q.jpg"}, "(got 2.5)"},
        {{"search", "q.jpg", "-n", "99999999999"}, "(got 99999999999)"},
        {{"dupes", "--threshold", "100"}, "--threshold takes a distance above 100"},
        {{"dupes", "--threshold", "nan"}, "(got nan)"},
        {{"dupes", "--keep", "biggest"}, "biggest"},
        {{"serve", "--time-limit", "0"}, "--time-limit"},
        {{"serve", "--listen", "8790"}, "--listen takes ADDRESS:PORT"},
        {{"serve", "--listen", "[::1]:65536"}, "(got [::1]:65536)"},
        {{"remove"}, "name the keys to remove, or give --missing"},
        {{"remove", "--missing", "--delete-files"}, "--delete-files has nothing to delete"},
        {{"add", "--into", "../out", "a.jpg"}, "--into ../out/ climbs out of the home"},
        {{"add-url", "--into", "/abs", "http://h/a.jpg"}, "--into /abs/ is an absolute path"},
        {{"add-url"}, "no URLs given"},
    };
    for (const auto& [line, reason] : refused) {
        StreamCapture capture;
        const std::vector<std::string> arguments = [&] {
            std::vector<std::string> withHome = {"--home", "/nonexistent-home"};
            withHome.insert(withHome.end(), line.begin(), line.end());
            return withHome;
        }();
        EXPECT_EQ(runCommandLine(table, arguments), 2) << line[0] << " " << line.back();
        EXPECT_NE(capture.err.str().find(reason), std::string::npos) << capture.err.str();
        EXPECT_EQ(capture.err.str().find("likeness init"), std::string::npos)
            << "refused before looking for the home: " << capture.err.str();
    }
}

// The query's vector and every distance printed come from the library's one forward pass.
TEST(SearchCommand, ExtractsEachQueryOnce) {
    TempHome home;
    std::filesystem::create_directories("pictures");
    {
        likeness::Collection collection;
        for (int seed = 0; seed < 4; ++seed)
            ASSERT_EQ(collection.addFile(writePicture("p" + std::to_string(seed) + ".png", seed), "pictures/").code, 0);
    }
    const std::uint64_t before = VnnClassifier::forwardPasses();
    StreamCapture capture;
    EXPECT_EQ(runCommandLine({{"search", makeSearchCommand}}, {"-q", "search", "-n", "2", "p1.png", "p2.png"}), 0)
        << capture.err.str();
    EXPECT_EQ(VnnClassifier::forwardPasses() - before, 2u) << "one forward pass per query";
    const std::string out = capture.out.str();
    EXPECT_NE(out.find("# p1.png\n100.000  pictures/p1.png  (same picture)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("# p2.png\n100.000  pictures/p2.png  (same picture)\n"), std::string::npos) << out;
}
