#pragma once
// PasskeyAuthenticator: the platform's passkey ceremonies, as the library needs them. An assertion gets the
// credential that proves the user holds a passkey for the relying party (sign-in); a registration makes a new
// passkey for the signed-in user.
//
// Example, given vadar::PasskeyAuthenticator::AssertionCredential credential:
//   auto authenticator = std::make_shared<vadar::ScriptedPasskeyAuthenticator>([credential](const auto&) {
//     return vadar::PasskeyAuthenticator::Credential(credential);   // or throw, as a cancelled ceremony does
//   });
//   vadar::passkeyAuthenticatorFactory().register_([authenticator] { return authenticator; });  // a shared_ptr
//
// The container offers the authenticator under "passkeyAuthenticator" (resolved at each use). This platform
// has no passkey store: the default, HeadlessPasskeyAuthenticator, fails every ceremony with
// PasskeyAuthenticatorError "Passkeys are not supported on this platform.". A device implementation derives
// from PasskeyAuthenticator.
//
// An authenticator serves one ceremony per call, blocking the calling thread until the user is done; failures
// of the ceremony (a cancelled sheet) are thrown to the caller unchanged.
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include <foundation/bytes.hpp>
#include <wiring/container.hpp>

namespace vadar {

class PasskeyAuthenticatorError : public std::runtime_error {
 public:
  enum class Kind { notSupported };
  PasskeyAuthenticatorError(Kind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

class PasskeyAuthenticator {
 public:
  // An assertion: prove possession of a passkey registered for `relyingPartyIdentifier`.
  struct AssertionRequest {
    std::string relyingPartyIdentifier;  // a host name ("frontend.example.test"); may be empty
    foundation::Bytes challenge;
    bool autofill = false;  // offered through the keyboard's suggestions rather than a sheet
    bool preferImmediatelyAvailableCredentials = false;  // fail at once when no passkey is on the device
  };

  // A registration: make a new passkey for the user `userId` (named `name`) at `relyingPartyIdentifier`.
  struct RegistrationRequest {
    std::string relyingPartyIdentifier;
    foundation::Bytes challenge;
    std::string name;
    foundation::Bytes userId;
  };

  // The credential kinds a ceremony can end with.
  struct AssertionCredential {
    foundation::Bytes credentialId;
    foundation::Bytes authenticatorData;
    foundation::Bytes clientDataJSON;
    foundation::Bytes signature;
    foundation::Bytes userHandle;  // the user's id
  };
  struct RegistrationCredential {
    foundation::Bytes credentialId;
    foundation::Bytes rawAttestationObject;
    foundation::Bytes clientDataJSON;
  };
  struct PasswordCredential {
    std::string user;
    std::string password;
  };
  using Credential = std::variant<AssertionCredential, RegistrationCredential, PasswordCredential>;

  virtual ~PasskeyAuthenticator() = default;

  // Runs an assertion and gives the credential the user chose (normally an AssertionCredential).
  virtual Credential signIn(const AssertionRequest& request) = 0;
  // Runs a registration and gives the new credential (normally a RegistrationCredential).
  virtual Credential createPasskey(const RegistrationRequest& request) = 0;
};

class HeadlessPasskeyAuthenticator : public PasskeyAuthenticator {
 public:
  Credential signIn(const AssertionRequest& request) override;
  Credential createPasskey(const RegistrationRequest& request) override;
};

// Ceremonies whose outcome a test scripts (a credential, or a throw); it records every request it was given.
// Without a registration script a registration fails like the headless one.
class ScriptedPasskeyAuthenticator : public PasskeyAuthenticator {
 public:
  using Script = std::function<Credential(const AssertionRequest&)>;
  using RegistrationScript = std::function<Credential(const RegistrationRequest&)>;
  explicit ScriptedPasskeyAuthenticator(Script script, RegistrationScript registrationScript = nullptr)
      : script_(std::move(script)), registrationScript_(std::move(registrationScript)) {}

  Credential signIn(const AssertionRequest& request) override;
  Credential createPasskey(const RegistrationRequest& request) override;
  std::vector<AssertionRequest> requests() const;
  std::vector<RegistrationRequest> registrationRequests() const;

 private:
  Script script_;
  RegistrationScript registrationScript_;
  mutable std::mutex mutex_;
  std::vector<AssertionRequest> requests_;
  std::vector<RegistrationRequest> registrationRequests_;
};

inline constexpr const char* passkeyAuthenticatorKey = "passkeyAuthenticator";

// "passkeyAuthenticator": a HeadlessPasskeyAuthenticator unless another maker is registered.
wiring::Factory<std::shared_ptr<PasskeyAuthenticator>> passkeyAuthenticatorFactory();

}  // namespace vadar
