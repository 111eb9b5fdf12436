// A child adds pictures, by path and by URL, and is killed with SIGKILL at a random moment; after
// each kill a fresh module must load every picture the child was told was added, and every record
// it loads must be whole: its copy decodes, and its vector is that picture's.
// LIKENESS_CRASH_KILLS sets the number of kills (50; `make stress` runs more).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "CollectionChecks.h"
#include "LocalServer.h"
#include "TestSupport.h"
#include "classifier/VnnClassifier.h"
#include "module/FeatureClassifier.h"
#include "module/FeatureContract.h"
#include "module/PictureDecoder.h"

namespace {

constexpr int kSeeds = 6;

int killsWanted() {
    const char* wanted = std::getenv("LIKENESS_CRASH_KILLS");
    return wanted != nullptr ? std::atoi(wanted) : 50;
}

std::string pngOf(int seed) {
    std::vector<unsigned char> bytes;
    cv::imencode(".png", makePicture(seed, cv::Size(200, 150)), bytes);
    return std::string(bytes.begin(), bytes.end());
}

// Names are "<round>-<n>-<seed>.png": the seed says which picture a record must describe.
int seedOfName(const std::string& name) {
    return std::stoi(name.substr(name.rfind('-') + 1));
}

void tell(int report, const std::string& line) {
    if (write(report, line.data(), line.size()) != static_cast<ssize_t>(line.size())) std::_Exit(1);
}

// The child: adds pictures until it is killed, telling the parent about each add only once it has
// returned 0. Every third picture comes by URL.
// Each child serves its own URLs: a fork while a server thread runs could copy a lock that thread
// holds (the allocator's, the sanitizers') into a child that then waits for it for ever.
[[noreturn]] void addUntilKilled(int round, int report) {
    LocalServer server;
    server.routes().Get(R"(/seed/([^/]+))", [](const httplib::Request& request, httplib::Response& response) {
        response.set_content(pngOf(seedOfName(request.matches[1])), "image/png");
    });
    server.start();
    auto module = startModule();
    tell(report, "ready\n");
    for (int n = 0;; ++n) {
        const std::string name =
            std::to_string(round) + "-" + std::to_string(n) + "-" + std::to_string(n % kSeeds) + ".png";
        int result = 0;
        if (n % 3 == 2) {
            result = module->addAUrlToDB(server.url("/seed/" + name), "pics/");
        } else {
            writeFile("in/" + name, pngOf(n % kSeeds));
            result = module->addAPicToDB("in/" + name, "pics/");
        }
        if (result == 0) tell(report, "pics/" + name + "\n");
    }
}

// Reads from fd until `until` has arrived (or, with an empty `until`, to the end).
std::string readUntil(int fd, const std::string& until, std::string text = "") {
    char buffer[4096];
    while (until.empty() || text.find(until) == std::string::npos) {
        const ssize_t got = read(fd, buffer, sizeof(buffer));
        if (got <= 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

bool sameFeature(const std::vector<float>& loaded, const std::vector<float>& expected) {
    if (loaded.size() != expected.size()) return false;
    for (std::size_t i = 0; i < loaded.size(); ++i) {
        // Six significant digits in the file.
        if (std::fabs(loaded[i] - expected[i]) > 1e-5f * std::fabs(expected[i])) return false;
    }
    return true;
}

}  // namespace

TEST(CrashConsistency, AKilledAddLosesNothingReportedAndLeavesNothingCorrupt) {
    TempHome home;
    std::filesystem::create_directories("in");
    std::filesystem::create_directories("pics");
    VnnClassifier classifier = likeness::makeFeatureClassifier(likeness::kModelNetPath, likeness::kModelWeightsPath);
    std::vector<std::vector<float>> expected(kSeeds);
    for (int seed = 0; seed < kSeeds; ++seed) {
        const std::string png = pngOf(seed);
        classifier.extract(likeness::decodePicture(std::vector<unsigned char>(png.begin(), png.end()), "seed").pixels,
                           expected[static_cast<std::size_t>(seed)], likeness::kFeatureLayer);
    }

    std::mt19937 random(20240601);
    std::set<std::string> reported;
    const int kills = killsWanted();
    for (int round = 0; round < kills && !HasFailure(); ++round) {
        int pipeEnds[2];
        ASSERT_EQ(pipe(pipeEnds), 0);
        const pid_t child = fork();
        if (child == 0) {
            close(pipeEnds[0]);
            addUntilKilled(round, pipeEnds[1]);
        }
        close(pipeEnds[1]);
        std::string told = readUntil(pipeEnds[0], "ready\n");
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 40000));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        told = readUntil(pipeEnds[0], "", told);
        close(pipeEnds[0]);
        for (std::size_t at = told.find("ready\n") + 6; at < told.size();) {
            const std::size_t end = told.find('\n', at);
            if (end == std::string::npos) break;  // cut off by the kill: not reported
            reported.insert(told.substr(at, end - at));
            at = end + 1;
        }

        auto restarted = startModule();
        const FeatureMap& loaded = restarted->features();
        for (const std::string& key : reported) EXPECT_EQ(loaded.count(key), 1u) << "round " << round << ": " << key;
        for (const auto& [key, feature] : loaded) {
            const std::string bytes = readFile(key);
            EXPECT_TRUE(likeness::decodePicture(std::vector<unsigned char>(bytes.begin(), bytes.end()), key).usable())
                << "round " << round << ": the copy of " << key;
            EXPECT_TRUE(sameFeature(feature, expected[static_cast<std::size_t>(seedOfName(key))]))
                << "round " << round << ": the record of " << key;
        }
    }
    EXPECT_GT(reported.size(), 0u) << "some adds completed before their kill";
}
