#pragma once
// The sockets of the connections an engine's transfers have opened and not yet closed. curl tells a transfer
// which addresses its connection joins, but not its socket, and a kept connection is opened by one transfer
// and used by later ones: this is how a later one finds it, to see bytes arrive that curl has not yet handed
// over (a header line still arriving), and to see whether an HTTP/1 connection kept for reuse has
// received bytes that no request asked for.
#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace httpkit {

class ConnectionSockets {
 public:
  void opened(curl_socket_t socket);
  void closed(curl_socket_t socket);
  // The open socket from `localPort` to `peerIP`:`peerPort`, or CURL_SOCKET_BAD.
  curl_socket_t find(const char* peerIP, int peerPort, int localPort);

  // The connection has carried an HTTP/1 exchange: it is kept for the next request only while nothing
  // arrives on it unasked.
  void carriedHTTP1(curl_socket_t socket);
  // Called as a request is about to go out on the connection. An HTTP/1 connection that has carried an
  // exchange and has anything to read now (bytes or its end) got them unasked: HTTP/1 has no way to tell
  // them from the answer to come. It is shut down, so that the request goes out on a fresh connection
  // (curl sends again, once, a request whose kept connection fails before any answer). True when it was.
  bool shutDownIfUnasked(curl_socket_t socket);

  // Bytes the kernel has received and seen acknowledged on the connection so far; none where it cannot say.
  static std::optional<std::uint64_t> bytesMoved(curl_socket_t socket);

  // curl's close callback; the registry is its client pointer, and must outlive every connection.
  static int onClose(void* registry, curl_socket_t socket);

 private:
  // Where a connected socket leads. Asked of the kernel once per connection rather than on every look-up:
  // an engine keeps dozens of connections, and each request looks one up.
  // The peer is kept as the kernel's bytes, not as text: each look-up compares a few bytes instead of
  // printing every kept connection's address.
  struct Ends {
    int localPort = -1;
    int peerPort = -1;
    int peerFamily = AF_UNSPEC;
    std::uint8_t peerAddress[sizeof(in6_addr)] = {};
  };
  struct Connection {
    curl_socket_t socket;
    bool carriedHTTP1 = false;
    std::optional<Ends> ends;  // none until the socket is connected
  };
  std::vector<Connection>::iterator at(curl_socket_t socket);
  // The socket's ends as the kernel tells them now; none while it is not connected.
  static std::optional<Ends> endsOf(curl_socket_t socket);

  std::mutex mutex_;
  std::vector<Connection> connections_;
};

}  // namespace httpkit
