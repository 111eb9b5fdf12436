// What durability costs an add: addAPicToDB timed as it is (every file it writes synced) and with
// the file calls' fsync made a no-op, picture by picture in turn, in a temporary home under --dir
// (the file system being measured; the working directory by default). The pictures are synthetic
// 640 x 480 JPEGs of about 100 KB.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "module/FileIo.h"
#include "module/Module.h"

namespace fs = std::filesystem;

namespace {

const char* const kUsage =
    "usage: bench_add [--model DIR] [--dir DIR] [--pictures N]\n"
    "  --model DIR    directory holding v0.net and v0.dat (model)\n"
    "  --dir DIR      where the temporary home is made: the file system measured (.)\n"
    "  --pictures N   adds timed each way (40)\n";

// The system's calls, except that nothing is synced.
class WithoutSync : public FileCalls {
public:
    int fsync(int) override { return 0; }
};

cv::Mat syntheticPhoto(std::mt19937& random) {
    cv::Mat photo(480, 640, CV_8UC3);
    cv::randu(photo, 0, 256);
    cv::GaussianBlur(photo, photo, cv::Size(0, 0), 3);
    for (int shape = 0; shape < 20; ++shape) {
        const cv::Point centre(static_cast<int>(random() % 640), static_cast<int>(random() % 480));
        cv::circle(photo, centre, 10 + static_cast<int>(random() % 120),
                   cv::Scalar(random() % 256, random() % 256, random() % 256), cv::FILLED);
    }
    return photo;
}

struct Timing {
    double medianMs;
    double meanMs;
};

Timing summarise(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    double total = 0;
    for (double one : ms) total += one;
    return {ms[ms.size() / 2], total / static_cast<double>(ms.size())};
}

}  // namespace

int main(int argc, char** argv) {
    fs::path model = "model";
    fs::path dir = ".";
    int pictures = 40;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (i + 1 >= argc || (flag != "--model" && flag != "--dir" && flag != "--pictures")) {
            std::cerr << kUsage;
            return 2;
        }
        const std::string value = argv[++i];
        if (flag == "--model") model = value;
        if (flag == "--dir") dir = value;
        if (flag == "--pictures") pictures = std::max(1, std::stoi(value));
    }
    model = fs::absolute(model);
    std::string pattern = (fs::absolute(dir) / "bench-add-XXXXXX").string();
    if (mkdtemp(&pattern[0]) == nullptr) {
        std::cerr << "bench_add: cannot make a folder in " << dir << "\n";
        return 2;
    }
    const fs::path home = pattern;
    const fs::path previous = fs::current_path();
    fs::create_directories(home / "model");
    for (const char* name : {"v0.net", "v0.dat"}) fs::copy_file(model / name, home / "model" / name);
    fs::current_path(home);
    fs::create_directories("in");
    for (const char* folder : {"synced", "unsynced"}) fs::create_directories(folder);
    std::mt19937 random(7);
    for (int i = 0; i < pictures; ++i) {
        cv::imwrite("in/" + std::to_string(i) + ".jpg", syntheticPhoto(random), {cv::IMWRITE_JPEG_QUALITY, 90});
    }

    ImplIModule* synced = InitialModule("synced.txt");
    ImplIModule* unsynced = InitialModule("unsynced.txt");
    WithoutSync withoutSync;
    std::vector<double> syncedMs;
    std::vector<double> unsyncedMs;
    const auto timeAdd = [](IModule& module, const std::string& source, const char* folder) {
        const auto start = std::chrono::steady_clock::now();
        if (module.addAPicToDB(source, std::string(folder) + "/") != 0) throw std::runtime_error("add failed");
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    };
    for (int i = 0; i < pictures; ++i) {
        const std::string source = "in/" + std::to_string(i) + ".jpg";
        syncedMs.push_back(timeAdd(*synced, source, "synced"));
        ScopedFileCalls installed(withoutSync);
        unsyncedMs.push_back(timeAdd(*unsynced, source, "unsynced"));
    }
    ExitModule(synced);
    ExitModule(unsynced);
    fs::current_path(previous);
    fs::remove_all(home);

    const Timing withSync = summarise(syncedMs);
    const Timing noSync = summarise(unsyncedMs);
    std::printf("addAPicToDB, %d pictures, in %s\n", pictures, fs::absolute(dir).c_str());
    std::printf("  synced:        median %.2f ms, mean %.2f ms per add\n", withSync.medianMs, withSync.meanMs);
    std::printf("  fsync skipped: median %.2f ms, mean %.2f ms per add\n", noSync.medianMs, noSync.meanMs);
    std::printf("  cost of the syncs: median %.2f ms per add\n", withSync.medianMs - noSync.medianMs);
    return 0;
}
