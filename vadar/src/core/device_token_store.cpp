#include "core/device_token_store.hpp"

#include <atomic>
#include <utility>

#include <keychain/keychain_store_error.hpp>

#include "core/instance_marker.hpp"
#include "core/keychain_failures.hpp"
#include "core/keychain_reads.hpp"
#include "core/keychain_writer.hpp"
#include "vadar/infra/vadar_logger.hpp"

namespace vadar::core {

namespace {

// What the HTTP client refuses to put in a header field.
bool sendable(const std::string& value) { return value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos; }

// The stored token, or none: missing, unreadable, marked for another instance or not sendable.
std::optional<std::string> readStored(const keychain::KeychainStore& store, const std::string& instance) {
  try {
    if (!InstanceMarker::admits(store, instance)) return std::nullopt;
    std::string token = store.string(deviceTokenKey);
    if (sendable(token)) return token;
    static std::atomic<bool> logged{false};
    if (!logged.exchange(true))
      VadarLogger::error(
          "The stored device token holds a line break or a NUL and cannot be sent; requests go without it until "
          "the frontend API hands out a new one.");
  } catch (...) {
    KeychainFailures::note(std::current_exception());
  }
  return std::nullopt;
}

}  // namespace

DeviceTokenStore& DeviceTokenStore::shared() {
  static DeviceTokenStore* store = new DeviceTokenStore();  // never destroyed: reads may outlive static destructors
  return *store;
}

std::shared_ptr<DeviceTokenStore::Entry> DeviceTokenStore::entryLocked(const keychain::KeychainStore& store,
                                                                       const std::string& instance) {
  auto& entry = entries_[Key{store.service(), store.accessGroup().value_or(""), instance}];
  if (!entry) entry = std::make_shared<Entry>();
  return entry;
}

void DeviceTokenStore::startReadLocked(const std::shared_ptr<Entry>& entry, const keychain::KeychainStore& store,
                                       const std::string& instance) {
  if (entry->reading || entry->known) return;
  entry->reading = true;
  KeychainReads::start([this, entry, store, instance] {
    auto token = readStored(store, instance);
    {
      std::lock_guard lock(mutex_);
      if (entry->known) return;  // a token received meanwhile is newer than the stored one
      entry->token = std::move(token);
      entry->known = true;
    }
    known_.notify_all();
  });
}

std::optional<std::string> DeviceTokenStore::token(const keychain::KeychainStore& store, const std::string& instance) {
  std::unique_lock lock(mutex_);
  const auto entry = entryLocked(store, instance);
  startReadLocked(entry, store, instance);
  if (entry->known || entry->waitedOut) return entry->token;
  if (!known_.wait_for(lock, firstReadWait, [&] { return entry->known; })) {
    // Later requests do not wait again: the read goes on, and an answer's token ends the wait for good.
    if (std::exchange(entry->waitedOut, true)) return std::nullopt;
    VadarLogger::error("The keychain did not give the device token within " +
                       std::to_string(firstReadWait.count()) + " s; requests go without it until it answers.");
    return std::nullopt;
  }
  return entry->token;
}

void DeviceTokenStore::preload(const keychain::KeychainStore& store, const std::string& instance) {
  std::lock_guard lock(mutex_);
  startReadLocked(entryLocked(store, instance), store, instance);
}

void DeviceTokenStore::receive(const keychain::KeychainStore& store, const std::string& instance,
                               const std::string& token) {
  {
    std::lock_guard lock(mutex_);
    const auto entry = entryLocked(store, instance);
    if (entry->known && entry->token == token) return;
    entry->token = token;
    entry->known = true;
  }
  known_.notify_all();
  KeychainWriter::shared().submit({store, instance, deviceTokenKey,
                                   [token](const keychain::KeychainStore& target) {
                                     target.setString(token, deviceTokenKey);
                                   }});
}

void DeviceTokenStore::forget() {
  std::lock_guard lock(mutex_);
  entries_.clear();
}

}  // namespace vadar::core
