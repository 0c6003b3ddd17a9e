#pragma once
// The one error type of the keychain store.
//
// Every failing KeychainStore call throws a KeychainStoreError. Its code says what went wrong in terms a
// caller can act on; description() is a fixed text per code, and what() adds the underlying Secret Service
// message when there is one. Callers that only care whether an item is there test for Code::itemNotFound:
//
// Example, given const keychain::KeychainStore& store:
//   std::optional<std::string> token;
//   try {
//     token = store.string("deviceToken");
//   } catch (const keychain::KeychainStoreError& error) {
//     if (error.code() != keychain::KeychainStoreError::Code::itemNotFound) throw;
//   }
#include <stdexcept>
#include <string>

namespace keychain {

class KeychainStoreError : public std::runtime_error {
 public:
  enum class Code {
    itemNotFound,        // no item is stored under the key
    serviceUnavailable,  // no Secret Service can be reached on the session bus
    locked,              // the item, or the collection it would go into, is locked
    badData,             // stored bytes that are not UTF-8 text, or a key or text that is not valid UTF-8
    timedOut,            // the Secret Service did not answer within KeychainStore::kCallDeadline
    other,               // any other failure (a key or value too large to send included); detail() says which
  };

  explicit KeychainStoreError(Code code, std::string detail = {});

  Code code() const noexcept { return code_; }
  // The fixed text of the code, the same for every error with that code.
  const char* description() const noexcept { return describe(code_); }
  // What the Secret Service (or the store's own check) said; may be empty.
  const std::string& detail() const noexcept { return detail_; }

  static const char* describe(Code code) noexcept;

 private:
  Code code_;
  std::string detail_;
};

}  // namespace keychain
