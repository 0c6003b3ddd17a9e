#pragma once
// FakeFrontendAPI: an in-process frontend API on loopback, for the authentication library's tests, its
// benchmark and the demo's embedded default server.
//
// It keeps its own in-memory state (one client with its sessions, the users behind them, the instance
// environment, the device token it hands out) and answers like the real service for the endpoints the
// library uses: "GET /v1/client", "GET /v1/environment", session remove and touch, sign-out of all sessions
// and external accounts under "/v1/me". It records every request it received (method, path, query, headers,
// body) so that tests can assert what crossed the wire, answers with errors on demand, and can hold answers
// back until released (to test cancellation and ordering without sleeping).
//
//   fake_frontend_api::FakeFrontendAPI api({.mountPrefixes = {"/__proxy"}});
//   api.start();
//   std::string key = fake_frontend_api::FakeFrontendAPI::publishableKeyFor("frontend.example.test");
//   ... point the library at api.baseUrl() + "/__proxy" ...
//   api.failNext("GET", "/v1/environment", fake_frontend_api::Answer::error(500, "internal", "boom"));
//   auto last = api.lastRequest("GET", "/v1/client");
//
// Handlers are grouped by resource (client, environment, me); later endpoints are added with `route()`.
// Paths in every API of this class are the routed paths: without the mount prefix the request came under.
// Thread safety: every member may be called from any thread while the server runs.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace fake_frontend_api {

using Pairs = std::vector<std::pair<std::string, std::string>>;

// One request as the server received it.
struct RecordedRequest {
  std::string method;
  std::string target;      // path and query exactly as received
  std::string rawPath;     // the path as received, mount prefix included
  std::string path;        // the routed path: the mount prefix removed
  Pairs query;             // decoded query items in the order sent; an item without "=" has an empty value
  Pairs headers;           // in the order received
  std::string body;

  // Header lookup ignoring letter case; none when absent.
  std::optional<std::string> header(const std::string& name) const;
  std::optional<std::string> queryValue(const std::string& name) const;
  // The body read as a form ("a=1&b=2"), decoded; empty when the body is empty.
  Pairs form() const;
  std::optional<std::string> formValue(const std::string& name) const;
};

// What a handler answers.
struct Answer {
  int status = 200;
  std::string body;
  // With a charset the loopback server leaves answers uncompressed: compressing them would cost more than
  // everything the tests and the benchmark measure.
  std::string contentType = "application/json; charset=utf-8";
  Pairs headers;

  static Answer json(int status, const nlohmann::json& body);
  static Answer raw(int status, std::string body, std::string contentType = "text/plain");
  // An error body as the frontend API writes it: {"errors": [{"code", "message", "long_message"}],
  // "vadar_trace_id"}; the trace id is left out when empty.
  static Answer error(int status, const std::string& code, const std::string& message,
                      const std::string& traceId = "");
};

// The server's in-memory world. Handlers receive it locked; outside a handler reach it through
// `FakeFrontendAPI::withState`.
struct State {
  nlohmann::json client;       // the client resource as served (null: no client yet)
  nlohmann::json environment;  // the instance environment as served
  std::map<std::string, nlohmann::json> users;  // by user id
  std::string deviceToken;     // handed out in "Authorization" to every request that does not carry it
  std::int64_t clock = 1'700'000'000'000;  // milliseconds since 1970; advanced by every change
  std::uint64_t nextId = 1;

  std::string makeId(const std::string& prefix);
  std::int64_t tick();  // advances and returns the clock

  // Adds a user with one verified e-mail address; returns it.
  nlohmann::json& addUser(const std::string& firstName, const std::string& lastName, const std::string& email);
  // Adds a session of `userId` to the client and makes it the last active one; returns it.
  nlohmann::json& addSession(const std::string& userId, const std::string& status = "active");
  nlohmann::json* findSession(const std::string& sessionId);
  // The client's last active session when it is active; null otherwise.
  nlohmann::json* currentSession();
  // Writes the users' latest state into the sessions that carry them and bumps the client's update time.
  void touchClient();
};

// The default environment: auth config, user settings with Google, Apple and a custom provider, display
// config, fraud settings with attestation disabled.
nlohmann::json defaultEnvironment();

struct Options {
  std::string host = "127.0.0.1";
  // Path prefixes the server also answers under ("/__proxy"): a request for "/__proxy/v1/client" is routed
  // as "/v1/client". The prefix a request came under stays visible in `RecordedRequest::rawPath`.
  std::vector<std::string> mountPrefixes;
  std::string deviceToken = "fake_device_token_1";
  // Start with one signed-in user and an active session.
  bool signedIn = true;
};

class FakeFrontendAPI {
 public:
  using Params = std::map<std::string, std::string>;
  using Handler = std::function<Answer(const RecordedRequest&, const Params&, State&)>;

  explicit FakeFrontendAPI(Options options = {});
  ~FakeFrontendAPI();
  FakeFrontendAPI(const FakeFrontendAPI&) = delete;
  FakeFrontendAPI& operator=(const FakeFrontendAPI&) = delete;

  // Binds a free loopback port and serves on a thread of its own until `stop` (or destruction).
  void start();
  void stop();
  int port() const;
  std::string baseUrl() const;  // "http://127.0.0.1:<port>"

  // A publishable key whose encoded host is `host` ("pk_test_" + base64url(host + "$")).
  static std::string publishableKeyFor(const std::string& host);

  // Adds or replaces the handler of `method` and a pattern of literal segments and ":name" parameters
  // ("/v1/client/sessions/:id/remove").
  void route(const std::string& method, const std::string& pattern, Handler handler);

  // Runs `change` with the state locked.
  void withState(const std::function<void(State&)>& change);
  nlohmann::json clientJson() const;

  // The next `times` requests of `method` `path` get `answer` instead of the real behaviour.
  void failNext(const std::string& method, const std::string& path, Answer answer, int times = 1);
  // Every request of `method` `path` waits before it is answered until `releaseAnswers` or `stop`.
  void holdAnswers(const std::string& method, const std::string& path);
  void releaseAnswers();
  // Waits until `count` requests are held; false when `timeout` passes first.
  bool waitForHeld(std::size_t count, std::chrono::milliseconds timeout) const;

  std::vector<RecordedRequest> requests() const;
  std::vector<RecordedRequest> requests(const std::string& method, const std::string& path) const;
  std::optional<RecordedRequest> lastRequest(const std::string& method, const std::string& path) const;
  std::size_t requestCount(const std::string& method, const std::string& path) const;
  // Waits until at least `count` requests of `method` `path` have been received; false on timeout.
  bool waitForRequests(const std::string& method, const std::string& path, std::size_t count,
                       std::chrono::milliseconds timeout) const;
  void clearRequests();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace fake_frontend_api
