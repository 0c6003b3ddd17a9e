#include "core/instance_marker.hpp"

#include <optional>

#include <keychain/keychain_store_error.hpp>

#include "core/device_token_store.hpp"
#include "vadar/attestation/app_attest_helper.hpp"
#include "vadar/core/vadar_service.hpp"

namespace vadar::core {

namespace {

// The instance the store is marked for; none when unmarked. A mark that is not text names no instance: the items
// beside it are nobody's, and the next claim replaces them and it, instead of failing on it for good.
std::optional<std::string> mark(const keychain::KeychainStore& store) {
  try {
    return store.string(instanceMarkerKey);
  } catch (const keychain::KeychainStoreError& error) {
    if (error.code() == keychain::KeychainStoreError::Code::itemNotFound) return std::nullopt;
    if (error.code() == keychain::KeychainStoreError::Code::badData) return std::string();
    throw;
  }
}

}  // namespace

bool InstanceMarker::admits(const keychain::KeychainStore& store, const std::string& instance) {
  const auto marked = mark(store);
  return !marked || *marked == instance;
}

void InstanceMarker::claim(const keychain::KeychainStore& store, const std::string& instance) {
  const auto marked = mark(store);
  if (marked == instance) return;
  if (marked) {
    for (const char* item : {deviceTokenKey, cachedClientKey, cachedEnvironmentKey, AppAttestHelper::keyIdItem}) {
      try {
        store.deleteItem(item);
      } catch (const keychain::KeychainStoreError& error) {
        if (error.code() != keychain::KeychainStoreError::Code::itemNotFound) throw;
      }
    }
  }
  store.setString(instance, instanceMarkerKey);
}

}  // namespace vadar::core
