#pragma once
// Keychain failures the library lives through: a cache that is not written or read, a device token that is not
// kept. Sign-in goes on working, but nothing the library keeps in the keychain persists, so the first such
// failure of a run is logged at error level with the keychain's own message; the ones after it would only
// repeat it.
//
//   } catch (...) {
//     core::KeychainFailures::note(std::current_exception());
//   }
#include <exception>

#include "vadar/infra/vadar_logger.hpp"

namespace vadar::core {

class KeychainFailures {
 public:
  // For a handler that swallows `error`: logs it when it is a keychain failure (a missing item is none) and
  // the first of the run. Never throws.
  static void note(std::exception_ptr error, SourceLocation where = SourceLocation::current());
  // Makes the next failure the first of a run again (each test is a run of its own).
  static void forget();
};

}  // namespace vadar::core
