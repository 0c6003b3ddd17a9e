#pragma once
// The keychain item "vadarDeviceToken": written from every answer that carries "Authorization", read before
// every request.
//
// Every read asks the keychain: the item can be changed or removed from outside the process (another
// instance, the user's keyring tool), and a request must never carry a token the keychain no longer holds.
// A keychain that cannot be reached counts as holding no token.
#include <optional>
#include <string>

#include <keychain/keychain_store.hpp>

namespace vadar::core {

inline constexpr const char* deviceTokenKey = "vadarDeviceToken";

class DeviceTokenStore {
 public:
  // The token of the store registered under "keychain"; none when there is no item or no keychain.
  static std::optional<std::string> read();
  // Replaces the item's value; a keychain error is dropped and the item keeps its old value.
  static void write(const std::string& token);
};

}  // namespace vadar::core
