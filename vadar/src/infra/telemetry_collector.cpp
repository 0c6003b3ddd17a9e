#include "vadar/infra/telemetry_collector.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <random>
#include <vector>

#include "foundation/delay.hpp"
#include "vadar/infra/vadar_logger.hpp"

namespace vadar {
namespace {

// The collectors (by their state) whose requester the current thread is inside.
thread_local std::vector<const void*> sendsOfThisThread;

}  // namespace

struct TelemetryCollector::State {
  State(Config configured, std::shared_ptr<const SettingsProvider> settings, foundation::UserDefaults& defaults)
      : config(std::move(configured)),
        environment(std::move(settings)),
        throttler(defaults),
        random(std::random_device{}()) {}

  void flush();
  std::string batchBody(const std::vector<TelemetryEvent>& events) const;
  // Whether a failed send is worth a log line. Asked on the flush thread, where nobody could catch what the
  // application's provider throws: a provider that fails counts as debug mode off.
  bool debugMode() const noexcept;

  const Config config;
  const std::shared_ptr<const SettingsProvider> environment;
  TelemetryEventThrottler throttler;
  const Metadata metadata;

  mutable std::mutex mutex;  // guards buffer, random and the flags
  std::vector<TelemetryEvent> buffer;
  std::mt19937_64 random;
  bool flushRequested = false;
  bool stopped = false;
  bool flusherEnded = false;
  std::condition_variable ended;  // flusherEnded became true
  std::mutex sendMutex;           // one batch on the wire at a time
  std::condition_variable_any wake;
};

TelemetryCollector::TelemetryCollector(Config config, std::shared_ptr<const SettingsProvider> environment,
                                       foundation::UserDefaults& defaults)
    : state_(std::make_shared<State>(std::move(config), std::move(environment), defaults)),
      flusher_([state = state_](std::stop_token stop) { runPeriodicFlush(state, stop); }) {}

TelemetryCollector::~TelemetryCollector() { stop(); }

const TelemetryCollector::Metadata& TelemetryCollector::metadata() const { return state_->metadata; }
const TelemetryCollector::Config& TelemetryCollector::config() const { return state_->config; }

void TelemetryCollector::stop() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopped = true;
  }
  flusher_.request_stop();
  if (!flusher_.joinable()) return;
  // Released by its own requester: the thread cannot wait for itself, and ends once the send returns.
  if (flusher_.get_id() == std::this_thread::get_id()) return flusher_.detach();
  bool ended = false;
  {
    std::unique_lock lock(state_->mutex);
    ended = state_->ended.wait_for(lock, kStopWait, [&] { return state_->flusherEnded; });
  }
  if (ended) {
    flusher_.join();
  } else {
    flusher_.detach();  // a requester that hangs keeps its own thread, not the caller
  }
}

void TelemetryCollector::record(TelemetryEvent event) {
  State& state = *state_;
  if (state.environment && !state.environment->currentSettings().telemetryEnabled) return;
  {
    std::lock_guard lock(state.mutex);
    if (state.stopped) return;
    if (state.config.samplingRate < 1.0) {
      std::uniform_real_distribution<double> draw(0.0, 1.0);
      if (!(draw(state.random) < state.config.samplingRate)) return;
    }
  }
  if (!state.config.disableThrottling && state.throttler.isEventThrottled(event)) return;
  std::lock_guard lock(state.mutex);
  if (state.stopped) return;
  state.buffer.push_back(std::move(event));
  if (state.buffer.size() < state.config.maxBufferSize) return;
  // The send runs on the flush thread: recording never waits for the network. The thread is told under the
  // lock, so that once it may send, this call touches nothing more: a requester that lets the collector go
  // frees no state under a record still returning.
  state.flushRequested = true;
  state.wake.notify_all();
}

std::size_t TelemetryCollector::bufferedCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->buffer.size();
}

void TelemetryCollector::flush() {
  // Held for the whole send: the requester is the application's and may release this collector, and the
  // send still reports its failure and unlocks the state after it returns.
  const std::shared_ptr<State> state = state_;
  state->flush();
}

std::string TelemetryCollector::State::batchBody(const std::vector<TelemetryEvent>& events) const {
  const std::optional<std::string> key = environment ? environment->publishableKey() : std::nullopt;
  nlohmann::json list = nlohmann::json::array();
  for (const auto& event : events) {
    nlohmann::json item = {{"event", event.event},
                           {"payload", event.payload.nlohmann()},
                           {"sdk", metadata.sdk},
                           {"sdk_version", metadata.sdkVersion}};
    if (key) item["publishable_key"] = *key;
    list.push_back(std::move(item));
  }
  return nlohmann::json{{"events", std::move(list)}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void TelemetryCollector::State::flush() {
  // Asked for by this collector's own requester, inside its send: that send cannot wait for itself to end. What
  // is buffered stays for the next batch.
  if (std::find(sendsOfThisThread.begin(), sendsOfThisThread.end(), this) != sendsOfThisThread.end()) return;
  std::lock_guard sending(sendMutex);
  std::vector<TelemetryEvent> batch;
  {
    std::lock_guard lock(mutex);
    batch.swap(buffer);
    flushRequested = false;
  }
  if (batch.empty() || !config.endpoint || !config.networkRequester) return;
  sendsOfThisThread.push_back(this);
  struct Sent {
    ~Sent() { sendsOfThisThread.pop_back(); }
  } sent;
  try {
    config.networkRequester(*config.endpoint, batchBody(batch));
  } catch (const std::exception& error) {
    if (debugMode()) VadarLogger::error("Failed to send telemetry events", &error);
  } catch (...) {
    if (debugMode()) VadarLogger::error("Failed to send telemetry events");
  }
}

bool TelemetryCollector::State::debugMode() const noexcept {
  if (!environment) return false;
  try {
    return environment->currentSettings().debugMode;
  } catch (...) {
    return false;
  }
}

void TelemetryCollector::runPeriodicFlush(const std::shared_ptr<State>& state, std::stop_token stop) {
  std::unique_lock lock(state->mutex);
  while (!stop.stop_requested()) {
    state->wake.wait_until(lock, stop, foundation::deadlineAfter(state->config.flushInterval),
                           [&] { return state->flushRequested; });
    if (stop.stop_requested()) break;
    lock.unlock();
    state->flush();
    lock.lock();
  }
  state->flusherEnded = true;
  state->ended.notify_all();
}

}  // namespace vadar
