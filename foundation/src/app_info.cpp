#include "foundation/app_info.hpp"

#include <mutex>

namespace foundation {
namespace {
std::mutex mutex;
std::string& identifier() {
  // Never destroyed: work still running while the process exits (the shared pool's, the keychain's) reads it.
  static auto* value = new std::string();
  return *value;
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
