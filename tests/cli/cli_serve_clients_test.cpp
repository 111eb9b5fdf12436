// `likeness serve` against clients that misbehave, each case one that once took the service over:
// slow and idle connections, a stop while they go on, pipelined requests, oversized heads, forged
// log lines, requests for another host or from another page, keys that lead outside the home, and
// the uploads of killed services. Every wait has a generous deadline, so none can hang.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <thread>

#include <nlohmann/json.hpp>

#include "CliTestSupport.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class ServeClientsTest : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        if (HasFatalFailure()) return;
        fs::create_directories(work / "tmp");
        ASSERT_EQ(likeness("add pics/scene0.jpg pics/scene1.png").status, 0);
        start("");
    }
    void TearDown() override {
        if (server) {
            EXPECT_EQ(server->stop(SIGTERM, 20s), 0) << server->standardError();
        }
        CliTest::TearDown();
    }
    void start(const std::string& arguments) {
        if (server) {
            ASSERT_EQ(server->stop(SIGTERM, 20s), 0) << server->standardError();
        }
        server.emplace(work, arguments, std::vector<std::string>{"TMPDIR=" + (work / "tmp").string()});
        ASSERT_GT(server->port(), 0) << server->firstLine() << server->standardError();
    }
    std::string host() const { return "127.0.0.1:" + std::to_string(server->port()); }

    // One request with the service's own Host and the given extra head lines and body; the answer.
    std::string ask(const std::string& method, const std::string& target, const std::string& extra = "",
                    const std::string& body = "") {
        RawConnection client(server->port());
        client.send(method + " " + target + " HTTP/1.1\r\nHost: " + host() + "\r\n" + extra +
                    (body.empty() ? "" : "Content-Length: " + std::to_string(body.size()) + "\r\n") + "\r\n" + body);
        return client.receive(30s);
    }
    int status(const std::string& answer) {
        const std::vector<int> statuses = answerStatuses(answer);
        return statuses.empty() ? 0 : statuses.front();
    }
    std::string searchWith(const fs::path& picture) {
        return ask("POST", "/search?n=1", "Content-Type: image/png\r\n", readFile(picture));
    }

    std::optional<ServeProcess> server;
};

// Connections that send the start of a head a byte at a time, or nothing.
struct Crowd {
    Crowd(int port, int count) {
        for (int i = 0; i < count; ++i) connections.push_back(std::make_unique<RawConnection>(port));
    }
    void drip(const std::string& byte) {
        for (auto& connection : connections) connection->send(byte);
    }
    std::vector<std::unique_ptr<RawConnection>> connections;
};

}  // namespace

TEST_F(ServeClientsTest, SlowAndIdleConnectionsDelayNeitherHealthNorSearch) {
    Crowd idle(server->port(), 100);
    Crowd slow(server->port(), 100);
    const std::string head = "POST /search HTTP/1.1\r\nHost: ";
    for (std::size_t i = 0; i < 6; ++i) {
        slow.drip(head.substr(i, 1));
        std::this_thread::sleep_for(300ms);
    }
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(status(ask("GET", "/healthz")), 200);
    // A deadline no loaded machine reaches, far below the minutes these clients held the service.
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s);
    const std::string found = searchWith(pics / "scene1.png");
    EXPECT_EQ(status(found), 200) << found;
    EXPECT_TRUE(contains(found, "pictures/scene1.png")) << found;
}

TEST_F(ServeClientsTest, SigtermStopsItInTimeWhateverClientsDoAndAnswersWhatItAccepted) {
    Crowd slow(server->port(), 50);
    slow.drip("G");
    RawConnection searching(server->port());
    const std::string query = readFile(pics / "scene0.jpg");
    searching.send("POST /search HTTP/1.1\r\nHost: " + host() + "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                   std::to_string(query.size()) + "\r\n\r\n" + query);
    RawConnection halfSent(server->port());
    halfSent.send("POST /search HTTP/1.1\r\nHost: " + host() + "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                  std::to_string(query.size()) + "\r\n\r\n" + query.substr(0, 100));
    std::this_thread::sleep_for(200ms);
    std::atomic<bool> stopped{false};
    std::thread dripping([&slow, &stopped] {
        while (!stopped) {
            slow.drip("E");
            std::this_thread::sleep_for(200ms);
        }
    });
    EXPECT_EQ(server->stop(SIGTERM, 10s), 0) << "exit status 0 within 10 s, not -2 (still running)";
    server.reset();
    stopped = true;
    dripping.join();
    const std::vector<int> answered = answerStatuses(searching.receive(5s));
    EXPECT_TRUE(answered == std::vector<int>{200} || answered == std::vector<int>{503});
    EXPECT_EQ(answerStatuses(halfSent.receive(5s)), std::vector<int>{503}) << "refused, not dropped";
}

TEST_F(ServeClientsTest, PipelinedRequestsAreAllAnsweredInOrder) {
    RawConnection client(server->port());
    std::string requests;
    for (const char* target : {"/healthz", "/info", "/pictures/pictures/scene0.jpg", "/healthz"})
        requests += "GET " + std::string(target) + " HTTP/1.1\r\nHost: " + host() + "\r\n\r\n";
    client.send(requests);
    const std::string answers = client.receive(30s, 4);
    EXPECT_EQ(answerStatuses(answers), std::vector<int>({200, 200, 200, 200}));
    EXPECT_LT(answers.find("\"pictures\":2"), answers.find("image/jpeg")) << "in the order asked";
}

TEST_F(ServeClientsTest, OversizedHeadsAndBadLengthsAreRefused) {
    std::string fields;
    for (int i = 0; i < 10000; ++i) fields += "X-Field: " + std::to_string(i) + "\r\n";
    EXPECT_EQ(status(ask("GET", "/info", fields)), 431);
    std::string some;
    for (int i = 0; i < 100; ++i) some += "X-" + std::to_string(i) + ": a\r\n";
    EXPECT_EQ(status(ask("GET", "/info", some)), 431);
    EXPECT_EQ(status(ask("POST", "/search", "Content-Type: image/png\r\nContent-Length: -5\r\n")), 400);
    EXPECT_EQ(status(ask("POST", "/search?n=%205", "Content-Type: image/png\r\n", "x")), 400);
    std::string deep;
    for (int i = 0; i < 25; ++i) deep += std::string(199, 'a') + (i < 24 ? "/" : ".jpg");
    const std::string longKey =
        ask("POST", "/pictures?key=" + deep, "Content-Type: image/jpeg\r\n", readFile(pics / "scene2.jpg"));
    EXPECT_EQ(status(longKey), 400) << "an unusable key, not a full disk: " << longKey;
    EXPECT_TRUE(contains(longKey, "unsafe_key")) << longKey;
    const CommandRun zero = likeness("serve --max-body 0");
    EXPECT_EQ(zero.status, 2);
    EXPECT_LT(zero.err.size(), 200u) << zero.err;
    EXPECT_TRUE(contains(zero.err, "at least 1")) << zero.err;
}

TEST_F(ServeClientsTest, TheRequestLogCannotBeForgedOrColoured) {
    ask("GET", "/healthz%0aPOST%20/pictures%20201");
    ask("GET", "/healthz?x=%1b[2J");
    ASSERT_EQ(server->stop(SIGTERM, 20s), 0);
    const std::string log = server->standardError();
    server.reset();
    for (const std::string& line : lines(log)) {
        EXPECT_EQ(line.rfind("POST", 0), std::string::npos) << "forged: " << line;
        EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
    }
    EXPECT_TRUE(contains(log, "GET /healthz%0aPOST%20/pictures%20201 404")) << log;
}

TEST_F(ServeClientsTest, OnlyRequestsForItsOwnHostFromItsOwnPagesAreTaken) {
    const std::string picture = "/pictures/pictures/scene0.jpg";
    for (const std::string foreign : {"Host: evil.example\r\n", "Host: \r\n", "Host: 127.0.0.1.nip.io:1\r\n"}) {
        RawConnection client(server->port());
        client.send("GET " + picture + " HTTP/1.1\r\n" + foreign + "\r\n");
        const std::string answer = client.receive(30s);
        EXPECT_TRUE(status(answer) == 403 || status(answer) == 400) << foreign << answer;
    }
    const std::string png = readFile(pics / "scene2.jpg");
    EXPECT_EQ(status(ask("POST", "/pictures", "Content-Type: text/plain\r\n", png)), 415)
        << "what a form of any page can send";
    EXPECT_EQ(status(ask("POST", "/pictures", "", png)), 415) << "no media type";
    EXPECT_EQ(status(ask("POST", "/pictures", "Content-Type: image/jpeg\r\nOrigin: http://127.0.0.1:1\r\n", png)), 403);
    EXPECT_EQ(status(ask("POST", "/pictures", "Content-Type: image/jpeg\r\nOrigin: null\r\n", png)), 403);
    EXPECT_EQ(status(ask("GET", picture, "Sec-Fetch-Site: same-site\r\n")), 403) << "another port's page";
    EXPECT_EQ(status(ask("DELETE", picture, "Sec-Fetch-Site: cross-site\r\n")), 403);
    const std::string own = ask("GET", picture, "Sec-Fetch-Site: same-origin\r\n");
    EXPECT_EQ(status(own), 200);
    EXPECT_TRUE(contains(own, "Cross-Origin-Resource-Policy: same-origin")) << own;
    EXPECT_EQ(status(ask("POST", "/pictures?key=own.jpg",
                         "Content-Type: image/jpeg\r\nOrigin: http://" + host() + "\r\n", png)),
              201);
    EXPECT_TRUE(contains(likeness("info").out, "pictures:  3\n")) << "only the service's own page added";

    start("--listen 127.0.0.1:0 --allow-host pictures.lan");
    RawConnection named(server->port());
    named.send("GET /info HTTP/1.1\r\nHost: pictures.lan:" + std::to_string(server->port()) + "\r\n\r\n");
    EXPECT_EQ(answerStatuses(named.receive(30s)), std::vector<int>{200}) << "a name allowed by the user";
}

TEST_F(ServeClientsTest, BeyondLoopbackEveryRequestNeedsTheToken) {
    start("--listen 0.0.0.0:0");
    EXPECT_TRUE(contains(server->firstLine(), "listening on http://0.0.0.0:")) << server->firstLine();
    const std::string token = lines(readFile(home / "serve-token")).at(0);
    EXPECT_EQ(token.size(), 32u);
    EXPECT_EQ(fs::status(home / "serve-token").permissions() & fs::perms::group_read, fs::perms::none);
    EXPECT_EQ(status(ask("GET", "/info")), 401);
    EXPECT_EQ(status(ask("GET", "/info", "Authorization: Bearer wrong\r\n")), 401);
    EXPECT_EQ(status(ask("GET", "/info", "Authorization: Bearer " + token + "\r\n")), 200);
    const std::string page = ask("GET", "/?token=" + token);
    EXPECT_EQ(status(page), 200);
    EXPECT_TRUE(contains(page, "Set-Cookie: likeness_token=" + token + "; Path=/; HttpOnly; SameSite=Strict")) << page;
    EXPECT_EQ(status(ask("GET", "/pictures/pictures/scene0.jpg", "Cookie: likeness_token=" + token + "\r\n")), 200);
    EXPECT_EQ(status(ask("GET", "/healthz")), 200) << "health needs nothing";
}

TEST_F(ServeClientsTest, KeysThatLeadOutOfTheHomeAreNeverServedDeletedOrWrittenThrough) {
    ASSERT_EQ(server->stop(SIGTERM, 20s), 0);
    server.reset();
    // A feature file edited by hand: keys outside the home, and a link in it to a text file.
    fs::create_directories(work / "outside");
    for (const char* name : {"secret.jpg", "absolute.jpg"}) fs::copy_file(pics / "scene2.jpg", work / "outside" / name);
    std::ofstream(work / "outside" / "notes.txt") << "private text\n";
    fs::create_symlink(work / "outside" / "notes.txt", home / "pictures" / "link.jpg");
    fs::create_directory_symlink(work / "outside", home / "pictures" / "away");
    const std::string vector =
        lines(readFile(home / "feat.txt")).at(0).substr(lines(readFile(home / "feat.txt")).at(0).find('|'));
    std::ofstream(home / "feat.txt", std::ios::app) << "../outside/secret.jpg" << vector << "\n"
                                                    << (work / "outside" / "absolute.jpg").string() << vector << "\n"
                                                    << "pictures/link.jpg" << vector << "\n";
    start("");
    ASSERT_TRUE(contains(likeness("info").out, "pictures:  5\n")) << likeness("info").out;
    for (const std::string& key : {std::string("../outside/secret.jpg"), (work / "outside" / "absolute.jpg").string(),
                                   std::string("pictures/link.jpg")}) {
        const std::string served = ask("GET", "/pictures/" + key);
        EXPECT_EQ(status(served), 403) << key << ": " << served;
        EXPECT_FALSE(contains(served, "private text")) << key;
        EXPECT_EQ(status(ask("DELETE", "/pictures/" + key + "?delete_file=true")), 200) << key;
    }
    for (const char* name : {"secret.jpg", "absolute.jpg", "notes.txt"})
        EXPECT_TRUE(fs::exists(work / "outside" / name)) << name << " is not deleted";
    EXPECT_FALSE(fs::exists(fs::symlink_status(home / "pictures" / "link.jpg")))
        << "the link, an entry of the home, goes";
    const std::string through =
        ask("POST", "/pictures?key=away/new.jpg", "Content-Type: image/jpeg\r\n", readFile(pics / "scene3.png"));
    EXPECT_EQ(status(through), 400) << through;
    EXPECT_FALSE(fs::exists(work / "outside" / "new.jpg")) << "nothing is written through a link out of the home";
    ASSERT_EQ(server->stop(SIGTERM, 20s), 0);
    server.reset();

    std::ofstream(home / "feat.txt", std::ios::app) << "../outside/secret.jpg" << vector << "\n";
    const CommandRun removed = likeness("remove --delete-files ../outside/secret.jpg");
    EXPECT_EQ(removed.status, 1);
    EXPECT_TRUE(contains(removed.err, "lies outside the home and is not deleted")) << removed.err;
    EXPECT_TRUE(fs::exists(work / "outside" / "secret.jpg"));
    const CommandRun added = likeness("add --into pictures/away pics/scene4.jpg");
    EXPECT_EQ(added.status, 1) << added.err;
    EXPECT_TRUE(contains(added.err, "leads out of the home through a symbolic link")) << added.err;
    EXPECT_FALSE(fs::exists(work / "outside" / "scene4.jpg"));
}

TEST_F(ServeClientsTest, UploadFoldersThatKilledServicesLeftAreRemovedAtStart) {
    ASSERT_EQ(server->stop(SIGKILL, 20s), -1);
    server.reset();
    std::vector<fs::path> left;
    for (const auto& entry : fs::directory_iterator(work / "tmp")) left.push_back(entry.path());
    ASSERT_EQ(left.size(), 1u) << "the killed service's uploads";
    const fs::path stranger = work / "tmp" / "likeness-serve-notapid";
    fs::create_directories(stranger);
    start("");
    EXPECT_FALSE(fs::exists(left[0])) << "removed by the next service";
    EXPECT_TRUE(fs::exists(stranger)) << "a folder no service of ours made stays";
}

// The README's curl lines, run as they are printed against a service on its port.
TEST_F(ServeClientsTest, TheReadmesCurlExamplesWork) {
    if (std::system("command -v curl >/dev/null 2>&1") != 0) GTEST_SKIP() << "curl is not installed";
    const std::string readme = readFile(fs::path(LIKENESS_SOURCE_DIR) / "README.md");
    const std::size_t first = readme.find("curl -H 'Content-Type: image/jpeg' --data-binary @cat.jpg");
    ASSERT_NE(first, std::string::npos) << "README.md shows no upload with curl";
    const std::string block = readme.substr(first, readme.find("```", first) - first);
    fs::copy_file(pics / "scene4.jpg", work / "cat.jpg");
    fs::copy_file(pics / "scene4.jpg", work / "query.jpg");
    std::vector<std::string> outputs;
    for (std::string line : lines(block)) {
        ASSERT_EQ(line.rfind("curl ", 0), 0u) << line;
        for (std::size_t at; (at = line.find("8790")) != std::string::npos;)
            line.replace(at, 4, std::to_string(server->port()));
        const CommandRun run = runShell("curl -s " + line.substr(5), work);
        EXPECT_EQ(run.status, 0) << line << ": " << run.err;
        outputs.push_back(run.out);
    }
    ASSERT_EQ(outputs.size(), 6u);
    EXPECT_TRUE(contains(outputs[0], "\"result\":\"added\"")) << outputs[0];
    EXPECT_TRUE(contains(outputs[1], "\"result\":\"added\"") || contains(outputs[1], "download_failed")) << outputs[1];
    EXPECT_TRUE(contains(outputs[2], "\"key\":\"pictures/holiday/cat.jpg\"")) << outputs[2];
    EXPECT_EQ(readFile(work / "cat.jpg"), readFile(pics / "scene4.jpg")) << "fetched back whole";
    EXPECT_TRUE(contains(outputs[4], "\"result\":\"removed\"")) << outputs[4];
    EXPECT_TRUE(contains(outputs[5], "\"database\":")) << outputs[5];
}
