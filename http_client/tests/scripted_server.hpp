#pragma once
// A TCP server on 127.0.0.1 that answers each connection by playing a script of raw bytes, pauses and a
// hold, then closing: for answers that a well-behaved server library would never send (a head that never
// comes, a body that stops, a length it never delivers, a body cut by a close). Connections are served one
// after the other; destroying the server ends any hold and joins.
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

namespace httpkit_tests {

class ScriptedServer {
 public:
  struct Step {
    std::chrono::milliseconds pause{0};  // before sending
    std::string bytes;
    bool hold = false;  // after sending: wait until `release` or the server's end
  };

  explicit ScriptedServer(std::vector<Step> script) : script_(std::move(script)) {
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
    ::close(listener_);
  }

  std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }
  void release() {
    {
      std::lock_guard lock(mutex_);
      released_ = true;
    }
    changed_.notify_all();
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
      if (readHead(connection)) play(connection);
      ::close(connection);
    }
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

  void play(int connection) {
    for (const Step& step : script_) {
      std::unique_lock lock(mutex_);
      if (changed_.wait_for(lock, step.pause, [this] { return stopping_; })) return;
      lock.unlock();
      if (::send(connection, step.bytes.data(), step.bytes.size(), MSG_NOSIGNAL) < 0) return;
      lock.lock();
      if (step.hold) changed_.wait(lock, [this] { return stopping_ || released_; });
    }
  }

  std::vector<Step> script_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  bool released_ = false;
};

}  // namespace httpkit_tests
