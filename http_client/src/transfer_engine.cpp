#include "httpkit/transfer_engine.hpp"

#include <curl/curl.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "curl_errors.hpp"
#include "header_lines.hpp"
#include "httpkit/errors.hpp"

namespace httpkit {

namespace {

// libcurl's process-wide set-up must happen once, before any handle exists.
void initialiseCurlOnce() {
  static const bool done = [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) throw std::runtime_error("libcurl failed to initialise");
    return true;
  }();
  (void)done;
}

long ceilSeconds(std::chrono::milliseconds ms) {
  const auto seconds = (ms.count() + 999) / 1000;
  return static_cast<long>(seconds < 1 ? 1 : seconds);
}

}  // namespace

// One transfer as the worker drives it. Created on the starting thread, owned by the worker once queued.
struct Transfer {
  TransferEngine::TransferID id = 0;
  CURL* easy = nullptr;
  curl_slist* headerList = nullptr;
  URLRequest request;
  std::size_t maximumBodySize = 0;
  std::shared_ptr<TransferObserver> observer;
  HeaderAccumulator head;
  bool responseDelivered = false;
  std::size_t received = 0;
  std::optional<URLError> abortReason;
  char errorBuffer[CURL_ERROR_SIZE] = {};

  ~Transfer() {
    if (easy) curl_easy_cleanup(easy);
    if (headerList) curl_slist_free_all(headerList);
  }

  void deliverResponse() {
    if (responseDelivered) return;
    responseDelivered = true;
    HTTPURLResponse response;
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    response.statusCode = static_cast<int>(status);
    char* effective = nullptr;
    curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &effective);
    response.url = effective ? effective : request.url;
    response.headers = head.headers();
    observer->didReceiveResponse(response);
  }

  TaskMetrics metrics() const {
    TaskMetrics m;
    auto micros = [this](CURLINFO info) {
      curl_off_t value = 0;
      curl_easy_getinfo(easy, info, &value);
      return std::chrono::microseconds(value);
    };
    m.nameLookup = micros(CURLINFO_NAMELOOKUP_TIME_T);
    m.connect = micros(CURLINFO_CONNECT_TIME_T);
    m.secureConnection = micros(CURLINFO_APPCONNECT_TIME_T);
    m.requestStart = micros(CURLINFO_PRETRANSFER_TIME_T);
    m.responseStart = micros(CURLINFO_STARTTRANSFER_TIME_T);
    m.total = micros(CURLINFO_TOTAL_TIME_T);
    curl_easy_getinfo(easy, CURLINFO_REDIRECT_COUNT, &m.redirectCount);
    long connects = 0;
    curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &connects);
    m.reusedConnection = connects == 0;
    return m;
  }

  static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* self = static_cast<Transfer*>(user);
    self->head.feed(std::string_view(data, size * count));
    return size * count;
  }

  static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* self = static_cast<Transfer*>(user);
    const std::size_t length = size * count;
    if (length > self->maximumBodySize - self->received) {
      self->abortReason = URLError(URLError::Code::dataLengthExceedsMaximum,
                                   "the answer is longer than " + std::to_string(self->maximumBodySize) + " bytes",
                                   self->request.url);
      return CURL_WRITEFUNC_ERROR;
    }
    self->received += length;
    self->deliverResponse();
    self->observer->didReceiveData(std::span(reinterpret_cast<const std::uint8_t*>(data), length));
    return length;
  }
};

class TransferEngine::Impl {
 public:
  Impl() {
    initialiseCurlOnce();
    multi_ = curl_multi_init();
    if (!multi_) throw std::runtime_error("libcurl could not make a multi handle");
    worker_ = std::thread([this] { run(); });
  }

  ~Impl() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    curl_multi_wakeup(multi_);
    worker_.join();
    curl_multi_cleanup(multi_);
    for (CURL* easy : idleHandles_) curl_easy_cleanup(easy);
  }

  TransferID start(const URLRequest& request, const TransferOptions& options,
                   std::shared_ptr<TransferObserver> observer) {
    auto transfer = prepare(request, options, std::move(observer));
    const TransferID id = transfer->id;
    {
      std::lock_guard lock(mutex_);
      if (!stopping_) {
        added_.push_back(std::move(transfer));
      }
    }
    if (transfer) {  // the engine is shutting down
      transfer->observer->didComplete(URLError(URLError::Code::cancelled, {}, request.url), TaskMetrics{});
      return id;
    }
    curl_multi_wakeup(multi_);
    return id;
  }

  void cancel(TransferID id) {
    {
      std::lock_guard lock(mutex_);
      cancelled_.push_back(id);
    }
    curl_multi_wakeup(multi_);
  }

 private:
  std::unique_ptr<Transfer> prepare(const URLRequest& request, const TransferOptions& options,
                                    std::shared_ptr<TransferObserver> observer) {
    if (!isHeaderToken(request.method.rawValue)) {
      throw EncodingError("the method \"" + request.method.rawValue + "\" is not an HTTP token");
    }
    HTTPHeaders fields = options.additionalHeaders;
    for (const auto& [name, value] : request.headers) fields.set(name, value);
    for (const auto& [name, value] : fields) {
      if (!isHeaderToken(name) || !isSafeHeaderValue(value)) {
        throw EncodingError("the header field \"" + name + "\" cannot be sent as it is");
      }
    }

    auto transfer = std::make_unique<Transfer>();
    transfer->id = nextID_.fetch_add(1);
    transfer->request = request;
    transfer->maximumBodySize = options.maximumBodySize;
    transfer->observer = std::move(observer);
    transfer->easy = takeEasyHandle();
    if (!transfer->easy) throw std::runtime_error("libcurl could not make an easy handle");
    CURL* easy = transfer->easy;
    const URLRequest& req = transfer->request;

    curl_easy_setopt(easy, CURLOPT_URL, req.url.c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 16L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options.connectTimeout.count()));
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(options.resourceTimeout.count()));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, ceilSeconds(options.idleTimeout));
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer->errorBuffer);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, transfer.get());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer.get());

    const std::string& method = req.method.rawValue;
    const bool sendsBody = req.body.has_value() || method == "POST" || method == "PUT" || method == "PATCH";
    if (method == "HEAD") {
      curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else if (sendsBody) {
      static const char empty = 0;
      const void* data = req.body && !req.body->empty() ? static_cast<const void*>(req.body->data()) : &empty;
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(req.body ? req.body->size() : 0));
      curl_easy_setopt(easy, CURLOPT_POSTFIELDS, data);
      if (method != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
    } else if (method != "GET") {
      curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
    }

    // curl adds a form content type to every body and waits for "100 Continue" on large ones; neither is
    // asked for, so both are switched off unless the caller set them.
    curl_slist* list = nullptr;
    for (const auto& [name, value] : fields) {
      const std::string line = value.empty() ? name + ";" : name + ": " + value;
      list = curl_slist_append(list, line.c_str());
    }
    if (sendsBody && !fields.contains("Content-Type")) list = curl_slist_append(list, "Content-Type:");
    if (!fields.contains("Expect")) list = curl_slist_append(list, "Expect:");
    transfer->headerList = list;
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);
    return transfer;
  }

  void run() {
    for (;;) {
      std::vector<std::unique_ptr<Transfer>> added;
      std::vector<TransferID> cancelled;
      bool stopping = false;
      {
        std::lock_guard lock(mutex_);
        added.swap(added_);
        cancelled.swap(cancelled_);
        stopping = stopping_;
      }
      for (auto& transfer : added) {
        CURL* easy = transfer->easy;
        const TransferID id = transfer->id;
        if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
          transfer->observer->didComplete(URLError(URLError::Code::unknown, "could not start the transfer",
                                                   transfer->request.url),
                                          TaskMetrics{});
          continue;
        }
        active_.emplace(id, std::move(transfer));
      }
      for (TransferID id : cancelled) {
        auto it = active_.find(id);
        if (it == active_.end()) continue;
        std::unique_ptr<Transfer> transfer = std::move(it->second);
        active_.erase(it);
        const std::string url = transfer->request.url;
        finish(std::move(transfer), URLError(URLError::Code::cancelled, {}, url));
      }
      if (stopping) break;

      int running = 0;
      curl_multi_perform(multi_, &running);
      int queued = 0;
      while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
        if (message->msg != CURLMSG_DONE) continue;
        Transfer* raw = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &raw);
        const CURLcode result = message->data.result;
        auto it = active_.find(raw->id);
        if (it == active_.end()) continue;
        std::unique_ptr<Transfer> transfer = std::move(it->second);
        active_.erase(it);
        std::optional<URLError> error;
        if (transfer->abortReason) {
          error = transfer->abortReason;
        } else if (result != CURLE_OK) {
          error = urlErrorFromCurl(result, transfer->errorBuffer, transfer->request.url);
        }
        finish(std::move(transfer), error);
      }
      // Sleeps until a socket is ready, one of curl's timers is due, or a start/cancel wakes it.
      curl_multi_poll(multi_, nullptr, 0, 60'000, nullptr);
    }

    for (auto& [id, transfer] : active_) {
      const std::string url = transfer->request.url;
      finish(std::move(transfer), URLError(URLError::Code::cancelled, {}, url));
    }
    active_.clear();
  }

  void finish(std::unique_ptr<Transfer> transfer, const std::optional<URLError>& error) {
    curl_multi_remove_handle(multi_, transfer->easy);
    if (!error) transfer->deliverResponse();
    const TaskMetrics metrics = transfer->metrics();
    auto observer = transfer->observer;
    returnEasyHandle(std::exchange(transfer->easy, nullptr));
    transfer.reset();
    observer->didComplete(error, metrics);
  }

  // Easy handles are kept for later transfers: making one costs more than resetting it.
  CURL* takeEasyHandle() {
    {
      std::lock_guard lock(poolMutex_);
      if (!idleHandles_.empty()) {
        CURL* easy = idleHandles_.back();
        idleHandles_.pop_back();
        return easy;
      }
    }
    return curl_easy_init();
  }

  void returnEasyHandle(CURL* easy) {
    curl_easy_reset(easy);
    std::lock_guard lock(poolMutex_);
    if (idleHandles_.size() < kMaximumIdleHandles) {
      idleHandles_.push_back(easy);
      return;
    }
    curl_easy_cleanup(easy);
  }

  CURLM* multi_ = nullptr;
  std::thread worker_;
  std::mutex mutex_;
  bool stopping_ = false;
  std::vector<std::unique_ptr<Transfer>> added_;
  std::vector<TransferID> cancelled_;
  std::unordered_map<TransferID, std::unique_ptr<Transfer>> active_;  // worker thread only
  std::atomic<TransferID> nextID_{1};
  static constexpr std::size_t kMaximumIdleHandles = 16;
  std::mutex poolMutex_;
  std::vector<CURL*> idleHandles_;
};

TransferEngine::TransferEngine() : impl_(std::make_unique<Impl>()) {}
TransferEngine::~TransferEngine() = default;

TransferEngine::TransferID TransferEngine::start(const URLRequest& request, const TransferOptions& options,
                                                 std::shared_ptr<TransferObserver> observer) {
  return impl_->start(request, options, std::move(observer));
}

void TransferEngine::cancel(TransferID id) { impl_->cancel(id); }

}  // namespace httpkit
