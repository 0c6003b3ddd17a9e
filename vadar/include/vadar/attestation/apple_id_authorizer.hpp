#pragma once
// AppleIdAuthorizer: the platform's Sign in with Apple sheet, as the library needs it. It is given the
// requested scopes and a nonce and gives back the credential the user agreed to hand over.
//
// Example, given foundation::Bytes token:
//   auto authorizer = std::make_shared<vadar::ScriptedAppleIdAuthorizer>([token](const auto&) {
//     vadar::AppleIdAuthorizer::AppleIdCredential credential;
//     credential.user = "001234.abcd";
//     credential.identityToken = token;
//     return vadar::AppleIdAuthorizer::Credential(credential);
//   });
//   vadar::appleIdAuthorizerFactory().register_([authorizer] { return authorizer; });
//
// The container offers the authorizer under "appleIdAuthorizer" (resolved at each use). This platform has no
// Sign in with Apple: the default, UnsupportedAppleIdAuthorizer, fails every request with
// AppleIdAuthorizerError "Sign in with Apple is not supported on this platform.". An application that can
// reach the service supplies its own authorizer.
//
// An authorizer serves one request per call, blocking the calling thread until the user is done; failures
// (a cancelled sheet) are thrown to the caller unchanged.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include <foundation/bytes.hpp>
#include <wiring/container.hpp>

namespace vadar {

class AppleIdAuthorizerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class AppleIdAuthorizer {
 public:
  enum class Scope { fullName, email };

  struct Request {
    std::vector<Scope> requestedScopes;  // passed on as given, an empty list included
    std::string nonce;                   // fresh for every request
  };

  // What the user handed over. The library reads none of it; the application takes what it needs.
  struct AppleIdCredential {
    std::string user;  // the stable user identifier
    std::optional<std::string> email;
    std::optional<std::string> givenName;
    std::optional<std::string> familyName;
    foundation::Bytes identityToken;
    foundation::Bytes authorizationCode;
    std::vector<Scope> authorizedScopes;
  };
  // A saved password offered instead of an Apple ID.
  struct PasswordCredential {
    std::string user;
    std::string password;
  };
  using Credential = std::variant<AppleIdCredential, PasswordCredential>;

  virtual ~AppleIdAuthorizer() = default;
  virtual Credential authorize(const Request& request) = 0;
};

class UnsupportedAppleIdAuthorizer : public AppleIdAuthorizer {
 public:
  Credential authorize(const Request& request) override;
};

// A sheet whose outcome a test scripts (a credential, or a throw); it records every request it was given.
class ScriptedAppleIdAuthorizer : public AppleIdAuthorizer {
 public:
  using Script = std::function<Credential(const Request&)>;
  explicit ScriptedAppleIdAuthorizer(Script script) : script_(std::move(script)) {}

  Credential authorize(const Request& request) override;
  std::vector<Request> requests() const;

 private:
  Script script_;
  mutable std::mutex mutex_;
  std::vector<Request> requests_;
};

inline constexpr const char* appleIdAuthorizerKey = "appleIdAuthorizer";

// "appleIdAuthorizer": an UnsupportedAppleIdAuthorizer unless another maker is registered.
wiring::Factory<std::shared_ptr<AppleIdAuthorizer>> appleIdAuthorizerFactory();

}  // namespace vadar
