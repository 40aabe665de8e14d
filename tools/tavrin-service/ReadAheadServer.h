#pragma once
// An httplib::Server whose connections read ahead: each connection reads its
// socket in large blocks into a buffer of its own and hands the HTTP layer
// its small reads from there. The library's own connection stream polls and
// reads the socket for every 4 KiB of a body, which at upload rates costs
// more CPU than storing the bytes. Everything else (parsing, routing,
// timeouts, keep-alive limits) is the library's and its settings.
//
// The buffer lives as long as the connection, so bytes of the next request
// that arrive with the end of this one are kept for it.

#include <httplib.h>

namespace tavrin::service {

class ReadAheadServer : public httplib::Server {
  public:
    // The body of the request this thread is handling, read straight from its
    // connection into the caller's memory, without the library's 4 KiB copies.
    // Only for a handler that takes a ContentReader and does not use it (the
    // body is then still unread): the caller keeps within the request's
    // Content-Length. Reads up to `size` bytes (at least one), waiting up to
    // the read time-out. Returns the number read, or -1 when the connection
    // failed, timed out or ended.
    static ssize_t readBody(char* into, std::size_t size);
    // Whether readBody() can be used: this thread handles a request of a
    // ReadAheadServer, and its body is sent with a Content-Length.
    static bool readsBody(const httplib::Request& request);

  private:
    bool process_and_close_socket(socket_t sock) override;
};

} // namespace tavrin::service
