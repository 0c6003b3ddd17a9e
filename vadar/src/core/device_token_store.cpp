#include "core/device_token_store.hpp"

#include <atomic>
#include <utility>

#include <httpkit/url_error.hpp>
#include <keychain/keychain_store_error.hpp>

#include "core/background_tasks.hpp"
#include "core/instance_marker.hpp"
#include "core/keychain_failures.hpp"
#include "core/keychain_reads.hpp"
#include "core/keychain_writer.hpp"
#include "vadar/infra/vadar_logger.hpp"

namespace vadar::core {

namespace {

// What the HTTP client refuses to put in a header field.
bool sendable(const std::string& value) { return value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos; }

using Stored = DeviceTokenStore::Stored;

// Every request reads the token again: a fault of the stored item is told once, not on each of them.
void errorOnce(std::atomic<bool>& logged, const char* message) {
  if (!logged.exchange(true)) VadarLogger::error(message);
}

// The stored token: none when missing, marked for another instance, not text or not sendable; unreadable when
// the keychain failed (locked, unavailable, not answering), which says nothing of what the item holds.
Stored readStored(const keychain::KeychainStore& store, const std::string& instance) {
  try {
    if (!InstanceMarker::admits(store, instance)) return Stored::absent();
    std::string token = store.string(deviceTokenKey);
    if (sendable(token)) return Stored::present(std::move(token));
    static std::atomic<bool> logged{false};
    errorOnce(logged,
              "The stored device token holds a line break or a NUL and cannot be sent; requests go without it until "
              "the frontend API hands out a new one.");
    return Stored::absent();
  } catch (const keychain::KeychainStoreError& error) {
    if (error.code() == keychain::KeychainStoreError::Code::itemNotFound) return Stored::absent();
    // The keychain did answer: the item is corrupt and can never be sent. Taking it for an unreadable keychain
    // would keep it, and every start would go without a token, for good; the next token handed out replaces it.
    if (error.code() == keychain::KeychainStoreError::Code::badData) {
      static std::atomic<bool> logged{false};
      errorOnce(logged,
                "The stored device token is not text and cannot be sent; it is replaced by the next one the "
                "frontend API hands out.");
      return Stored::absent();
    }
    KeychainFailures::note(std::current_exception());
    if (error.code() == keychain::KeychainStoreError::Code::locked) return Stored::lockedOut();
  } catch (...) {
    KeychainFailures::note(std::current_exception());
  }
  return Stored::unreadable();
}

}  // namespace

// The item was not read when `token` came: it may hold the user's signed-in client, which a token handed out
// to a request that went without it would sign out for good. Only an item with no token, or with one this
// process wrote, is replaced; otherwise this run goes on with `token` in memory and the next start gets the
// stored one back. Once this process has found the keychain locked, "no item" is not believed: a locked item can
// drop out of a search for a moment, and replacing it would lose the user's signed-in client all the same.
bool DeviceTokenStore::mayReplace(const keychain::KeychainStore& target, const std::string& instance,
                                  const std::string& token, Written& written, CacheGate& gate) {
  const Stored now = readStored(target, instance);
  bool absentTrusted = true;
  {
    std::lock_guard lock(gate.mutex);
    if (now.locked) gate.foundLocked = true;
    absentTrusted = !gate.foundLocked;
  }
  if (now.readable && (now.token ? now.token == written.token : absentTrusted)) return true;
  if (now.readable && now.token == token) {
    written.token = token;
    return false;
  }
  if (!std::exchange(written.keptLogged, true))
    VadarLogger::error(
        "The frontend API handed out a device token before the stored one could be read; the new one is used "
        "until the process ends, and the stored one is kept for the next start.");
  return false;
}

DeviceTokenStore& DeviceTokenStore::shared() {
  // Never destroyed: reads may outlive static destructors.
  static DeviceTokenStore* store = new DeviceTokenStore(&readStored, firstReadWait);
  return *store;
}

DeviceTokenStore::DeviceTokenStore(Read read, std::chrono::milliseconds wait) : read_(std::move(read)), wait_(wait) {}

// Found without copying the key's strings: every request asks.
DeviceTokenStore::KeyView DeviceTokenStore::keyOf(const keychain::KeychainStore& store, const std::string& instance) {
  const std::string_view group = store.accessGroup() ? std::string_view(*store.accessGroup()) : std::string_view();
  return {store.service(), group, instance};
}

std::shared_ptr<DeviceTokenStore::Entry> DeviceTokenStore::entryLocked(const keychain::KeychainStore& store,
                                                                       const std::string& instance) {
  const KeyView key = keyOf(store, instance);
  const auto found = entries_.find(key);
  if (found != entries_.end()) return found->second;
  auto entry = std::make_shared<Entry>();
  entries_.emplace(Key{std::get<0>(key), std::get<1>(key), std::get<2>(key)}, entry);
  return entry;
}

void DeviceTokenStore::startReadLocked(const std::shared_ptr<Entry>& entry, const keychain::KeychainStore& store,
                                       const std::string& instance) {
  if (entry->reading || entry->known) return;
  entry->reading = true;
  entry->readDeadline = std::chrono::steady_clock::now() + wait_;
  KeychainReads::start([this, entry, store, instance] {
    auto stored = read_(store, instance);
    {
      std::lock_guard lock(mutex_);
      if (stored.locked) {
        std::lock_guard gateLock(entry->gate->mutex);
        entry->gate->foundLocked = true;
      }
      // A token received meanwhile is newer than the stored one; the stored one stays unknown to its writes,
      // which therefore keep checking the item.
      if (entry->known) return;
      entry->token = std::move(stored.token);
      entry->storedKnown = stored.readable;
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
  // Everyone waits for the same read until the same moment: a request that comes late is held no longer than
  // the first one, and one whose send is stopped (a shutdown, a cancelled load) leaves at once.
  const std::stop_token stop = StopTokenScope::current();
  if (known_.wait_until(lock, stop, entry->readDeadline, [&] { return entry->known || entry->waitedOut; }))
    return entry->token;
  // Thrown rather than answered with no token: the send would go out without it, and the frontend API would
  // hand out a new device token in place of the stored one.
  if (stop.stop_requested())
    throw httpkit::URLError(httpkit::URLError::Code::cancelled, "stopped while the device token was being read");
  // Later requests do not wait again: the read goes on, and an answer's token ends the wait for good.
  entry->waitedOut = true;
  lock.unlock();
  known_.notify_all();
  VadarLogger::error("The keychain did not give the device token within " +
                     std::to_string(std::chrono::duration_cast<std::chrono::seconds>(wait_).count()) +
                     " s; requests go without it until it answers.");
  return std::nullopt;
}

void DeviceTokenStore::preload(const keychain::KeychainStore& store, const std::string& instance) {
  std::lock_guard lock(mutex_);
  startReadLocked(entryLocked(store, instance), store, instance);
}

void DeviceTokenStore::receive(const keychain::KeychainStore& store, const std::string& instance,
                               const std::string& token) {
  bool checked;
  std::shared_ptr<Written> written;
  std::shared_ptr<CacheGate> gate;
  std::uint64_t check = 0;
  {
    std::lock_guard lock(mutex_);
    const auto entry = entryLocked(store, instance);
    if (entry->known && entry->token == token) return;
    entry->token = token;
    entry->known = true;
    checked = !entry->storedKnown;
    written = entry->written;
    if (checked) {
      // Settled before anything of this token's can be cached: the answer that carried it installs its
      // client after this.
      gate = entry->gate;
      std::lock_guard gateLock(gate->mutex);
      gate->standing = CacheGate::Standing::unsettled;
      check = ++gate->checks;
    }
  }
  known_.notify_all();
  auto write = [token, instance, checked, written, gate, check](const keychain::KeychainStore& target) {
    if (!checked) {
      target.setString(token, deviceTokenKey);
      written->token = token;
      return;
    }
    // A write that fails leaves the token in memory only, as one that may not replace the stored one.
    try {
      if (mayReplace(target, instance, token, *written, *gate)) {
        target.setString(token, deviceTokenKey);
        written->token = token;
      }
    } catch (...) {
      gate->settle(check, false);
      throw;
    }
    // Written here rather than queued: it counts as part of this write for whoever drains the writer (a
    // shutdown), and it goes to the same store and instance.
    if (auto held = gate->settle(check, written->token == token)) held(target);
  };
  KeychainWriter::shared().submit({store, instance, deviceTokenKey, std::move(write)});
}

DeviceTokenStore::CacheGate::Perform DeviceTokenStore::CacheGate::settle(std::uint64_t check, bool stored) {
  std::lock_guard lock(mutex);
  if (check != checks) return nullptr;
  standing = stored ? Standing::stored : Standing::inMemoryOnly;
  if (!stored) return nullptr;
  return std::exchange(held, nullptr);
}

KeychainWriter::Write DeviceTokenStore::heldUntilStored(KeychainWriter::Write write) {
  std::shared_ptr<CacheGate> gate;
  {
    std::lock_guard lock(mutex_);
    gate = entryLocked(write.store, write.instance)->gate;
  }
  // Decided when the write runs, on the writer thread that also runs the token's writes: the writes of an
  // item run in the order they were made, so one held here is never written over by an older one.
  write.perform = [gate, perform = std::move(write.perform)](const keychain::KeychainStore& target) {
    {
      std::unique_lock lock(gate->mutex);
      if (gate->standing != CacheGate::Standing::stored) {
        CacheGate::Perform replaced = std::exchange(gate->held, perform);
        lock.unlock();  // what it held is released off the lock
        return;
      }
    }
    perform(target);
  };
  return write;
}

bool DeviceTokenStore::cacheHeldBack(const keychain::KeychainStore& store, const std::string& instance) {
  std::shared_ptr<CacheGate> gate;
  {
    std::lock_guard lock(mutex_);
    const auto found = entries_.find(keyOf(store, instance));
    if (found == entries_.end()) return false;
    gate = found->second->gate;
  }
  std::lock_guard lock(gate->mutex);
  return gate->standing != CacheGate::Standing::stored;
}

void DeviceTokenStore::forget() {
  std::lock_guard lock(mutex_);
  entries_.clear();
}

}  // namespace vadar::core
