#include "foundation/clock.hpp"

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

namespace foundation {
namespace {
// Cache look-ups read the clock on every hit, so the usual case (no test source) takes no lock.
std::atomic<bool> hasSource{false};
std::mutex mutex;
std::shared_ptr<const std::function<Date()>>& source() {
  static auto* s = new std::shared_ptr<const std::function<Date()>>();
  return *s;
}
}  // namespace

Date Clock::now() {
  if (!hasSource.load(std::memory_order_acquire)) return std::chrono::system_clock::now();
  std::shared_ptr<const std::function<Date()>> current;
  {
    std::lock_guard lock(mutex);
    current = source();
  }
  return current ? (*current)() : std::chrono::system_clock::now();
}

void Clock::setSource(std::function<Date()> s) {
  // Released after the lock: what the earlier source holds may read the clock as it goes.
  std::shared_ptr<const std::function<Date()>> previous;
  std::lock_guard lock(mutex);
  previous = std::exchange(source(), s ? std::make_shared<const std::function<Date()>>(std::move(s)) : nullptr);
  hasSource.store(source() != nullptr, std::memory_order_release);
}

}  // namespace foundation
