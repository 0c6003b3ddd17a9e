#pragma once
// The keychain item "vadarInstance": the frontend API address of the instance whose items ("vadarDeviceToken",
// "cachedClient", "cachedEnvironment", and "AttestKeyId", the device key registered with it) a keychain store
// holds.
//
// An application may serve two instances (a development and a production key) with one keychain service. A
// device token, client or session of one instance sent to the other's host would sign the user into the wrong
// instance, or hand one instance's credentials to another: the items are only ever used for the instance the
// mark names.
//
//   if (core::InstanceMarker::admits(store, instance)) restoreFrom(store);
//   core::InstanceMarker::claim(store, instance);   // before writing one of the instance's items
//
// Both block on the Secret Service: call them off the main queue and off the request path (the keychain
// writer and the keychain reads do).
#include <string>

#include <keychain/keychain_store.hpp>

namespace vadar::core {

inline constexpr const char* instanceMarkerKey = "vadarInstance";

class InstanceMarker {
 public:
  // True when the store's items may be used for `instance`: it is marked for it, or not marked at all (items a
  // version without marks wrote belong to the instance that reads them first). Throws the keychain's error
  // for any failure but a missing mark.
  static bool admits(const keychain::KeychainStore& store, const std::string& instance);

  // Makes the store `instance`'s before one of its items is written: another instance's items are deleted,
  // then the mark is set, so that a process ending halfway never leaves one instance's items under the
  // other's mark. An unmarked store keeps its items. Throws the keychain's error.
  static void claim(const keychain::KeychainStore& store, const std::string& instance);
};

}  // namespace vadar::core
