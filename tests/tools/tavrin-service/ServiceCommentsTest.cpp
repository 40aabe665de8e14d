// The page's JSON API of a running tavrin-service: the demo project, comments
// and the change feed, and what survives a kill.
#include "common/Value.h"
#include "tests/tools/tavrin-service/ServiceProcess.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>

using namespace tavrin;
using namespace tavrin::testing;

namespace {

class AServiceWorkspace : public ::testing::Test {
  protected:
    void SetUp() override { service = std::make_unique<ServiceProcess>(data.path()); }

    struct Answer {
        int status = 0;
        Value body;
    };
    Answer call(const std::string& method, const std::string& path, const Value& body = nullptr) {
        httplib::Client client(service->url());
        client.set_read_timeout(std::chrono::seconds(40));
        httplib::Headers headers{{"Authorization", "Bearer " + service->token()}};
        std::string text = body.is_null() ? "" : writeJSON(body).value();
        httplib::Result result =
            method == "GET"     ? client.Get(path, headers)
            : method == "POST"  ? client.Post(path, headers, text, "application/json")
            : method == "PATCH" ? client.Patch(path, headers, text, "application/json")
                                : client.Delete(path, headers);
        if (!result)
            return {};
        return {result->status, parseJSON(result->body).value_or(Value("not JSON"))};
    }

    // A connection that has sent `text` and is then left alone.
    int connectAndSend(const std::string& text) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{AF_INET,
                       htons(static_cast<std::uint16_t>(service->port())),
                       {htonl(INADDR_LOOPBACK)},
                       {}};
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        EXPECT_EQ(send(fd, text.data(), text.size(), MSG_NOSIGNAL), std::ssize(text));
        return fd;
    }

    TempFolder data;
    std::unique_ptr<ServiceProcess> service;
};

TEST_F(AServiceWorkspace, StartsWithTheDemoProjectAndServesThePageWithTheToken) {
    Answer workspace = call("GET", "/api/projects/demo");
    ASSERT_EQ(workspace.status, 200);
    EXPECT_EQ(workspace.body.at("project").at("id"), "demo");
    EXPECT_EQ(workspace.body.at("videos").size(), 1u);
    const Value& comments = workspace.body.at("comments");
    ASSERT_GE(comments.size(), 3u);
    bool nonASCII = false;
    for (const Value& c : comments)
        for (unsigned char ch : c.at("content").get<std::string>())
            nonASCII = nonASCII || ch >= 0x80;
    EXPECT_TRUE(nonASCII);
    EXPECT_EQ(call("GET", "/api/projects/nope").status, 404);
    for (const char* path : {"/api/projects/%FF", "/api/videos/%C3%28"}) // not UTF-8
        EXPECT_TRUE(call("GET", path).body.contains("error")) << path;

    httplib::Client client(service->url());
    auto page = client.Get("/fcp-panel/login");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("content=\"" + service->token() + "\""), std::string::npos);
    for (const char* asset : {"/fcp-panel/panel.js", "/fcp-panel/panel.css"})
        EXPECT_EQ(client.Get(asset)->status, 200) << asset;
    // A DNS name rebound to the loopback address does not reach it.
    for (const char* host :
         {"attacker.example:3000", "localhost.attacker.example", "localhost:1/x"})
        EXPECT_EQ(client.Get("/fcp-panel/login", {{"Host", host}})->status, 403) << host;
    for (const char* host : {"localhost", "LocalHost:3000"}) // host names have no case
        EXPECT_EQ(client.Get("/fcp-panel/login", {{"Host", host}})->status, 200) << host;
    // A second service on the same folder would undo the first one's work.
    EXPECT_THROW(ServiceProcess{data.path()}, std::runtime_error);
    TempFolder other; // an empty token is refused, not ignored
    EXPECT_THROW(ServiceProcess(other.path(), {"--token", ""}), std::runtime_error);
    // A usage error exits 2 (as the other programs' do); help is no error.
    for (auto [args, status] : {std::pair{" --no-such-option", 2}, {" --help", 0}})
        EXPECT_EQ(
            WEXITSTATUS(std::system(
                (ServiceProcess::program() + std::string(args) + " >/dev/null 2>&1").c_str())),
            status)
            << args;
}

TEST_F(AServiceWorkspace, CreatesEditsResolvesAndDeletesComments) {
    Answer made = call("POST", "/api/projects/demo/comments",
                       {{"timestamp", 4.25},
                        {"timestampEnd", 6.0},
                        {"content", "Plus court — 短く"},
                        {"userName", "Zoë"}});
    ASSERT_EQ(made.status, 201) << made.body;
    const std::string id = made.body.at("id");
    EXPECT_EQ(made.body.at("timestamp"), 4.25);
    EXPECT_EQ(made.body.at("timestampEnd"), 6.0);
    EXPECT_EQ(made.body.at("resolved"), false);
    EXPECT_EQ(made.body.at("userName"), "Zoë");

    const Value refused[] = {
        {{"content", "no time"}},
        {{"timestamp", -1}, {"content", "negative"}},
        {{"timestamp", 5}, {"timestampEnd", 4}, {"content", "ends before it starts"}},
        {{"timestamp", 5}, {"content", ""}},
        {{"timestamp", "5"}, {"content", "time as text"}},
    };
    for (const Value& body : refused)
        EXPECT_EQ(call("POST", "/api/projects/demo/comments", body).status, 400) << body;

    Answer edited =
        call("PATCH", "/api/comments/" + id, {{"content", "Shorter"}, {"timestampEnd", nullptr}});
    EXPECT_EQ(edited.body.at("content"), "Shorter");
    EXPECT_EQ(edited.body.at("timestampEnd"), nullptr);
    EXPECT_EQ(edited.body.at("timestamp"), 4.25);
    EXPECT_EQ(call("PATCH", "/api/comments/" + id, {{"resolved", true}}).body.at("resolved"), true);
    EXPECT_EQ(call("PATCH", "/api/comments/" + id, {{"resolved", false}}).body.at("resolved"),
              false);
    EXPECT_EQ(call("PATCH", "/api/comments/" + id, {{"resolved", "yes"}}).status, 400);
    // A body far beyond any comment is refused from its length, before it is sent.
    int large = connectAndSend("POST /api/projects/demo/comments HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                               "Content-Type: application/json\r\nContent-Length: 1048576\r\n"
                               "Authorization: Bearer " +
                               service->token() + "\r\n\r\n");
    pollfd answered{large, POLLIN, 0};
    char status[16] = {};
    EXPECT_TRUE(poll(&answered, 1, 10'000) == 1 && recv(large, status, 12, 0) == 12);
    EXPECT_STREQ(status, "HTTP/1.1 413");
    close(large);

    // A comment acknowledged before a kill is still there after it.
    service->kill();
    service->restart();
    Answer listed = call("GET", "/api/projects/demo/comments");
    auto found = std::find_if(listed.body.at("comments").begin(), listed.body.at("comments").end(),
                              [&](const Value& c) { return c.at("id") == id; });
    ASSERT_NE(found, listed.body.at("comments").end());
    EXPECT_EQ(found->at("content"), "Shorter");

    EXPECT_EQ(call("DELETE", "/api/comments/" + id).status, 200);
    EXPECT_EQ(call("DELETE", "/api/comments/" + id).status, 404);
    EXPECT_EQ(call("PATCH", "/api/comments/" + id, {{"content", "gone"}}).status, 404);
}

TEST_F(AServiceWorkspace, ChangeFeedAnswersAWaitingReaderWhenACommentChanges) {
    const std::int64_t cursor = call("GET", "/api/projects/demo").body.at("cursor");
    // With nothing new, the feed answers empty once the wait is over.
    Answer idle =
        call("GET", "/api/projects/demo/changes?since=" + std::to_string(cursor) + "&wait=0");
    EXPECT_EQ(idle.body.at("changes"), Value::array());
    EXPECT_EQ(idle.body.at("cursor"), cursor);

    auto waiting = std::async(std::launch::async, [&] {
        return call("GET",
                    "/api/projects/demo/changes?since=" + std::to_string(cursor) + "&wait=30");
    });
    // The reader is answered by the change, long before its 30 s wait ends.
    Answer made =
        call("POST", "/api/projects/demo/comments", {{"timestamp", 1}, {"content", "new"}});
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    Answer feed = waiting.get();
    ASSERT_EQ(feed.body.at("changes").size(), 1u) << feed.body;
    EXPECT_EQ(feed.body.at("changes")[0].at("type"), "comment.created");
    EXPECT_EQ(feed.body.at("changes")[0].at("object"), made.body);

    const std::string id = made.body.at("id");
    call("PATCH", "/api/comments/" + id, {{"resolved", true}});
    call("DELETE", "/api/comments/" + id);
    Answer rest = call("GET", "/api/projects/demo/changes?since=" + feed.body.at("cursor").dump() +
                                  "&wait=0");
    ASSERT_EQ(rest.body.at("changes").size(), 2u);
    EXPECT_EQ(rest.body.at("changes")[0].at("type"), "comment.updated");
    EXPECT_EQ(rest.body.at("changes")[0].at("object").at("resolved"), true);
    EXPECT_EQ(rest.body.at("changes")[1].at("type"), "comment.deleted");
    EXPECT_EQ(call("GET", "/api/projects/demo/changes").status, 400);

    // Stopping the service does not wait for a reader's wait to end.
    auto parked = std::async(std::launch::async, [&] {
        return call("GET", "/api/projects/demo/changes?since=" + rest.body.at("cursor").dump() +
                               "&wait=30");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // let the reader arrive
    EXPECT_EQ(service->stop(), 0);
    EXPECT_EQ(parked.wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

TEST_F(AServiceWorkspace, AnswersWhileManyConnectionsWaitOrIdleAndStopsWithoutThem) {
    const std::string cursor = call("GET", "/api/projects/demo").body.at("cursor").dump();
    std::vector<pollfd> readers;
    for (int i = 0; i < 36; ++i)
        readers.push_back({connectAndSend("GET /api/projects/demo/changes?since=" + cursor +
                                          "&wait=30 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                          "Authorization: Bearer " +
                                          service->token() + "\r\n\r\n"),
                           POLLIN, 0});
    std::vector<int> idle = {connectAndSend(""), connectAndSend("GET /api/pro")};
    // Served while the readers wait; only the 4 beyond 32 are answered, to come back later.
    EXPECT_EQ(call("GET", "/api/videos/demo-video").status, 200);
    std::vector<std::string> answers;
    for (int round = 0; round < 100 && answers.size() < 4; ++round) {
        poll(readers.data(), readers.size(), 100);
        for (pollfd& p : readers)
            if (p.revents & POLLIN) {
                char text[16] = {};
                answers.emplace_back(text, std::max<ssize_t>(0, recv(p.fd, text, 12, 0)));
                idle.push_back(p.fd);
                p.fd = -1;
            }
    }
    EXPECT_EQ(answers, std::vector<std::string>(4, "HTTP/1.1 503"));
    // Neither the readers nor a request left half-sent hold up stopping.
    EXPECT_EQ(service->stop(), 0);
    for (const pollfd& p : readers)
        close(p.fd);
    for (int fd : idle)
        close(fd);
}

} // namespace
