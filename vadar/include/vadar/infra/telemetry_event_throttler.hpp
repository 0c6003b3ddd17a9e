#pragma once
// TelemetryEventThrottler: lets each distinct telemetry event through once a day. What it has let through is
// kept in user defaults under "vadar_telemetry_throttler" ({event hash: seconds since 1970}), so the limit
// holds across runs. It keeps the latest maximumEntries events only: it shares the application's settings file.
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "foundation/user_defaults.hpp"
#include "vadar/infra/json.hpp"

namespace vadar {

// One telemetry event: its name and payload (an object).
struct TelemetryEvent {
  std::string event;
  JSON payload = JSON::object();

  friend bool operator==(const TelemetryEvent&, const TelemetryEvent&) = default;
};

class TelemetryEventThrottler {
 public:
  static constexpr std::string_view storageKey = "vadar_telemetry_throttler";
  static constexpr std::chrono::seconds timeToLive{86400};
  static constexpr std::size_t maximumEntries = 1000;

  explicit TelemetryEventThrottler(foundation::UserDefaults& defaults) : defaults_(defaults) {}

  // True when an equal event went through less than `timeToLive` ago. Otherwise records the event as sent now
  // (dropping entries that have expired, and the oldest past maximumEntries) and gives false. The check and the
  // record are one step against the file, for every throttler and process that shares it.
  bool isEventThrottled(const TelemetryEvent& event);

 private:
  foundation::UserDefaults& defaults_;
};

}  // namespace vadar
