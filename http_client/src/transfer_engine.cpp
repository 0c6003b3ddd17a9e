#include "httpkit/transfer_engine.hpp"

#include <curl/curl.h>
#include <pthread.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <stop_token>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "transfer.hpp"

namespace httpkit {

namespace {

// Workers their engine's close could not join: released from their own observers, or held there past the
// close's wait. They close their connections (TLS ones through OpenSSL) after the observer returns. Kept here,
// and joined by the next such close once ended, or at exit before libcurl and OpenSSL clean up. Never
// destroyed: a worker may end while the process exits.
struct UnjoinedWorkers {
  std::mutex mutex;
  std::condition_variable changed;
  std::unordered_map<std::thread::id, std::thread> threads;
  std::vector<std::thread::id> ended;  // of `threads`, the ones past their last use of the engine

  // REQUIRES: mutex held.
  std::vector<std::thread> takeEndedLocked() {
    std::vector<std::thread> taken;
    for (const auto id : ended) {
      taken.push_back(std::move(threads.at(id)));
      threads.erase(id);
    }
    ended.clear();
    return taken;
  }
};
UnjoinedWorkers*& unjoinedWorkersSlot() {
  static auto* workers = new UnjoinedWorkers();
  return workers;
}
UnjoinedWorkers& unjoinedWorkers() { return *unjoinedWorkersSlot(); }
// How a worker's end is told to whoever closes its engine. Guarded by the registry's mutex.
struct WorkerEnd {
  bool ended = false;    // past its last use of the engine
  bool adopted = false;  // left to end on its own: it is in the registry, and marks itself ended there
};
// How long closing an engine waits for its worker: an observer that does not return holds only its transfer.
constexpr std::chrono::seconds kWorkerStopWait{5};
// How long exit waits for such workers: an observer that never returns must not hold the process.
constexpr std::chrono::seconds kUnjoinedExitGrace{2};

void joinAll(std::vector<std::thread>& threads) {
  for (auto& thread : threads) thread.join();  // ended already: only the thread's own exit is left
}

void awaitUnjoinedWorkersAtExit() {
  UnjoinedWorkers& workers = unjoinedWorkers();
  std::vector<std::thread> finished;
  {
    const auto self = std::this_thread::get_id();  // exit may come from such a worker's own observer
    std::unique_lock lock(workers.mutex);
    workers.changed.wait_for(lock, kUnjoinedExitGrace, [&] {
      return workers.threads.size() - workers.ended.size() <= (workers.threads.contains(self) ? 1u : 0u);
    });
    finished = workers.takeEndedLocked();
  }
  joinAll(finished);
}

// libcurl's process-wide set-up must happen once, before any handle exists.
void initialiseCurlOnce() {
  static const bool done = [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) throw std::runtime_error("libcurl failed to initialise");
    // Registered after libcurl's and OpenSSL's own exit work, so it runs before them.
    std::atexit(awaitUnjoinedWorkersAtExit);
    return true;
  }();
  (void)done;
}

// Forks this process descends through since the engine code first ran: a forked child's count differs from
// its parent's. Every engine call checks it, and asking the kernel for the process id costs a system call.
std::atomic<std::uint64_t> forks{0};

std::uint64_t forkCount() {
  static const bool counting = [] {
    if (pthread_atfork(nullptr, nullptr, [] {
          forks.fetch_add(1, std::memory_order_relaxed);
          // The parent's workers are not this process's threads to wait for or join.
          unjoinedWorkersSlot() = new UnjoinedWorkers();
        }) != 0) {
      throw std::runtime_error("could not watch for forks");
    }
    return true;
  }();
  (void)counting;
  return forks.load(std::memory_order_relaxed);
}

}  // namespace

// A transfer the worker drives, with what keeps its observer alive: one allocation per transfer.
struct Running {
  TransferEngine::TransferID id = 0;
  std::shared_ptr<TransferObserver> observer;
  std::optional<Transfer> transfer;
  // Set by `pause` on the caller's thread before the worker hears of it: body bytes read in between are held.
  // Reached through the engine's `held_` only while the transfer is listed there, under its lock.
  std::atomic<bool> held{false};
};

// An idle multi handle with its easy handle and the connections it keeps, lent to one blocking transfer at a
// time.
struct Lane {
  CURLM* multi = nullptr;
  CURL* easy = nullptr;
};

// A change asked of a running worker transfer, applied on the worker.
struct Change {
  enum class Kind { cancel, pause, resume, priority };
  TransferEngine::TransferID id = 0;
  Kind kind = Kind::cancel;
  float priority = 0;
};

// The engine's state. Shared by the engine, by every `perform` under way and by the worker while it runs, so
// that the engine may be released from inside any observer call: what is still running finishes with it.
class TransferEngine::Impl : public std::enable_shared_from_this<Impl> {
 public:
  explicit Impl(Configuration configuration) : configuration_(configuration), process_(forkCount()) {

    initialiseCurlOnce();
    share_ = curl_share_init();
    if (!share_) throw std::runtime_error("libcurl could not make a share handle");
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &Impl::lockShare);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &Impl::unlockShare);
    curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
    // Name lookups and TLS sessions are shared by every transfer of the engine. Connections are not: this
    // libcurl does not support a connection cache in a share used by threads at the same time, so each
    // lane keeps its own, and a thread that sends again usually gets back the lane it used last.
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  }

  // Runs once nothing uses the state any more: on the thread that released the engine, on the last thread
  // to return from `perform`, or on the worker when that let go of it.
  ~Impl() {
    if (multi_) curl_multi_cleanup(multi_);
    for (CURL* easy : idleHandles_) curl_easy_cleanup(easy);
    for (Lane& lane : idleLanes_) closeLane(lane);
    curl_share_cleanup(share_);
  }

  const Configuration& configuration() const { return configuration_; }
  bool madeInThisProcess() const { return process_ == forkCount(); }

  // Ends the streaming transfers (their observers complete with `cancelled`) and refuses new ones. Called
  // on the worker itself, from an observer that let go of the engine, it cannot wait for the worker; nor does
  // it wait past kWorkerStopWait for one held by an observer. Such a worker ends its loop on its own once the
  // observer returns, releases the state last, and is joined later (see UnjoinedWorkers).
  void close() {
    std::thread worker;
    std::shared_ptr<WorkerEnd> end;
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      worker = std::move(worker_);
      end = workerEnd_;
    }
    if (!worker.joinable()) return;
    curl_multi_wakeup(multi_);
    const bool onWorker = worker.get_id() == std::this_thread::get_id();
    std::vector<std::thread> finished;
    {
      UnjoinedWorkers& workers = unjoinedWorkers();
      std::unique_lock lock(workers.mutex);
      if (!onWorker) workers.changed.wait_for(lock, kWorkerStopWait, [&] { return end->ended; });
      if (!end->ended) {
        end->adopted = true;
        finished = workers.takeEndedLocked();
        workers.threads.emplace(worker.get_id(), std::move(worker));
      }
    }
    joinAll(finished);
    if (worker.joinable()) worker.join();  // ended: only the thread's own exit is left
  }

  void perform(const URLRequest& request, const TransferOptions& options, TransferObserver& observer,
               const std::stop_token& stop) {
    const Lane lane = takeLane();
    std::optional<Transfer> transfer;
    try {
      transfer.emplace(lane.easy, share_, &sockets_, request, options, observer);
    } catch (...) {
      returnLane(lane);
      throw;
    }
    {
      std::atomic<bool> cancelled = false;
      // A stop request wakes the poll below at once, from whichever thread requests it.
      std::stop_callback onStop(stop, [&cancelled, multi = lane.multi] {
        cancelled.store(true, std::memory_order_release);
        curl_multi_wakeup(multi);
      });
      drive(lane.multi, *transfer, cancelled);
    }
    transfer->complete();
    transfer.reset();
    returnLane(lane);
    observersCalled();
  }

  TransferID start(const URLRequest& request, const TransferOptions& options,
                   std::shared_ptr<TransferObserver> observer) {
    auto running = prepare(request, options, std::move(observer));
    const TransferID id = running->id;
    bool wake = false;
    {
      std::lock_guard lock(mutex_);
      if (!stopping_) {
        startWorker();
        held_.emplace(id, &running->held);
        added_.push_back(std::move(running));
        // One wake-up is enough for all who come before the worker looks again: a queue of events that
        // starts many transfers in a row then costs the worker one wake-up, not one write each.
        wake = std::exchange(sleeping_, false);
      }
    }
    if (running) {  // the engine is shutting down
      running->transfer->fail(URLError(URLError::Code::cancelled, {}, request.url));
      finish(std::move(running), false);
      observersCalled();
      return id;
    }
    if (wake) curl_multi_wakeup(multi_);
    return id;
  }

  void change(Change change) {
    bool wake = false;
    {
      std::lock_guard lock(mutex_);
      if (!multi_) return;  // nothing was ever started
      if (change.kind == Change::Kind::pause || change.kind == Change::Kind::resume) {
        if (auto it = held_.find(change.id); it != held_.end()) it->second->store(change.kind == Change::Kind::pause);
      }
      changes_.push_back(change);
      wake = std::exchange(sleeping_, false);
    }
    if (wake) curl_multi_wakeup(multi_);
  }

 private:
  // Moves one transfer on the calling thread until it ends: done, failed, timed out or cancelled.
  static void drive(CURLM* multi, Transfer& transfer, const std::atomic<bool>& cancelled) {
    if (curl_multi_add_handle(multi, transfer.easy()) != CURLM_OK) {
      transfer.fail(URLError(URLError::Code::unknown, "could not start the transfer", transfer.url()));
      return;
    }
    for (;;) {
      if (cancelled.load(std::memory_order_acquire)) {
        transfer.fail(URLError(URLError::Code::cancelled, {}, transfer.url()));
        break;
      }
      int stillRunning = 0;
      curl_multi_perform(multi, &stillRunning);
      int queued = 0;
      if (CURLMsg* message = curl_multi_info_read(multi, &queued); message && message->msg == CURLMSG_DONE) {
        if (!nextHop(multi, transfer, message->data.result)) return;
        continue;
      }
      const auto now = Transfer::Clock::now();
      const auto deadline = transfer.deadline(now);
      if (deadline <= now) {
        transfer.expire();
        if (!nextHop(multi, transfer, CURLE_OPERATION_TIMEDOUT)) return;
        continue;
      }
      const auto wait = std::min<Transfer::Clock::duration>(deadline - now, std::chrono::seconds(60));
      curl_multi_poll(multi, nullptr, 0, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()),
                      nullptr);
    }
    curl_multi_remove_handle(multi, transfer.easy());
  }

  // Ends the transfer's hop, which curl reported done or whose deadline passed, and takes the handle out of
  // `multi`. True when it goes on to a redirect's target, its handle added to `multi` again.
  static bool nextHop(CURLM* multi, Transfer& transfer, CURLcode result) {
    curl_multi_remove_handle(multi, transfer.easy());
    if (transfer.hopDone(result) == Transfer::Step::finished) return false;
    if (curl_multi_add_handle(multi, transfer.easy()) == CURLM_OK) return true;
    transfer.fail(URLError(URLError::Code::unknown, "could not follow the redirect", transfer.url()));
    return false;
  }

  // Lanes are reused last-in first-out, so that a lone sender keeps its connection.
  Lane takeLane() {
    {
      std::lock_guard lock(poolMutex_);
      if (!idleLanes_.empty()) {
        const Lane lane = idleLanes_.back();
        idleLanes_.pop_back();
        return lane;
      }
    }
    Lane lane{curl_multi_init(), curl_easy_init()};
    if (!lane.multi || !lane.easy) {
      closeLane(lane);
      throw std::runtime_error("libcurl could not make a transfer handle");
    }
    return lane;
  }

  void returnLane(const Lane& lane) {
    // Not reset: the next transfer sets every option it uses. What pointed into the finished one goes.
    curl_easy_setopt(lane.easy, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(lane.easy, CURLOPT_ERRORBUFFER, nullptr);
    {
      std::lock_guard lock(poolMutex_);
      if (idleLanes_.size() < kMaximumIdleLanes) {
        idleLanes_.push_back(lane);
        return;
      }
    }
    closeLane(lane);
  }

  static void closeLane(const Lane& lane) {
    if (lane.easy) curl_easy_cleanup(lane.easy);
    if (lane.multi) curl_multi_cleanup(lane.multi);
  }

  // Called with `mutex_` held.
  void startWorker() {
    if (multi_) return;
    multi_ = curl_multi_init();
    if (!multi_) throw std::runtime_error("libcurl could not make a multi handle");
    if (configuration_.maximumConnectionsPerHost > 0) {
      curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, configuration_.maximumConnectionsPerHost);
    }
    workerEnd_ = std::make_shared<WorkerEnd>();
    worker_ = std::thread([self = shared_from_this(), end = workerEnd_]() mutable {
      self->run();
      // The state (its connections with it) goes first: exit may be waiting to tear down what it uses.
      self.reset();
      UnjoinedWorkers& workers = unjoinedWorkers();
      std::lock_guard lock(workers.mutex);
      end->ended = true;
      if (end->adopted) workers.ended.push_back(std::this_thread::get_id());
      workers.changed.notify_all();
    });
  }

  static void lockShare(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<Impl*>(self)->shareLocks_[static_cast<std::size_t>(data)].lock();
  }
  static void unlockShare(CURL*, curl_lock_data data, void* self) {
    static_cast<Impl*>(self)->shareLocks_[static_cast<std::size_t>(data)].unlock();
  }

  std::unique_ptr<Running> prepare(const URLRequest& request, const TransferOptions& options,
                                   std::shared_ptr<TransferObserver> observer) {
    auto running = std::make_unique<Running>();
    running->observer = std::move(observer);
    CURL* easy = takeEasyHandle();
    if (!easy) throw std::runtime_error("libcurl could not make an easy handle");
    try {
      running->transfer.emplace(easy, share_, &sockets_, request, options, *running->observer);
      running->transfer->holdBodyWhile(&running->held);
    } catch (...) {
      returnEasyHandle(easy, false);
      throw;
    }
    running->id = nextID_.fetch_add(1);
    return running;
  }

  void run() {
    for (;;) {
      std::vector<std::unique_ptr<Running>> added;
      std::vector<Change> changes;
      bool stopping = false;
      {
        std::lock_guard lock(mutex_);
        added.swap(added_);
        changes.swap(changes_);
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
      for (const Change& change : changes) apply(change);
      if (stopping) break;

      int stillRunning = 0;
      curl_multi_perform(multi_, &stillRunning);
      int queued = 0;
      while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
        if (message->msg != CURLMSG_DONE) continue;
        Transfer* transfer = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
        if (nextHop(multi_, *transfer, message->data.result)) continue;
        for (auto& [id, running] : active_) {
          if (&*running->transfer != transfer) continue;
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
        const auto deadline = running->transfer->deadline(now);
        if (deadline <= now) {
          expired.push_back(id);
        } else if (deadline - now < wait) {
          wait = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        }
      }
      for (TransferID id : expired) expire(id);
      // Once per turn, not per call: the turn's heads, bodies and ends are handed on together.
      observersCalled();
      if (!expired.empty()) continue;
      // A busy worker is not woken for each start or change: it picks them up at the top of the loop. Only
      // one about to sleep must be woken, and it says so under the same lock the callers take.
      {
        std::lock_guard lock(mutex_);
        if (!added_.empty() || !changes_.empty() || stopping_) continue;
        sleeping_ = true;
      }
      curl_multi_poll(multi_, nullptr, 0, static_cast<int>(wait.count()), nullptr);
      std::lock_guard lock(mutex_);
      sleeping_ = false;
    }

    for (auto& [id, running] : active_) {
      running->transfer->fail(URLError(URLError::Code::cancelled, {}, running->transfer->url()));
      finish(std::move(running), true);
    }
    active_.clear();
    observersCalled();
  }

  void observersCalled() const noexcept {
    if (!configuration_.afterObserverCalls) return;
    try {
      configuration_.afterObserverCalls();
    } catch (...) {
    }
  }

  void apply(const Change& change) {
    if (change.kind == Change::Kind::cancel) return cancel(change.id);
    auto it = active_.find(change.id);
    if (it == active_.end()) return;
    Transfer& transfer = *it->second->transfer;
    switch (change.kind) {
      case Change::Kind::pause: transfer.setPaused(true); break;
      case Change::Kind::resume: transfer.setPaused(false); break;
      case Change::Kind::priority: transfer.setPriority(change.priority); break;
      case Change::Kind::cancel: break;
    }
  }

  void cancel(TransferID id) {
    auto it = active_.find(id);
    if (it == active_.end()) return;
    std::unique_ptr<Running> running = std::move(it->second);
    active_.erase(it);
    running->transfer->fail(URLError(URLError::Code::cancelled, {}, running->transfer->url()));
    finish(std::move(running), true);
  }

  // An active transfer's deadline passed: it ends as timed out, or leaves a redirect's body and goes on.
  void expire(TransferID id) {
    auto it = active_.find(id);
    if (it == active_.end()) return;
    it->second->transfer->expire();
    if (nextHop(multi_, *it->second->transfer, CURLE_OPERATION_TIMEDOUT)) return;
    std::unique_ptr<Running> running = std::move(it->second);
    active_.erase(it);
    finish(std::move(running), false);
  }

  void finish(std::unique_ptr<Running> running, bool inMulti) {
    {
      std::lock_guard lock(mutex_);
      held_.erase(running->id);
    }
    CURL* easy = running->transfer->easy();
    if (inMulti) curl_multi_remove_handle(multi_, easy);
    running->transfer->complete();
    const bool paused = running->transfer->everPaused();
    running->transfer.reset();
    returnEasyHandle(easy, paused);
  }

  // Enough for every connection the streaming transfers may hold to one host: transfers that end together
  // in one turn of the worker hand their handles back before the next ones start, and a pool smaller than
  // that window would close handles only to make them again moments later.
  std::size_t maximumIdleHandles() const {
    const auto perHost = static_cast<std::size_t>(std::max(0L, configuration_.maximumConnectionsPerHost));
    return std::clamp(perHost, kMinimumIdleHandles, kMaximumIdleHandles);
  }

  // Easy handles are kept for later transfers: making one costs more than setting its options again.
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

  // Not reset as a rule: the next transfer sets every option it uses, as a lane's does, and a reset costs
  // more than the transfer's own options. What pointed into the finished transfer goes. A handle whose body
  // curl was told to hold back is reset all the same, so that nothing of that pause reaches its next use.
  void returnEasyHandle(CURL* easy, bool reset) {
    if (reset) {
      curl_easy_reset(easy);
    } else {
      curl_easy_setopt(easy, CURLOPT_HTTPHEADER, nullptr);
      curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, nullptr);
    }
    std::lock_guard lock(poolMutex_);
    if (idleHandles_.size() < maximumIdleHandles()) {
      idleHandles_.push_back(easy);
      return;
    }
    curl_easy_cleanup(easy);
  }

  const Configuration configuration_;
  const std::uint64_t process_;  // the fork count it was made under
  // curl closes connections through it, up to the cleanup of the handles in the destructor's body.
  ConnectionSockets sockets_;
  CURLSH* share_ = nullptr;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> shareLocks_;
  // The worker and its multi handle exist once a transfer was started on it.
  CURLM* multi_ = nullptr;
  std::thread worker_;
  std::shared_ptr<WorkerEnd> workerEnd_;  // the worker's, made with it
  std::mutex mutex_;
  bool stopping_ = false;
  bool sleeping_ = false;  // the worker is in (or about to enter) its poll
  std::vector<std::unique_ptr<Running>> added_;
  std::vector<Change> changes_;
  // Of the transfers not yet finished; an entry goes (in `finish`) before its transfer does.
  std::unordered_map<TransferID, std::atomic<bool>*> held_;
  std::unordered_map<TransferID, std::unique_ptr<Running>> active_;  // worker thread only
  std::atomic<TransferID> nextID_{1};
  static constexpr std::size_t kMinimumIdleHandles = 16;
  static constexpr std::size_t kMaximumIdleHandles = 128;
  std::mutex poolMutex_;
  std::vector<CURL*> idleHandles_;
  static constexpr std::size_t kMaximumIdleLanes = 32;
  std::vector<Lane> idleLanes_;
};

namespace {
// State a forked child inherited from its parent. Running it down would close the parent's connections
// (a TLS session's close is written on the shared socket), and its worker is not this process's to join,
// so it is kept for the life of the process, reachable, and never touched again.
template <class State>
void abandonInherited(std::shared_ptr<State> state) {
  static std::mutex mutex;
  static auto* const inherited = new std::vector<std::shared_ptr<State>>;
  std::lock_guard lock(mutex);
  inherited->push_back(std::move(state));
}
}  // namespace

TransferEngine::TransferEngine(Configuration configuration) : impl_(std::make_shared<Impl>(configuration)) {}

TransferEngine::~TransferEngine() {
  std::shared_ptr<Impl> impl = impl_.load();
  if (impl->madeInThisProcess()) {
    impl->close();
  } else {
    abandonInherited(std::move(impl));
  }
}

std::shared_ptr<TransferEngine::Impl> TransferEngine::current() {
  std::shared_ptr<Impl> impl = impl_.load();
  if (impl->madeInThisProcess()) return impl;
  auto fresh = std::make_shared<Impl>(impl->configuration());
  // Another thread of this process may have replaced it first; then `impl` is that one's.
  if (!impl_.compare_exchange_strong(impl, fresh)) return impl;
  abandonInherited(std::move(impl));
  return fresh;
}

TransferEngine::TransferID TransferEngine::start(const URLRequest& request, const TransferOptions& options,
                                                 std::shared_ptr<TransferObserver> observer) {
  return current()->start(request, options, std::move(observer));
}

void TransferEngine::cancel(TransferID id) { current()->change({id, Change::Kind::cancel}); }
void TransferEngine::pause(TransferID id) { current()->change({id, Change::Kind::pause}); }
void TransferEngine::resume(TransferID id) { current()->change({id, Change::Kind::resume}); }
void TransferEngine::setPriority(TransferID id, float priority) {
  current()->change({id, Change::Kind::priority, priority});
}

namespace {

bool isDecimalOctet(std::string_view part) {
  if (part.empty() || part.size() > 3 || (part.size() > 1 && part.front() == '0')) return false;
  int value = 0;
  for (char c : part) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return value <= 255;
}

// The parts of a plain web address, read without curl: "http" or "https" (any case), "//", a host name of
// letters, digits, dots, hyphens and underscores (or four decimal octets, which curl writes back as they
// are), an optional port of 1 to 65535, then a path, query or fragment of printable ASCII without blanks.
// That is what nearly every download names, and curl accepts each such address as it is, host unchanged.
// Anything else (user info, other schemes, numeric hosts curl rewrites, IPv6, other bytes) is none here
// and left to curl, whose answer is the rule.
std::optional<URLParts> plainWebURL(std::string_view url) {
  constexpr std::size_t kLongestReadHere = 8192;  // far below curl's own limit
  if (url.size() > kLongestReadHere) return std::nullopt;
  for (char c : url) {
    if (c <= ' ' || c > '~') return std::nullopt;
  }
  const auto colon = url.find("://");
  if (colon != 4 && colon != 5) return std::nullopt;
  std::string scheme(url.substr(0, colon));
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (scheme != "http" && scheme != "https") return std::nullopt;
  const std::string_view rest = url.substr(colon + 3);
  const std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
  const auto portColon = authority.find(':');
  const std::string_view host = authority.substr(0, portColon);
  if (host.empty()) return std::nullopt;
  for (char c : host) {
    const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                         c == '-' || c == '_';
    if (!allowed) return std::nullopt;
  }
  // curl reads a host that starts with a digit as an IPv4 address in any of its old forms and writes it
  // back in dotted decimal: only a host already written so comes back unchanged.
  if (host.front() >= '0' && host.front() <= '9') {
    std::string_view octets = host;
    for (int i = 0; i < 4; ++i) {
      const auto dot = octets.find('.');
      if ((i < 3) == (dot == std::string_view::npos) || !isDecimalOctet(octets.substr(0, dot))) return std::nullopt;
      octets = i < 3 ? octets.substr(dot + 1) : std::string_view{};
    }
  }
  if (portColon != std::string_view::npos) {
    const std::string_view port = authority.substr(portColon + 1);
    if (port.empty() || port.size() > 5 || port.front() == '0') return std::nullopt;
    long value = 0;
    for (char c : port) {
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + (c - '0');
    }
    if (value > 65535) return std::nullopt;
  }
  return URLParts{std::move(scheme), std::string(host)};
}

}  // namespace

std::optional<URLParts> parseURL(const std::string& url) {
  // Asking curl costs an allocation-heavy parse, and a downloader asks once per download.
  if (auto plain = plainWebURL(url)) return plain;
  // curl would read only what precedes a NUL: the parts of another URL.
  if (url.find('\0') != std::string::npos) return std::nullopt;
  initialiseCurlOnce();
  CURLU* parsed = curl_url();
  std::optional<URLParts> result;
  if (parsed && curl_url_set(parsed, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
    URLParts parts;
    char* text = nullptr;
    if (curl_url_get(parsed, CURLUPART_SCHEME, &text, 0) == CURLUE_OK) {
      parts.scheme = text;
      for (char& c : parts.scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    curl_free(std::exchange(text, nullptr));
    if (curl_url_get(parsed, CURLUPART_HOST, &text, 0) == CURLUE_OK) parts.host = text;
    curl_free(text);
    const bool web = parts.scheme == "http" || parts.scheme == "https";
    if (!parts.scheme.empty() && (!web || !parts.host.empty())) result = std::move(parts);
  }
  curl_url_cleanup(parsed);
  return result;
}

namespace {
// Scheme, host and port of an absolute URL, the port given even when the URL leaves it to the scheme. Host
// names are compared in one letter case, as DNS compares them; curl keeps the case written.
std::string origin(const std::string& url) {
  if (url.find('\0') != std::string::npos) return {};
  CURLU* parsed = curl_url();
  std::string result;
  if (parsed && curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
    for (CURLUPart part : {CURLUPART_SCHEME, CURLUPART_HOST, CURLUPART_PORT}) {
      char* text = nullptr;
      if (curl_url_get(parsed, part, &text, CURLU_DEFAULT_PORT) == CURLUE_OK) result += text;
      curl_free(text);
      result += '|';
    }
  }
  curl_url_cleanup(parsed);
  for (char& c : result) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return result;
}
}  // namespace

bool sameOrigin(const std::string& a, const std::string& b) {
  initialiseCurlOnce();
  const std::string first = origin(a);
  return !first.empty() && first == origin(b);
}

void removeCredentialsLeavingOrigin(HTTPHeaders& headers, const std::string& from, const std::string& to) {
  if (sameOrigin(from, to)) return;
  // Host names the origin too: sent on, it would ask the other server for the first one's resource.
  for (const char* name : {"Authorization", "Cookie", "Proxy-Authorization", "Host"}) headers.remove(name);
}

void rewriteForRedirect(int status, HTTPMethod& method, std::optional<Bytes>& body, HTTPHeaders& headers) {
  const std::string& name = method.rawValue;
  const bool toGet = (status == 303 && name != "GET" && name != "HEAD") ||
                     ((status == 301 || status == 302) && name == "POST");
  if (!toGet) return;
  method = HTTPMethod::get;
  body.reset();
  for (const char* field : {"Content-Type", "Content-Length", "Content-Encoding", "Content-Language",
                            "Content-Location"}) {
    headers.remove(field);
  }
}

std::optional<std::string> resolveURL(const std::string& base, const std::string& reference) {
  if (base.find('\0') != std::string::npos || reference.find('\0') != std::string::npos) return std::nullopt;
  initialiseCurlOnce();
  // A reference of a fragment alone, or an empty one, names the base document itself; curl would take it for
  // a path and drop the base's last segment and query. Given whole, it is resolved as any absolute URL.
  const bool sameDocument = reference.empty() || reference.front() == '#';
  std::string target = sameDocument ? base.substr(0, base.find('#')) + reference : reference;
  // Servers put addresses in Location as they have them at hand: a file name with a space, a path in UTF-8.
  // Browsers go to the percent-encoded address, and so does this; without it no such redirect could be
  // followed. Spaces are encoded here, wherever they stand: curl would make a "+" of one in a query, which a
  // server reads as a plus sign, and leave one in a fragment, which it then refuses to send. curl encodes
  // the bytes past ASCII, and leaves every escape already there as it is.
  for (std::size_t at = target.find(' '); at != std::string::npos; at = target.find(' ', at + 3)) {
    target.replace(at, 1, "%20");
  }
  constexpr unsigned kReferenceFlags = CURLU_NON_SUPPORT_SCHEME | CURLU_URLENCODE;
  CURLU* parsed = curl_url();
  std::optional<std::string> result;
  if (parsed && curl_url_set(parsed, CURLUPART_URL, base.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK &&
      curl_url_set(parsed, CURLUPART_URL, target.c_str(), kReferenceFlags) == CURLUE_OK) {
    char* text = nullptr;
    if (curl_url_get(parsed, CURLUPART_URL, &text, 0) == CURLUE_OK) result = text;
    curl_free(text);
  }
  curl_url_cleanup(parsed);
  return result;
}

void TransferEngine::perform(const URLRequest& request, const TransferOptions& options, TransferObserver& observer,
                             std::stop_token stop) {
  // The observer may release the engine; the transfer goes on with the state it holds here.
  const std::shared_ptr<Impl> impl = current();
  impl->perform(request, options, observer, stop);
}

}  // namespace httpkit
