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

#include "transfer.hpp"

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

}  // namespace

// A transfer the worker drives, with what keeps its observer alive.
struct Running {
  TransferEngine::TransferID id = 0;
  std::shared_ptr<TransferObserver> observer;
  std::unique_ptr<Transfer> transfer;
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
    auto running = prepare(request, options, std::move(observer));
    const TransferID id = running->id;
    {
      std::lock_guard lock(mutex_);
      if (!stopping_) added_.push_back(std::move(running));
    }
    if (running) {  // the engine is shutting down
      running->transfer->fail(URLError(URLError::Code::cancelled, {}, request.url));
      finish(std::move(running), false);
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
  std::unique_ptr<Running> prepare(const URLRequest& request, const TransferOptions& options,
                                   std::shared_ptr<TransferObserver> observer) {
    auto running = std::make_unique<Running>();
    running->observer = std::move(observer);
    CURL* easy = takeEasyHandle();
    if (!easy) throw std::runtime_error("libcurl could not make an easy handle");
    try {
      running->transfer = std::make_unique<Transfer>(easy, nullptr, request, options, *running->observer);
    } catch (...) {
      returnEasyHandle(easy);
      throw;
    }
    running->id = nextID_.fetch_add(1);
    return running;
  }

  void run() {
    for (;;) {
      std::vector<std::unique_ptr<Running>> added;
      std::vector<TransferID> cancelled;
      bool stopping = false;
      {
        std::lock_guard lock(mutex_);
        added.swap(added_);
        cancelled.swap(cancelled_);
        stopping = stopping_;
      }
      for (auto& running : added) {
        if (curl_multi_add_handle(multi_, running->transfer->easy()) != CURLM_OK) {
          running->transfer->fail(URLError(URLError::Code::unknown, "could not start the transfer", running->transfer->url()));
          finish(std::move(running), false);
          continue;
        }
        const TransferID id = running->id;
        active_.emplace(id, std::move(running));
      }
      for (TransferID id : cancelled) end(id, false);
      if (stopping) break;

      int stillRunning = 0;
      curl_multi_perform(multi_, &stillRunning);
      int queued = 0;
      while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
        if (message->msg != CURLMSG_DONE) continue;
        Transfer* transfer = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
        const CURLcode result = message->data.result;
        curl_multi_remove_handle(multi_, message->easy_handle);
        if (transfer->hopDone(result) == Transfer::Step::nextHop) {
          if (curl_multi_add_handle(multi_, transfer->easy()) == CURLM_OK) continue;
          transfer->fail(URLError(URLError::Code::unknown, "could not follow the redirect", transfer->url()));
        }
        for (auto& [id, running] : active_) {
          if (running->transfer.get() != transfer) continue;
          std::unique_ptr<Running> done = std::move(running);
          active_.erase(id);
          finish(std::move(done), false);
          break;
        }
      }

      // Sleeps until a socket is ready, one of curl's timers or a transfer's deadline is due, or a start or
      // cancel wakes it.
      auto wait = std::chrono::milliseconds(60'000);
      const auto now = Transfer::Clock::now();
      std::vector<TransferID> expired;
      for (const auto& [id, running] : active_) {
        const auto deadline = running->transfer->deadline();
        if (deadline <= now) {
          expired.push_back(id);
        } else if (deadline - now < wait) {
          wait = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        }
      }
      for (TransferID id : expired) end(id, true);
      if (!expired.empty()) continue;
      curl_multi_poll(multi_, nullptr, 0, static_cast<int>(wait.count()), nullptr);
    }

    for (auto& [id, running] : active_) {
      running->transfer->fail(URLError(URLError::Code::cancelled, {}, running->transfer->url()));
      finish(std::move(running), true);
    }
    active_.clear();
  }

  // Ends an active transfer early, as cancelled or as timed out.
  void end(TransferID id, bool timedOut) {
    auto it = active_.find(id);
    if (it == active_.end()) return;
    std::unique_ptr<Running> running = std::move(it->second);
    active_.erase(it);
    if (timedOut) {
      running->transfer->expire();
    } else {
      running->transfer->fail(URLError(URLError::Code::cancelled, {}, running->transfer->url()));
    }
    finish(std::move(running), true);
  }

  void finish(std::unique_ptr<Running> running, bool inMulti) {
    CURL* easy = running->transfer->easy();
    if (inMulti) curl_multi_remove_handle(multi_, easy);
    running->transfer->complete();
    running->transfer.reset();
    returnEasyHandle(easy);
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
  std::vector<std::unique_ptr<Running>> added_;
  std::vector<TransferID> cancelled_;
  std::unordered_map<TransferID, std::unique_ptr<Running>> active_;  // worker thread only
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
