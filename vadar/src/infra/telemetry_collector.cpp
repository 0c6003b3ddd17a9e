#include "vadar/infra/telemetry_collector.hpp"

#include <random>

#include "vadar/infra/vadar_logger.hpp"

namespace vadar {

TelemetryCollector::TelemetryCollector(Config config, std::shared_ptr<const SettingsProvider> environment,
                                       foundation::UserDefaults& defaults)
    : config_(std::move(config)),
      environment_(std::move(environment)),
      throttler_(defaults),
      random_(std::random_device{}()),
      flusher_([this](std::stop_token stop) { runPeriodicFlush(stop); }) {}

TelemetryCollector::~TelemetryCollector() { stop(); }

void TelemetryCollector::stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  flusher_.request_stop();
  if (flusher_.joinable() && flusher_.get_id() != std::this_thread::get_id()) flusher_.join();
}

void TelemetryCollector::record(TelemetryEvent event) {
  if (environment_ && !environment_->currentSettings().telemetryEnabled) return;
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    if (config_.samplingRate < 1.0) {
      std::uniform_real_distribution<double> draw(0.0, 1.0);
      if (!(draw(random_) < config_.samplingRate)) return;
    }
  }
  if (!config_.disableThrottling && throttler_.isEventThrottled(event)) return;
  bool full = false;
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    buffer_.push_back(std::move(event));
    full = buffer_.size() >= config_.maxBufferSize;
    if (full) flushRequested_ = true;
  }
  // The send runs on the flush thread: recording never waits for the network.
  if (full) wake_.notify_all();
}

std::size_t TelemetryCollector::bufferedCount() const {
  std::lock_guard lock(mutex_);
  return buffer_.size();
}

std::string TelemetryCollector::batchBody(const std::vector<TelemetryEvent>& events) const {
  const std::optional<std::string> key = environment_ ? environment_->publishableKey() : std::nullopt;
  nlohmann::json list = nlohmann::json::array();
  for (const auto& event : events) {
    nlohmann::json item = {{"event", event.event},
                           {"payload", event.payload.nlohmann()},
                           {"sdk", metadata_.sdk},
                           {"sdk_version", metadata_.sdkVersion}};
    if (key) item["publishable_key"] = *key;
    list.push_back(std::move(item));
  }
  return nlohmann::json{{"events", std::move(list)}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void TelemetryCollector::flush() {
  std::lock_guard sending(sendMutex_);
  std::vector<TelemetryEvent> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(buffer_);
    flushRequested_ = false;
  }
  if (batch.empty() || !config_.endpoint || !config_.networkRequester) return;
  try {
    config_.networkRequester(*config_.endpoint, batchBody(batch));
  } catch (const std::exception& error) {
    if (environment_ && environment_->currentSettings().debugMode)
      VadarLogger::error("Failed to send telemetry events", &error);
  } catch (...) {
    if (environment_ && environment_->currentSettings().debugMode)
      VadarLogger::error("Failed to send telemetry events");
  }
}

void TelemetryCollector::runPeriodicFlush(std::stop_token stop) {
  std::unique_lock lock(mutex_);
  while (!stop.stop_requested()) {
    wake_.wait_for(lock, stop, config_.flushInterval, [&] { return flushRequested_; });
    if (stop.stop_requested()) break;
    lock.unlock();
    flush();
    lock.lock();
  }
}

}  // namespace vadar
