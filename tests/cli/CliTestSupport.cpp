// Running commands and setting up the work folder of a CLI test.
#include "CliTestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include <opencv2/imgcodecs.hpp>

namespace fs = std::filesystem;

std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string fromBase64(const std::string& text) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    unsigned long bits = 0;
    int bitCount = 0;
    for (const char c : text) {
        const std::size_t value = alphabet.find(c);
        if (value == std::string::npos) break;
        bits = (bits << 6) | value;
        bitCount += 6;
        if (bitCount >= 8) {
            bitCount -= 8;
            bytes += static_cast<char>((bits >> bitCount) & 0xFF);
        }
    }
    return bytes;
}

std::vector<cv::Mat> embeddedPictures(const std::string& html) {
    std::vector<cv::Mat> pictures;
    const std::regex dataUri("data:image/(jpeg|png);base64,([A-Za-z0-9+/=]*)\"");
    for (std::sregex_iterator it(html.begin(), html.end(), dataUri), end; it != end; ++it) {
        const std::string bytes = fromBase64((*it)[2].str());
        pictures.push_back(cv::imdecode(std::vector<unsigned char>(bytes.begin(), bytes.end()), cv::IMREAD_UNCHANGED));
    }
    return pictures;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

std::string pngDeclaring(unsigned width, unsigned height) {
    std::vector<unsigned char> png;
    cv::imencode(".png", cv::Mat(8, 8, CV_8UC3, cv::Scalar(40, 80, 120)), png);
    // The IHDR chunk follows the 8-byte signature: length, type, width and height (big-endian).
    auto putBigEndian = [&png](std::size_t at, std::uint32_t value) {
        for (std::size_t i = 0; i < 4; ++i) png[at + i] = static_cast<unsigned char>(value >> (24 - 8 * i));
    };
    putBigEndian(16, width);
    putBigEndian(20, height);
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 12; i < 12 + 4 + 13; ++i) {
        crc ^= png[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    putBigEndian(29, ~crc);
    return std::string(png.begin(), png.end());
}

std::string asUnprivileged(const std::string& commandLine, const fs::path& work) {
    if (geteuid() != 0) return commandLine;
    std::system(("chown -R 65534:65534 " + shellQuoted(work.string())).c_str());
    return "setpriv --reuid=65534 --regid=65534 --clear-groups sh -c " + shellQuoted(commandLine);
}

std::string whyNotUnprivileged(const fs::path& work) {
    if (geteuid() != 0) return "";
    const std::string check =
        "setpriv --reuid=65534 --regid=65534 --clear-groups sh -c " +
        shellQuoted("test -x " + shellQuoted(LIKENESS_CLI) + " && cd " + shellQuoted(work.string())) + " 2>/dev/null";
    if (std::system(check.c_str()) == 0) return "";
    return std::string("the unprivileged user 65534 cannot run ") + LIKENESS_CLI + " from " + work.string() +
           ": a folder above them is closed to other users";
}

CommandRun runShell(const std::string& commandLine, const fs::path& cwd) {
    const fs::path out = cwd / ".run-out";
    const fs::path err = cwd / ".run-err";
    const std::string wrapped = "cd " + shellQuoted(cwd.string()) + " && (" + commandLine + ") </dev/null >" +
                                shellQuoted(out.string()) + " 2>" + shellQuoted(err.string());
    const int raw = std::system(wrapped.c_str());
    CommandRun run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = readFile(out);
    run.err = readFile(err);
    fs::remove(out);
    fs::remove(err);
    return run;
}

ServeProcess::ServeProcess(const fs::path& work, const std::string& arguments,
                           const std::vector<std::string>& environment, unsigned long long addressSpaceBytes)
    : errFile(work / ".serve-err") {
    int output[2];
    if (pipe(output) != 0) return;
    std::vector<std::string> words = {LIKENESS_CLI, "--home", "home", "serve"};
    if (arguments.find("--listen") == std::string::npos) words.insert(words.end(), {"--listen", "127.0.0.1:0"});
    std::istringstream split(arguments);
    for (std::string word; split >> word;) words.push_back(word);
    pid = fork();
    if (pid == 0) {
        dup2(output[1], STDOUT_FILENO);
        close(output[0]);
        close(output[1]);
        const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(err, STDERR_FILENO);
        const int in = open("/dev/null", O_RDONLY);
        dup2(in, STDIN_FILENO);
        if (chdir(work.c_str()) != 0) _exit(127);
        for (const std::string& entry : environment) putenv(const_cast<char*>(entry.c_str()));
        if (addressSpaceBytes > 0) {
            const rlimit limit{addressSpaceBytes, addressSpaceBytes};
            if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(127);
        }
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(output[1]);
    // The line is printed once the socket is bound, so a connection made after it is accepted.
    char c = 0;
    while (read(output[0], &c, 1) == 1 && c != '\n') line += c;
    close(output[0]);
    std::smatch address;
    if (std::regex_search(line, address, std::regex("^listening on http://.*:([0-9]+) \\(home ")))
        listeningPort = std::stoi(address[1].str());
}

ServeProcess::~ServeProcess() {
    if (pid > 0) stop(SIGKILL);
}

int ServeProcess::stop(int signal, std::chrono::milliseconds limit) {
    if (pid <= 0) return -1;
    kill(pid, signal);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int raw = 0;
    while (waitpid(pid, &raw, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &raw, 0);
            pid = -1;
            return -2;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid = -1;
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

std::string ServeProcess::standardError() const {
    return readFile(errFile);
}

RawConnection::RawConnection(int port) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        fd = -1;
    }
}

RawConnection::~RawConnection() {
    if (fd >= 0) close(fd);
}

bool RawConnection::send(const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
        const ssize_t put = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (put <= 0) return false;
        sent += static_cast<std::size_t>(put);
    }
    return true;
}

namespace {

// How many whole answers text holds, each a head and as many body bytes as its Content-Length says.
std::size_t wholeAnswers(const std::string& text) {
    std::size_t count = 0;
    for (std::size_t at = 0;;) {
        const std::size_t headEnd = text.find("\r\n\r\n", at);
        if (headEnd == std::string::npos) return count;
        std::smatch length;
        const std::string head = text.substr(at, headEnd - at);
        const std::size_t body = std::regex_search(head, length, std::regex("\r\n[Cc]ontent-[Ll]ength: *([0-9]+)"))
                                     ? std::stoul(length[1].str())
                                     : 0;
        if (text.size() < headEnd + 4 + body) return count;
        // An interim 100 Continue is no answer.
        if (head.compare(9, 3, "100") != 0) ++count;
        at = headEnd + 4 + body;
    }
}

// Waits up to the deadline for fd to have something to read; false when time ran out.
bool readableBefore(int fd, std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd wanted{fd, POLLIN, 0};
    return poll(&wanted, 1, static_cast<int>(left.count())) > 0;
}

}  // namespace

std::string RawConnection::receive(std::chrono::milliseconds timeout, std::size_t answers) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string text;
    char buffer[65536];
    while ((text.empty() || wholeAnswers(text) < answers) && readableBefore(fd, deadline)) {
        const ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
        if (got <= 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

bool RawConnection::closedWithin(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[65536];
    while (readableBefore(fd, deadline)) {
        if (recv(fd, buffer, sizeof(buffer), 0) <= 0) return true;
    }
    return false;
}

std::vector<int> answerStatuses(const std::string& text) {
    std::vector<int> statuses;
    const std::regex statusLine("HTTP/1\\.[01] ([0-9]{3}) ");
    for (std::sregex_iterator match(text.begin(), text.end(), statusLine), end; match != end; ++match) {
        const int status = std::stoi((*match)[1].str());
        if (status != 100) statuses.push_back(status);
    }
    return statuses;
}

void CliTest::SetUp() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    work = fs::temp_directory_path() / ("likeness-cli-" + std::string(info->name()) + "-" + std::to_string(getpid()));
    fs::remove_all(work);
    fs::create_directories(work);
    home = work / "home";
    pics = work / "pics";
    const CommandRun made = runShell(shellQuoted(MAKE_TEST_PICTURES) + " pics 6", work);
    ASSERT_EQ(made.status, 0) << made.err;
    fs::create_directories(pics / "sub");
    fs::copy_file(pics / "scene0.jpg", pics / "sub" / "scene0.jpg");
    std::ofstream(pics / "notes.txt") << "not a picture\n";
    const CommandRun init = likeness("init --model " + shellQuoted(LIKENESS_TEST_MODEL_DIR) + " home");
    ASSERT_EQ(init.status, 0) << init.err;
}

void CliTest::TearDown() {
    if (!HasFailure()) fs::remove_all(work);
}

CommandRun CliTest::likeness(const std::string& arguments) const {
    return runShell(shellQuoted(LIKENESS_CLI) + " --home home " + arguments, work);
}
