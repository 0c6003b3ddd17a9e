#pragma once
// A TCP server on 127.0.0.1 that answers each connection by playing a script of raw bytes, pauses and a
// hold, then closing: for answers that a well-behaved server library would never send (a head that never
// comes, a body that stops, a length it never delivers, a body cut by a close). Connections are served one
// after the other, or each on a thread of its own when made with `Connections::concurrently` (slow answers
// to many clients at once); destroying the server ends any hold and joins.
//
// Holds are released one at a time (`release` lets exactly one held step go on, now or later), so a test can
// pace a body chunk by chunk. A client that closes the connection during a hold is counted (`peerClosures`),
// which is how a test sees that a cancel reached the wire. A step marked `untilClosed` sends its bytes again
// and again until the client goes away: an endless body. A step marked `reset` ends the connection with a TCP
// reset, as a server that crashed or was killed mid-answer would.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

class ScriptedServer {
 public:
  struct Step {
    std::chrono::milliseconds pause{0};  // before sending
    std::string bytes;
    bool hold = false;  // after sending: wait until `release` or the server's end
    bool untilClosed = false;  // send `bytes` repeatedly until the peer closes or the server ends
    bool reset = false;  // after sending: end the connection with a reset instead of a close
  };

  enum class Connections { oneAtATime, concurrently };

  explicit ScriptedServer(std::vector<Step> script, Connections connections = Connections::oneAtATime)
      : script_(std::move(script)), concurrently_(connections == Connections::concurrently) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(listener_, 16) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      throw std::runtime_error("scripted server could not listen");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }

  ~ScriptedServer() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
    for (auto& worker : workers_) worker.join();
    ::close(listener_);
  }

  std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }
  void release() {
    {
      std::lock_guard lock(mutex_);
      ++releases_;
    }
    changed_.notify_all();
  }

  // How many held steps have been reached so far, over all connections.
  int holdsReached() const {
    std::lock_guard lock(mutex_);
    return holdsReached_;
  }
  bool waitForHolds(int count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return holdsReached_ >= count; });
  }
  // Connections the client closed while the server still had something to send or was holding.
  bool waitForPeerClosures(int count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return peerClosures_ >= count; });
  }
  int connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
  }

 private:
  bool stopping() {
    std::lock_guard lock(mutex_);
    return stopping_;
  }

  // Every wait below is a poll of at most 20 ms, so that the server's end is seen promptly.
  bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 20) > 0;
  }

  void serve() {
    while (!stopping()) {
      if (!readable(listener_)) continue;
      const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection < 0) continue;
      {
        std::lock_guard lock(mutex_);
        ++connections_;
      }
      if (concurrently_) {
        workers_.emplace_back([this, connection] { answer(connection); });
      } else {
        answer(connection);
      }
    }
  }

  void answer(int connection) {
    if (readHead(connection)) play(connection);
    ::close(connection);
  }

  bool readHead(int connection) {
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
      if (stopping()) return false;
      if (!readable(connection)) continue;
      const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
      if (n <= 0) return false;
      head.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
  }

  // Whether the peer has closed (or reset) the connection; never blocks.
  static bool peerGone(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) return false;
    if (p.revents & (POLLHUP | POLLERR)) return true;
    char buffer[512];
    return ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) == 0;
  }

  void peerClosed() {
    {
      std::lock_guard lock(mutex_);
      ++peerClosures_;
    }
    changed_.notify_all();
  }

  void play(int connection) {
    for (const Step& step : script_) {
      std::unique_lock lock(mutex_);
      if (changed_.wait_for(lock, step.pause, [this] { return stopping_; })) return;
      lock.unlock();
      do {
        if (::send(connection, step.bytes.data(), step.bytes.size(), MSG_NOSIGNAL) < 0) return peerClosed();
      } while (step.untilClosed && !stopping());
      if (step.reset) {
        const linger abort{1, 0};
        ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        return;  // the close that follows sends the reset
      }
      if (!step.hold) continue;
      lock.lock();
      ++holdsReached_;
      changed_.notify_all();
      // Waits in short slices so that a client closing the connection meanwhile is noticed.
      while (!stopping_ && releases_ == 0) {
        changed_.wait_for(lock, std::chrono::milliseconds(20));
        lock.unlock();
        const bool gone = peerGone(connection);
        lock.lock();
        if (gone) {
          lock.unlock();
          return peerClosed();
        }
      }
      if (releases_ > 0) --releases_;
    }
  }

  std::vector<Step> script_;
  const bool concurrently_;
  std::vector<std::thread> workers_;  // the serving thread's only
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool stopping_ = false;
  int releases_ = 0;
  int holdsReached_ = 0;
  int peerClosures_ = 0;
  int connections_ = 0;
};

}  // namespace testing_support
