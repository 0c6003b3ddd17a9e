#include "vadar/sessions/passkey_authenticator.hpp"

namespace vadar {

PasskeyAuthenticator::Credential HeadlessPasskeyAuthenticator::signIn(const AssertionRequest&) {
  throw PasskeyAuthenticatorError(PasskeyAuthenticatorError::Kind::notSupported,
                                  "Passkeys are not supported on this platform.");
}

PasskeyAuthenticator::Credential HeadlessPasskeyAuthenticator::createPasskey(const RegistrationRequest&) {
  throw PasskeyAuthenticatorError(PasskeyAuthenticatorError::Kind::notSupported,
                                  "Passkeys are not supported on this platform.");
}

PasskeyAuthenticator::Credential ScriptedPasskeyAuthenticator::createPasskey(const RegistrationRequest& request) {
  {
    std::lock_guard lock(mutex_);
    registrationRequests_.push_back(request);
  }
  if (!registrationScript_) return HeadlessPasskeyAuthenticator().createPasskey(request);
  return registrationScript_(request);
}

std::vector<PasskeyAuthenticator::RegistrationRequest> ScriptedPasskeyAuthenticator::registrationRequests() const {
  std::lock_guard lock(mutex_);
  return registrationRequests_;
}

PasskeyAuthenticator::Credential ScriptedPasskeyAuthenticator::signIn(const AssertionRequest& request) {
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
  }
  return script_(request);
}

std::vector<PasskeyAuthenticator::AssertionRequest> ScriptedPasskeyAuthenticator::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

wiring::Factory<std::shared_ptr<PasskeyAuthenticator>> passkeyAuthenticatorFactory() {
  return wiring::Factory<std::shared_ptr<PasskeyAuthenticator>>(
      passkeyAuthenticatorKey, [] { return std::make_shared<HeadlessPasskeyAuthenticator>(); });
}

}  // namespace vadar
