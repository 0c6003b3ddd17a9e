#include "vadar/infra/telemetry_event_throttler.hpp"

#include <chrono>

#include "foundation/clock.hpp"
#include "foundation/crypto.hpp"

namespace vadar {

bool TelemetryEventThrottler::isEventThrottled(const TelemetryEvent& event) {
  const std::string key = foundation::sha256Hex(event.event + "\n" + event.payload.dump());
  const double now =
      std::chrono::duration<double>(foundation::Clock::now().time_since_epoch()).count();
  const double ttl = static_cast<double>(timeToLive.count());
  std::lock_guard lock(mutex_);

  nlohmann::json stored = defaults_.value(std::string(storageKey)).value_or(nlohmann::json::object());
  if (!stored.is_object()) stored = nlohmann::json::object();

  auto it = stored.find(key);
  if (it != stored.end() && it->is_number()) {
    const double sentAt = it->get<double>();
    if (now - sentAt < ttl && sentAt <= now) return true;
  }

  nlohmann::json kept = nlohmann::json::object();
  for (auto entry = stored.begin(); entry != stored.end(); ++entry) {
    if (!entry.value().is_number()) continue;
    const double sentAt = entry.value().get<double>();
    if (now - sentAt < ttl && sentAt <= now) kept[entry.key()] = sentAt;
  }
  kept[key] = now;
  defaults_.set(std::string(storageKey), std::move(kept));
  return false;
}

}  // namespace vadar
