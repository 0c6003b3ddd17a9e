#pragma once
// PasskeyHelper: one passkey ceremony (an assertion to sign in, or a registration of a new passkey), as one
// blocking call. It works out the relying party from
// the frontend API address, hands the ceremony to the PasskeyAuthenticator and gives back the credential
// the user chose; it sends no request and adds no error of its own to the ceremony's.
//
// Example (off the main queue), given const foundation::Bytes& challenge:
//   vadar::PasskeyHelper helper;                       // a new helper for every operation
//   auto credential = helper.signIn(challenge, /*preferImmediatelyAvailableCredentials=*/true);
//   if (auto* assertion = std::get_if<vadar::PasskeyAuthenticator::AssertionCredential>(&credential)) {
//     foundation::Bytes signature = assertion->signature;
//   }
//
// The authenticator is the one given, else the one under "passkeyAuthenticator" when the operation starts;
// by default that one fails with "Passkeys are not supported on this platform.", since this platform has no
// passkey store of its own.
//
// The ceremony's outcome, or the first delegate callback, resumes the waiting caller exactly once: later
// callbacks are ignored, and an operation started on the same helper while one waits resumes the older
// caller with VadarClientError "The passkey request was replaced by a newer one.". A sheet nobody answers
// resumes it with VadarClientError "The passkey request was not answered in time." after `sheetWait`; the
// caller's stop token (a cancelled send) or Vadar::shutdown() resumes it at once with URLError `cancelled`. A credential the helper
// cannot tell the kind of fails with VadarClientError "Received unknown authorization type.".
//
// Each completed ceremony writes one info line: "A passkey was used to sign in: ...", "A new passkey was
// registered: ..." or "A password was provided: ..." (naming the user or credential, never a secret).
#include <chrono>
#include <exception>
#include <memory>
#include <string>

#include <foundation/bytes.hpp>

#include "vadar/attestation/authorization_continuation.hpp"
#include "vadar/sessions/passkey_authenticator.hpp"

namespace vadar {

class PasskeyHelper {
 public:
  using Authorization = PasskeyAuthenticator::Credential;

  // The longest a caller waits for the user to answer the sheet.
  static constexpr std::chrono::minutes kSheetWait{5};

  explicit PasskeyHelper(std::shared_ptr<PasskeyAuthenticator> authenticator = nullptr,
                         std::chrono::milliseconds sheetWait = kSheetWait);

  // Blocks until the ceremony ends; never on the main queue (VadarClientError).
  Authorization signIn(const foundation::Bytes& challenge, bool preferImmediatelyAvailableCredentials,
                       bool autofill = false);
  // A registration: a new passkey for the signed-in user `userId`, shown as `name`. Blocks likewise.
  Authorization createPasskey(const foundation::Bytes& challenge, const std::string& name,
                              const foundation::Bytes& userId);

  // The delegate callbacks: they resume the operation in progress, once.
  void authorizationControllerDidComplete(Authorization authorization);
  void authorizationControllerDidCompleteWithError(std::exception_ptr error);

  // The host of `frontendApiUrl` without a leading "www." (only a leading one: "a.www.b" stays whole); the
  // empty text when the address does not parse or has no host.
  static std::string relyingParty(const std::string& frontendApiUrl);
  // The relying party of the shared Vadar object's frontend API address, worked out anew at each call.
  static std::string relyingParty();

 private:
  // Runs one ceremony for the caller: the relying party filled in, the authenticator resolved, the outcome
  // logged, the caller resumed once.
  template <class Request>
  Authorization ceremony(const char* operation, Request request,
                         Authorization (PasskeyAuthenticator::*perform)(const Request&));

  std::shared_ptr<PasskeyAuthenticator> authenticator_;
  std::chrono::milliseconds sheetWait_;
  AuthorizationContinuation<Authorization> continuation_;
};

}  // namespace vadar
