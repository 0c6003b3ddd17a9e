#include "core/keychain_failures.hpp"

#include <atomic>

#include <keychain/keychain_store_error.hpp>

namespace vadar::core {
namespace {
std::atomic<bool> reported{false};
}  // namespace

void KeychainFailures::note(std::exception_ptr error, SourceLocation where) {
  if (!error) return;
  try {
    std::rethrow_exception(error);
  } catch (const keychain::KeychainStoreError& failure) {
    if (failure.code() == keychain::KeychainStoreError::Code::itemNotFound) return;
    if (reported.exchange(true)) return;
    VadarLogger::error(
        "The keychain failed: the signed-in client, the environment and the device token are not kept for the "
        "next start until it works.",
        &failure, where);
  } catch (...) {
  }
}

void KeychainFailures::forget() { reported = false; }

}  // namespace vadar::core
