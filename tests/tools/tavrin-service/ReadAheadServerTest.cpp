// The service's HTTP connections, which read their sockets ahead of the
// HTTP layer: bodies split anyhow across reads, requests sent back to back
// on one connection, and a stop while clients keep idle connections open.
#include "tools/tavrin-service/ReadAheadServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

using tavrin::service::ReadAheadServer;

namespace {

struct RunningServer {
    ReadAheadServer server;
    int port = 0;
    std::future<bool> listening;

    RunningServer() {
        server.Put("/echo", [](const httplib::Request&, httplib::Response& response,
                               const httplib::ContentReader& reader) {
            std::string body;
            reader([&](const char* data, std::size_t length) {
                body.append(data, length);
                return true;
            });
            response.set_content(body, "application/octet-stream");
        });
        // The same, reading the body straight from the connection.
        server.Put("/direct", [](const httplib::Request& request, httplib::Response& response,
                                 const httplib::ContentReader&) {
            EXPECT_TRUE(ReadAheadServer::readsBody(request));
            std::string body(std::stoul(request.get_header_value("Content-Length")), '\0');
            for (std::size_t at = 0; at < body.size();) {
                ssize_t n = ReadAheadServer::readBody(body.data() + at, body.size() - at);
                if (n <= 0)
                    return; // answered 200 without a body: the test sees it
                at += static_cast<std::size_t>(n);
            }
            response.set_content(body, "application/octet-stream");
        });
        server.Get("/ping", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("pong", "text/plain");
        });
        server.set_keep_alive_timeout(3600); // only stop() ends an idle connection
        server.set_keep_alive_max_count(100);
        port = server.bind_to_any_port("127.0.0.1");
        // Connections wait in the backlog until the server accepts them.
        listening = std::async(std::launch::async, [this] { return server.listen_after_bind(); });
    }
    ~RunningServer() {
        server.stop();
        listening.wait();
    }

    int connect() const {
        int sock = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        timeval limit{10, 0}; // a lost request fails the test instead of hanging it
        ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
        return sock;
    }
};

void sendAll(int sock, const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        ssize_t n = ::send(sock, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        ASSERT_GT(n, 0);
        done += static_cast<std::size_t>(n);
    }
}

// Reads one response with a Content-Length and returns its body.
std::string readResponse(int sock, std::string& pending) {
    auto fill = [&] {
        char buffer[65536];
        ssize_t n = ::recv(sock, buffer, sizeof(buffer), 0);
        if (n <= 0)
            return false;
        pending.append(buffer, static_cast<std::size_t>(n));
        return true;
    };
    std::size_t headerEnd;
    while ((headerEnd = pending.find("\r\n\r\n")) == std::string::npos)
        if (!fill())
            return "(no answer)";
    const std::string headers = pending.substr(0, headerEnd);
    const std::size_t at = headers.find("Content-Length: ");
    if (headers.rfind("HTTP/1.1 200", 0) != 0 || at == std::string::npos)
        return "(unexpected response) " + headers;
    const std::size_t length = std::stoul(headers.substr(at + 16));
    while (pending.size() < headerEnd + 4 + length)
        if (!fill())
            return "(no answer)";
    std::string body = pending.substr(headerEnd + 4, length);
    pending.erase(0, headerEnd + 4 + length);
    return body;
}

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
    const std::string ping = "GET /ping HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

    int sock = running.connect();
    std::string pending;
    // Requests in one write: what follows a body is the next request.
    sendAll(sock, put("/echo", large) + ping + put("/direct", large) + put("/direct", "tail") +
                      put("/echo", "end"));
    for (const std::string& expected :
         {large, std::string("pong"), large, std::string("tail"), std::string("end")}) {
        const std::string body = readResponse(sock, pending);
        EXPECT_TRUE(body == expected) << body.substr(0, 40) << " (" << body.size() << " bytes)";
    }

    // One request in pieces with pauses, each cut inside the header or body.
    for (const char* path : {"/echo", "/direct"}) {
        const std::string request = put(path, large);
        for (std::size_t at = 0; at < request.size(); at += 70'001) {
            sendAll(sock, request.substr(at, 70'001));
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const std::string body = readResponse(sock, pending);
        EXPECT_TRUE(body == large)
            << path << ": " << body.substr(0, 40) << " (" << body.size() << " bytes)";
    }
    EXPECT_TRUE(pending.empty());
    ::close(sock);
}

TEST(AReadAheadServer, StopEndsConnectionsThatWaitForTheirNextRequest) {
    auto running = std::make_unique<RunningServer>();
    int sock = running->connect();
    std::string pending;
    sendAll(sock, "GET /ping HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    ASSERT_EQ(readResponse(sock, pending), "pong");
    // The connection stays open and idle; the keep-alive limit is an hour.
    auto stopped = std::async(std::launch::async, [&] { running.reset(); });
    const bool inTime = stopped.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    EXPECT_TRUE(inTime);
    char byte;
    if (inTime) {
        EXPECT_EQ(::recv(sock, &byte, 1, 0), 0); // closed by the server
    }
    ::close(sock); // (otherwise lets a stop that waits for this client end)
    stopped.wait();
}

} // namespace
