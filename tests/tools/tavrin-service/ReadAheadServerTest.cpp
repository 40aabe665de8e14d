// The service's HTTP connections, which read their sockets ahead of the
// HTTP layer: bodies split anyhow across reads, through the library's reader
// or read straight from the connection, requests sent back to back on one
// connection, and a stop while a client keeps an idle connection open.
#include "tools/tavrin-service/ReadAheadServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

using tavrin::service::ReadAheadServer;

namespace {

struct RunningServer {
    ReadAheadServer server;
    std::future<bool> listening;
    int sock = ::socket(AF_INET, SOCK_STREAM, 0);

    RunningServer() {
        server.Put("/echo", [](const httplib::Request& request, httplib::Response& response,
                               const httplib::ContentReader& reader) {
            std::string body;
            reader([&](const char* data, std::size_t length) {
                body.append(data, length);
                return true;
            });
            response.set_content(body + request.get_header_value("Content-Length"), "text/plain");
        });
        server.Put("/direct", [](const httplib::Request& request, httplib::Response& response,
                                 const httplib::ContentReader&) {
            std::string body(std::stoul(request.get_header_value("Content-Length")), '\0');
            for (std::size_t at = 0; ReadAheadServer::readsBody(request) && at < body.size();) {
                ssize_t n = ReadAheadServer::readBody(body.data() + at, body.size() - at);
                at += n > 0 ? static_cast<std::size_t>(n) : body.size(); // (the test sees it)
            }
            response.set_content(body + request.get_header_value("Content-Length"), "text/plain");
        });
        server.set_keep_alive_timeout(3600); // only stop() ends an idle connection
        server.set_keep_alive_max_count(100);
        sockaddr_in address{AF_INET,
                            htons(static_cast<std::uint16_t>(server.bind_to_any_port("127.0.0.1"))),
                            {htonl(INADDR_LOOPBACK)},
                            {}};
        listening = std::async(std::launch::async, [this] { return server.listen_after_bind(); });
        EXPECT_EQ(::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        timeval limit{10, 0}; // a lost request fails the test instead of hanging it
        ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    }
    ~RunningServer() {
        ::close(sock); // (also lets a stop that would wait for this client end)
        server.stop();
        listening.wait();
    }

    void send(const std::string& bytes) {
        for (std::size_t done = 0; done < bytes.size();) {
            ssize_t n = ::send(sock, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            ASSERT_GT(n, 0);
            done += static_cast<std::size_t>(n);
        }
    }
    // The body of the next response.
    std::string nextBody() {
        for (;;) {
            std::size_t end = pending.find("\r\n\r\n"), at = pending.find("Content-Length: ");
            if (end != std::string::npos && at < end) {
                std::size_t length = std::stoul(pending.substr(at + 16));
                if (pending.size() >= end + 4 + length) {
                    std::string body = pending.substr(end + 4, length);
                    pending.erase(0, end + 4 + length);
                    return body;
                }
            }
            char buffer[65536];
            ssize_t n = ::recv(sock, buffer, sizeof(buffer), 0);
            if (n <= 0)
                return "(no answer)";
            pending.append(buffer, static_cast<std::size_t>(n));
        }
    }
    std::string pending;
};

std::string put(const std::string& path, const std::string& body) {
    return "PUT " + path +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

TEST(AReadAheadServer, ServesBodiesInAnySplitAndRequestsSentBackToBack) {
    RunningServer running;
    std::string large(300 * 1024 + 7, '\0'); // more than one read ahead
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<char>(i * 131 >> 5);
    const std::string tail = "tail";
    const std::string length = std::to_string(large.size());
    // Requests in one write: what follows a body is the next request.
    running.send(put("/echo", large) + put("/direct", tail) + put("/direct", large) +
                 put("/echo", tail));
    for (const std::string& expected : {large + length, tail + "4", large + length, tail + "4"})
        EXPECT_TRUE(running.nextBody() == expected);
    // Requests in pieces with pauses, cut inside the header and the body.
    for (const char* path : {"/echo", "/direct"}) {
        const std::string request = put(path, large);
        for (std::size_t at = 0; at < request.size(); at += 70'001) {
            running.send(request.substr(at, 70'001));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_TRUE(running.nextBody() == large + length) << path;
    }
    EXPECT_TRUE(running.pending.empty());
}

TEST(AReadAheadServer, StopEndsConnectionsThatWaitForTheirNextRequest) {
    RunningServer running;
    running.send(put("/echo", "x"));
    ASSERT_EQ(running.nextBody(), "x1");
    // The connection stays open and idle; its keep-alive limit is an hour.
    auto stopped = std::async(std::launch::async, [&] { running.server.stop(); });
    EXPECT_EQ(running.listening.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(running.nextBody(), "(no answer)"); // closed by the server
}

} // namespace
