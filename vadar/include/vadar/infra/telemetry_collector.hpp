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
// by the destructor) ends the periodic flush and waits for a flush in progress, for kStopWait at most; it sends
// nothing more. A send still running then (a requester that hangs) finishes on its own thread, which holds what
// it uses; so does one whose requester releases the collector.
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

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

  // The longest `stop()` waits for a send in progress.
  static constexpr std::chrono::seconds kStopWait{5};

  TelemetryCollector(Config config, std::shared_ptr<const SettingsProvider> environment,
                     foundation::UserDefaults& defaults = foundation::UserDefaults::standard());
  ~TelemetryCollector();
  TelemetryCollector(const TelemetryCollector&) = delete;
  TelemetryCollector& operator=(const TelemetryCollector&) = delete;

  // Samples, throttles and buffers the event; flushes when the buffer is full.
  void record(TelemetryEvent event);
  // Ends the periodic flush and joins it (see kStopWait); idempotent. Later records are dropped.
  void stop();
  // Sends what is buffered now (nothing without endpoint and requester; the buffer is emptied either way).
  // Called by this collector's own requester, inside a send, it returns at once and the buffer waits for the
  // next batch.
  void flush();

  const Metadata& metadata() const;
  const Config& config() const;
  std::size_t bufferedCount() const;

 private:
  // Everything the flush thread uses, held by it as well: the collector may go while a send runs.
  struct State;
  static void runPeriodicFlush(const std::shared_ptr<State>& state, std::stop_token stop);

  std::shared_ptr<State> state_;
  std::jthread flusher_;  // last member: started after the rest is ready, stopped first
};

}  // namespace vadar
