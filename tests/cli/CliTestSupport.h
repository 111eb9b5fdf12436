// Helpers of the CLI tests: running the likeness command in a temporary home and reading what
// it printed, plus the pictures and model the tests use.
#ifndef LIKENESS_TESTS_CLI_CLITESTSUPPORT_H
#define LIKENESS_TESTS_CLI_CLITESTSUPPORT_H

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

struct CommandRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs a shell command line in cwd with standard input from /dev/null, capturing both streams.
CommandRun runShell(const std::string& commandLine, const std::filesystem::path& cwd);

// Quotes text for the shell.
std::string shellQuoted(const std::string& text);

std::string readFile(const std::filesystem::path& file);

// Decodes standard base64; stops at the first character outside the alphabet.
std::string fromBase64(const std::string& text);

// Every data: URI of a results page decoded as a picture (alpha kept), in page order; an
// undecodable one gives an empty Mat.
std::vector<cv::Mat> embeddedPictures(const std::string& html);

// The lines of text, without their line feeds.
std::vector<std::string> lines(const std::string& text);

// The bytes of a real PNG whose header declares width x height pixels (its CRC made to match), the
// kind of file that makes a decoder give up or throw before it reads any pixel.
std::string pngDeclaring(unsigned width, unsigned height);

// Runs a shell command line as an unprivileged user when the tests run as root (who reads every
// file), so that file permissions apply; otherwise as it is. The work folder is handed to that user.
std::string asUnprivileged(const std::string& commandLine, const std::filesystem::path& work);
// Why asUnprivileged cannot work here, or empty when it can: that user cannot run the command or
// enter the work folder when a folder above them is closed to other users (a checkout in a folder
// made by mktemp -d, or in a home of mode 0700).
std::string whyNotUnprivileged(const std::filesystem::path& work);

// `likeness serve` running as a child process in the work folder, listening on a free port of
// 127.0.0.1. Its standard error goes to a file; the first line of its standard output names the
// address it listens on.
class ServeProcess {
public:
    // Starts `likeness --home home serve --listen 127.0.0.1:0 ARGUMENTS` (arguments split at
    // spaces; a --listen among them replaces the default one) with extra environment entries
    // ("NAME=VALUE") and, when not 0, a limit on its address space in bytes; port() is 0 when it
    // did not start.
    ServeProcess(const std::filesystem::path& work, const std::string& arguments,
                 const std::vector<std::string>& environment = {}, unsigned long long addressSpaceBytes = 0);
    ~ServeProcess();
    ServeProcess(const ServeProcess&) = delete;
    ServeProcess& operator=(const ServeProcess&) = delete;

    int port() const { return listeningPort; }
    std::string firstLine() const { return line; }
    // Sends signal and waits for the process: its exit status, or -1 when a signal ended it. With
    // a limit, -2 when it still runs after that long (it is then killed).
    int stop(int signal, std::chrono::milliseconds limit = std::chrono::hours(1));
    pid_t processId() const { return pid; }
    std::string standardError() const;

private:
    pid_t pid = -1;
    int listeningPort = 0;
    std::string line;
    std::filesystem::path errFile;
};

// A client socket to 127.0.0.1:port for what a library client would not send: raw bytes, at any
// pace. Every wait is bounded.
class RawConnection {
public:
    explicit RawConnection(int port);
    ~RawConnection();
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool connected() const { return fd >= 0; }
    // False when the bytes could not all be sent (the server closed).
    bool send(const std::string& bytes);
    // What the server sent until `answers` whole HTTP answers (by their Content-Length; 0: any
    // bytes at all) are in, the server closed, or timeout passed.
    std::string receive(std::chrono::milliseconds timeout, std::size_t answers = 1);
    // True when the server closes the connection within timeout; what it sends before is dropped.
    bool closedWithin(std::chrono::milliseconds timeout);

private:
    int fd = -1;
};

// The status codes of the HTTP answers in text, in order.
std::vector<int> answerStatuses(const std::string& text);

// A fresh temporary folder per test with synthetic pictures in pics/ (scene0..scene5, a same-named
// copy in pics/sub/, a text file notes.txt) and an initialised home in home/.
class CliTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs the likeness command with arguments (already quoted where needed) from the work folder.
    CommandRun likeness(const std::string& arguments) const;

    std::filesystem::path work;
    std::filesystem::path home;
    std::filesystem::path pics;
};

#endif
