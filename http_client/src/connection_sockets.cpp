#include "connection_sockets.hpp"

#include <arpa/inet.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace httpkit {

namespace {

struct Endpoint {
  char ip[INET6_ADDRSTRLEN] = {};
  int port = -1;
};

Endpoint endpoint(const sockaddr_storage& address) {
  Endpoint result;
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &v4.sin_addr, result.ip, sizeof result.ip);
    result.port = ntohs(v4.sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    inet_ntop(AF_INET6, &v6.sin6_addr, result.ip, sizeof result.ip);
    result.port = ntohs(v6.sin6_port);
  }
  return result;
}

}  // namespace

std::vector<ConnectionSockets::Connection>::iterator ConnectionSockets::at(curl_socket_t socket) {
  return std::find_if(connections_.begin(), connections_.end(), [&](const Connection& c) { return c.socket == socket; });
}

void ConnectionSockets::opened(curl_socket_t socket) {
  std::lock_guard lock(mutex_);
  // A number already here belonged to a socket closed without telling us; it is this one now.
  if (const auto known = at(socket); known != connections_.end()) {
    *known = Connection{socket};
  } else {
    connections_.push_back(Connection{socket});
  }
}

void ConnectionSockets::closed(curl_socket_t socket) {
  std::lock_guard lock(mutex_);
  if (const auto known = at(socket); known != connections_.end()) connections_.erase(known);
}

void ConnectionSockets::carriedHTTP1(curl_socket_t socket) {
  std::lock_guard lock(mutex_);
  if (const auto known = at(socket); known != connections_.end()) known->carriedHTTP1 = true;
}

bool ConnectionSockets::shutDownIfUnasked(curl_socket_t socket) {
  {
    std::lock_guard lock(mutex_);
    const auto known = at(socket);
    if (known == connections_.end() || !known->carriedHTTP1) return false;
  }
  pollfd readable{socket, POLLIN, 0};
  if (::poll(&readable, 1, 0) != 1) return false;
  ::shutdown(socket, SHUT_RDWR);
  return true;
}

curl_socket_t ConnectionSockets::find(const char* peerIP, int peerPort, int localPort) const {
  std::lock_guard lock(mutex_);
  for (const auto& [socket, http1] : connections_) {
    sockaddr_storage local{}, peer{};
    socklen_t localSize = sizeof local, peerSize = sizeof peer;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
        getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0) {
      continue;
    }
    const Endpoint from = endpoint(local), to = endpoint(peer);
    if (from.port == localPort && to.port == peerPort && std::strcmp(to.ip, peerIP) == 0) return socket;
  }
  return CURL_SOCKET_BAD;
}

std::optional<std::uint64_t> ConnectionSockets::bytesMoved(curl_socket_t socket) {
  tcp_info info{};
  socklen_t size = sizeof info;
  if (getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return std::nullopt;
  // Kernels before 4.1 fill a shorter record without these counters.
  if (size < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received) return std::nullopt;
  return info.tcpi_bytes_received + info.tcpi_bytes_acked;
}

int ConnectionSockets::onClose(void* registry, curl_socket_t socket) {
  static_cast<ConnectionSockets*>(registry)->closed(socket);
  return ::close(socket);
}

}  // namespace httpkit
