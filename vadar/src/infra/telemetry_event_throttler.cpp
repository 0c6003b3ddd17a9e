#include "vadar/infra/telemetry_event_throttler.hpp"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <utility>
#include <vector>

#include "foundation/clock.hpp"
#include "foundation/crypto.hpp"

namespace vadar {

bool TelemetryEventThrottler::isEventThrottled(const TelemetryEvent& event) {
  const std::string key = foundation::sha256Hex(event.event + "\n" + event.payload.dump());
  const double ttl = static_cast<double>(timeToLive.count());
  // Checked and recorded in one step against the file: throttlers sharing it (two collectors, another run of
  // the application) would otherwise each find the event unsent and each let it through. The time is read in
  // that step too: one read before it could be earlier than a record made while this one waited, which would
  // then look recorded in the future and be ignored.
  bool throttled = false;
  defaults_.update(std::string(storageKey), [&](std::optional<nlohmann::json>& stored) {
    const double now = std::chrono::duration<double>(foundation::Clock::now().time_since_epoch()).count();
    if (!stored || !stored->is_object()) stored = nlohmann::json::object();
    auto it = stored->find(key);
    if (it != stored->end() && it->is_number()) {
      const double sentAt = it->get<double>();
      if (now - sentAt < ttl && sentAt <= now) {
        throttled = true;
        return false;
      }
    }
    std::vector<std::pair<double, std::string>> live;
    for (auto entry = stored->begin(); entry != stored->end(); ++entry) {
      if (!entry.value().is_number()) continue;
      const double sentAt = entry.value().get<double>();
      if (now - sentAt < ttl && sentAt <= now && entry.key() != key) live.emplace_back(sentAt, entry.key());
    }
    // The record shares the application's settings file, which has a size limit: past maximumEntries the
    // oldest entries go, and those events may go through again within their day.
    if (live.size() >= maximumEntries) {
      const auto dropped = live.size() - (maximumEntries - 1);
      std::nth_element(live.begin(), live.begin() + static_cast<std::ptrdiff_t>(dropped), live.end());
      live.erase(live.begin(), live.begin() + static_cast<std::ptrdiff_t>(dropped));
    }
    nlohmann::json kept = nlohmann::json::object();
    for (auto& [sentAt, entryKey] : live) kept[std::move(entryKey)] = sentAt;
    kept[key] = now;
    stored = std::move(kept);
    return true;
  });
  return throttled;
}

}  // namespace vadar
