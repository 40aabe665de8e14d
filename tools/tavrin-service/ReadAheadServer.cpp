#include "tools/tavrin-service/ReadAheadServer.h"

#include "common/SocketWait.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

namespace tavrin::service {

namespace {

// Large enough that a body arriving at loopback speed takes a few reads per
// 64 KiB segment, small enough for many idle keep-alive connections.
constexpr std::size_t kReadAhead = 128 * 1024;
// How often a connection waiting for its next request looks whether the
// server is stopping.
constexpr int kIdleSliceMs = 50;

int milliseconds(time_t seconds, time_t microseconds) {
    return static_cast<int>(std::min<long long>(seconds * 1000LL + microseconds / 1000, 1 << 30));
}

void address(int sock, bool peer, std::string& ip, int& port) {
    sockaddr_storage storage{};
    socklen_t length = sizeof(storage);
    auto* where = reinterpret_cast<sockaddr*>(&storage);
    if ((peer ? ::getpeername(sock, where, &length) : ::getsockname(sock, where, &length)) != 0)
        return;
    char host[NI_MAXHOST];
    char service[NI_MAXSERV];
    if (::getnameinfo(where, length, host, sizeof(host), service, sizeof(service),
                      NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return;
    ip = host;
    port = std::atoi(service);
}

class ConnectionStream : public httplib::Stream {
  public:
    ConnectionStream(int sock, int readTimeoutMs, int writeTimeoutMs)
        : sock_(sock), readTimeoutMs_(readTimeoutMs), writeTimeoutMs_(writeTimeoutMs),
          buffer_(std::make_unique<char[]>(kReadAhead)) {}

    bool is_readable() const override {
        return begin_ < end_ || waitFor(sock_, POLLIN, readTimeoutMs_);
    }

    // As the library's own stream: writable, and not closed by the peer.
    bool is_writable() const override {
        if (!waitFor(sock_, POLLOUT, writeTimeoutMs_))
            return false;
        if (!waitFor(sock_, POLLIN, 0))
            return true;
        char byte;
        return ::recv(sock_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
    }

    ssize_t read(char* into, size_t size) override {
        if (begin_ == end_ && size < kReadAhead) {
            ssize_t received = receive(buffer_.get(), kReadAhead);
            if (received <= 0)
                return received;
            begin_ = 0;
            end_ = static_cast<std::size_t>(received);
        }
        return begin_ < end_ ? takeBuffered(into, size) : receive(into, size);
    }

    ssize_t write(const char* data, size_t size) override {
        return whenReady(sock_, POLLOUT, writeTimeoutMs_,
                         [&] { return ::send(sock_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT); });
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        address(sock_, true, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        address(sock_, false, ip, port);
    }
    socket_t socket() const override { return sock_; }

    // The next bytes, from the buffer or else straight from the socket.
    ssize_t readDirect(char* into, std::size_t size) {
        if (begin_ < end_)
            return takeBuffered(into, size);
        ssize_t received = receive(into, size);
        return received > 0 ? received : -1;
    }

    // Whether a next request begins within `timeoutMs` (or the peer closed,
    // which reading it reports); gives up early once `stopping` says so.
    template <typename Stopping> bool awaitRequest(int timeoutMs, Stopping stopping) {
        if (begin_ < end_)
            return true;
        for (int waited = 0; waited < timeoutMs && !stopping(); waited += kIdleSliceMs)
            if (waitFor(sock_, POLLIN, std::min(kIdleSliceMs, timeoutMs - waited)))
                return true;
        return false;
    }

  private:
    ssize_t takeBuffered(char* into, std::size_t size) {
        std::size_t length = std::min(size, end_ - begin_);
        std::memcpy(into, buffer_.get() + begin_, length);
        begin_ += length;
        return static_cast<ssize_t>(length);
    }

    // One recv; when nothing has arrived yet, waits for it up to the read
    // time-out. Data usually waits already, so this is one system call.
    ssize_t receive(char* into, std::size_t size) {
        return whenReady(sock_, POLLIN, readTimeoutMs_,
                         [&] { return ::recv(sock_, into, size, MSG_DONTWAIT); });
    }

    const int sock_;
    const int readTimeoutMs_;
    const int writeTimeoutMs_;
    std::unique_ptr<char[]> buffer_;
    std::size_t begin_ = 0; // unread bytes are buffer_[begin_, end_)
    std::size_t end_ = 0;
};

// The connection whose request this thread is handling.
thread_local ConnectionStream* tConnection = nullptr;

} // namespace

ssize_t ReadAheadServer::readBody(char* into, std::size_t size) {
    return tConnection != nullptr && size > 0 ? tConnection->readDirect(into, size) : -1;
}

bool ReadAheadServer::readsBody(const httplib::Request& request) {
    return tConnection != nullptr && request.has_header("Content-Length") &&
           !request.has_header("Transfer-Encoding");
}

bool ReadAheadServer::process_and_close_socket(socket_t sock) {
    bool served = false;
    {
        ConnectionStream stream(sock, milliseconds(read_timeout_sec_, read_timeout_usec_),
                                milliseconds(write_timeout_sec_, write_timeout_usec_));
        struct Handling {
            explicit Handling(ConnectionStream* stream) { tConnection = stream; }
            ~Handling() { tConnection = nullptr; }
        } handling(&stream);
        auto stopping = [this] { return svr_sock_ == INVALID_SOCKET; };
        for (std::size_t left = keep_alive_max_count_; left > 0 && !stopping(); --left) {
            if (!stream.awaitRequest(milliseconds(keep_alive_timeout_sec_, 0), stopping))
                break;
            bool closed = false;
            served = process_request(stream, left == 1, closed, nullptr);
            if (!served || closed)
                break;
        }
    }
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return served;
}

} // namespace tavrin::service
