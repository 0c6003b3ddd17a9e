#pragma once
// TelemetryCollector: buffers the library's telemetry events and sends them in batches,
// {"events": [...]}, to the configured endpoint: when the buffer is full and on a periodic flush.
//
// Example, given std::shared_ptr<const vadar::SettingsProvider> settingsProvider:
//   vadar::TelemetryCollector::Config config;
//   config.endpoint = "https://telemetry.example.com/v1/event";   // no endpoint: nothing is ever sent
//   config.networkRequester = [](const std::string& /*url*/, const std::string& /*body*/) {
//     /* POST the body to the address; throw on error */
//   };
//   vadar::TelemetryCollector collector(config, settingsProvider);
//   collector.record({"method_called", vadar::JSON::object({{"method", "load"}})});
//
// There is no built-in endpoint: without `endpoint` (or without `networkRequester`) events are dropped at
// flush time and nothing leaves the process. A failed send is written to the library log only while the
// settings' debug mode is on. While the settings' `telemetryEnabled` is false nothing is recorded.
// The settings come from the SettingsProvider given to the constructor (read at each use). `stop()` (also run
// by the destructor) ends the periodic flush and waits for a flush in progress; it sends nothing more.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "foundation/user_defaults.hpp"
#include "vadar/infra/settings_provider.hpp"
#include "vadar/infra/telemetry_event_throttler.hpp"

namespace vadar {

// Sends one batch body (JSON text) to the endpoint; throws on failure.
using TelemetryNetworkRequester = std::function<void(const std::string& endpoint, const std::string& body)>;

class TelemetryCollector {
 public:
  struct Config {
    double samplingRate = 1.0;       // share of events kept, 0...1
    std::size_t maxBufferSize = 5;   // a flush starts when this many events are buffered
    std::optional<std::string> endpoint;
    bool disableThrottling = false;
    TelemetryNetworkRequester networkRequester;
    std::chrono::milliseconds flushInterval = std::chrono::seconds(30);
  };

  struct Metadata {
    std::string sdk = "vadar-ios";
    std::string sdkVersion = "0.71.4";
  };

  TelemetryCollector(Config config, std::shared_ptr<const SettingsProvider> environment,
                     foundation::UserDefaults& defaults = foundation::UserDefaults::standard());
  ~TelemetryCollector();
  TelemetryCollector(const TelemetryCollector&) = delete;
  TelemetryCollector& operator=(const TelemetryCollector&) = delete;

  // Samples, throttles and buffers the event; flushes when the buffer is full.
  void record(TelemetryEvent event);
  // Ends the periodic flush and joins it; idempotent. Later records are dropped.
  void stop();
  // Sends what is buffered now (nothing without endpoint and requester; the buffer is emptied either way).
  void flush();

  const Metadata& metadata() const { return metadata_; }
  const Config& config() const { return config_; }
  std::size_t bufferedCount() const;

 private:
  void runPeriodicFlush(std::stop_token stop);
  std::string batchBody(const std::vector<TelemetryEvent>& events) const;

  Config config_;
  std::shared_ptr<const SettingsProvider> environment_;
  TelemetryEventThrottler throttler_;
  Metadata metadata_;

  mutable std::mutex mutex_;  // guards buffer_ and random_
  std::vector<TelemetryEvent> buffer_;
  std::mt19937_64 random_;
  bool flushRequested_ = false;
  bool stopped_ = false;
  std::mutex sendMutex_;  // one batch on the wire at a time
  std::condition_variable_any wake_;
  std::jthread flusher_;  // last member: started after the rest is ready, stopped first
};

}  // namespace vadar
