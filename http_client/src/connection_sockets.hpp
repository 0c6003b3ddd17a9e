#pragma once
// The sockets of the connections an engine's transfers have opened and not yet closed. curl tells a transfer
// which addresses its connection joins, but not its socket, and a kept connection is opened by one transfer
// and used by later ones: this is how a later one finds it, to see bytes arrive that curl has not yet handed
// over (a header line still arriving).
#include <curl/curl.h>

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
  curl_socket_t find(const char* peerIP, int peerPort, int localPort) const;

  // Bytes the kernel has received and seen acknowledged on the connection so far; none where it cannot say.
  static std::optional<std::uint64_t> bytesMoved(curl_socket_t socket);

  // curl's close callback; the registry is its client pointer, and must outlive every connection.
  static int onClose(void* registry, curl_socket_t socket);

 private:
  mutable std::mutex mutex_;
  std::vector<curl_socket_t> sockets_;
};

}  // namespace httpkit
