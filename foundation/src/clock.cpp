#include "foundation/clock.hpp"

#include <memory>
#include <mutex>

namespace foundation {
namespace {
std::mutex mutex;
std::shared_ptr<const std::function<Date()>>& source() {
  static auto* s = new std::shared_ptr<const std::function<Date()>>();
  return *s;
}
}  // namespace

Date Clock::now() {
  std::shared_ptr<const std::function<Date()>> current;
  {
    std::lock_guard lock(mutex);
    current = source();
  }
  return current ? (*current)() : std::chrono::system_clock::now();
}

void Clock::setSource(std::function<Date()> s) {
  std::lock_guard lock(mutex);
  source() = s ? std::make_shared<const std::function<Date()>>(std::move(s)) : nullptr;
}

}  // namespace foundation
