#include "keychain/keychain_store_error.hpp"

#include <utility>

namespace keychain {
namespace {

std::string whatText(KeychainStoreError::Code code, const std::string& detail) {
  std::string text = KeychainStoreError::describe(code);
  if (!detail.empty()) text += " (" + detail + ")";
  return text;
}

}  // namespace

KeychainStoreError::KeychainStoreError(Code code, std::string detail)
    : std::runtime_error(whatText(code, detail)), code_(code), detail_(std::move(detail)) {}

const char* KeychainStoreError::describe(Code code) noexcept {
  switch (code) {
    case Code::itemNotFound:
      return "The specified item could not be found in the keychain.";
    case Code::serviceUnavailable:
      return "No Secret Service is reachable on the session bus.";
    case Code::locked:
      return "The keychain is locked.";
    case Code::badData:
      return "The data is not valid UTF-8 text.";
    case Code::timedOut:
      return "The Secret Service did not answer in time.";
    case Code::other:
      break;
  }
  return "The keychain reported an unexpected error.";
}

}  // namespace keychain
