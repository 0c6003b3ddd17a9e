#pragma once
// Shared by the keychain tests: unique service names and error capture.
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "keychain/keychain_store.hpp"

namespace keychain::testing {

// A service name no other test (or earlier run in the same keyring) uses.
inline std::string uniqueService(const std::string& suffix = {}) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  static int counter = 0;
  return "com.tolvaran.tests.keychain." + std::string(info->test_suite_name()) + "." + info->name() + "." +
         std::to_string(getpid()) + "." + std::to_string(++counter) + suffix;
}

// The code of the KeychainStoreError the call throws; nullopt when it throws nothing.
template <typename Call>
std::optional<KeychainStoreError::Code> errorCodeOf(Call&& call) {
  try {
    call();
  } catch (const KeychainStoreError& error) {
    return error.code();
  }
  return std::nullopt;
}

}  // namespace keychain::testing
