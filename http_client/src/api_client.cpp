#include "httpkit/api_client.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <unistd.h>

#include <foundation/json_nesting.hpp>
#include <foundation/log.hpp>

#include "url_builder.hpp"

namespace httpkit {

struct APIClient::Shared {
  Configuration configuration;
  std::optional<BaseURL> base;  // configuration.baseURL, cut once
  std::shared_ptr<APIClientDelegate> delegate;
  TransferOptions transferOptions;
  std::shared_ptr<TransferEngine> engine;
  std::atomic<std::uint64_t> nextTaskIdentifier{1};
  // Requested by the destructor: the sends in flight end as cancelled, and none starts after.
  std::stop_source closing;
  std::mutex mutex;
  std::condition_variable sendsEnded;
  int sends = 0;  // in flight; guarded by `mutex`
  pid_t process = ::getpid();  // whose sends `sends` and `closing` know of; guarded by `mutex`

  // Called with `mutex` held, before `sends` or `closing` is used. A forked child does not have the threads
  // of its parent's sends: it neither waits for them nor runs their stop callbacks (which reach into those
  // threads' stacks). It starts with no send of its own.
  void startAfreshIfForked() {
    if (process == ::getpid()) return;
    process = ::getpid();
    sends = 0;
    closing = std::stop_source();
  }
};

namespace {

// Collects one whole answer for a `send` (the transfer runs on the sending thread) and tells the session
// delegate, if there is one, as it goes.
class BufferedTransfer final : public TransferObserver {
 public:
  BufferedTransfer(const APIClient::Configuration& configuration, const DataTask& task)
      : delegate_(configuration.sessionDelegate), queue_(configuration.sessionDelegateQueue) {
    if (!delegate_) return;
    task_ = std::make_shared<const DataTask>(task);
    unread_ = std::make_shared<Unread>();
  }

  void didReceiveResponse(const HTTPURLResponse& response) override {
    response_ = response;
    if (!delegate_) return;
    tell([response](URLSessionDelegate& delegate, const DataTask& task) {
      delegate.didReceiveResponse(task, response);
    });
  }
  void didReceiveData(std::span<const std::uint8_t> bytes) override {
    data_.insert(data_.end(), bytes.begin(), bytes.end());
    if (!delegate_) return;
    // A server may send its body a byte at a time (one-byte chunks): an event queued per piece would cost the
    // delegate's queue many times the body while the delegate is busy. A piece that comes while the event for
    // earlier ones still waits in the queue joins them: at most one event waits, holding each byte once.
    {
      std::lock_guard lock(unread_->mutex);
      unread_->bytes.insert(unread_->bytes.end(), bytes.begin(), bytes.end());
      if (std::exchange(unread_->told, true)) return;
    }
    tell([unread = unread_](URLSessionDelegate& delegate, const DataTask& task) {
      Bytes piece;
      {
        std::lock_guard lock(unread->mutex);
        piece.swap(unread->bytes);
        unread->told = false;
      }
      delegate.didReceiveData(task, piece);
    });
  }
  void didComplete(const std::optional<URLError>& error, const TaskMetrics& metrics) override {
    error_ = error;
    metrics_ = metrics;
    if (!delegate_) return;
    tell([metrics](URLSessionDelegate& delegate, const DataTask& task) {
      delegate.didFinishCollectingMetrics(task, metrics);
    });
    tell([error](URLSessionDelegate& delegate, const DataTask& task) { delegate.didCompleteWithError(task, error); });
  }

  const std::optional<URLError>& error() const { return error_; }
  HTTPURLResponse& response() { return response_; }
  Bytes& data() { return data_; }
  const TaskMetrics& metrics() const { return metrics_; }

 private:
  template <class Event>
  void tell(Event event) {
    if (!delegate_) return;
    queue_->post([delegate = delegate_, task = task_, event = std::move(event)] { event(*delegate, *task); });
  }

  std::shared_ptr<URLSessionDelegate> delegate_;
  std::shared_ptr<foundation::SerialQueue> queue_;
  std::shared_ptr<const DataTask> task_;  // only with a delegate, for its events
  // Body bytes not yet handed to the delegate, and whether an event that takes them is queued.
  struct Unread {
    std::mutex mutex;
    Bytes bytes;
    bool told = false;
  };
  std::shared_ptr<Unread> unread_;  // only with a delegate
  std::optional<URLError> error_;
  HTTPURLResponse response_;
  Bytes data_;
  TaskMetrics metrics_;
};

// The clients (by their shared state) whose sends the current thread is inside, innermost last: a client
// released from one of its own hooks must not wait for the sends that called the hook.
thread_local std::vector<const void*> sendsOfThisThread;

// One send in flight: counted, so that the destructor can wait for it, and stopped by its caller's token or
// by the client's closing, whichever comes first.
class InFlight {
 public:
  template <class Shared>
  InFlight(Shared& shared, const std::stop_token& caller)
      : client_(&shared), mutex_(shared.mutex), sendsEnded_(shared.sendsEnded), sends_(shared.sends) {
    std::stop_token closing;
    {
      std::lock_guard lock(mutex_);
      shared.startAfreshIfForked();
      if (shared.closing.stop_requested()) throw URLError(URLError::Code::cancelled, "the client is being destroyed");
      ++sends_;
      closing = shared.closing.get_token();
    }
    sendsOfThisThread.push_back(client_);
    fromCaller_.emplace(caller, Stop{&stop_});
    fromClient_.emplace(closing, Stop{&stop_});
  }
  ~InFlight() {
    fromCaller_.reset();
    fromClient_.reset();
    sendsOfThisThread.pop_back();
    std::lock_guard lock(mutex_);
    if (--sends_ == 0) sendsEnded_.notify_all();
  }
  InFlight(const InFlight&) = delete;
  InFlight& operator=(const InFlight&) = delete;

  // How many sends of the client with this state the current thread is inside.
  static int onThisThread(const void* client) {
    return static_cast<int>(std::count(sendsOfThisThread.begin(), sendsOfThisThread.end(), client));
  }

  std::stop_token token() const { return stop_.get_token(); }

 private:
  const void* client_;
  struct Stop {
    std::stop_source* source;
    void operator()() const { source->request_stop(); }
  };
  std::mutex& mutex_;
  std::condition_variable& sendsEnded_;
  int& sends_;
  std::stop_source stop_;
  std::optional<std::stop_callback<Stop>> fromCaller_;
  std::optional<std::stop_callback<Stop>> fromClient_;
};

// Reading an answer into the caller's type copies the value, by recursion: nesting this deep is refused first.
constexpr std::size_t kMaximumJSONDepth = 512;

nlohmann::json defaultDecode(const Bytes& data) {
  const std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
  if (foundation::jsonNestsDeeperThan(text, kMaximumJSONDepth)) {
    throw std::runtime_error("the JSON text nests deeper than " + std::to_string(kMaximumJSONDepth) + " levels");
  }
  return nlohmann::json::parse(data.begin(), data.end());
}

Bytes defaultEncode(const nlohmann::json& value) {
  const std::string text = value.dump();
  return Bytes(text.begin(), text.end());
}

std::string makeURL(APIClient& client, APIClientDelegate& delegate, const BaseURL& base, const AnyRequest& request) {
  if (auto custom = delegate.makeURLForRequest(client, request)) return checkedAbsoluteURL(*custom, "delegate's URL");
  return buildURL(base, request.path, request.query);
}

URLRequest makeFirstRequest(APIClient& client, APIClientDelegate& delegate, const BaseURL& base,
                            const APIClient::Configuration& configuration, const AnyRequest& request) {
  URLRequest urlRequest;
  urlRequest.url = makeURL(client, delegate, base, request);
  urlRequest.method = request.method;
  urlRequest.headers = request.headers;
  if (request.body) {
    try {
      urlRequest.body = configuration.encoder(*request.body);
    } catch (const EncodingError&) {
      throw;
    } catch (const std::exception& e) {
      throw EncodingError(e.what());
    } catch (...) {
      throw EncodingError("the encoder threw something that is not an exception");
    }
    if (!urlRequest.headers.contains("Content-Type") &&
        !configuration.sessionConfiguration.additionalHTTPHeaders.contains("Content-Type")) {
      urlRequest.headers.set("Content-Type", "application/json");
    }
  }
  return urlRequest;
}

}  // namespace

APIClient::Configuration::Configuration(std::optional<std::string> baseURL_)
    : baseURL(std::move(baseURL_)), decoder(&defaultDecode), encoder(&defaultEncode) {}

APIClient::APIClient(std::optional<std::string> baseURL, const std::function<void(Configuration&)>& configure)
    : APIClient([&] {
        Configuration configuration(std::move(baseURL));
        if (configure) configure(configuration);
        return configuration;
      }()) {}

APIClient::APIClient(Configuration configuration) : shared_(std::make_shared<Shared>()) {
  Shared& shared = *shared_;
  shared.configuration = std::move(configuration);
  Configuration& c = shared.configuration;
  shared.base.emplace(c.baseURL);
  shared.delegate = c.delegate ? c.delegate : std::make_shared<APIClientDelegate>();
  shared.engine = std::make_shared<TransferEngine>();
  if (!c.decoder) c.decoder = &defaultDecode;
  if (!c.encoder) c.encoder = &defaultEncode;
  if (c.sessionDelegate && !c.sessionDelegateQueue) {
    c.sessionDelegateQueue = std::make_shared<foundation::SerialQueue>("httpkit.APIClient.sessionDelegateQueue");
  }
  const auto& session = c.sessionConfiguration;
  TransferOptions& options = shared.transferOptions;
  options.additionalHeaders = session.additionalHTTPHeaders;
  options.connectTimeout = session.connectTimeout;
  options.idleTimeout = session.timeoutIntervalForRequest;
  options.resourceTimeout = session.timeoutIntervalForResource;
  options.maximumBodySize = session.maximumResponseSize;
}

APIClient::~APIClient() {
  Shared& shared = *shared_;
  {
    std::lock_guard lock(shared.mutex);
    shared.startAfreshIfForked();
  }
  shared.closing.request_stop();
  // Released from a hook of its own: the sends under that hook end once it returns, which cannot happen
  // while this waits.
  const int own = InFlight::onThisThread(&shared);
  std::unique_lock lock(shared.mutex);
  if (!shared.sendsEnded.wait_for(lock, kSendsEndWithin, [&] { return shared.sends == own; })) {
    foundation::log(foundation::LogLevel::error,
                    "httpkit: an APIClient was destroyed while " + std::to_string(shared.sends - own) +
                        " of its sends were still held by delegate hooks; they finish without it");
  }
}

const APIClient::Configuration& APIClient::configuration() const { return shared_->configuration; }

const std::shared_ptr<TransferEngine>& APIClient::engine() const { return shared_->engine; }

URLRequest APIClient::makeURLRequest(const AnyRequest& request) {
  const std::shared_ptr<Shared> shared = shared_;  // a hook may release the client
  return makeFirstRequest(*this, *shared->delegate, *shared->base, shared->configuration, request);
}

// Touches nothing of the client but what `shared` holds, which the send keeps alive: hooks are handed the
// client, but a send the destructor stopped waiting for goes on without it.
RawResponse APIClient::data(const AnyRequest& request, std::stop_token stop) {
  const std::shared_ptr<Shared> shared = shared_;
  InFlight inFlight(*shared, stop);
  const std::stop_token stopped = inFlight.token();
  APIClientDelegate& delegate = *shared->delegate;
  const URLRequest first = makeFirstRequest(*this, delegate, *shared->base, shared->configuration, request);
  for (int attempts = 1;; ++attempts) {
    if (stopped.stop_requested()) throw URLError(URLError::Code::cancelled, {}, first.url);
    URLRequest attempt = first;
    delegate.willSendRequest(*this, attempt);
    if (stopped.stop_requested()) throw URLError(URLError::Code::cancelled, {}, first.url);
    DataTask task{shared->nextTaskIdentifier.fetch_add(1), std::move(attempt)};

    std::exception_ptr failure;
    std::optional<RawResponse> response;
    try {
      BufferedTransfer observer(shared->configuration, task);
      shared->engine->perform(task.originalRequest, shared->transferOptions, observer, stopped);
      if (observer.error()) throw *observer.error();
      response = RawResponse{std::move(observer.response()), std::move(observer.data()), std::move(task),
                             observer.metrics()};
    } catch (const URLError& error) {
      // A cancelled send stays cancelled: offering it for a retry could only loop.
      if (error.code() == URLError::Code::cancelled) throw;
      failure = std::current_exception();
    }
    if (response) {
      try {
        delegate.validateResponse(*this, response->response, response->data, response->task);
        return std::move(*response);
      } catch (...) {
        failure = std::current_exception();
      }
    }
    // Stopped meanwhile (perhaps by a hook that released the client): nobody is left to ask.
    if (stopped.stop_requested()) throw URLError(URLError::Code::cancelled, {}, first.url);
    if (!delegate.shouldRetry(*this, response ? response->task : task, failure, attempts)) {
      std::rethrow_exception(failure);
    }
  }
}

nlohmann::json APIClient::decodeJSON(const Shared& shared, const Bytes& data, const std::type_info& type) {
  if (data.empty()) throw DecodingError(detail::typeName(type), "the body is empty");
  try {
    return shared.configuration.decoder(data);
  } catch (const std::exception& e) {
    throw DecodingError(detail::typeName(type), e.what());
  } catch (...) {
    throw DecodingError(detail::typeName(type), "the decoder threw something that is not an exception");
  }
}

}  // namespace httpkit
