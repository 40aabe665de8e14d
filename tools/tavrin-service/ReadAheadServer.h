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
  private:
    bool process_and_close_socket(socket_t sock) override;
};

} // namespace tavrin::service
