#include "core/instance_marker.hpp"

#include <optional>

#include <keychain/keychain_store_error.hpp>

#include "core/device_token_store.hpp"
#include "vadar/attestation/app_attest_helper.hpp"
#include "vadar/core/vadar_service.hpp"

namespace vadar::core {

namespace {

std::optional<std::string> mark(const keychain::KeychainStore& store) {
  try {
    return store.string(instanceMarkerKey);
  } catch (const keychain::KeychainStoreError& error) {
    if (error.code() == keychain::KeychainStoreError::Code::itemNotFound) return std::nullopt;
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
