#include "fake_frontend_api/fake_frontend_api.hpp"

#include <httplib.h>

#include <chrono>
#include <set>
#include <stdexcept>
#include <thread>

#include "attestation_routes.hpp"
#include "routes.hpp"
#include "session_routes.hpp"

namespace fake_frontend_api {
namespace {

std::vector<std::string> splitPath(const std::string& path) {
  std::vector<std::string> segments;
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) segments.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return segments;
}

std::string base64UrlNoPadding(const std::string& bytes) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                 static_cast<unsigned char>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) out.push_back(alphabet[(v >> shift) & 63]);
  }
  if (i + 1 == bytes.size()) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    out.push_back(alphabet[(v >> 18) & 63]);
    out.push_back(alphabet[(v >> 12) & 63]);
  } else if (i + 2 == bytes.size()) {
    unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
    out.push_back(alphabet[(v >> 18) & 63]);
    out.push_back(alphabet[(v >> 12) & 63]);
    out.push_back(alphabet[(v >> 6) & 63]);
  }
  return out;
}

}  // namespace

struct FakeFrontendAPI::Impl {
  struct Route {
    std::string method;
    std::vector<std::string> segments;
    Handler handler;
  };
  struct Failure {
    std::string method;
    std::string path;
    Answer answer;
    int remaining;
  };

  Options options;
  httplib::Server server;
  std::thread thread;
  int port = 0;

  mutable std::mutex mutex;  // guards everything below
  mutable std::condition_variable changed;
  State state;
  std::vector<Route> routes;
  std::vector<Failure> failures;
  std::set<std::pair<std::string, std::string>> held;
  std::size_t heldNow = 0;
  bool stopping = false;
  std::vector<RecordedRequest> records;

  std::string routedPath(const std::string& rawPath) const {
    for (const auto& prefix : options.mountPrefixes) {
      if (prefix.empty() || prefix == "/") continue;
      if (rawPath == prefix) return "/";
      if (rawPath.size() > prefix.size() && rawPath.compare(0, prefix.size(), prefix) == 0 &&
          rawPath[prefix.size()] == '/')
        return rawPath.substr(prefix.size());
    }
    return rawPath;
  }

  RecordedRequest record(const httplib::Request& request) const {
    RecordedRequest recorded;
    recorded.method = request.method;
    recorded.target = request.target;
    std::size_t question = request.target.find('?');
    recorded.rawPath = request.target.substr(0, question);
    if (question != std::string::npos) recorded.query = detail::parsePairs(request.target.substr(question + 1), false);
    recorded.path = routedPath(recorded.rawPath);
    for (const auto& [name, value] : request.headers) {
      // httplib adds these itself; they never crossed the wire.
      if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT") continue;
      recorded.headers.emplace_back(name, value);
    }
    recorded.body = request.body;
    return recorded;
  }

  Answer answer(const RecordedRequest& request) {
    std::unique_lock lock(mutex);
    records.push_back(request);
    changed.notify_all();

    const auto key = std::make_pair(request.method, request.path);
    if (held.count(key) != 0) {
      ++heldNow;
      changed.notify_all();
      changed.wait(lock, [&] { return stopping || held.count(key) == 0; });
      --heldNow;
    }

    Answer result;
    bool answered = false;
    for (auto it = failures.begin(); it != failures.end(); ++it) {
      if (it->method != request.method || it->path != request.path) continue;
      result = it->answer;
      if (--it->remaining <= 0) failures.erase(it);
      answered = true;
      break;
    }
    if (!answered) {
      const auto segments = splitPath(request.path);
      for (const auto& route : routes) {
        if (route.method != request.method || route.segments.size() != segments.size()) continue;
        Params params;
        bool matches = true;
        for (std::size_t i = 0; i < segments.size() && matches; ++i) {
          if (!route.segments[i].empty() && route.segments[i][0] == ':')
            params[route.segments[i].substr(1)] = detail::percentDecode(segments[i], false);
          else
            matches = route.segments[i] == segments[i];
        }
        if (!matches) continue;
        result = route.handler(request, params, state);
        answered = true;
        break;
      }
    }
    if (!answered)
      result = Answer::error(404, "resource_not_found", "No route for " + request.method + " " + request.path);

    // The frontend API hands the device its token on any answer to a request that does not carry it.
    bool hasAuthorization = false;
    for (const auto& header : result.headers) {
      RecordedRequest probe;
      probe.headers = {header};
      hasAuthorization |= probe.header("Authorization").has_value();
    }
    if (!hasAuthorization && !state.deviceToken.empty() && request.header("Authorization") != state.deviceToken)
      result.headers.emplace_back("Authorization", state.deviceToken);
    return result;
  }
};

FakeFrontendAPI::FakeFrontendAPI(Options options) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
  State& state = impl_->state;
  state.deviceToken = impl_->options.deviceToken;
  state.environment = defaultEnvironment();
  state.client = {{"id", state.makeId("client")}, {"object", "client"},     {"sessions", nlohmann::json::array()},
                  {"sign_in", nullptr},         {"sign_up", nullptr},     {"last_active_session_id", nullptr},
                  {"created_at", state.clock},  {"updated_at", state.clock}};
  if (impl_->options.signedIn) {
    auto& user = state.addUser("Ada", "Lovelace", "ada@example.test");
    state.addSession(user["id"].get<std::string>());
  }
  detail::addClientRoutes(*this);
  detail::addEnvironmentRoutes(*this);
  detail::addMeRoutes(*this);
  detail::addSignInRoutes(*this);
  detail::addTokenRoutes(*this);
  detail::addAttestationRoutes(*this);

  auto handle = [impl = impl_.get()](const httplib::Request& request, httplib::Response& response) {
    Answer answer = impl->answer(impl->record(request));
    response.status = answer.status;
    for (const auto& [name, value] : answer.headers) response.set_header(name, value);
    response.set_content(answer.body, answer.contentType);
  };
  impl_->server.Get(".*", handle);
  impl_->server.Post(".*", handle);
  impl_->server.Put(".*", handle);
  impl_->server.Patch(".*", handle);
  impl_->server.Delete(".*", handle);
  impl_->server.set_keep_alive_max_count(1000);
  impl_->server.set_keep_alive_timeout(1);
  // Answers go out in more than one write; without this, delayed acknowledgements add ~40 ms to each.
  impl_->server.set_tcp_nodelay(true);
}

FakeFrontendAPI::~FakeFrontendAPI() { stop(); }

void FakeFrontendAPI::start() {
  if (impl_->thread.joinable()) return;
  impl_->port = impl_->server.bind_to_any_port(impl_->options.host);
  if (impl_->port <= 0) throw std::runtime_error("fake frontend API: cannot bind a loopback port");
  impl_->thread = std::thread([impl = impl_.get()] { impl->server.listen_after_bind(); });
  // A stop() before the server loop runs would find nothing to stop and leave it blocked in accept() for ever:
  // hand the server out only once it listens (bounded, in case the thread never gets there).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!impl_->server.is_running() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
}

void FakeFrontendAPI::stop() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
    impl_->changed.notify_all();
  }
  if (impl_->thread.joinable()) {
    impl_->server.stop();
    impl_->thread.join();
  }
}

int FakeFrontendAPI::port() const { return impl_->port; }

std::string FakeFrontendAPI::baseUrl() const {
  return "http://" + impl_->options.host + ":" + std::to_string(impl_->port);
}

std::string FakeFrontendAPI::publishableKeyFor(const std::string& host) {
  return "pk_test_" + base64UrlNoPadding(host + "$");
}

void FakeFrontendAPI::route(const std::string& method, const std::string& pattern, Handler handler) {
  std::lock_guard lock(impl_->mutex);
  auto segments = splitPath(pattern);
  for (auto& route : impl_->routes) {
    if (route.method == method && route.segments == segments) {
      route.handler = std::move(handler);
      return;
    }
  }
  impl_->routes.push_back({method, std::move(segments), std::move(handler)});
}

void FakeFrontendAPI::withState(const std::function<void(State&)>& change) {
  std::lock_guard lock(impl_->mutex);
  change(impl_->state);
}

nlohmann::json FakeFrontendAPI::clientJson() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->state.client;
}

void FakeFrontendAPI::failNext(const std::string& method, const std::string& path, Answer answer, int times) {
  std::lock_guard lock(impl_->mutex);
  impl_->failures.push_back({method, path, std::move(answer), times});
}

void FakeFrontendAPI::holdAnswers(const std::string& method, const std::string& path) {
  std::lock_guard lock(impl_->mutex);
  impl_->held.emplace(method, path);
}

void FakeFrontendAPI::releaseAnswers() {
  std::lock_guard lock(impl_->mutex);
  impl_->held.clear();
  impl_->changed.notify_all();
}

bool FakeFrontendAPI::waitForHeld(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->heldNow >= count; });
}

std::vector<RecordedRequest> FakeFrontendAPI::requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->records;
}

std::vector<RecordedRequest> FakeFrontendAPI::requests(const std::string& method, const std::string& path) const {
  std::lock_guard lock(impl_->mutex);
  std::vector<RecordedRequest> matching;
  for (const auto& request : impl_->records)
    if (request.method == method && request.path == path) matching.push_back(request);
  return matching;
}

std::optional<RecordedRequest> FakeFrontendAPI::lastRequest(const std::string& method, const std::string& path) const {
  auto matching = requests(method, path);
  if (matching.empty()) return std::nullopt;
  return matching.back();
}

std::size_t FakeFrontendAPI::requestCount(const std::string& method, const std::string& path) const {
  return requests(method, path).size();
}

bool FakeFrontendAPI::waitForRequests(const std::string& method, const std::string& path, std::size_t count,
                                      std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] {
    std::size_t seen = 0;
    for (const auto& request : impl_->records) seen += request.method == method && request.path == path;
    return seen >= count;
  });
}

void FakeFrontendAPI::clearRequests() {
  std::lock_guard lock(impl_->mutex);
  impl_->records.clear();
}

}  // namespace fake_frontend_api
