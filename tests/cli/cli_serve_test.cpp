// `likeness serve` as a client sees it: each endpoint against a running service in a fresh home,
// every kind of refusal with its status and JSON error, a restart that finds what was added, and
// many clients at once, none of whose pictures is lost.
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <fstream>
#include <future>
#include <set>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "CliTestSupport.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

json parsed(const httplib::Result& result) {
    return result ? json::parse(result->body, nullptr, false) : json();
}

// The status and error name of a refused request, "HTTP 0" when no answer came.
std::string refusal(const httplib::Result& result) {
    if (!result) return "HTTP 0";
    const json body = parsed(result);
    const bool named = body.is_object() && body.contains("error") && body["error"].is_string() &&
                       body.contains("message") && body["message"].is_string() &&
                       !body["message"].get<std::string>().empty();
    return std::to_string(result->status) + " " + (named ? body["error"].get<std::string>() : "(no JSON error)");
}

class ServeTest : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        if (HasFatalFailure()) return;
        fs::create_directories(work / "tmp");
        start("");
    }
    void TearDown() override {
        if (server) {
            EXPECT_EQ(server->stop(SIGTERM), 0) << server->standardError();
        }
        CliTest::TearDown();
    }

    void start(const std::string& arguments) {
        if (server) {
            ASSERT_EQ(server->stop(SIGTERM), 0) << server->standardError();
        }
        server.emplace(work, arguments, std::vector<std::string>{"TMPDIR=" + (work / "tmp").string()});
        ASSERT_GT(server->port(), 0) << server->firstLine() << server->standardError();
        client.emplace("127.0.0.1", server->port());
        client->set_read_timeout(std::chrono::seconds(120));
    }

    httplib::Result post(const std::string& path, const fs::path& picture,
                         const std::string& type = "application/octet-stream") {
        return client->Post(path.c_str(), readFile(picture), type.c_str());
    }
    httplib::Result postJson(const std::string& path, const json& body) {
        return client->Post(path.c_str(), body.dump(), "application/json");
    }
    std::size_t storedCount() { return parsed(client->Get("/info"))["pictures"].get<std::size_t>(); }

    std::optional<ServeProcess> server;
    std::optional<httplib::Client> client;
};

}  // namespace

TEST_F(ServeTest, AddsPicturesUnderTheKeysTheCommandWouldAndServesThemBack) {
    const httplib::Result named = post("/pictures?key=holiday/beach.jpg", pics / "scene0.jpg", "image/jpeg");
    ASSERT_TRUE(named);
    EXPECT_EQ(named->status, 201) << named->body;
    EXPECT_EQ(parsed(named)["result"], "added");
    EXPECT_EQ(parsed(named)["key"], "pictures/holiday/beach.jpg");
    EXPECT_EQ(readFile(home / "pictures" / "holiday" / "beach.jpg"), readFile(pics / "scene0.jpg"))
        << "a picture whose name says its format is stored as its own bytes";

    // An unnamed picture is named after its bytes, so sending it again finds it.
    const httplib::Result unnamed = post("/pictures", pics / "scene1.png");
    ASSERT_TRUE(unnamed);
    EXPECT_EQ(unnamed->status, 201) << unnamed->body;
    const std::string unnamedKey = parsed(unnamed)["key"];
    EXPECT_TRUE(std::regex_match(unnamedKey, std::regex("pictures/upload-[0-9a-f]{16}\\.png"))) << unnamedKey;
    const httplib::Result again = post("/pictures", pics / "scene1.png");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 200);
    EXPECT_EQ(parsed(again)["result"], "already_present");
    EXPECT_EQ(parsed(again)["key"], unnamedKey);
    const httplib::Result copy = post("/pictures?key=copy.png", pics / "scene1.png");
    ASSERT_TRUE(copy);
    EXPECT_EQ(copy->status, 200);
    EXPECT_EQ(parsed(copy)["result"], "same_file");
    EXPECT_EQ(parsed(copy)["key"], unnamedKey) << "the same bytes are not stored twice";
    EXPECT_FALSE(fs::exists(home / "pictures" / "copy.png"));
    EXPECT_EQ(refusal(post("/pictures?key=holiday/beach.jpg", pics / "scene2.jpg")), "409 key_taken");
    // A key whose name asks for another format gets that format.
    const httplib::Result converted = post("/pictures?key=scene3.bmp", pics / "scene3.png");
    EXPECT_EQ(converted ? converted->status : 0, 201);

    const httplib::Result fetched = client->Get("/pictures/pictures/holiday/beach.jpg");
    ASSERT_TRUE(fetched);
    EXPECT_EQ(fetched->status, 200);
    EXPECT_EQ(fetched->get_header_value("Content-Type"), "image/jpeg");
    EXPECT_EQ(fetched->body, readFile(pics / "scene0.jpg"));
    const httplib::Result bmp = client->Get("/pictures/pictures%2Fscene3.bmp");
    ASSERT_TRUE(bmp);
    EXPECT_EQ(bmp->get_header_value("Content-Type"), "image/bmp");
    EXPECT_EQ(bmp->body.substr(0, 2), "BM");
    EXPECT_EQ(refusal(client->Get("/pictures/pictures/missing.jpg")), "404 unknown_key");
    EXPECT_EQ(refusal(client->Get("/pictures/feat.txt")), "404 unknown_key") << "only stored pictures are served";

    const json info = parsed(client->Get("/info"));
    EXPECT_EQ(info["pictures"], 3);
    EXPECT_EQ(info["database"], (home / "feat.txt").string());
    EXPECT_EQ(info["limits"]["max_body_bytes"], 64u << 20);
    EXPECT_EQ(info["limits"]["max_pixels"], 100000000);
    const httplib::Result health = client->Get("/healthz");
    EXPECT_EQ(health ? health->status : 0, 200);

    const httplib::Result page = client->Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_TRUE(contains(page->body, "<script>"));
    EXPECT_FALSE(std::regex_search(page->body, std::regex("(src|href)=\"?(https?:)?//")))
        << "nothing is loaded from elsewhere";
    EXPECT_TRUE(fs::is_empty(fs::directory_iterator(work / "tmp")->path())) << "no upload is left behind";
}

TEST_F(ServeTest, SearchGivesTheLibrarysDistancesAndARestartFindsWhatWasAdded) {
    for (const char* name : {"scene0.jpg", "scene1.png", "scene2.jpg", "scene3.png"})
        ASSERT_EQ(post("/pictures?key=" + std::string(name), pics / name)->status, 201);
    const auto forwardPasses = [this] { return parsed(client->Get("/info"))["forward_passes"].get<std::uint64_t>(); };
    const std::uint64_t before = forwardPasses();
    const json fresh = parsed(post("/search?n=3", pics / "scene2.jpg"));
    EXPECT_EQ(forwardPasses(), before + 1) << "the query is extracted once, for the ranking and the distances";
    ASSERT_EQ(fresh["results"].size(), 3u) << fresh;
    EXPECT_EQ(fresh["results"][0]["key"], "pictures/scene2.jpg");
    EXPECT_EQ(fresh["results"][0]["distance"], 100.0) << "the least possible distance: the same vector";
    EXPECT_EQ(fresh["results"][0]["same_picture"], true);
    EXPECT_EQ(fresh["results"][0]["picture"], "/pictures/pictures/scene2.jpg");
    EXPECT_LE(fresh["results"][1]["distance"].get<double>(), fresh["results"][2]["distance"].get<double>());
    EXPECT_EQ(parsed(post("/search", pics / "scene0.jpg"))["results"].size(), 4u) << "n defaults to 10";

    // After a restart the vectors come from the feature file, as the command's do, so both give
    // the same keys, distances and marks.
    start("");
    EXPECT_EQ(storedCount(), 4u);
    const json served = parsed(post("/search?n=4", pics / "scene5.png"));
    const CommandRun command = likeness("search --json -n 4 pics/scene5.png");
    ASSERT_EQ(command.status, 0) << command.err;
    const json printed = json::parse(command.out);
    ASSERT_EQ(served["results"].size(), 4u) << served;
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(served["results"][i]["key"], printed[0]["results"][i]["key"]) << i;
        EXPECT_EQ(served["results"][i]["distance"], printed[0]["results"][i]["distance"]) << i;
        EXPECT_EQ(served["results"][i]["same_picture"], printed[0]["results"][i]["same_picture"]) << i;
    }
}

TEST_F(ServeTest, RefusesEachBadRequestWithItsStatusAndAJsonErrorAndStoresNothing) {
    std::ofstream(work / "bomb.png", std::ios::binary) << pngDeclaring(60000, 60000);
    EXPECT_EQ(refusal(post("/pictures", pics / "notes.txt")), "422 not_decodable");
    EXPECT_EQ(refusal(post("/pictures?key=bomb.png", work / "bomb.png")), "422 not_decodable") << "the pixel budget";
    EXPECT_EQ(refusal(post("/search", pics / "notes.txt")), "422 not_decodable");
    EXPECT_EQ(refusal(client->Post("/pictures", "", "image/png")), "400 empty_body");
    EXPECT_EQ(refusal(client->Post("/pictures", "{\"url\": ", "application/json")), "400 bad_json");
    EXPECT_EQ(refusal(postJson("/pictures", json{{"address", "http://127.0.0.1/a.jpg"}})), "400 bad_json");
    EXPECT_EQ(refusal(postJson("/search", json::array())), "400 bad_json");
    EXPECT_EQ(refusal(postJson("/pictures", json{{"url", "ftp://127.0.0.1/a.jpg"}})), "400 bad_url");
    EXPECT_EQ(refusal(postJson("/pictures", json{{"url", "http://127.0.0.1:1/dir/"}})), "400 bad_url");
    for (const std::string n : {"0", "-3", "ten", "1e3", "99999999999"})
        EXPECT_EQ(refusal(post("/search?n=" + n, pics / "scene0.jpg")), "400 bad_count") << n;
    httplib::MultipartFormDataItems form = {{"picture", readFile(pics / "scene0.jpg"), "scene0.jpg", "image/jpeg"}};
    EXPECT_EQ(refusal(client->Post("/pictures", form)), "415 unsupported_body");
    EXPECT_EQ(refusal(client->Get("/nowhere")), "404 no_such_endpoint");

    // Keys that would leave the pictures folder, name a folder, or that the feature file could
    // not hold; %0A is a line feed, %7C a "|", %09 a tab.
    fs::create_directories(home / "pictures" / "sub");
    const std::vector<std::string> unsafeKeys = {
        "..%2Ffeat.txt", "%2Fetc%2Fx.jpg", "a%2F%2Fb.jpg", "sub%2F", "a%2F..%2F..%2Fx.jpg",
        "x%0A.jpg",      "x%7Cy.jpg",      "x%09y.jpg",    "sub",    std::string(300, 'n') + ".jpg"};
    for (const std::string& key : unsafeKeys)
        EXPECT_EQ(refusal(post("/pictures?key=" + key, pics / "scene0.jpg")), "400 unsafe_key") << key;
    EXPECT_EQ(refusal(postJson("/pictures", json{{"url", "http://127.0.0.1:1/a.jpg"}, {"key", "b.jpg"}})),
              "400 key_with_url");
    EXPECT_EQ(storedCount(), 0u);
    EXPECT_FALSE(fs::exists(home / "feat.txt")) << "no record was written";
    EXPECT_FALSE(fs::exists(home / "x.jpg"));
    EXPECT_FALSE(fs::exists(work / "x.jpg"));

    // The body limit, told by the length before anything is read, and by what arrives.
    start("--max-body 5000");
    EXPECT_EQ(refusal(post("/pictures", pics / "scene0.jpg")), "413 too_large");
    std::size_t sent = 0;
    const std::string big(20000, 'x');
    const httplib::Result chunked = client->Post(
        "/search",
        [&](std::size_t, httplib::DataSink& sink) {
            if (sent < big.size()) {
                sink.write(big.data() + sent, 1000);
                sent += 1000;
            } else {
                sink.done();
            }
            return true;
        },
        "image/png");
    EXPECT_EQ(refusal(chunked), "413 too_large") << "a body without a length";
    EXPECT_EQ(json::parse(client->Get("/info")->body)["limits"]["max_body_bytes"], 5000);
}

TEST_F(ServeTest, FetchesPicturesByUrlAndSaysWhyADownloadFailed) {
    fs::create_directories(work / "served");
    fs::copy_file(pics / "scene4.jpg", work / "served" / "photo.jpg");
    httplib::Server pictures;
    ASSERT_TRUE(pictures.set_mount_point("/", (work / "served").string()));
    const int port = pictures.bind_to_any_port("127.0.0.1");
    std::thread serving([&pictures] { pictures.listen_after_bind(); });
    const std::string base = "http://127.0.0.1:" + std::to_string(port) + "/";

    const httplib::Result added = postJson("/pictures", json{{"url", base + "photo.jpg"}});
    EXPECT_EQ(added ? added->status : 0, 201);
    EXPECT_EQ(parsed(added)["key"], "pictures/photo.jpg");
    EXPECT_EQ(readFile(home / "pictures" / "photo.jpg"), readFile(pics / "scene4.jpg"));
    const httplib::Result missing = postJson("/pictures", json{{"url", base + "gone.jpg"}});
    EXPECT_EQ(refusal(missing), "502 download_failed");
    EXPECT_TRUE(contains(parsed(missing)["message"], "the server answered HTTP 404")) << missing->body;
    const json found = parsed(postJson("/search?n=1", json{{"url", base + "photo.jpg"}}));
    ASSERT_EQ(found["results"].size(), 1u) << found;
    EXPECT_EQ(found["results"][0]["key"], "pictures/photo.jpg");
    EXPECT_EQ(found["results"][0]["same_picture"], true);
    EXPECT_EQ(refusal(postJson("/search", json{{"url", base + "gone.jpg"}})), "502 download_failed");

    pictures.stop();
    serving.join();
}

TEST_F(ServeTest, ManyClientsAtOnceAreAllServedAndNoPictureIsLost) {
    const CommandRun made = runShell(shellQuoted(MAKE_TEST_PICTURES) + " many 24", work);
    ASSERT_EQ(made.status, 0) << made.err;
    std::vector<std::thread> clients;
    std::vector<std::string> failures(8);
    for (int c = 0; c < 8; ++c) {
        clients.emplace_back([this, c, &failures] {
            httplib::Client own("127.0.0.1", server->port());
            own.set_read_timeout(std::chrono::seconds(120));
            for (int i = c; i < 24; i += 8) {
                const std::string name = "scene" + std::to_string(i) + (i % 2 == 0 ? ".jpg" : ".png");
                const httplib::Result added =
                    own.Post(("/pictures?key=" + name).c_str(), readFile(work / "many" / name), "image/x");
                if (!added || added->status != 201) failures[c] += name + ": " + refusal(added) + "; ";
                const httplib::Result found = own.Post("/search?n=1", readFile(work / "many" / name), "image/x");
                const json results = parsed(found)["results"];
                if (!results.is_array() || results.empty() || results[0]["key"] != "pictures/" + name)
                    failures[c] += name + " not found first; ";
            }
        });
    }
    for (std::thread& each : clients) each.join();
    for (const std::string& failure : failures) EXPECT_EQ(failure, "");
    EXPECT_EQ(storedCount(), 24u);
    start("");
    EXPECT_EQ(storedCount(), 24u) << "every record reached the feature file whole";
    std::set<std::string> keys;
    for (const std::string& line : lines(readFile(home / "feat.txt"))) keys.insert(line.substr(0, line.find('|')));
    EXPECT_EQ(keys.size(), 24u);
}

TEST_F(ServeTest, StopsCleanlyOnSigintAndRefusesABodyThatTakesTooLong) {
    start("--time-limit 1");
    // Half a body, then a pause past the time limit, then the rest.
    const int sock = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(server->port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    const std::string head = "POST /pictures HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server->port()) +
                             "\r\nContent-Type: image/png\r\nContent-Length: 20\r\n\r\n";
    ASSERT_EQ(send(sock, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
    ASSERT_EQ(send(sock, "0123456789", 10, 0), 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    send(sock, "0123456789", 10, MSG_NOSIGNAL);
    std::string answer;
    char buffer[4096];
    for (ssize_t got; (got = recv(sock, buffer, sizeof(buffer), 0)) > 0;) answer.append(buffer, got);
    close(sock);
    EXPECT_EQ(answer.rfind("HTTP/1.1 408", 0), 0u) << answer;
    EXPECT_TRUE(contains(answer, "\"error\":\"timed_out\"")) << answer;

    ASSERT_EQ(post("/pictures", pics / "scene0.jpg")->status, 201);
    EXPECT_EQ(server->stop(SIGINT), 0);
    EXPECT_TRUE(contains(server->standardError(), "stopped")) << server->standardError();
    server.reset();
    EXPECT_TRUE(fs::is_empty(work / "tmp")) << "the uploads folder goes with the service";
    EXPECT_FALSE(fs::exists(home / "serving")) << "so does its note that it runs";
    EXPECT_EQ(likeness("info").out.find("pictures:  1\n") != std::string::npos, true);
}

TEST_F(ServeTest, RemovesPicturesByKeyAndHoldsTheHomeAgainstOtherWriters) {
    for (const char* name : {"scene0.jpg", "scene1.png", "scene2.jpg"})
        ASSERT_EQ(post("/pictures?key=" + std::string(name), pics / name)->status, 201);
    // No file can be deleted to let a second writer in.
    for (const auto& entry : fs::directory_iterator(home))
        if (entry.path().filename().string().find("lock") != std::string::npos) fs::remove(entry.path());
    const CommandRun writer = likeness("add pics/scene3.png");
    EXPECT_EQ(writer.status, 2) << "a second writer is refused while the service runs";
    EXPECT_TRUE(contains(writer.err, "likeness serve is running on the home " + home.string())) << writer.err;
    EXPECT_TRUE(contains(writer.err, "stop it, or add and remove through its page or HTTP API at http://127.0.0.1:" +
                                         std::to_string(server->port())))
        << writer.err;
    const ServeProcess second(work, "");
    EXPECT_EQ(second.port(), 0) << "nor can a second service start on the same home";

    const httplib::Result kept = client->Delete("/pictures/pictures/scene0.jpg");
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->status, 200) << kept->body;
    EXPECT_EQ(parsed(kept)["result"], "removed");
    EXPECT_EQ(parsed(kept)["file_deleted"], false);
    EXPECT_TRUE(fs::exists(home / "pictures" / "scene0.jpg")) << "the stored copy stays unless asked";
    const httplib::Result deleted = client->Delete("/pictures/pictures/scene1.png?delete_file=true");
    ASSERT_TRUE(deleted);
    EXPECT_EQ(deleted->status, 200) << deleted->body;
    EXPECT_EQ(parsed(deleted)["file_deleted"], true);
    EXPECT_FALSE(fs::exists(home / "pictures" / "scene1.png"));
    EXPECT_EQ(refusal(client->Delete("/pictures/pictures/scene0.jpg")), "404 unknown_key");
    EXPECT_EQ(refusal(client->Delete("/pictures/pictures/scene2.jpg?delete_file=maybe")), "400 bad_request");
    EXPECT_EQ(refusal(client->Get("/pictures/pictures/scene0.jpg")), "404 unknown_key") << "removed, not served";

    const json found = parsed(post("/search", pics / "scene0.jpg"));
    ASSERT_EQ(found["results"].size(), 1u) << found;
    EXPECT_EQ(found["results"][0]["key"], "pictures/scene2.jpg");
    // The same bytes are no copy of a removed picture: they are stored again.
    const httplib::Result back = post("/pictures?key=scene0.jpg", pics / "scene0.jpg");
    EXPECT_EQ(back ? back->status : 0, 201);
    start("");
    EXPECT_EQ(storedCount(), 2u) << "the removal reached the feature file";
    EXPECT_EQ(server->stop(SIGTERM), 0);
    server.reset();
    EXPECT_EQ(likeness("add pics/scene3.png").status, 0) << "the lock goes with the service";
}

// A picture server that answers only when the test lets it: the add that fetches from it must
// not hold the collection meanwhile.
TEST_F(ServeTest, ASlowDownloadDoesNotHoldTheCollection) {
    ASSERT_EQ(post("/pictures?key=scene0.jpg", pics / "scene0.jpg")->status, 201);
    std::promise<void> called;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    httplib::Server stalling;
    stalling.Get("/slow.jpg", [&](const httplib::Request&, httplib::Response& response) {
        called.set_value();
        released.wait();
        response.status = 404;
    });
    const int port = stalling.bind_to_any_port("127.0.0.1");
    std::thread serving([&stalling] { stalling.listen_after_bind(); });

    std::thread adding([&] {
        httplib::Client own("127.0.0.1", server->port());
        own.set_read_timeout(std::chrono::seconds(120));
        const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/slow.jpg";
        const httplib::Result failed = own.Post("/pictures", json{{"url", url}}.dump(), "application/json");
        EXPECT_EQ(refusal(failed), "502 download_failed");
        EXPECT_TRUE(contains(parsed(failed)["message"], "the server answered HTTP 404")) << failed->body;
    });
    called.get_future().wait();
    // Generous bounds: answered at all while the download waits, not how fast.
    client->set_read_timeout(std::chrono::seconds(20));
    EXPECT_EQ(parsed(client->Get("/info"))["pictures"], 1) << "the collection is free while the picture is fetched";
    EXPECT_EQ(parsed(post("/search?n=1", pics / "scene0.jpg"))["results"].size(), 1u);
    release.set_value();
    adding.join();
    stalling.stop();
    serving.join();
}
