// Adding pictures from disk and by URL, and searching them, against a real HTTP server on
// 127.0.0.1. Covers the result codes, the exact log lines, restarts and the refused keys.
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>
#include <opencv2/imgcodecs.hpp>

#include "CollectionChecks.h"
#include "FailingFileCalls.h"
#include "LocalServer.h"
#include "TestSupport.h"
#include "log/EasyLog.h"
#include "module/Collection.h"
#include "module/Distance.h"
#include "module/Download.h"
#include "module/FeatureContract.h"
#include "module/FeatureFileRewrite.h"
#include "module/FileIo.h"
#include "module/Module.h"
#include "module/WriterLock.h"

namespace fs = std::filesystem;

namespace {

std::string jpegBytes(int seed) {
    std::vector<unsigned char> bytes;
    cv::imencode(".jpg", makePicture(seed), bytes);
    return std::string(bytes.begin(), bytes.end());
}

// Serves pictures and the awkward answers a download must survive.
class PictureServer : public LocalServer {
public:
    PictureServer() {
        httplib::Server& server = routes();
        server.Get(R"(/pic/(\d+)/([^/]+))", [](const httplib::Request& request, httplib::Response& response) {
            response.set_content(jpegBytes(std::stoi(request.matches[1])), "image/jpeg");
        });
        server.Get("/created/cat.jpg", [](const httplib::Request&, httplib::Response& response) {
            response.status = 201;
            response.set_content(jpegBytes(77), "image/jpeg");
        });
        server.Get("/missing/dog.jpg", [](const httplib::Request&, httplib::Response& response) {
            response.status = 404;
            response.set_content("no such picture", "text/plain");
        });
        server.Get("/moved/bird.jpg", [](const httplib::Request&, httplib::Response& response) {
            response.set_redirect("/pic/55/bird.jpg");
        });
        server.Get("/page/index.jpg", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("<html><body>not a picture</body></html>", "text/html");
        });
        server.Get("/empty/void.jpg", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("", "image/jpeg");
        });
        server.Get("/escape/passwd.jpg", [](const httplib::Request&, httplib::Response& response) {
            response.set_redirect("file:///etc/passwd");
        });
        server.Get("/stall/slow.jpg", [](const httplib::Request&, httplib::Response& response) {
            response.set_chunked_content_provider("image/jpeg", [](size_t, httplib::DataSink& sink) {
                std::this_thread::sleep_for(std::chrono::milliseconds(3000));
                sink.done();
                return true;
            });
        });
        server.Get("/img/cat.jpg", [](const httplib::Request& request, httplib::Response& response) {
            response.set_content(jpegBytes(request.get_param_value("size") == "big" ? 91 : 90), "image/jpeg");
        });
        server.Get("/huge/wall.png", [](const httplib::Request&, httplib::Response& response) {
            static const std::string png = [] {
                std::vector<unsigned char> bytes;
                cv::imencode(".png", cv::Mat(9500, 9500, CV_8UC3, cv::Scalar(0, 0, 0)), bytes);
                return std::string(bytes.begin(), bytes.end());
            }();
            response.set_content(png, "image/png");
        });
        server.Get("/store/feat.txt", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("overwritten", "text/plain");
        });
        start();
    }
};

using ModulePtr = std::unique_ptr<ImplIModule, void (*)(ImplIModule*)>;
ModulePtr openModule(const std::string& path = "feat.txt") {
    return {InitialModule(path), ExitModule};
}

std::size_t countLines(const std::string& text) {
    std::size_t lines = 0;
    for (char c : text) lines += c == '\n';
    return lines;
}

// The messages of a log excerpt, without the date, time and level columns.
std::vector<std::string> messages(const std::string& log) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at < log.size()) {
        const std::size_t end = log.find('\n', at);
        const std::string line = log.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (!line.empty()) out.push_back(line.size() > 36 ? line.substr(36) : line);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return out;
}

}  // namespace

TEST(Ingestion, AddsFromDiskAndByUrlAndFindsEachPictureFirst) {
    TempHome home;
    PictureServer server;
    fs::create_directories("in");
    fs::create_directories("pics");
    auto module = openModule();
    std::vector<std::string> keys;
    for (int seed = 0; seed < 6; ++seed) {
        const std::string source = writePicture("in/p" + std::to_string(seed) + ".png", seed);
        ASSERT_EQ(module->addAPicToDB(source, "pics/"), 0);
        keys.push_back("pics/p" + std::to_string(seed) + ".png");
    }
    for (int seed = 6; seed < 10; ++seed) {
        const std::string name = "u" + std::to_string(seed) + ".jpg";
        ASSERT_EQ(module->addAUrlToDB(server.url("/pic/" + std::to_string(seed) + "/" + name), "pics/"), 0);
        keys.push_back("pics/" + name);
    }
    EXPECT_EQ(countLines(readFile("feat.txt")), 10u);
    std::vector<std::string> result{"stale"};
    for (const std::string& key : keys) {
        ASSERT_EQ(module->search(key, 1, result, 3), 3);
        EXPECT_EQ(result.front(), key);
    }
    EXPECT_EQ(module->search(keys[7], 1, result, 20), 10);
    EXPECT_EQ(module->search(keys[7], 1, result, -1), 10);
    EXPECT_EQ(result.front(), keys[7]);
    EXPECT_EQ(module->search(keys[7], 1, result, 0), 0);
    EXPECT_TRUE(result.empty());
    EXPECT_EQ(module->search(server.url("/pic/3/any.jpg"), 0, result, 1), 1);
    EXPECT_EQ(result, std::vector<std::string>{"pics/p3.png"});

    result = {"stale"};
    EXPECT_EQ(module->search("in/none.png", 1, result, 5), -1);
    EXPECT_TRUE(result.empty());
    result = {"stale"};
    EXPECT_EQ(module->search(server.url("/missing/dog.jpg"), 0, result, 5), -2);
    EXPECT_TRUE(result.empty());
    result = {"stale"};
    EXPECT_EQ(module->search(server.url("/page/index.jpg"), 0, result, 5), -3);
    EXPECT_TRUE(result.empty());

    const FeatureMap before = module->features();
    module.reset();
    auto restarted = openModule();
    ASSERT_EQ(restarted->features().size(), 10u);
    for (const auto& entry : before) {
        const std::vector<float>& reloaded = restarted->features().at(entry.first);
        for (std::size_t i = 0; i < reloaded.size(); ++i) {
            ASSERT_NEAR(reloaded[i], entry.second[i], 1e-5 * std::max(1.0f, std::abs(entry.second[i])));
        }
    }
    for (const std::string& key : keys) {
        ASSERT_EQ(restarted->search(key, 1, result, 1), 1);
        EXPECT_EQ(result.front(), key) << "rounding to 6 digits must not change the self-match";
    }
}

TEST(Ingestion, ResultCodesAndTheirExactLogLines) {
    TempHome home;
    PictureServer server;
    auto module = openModule();
    writePicture("cat.png", 1);
    fs::create_directories("pics");

    LogWatch added;
    ASSERT_EQ(module->addAPicToDB("cat.png", "pics/"), 0);
    EXPECT_EQ(messages(added.added()),
              (std::vector<std::string>{" save2featDBBatch(batchfeats, filenames);", "save2featDBBatch !! "}));
    LogWatch duplicate;
    EXPECT_EQ(module->addAPicToDB("elsewhere/cat.png", "pics/"), -1);
    EXPECT_EQ(messages(duplicate.added()),
              std::vector<std::string>{"addAPicToDB-already has this key: key=pics/cat.png"});
    LogWatch undecodable;
    writeFile("notes.png", "plain text");
    EXPECT_EQ(module->addAPicToDB("notes.png", "pics/"), -3);
    EXPECT_EQ(undecodable.added(), "");
    EXPECT_FALSE(fs::exists("pics/notes.png"));

    LogWatch byUrl;
    EXPECT_EQ(module->addAUrlToDB(server.url("/created/cat.jpg"), "pics/"), 0) << "201 counts as success";
    const std::string url = server.url("/created/cat.jpg");
    EXPECT_EQ(messages(byUrl.added()),
              (std::vector<std::string>{"addUrlToDB-download: key=pics/cat.jpg",
                                        "download_jpeg => url=" + url + ", savepath=pics/cat.jpg", "!!! return true",
                                        "  save2featDBBatch(batchfeats, filenames);", "save2featDBBatch !! "}));
    LogWatch failed;
    EXPECT_EQ(module->addAUrlToDB(server.url("/missing/dog.jpg"), "pics/"), -2);
    EXPECT_EQ(messages(failed.added()).back(), "!!! Response code: 404");
    EXPECT_FALSE(fs::exists("pics/dog.jpg")) << "a failed download leaves nothing at its key";
    EXPECT_EQ(module->addAUrlToDB(server.url("/moved/bird.jpg"), "pics/"), 0) << "redirects are followed";
    EXPECT_EQ(module->addAUrlToDB(server.url("/page/index.jpg"), "pics/"), -3);
    EXPECT_EQ(module->addAUrlToDB(server.url("/empty/void.jpg"), "pics/"), -3);
    EXPECT_EQ(module->addAUrlToDB(server.url("/escape/passwd.jpg"), "pics/"), -2) << "file:// is refused";
    EXPECT_EQ(module->addAUrlToDB(server.url("/img/cat.jpg?size=big"), "pics/"), 0);
    EXPECT_TRUE(fs::exists("pics/cat.jpg?size=big"));
    EXPECT_EQ(module->addAUrlToDB(server.url("/pic/3/cat.jpg"), "pics/"), -1) << "same last segment, other server path";
    EXPECT_EQ(module->addAUrlToDB(server.url("/pic/3/"), "pics/"), -4) << "the key is the directory itself";
    EXPECT_EQ(countLines(readFile("feat.txt")), 4u);
    EXPECT_EQ(module->features().size(), 4u);
}

TEST(Ingestion, BatchSkipsFailuresAndAppendsInListOrder) {
    TempHome home;
    PictureServer server;
    fs::create_directories("b");
    auto module = openModule();
    LogWatch log;
    const std::vector<std::string> urls{server.url("/pic/1/one.jpg"), server.url("/missing/dog.jpg"),
                                        server.url("/pic/3/three.jpg"), server.url("/pic/4/one.jpg")};
    EXPECT_EQ(module->addUrlToDB(urls, "b/"), 2);
    const std::string file = readFile("feat.txt");
    ASSERT_EQ(countLines(file), 2u);
    EXPECT_EQ(file.rfind("b/one.jpg|", 0), 0u);
    EXPECT_NE(file.find("\nb/three.jpg|"), std::string::npos);
    const std::string lines = log.added();
    EXPECT_NE(lines.find("addUrlToDB: urls-size=4\n"), std::string::npos);
    EXPECT_NE(lines.find("addUrlToDB-already has this key: i=3, key=b/one.jpg\n"), std::string::npos);
    EXPECT_EQ(lines.find("already has this key: i=1"), std::string::npos);
    EXPECT_EQ(module->addUrlToDB({}, "b/"), 0);
    EXPECT_EQ(countLines(readFile("feat.txt")), 2u);
}

// The outcome of every kind of add says what the code says, and why in words.
TEST(Collection, EveryAddSaysWhatBecameOfItsPictureAndWhy) {
    TempHome home;
    PictureServer server;
    fs::create_directories("pics");
    likeness::Collection collection;
    writePicture("cat.png", 1);
    writeFile("notes.png", "plain text");
    writeFile("bomb.png", pngDeclaring(30000, 30000));
    const auto expectOutcome = [](const likeness::AddOutcome& got, likeness::AddResult result, int code,
                                  const std::string& reason, const std::string& key) {
        EXPECT_EQ(static_cast<int>(got.result), static_cast<int>(result)) << key << ": " << got.reason;
        EXPECT_EQ(got.code, code) << key;
        EXPECT_NE(got.reason.find(reason), std::string::npos) << key << ": " << got.reason;
        EXPECT_EQ(got.reason.empty(), reason.empty()) << key << ": " << got.reason;
        EXPECT_EQ(got.key, key);
    };
    using likeness::AddResult;
    expectOutcome(collection.addFile("cat.png", "pics/"), AddResult::added, 0, "", "pics/cat.png");
    expectOutcome(collection.addFile("cat.png", "pics/"), AddResult::alreadyPresent, -1, "already in the collection",
                  "pics/cat.png");
    expectOutcome(collection.addFile("notes.png", "pics/"), AddResult::notDecodable, -3, "not a picture",
                  "pics/notes.png");
    expectOutcome(collection.addFile("bomb.png", "pics/"), AddResult::notDecodable, -3,
                  "30000 x 30000 pixels, over the limit", "pics/bomb.png");
    expectOutcome(collection.addFile("absent.png", "pics/"), AddResult::notDecodable, -3, "no such file",
                  "pics/absent.png");
    expectOutcome(collection.addFile("elsewhere/feat.txt", ""), AddResult::keyRefused, -4,
                  "the key is refused: it names the feature file", "feat.txt");
    expectOutcome(collection.addUrl(server.url("/missing/dog.jpg"), "pics/"), AddResult::downloadFailed, -2,
                  "the server answered HTTP 404", "pics/dog.jpg");
    expectOutcome(collection.addUrl(server.url("/escape/passwd.jpg"), "pics/"), AddResult::downloadFailed, -2,
                  "scheme refused", "pics/passwd.jpg");
    expectOutcome(collection.addUrl(server.url("/page/index.jpg"), "pics/"), AddResult::notDecodable, -3,
                  "not a picture", "pics/index.jpg");

    const std::string jpeg = jpegBytes(8);
    const std::vector<unsigned char> bytes(jpeg.begin(), jpeg.end());
    const likeness::AddOutcome unnamed = collection.addBytes(bytes, "pics/");
    EXPECT_TRUE(std::regex_match(unnamed.key, std::regex("pics/upload-[0-9a-f]{16}\\.jpg"))) << unnamed.key;
    EXPECT_EQ(readFile(unnamed.key), jpeg) << "the bytes themselves are stored";
    expectOutcome(collection.addBytes(bytes, "pics/"), AddResult::alreadyPresent, -1, "already", unnamed.key);
    expectOutcome(collection.addBytes(bytes, "pics/", "named.jpg"), AddResult::added, 0, "", "pics/named.jpg");

    std::vector<likeness::AddOutcome> outcomes;
    EXPECT_EQ(collection.addUrls({server.url("/pic/1/one.jpg"), server.url("/missing/dog.jpg"),
                                  server.url("/pic/2/one.jpg"), server.url("/page/index.jpg")},
                                 "pics/", outcomes),
              1u);
    ASSERT_EQ(outcomes.size(), 4u);
    expectOutcome(outcomes[0], AddResult::added, 0, "", "pics/one.jpg");
    expectOutcome(outcomes[1], AddResult::downloadFailed, -2, "HTTP 404", "pics/dog.jpg");
    expectOutcome(outcomes[2], AddResult::alreadyPresent, -1, "already", "pics/one.jpg");
    expectOutcome(outcomes[3], AddResult::notDecodable, -3, "not a picture", "pics/index.jpg");
    EXPECT_EQ(collection.keys(),
              (std::vector<std::string>{"pics/cat.png", "pics/named.jpg", "pics/one.jpg", unnamed.key}));
}

// The nearest match is the same picture when close enough alone, or when it stands out from the
// next; the others only by their own distance; and a search of one result judges it against the
// next stored picture as a longer search does.
TEST(Collection, SamePictureRuleJudgesTheNearestAgainstTheNext) {
    const float alone = likeness::samePictureBelow();
    const struct {
        std::vector<float> distances;
        std::vector<bool> same;
    } cases[] = {
        {{alone - 0.01f, alone + 0.01f}, {true, false}},
        {{101.0f, 101.7f, 101.71f}, {true, false, false}},
        {{101.0f, 101.5f}, {false, false}},
        {{102.1f, 110.0f}, {false, false}},
        {{101.0f}, {false}},
        {{alone - 0.2f, alone - 0.1f, 104.0f}, {true, true, false}},
    };
    for (const auto& each : cases) {
        std::vector<likeness::Match> matches;
        for (float distance : each.distances) matches.push_back({"", distance, true});  // cleared unless same
        likeness::markSamePictures(matches);
        for (std::size_t i = 0; i < matches.size(); ++i)
            EXPECT_EQ(matches[i].samePicture, each.same[i]) << each.distances[0] << " at " << i;
    }
}

// Near-duplicates by the rule: a pair close enough alone, or a picture's nearest that stands out
// from its next (from either side of the pair); a picture with no other partner has its next at
// the bound or farther.
TEST(Collection, SamePicturePairsJudgeEachPictureAsASearchWithItWould) {
    const std::string a = "a", b = "b", c = "c", d = "d", e = "e", f = "f", g = "g", h = "h", i = "i", j = "j";
    const std::vector<likeness::NearPair> pairs{
        {&a, &b, 101.0f}, {&a, &c, 101.8f}, {&c, &d, 102.3f}, {&e, &f, likeness::samePictureBelow() - 0.1f},
        {&g, &h, 101.5f}, {&h, &i, 101.2f}, {&h, &j, 101.3f}, {&i, &j, 101.25f}};
    std::vector<std::string> kept;
    for (const likeness::NearPair& pair : likeness::samePicturePairs(pairs)) kept.push_back(*pair.first + *pair.second);
    EXPECT_EQ(kept, (std::vector<std::string>{"ab", "ef", "gh"}));
}

// Search's matches carry the distances the ranking compared, bit for bit, and its one forward pass
// gives the query's vector; the four kinds of query agree, and the failures keep IModule's codes.
TEST(Collection, SearchGivesExactDistancesAndTheQueryVectorFromOneForwardPass) {
    TempHome home;
    PictureServer server;
    fs::create_directories("pics");
    likeness::Collection collection;
    for (int seed = 0; seed < 6; ++seed)
        ASSERT_EQ(collection.addFile(writePicture("p" + std::to_string(seed) + ".png", seed), "pics/").code, 0);
    const std::uint64_t before = VnnClassifier::forwardPasses();
    const likeness::SearchOutcome found = collection.searchFile("p2.png", 4, true);
    EXPECT_EQ(VnnClassifier::forwardPasses(), before + 1);
    ASSERT_EQ(found.code, 4);
    ASSERT_EQ(found.matches.size(), 4u);
    EXPECT_EQ(found.matches[0].key, "pics/p2.png");
    EXPECT_EQ(found.matches[0].distance, 100.0f);
    for (const likeness::Match& match : found.matches) {
        const float measured = offsetDistance(*collection.vectorOf(match.key), found.queryVector);
        EXPECT_EQ(std::memcmp(&measured, &match.distance, sizeof(float)), 0) << match.key;
        EXPECT_EQ(match.samePicture, likeness::samePicture(match.distance)) << match.key;
    }
    EXPECT_EQ(found.queryVector, collection.extractFile("p2.png").vector);
    std::vector<std::string> keys;
    EXPECT_EQ(collection.module().search("p2.png", 1, keys, 4), 4);
    const std::string png = readFile("p2.png");
    for (const likeness::SearchOutcome& same :
         {collection.searchVector(found.queryVector, 4),
          collection.searchBytes(std::vector<unsigned char>(png.begin(), png.end()), 4)}) {
        ASSERT_EQ(same.matches.size(), 4u);
        for (std::size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(same.matches[i].key, keys[i]);
            EXPECT_EQ(same.matches[i].distance, found.matches[i].distance);
        }
    }

    const likeness::SearchOutcome missing = collection.searchFile("absent.png", 4);
    EXPECT_EQ(missing.code, -1);
    EXPECT_EQ(missing.status, likeness::QueryStatus::notDecodable);
    EXPECT_EQ(missing.reason, "no such file");
    const likeness::SearchOutcome notFetched = collection.searchUrl(server.url("/missing/dog.jpg"), 4);
    EXPECT_EQ(notFetched.code, -2);
    EXPECT_EQ(notFetched.reason, "the server answered HTTP 404");
    const likeness::SearchOutcome page = collection.searchUrl(server.url("/page/index.jpg"), 4);
    EXPECT_EQ(page.code, -3);
    EXPECT_EQ(page.status, likeness::QueryStatus::downloadNotDecodable);
    EXPECT_TRUE(missing.matches.empty() && notFetched.matches.empty() && page.matches.empty());
}

// One writer per feature file, whoever the host: while another process holds the folder's writer
// lock, adds, removals and compactions write nothing and say why; the process's own lock is shared.
TEST(Collection, RefusesToWriteWhileAnotherProcessHoldsTheWriterLock) {
    TempHome home;
    fs::create_directories("pics");
    likeness::Collection collection;
    ASSERT_EQ(collection.addFile(writePicture("kept.png", 1), "pics/").code, 0);
    writePicture("new.png", 2);
    const std::string before = readFile("feat.txt");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        std::string whyNot;
        const std::optional<likeness::WriterLock> lock = likeness::WriterLock::acquire(".", whyNot);
        const char held = lock ? 'y' : 'n';
        if (write(ready[1], &held, 1) != 1) _exit(1);
        pause();
        _exit(0);
    }
    char held = 0;
    ASSERT_EQ(read(ready[0], &held, 1), 1);
    ASSERT_EQ(held, 'y');
    const likeness::AddOutcome refused = collection.addFile("new.png", "pics/");
    EXPECT_EQ(refused.code, LIKENESS_NOT_STORED);
    EXPECT_NE(refused.reason.find("another likeness process is writing the collection"), std::string::npos)
        << refused.reason;
    EXPECT_FALSE(fs::exists("pics/new.png"));
    const likeness::RemoveOutcome notRemoved = collection.remove({"pics/kept.png"});
    EXPECT_EQ(notRemoved.code, LIKENESS_NOT_REWRITTEN);
    EXPECT_EQ(collection.size(), 1u);
    RewriteCounts counts;
    EXPECT_EQ(compactFeatureFile("feat.txt", likeness::kFeatureDim, counts), RewriteOutcome::failed);
    EXPECT_EQ(readFile("feat.txt"), before);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    close(ready[0]);
    close(ready[1]);

    std::string whyNot;
    const std::optional<likeness::WriterLock> ours = likeness::WriterLock::acquire(".", whyNot);
    ASSERT_TRUE(ours) << whyNot;
    EXPECT_EQ(collection.addFile("new.png", "pics/").code, 0) << "the process's own lock does not stop it";
    EXPECT_EQ(compactFeatureFile("feat.txt", likeness::kFeatureDim, counts), RewriteOutcome::rewritten);
}

#if !defined(__SANITIZE_ADDRESS__)
// An address-space limit makes decoding a 9500 x 9500 picture (within the pixel budget) fail inside
// OpenCV; what the batch had collected before must still reach the file. (AddressSanitizer cannot
// run under such a limit.)
TEST(Ingestion, BatchKeepsItsRecordsWhenAnExceptionEndsIt) {
    TempHome home;
    PictureServer server;
    const ChildOutcome outcome = runInChild([&server] {
        auto module = openModule();
        // Memory earlier tests freed can stay in the heap, where it would serve the decoder
        // without any new address space: give it back first.
        malloc_trim(0);
        std::ifstream statm("/proc/self/statm");
        long long pages = 0;
        statm >> pages;
        const rlim_t limit = static_cast<rlim_t>(pages * sysconf(_SC_PAGESIZE) + (256LL << 20));
        const rlimit bounded{limit, limit};
        setrlimit(RLIMIT_AS, &bounded);
        try {
            module->addUrlToDB(
                {server.url("/pic/1/first.jpg"), server.url("/huge/wall.png"), server.url("/pic/2/never.jpg")}, "");
            std::printf("no exception\n");
        } catch (const std::exception&) {
            std::printf("exception reached the caller\n");
        }
    });
    EXPECT_EQ(outcome.standardOutput, "exception reached the caller\n");
    const std::string file = readFile("feat.txt");
    EXPECT_EQ(file.rfind("first.jpg|", 0), 0u);
    EXPECT_EQ(countLines(file), 1u);
}
#endif

TEST(Ingestion, RefusesKeysThatWouldDamageTheCollection) {
    TempHome home;
    PictureServer server;
    auto module = openModule("store/feat.txt");
    fs::create_directories("store");
    writePicture("in.png", 4);
    ASSERT_EQ(module->addAPicToDB("in.png", "store/"), 0);
    const std::string collection = readFile("store/feat.txt");
    for (const char* unsafe : {"a|b.png", "line\nfeed.png", "cr\r.png"}) {
        writePicture("x.png", 5);
        fs::rename("x.png", unsafe);
        EXPECT_EQ(module->addAPicToDB(unsafe, ""), -4) << unsafe;
        EXPECT_FALSE(fs::exists(std::string("store/") + unsafe));
    }
    writePicture(" lead.png", 6);
    EXPECT_EQ(module->addAPicToDB(" lead.png", ""), -4);
    EXPECT_EQ(module->addAPicToDB(" lead.png", " "), -4);
    LogWatch log;
    EXPECT_EQ(module->addAUrlToDB(server.url("/store/feat.txt"), "store/"), -4);
    EXPECT_EQ(module->addAUrlToDB(server.url("/store/feat.txt"), "./store/../store/"), -4);
    EXPECT_NE(log.added().find("it names the feature file"), std::string::npos);
    EXPECT_EQ(module->addAUrlToDB(server.url("/store/feat.txt.removed"), "store/"), -4);
    EXPECT_NE(log.added().find("it names the feature file's removal list"), std::string::npos);
    EXPECT_EQ(module->addUrlToDB({server.url("/store/feat.txt"), server.url("/pic/2/tmp.jpg")}, ""), 0);
    EXPECT_EQ(module->addAUrlToDB(server.url("/pic/2/tmp.jpg"), ""), -4);
    const std::string logName = fs::path(EasyLog::GetInstance()->FilePath()).filename().string();
    const std::string logDir = fs::path(EasyLog::GetInstance()->FilePath()).parent_path().string() + "/";
    EXPECT_EQ(module->addAUrlToDB(server.url("/pic/2/" + logName), logDir), -4);
    std::string expectedTail = collection;
    EXPECT_EQ(readFile("store/feat.txt"), expectedTail) << "the collection's file is never overwritten";
    EXPECT_EQ(module->features().size(), 1u);
}

// The pixel budget and the damage checks hold for pictures on disk as for downloads: the add
// refuses with -3 and stores nothing, search by path answers -1.
TEST(Ingestion, RefusesBombsAndCutOffPicturesFromDisk) {
    TempHome home;
    fs::create_directories("pics");
    auto module = openModule();
    writeFile("bomb.png", pngDeclaring(32000, 32000));
    const std::string jpeg = jpegBytes(5);
    writeFile("cut.jpg", jpeg.substr(0, jpeg.size() / 2));
    std::vector<std::string> result;
    for (const char* picture : {"bomb.png", "cut.jpg"}) {
        LogWatch log;
        EXPECT_EQ(module->addAPicToDB(picture, "pics/"), -3) << picture;
        EXPECT_FALSE(fs::exists(std::string("pics/") + picture)) << picture;
        EXPECT_EQ(module->search(picture, 1, result, 5), -1) << picture;
        EXPECT_NE(log.added().find(std::string("picture=") + picture), std::string::npos) << log.added();
    }
    EXPECT_TRUE(module->features().empty());
    EXPECT_EQ(readFile("feat.txt"), "");
}

// A NUL cuts the path the system sees, so "p1.png\0x" would overwrite the copy of p1.png; the
// model's files would be replaced by whatever a URL serves.
TEST(Ingestion, RefusesKeysWithControlCharactersFoldersOrModelFiles) {
    TempHome home;
    PictureServer server;
    fs::create_directories("pics");
    auto module = openModule();
    writePicture("p1.png", 1);
    ASSERT_EQ(module->addAPicToDB("p1.png", "pics/"), 0);
    const std::string copy = readFile("pics/p1.png");
    const std::string weights = readFile("model/v0.dat");
    LogWatch log;
    EXPECT_EQ(module->addAPicToDB(std::string("p1.png\0x", 8), "pics/"), -4);
    EXPECT_EQ(module->addAUrlToDB(server.url("/pic/2/p1.png") + std::string("\0x", 2), "pics/"), -4);
    EXPECT_EQ(module->addAUrlToDB(server.url("/pic/2/bell\x07.jpg"), "pics/"), -4);
    EXPECT_EQ(module->addAUrlToDB(server.url("/pic/2/del\x7f.jpg"), "pics/"), -4);
    EXPECT_EQ(readFile("pics/p1.png"), copy);
    EXPECT_NE(log.added().find("it contains a control character, key=pics/p1.png\\0x\n"), std::string::npos);

    EXPECT_EQ(module->addAUrlToDB(server.url("/pic/2/v0.dat"), "model/"), -4);
    EXPECT_EQ(module->addAUrlToDB(server.url("/pic/2/v0.net"), "./pics/../model/"), -4);
    writeFile("v0.dat", readFile("p1.png"));
    EXPECT_EQ(module->addAPicToDB("v0.dat", "model/"), -4);
    EXPECT_EQ(readFile("model/v0.dat"), weights);
    EXPECT_NE(log.added().find("it names a model file"), std::string::npos);

    EXPECT_EQ(module->addAUrlToDB(server.url("/pic/2/pics"), ""), -4) << "an existing folder";
    EXPECT_EQ(module->addAUrlToDB(server.url("/pic/2/"), "pics/"), -4);
    EXPECT_EQ(log.added().find("download_jpeg"), std::string::npos) << "no refused key is downloaded";
    EXPECT_EQ(module->features().size(), 1u);

    LogWatch uncreatable;
    EXPECT_EQ(module->addAUrlToDB(server.url("/pic/2/x.jpg"), "missing-dir/"), -4)
        << "not stored, not a download failure";
    EXPECT_EQ(
        messages(uncreatable.added()),
        (std::vector<std::string>{"addUrlToDB-download: key=missing-dir/x.jpg",
                                  "download_jpeg => url=" + server.url("/pic/2/x.jpg") + ", savepath=missing-dir/x.jpg",
                                  " !!! Failed to create file on the disk",
                                  "not stored, cannot write the copy: key=missing-dir/x.jpg"}));
}

// A line feed in a URL used to end the log line and start a forged one.
TEST(Ingestion, ArgumentsCannotForgeLogLines) {
    TempHome home;
    PictureServer server;
    auto module = openModule();
    const std::string forged = "\n[2020.01.01] [00:00:00] [LOG_INFO ] forged";
    LogWatch log;
    EXPECT_EQ(module->addAUrlToDB(server.url("/pic/1/a.jpg?" + forged), ""), -4);
    EXPECT_EQ(module->addUrlToDB({server.url("/pic/1/b.jpg?" + forged)}, ""), 0);
    std::vector<std::string> result;
    EXPECT_EQ(module->search(server.url("/pic/1/c.jpg?" + forged), 0, result, 1), -2);
    EXPECT_EQ(module->search("in/" + forged + "\t\x1b.png", 1, result, 1), -1);
    const std::string lines = log.added();
    EXPECT_EQ(lines.find("\n[2020.01.01]"), std::string::npos) << lines;
    EXPECT_NE(lines.find("=> search, type=1, urlOrPath=in/\\n[2020.01.01] [00:00:00] [LOG_INFO ] forged\\t\\x1b.png,"),
              std::string::npos)
        << lines;
    EXPECT_NE(lines.find("search url: i=0, url=" + server.url("/pic/1/b.jpg?\\n[2020.01.01]")), std::string::npos);
    EXPECT_NE(lines.find("download_jpeg => url=" + server.url("/pic/1/c.jpg?\\n[2020.01.01]")), std::string::npos);
}

TEST(Ingestion, NeverReportsAFailedWriteAsSuccess) {
    TempHome home;
    writePicture("photo.png", 8);
    auto module = openModule();
    EXPECT_EQ(module->addAPicToDB("photo.png", "no-such-dir/"), -4) << "imwrite into a missing directory";
    EXPECT_TRUE(module->features().empty());

    fs::create_directories("db-is-a-dir");
    auto cannotAppend = openModule("db-is-a-dir");
    EXPECT_EQ(cannotAppend->addAPicToDB("photo.png", ""), -4);
    EXPECT_TRUE(cannotAppend->features().empty());
    std::vector<std::string> found;
    EXPECT_EQ(cannotAppend->search("photo.png", 1, found, 5), 0) << "a forgotten key is not searched either";
    EXPECT_TRUE(fs::exists("photo.png"));

    ASSERT_EQ(module->addAPicToDB("photo.png", ""), 0) << "the key is the source itself";
    EXPECT_EQ(readFile("photo.png"), [] {
        std::vector<unsigned char> png;
        cv::imencode(".png", makePicture(8), png);
        return std::string(png.begin(), png.end());
    }()) << "a picture is not re-encoded over itself";
}

// Whichever file call fails, what the adds return, the collection in memory and a restart agree:
// a record is reported stored exactly when it loads again.
TEST(Ingestion, AfterAFailingFileCallResultsCollectionAndRestartAgree) {
    using Call = FailingFileCalls::Call;
    TempHome home;
    PictureServer server;
    writePicture("photo.png", 3);
    const std::vector<std::string> urls{server.url("/pic/1/one.jpg"), server.url("/pic/2/two.jpg"),
                                        server.url("/pic/3/three.jpg")};
    for (Call call : {Call::Write, Call::Fsync, Call::Close}) {
        for (std::size_t nth = 1;; ++nth) {
            fs::remove_all("pics");
            fs::create_directories("pics");
            fs::remove("feat.txt");
            FailingFileCalls calls(call, nth);
            calls.maxWriteBytes = 5000;
            int added = 0;
            std::set<std::string> kept;
            {
                auto module = openModule();
                ScopedFileCalls installed(calls);
                added += module->addAPicToDB("photo.png", "pics/") == 0 ? 1 : 0;
                added += module->addUrlToDB(urls, "pics/");
                for (const auto& entry : module->features()) kept.insert(entry.first);
            }
            std::set<std::string> loaded;
            const ModulePtr restarted = openModule();
            for (const auto& entry : restarted->features()) loaded.insert(entry.first);
            const std::string context = "call " + std::to_string(static_cast<int>(call)) + " #" + std::to_string(nth);
            EXPECT_EQ(kept.size(), static_cast<std::size_t>(added)) << context;
            EXPECT_EQ(loaded, kept) << context;
            if (calls.count(call) < nth) break;  // nothing failed: the later calls cannot either
        }
    }
}

TEST(Download, RefusesStalledAndOversizedBodies) {
    TempHome home(false);
    PictureServer server;
    // The last line a failed download logged.
    auto reasonFor = [](const std::string& url, const std::string& savepath, const DownloadLimits& limits) {
        LogWatch log;
        EXPECT_FALSE(download_jpeg(url, savepath, limits)) << url;
        const std::vector<std::string> lines = messages(log.added());
        return lines.empty() ? std::string() : lines.back();
    };
    DownloadLimits quick;
    quick.stallSeconds = 1;
    EXPECT_EQ(reasonFor(server.url("/stall/slow.jpg"), "slow.jpg", quick), "!!! Download error: timed out");
    DownloadLimits small;
    small.maxBodyBytes = 100;
    EXPECT_EQ(reasonFor(server.url("/pic/1/a.jpg"), "a.jpg", small), "!!! Download error: too large: over 100 bytes");
    EXPECT_TRUE(download_jpeg(server.url("/pic/1/a.jpg"), "a.jpg"));
    EXPECT_EQ(reasonFor(server.url("/pic/1/a.jpg"), "missing-dir/a.jpg", DownloadLimits()),
              " !!! Failed to create file on the disk");
    EXPECT_EQ(reasonFor("file:///etc/hostname", "h.txt", DownloadLimits()),
              "!!! Download error: scheme refused: only http and https are fetched");
    EXPECT_EQ(reasonFor("ftp://127.0.0.1/a.jpg", "f.jpg", DownloadLimits()),
              "!!! Download error: scheme refused: only http and https are fetched");
    // Port 1 has no listener on a test machine.
    EXPECT_EQ(reasonFor("http://127.0.0.1:1/a.jpg", "c.jpg", DownloadLimits()), "!!! Download error: cannot connect");
    EXPECT_EQ(reasonFor(server.url("/missing/dog.jpg"), "d.jpg", DownloadLimits()), "!!! Response code: 404");
    EXPECT_TRUE(download_jpeg(server.url("/empty/void.jpg"), "void.jpg"));
    EXPECT_EQ(readFile("void.jpg"), "");
}
