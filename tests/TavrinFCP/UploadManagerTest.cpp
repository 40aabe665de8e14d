// UploadManager against a loopback service that records and checks every
// request, and against raw sockets that misbehave in ways a real server can.

#include "TavrinFCP/UploadManager.h"
#include "common/TaskExecutor.h"
#include "common/Value.h"

#include <glib.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace tavrin::container {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr std::int64_t kChunk = UploadManager::chunkSize;
constexpr const char* kToken = "secret-token";

std::string sha256(const std::string& bytes) {
    gchar* digest = g_compute_checksum_for_data(
        G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(bytes.data()), bytes.size());
    std::string hex(digest);
    g_free(digest);
    return hex;
}

std::string patternBytes(std::int64_t size) {
    std::string bytes(static_cast<std::size_t>(size), '\0');
    std::uint32_t state = 2463534242u;
    for (auto& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state);
    }
    return bytes;
}

// --- descriptors -----------------------------------------------------------

std::vector<std::string> openDescriptorTargets() {
    std::vector<std::string> targets;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return targets;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::error_code error;
        fs::path target = fs::read_symlink(fs::path("/proc/self/fd") / entry->d_name, error);
        targets.push_back(error ? std::string() : target.string());
    }
    closedir(dir);
    return targets; // includes the directory's own descriptor, every time
}

// Waits until the process holds no more descriptors than at `baseline`: the
// servers close their side as soon as the client has closed its own, so a
// leaked client socket keeps the count up for good.
bool descriptorsBackTo(std::size_t baseline) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (openDescriptorTargets().size() > baseline) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// --- loopback service --------------------------------------------------------

struct Recorded {
    std::string method;
    std::string path;
    std::map<std::string, std::string> headers;
    std::string body;
    std::string remotePort;
};

// Headers cpp-httplib adds to a request for the handler's information.
const std::set<std::string> kServerAddedHeaders = {"REMOTE_ADDR", "REMOTE_PORT", "LOCAL_ADDR",
                                                   "LOCAL_PORT"};

class FakeService {
  public:
    // Behaviour, set by a test before the upload starts.
    int initiateStatus = 200;
    std::string initiateAnswer = R"({"uploadId":"up-7","videoId":"vid-42"})";
    std::function<std::string(std::int64_t chunkIndex)> chunkURLAnswer;
    int putStatus = 200;
    std::function<void(int chunkIndex)> onPut;
    int completeStatus = 200;
    std::string completeAnswer = "{}";

    FakeService() {
        server_.set_tcp_nodelay(true);
        server_.set_keep_alive_max_count(1000);
        server_.Post("/api/videos/chunked-upload/initiate",
                     [this](const httplib::Request& request, httplib::Response& response) {
                         record(request, request.body);
                         response.status = initiateStatus;
                         response.set_content(initiateAnswer, "application/json");
                     });
        server_.Post("/api/videos/chunked-upload/chunk-url", [this](const httplib::Request& request,
                                                                    httplib::Response& response) {
            record(request, request.body);
            std::int64_t index = -1;
            if (auto body = parseJSON(request.body))
                index = static_cast<std::int64_t>(numberFor(*body, "chunkIndex").value_or(-1));
            std::string answer =
                chunkURLAnswer ? chunkURLAnswer(index) : R"({"url":")" + chunkURL(index) + R"("})";
            response.set_content(answer, "application/json");
        });
        server_.Put(R"(/chunks/(\d+))",
                    [this](const httplib::Request& request, httplib::Response& response,
                           const httplib::ContentReader& reader) {
                        std::string body;
                        reader([&](const char* data, std::size_t length) {
                            body.append(data, length);
                            return true;
                        });
                        record(request, body);
                        if (onPut)
                            onPut(std::stoi(request.matches[1]));
                        response.status = putStatus;
                        if (putStatus != 200)
                            response.set_content("<Error>AccessDenied</Error>", "application/xml");
                    });
        server_.Post("/api/videos/chunked-upload/complete",
                     [this](const httplib::Request& request, httplib::Response& response) {
                         record(request, request.body);
                         response.status = completeStatus;
                         response.set_content(completeAnswer, "application/json");
                     });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        // stop() does nothing to a server that has not started its loop yet.
        while (!server_.is_running())
            std::this_thread::sleep_for(1ms);
    }
    ~FakeService() {
        server_.stop();
        thread_.join();
    }

    std::string apiURL() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::string chunkURL(std::int64_t index) const {
        return apiURL() + "/chunks/" + std::to_string(index);
    }

    std::vector<Recorded> requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    std::vector<std::string> paths() {
        std::vector<std::string> result;
        for (const auto& request : requests())
            result.push_back(request.method + " " + request.path);
        return result;
    }

  private:
    void record(const httplib::Request& request, const std::string& body) {
        Recorded entry{request.method, request.path, {}, body, {}};
        for (const auto& [key, value] : request.headers) {
            if (key == "REMOTE_PORT")
                entry.remotePort = value;
            if (!kServerAddedHeaders.count(key))
                entry.headers[key] = value;
        }
        std::lock_guard lock(mutex_);
        requests_.push_back(std::move(entry));
    }

    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Recorded> requests_;
};

// A listening socket that takes one connection at a time and either drops it
// once part of a request body has arrived, reads and never answers, or answers
// a byte every 250 ms (for 20 s at most), or answers with a body that does not
// end (1 GiB at most).
class RawServer {
  public:
    enum class Mode { DropMidBody, NeverAnswer, Trickle, Flood };

    explicit RawServer(Mode mode) : mode_(mode) {
        listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listen_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(listen_, 8) != 0 ||
            getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
            pipe2(stop_, O_CLOEXEC) != 0)
            throw std::runtime_error("raw server set-up failed");
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~RawServer() {
        (void)!write(stop_[1], "x", 1);
        thread_.join();
        close(listen_);
        close(stop_[0]);
        close(stop_[1]);
    }

    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    int connections() const { return connections_; }

  private:
    // Waits for `fd` to be readable; false once the server is stopping.
    bool waitReadable(int fd) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        while (poll(fds, 2, -1) < 0) {
        }
        return (fds[1].revents & POLLIN) == 0;
    }

    void run() {
        while (waitReadable(listen_)) {
            int connection = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0)
                continue;
            ++connections_;
            std::string received;
            char buffer[65536];
            while (waitReadable(connection)) {
                ssize_t n = read(connection, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                received.append(buffer, static_cast<std::size_t>(n));
                auto headEnd = received.find("\r\n\r\n");
                if (mode_ == Mode::DropMidBody && headEnd != std::string::npos &&
                    received.size() > headEnd + 4 + 1000)
                    break;
                if (mode_ == Mode::Trickle && headEnd != std::string::npos) {
                    trickle(connection);
                    break;
                }
                if (mode_ == Mode::Flood && headEnd != std::string::npos) {
                    flood(connection);
                    break;
                }
            }
            close(connection); // with unread bytes pending, the peer gets a reset
        }
    }

    void trickle(int connection) {
        const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n";
        (void)!::write(connection, head.data(), head.size());
        for (int i = 0; i < 80; ++i) {
            pollfd stop{stop_[0], POLLIN, 0};
            if (poll(&stop, 1, 250) != 0 || ::send(connection, " ", 1, MSG_NOSIGNAL) != 1)
                return;
        }
    }

    void flood(int connection) {
        const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 1000000000000\r\n\r\n";
        const std::string block(65536, 'x');
        bool sent = ::send(connection, head.data(), head.size(), MSG_NOSIGNAL) > 0;
        for (int i = 0; sent && i < (1 << 14); ++i)
            sent = ::send(connection, block.data(), block.size(), MSG_NOSIGNAL) > 0;
    }

    Mode mode_;
    int listen_ = -1;
    int stop_[2] = {-1, -1};
    int port_ = 0;
    std::atomic<int> connections_{0};
    std::thread thread_;
};

// --- fixture -----------------------------------------------------------------

class UploadManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // A parameterised test's name holds a "/": one folder, not two levels
        // of which only the inner one would be removed.
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::replace(name.begin(), name.end(), '/', '-');
        folder_ =
            fs::temp_directory_path() / ("upload-test-" + std::to_string(getpid()) + "-" + name);
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }

    std::string writeFile(const std::string& name, const std::string& bytes) {
        std::string path = (folder_ / name).string();
        std::ofstream(path, std::ios::binary)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    UploadManager manager(const std::string& apiURL) {
        return UploadManager(apiURL, UploadManager::Options{60s, 1s});
    }

    // Runs one upload and checks it left no descriptor open: not the file's,
    // and, once the servers have closed their side, no socket either.
    std::optional<std::string> upload(const std::string& apiURL, const std::string& path,
                                      const std::string& token = kToken) {
        std::size_t baseline = openDescriptorTargets().size();
        auto result = manager(apiURL).uploadFile(path, "Interview cut", "proj-9", token);
        for (const auto& target : openDescriptorTargets())
            EXPECT_NE(target, path) << "the uploaded file is still open";
        EXPECT_TRUE(descriptorsBackTo(baseline)) << "a descriptor was left open";
        return result;
    }

    fs::path folder_;
};

Value jsonOf(const std::string& body) {
    auto parsed = parseJSON(body);
    EXPECT_TRUE(parsed) << "not JSON: " << body;
    return parsed.value_or(Value());
}

// --- the conversation --------------------------------------------------------

class UploadSizes : public UploadManagerTest, public ::testing::WithParamInterface<std::int64_t> {};

TEST_P(UploadSizes, SendsEveryByteThroughTheFourStepConversation) {
    const std::int64_t size = GetParam();
    const std::int64_t chunks = (size + kChunk - 1) / kChunk;
    FakeService service;
    const std::string bytes = patternBytes(size);
    const std::string path = writeFile("export.mov", bytes);

    EXPECT_EQ(upload(service.apiURL(), path), "vid-42");

    auto requests = service.requests();
    ASSERT_EQ(requests.size(), static_cast<std::size_t>(2 + 2 * chunks));

    const Recorded& initiate = requests.front();
    EXPECT_EQ(initiate.method + " " + initiate.path, "POST /api/videos/chunked-upload/initiate");
    EXPECT_EQ(jsonOf(initiate.body), (Value{{"fileName", "Interview cut.mp4"},
                                            {"fileSize", size},
                                            {"totalChunks", chunks},
                                            {"projectId", "proj-9"}}));
    EXPECT_TRUE(jsonOf(initiate.body)["fileSize"].is_number_integer());

    std::string reassembled;
    for (std::int64_t i = 0; i < chunks; ++i) {
        const Recorded& ask = requests[static_cast<std::size_t>(1 + 2 * i)];
        const Recorded& put = requests[static_cast<std::size_t>(2 + 2 * i)];
        EXPECT_EQ(ask.method + " " + ask.path, "POST /api/videos/chunked-upload/chunk-url");
        EXPECT_EQ(jsonOf(ask.body), (Value{{"uploadId", "up-7"},
                                           {"videoId", "vid-42"},
                                           {"chunkIndex", i},
                                           {"totalChunks", chunks}}));
        EXPECT_EQ(put.method + " " + put.path, "PUT /chunks/" + std::to_string(i));
        const std::int64_t expected = std::min(kChunk, size - i * kChunk);
        EXPECT_EQ(static_cast<std::int64_t>(put.body.size()), expected);
        // Nothing a presigned URL's signature could fail to cover.
        auto headers = put.headers;
        EXPECT_EQ(headers.erase("Host"), 1u);
        EXPECT_EQ(headers, (std::map<std::string, std::string>{
                               {"Content-Length", std::to_string(expected)}}));
        reassembled += put.body;
    }
    EXPECT_EQ(sha256(reassembled), sha256(bytes));

    const Recorded& complete = requests.back();
    EXPECT_EQ(complete.method + " " + complete.path, "POST /api/videos/chunked-upload/complete");
    EXPECT_EQ(jsonOf(complete.body),
              (Value{{"uploadId", "up-7"}, {"videoId", "vid-42"}, {"totalChunks", chunks}}));

    std::set<std::string> connections;
    for (const auto& request : requests) {
        connections.insert(request.remotePort);
        if (request.method == "POST") {
            EXPECT_EQ(request.headers.at("Authorization"), "Bearer secret-token");
            EXPECT_EQ(request.headers.at("Content-Type"), "application/json");
        }
    }
    EXPECT_EQ(connections.size(), 1u) << "the upload did not reuse its connection";
}

INSTANTIATE_TEST_SUITE_P(EmptyOneChunkAndOneByteMore, UploadSizes,
                         ::testing::Values(0, kChunk, kChunk + 1));

TEST_F(UploadManagerTest, LetsResponseBodiesOfServiceRequestsDecideWhateverTheirStatus) {
    FakeService service;
    service.initiateStatus = 500; // an error status with the expected members proceeds
    EXPECT_EQ(upload(service.apiURL(), writeFile("a.mp4", "abc")), "vid-42");

    service.initiateStatus = 200;
    service.completeAnswer = "[]";
    EXPECT_EQ(upload(service.apiURL(), writeFile("b.mp4", "abc")), "vid-42");
}

TEST_F(UploadManagerTest, RunsConcurrentUploadsFromExecutorTasksIndependently) {
    FakeService service;
    const std::string first = patternBytes(kChunk + 3);
    const std::string second = std::string(kChunk + 5, 'z');
    const std::string firstPath = writeFile("first.mp4", first);
    const std::string secondPath = writeFile("second.mp4", second);
    std::optional<std::string> results[2];
    const UploadManager shared = manager(service.apiURL());
    {
        TaskExecutor executor;
        executor.spawn([&] { results[0] = shared.uploadFile(firstPath, "a", "p", kToken); });
        executor.spawn([&] { results[1] = shared.uploadFile(secondPath, "b", "p", kToken); });
    } // joins both tasks
    EXPECT_EQ(results[0], "vid-42");
    EXPECT_EQ(results[1], "vid-42");

    // Each connection carried one upload's chunks, in order.
    std::map<std::string, std::string> bytesByConnection;
    for (const auto& request : service.requests())
        if (request.method == "PUT")
            bytesByConnection[request.remotePort] += request.body;
    std::multiset<std::string> hashes, expected = {sha256(first), sha256(second)};
    for (const auto& [port, bytes] : bytesByConnection)
        hashes.insert(sha256(bytes));
    EXPECT_EQ(hashes, expected);
}

// --- faults --------------------------------------------------------------------

TEST_F(UploadManagerTest, SendsNothingForAMissingOrNonRegularFileOrATokenThatCouldSplitAHeader) {
    FakeService service;
    EXPECT_EQ(upload(service.apiURL(), (folder_ / "missing.mp4").string()), std::nullopt);
    EXPECT_EQ(upload(service.apiURL(), folder_.string()), std::nullopt);
    const std::string fifo = (folder_ / "pipe.mp4").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(upload(service.apiURL(), fifo), std::nullopt);
    std::string path = writeFile("a.mp4", "abc");
    EXPECT_EQ(upload(service.apiURL(), path, "tok\r\nX-Injected: 1"), std::nullopt);
    // A link named like an export: its target is any file the user can read.
    fs::create_symlink(path, folder_ / "x.mp4");
    EXPECT_EQ(upload(service.apiURL(), (folder_ / "x.mp4").string()), std::nullopt);
    EXPECT_TRUE(service.requests().empty());
}

// Each failure says why, on one line naming the step.
TEST_F(UploadManagerTest, SaysWhyAnUploadFailed) {
    FakeService service;
    service.initiateAnswer = "<html>Bad Gateway</html>";
    const std::string path = writeFile("a.mp4", "abc");
    fs::create_symlink(path, folder_ / "x.mp4");
    struct Case {
        std::string file;
        std::string apiURL;
        std::string expected;
    } cases[] = {
        {(folder_ / "missing.mp4").string(), service.apiURL(), "No such file"},
        {(folder_ / "two\nlines.mp4").string(), service.apiURL(), "two\\nlines.mp4: No such"},
        {path, "http://bad\nhost", "URL \"http://bad\\nhost\" is not usable"},
        {(folder_ / "x.mp4").string(), service.apiURL(), "symbolic link"},
        {folder_.string(), service.apiURL(), "not a regular file"},
        {path, "http://127.0.0.1:1", "initiate request failed"},
        {path, service.apiURL(), "initiate answer (HTTP 200, \"<html>Bad Gateway"},
    };
    for (const auto& c : cases) {
        Result<std::string> result = manager(c.apiURL).upload(c.file, "n", "p", kToken);
        ASSERT_FALSE(result) << c.file;
        EXPECT_NE(result.error().message.find(c.expected), std::string::npos)
            << result.error().message;
        EXPECT_EQ(result.error().message.find('\n'), std::string::npos);
    }
}

// A service answering a byte at a time is never idle; the total deadline of
// its requests ends the upload (here 1 s; the server gives up after 20 s).
TEST_F(UploadManagerTest, EndsAServiceRequestThatNeverFinishes) {
    RawServer slow(RawServer::Mode::Trickle);
    UploadManager::Options options{60s, 1s};
    options.requestTimeout = 1s;
    auto start = std::chrono::steady_clock::now();
    Result<std::string> result =
        UploadManager(slow.url(""), options).upload(writeFile("a.mp4", "abc"), "n", "p", kToken);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    ASSERT_FALSE(result);
    EXPECT_NE(result.error().message.find("initiate request failed: Timeout"), std::string::npos)
        << result.error().message;
}

TEST_F(UploadManagerTest, FailsOnAnInitiateAnswerThatIsNotAnObjectWithBothIdentifiers) {
    FakeService service;
    const std::string path = writeFile("a.mp4", "abc");
    // The last one is well formed but larger than any answer of the service
    // (1 MiB at most is kept).
    for (std::string answer :
         {std::string("<html>Bad Gateway</html>"), std::string(), std::string("[]"),
          std::string(R"({"uploadId":"u"})"), std::string(R"({"uploadId":"u","videoId":7})"),
          std::string(R"({"uploadId":null,"videoId":"v"})"),
          R"({"uploadId":"u","videoId":"v","padding":")" + std::string(2 << 20, 'x') + R"("})"}) {
        service.initiateAnswer = answer;
        EXPECT_EQ(upload(service.apiURL(), path), std::nullopt) << answer.substr(0, 60);
    }
    for (const auto& line : service.paths())
        EXPECT_EQ(line, "POST /api/videos/chunked-upload/initiate");
}

TEST_F(UploadManagerTest, StopsWhenAChunkURLAnswerHasNoUsableURL) {
    FakeService service;
    const std::string path = writeFile("a.mp4", patternBytes(kChunk + 10));
    for (std::string bad : {R"({"uri":"x"})", R"({"url":42})", R"({"url":"not a url"})", "oops"}) {
        service.chunkURLAnswer = [&](std::int64_t index) {
            return index == 0 ? R"({"url":")" + service.chunkURL(0) + R"("})" : bad;
        };
        EXPECT_EQ(upload(service.apiURL(), path), std::nullopt) << bad;
    }
    // Each attempt put chunk 0, then stopped: no second PUT, no complete.
    auto paths = service.paths();
    EXPECT_EQ(std::count(paths.begin(), paths.end(), "PUT /chunks/0"), 4);
    EXPECT_EQ(std::count(paths.begin(), paths.end(), "PUT /chunks/1"), 0);
    EXPECT_EQ(std::count(paths.begin(), paths.end(), "POST /api/videos/chunked-upload/complete"),
              0);
}

TEST_F(UploadManagerTest, NeverPutsAChunkAnywhereButToAnHTTPURL) {
    FakeService service;
    const fs::path target = folder_ / "written-by-upload";
    service.chunkURLAnswer = [&](std::int64_t) {
        return R"({"url":"file://)" + target.string() + R"("})";
    };
    EXPECT_EQ(upload(service.apiURL(), writeFile("a.mp4", "abc")), std::nullopt);
    EXPECT_FALSE(fs::exists(target));
}

// A chunk's answer is not read; the service names a missing chunk at complete.
TEST_F(UploadManagerTest, FollowsARefusedChunkWithTheNextAndFailsWhenCompleteIsRefused) {
    FakeService service;
    service.putStatus = 403; // an expired presigned URL
    const std::string path = writeFile("a.mp4", patternBytes(kChunk + 1));
    EXPECT_EQ(upload(service.apiURL(), path), "vid-42");
    EXPECT_EQ(service.paths(), (std::vector<std::string>{
                                   "POST /api/videos/chunked-upload/initiate",
                                   "POST /api/videos/chunked-upload/chunk-url", "PUT /chunks/0",
                                   "POST /api/videos/chunked-upload/chunk-url", "PUT /chunks/1",
                                   "POST /api/videos/chunked-upload/complete"}));
    service.completeStatus = 409;
    service.completeAnswer = R"({"error":"parts missing","missingParts":[0,1]})";
    Result<std::string> result = manager(service.apiURL()).upload(path, "n", "p", kToken);
    ASSERT_FALSE(result);
    EXPECT_NE(result.error().message.find("; chunk 1 of 2 was answered with HTTP status 403"),
              std::string::npos)
        << result.error().message;
}

TEST_F(UploadManagerTest, FailsWhenCompleteIsRefusedOrAnsweredWithoutJSON) {
    FakeService service;
    const std::string path = writeFile("a.mp4", "abc");
    service.completeStatus = 500;
    service.completeAnswer = "{}";
    EXPECT_EQ(upload(service.apiURL(), path), std::nullopt);
    service.completeStatus = 200;
    for (const char* answer : {"", "done", "\"ok\""}) {
        service.completeAnswer = answer;
        EXPECT_EQ(upload(service.apiURL(), path), std::nullopt) << answer;
    }
}

TEST_F(UploadManagerTest, FailsWhenTheConnectionDropsInTheMiddleOfAPut) {
    FakeService service;
    RawServer dropper(RawServer::Mode::DropMidBody);
    service.chunkURLAnswer = [&](std::int64_t) {
        return R"({"url":")" + dropper.url("/chunk") + R"("})";
    };
    EXPECT_EQ(upload(service.apiURL(), writeFile("a.mp4", patternBytes(kChunk))), std::nullopt);
    EXPECT_EQ(dropper.connections(), 1);
    EXPECT_EQ(service.paths().size(), 2u); // initiate and chunk-url; no complete
}

// A chunk's answer is not read, yet one without end must not keep the upload.
TEST_F(UploadManagerTest, FailsOnAChunkAnswerThatDoesNotEnd) {
    RawServer flood(RawServer::Mode::Flood);
    FakeService service;
    service.chunkURLAnswer = [&](std::int64_t) {
        return R"({"url":")" + flood.url("/chunk") + R"("})";
    };
    Result<std::string> result =
        manager(service.apiURL()).upload(writeFile("a.mp4", "abc"), "n", "p", kToken);
    ASSERT_FALSE(result);
    EXPECT_NE(result.error().message.find("upload of chunk 1 of 1 failed: the answer is larger"),
              std::string::npos)
        << result.error().message;
}

TEST_F(UploadManagerTest, GivesUpOnAServerThatStopsSending) {
    // A chunk URL that takes the bytes and never answers. (Every request has
    // the same idle limit; each case costs the limit plus curl's averaging
    // window in real time, so one case stands for all.)
    RawServer silent(RawServer::Mode::NeverAnswer);
    FakeService service;
    service.chunkURLAnswer = [&](std::int64_t) {
        return R"({"url":")" + silent.url("/chunk") + R"("})";
    };
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(upload(service.apiURL(), writeFile("b.mp4", patternBytes(1000))), std::nullopt);
    // The 1 s limit applied, not the default minute (generous bound for a loaded machine).
    EXPECT_LT(std::chrono::steady_clock::now() - start, 40s);
    EXPECT_EQ(silent.connections(), 1);
    EXPECT_EQ(service.paths().size(), 2u);
}

TEST_F(UploadManagerTest, StopsWhenCancelledAndStartsNoMoreAfterwards) {
    // A chunk PUT that is never answered, under the default minute's idle
    // limit: only the cancellation ends it soon.
    RawServer silent(RawServer::Mode::NeverAnswer);
    FakeService service;
    service.chunkURLAnswer = [&](std::int64_t) {
        return R"({"url":")" + silent.url("/chunk") + R"("})";
    };
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    UploadManager::Options options;
    options.cancelled = cancelled;
    const UploadManager manager(service.apiURL(), options);
    std::thread canceller([&] {
        while (silent.connections() == 0)
            std::this_thread::sleep_for(10ms);
        cancelled->store(true);
    });
    Result<std::string> result = manager.upload(writeFile("c.mp4", "abc"), "n", "p", kToken);
    canceller.join();
    ASSERT_FALSE(result);
    EXPECT_NE(result.error().message.find("cancelled"), std::string::npos)
        << result.error().message;

    const std::size_t requests = service.paths().size();
    EXPECT_FALSE(manager.upload(writeFile("d.mp4", "abc"), "n", "p", kToken));
    EXPECT_EQ(service.paths().size(), requests);
}

TEST_F(UploadManagerTest, SendsExactlyTheAnnouncedBytesWhenTheFileChangesSize) {
    FakeService service;
    std::string path;

    // Shrinks below the end of a chunk that is not the last.
    path = writeFile("shrinks.mp4", patternBytes(2 * kChunk + 100));
    service.onPut = [&](int index) {
        if (index == 0)
            fs::resize_file(path, kChunk + 10);
    };
    EXPECT_EQ(upload(service.apiURL(), path), std::nullopt);

    // Shrinks inside the last chunk.
    path = writeFile("shrinks-last.mp4", patternBytes(kChunk + 100));
    EXPECT_EQ(upload(service.apiURL(), path), std::nullopt);

    auto paths = service.paths();
    EXPECT_EQ(std::count(paths.begin(), paths.end(), "PUT /chunks/0"), 2);
    EXPECT_EQ(std::count(paths.begin(), paths.end(), "PUT /chunks/1"), 0);
    EXPECT_EQ(std::count(paths.begin(), paths.end(), "POST /api/videos/chunked-upload/complete"),
              0);

    // Grows: the service receives the size it was told, and the bytes of it.
    const std::string original = patternBytes(kChunk + 100);
    path = writeFile("grows.mp4", original);
    service.onPut = [&](int index) {
        if (index == 0)
            std::ofstream(path, std::ios::binary | std::ios::app) << std::string(70000, 'x');
    };
    EXPECT_EQ(upload(service.apiURL(), path), "vid-42");
    auto requests = service.requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(sha256(requests[requests.size() - 4].body + requests[requests.size() - 2].body),
              sha256(original));
}

TEST_F(UploadManagerTest, FailsWhenTheServiceIsUnreachableOrTheBaseURLIsUnusable) {
    const std::string path = writeFile("a.mp4", "abc");
    EXPECT_EQ(upload("http://127.0.0.1:1", path), std::nullopt);
    EXPECT_EQ(upload("", path), std::nullopt);
    EXPECT_EQ(upload("not a url", path), std::nullopt);
}

} // namespace
} // namespace tavrin::container
