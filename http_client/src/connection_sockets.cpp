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

void describe(const sockaddr_storage& address, char* ip, std::size_t ipSize, int& port) {
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &v4.sin_addr, ip, static_cast<socklen_t>(ipSize));
    port = ntohs(v4.sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    inet_ntop(AF_INET6, &v6.sin6_addr, ip, static_cast<socklen_t>(ipSize));
    port = ntohs(v6.sin6_port);
  }
}

}  // namespace

std::optional<ConnectionSockets::Ends> ConnectionSockets::endsOf(curl_socket_t socket) {
  sockaddr_storage local{}, peer{};
  socklen_t localSize = sizeof local, peerSize = sizeof peer;
  // A socket still connecting has no peer yet.
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
      getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0) {
    return std::nullopt;
  }
  Ends ends;
  char localIP[INET6_ADDRSTRLEN] = {};
  describe(local, localIP, sizeof localIP, ends.localPort);
  describe(peer, ends.peerIP, sizeof ends.peerIP, ends.peerPort);
  return ends;
}

std::vector<ConnectionSockets::Connection>::iterator ConnectionSockets::at(curl_socket_t socket) {
  return std::find_if(connections_.begin(), connections_.end(), [&](const Connection& c) { return c.socket == socket; });
}

void ConnectionSockets::opened(curl_socket_t socket) {
  std::lock_guard lock(mutex_);
  // A number already here belonged to a socket closed without telling us; it is this one now.
  if (const auto known = at(socket); known != connections_.end()) {
    *known = Connection{socket, false, std::nullopt};
  } else {
    connections_.push_back(Connection{socket, false, std::nullopt});
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

curl_socket_t ConnectionSockets::find(const char* peerIP, int peerPort, int localPort) {
  const auto matches = [&](const Ends& ends) {
    return ends.localPort == localPort && ends.peerPort == peerPort && std::strcmp(ends.peerIP, peerIP) == 0;
  };
  std::lock_guard lock(mutex_);
  for (auto& connection : connections_) {
    if (!connection.ends) connection.ends = endsOf(connection.socket);
    if (!connection.ends || !matches(*connection.ends)) continue;
    // What was noted may be of a socket closed behind curl's back whose number is now another's: the one
    // found is asked again, which costs one socket's look-up rather than every socket's.
    connection.ends = endsOf(connection.socket);
    if (connection.ends && matches(*connection.ends)) return connection.socket;
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
