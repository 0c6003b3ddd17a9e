#pragma once
// SignInWithAppleHelper: one Sign in with Apple authorization, as one blocking call that gives the Apple ID
// credential. It sends nothing to the frontend API; the application takes what it needs from the credential.
//
// Example (off the main queue):
//   auto credential = vadar::SignInWithAppleHelper::getAppleIdCredential(
//       {vadar::AppleIdAuthorizer::Scope::email, vadar::AppleIdAuthorizer::Scope::fullName});
//   std::string idToken = foundation::toString(credential.identityToken);   // for the sign-in's ID token
//
// Every request carries a fresh nonce: 32 secure random bytes, hashed with SHA-256, in base64url without
// padding (43 characters). The authorizer is the one given, else the one under "appleIdAuthorizer" when the
// request starts; by default that one fails with "Sign in with Apple is not supported on this platform.".
//
// The authorizer's outcome, or the first delegate callback, resumes the waiting caller exactly once: later
// callbacks are ignored, and a request started on the same helper while one waits resumes the older caller
// with VadarClientError "The Apple ID request was replaced by a newer one.". A sheet nobody answers resumes it
// with VadarClientError "The Apple ID request was not answered in time." after `sheetWait`; the caller's stop
// token or Vadar::shutdown() resumes it at once with URLError `cancelled`.
#include <chrono>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "vadar/attestation/apple_id_authorizer.hpp"
#include "vadar/attestation/authorization_continuation.hpp"

namespace vadar {

class SignInWithAppleHelper {
 public:
  using Authorization = AppleIdAuthorizer::Credential;

  // The longest a caller waits for the user to answer the sheet.
  static constexpr std::chrono::minutes kSheetWait{5};

  explicit SignInWithAppleHelper(std::shared_ptr<AppleIdAuthorizer> authorizer = nullptr,
                                 std::chrono::milliseconds sheetWait = kSheetWait);

  // A new helper's authorization; a credential that is not an Apple ID one fails with VadarClientError
  // "Unable to get your Apple ID credential.". The authorizer's failures are thrown unchanged.
  static AppleIdAuthorizer::AppleIdCredential getAppleIdCredential(
      const std::vector<AppleIdAuthorizer::Scope>& requestedScopes);

  // Blocks until the authorization ends; never on the main queue (VadarClientError).
  Authorization start(const std::vector<AppleIdAuthorizer::Scope>& requestedScopes);

  // The delegate callbacks: they resume the request in progress, once.
  void authorizationControllerDidComplete(Authorization authorization);
  void authorizationControllerDidCompleteWithError(std::exception_ptr error);

  // A fresh nonce (see above).
  static std::string makeNonce();

 private:
  std::shared_ptr<AppleIdAuthorizer> authorizer_;
  std::chrono::milliseconds sheetWait_;
  AuthorizationContinuation<Authorization> continuation_;
};

}  // namespace vadar
