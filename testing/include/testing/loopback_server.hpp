#pragma once
// An HTTP server on 127.0.0.1 at a free port, living inside the test process. A test registers answers per
// method and path, starts the server, points a client at `baseURL()`, and afterwards reads what arrived:
// hit counts and the recorded requests (headers, body, query). Requests to unregistered routes are
// recorded too and answered 404.
//
//   testing_support::LoopbackServer server;
//   server.on("GET", "/v1/me", testing_support::Reply::json(200, R"({"id":"u1"})"));
//   server.start();
//   ... client sends to server.baseURL() + "/v1/me" ...
//   EXPECT_EQ(server.hits("GET", "/v1/me"), 1);
//
// To keep an answer back (to test cancellation or timeouts), give the reply a `Gate`: the handler waits
// until the test opens the gate, or until the server stops, which opens every gate.
#include <condition_variable>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testing_support {

// A barrier for held answers. `open` lets every waiting (and later) request through.
class Gate {
 public:
  void open();
  // Blocks the server's handler until the gate is open.
  void wait();
  // How many requests have reached the gate so far.
  int arrivals() const;
  // Waits until `count` requests have reached the gate; false when `timeout` passed first.
  bool waitForArrivals(int count, std::chrono::milliseconds timeout) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable condition_;
  bool open_ = false;
  int arrivals_ = 0;
};

struct RecordedRequest {
  std::string method;
  std::string path;   // as it arrived, still percent-encoded
  std::string query;  // raw query text after '?', empty when none
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // First header value with this name (any letter case).
  std::optional<std::string> header(const std::string& name) const;
};

// A certificate and its key, PEM-encoded, for an HTTPS loopback server.
struct TlsIdentity {
  std::string certificatePEM;
  std::string privateKeyPEM;
};
// A new P-256 key and a self-signed certificate for `host` (as its common name and an IP or DNS subject
// alternative name), valid from an hour ago for a day. No client trusts it unless told to.
TlsIdentity makeSelfSignedIdentity(const std::string& host = "127.0.0.1");

struct Reply {
  int status = 200;
  std::string body;
  std::string contentType = "application/json";
  std::vector<std::pair<std::string, std::string>> headers;
  // When not empty, the body is sent with chunked transfer encoding, one chunk per element (`body` unused).
  std::vector<std::string> chunks;
  // When set, the answer is held until the gate opens.
  std::shared_ptr<Gate> gate;

  static Reply json(int status, std::string body) { return Reply{status, std::move(body), "application/json", {}, {}, {}}; }
  static Reply text(int status, std::string body) { return Reply{status, std::move(body), "text/plain", {}, {}, {}}; }
};

class LoopbackServer {
 public:
  using Handler = std::function<Reply(const RecordedRequest&)>;

  struct Options {
    // Connections served at once: each one holds a server thread for as long as it stays open (kept alive
    // between requests, or held at a gate), and a connection beyond the limit waits for one of them to end.
    int maximumConnections = 128;
    // When set, the server speaks HTTPS with this identity and `baseURL` starts with "https://".
    std::optional<TlsIdentity> tls;
  };

  explicit LoopbackServer(Options options);
  LoopbackServer() : LoopbackServer(Options{}) {}
  ~LoopbackServer();  // stops
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  // Routes match the method and the raw path exactly. Registering again replaces the route.
  void on(const std::string& method, const std::string& path, Handler handler);
  void on(const std::string& method, const std::string& path, Reply reply);

  // Binds 127.0.0.1 on a free port and serves on a thread of its own. Throws when it cannot bind.
  void start();
  // Opens every gate, stops serving and joins; safe to call twice. A client that still holds an idle
  // connection makes this wait up to a second (httplib lets idle connections time out), so destroy
  // clients first.
  void stop();

  int port() const { return port_; }
  std::string baseURL() const;  // "http://127.0.0.1:<port>" ("https://" with a TLS identity)

  int hits(const std::string& method, const std::string& path) const;
  int totalHits() const;
  std::vector<RecordedRequest> requests() const;
  // Number of distinct client connections accepted so far.
  int connections() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
  int port_ = 0;
  bool tls_ = false;
  std::thread thread_;
};

}  // namespace testing_support
