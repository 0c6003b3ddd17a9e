#include "vadar/attestation/apple_id_authorizer.hpp"

namespace vadar {

AppleIdAuthorizer::Credential UnsupportedAppleIdAuthorizer::authorize(const Request&) {
  throw AppleIdAuthorizerError("Sign in with Apple is not supported on this platform.");
}

AppleIdAuthorizer::Credential ScriptedAppleIdAuthorizer::authorize(const Request& request) {
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
  }
  return script_(request);
}

std::vector<AppleIdAuthorizer::Request> ScriptedAppleIdAuthorizer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

wiring::Factory<std::shared_ptr<AppleIdAuthorizer>> appleIdAuthorizerFactory() {
  return wiring::Factory<std::shared_ptr<AppleIdAuthorizer>>(
      appleIdAuthorizerKey, [] { return std::make_shared<UnsupportedAppleIdAuthorizer>(); });
}

}  // namespace vadar
