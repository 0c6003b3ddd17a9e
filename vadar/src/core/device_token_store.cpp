#include "core/device_token_store.hpp"

#include "core/keychain_failures.hpp"
#include "vadar/core/container_keys.hpp"

namespace vadar::core {

std::optional<std::string> DeviceTokenStore::read() {
  try {
    return keychainFactory().resolve().string(deviceTokenKey);
  } catch (...) {
    KeychainFailures::note(std::current_exception());
    return std::nullopt;  // no item, unreadable bytes or no keychain: the request goes without
  }
}

void DeviceTokenStore::write(const std::string& token) {
  try {
    keychainFactory().resolve().setString(token, deviceTokenKey);
  } catch (...) {
    // The item keeps its old value; the next answer that carries a token tries again.
    KeychainFailures::note(std::current_exception());
  }
}

}  // namespace vadar::core
