#pragma once
// A TCP server on 127.0.0.1 that reads requests the way a strict HTTP/1.1 server frames them (the body is
// what Content-Length or chunked coding says, nothing otherwise) and records each as it framed it, so that a
// test sees exactly what crossed the wire and where the server took one request to end. Every request is
// answered `200` with the body "{}" and the connection is kept, so that bytes a client sends past its own
// framing are read as the next request, as a shared connection would read them.
//
//   FramingServer server;
//   client->send(...);
//   const auto requests = server.requests();   // requests[0].head, requests[0].body
//
// Connections are served one at a time. A request whose framing promises bytes that never come waits for
// them until the client goes away or the server ends. `sendUnasked` writes bytes on the connection being
// served between requests, as a server that lied about an answer's length, or one whose stream was broken
// into, would; they are read as the start of the next request's answer by a client that reuses the
// connection without looking.
#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace httpkit_tests {

class FramingServer {
 public:
  struct Request {
    std::string head;  // the request line and header fields, up to the blank line that ends them
    std::string body;  // as framed, chunked coding removed

    std::string requestLine() const { return head.substr(0, head.find("\r\n")); }
    // The value of the first field named `name` (any letter case), or none.
    std::optional<std::string> field(const std::string& name) const {
      const auto at = lower(head).find("\r\n" + lower(name) + ":");
      if (at == std::string::npos) return std::nullopt;
      const auto start = head.find_first_not_of(' ', at + name.size() + 3);
      return head.substr(start, head.find("\r\n", start) - start);
    }
    static std::string lower(std::string text) {
      for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      return text;
    }
  };

  FramingServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(listener_, 16) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      throw std::runtime_error("framing server could not listen");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~FramingServer() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    thread_.join();
    ::close(listener_);
  }
  FramingServer(const FramingServer&) = delete;
  FramingServer& operator=(const FramingServer&) = delete;

  std::string baseURL() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<Request> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  int connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
  }
  // The next requests are answered with these bytes, one answer each, in order, instead of `200 {}`; an
  // answer that ends with `kClose` is followed by the server closing the connection.
  static constexpr const char* kClose = "\x01close";
  void answerWith(std::vector<std::string> answers) {
    std::lock_guard lock(mutex_);
    for (auto& answer : answers) answers_.push_back(std::move(answer));
  }

  // Writes `bytes` on the connection being served and returns once the client's end holds them (none of
  // them still in flight), or false when no connection is open or `deadline` passes first.
  bool sendUnasked(const std::string& bytes, std::chrono::milliseconds deadline) {
    std::lock_guard lock(mutex_);
    if (current_ < 0 || ::send(current_, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
      return false;
    }
    // Acknowledged bytes have left the server's send queue; the loop polls the queue, which nothing signals.
    const auto end = std::chrono::steady_clock::now() + deadline;
    int unacknowledged = 0;
    while (::ioctl(current_, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged > 0) {
      if (std::chrono::steady_clock::now() > end) return false;
      ::poll(nullptr, 0, 1);
    }
    return unacknowledged == 0;
  }

 private:
  bool stopping() const {
    std::lock_guard lock(mutex_);
    return stopping_;
  }

  // Waits in slices of 20 ms so that the server's end is seen promptly.
  static bool readable(int fd) {
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
      {
        std::lock_guard lock(mutex_);
        current_ = connection;
      }
      Connection reader{connection, {}};
      while (answerOne(reader)) {
      }
      std::lock_guard lock(mutex_);
      current_ = -1;
      ::close(connection);
    }
  }

  struct Connection {
    int fd;
    std::string pending;  // read and not yet framed
  };

  // Reads until `pending` holds `count` bytes; false when the client left or the server ends first.
  bool fill(Connection& c, std::size_t count) {
    char buffer[4096];
    while (c.pending.size() < count) {
      if (stopping()) return false;
      if (!readable(c.fd)) continue;
      const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
      if (n <= 0) return false;
      c.pending.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
  }
  // Takes everything up to and including `delimiter` off `pending`.
  std::optional<std::string> takeThrough(Connection& c, const std::string& delimiter) {
    std::size_t at;
    while ((at = c.pending.find(delimiter)) == std::string::npos) {
      if (!fill(c, c.pending.size() + 1)) return std::nullopt;
    }
    std::string taken = c.pending.substr(0, at + delimiter.size());
    c.pending.erase(0, at + delimiter.size());
    return taken;
  }
  std::optional<std::string> take(Connection& c, std::size_t count) {
    if (!fill(c, count)) return std::nullopt;
    std::string taken = c.pending.substr(0, count);
    c.pending.erase(0, count);
    return taken;
  }

  bool answerOne(Connection& c) {
    const auto head = takeThrough(c, "\r\n\r\n");
    if (!head) return false;
    Request request{head->substr(0, head->size() - 2), {}};
    if (request.field("Transfer-Encoding") == "chunked") {
      for (;;) {
        const auto sizeLine = takeThrough(c, "\r\n");
        if (!sizeLine) return false;
        const std::size_t size = std::strtoul(sizeLine->c_str(), nullptr, 16);
        const auto data = take(c, size + 2);
        if (!data) return false;
        if (size == 0) break;  // no trailers are sent by the client under test
        request.body += data->substr(0, size);
      }
    } else if (const auto length = request.field("Content-Length")) {
      const auto data = take(c, std::strtoul(length->c_str(), nullptr, 10));
      if (!data) return false;
      request.body = *data;
    }
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(std::move(request));
    }
    static const std::string usual = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}";
    std::lock_guard lock(mutex_);  // not between the bytes of `sendUnasked`
    if (!answers_.empty()) {
      std::string answer = std::move(answers_.front());
      answers_.erase(answers_.begin());
      const bool close = answer.ends_with(kClose);
      if (close) answer.resize(answer.size() - std::string_view(kClose).size());
      return ::send(c.fd, answer.data(), answer.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(answer.size()) && !close;
    }
    // A HEAD is answered by the head alone, which announces the body a GET would get.
    const std::size_t size = head->starts_with("HEAD ") ? usual.size() - 2 : usual.size();
    return ::send(c.fd, usual.data(), size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
  }

  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  bool stopping_ = false;
  std::vector<Request> requests_;
  int connections_ = 0;
  int current_ = -1;  // the connection being served
  std::vector<std::string> answers_;  // see `answerWith`
};

}  // namespace httpkit_tests
