#include "core/device_token_store.hpp"

#include <map>
#include <mutex>
#include <utility>

#include "vadar/container_keys.hpp"

namespace vadar::core {
namespace {

using StoreIdentity = std::pair<std::string, std::string>;

struct Memory {
  std::mutex mutex;
  std::map<StoreIdentity, std::optional<std::string>> tokens;
};

Memory& memory() {
  static Memory* shared = new Memory();  // never destroyed: no work in static destructors
  return *shared;
}

StoreIdentity identityOf(const keychain::KeychainStore& store) {
  return {store.service(), store.accessGroup().value_or("")};
}

}  // namespace

std::optional<std::string> DeviceTokenStore::read() {
  const keychain::KeychainStore store = keychainFactory().resolve();
  const StoreIdentity identity = identityOf(store);
  {
    std::lock_guard lock(memory().mutex);
    if (auto it = memory().tokens.find(identity); it != memory().tokens.end()) return it->second;
  }
  std::optional<std::string> token;
  try {
    token = store.string(deviceTokenKey);
  } catch (const keychain::KeychainStoreError& error) {
    // Only a definite answer is remembered; an unreachable or locked keychain is asked again next time.
    if (error.code() != keychain::KeychainStoreError::Code::itemNotFound &&
        error.code() != keychain::KeychainStoreError::Code::badData)
      return std::nullopt;
  } catch (...) {
    return std::nullopt;
  }
  std::lock_guard lock(memory().mutex);
  return memory().tokens.try_emplace(identity, token).first->second;
}

void DeviceTokenStore::write(const std::string& token) {
  const keychain::KeychainStore store = keychainFactory().resolve();
  try {
    store.setString(token, deviceTokenKey);
  } catch (...) {
    return;  // the item keeps its old value, and so does the memory of it
  }
  std::lock_guard lock(memory().mutex);
  memory().tokens[identityOf(store)] = token;
}

}  // namespace vadar::core
