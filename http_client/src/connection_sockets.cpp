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

int portOf(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
  if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
  return -1;
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
  ends.localPort = portOf(local);
  ends.peerPort = portOf(peer);
  ends.peerFamily = peer.ss_family;
  if (peer.ss_family == AF_INET) {
    std::memcpy(ends.peerAddress, &reinterpret_cast<const sockaddr_in&>(peer).sin_addr, sizeof(in_addr));
  } else if (peer.ss_family == AF_INET6) {
    std::memcpy(ends.peerAddress, &reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr, sizeof(in6_addr));
  }
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
  // curl names the peer as text; read once here, it is compared as the kernel's bytes.
  Ends wanted;
  wanted.localPort = localPort;
  wanted.peerPort = peerPort;
  if (inet_pton(AF_INET, peerIP, wanted.peerAddress) == 1) {
    wanted.peerFamily = AF_INET;
  } else if (inet_pton(AF_INET6, peerIP, wanted.peerAddress) == 1) {
    wanted.peerFamily = AF_INET6;
  } else {
    return CURL_SOCKET_BAD;
  }
  const std::size_t addressSize = wanted.peerFamily == AF_INET ? sizeof(in_addr) : sizeof(in6_addr);
  const auto matches = [&](const Ends& ends) {
    return ends.localPort == localPort && ends.peerPort == peerPort && ends.peerFamily == wanted.peerFamily &&
           std::memcmp(ends.peerAddress, wanted.peerAddress, addressSize) == 0;
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
