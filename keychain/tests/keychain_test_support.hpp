#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "keychain/keychain_store.hpp"

namespace keychain::testing {

// A service name no other test (or earlier run in the same keyring) uses.
inline std::string uniqueService(const std::string& suffix = {}) {
  static int counter = 0;
  return "com.tolvaran.tests.keychain." + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
         "." + std::to_string(getpid()) + "." + std::to_string(++counter) + suffix;
}

// The KeychainStoreError the call throws; nullopt when it throws nothing.
template <typename Call>
std::optional<KeychainStoreError> errorOf(Call&& call) {
  try {
    call();
  } catch (const KeychainStoreError& error) {
    return error;
  }
  return std::nullopt;
}

template <typename Call>
std::optional<KeychainStoreError::Code> errorCodeOf(Call&& call) {
  const auto error = errorOf(call);
  return error ? std::optional(error->code()) : std::nullopt;
}

}  // namespace keychain::testing
