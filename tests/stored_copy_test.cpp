// The stored copy of a picture: the source's own bytes unless the key asks for another format,
// synced before its record is appended, and all or nothing when a file call fails or the disk is full.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "CollectionChecks.h"
#include "FailingFileCalls.h"
#include "LocalServer.h"
#include "TestSupport.h"
#include "module/PictureStore.h"

namespace fs = std::filesystem;

namespace {

using Call = FailingFileCalls::Call;

std::string encoded(const std::string& extension, const cv::Mat& picture, const std::vector<int>& parameters = {}) {
    std::vector<unsigned char> bytes;
    cv::imencode(extension, picture, bytes, parameters);
    return std::string(bytes.begin(), bytes.end());
}

// Serves /p/<name> with the bytes given for name.
class BytesServer : public LocalServer {
public:
    explicit BytesServer(std::map<std::string, std::string> bodies) : bodies(std::move(bodies)) {
        routes().Get(R"(/p/([^/]+))", [this](const httplib::Request& request, httplib::Response& response) {
            response.set_content(this->bodies.at(request.matches[1]), "application/octet-stream");
        });
        start();
    }

private:
    std::map<std::string, std::string> bodies;
};

// One way of adding the picture whose stored copy must end up as `stored` at `key`.
struct AddCase {
    std::string name;
    std::function<int(ImplIModule&)> add;
    std::string key;
    std::string stored;
};

// Remembers which files were synced, and what was true when the copy was renamed over its key
// and when the key's folder was synced after that.
class WatchingFileCalls : public FileCalls {
public:
    WatchingFileCalls(std::string key, std::string folder) : key(std::move(key)), folder(std::move(folder)) {}

    bool copySyncedBeforeRename = false;
    bool recordWrittenBeforeRename = true;
    bool folderSyncedAfterRename = false;
    bool recordWrittenBeforeFolderSync = true;

    int open(const char* path, int flags, mode_t mode) override {
        const int fd = FileCalls::open(path, flags, mode);
        if (fd >= 0) paths[fd] = path;
        return fd;
    }
    int fsync(int fd) override {
        const int result = FileCalls::fsync(fd);
        if (result == 0) synced.insert(paths[fd]);
        if (result == 0 && renamed && paths[fd] == folder && !folderSyncedAfterRename) {
            folderSyncedAfterRename = true;
            recordWrittenBeforeFolderSync = recordWritten();
        }
        return result;
    }
    int close(int fd) override {
        paths.erase(fd);
        return FileCalls::close(fd);
    }
    int rename(const char* from, const char* to) override {
        if (to == key) {
            renamed = true;
            copySyncedBeforeRename = synced.count(from) != 0;
            recordWrittenBeforeRename = recordWritten();
        }
        return FileCalls::rename(from, to);
    }

private:
    bool recordWritten() const { return readFile("feat.txt").find(key + "|") != std::string::npos; }

    std::string key;
    std::string folder;
    std::map<int, std::string> paths;
    std::set<std::string> synced;
    bool renamed = false;
};

}  // namespace

TEST(StoredCopy, IsTheSourcesOwnBytesUnlessTheKeyAsksForAnotherFormatAndKeepsItsDate) {
    TempHome home;
    fs::create_directories("in");
    fs::create_directories("pics");
    const cv::Mat photo = makePicture(4, cv::Size(320, 240));
    cv::Mat grey;
    cv::extractChannel(photo, grey, 0);
    const std::string jpeg = encoded(".jpg", photo, {cv::IMWRITE_JPEG_QUALITY, 97});
    const std::map<std::string, std::string> sources{
        {"photo.jpg", jpeg},
        {"UPPER.JPEG", jpeg},
        {"no-extension", jpeg},
        {"shot.webp", encoded(".webp", photo)},
        {"scan.ppm", encoded(".pgm", grey)},  // a grey PNM under a colour PNM name: the same decoder
        {"notes.txt", encoded(".png", photo)},
    };
    // A photo of years ago, added now: its copy must not look like a new picture.
    const fs::file_time_type taken = fs::last_write_time(".") - std::chrono::hours(24 * 365 * 9);
    auto module = startModule();
    for (const auto& [name, bytes] : sources) {
        writeFile("in/" + name, bytes);
        fs::last_write_time("in/" + name, taken);
        ASSERT_EQ(module->addAPicToDB("in/" + name, "pics/"), 0) << name;
        EXPECT_TRUE(readFile("pics/" + name) == bytes) << name << " is stored byte for byte";
        EXPECT_EQ(fs::last_write_time("pics/" + name), taken) << name;
    }
    writeFile("in/mislabelled.png", jpeg);
    fs::last_write_time("in/mislabelled.png", taken);
    ASSERT_EQ(module->addAPicToDB("in/mislabelled.png", "pics/"), 0);
    EXPECT_EQ(fs::last_write_time("pics/mislabelled.png"), taken) << "a re-encoded copy keeps the date too";
    const std::string reencoded = readFile("pics/mislabelled.png");
    EXPECT_EQ(reencoded.rfind("\x89PNG", 0), 0u) << "a JPEG under a .png key is stored as a PNG";
    EXPECT_EQ(cv::imread("pics/mislabelled.png").size(), photo.size());
    EXPECT_EQ(module->features().at("pics/mislabelled.png"), module->features().at("pics/photo.jpg"))
        << "both copies are the same pixels";
}

TEST(StoredCopy, SourcesAreReadOnlyFromRegularFilesWithinTheLimit) {
    TempHome home(false);
    writeFile("small.png", std::string(100, 'x'));
    std::vector<unsigned char> bytes;
    EXPECT_EQ(readPictureFile("small.png", bytes, 100), "");
    EXPECT_EQ(bytes.size(), 100u);
    EXPECT_EQ(readPictureFile("small.png", bytes, 99), "larger than 99 bytes");
    EXPECT_TRUE(bytes.empty());
    fs::create_directories("folder.png");
    EXPECT_EQ(readPictureFile("folder.png", bytes), "not a regular file");
    ASSERT_EQ(mkfifo("pipe.png", 0600), 0);
    EXPECT_EQ(readPictureFile("pipe.png", bytes), "not a regular file") << "a FIFO without a writer neither hangs";
    EXPECT_EQ(readPictureFile("missing.png", bytes), "no such file");
}

TEST(StoredCopy, IsSyncedInPlaceBeforeItsRecordIsAppended) {
    TempHome home;
    const std::string jpeg = encoded(".jpg", makePicture(6));
    BytesServer server({{"url.jpg", jpeg}});
    fs::create_directories("pics");
    writeFile("local.jpg", jpeg);
    auto module = startModule();
    const std::vector<AddCase> adds{
        {"local", [](ImplIModule& m) { return m.addAPicToDB("local.jpg", "pics/"); }, "pics/local.jpg", jpeg},
        {"url", [&](ImplIModule& m) { return m.addAUrlToDB(server.url("/p/url.jpg"), "pics/"); }, "pics/url.jpg", jpeg},
        {"batch", [&](ImplIModule& m) { return m.addUrlToDB({server.url("/p/url.jpg")}, "batch/") - 1; },
         "batch/url.jpg", jpeg},
    };
    fs::create_directories("batch");
    for (const AddCase& add : adds) {
        WatchingFileCalls calls(add.key, fs::path(add.key).parent_path().string());
        {
            ScopedFileCalls installed(calls);
            ASSERT_EQ(add.add(*module), 0) << add.name;
        }
        EXPECT_TRUE(calls.copySyncedBeforeRename) << add.name;
        EXPECT_TRUE(calls.folderSyncedAfterRename) << add.name;
        EXPECT_FALSE(calls.recordWrittenBeforeRename) << add.name;
        EXPECT_FALSE(calls.recordWrittenBeforeFolderSync) << add.name;
        expectAddedWholly(*module, add.key, add.stored);
    }
}

// Every file call of an add is made to fail in turn; whatever the add returns, the map, the disk
// and a restart must agree, and a copy is never partial.
TEST(StoredCopy, EveryFailingFileCallLeavesTheCollectionConsistent) {
    const std::string jpeg = encoded(".jpg", makePicture(7, cv::Size(320, 240)));
    BytesServer server({{"photo.jpg", jpeg}});
    const std::string before = "the user's own file, not yet added";
    const std::vector<AddCase> adds{
        {"local", [](ImplIModule& m) { return m.addAPicToDB("in/photo.jpg", "pics/"); }, "pics/photo.jpg", jpeg},
        {"url", [&](ImplIModule& m) { return m.addAUrlToDB(server.url("/p/photo.jpg"), "pics/"); }, "pics/photo.jpg",
         jpeg},
    };
    const auto attempt = [&](const AddCase& add, FailingFileCalls& calls, int& result) {
        fs::create_directories("in");
        fs::create_directories("pics");
        writeFile("in/photo.jpg", jpeg);
        writeFile(add.key, before);
        auto module = startModule();
        calls.maxWriteBytes = 1000;
        {
            ScopedFileCalls installed(calls);
            result = add.add(*module);
        }
        if (result == 0) {
            expectAddedWholly(*module, add.key, add.stored);
        } else {
            EXPECT_TRUE(result == -3 || result == -4) << result;
            // Only a failed sync of the folder after the rename leaves the new copy at the key.
            expectNotAdded(*module, add.key, readFile(add.key) == add.stored ? add.stored : before);
        }
    };
    for (const AddCase& add : adds) {
        FailingFileCalls counting;
        int result = 0;
        {
            TempHome home;
            attempt(add, counting, result);
            ASSERT_EQ(result, 0) << add.name;
        }
        for (Call kind : {Call::Open, Call::Write, Call::Read, Call::Fsync, Call::Close, Call::Rename}) {
            for (std::size_t nth = 1; nth <= counting.count(kind); ++nth) {
                SCOPED_TRACE(add.name + ", failing call " + std::to_string(static_cast<int>(kind)) + " #" +
                             std::to_string(nth));
                TempHome home;
                FailingFileCalls failing(kind, nth, ENOSPC);
                attempt(add, failing, result);
                if (kind == Call::Write || kind == Call::Fsync || kind == Call::Rename) {
                    EXPECT_NE(result, 0) << "no write, sync or rename of a copy is optional";
                }
            }
        }
        EXPECT_GE(counting.count(Call::Write), 5u) << add.name << ": the copy was written in several parts";
    }
}

// A real full disk: a small tmpfs in a mount namespace of a child when the system allows it, or
// else a file size limit in a child. The child reports what it saw.
TEST(StoredCopy, AFullDiskRefusesTheAddAndLeavesNothing) {
    TempHome home;
    cv::Mat noise(240, 320, CV_8UC3);
    cv::randu(noise, 0, 256);
    const std::string png = encoded(".png", noise);  // about 230 KB: larger than either limit
    writeFile("local.png", png);
    const ChildOutcome outcome = runInChild([&] {
        fs::create_directories("full");
        const bool tmpfs = unshare(CLONE_NEWNS) == 0 &&
                           mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                           mount("likeness-test", "full", "tmpfs", 0, "size=64k") == 0;
        if (tmpfs) {
            writeFile("full/filler", std::string(256 << 10, 'f'));  // stops where the file system is full
        } else {
            std::signal(SIGXFSZ, SIG_IGN);
            const rlimit small{16 << 10, 16 << 10};
            setrlimit(RLIMIT_FSIZE, &small);
        }
        // The server starts in the child, after the mount namespace (which a process with threads
        // cannot enter): a fork while its thread ran could copy a lock that thread held (the
        // allocator's, the sanitizers') into a child that would then wait for it for ever.
        BytesServer server({{"url.png", png}});
        auto module = startModule();
        const int local = module->addAPicToDB("local.png", "full/");
        const int url = module->addAUrlToDB(server.url("/p/url.png"), "full/");
        std::string files;
        for (const auto& entry : fs::directory_iterator("full")) files += entry.path().filename().string() + " ";
        std::printf("%s: local %d, url %d, in memory %zu, after a restart %zu, files: %s\n", tmpfs ? "tmpfs" : "rlimit",
                    local, url, module->features().size(), startModule()->features().size(), files.c_str());
    });
    ASSERT_EQ(outcome.exitStatus, 0);
    const std::string report = outcome.standardOutput.substr(outcome.standardOutput.find(':') + 2);
    const bool tmpfs = outcome.standardOutput.rfind("tmpfs", 0) == 0;
    EXPECT_EQ(report,
              std::string("local -4, url -4, in memory 0, after a restart 0, files: ") + (tmpfs ? "filler \n" : "\n"))
        << outcome.standardOutput;
}
