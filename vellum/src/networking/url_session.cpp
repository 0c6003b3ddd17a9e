#include "url_session.hpp"

#include <cmath>

namespace vellum {

namespace {

constexpr int kMaximumRedirects = 16;
constexpr double kDefaultTimeout = 15.0;
constexpr double kLongestTimeout = 24 * 60 * 60;

std::atomic<bool> networkConstrained{false};

bool isRedirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool isWeb(const std::string& url) {
  const auto parts = httpkit::parseURL(url);
  return parts && (parts->scheme == "http" || parts->scheme == "https");
}

std::chrono::milliseconds limitFor(double seconds) {
  if (!(seconds > 0) || seconds > kLongestTimeout || std::isnan(seconds)) seconds = kDefaultTimeout;
  return std::chrono::milliseconds(static_cast<std::int64_t>(std::ceil(seconds * 1000)));
}

httpkit::URLError cancelled(const std::string& url) {
  return httpkit::URLError(httpkit::URLError::Code::cancelled, "cancelled", url);
}

}  // namespace

// One data task's journey through its hops. Every field but `transfer` is touched on the delegate queue only.
struct URLSession::Flight {
  std::shared_ptr<URLSessionDataTask> task;
  httpkit::URLRequest request;  // the current hop's
  int hop = 0;
  std::optional<httpkit::TransferEngine::TransferID> transfer;  // guarded by the session's mutex
  httpkit::HTTPURLResponse hopResponse;
  bool redirecting = false;
  foundation::Bytes redirectBody;
  std::int64_t hopBytes = 0;
  std::chrono::steady_clock::time_point hopStart;
  std::vector<TransactionMetrics> transactions;
  bool awaiting = false;  // a disposition is owed: events wait in `held`
  std::vector<std::function<void(URLSession&)>> held;
  bool finished = false;
};

namespace {

// Runs on the engine's worker: hands each event to the delegate queue and returns.
class HopObserver final : public httpkit::TransferObserver {
 public:
  using Post = std::function<void(std::function<void(URLSession&)>)>;
  HopObserver(Post post, std::shared_ptr<URLSession::Flight> flight, int hop, void (URLSession::*head)(const std::shared_ptr<URLSession::Flight>&, int, const httpkit::HTTPURLResponse&))
      : post_(std::move(post)), flight_(std::move(flight)), hop_(hop), head_(head) {}

  std::function<void(URLSession&, foundation::Bytes)> body;
  std::function<void(URLSession&, std::optional<httpkit::URLError>, httpkit::TaskMetrics)> end;

  void didReceiveResponse(const httpkit::HTTPURLResponse& response) override {
    post_([flight = flight_, hop = hop_, head = head_, response](URLSession& session) { (session.*head)(flight, hop, response); });
  }
  void didReceiveData(std::span<const std::uint8_t> bytes) override {
    post_([body = body, data = foundation::Bytes(bytes.begin(), bytes.end())](URLSession& session) mutable {
      body(session, std::move(data));
    });
  }
  void didComplete(const std::optional<httpkit::URLError>& error, const httpkit::TaskMetrics& metrics) override {
    post_([end = end, error, metrics](URLSession& session) { end(session, error, metrics); });
  }

 private:
  Post post_;
  std::shared_ptr<URLSession::Flight> flight_;
  int hop_;
  void (URLSession::*head_)(const std::shared_ptr<URLSession::Flight>&, int, const httpkit::HTTPURLResponse&);
};

}  // namespace

std::shared_ptr<URLSession> URLSession::make(const SessionConfiguration& configuration,
                                             std::shared_ptr<SessionDelegate> delegate) {
  return std::shared_ptr<URLSession>(new URLSession(configuration, std::move(delegate)));
}

URLSession::URLSession(const SessionConfiguration& configuration, std::shared_ptr<SessionDelegate> delegate)
    : configuration_(configuration),
      delegate_(std::move(delegate)),
      delegateQueue_(std::make_shared<foundation::SerialQueue>("com.marrowby.Vellum.ImageDownloader.SessionDelegate")),
      engine_(std::make_shared<httpkit::TransferEngine>(
          httpkit::TransferEngine::Configuration{configuration.httpMaximumConnectionsPerHost})) {}

// The engine's own destructor cancels what still runs and joins its worker; its late events find no session.
URLSession::~URLSession() = default;

void URLSession::setNetworkConstrained(bool constrained) { networkConstrained.store(constrained); }

std::shared_ptr<URLSessionDataTask> URLSession::dataTask(httpkit::URLRequest request) {
  return std::make_shared<URLSessionDataTask>(std::move(request), nextIdentifier_.fetch_add(1), weak_from_this());
}

void URLSession::post(std::function<void(URLSession&)> event) {
  // The queue is held by the posted block, so it outlives the session while its events drain.
  delegateQueue_->post([weak = weak_from_this(), queue = delegateQueue_, event = std::move(event)] {
    if (auto self = weak.lock()) event(*self);
  });
}

void URLSession::start(const std::shared_ptr<URLSessionDataTask>& task) {
  auto flight = std::make_shared<Flight>();
  flight->task = task;
  flight->request = task->originalRequest();
  bool invalidated = false;
  {
    std::lock_guard lock(mutex_);
    invalidated = invalidated_;
    if (!invalidated) flights_[task.get()] = flight;
  }
  post([flight, invalidated](URLSession& session) {
    if (invalidated) return session.finish(flight, cancelled(flight->request.url));
    session.startHop(flight);
  });
}

void URLSession::cancelTask(const std::shared_ptr<URLSessionDataTask>& task) {
  std::shared_ptr<Flight> flight;
  {
    std::lock_guard lock(mutex_);
    auto it = flights_.find(task.get());
    if (it == flights_.end()) return;
    flight = it->second;
    if (flight->transfer) engine_->cancel(*flight->transfer);
  }
  post([flight](URLSession& session) { session.finish(flight, cancelled(flight->request.url)); });
}

void URLSession::invalidateAndCancel() {
  std::vector<std::shared_ptr<Flight>> flights;
  {
    std::lock_guard lock(mutex_);
    invalidated_ = true;
    for (const auto& [task, flight] : flights_) {
      flights.push_back(flight);
      if (flight->transfer) engine_->cancel(*flight->transfer);
    }
  }
  // Each event keeps the session alive until its callers have heard, even when its owner lets go now.
  for (const auto& flight : flights) {
    delegateQueue_->post([self = shared_from_this(), flight] { self->finish(flight, cancelled(flight->request.url)); });
  }
}

void URLSession::priorityChanged(const URLSessionDataTask& task) {
  std::lock_guard lock(mutex_);
  auto it = flights_.find(&task);
  if (it != flights_.end() && it->second->transfer) engine_->setPriority(*it->second->transfer, task.priority());
}

void URLSession::startHop(const std::shared_ptr<Flight>& flight) {
  if (flight->finished) return;
  const auto parts = httpkit::parseURL(flight->request.url);
  if (!parts || (parts->scheme != "http" && parts->scheme != "https")) {
    // Never handed to curl (nor to the file system): the answer is a plain response that is not HTTP.
    httpkit::HTTPURLResponse response;
    response.url = flight->request.url;
    flight->held.push_back([flight](URLSession& session) { session.finish(flight, std::nullopt); });
    return askDisposition(flight, response);
  }
  if (!flight->request.allowsConstrainedNetworkAccess && networkConstrained.load()) {
    return finish(flight, httpkit::URLError(httpkit::URLError::Code::notConnectedToInternet,
                                            "the network is constrained", flight->request.url,
                                            httpkit::URLError::NetworkUnavailableReason::constrained));
  }
  if (parts->scheme != "https") return launch(flight, true);
  const int hop = flight->hop;
  std::weak_ptr<URLSession> weak = weak_from_this();
  delegate_->didReceiveChallenge({kAuthenticationMethodServerTrust, parts->host}, [weak, flight, hop](ChallengeAnswer answer) {
    if (auto self = weak.lock()) {
      self->post([flight, hop, answer](URLSession& session) {
        if (flight->finished || flight->hop != hop) return;
        if (answer.disposition == AuthChallengeDisposition::cancelAuthenticationChallenge) {
          return session.finish(flight, cancelled(flight->request.url));
        }
        // The one place certificate checks go off: a credential the app's trusted hosts granted.
        const bool trusted = answer.disposition == AuthChallengeDisposition::useCredential && answer.credential;
        session.launch(flight, !trusted);
      });
    }
  });
}

void URLSession::launch(const std::shared_ptr<Flight>& flight, bool verifyPeer) {
  httpkit::TransferOptions options;
  options.connectTimeout = limitFor(flight->request.timeoutInterval);
  options.idleTimeout = options.connectTimeout;
  options.followRedirects = false;
  options.decodeContent = false;
  options.verifyPeer = verifyPeer;
  options.priority = flight->task->priority();
  options.maximumBodySize = configuration_.maximumBodySize;
  flight->hopStart = std::chrono::steady_clock::now();
  flight->hopBytes = 0;
  flight->redirecting = false;
  flight->redirectBody.clear();
  const int hop = flight->hop;
  std::weak_ptr<URLSession> weak = weak_from_this();
  auto queue = delegateQueue_;
  auto observer = std::make_shared<HopObserver>(
      [weak, queue](std::function<void(URLSession&)> event) {
        queue->post([weak, queue, event = std::move(event)] {
          if (auto self = weak.lock()) event(*self);
        });
      },
      flight, hop, &URLSession::onHead);
  observer->body = [flight, hop](URLSession& session, foundation::Bytes bytes) { session.onBody(flight, hop, std::move(bytes)); };
  observer->end = [flight, hop](URLSession& session, std::optional<httpkit::URLError> error, httpkit::TaskMetrics metrics) {
    session.onEnd(flight, hop, std::move(error), metrics);
  };
  try {
    const auto id = engine_->start(flight->request, options, observer);
    std::lock_guard lock(mutex_);
    flight->transfer = id;
    if (flight->task->isCancelled()) engine_->cancel(id);
  } catch (const std::exception& error) {
    finish(flight, httpkit::URLError(httpkit::URLError::Code::badURL, error.what(), flight->request.url));
  }
}

void URLSession::onHead(const std::shared_ptr<Flight>& flight, int hop, const httpkit::HTTPURLResponse& response) {
  if (flight->finished || flight->hop != hop) return;
  flight->hopResponse = response;
  if (isRedirect(response.statusCode) && response.value("Location")) {
    flight->redirecting = true;
    return;
  }
  askDisposition(flight, response);
}

void URLSession::askDisposition(const std::shared_ptr<Flight>& flight, const httpkit::HTTPURLResponse& response) {
  flight->awaiting = true;
  {
    std::lock_guard lock(mutex_);
    if (flight->transfer) engine_->pause(*flight->transfer);
  }
  std::weak_ptr<URLSession> weak = weak_from_this();
  const int hop = flight->hop;
  delegate_->didReceiveResponse(flight->task, response, [weak, flight, hop](ResponseDisposition disposition) {
    auto self = weak.lock();
    if (!self) return;
    self->post([flight, hop, disposition](URLSession& session) {
      if (flight->finished || flight->hop != hop || !flight->awaiting) return;
      flight->awaiting = false;
      if (disposition == ResponseDisposition::cancel) {
        {
          std::lock_guard lock(session.mutex_);
          if (flight->transfer) session.engine_->cancel(*flight->transfer);
        }
        return session.finish(flight, cancelled(flight->request.url));
      }
      {
        std::lock_guard lock(session.mutex_);
        if (flight->transfer) session.engine_->resume(*flight->transfer);
      }
      auto held = std::move(flight->held);
      flight->held.clear();
      for (auto& event : held) event(session);
    });
  });
}

void URLSession::onBody(const std::shared_ptr<Flight>& flight, int hop, foundation::Bytes bytes) {
  if (flight->finished || flight->hop != hop) return;
  flight->hopBytes += static_cast<std::int64_t>(bytes.size());
  // A followed redirect's body is never the image's: kept apart, and shown only if the redirect is refused.
  if (flight->redirecting) {
    flight->redirectBody.insert(flight->redirectBody.end(), bytes.begin(), bytes.end());
    return;
  }
  if (flight->awaiting) {
    flight->held.push_back([flight, hop, bytes = std::move(bytes)](URLSession& session) mutable {
      if (!flight->finished) session.delegate_->didReceiveData(flight->task, bytes);
    });
    return;
  }
  delegate_->didReceiveData(flight->task, bytes);
}

void URLSession::onEnd(const std::shared_ptr<Flight>& flight, int hop, std::optional<httpkit::URLError> error,
                       const httpkit::TaskMetrics& metrics) {
  if (flight->finished || flight->hop != hop) return;
  if (flight->awaiting && !error) {
    flight->held.push_back([flight, hop, metrics](URLSession& session) { session.onEnd(flight, hop, std::nullopt, metrics); });
    return;
  }
  {
    std::lock_guard lock(mutex_);
    flight->transfer.reset();
  }
  TransactionMetrics transaction;
  transaction.start = flight->hopStart;
  transaction.timings = metrics;
  transaction.statusCode = error ? 0 : flight->hopResponse.statusCode;
  transaction.responseBodyBytesReceived = flight->hopBytes;
  flight->transactions.push_back(transaction);
  if (error) return finish(flight, std::move(error));
  if (flight->redirecting) return followRedirect(flight);
  finish(flight, std::nullopt);
}

void URLSession::followRedirect(const std::shared_ptr<Flight>& flight) {
  const std::string& url = flight->request.url;
  if (flight->hop >= kMaximumRedirects) {
    return finish(flight, httpkit::URLError(httpkit::URLError::Code::httpTooManyRedirects,
                                            "more than " + std::to_string(kMaximumRedirects) + " redirects", url));
  }
  const auto target = httpkit::resolveURL(url, flight->hopResponse.value("Location").value_or(""));
  if (!target) {
    return finish(flight, httpkit::URLError(httpkit::URLError::Code::badURL, "a redirect to an unusable address", url));
  }
  httpkit::URLRequest proposed = flight->request;
  proposed.url = *target;
  if (flight->hopResponse.statusCode == 303) {
    proposed.method = httpkit::HTTPMethod::get;
    proposed.body.reset();
  }
  std::weak_ptr<URLSession> weak = weak_from_this();
  const int hop = flight->hop;
  delegate_->willPerformHTTPRedirection(
      flight->task, flight->hopResponse, std::move(proposed), [weak, flight, hop](std::optional<httpkit::URLRequest> next) {
        auto self = weak.lock();
        if (!self) return;
        self->post([flight, hop, next = std::move(next)](URLSession& session) mutable {
          if (flight->finished || flight->hop != hop) return;
          if (!next) {
            // Refused: the redirect's own answer, body included, is the download's.
            flight->redirecting = false;
            flight->held.push_back([flight, body = flight->redirectBody](URLSession& s) {
              if (!flight->finished) s.delegate_->didReceiveData(flight->task, body);
            });
            flight->held.push_back([flight](URLSession& s) { s.finish(flight, std::nullopt); });
            return session.askDisposition(flight, flight->hopResponse);
          }
          if (!isWeb(next->url)) {
            return session.finish(flight, httpkit::URLError(httpkit::URLError::Code::unsupportedURL,
                                                            "a redirect to " + next->url, flight->request.url));
          }
          flight->request = std::move(*next);
          ++flight->hop;
          session.startHop(flight);
        });
      });
}

void URLSession::finish(const std::shared_ptr<Flight>& flight, std::optional<httpkit::URLError> error) {
  if (flight->finished) return;
  flight->finished = true;
  flight->held.clear();
  {
    std::lock_guard lock(mutex_);
    if (error && flight->transfer) engine_->cancel(*flight->transfer);
    flight->transfer.reset();
    auto it = flights_.find(flight->task.get());
    if (it != flights_.end() && it->second == flight) flights_.erase(it);
  }
  delegate_->didFinishCollecting(flight->task, flight->transactions);
  delegate_->didComplete(flight->task, error);
}

}  // namespace vellum
