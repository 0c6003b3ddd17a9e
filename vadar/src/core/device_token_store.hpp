#pragma once
// The keychain item "vadarDeviceToken": written from every answer that carries "Authorization", read before
// every request.
//
// Reads are served from memory after the first keychain read of a store (service and access group), so a
// request does not pay a Secret Service round trip; the library is the item's only writer and every write
// goes through here, which keeps the memory in step. A keychain that cannot be reached is never remembered:
// the token then counts as absent and the next request asks again.
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
