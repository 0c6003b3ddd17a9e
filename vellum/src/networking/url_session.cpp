#include "url_session.hpp"

#include <cctype>
#include <algorithm>
#include <cmath>
#include <string_view>

#include "general/guarded_call.hpp"

namespace vellum {

namespace {

constexpr int kMaximumRedirects = 16;
constexpr double kDefaultTimeout = 15.0;
constexpr double kLongestTimeout = 24 * 60 * 60;

std::atomic<bool> networkConstrained{false};
// Unique in the process, not per session: the delegate tells a session's transfer from a replaced
// session's transfer of the same URL by it.
std::atomic<std::uint64_t> nextTaskIdentifier{1};

bool isRedirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool isPlainHTTP(std::string_view url) {
  constexpr std::string_view prefix = "http://";
  if (url.size() <= prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(url[i])) != prefix[i]) return false;
  }
  return true;
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
  bool challengeOwed = false;  // the hop waits for the answer to its server-trust challenge
  bool paused = false;    // the transfer was paused while the disposition is owed
  std::vector<std::function<void(URLSession&)>> held;
  bool finished = false;
};

// The delegate queue's intake. Events wait here in order and one queued block runs all that have gathered,
// so a busy session costs one hand-over of the queue per batch instead of one per event. An event that
// throws costs only itself: the rest of its batch runs and the inbox keeps scheduling itself (a block that
// unwound would leave `scheduled` set for good, and no event of the session would ever run again).
struct URLSession::Inbox {
  std::shared_ptr<foundation::SerialQueue> queue;
  std::weak_ptr<URLSession> session;
  std::mutex mutex;
  std::vector<std::function<void(URLSession&)>> events;
  bool scheduled = false;
  std::vector<std::function<void(URLSession&)>> spare;  // the scheduled drain's own: empty, with room
  std::atomic<bool> unreleased{false};  // an event was held since the last release

  static void push(const std::shared_ptr<Inbox>& inbox, std::function<void(URLSession&)> event) {
    bool schedule = false;
    {
      std::lock_guard lock(inbox->mutex);
      inbox->events.push_back(std::move(event));
      schedule = !std::exchange(inbox->scheduled, true);
    }
    // The block holds the inbox, so events still drain after the session's owner let go.
    if (schedule) inbox->queue->post([inbox] { inbox->drain(); });
  }

  // From the engine's worker: the event waits until `release`, which the engine calls once its turn's observer
  // calls are made, so that a turn's events from every transfer cost one hand-over of the queue.
  static void hold(const std::shared_ptr<Inbox>& inbox, std::function<void(URLSession&)> event) {
    std::lock_guard lock(inbox->mutex);
    inbox->events.push_back(std::move(event));
    inbox->unreleased.store(true, std::memory_order_relaxed);
  }

  static void release(const std::shared_ptr<Inbox>& inbox) {
    // A thread that held an event sees its own mark here, so its release never skips it; with nothing held
    // since, no lock is taken.
    if (!inbox->unreleased.load(std::memory_order_relaxed)) return;
    bool schedule = false;
    {
      std::lock_guard lock(inbox->mutex);
      inbox->unreleased.store(false, std::memory_order_relaxed);
      schedule = !inbox->events.empty() && !std::exchange(inbox->scheduled, true);
    }
    if (schedule) inbox->queue->post([inbox] { inbox->drain(); });
  }

  void drain() {
    // The batch's emptied storage goes back to the intake at the next swap, and is kept between drains: a
    // busy session then fills the same two buffers over and over instead of growing one for every batch.
    std::vector<std::function<void(URLSession&)>> batch = std::move(spare);
    for (;;) {
      {
        std::lock_guard lock(mutex);
        if (events.empty()) {
          spare = std::move(batch);
          scheduled = false;
          return;
        }
        batch.swap(events);
      }
      if (auto self = session.lock()) {
        for (auto& event : batch) callGuarded("A download's event", [&] { event(*self); });
      }
      batch.clear();
    }
  }
};

namespace {

// Runs on the engine's worker: hands the hop's events to the delegate queue and returns. The handlers are the
// session's own closures, kept once in the observer (no function object wrapped in another).
//
// What arrives waits here, and a single queued event takes all of it that has arrived by the time it runs:
// the head, the body bytes gathered in one buffer (sized once for the announced length, which the task then
// keeps as its data instead of copying it again) and the end. A small answer, whose head, body and end come
// in one read, so costs one event and one turn of the delegate queue instead of three. The event hands them
// on in the order they came (the head before the body, the body before the end), and anything arriving
// after it took its share queues the next event.
template <class Head, class Body, class End>
class HopObserver final : public httpkit::TransferObserver,
                          public std::enable_shared_from_this<HopObserver<Head, Body, End>> {
 public:
  HopObserver(std::shared_ptr<URLSession::Inbox> inbox, Head head, Body body, End end)
      : inbox_(std::move(inbox)), head_(std::move(head)), body_(std::move(body)), end_(std::move(end)) {}

  void didReceiveResponse(const httpkit::HTTPURLResponse& response) override {
    // Only so much is taken on the server's word: a body announced longer than it is costs no more than that.
    constexpr std::int64_t kMostReservedAhead = std::int64_t{1} << 20;
    const std::int64_t announced = expectedContentLength(response);
    {
      std::lock_guard lock(mutex_);
      reserve_ = announced > 0 ? static_cast<std::size_t>(std::min(announced, kMostReservedAhead)) : 0;
      response_.emplace(response);
      if (std::exchange(queued_, true)) return;
    }
    queue();
  }
  void didReceiveData(std::span<const std::uint8_t> bytes) override {
    {
      std::lock_guard lock(mutex_);
      if (pending_.empty()) pending_.reserve(std::max(reserve_, bytes.size()));
      pending_.insert(pending_.end(), bytes.begin(), bytes.end());
      bodyArrived_ = true;
      if (std::exchange(queued_, true)) return;
    }
    queue();
  }
  void didComplete(const std::optional<httpkit::URLError>& error, const httpkit::TaskMetrics& metrics) override {
    {
      std::lock_guard lock(mutex_);
      ending_.emplace(Ending{error, metrics});
      if (std::exchange(queued_, true)) return;
    }
    queue();
  }

 private:
  struct Ending {
    std::optional<httpkit::URLError> error;
    httpkit::TaskMetrics metrics;
  };

  // The engine releases the inbox after the calls of its turn (see the engine's configuration).
  void queue() {
    URLSession::Inbox::hold(inbox_, [self = this->shared_from_this()](URLSession& session) { self->deliver(session); });
  }

  // On the delegate queue. Each handler is guarded on its own: one that throws costs only itself, as it did
  // when each was an event of its own.
  void deliver(URLSession& session) {
    std::optional<httpkit::HTTPURLResponse> response;
    foundation::Bytes data;
    bool bodyArrived = false;
    std::optional<Ending> ending;
    {
      std::lock_guard lock(mutex_);
      response.swap(response_);
      data.swap(pending_);
      bodyArrived = std::exchange(bodyArrived_, false);
      ending.swap(ending_);
      queued_ = false;
    }
    if (response) callGuarded("A download's event", [&] { head_(session, std::move(*response)); });
    if (bodyArrived) callGuarded("A download's event", [&] { body_(session, std::move(data)); });
    if (ending) callGuarded("A download's event", [&] { end_(session, std::move(ending->error), ending->metrics); });
  }

  const std::shared_ptr<URLSession::Inbox> inbox_;
  const Head head_;
  const Body body_;
  const End end_;
  std::mutex mutex_;  // the worker fills what arrived, the delegate queue empties it
  std::optional<httpkit::HTTPURLResponse> response_;
  foundation::Bytes pending_;
  bool bodyArrived_ = false;  // body bytes wait in `pending_` (an empty piece counts)
  std::optional<Ending> ending_;
  bool queued_ = false;  // an event that will take what arrived is queued and has not run yet
  std::size_t reserve_ = 0;  // the room a new buffer is given: the announced length, bounded
};

template <class Head, class Body, class End>
std::shared_ptr<httpkit::TransferObserver> makeHopObserver(std::shared_ptr<URLSession::Inbox> inbox, Head head, Body body,
                                                           End end) {
  return std::make_shared<HopObserver<Head, Body, End>>(std::move(inbox), std::move(head), std::move(body), std::move(end));
}

}  // namespace

std::shared_ptr<URLSession> URLSession::make(const SessionConfiguration& configuration,
                                             std::shared_ptr<SessionDelegate> delegate) {
  std::shared_ptr<URLSession> session(new URLSession(configuration, std::move(delegate)));
  session->inbox_->session = session;
  return session;
}

URLSession::URLSession(const SessionConfiguration& configuration, std::shared_ptr<SessionDelegate> delegate)
    : configuration_(configuration),
      delegate_(std::move(delegate)),
      inbox_(std::make_shared<Inbox>()),
      engine_(std::make_shared<httpkit::TransferEngine>(httpkit::TransferEngine::Configuration{
          configuration.httpMaximumConnectionsPerHost, [inbox = inbox_] { Inbox::release(inbox); }})) {
  inbox_->queue = std::make_shared<foundation::SerialQueue>("com.marrowby.Vellum.ImageDownloader.SessionDelegate");
}

// The engine's own destructor cancels what still runs and joins its worker; its late events find no session.
URLSession::~URLSession() = default;

void URLSession::setNetworkConstrained(bool constrained) { networkConstrained.store(constrained); }

std::shared_ptr<URLSessionDataTask> URLSession::dataTask(httpkit::URLRequest request) {
  return std::make_shared<URLSessionDataTask>(std::move(request), nextTaskIdentifier.fetch_add(1), weak_from_this());
}

void URLSession::post(std::function<void(URLSession&)> event) { Inbox::push(inbox_, std::move(event)); }

void URLSession::start(const std::shared_ptr<URLSessionDataTask>& task) {
  auto flight = std::make_shared<Flight>();
  flight->task = task;
  flight->request = task->originalRequest();
  // A plain http transfer asks nobody anything first: it starts here, on the caller's thread, before any
  // other thread can see its flight, saving a trip through the delegate queue. Its scheme is read from the
  // text alone: the downloader parsed the address moments ago, and one that still fails to parse ends as
  // curl's malformed-URL error instead.
  const bool direct = isPlainHTTP(flight->request.url) &&
                      (flight->request.allowsConstrainedNetworkAccess || !networkConstrained.load());
  bool invalidated = false;
  {
    std::lock_guard lock(mutex_);
    invalidated = invalidated_;
    if (!invalidated) {
      flights_[task.get()] = flight;
      if (direct) {
        startTransfer(flight, prepareHop(flight, true));
        return;
      }
    }
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
    post([self = shared_from_this(), flight](URLSession&) { self->finish(flight, cancelled(flight->request.url)); });
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
  flight->challengeOwed = true;
  // Answers come back through the inbox, whatever thread gives them: none of them holds the session.
  delegate_->didReceiveChallenge({kAuthenticationMethodServerTrust, parts->host}, [inbox = inbox_, flight, hop](ChallengeAnswer answer) {
    Inbox::push(inbox, [flight, hop, answer](URLSession& session) {
      if (flight->finished || flight->hop != hop || !std::exchange(flight->challengeOwed, false)) return;
      if (answer.disposition == AuthChallengeDisposition::cancelAuthenticationChallenge) {
        return session.finish(flight, cancelled(flight->request.url));
      }
      // The one place certificate checks go off: a credential the app's trusted hosts granted.
      const bool trusted = answer.disposition == AuthChallengeDisposition::useCredential && answer.credential;
      session.launch(flight, !trusted);
    });
  });
  if (flight->challengeOwed && flight->hop == hop && !flight->finished) {
    limitOwedAnswer(flight, [](const Flight& owing) { return owing.challengeOwed; }, "the server-trust challenge");
  }
}

void URLSession::limitOwedAnswer(const std::shared_ptr<Flight>& flight, bool (*owed)(const Flight&), const char* what) {
  const int hop = flight->hop;
  inbox_->queue->postAfter(limitFor(flight->request.timeoutInterval), [inbox = inbox_, flight, hop, owed, what] {
    Inbox::push(inbox, [flight, hop, owed, what](URLSession& session) {
      if (flight->finished || flight->hop != hop || !owed(*flight)) return;
      session.finish(flight, httpkit::URLError(httpkit::URLError::Code::timedOut,
                                               std::string("no answer to ") + what + " in time", flight->request.url));
    });
  });
}

httpkit::TransferOptions URLSession::prepareHop(const std::shared_ptr<Flight>& flight, bool verifyPeer) {
  httpkit::TransferOptions options;
  options.connectTimeout = limitFor(flight->request.timeoutInterval);
  options.idleTimeout = options.connectTimeout;
  options.followRedirects = false;
  // A content coding is the transfer's, not the image's: the body is decoded on its way here (and its size
  // limit applies to the decoded bytes), as the platform's sessions do for their callers.
  options.decodeContent = true;
  options.verifyPeer = verifyPeer;
  options.priority = flight->task->priority();
  options.maximumBodySize = configuration_.maximumBodySize;
  flight->hopStart = std::chrono::steady_clock::now();
  flight->hopBytes = 0;
  flight->redirecting = false;
  flight->redirectBody.clear();
  return options;
}

bool URLSession::startTransfer(const std::shared_ptr<Flight>& flight, const httpkit::TransferOptions& options) {
  const int hop = flight->hop;
  // The worker reaches the queue through the inbox alone: it never holds the session.
  auto observer = makeHopObserver(
      inbox_,
      [flight, hop](URLSession& session, httpkit::HTTPURLResponse response) { session.onHead(flight, hop, std::move(response)); },
      [flight, hop](URLSession& session, foundation::Bytes bytes) { session.onBody(flight, hop, std::move(bytes)); },
      [flight, hop](URLSession& session, std::optional<httpkit::URLError> error, const httpkit::TaskMetrics& metrics) {
        session.onEnd(flight, hop, std::move(error), metrics);
      });
  try {
    const auto id = engine_->start(flight->request, options, observer);
    flight->transfer = id;
    if (flight->task->isCancelled()) engine_->cancel(id);
    return true;
  } catch (const std::exception& error) {
    post([flight, what = std::string(error.what())](URLSession& session) {
      session.finish(flight, httpkit::URLError(httpkit::URLError::Code::badURL, what, flight->request.url));
    });
    return false;
  }
}

void URLSession::launch(const std::shared_ptr<Flight>& flight, bool verifyPeer) {
  const auto options = prepareHop(flight, verifyPeer);
  std::lock_guard lock(mutex_);
  startTransfer(flight, options);
}

void URLSession::onHead(const std::shared_ptr<Flight>& flight, int hop, httpkit::HTTPURLResponse response) {
  if (flight->finished || flight->hop != hop) return;
  flight->hopResponse = std::move(response);
  if (isRedirect(flight->hopResponse.statusCode) && flight->hopResponse.value("Location")) {
    flight->redirecting = true;
    return;
  }
  askDisposition(flight, flight->hopResponse);
}

void URLSession::askDisposition(const std::shared_ptr<Flight>& flight, const httpkit::HTTPURLResponse& response) {
  flight->awaiting = true;
  // Most answers come back before the delegate returns: those are acted on here, with no pause and no
  // round trip through the queue. A later answer finds the transfer paused meanwhile.
  struct Pending {
    std::mutex mutex;
    bool asking = true;
    std::optional<ResponseDisposition> inline_;
  };
  auto pending = std::make_shared<Pending>();
  const int hop = flight->hop;
  delegate_->didReceiveResponse(flight->task, response, [inbox = inbox_, flight, hop, pending](ResponseDisposition disposition) {
    {
      std::lock_guard lock(pending->mutex);
      if (pending->asking) {
        pending->inline_ = disposition;
        return;
      }
    }
    Inbox::push(inbox, [flight, hop, disposition](URLSession& session) { session.disposed(flight, hop, disposition); });
  });
  std::optional<ResponseDisposition> answered;
  {
    std::lock_guard lock(pending->mutex);
    pending->asking = false;
    answered = pending->inline_;
  }
  if (answered) return disposed(flight, hop, *answered);
  {
    std::lock_guard lock(mutex_);
    if (flight->transfer && !flight->finished) {
      engine_->pause(*flight->transfer);
      flight->paused = true;
    }
  }
  // A paused transfer meets no idle limit of its own.
  limitOwedAnswer(flight, [](const Flight& owing) { return owing.awaiting; }, "the response disposition");
}

void URLSession::disposed(const std::shared_ptr<Flight>& flight, int hop, ResponseDisposition disposition) {
  if (flight->finished || flight->hop != hop || !flight->awaiting) return;
  flight->awaiting = false;
  if (disposition == ResponseDisposition::cancel) return finish(flight, cancelled(flight->request.url));
  if (std::exchange(flight->paused, false)) {
    std::lock_guard lock(mutex_);
    if (flight->transfer) engine_->resume(*flight->transfer);
  }
  auto held = std::move(flight->held);
  flight->held.clear();
  for (auto& event : held) event(*this);
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
    flight->held.push_back([flight, bytes = std::move(bytes)](URLSession& session) mutable {
      if (!flight->finished) session.delegate_->didReceiveData(flight->task, std::move(bytes));
    });
    return;
  }
  delegate_->didReceiveData(flight->task, std::move(bytes));
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
  transaction.requestBodyBytesSent = metrics.requestBodyBytesSent;
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
  // Before the delegate sees the request: a handler that follows it as proposed sends no credentials away.
  httpkit::removeCredentialsLeavingOrigin(proposed.headers, url, *target);
  httpkit::rewriteForRedirect(flight->hopResponse.statusCode, proposed.method, proposed.body, proposed.headers);
  const int hop = flight->hop;
  delegate_->willPerformHTTPRedirection(
      flight->task, flight->hopResponse, std::move(proposed), [inbox = inbox_, flight, hop](std::optional<httpkit::URLRequest> next) {
        Inbox::push(inbox, [flight, hop, next = std::move(next)](URLSession& session) mutable {
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
