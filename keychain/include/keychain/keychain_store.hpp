#pragma once
// KeychainStore: small secrets (tokens, cached records) kept in the desktop's Secret Service.
//
// A store names a service and, optionally, an access group; every item it reads or writes is a
// generic-password item whose account is the key. Items live in the Secret Service that the session bus
// offers (GNOME Keyring, KWallet), reached through libsecret; there is no fallback to plain files, so
// without a reachable Secret Service every call throws KeychainStoreError with Code::serviceUnavailable.
//
// Example:
//   keychain::KeychainStore store("com.example.app");
//   store.setString("secret-token", "deviceToken");
//   std::string token = store.string("deviceToken");   // "secret-token"
//   store.deleteItem("deviceToken");
//   bool still = store.hasItem("deviceToken");         // false
//
// Items are matched on the service, the key and the access group (the empty text when the store has
// none), so stores with different services or groups never see each other's items. A locked item or
// collection is reported as Code::locked, never as a missing item, and the store does not ask the user to
// unlock it.
//
// A store is a plain value: copies address the same items. All calls block the calling thread until the
// Secret Service answers, at most kCallDeadline from the moment it is the call's turn: calls are safe to make
// from several threads at once, and the process's calls into libsecret take turns, so a call also waits for
// the calls ahead of it as long as they are answered. A Secret Service that stops answering ends the call it
// holds, and every call waiting behind it, with Code::timedOut within kCallDeadline. Another process deleting
// an item meanwhile is seen as the item missing: a read throws itemNotFound, hasItem answers false, a write
// adds the item again.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <foundation/bytes.hpp>

#include "keychain/keychain_store_error.hpp"

namespace keychain {

// When an item may be read. Kept with the store for callers that pass it; the Secret Service has no such
// setting, and an item is readable whenever its collection is unlocked.
enum class Accessibility {
  whenPasscodeSetThisDeviceOnly,
  whenUnlocked,
  whenUnlockedThisDeviceOnly,
  afterFirstUnlock,
  afterFirstUnlockThisDeviceOnly,
};

// Extra conditions (such as user presence) for using an item. Kept with the store; no meaning on Linux.
struct AccessControlFlags {
  std::uint32_t rawValue = 0;
};

// A prior user authentication to reuse when reading items. Kept with the store; no meaning on Linux.
struct AuthenticationContext {};

class KeychainStore {
 public:
  // The longest one call takes, the wait for other threads' calls included.
  static constexpr std::chrono::seconds kCallDeadline{5};
  // The most bytes stored under one key, and the longest service, access group or key. Larger ones would not
  // fit in one message to the Secret Service: the bus would drop the process's connection, and every later
  // call would fail. Calls refuse them with Code::other before anything is sent.
  static constexpr std::size_t kMaximumDataSize = 32 * 1024 * 1024;
  static constexpr std::size_t kMaximumAttributeSize = 1024 * 1024;

  // `service` and `accessGroup` select the items. The other arguments are kept (and given back by the
  // accessors) but change nothing here: the Secret Service has no accessibility classes, access control,
  // authentication contexts, synchronization or extra item attributes.
  explicit KeychainStore(std::string service,
                         std::optional<std::string> accessGroup = std::nullopt,
                         Accessibility accessibility = Accessibility::afterFirstUnlock,
                         std::optional<AccessControlFlags> accessControlFlags = std::nullopt,
                         std::optional<AuthenticationContext> authenticationContext = std::nullopt,
                         bool synchronizable = false,
                         std::map<std::string, std::string> attributes = {});

  // The item's bytes as text. Throws KeychainStoreError: itemNotFound when there is no item, badData when
  // the bytes are not valid UTF-8, and the code of any other failure.
  std::string string(std::string_view key) const;
  // Stores the text's bytes under the key, adding the item or replacing the value of the existing one.
  // Throws badData for text that is not valid UTF-8, and the code of any failure.
  void setString(std::string_view text, std::string_view key) const;

  // The item's bytes exactly as stored. Throws itemNotFound when there is no item.
  foundation::Bytes data(std::string_view key) const;
  // Stores the bytes under the key, adding the item or replacing the value of the existing one.
  void setData(const foundation::Bytes& bytes, std::string_view key) const;

  // Deletes the item. Throws itemNotFound when there is none.
  void deleteItem(std::string_view key) const;
  // Whether an item is stored under the key; throws for any failure other than a missing item (a locked
  // item included).
  bool hasItem(std::string_view key) const;

  const std::string& service() const noexcept { return service_; }
  const std::optional<std::string>& accessGroup() const noexcept { return accessGroup_; }
  Accessibility accessibility() const noexcept { return accessibility_; }
  const std::optional<AccessControlFlags>& accessControlFlags() const noexcept { return accessControlFlags_; }
  const std::optional<AuthenticationContext>& authenticationContext() const noexcept {
    return authenticationContext_;
  }
  bool synchronizable() const noexcept { return synchronizable_; }
  const std::map<std::string, std::string>& attributes() const noexcept { return attributes_; }

 private:
  void store(std::string_view bytes, std::string_view key, const char* contentType) const;

  std::string service_;
  std::optional<std::string> accessGroup_;
  Accessibility accessibility_;
  std::optional<AccessControlFlags> accessControlFlags_;
  std::optional<AuthenticationContext> authenticationContext_;
  bool synchronizable_;
  std::map<std::string, std::string> attributes_;
};

}  // namespace keychain
