#include "foundation/app_info.hpp"

#include <mutex>

namespace foundation {
namespace {
std::mutex mutex;
std::string& identifier() {
  static std::string value;
  return value;
}
}  // namespace

std::string AppInfo::bundleIdentifier() {
  std::lock_guard lock(mutex);
  return identifier();
}

void AppInfo::setBundleIdentifier(std::string id) {
  std::lock_guard lock(mutex);
  identifier() = std::move(id);
}

}  // namespace foundation
