#pragma once
// SignInService: the sign-in requests. A record of thirteen operations resolved from the container under
// "signInService" at each use (the SignIn operations go through it); registering another record there
// replaces the live one for every later use.
//
// Example (off the main queue):
//   vadar::SignIn signIn = vadar::SignIn::create(vadar::SignIn::CreateStrategy{
//       vadar::SignIn::CreateStrategy::Identifier{"ada@example.test", "secret", std::nullopt}});
//   bool secondStep = signIn.status == vadar::SignIn::Status::needsSecondFactor;
//
// Every request goes through the client registered under "apiClient" and its answer is a client-response
// envelope whose "response" is returned; failures (VadarAPIError, URLError, DecodingError) are thrown
// unchanged. The operations block the calling thread and refuse to run on the main queue (VadarClientError).
// A live operation returns once the client its answer carried is installed in the shared Vadar object and kept
// in the keychain (a few seconds at most each), so a completed sign-in returns with its session current.
// Sign-in ids go into the path as one percent-encoded segment; "." and ".." (and an empty id) are refused.
//
// The live requests and their bodies (form fields; absent parameters are left out):
//   create               POST /v1/client/sign_ins   the strategy's parameters and "locale" (given, else the
//                        device's): enterprise SSO "strategy"="enterprise_sso", "identifier", "redirect_url";
//                        ID token "strategy"="oauth_token_apple", "token"; identifier "identifier", "password"
//                        when given, "strategy" only with an inner first-factor strategy; OAuth "strategy" the
//                        provider's, "redirect_url"; ticket "strategy"="ticket", "ticket"; passkey
//                        "strategy"="passkey"; transfer "transfer" (written as 1); none nothing. A missing
//                        redirect address is the settings' redirect address ("vadarSettings").
//   createWithParams     POST /v1/client/sign_ins   the given object, "locale" added when missing or null
//   resetPassword        POST /v1/client/sign_ins/<id>/reset_password         "password", "sign_out_of_other_sessions"
//   prepareFirstFactor   POST /v1/client/sign_ins/<id>/prepare_first_factor   "strategy" and "email_address_id",
//                        "phone_number_id" (the strategy's own, else the matching factor's) or "redirect_url"
//   attemptFirstFactor   POST /v1/client/sign_ins/<id>/attempt_first_factor   "strategy" and "password", "code"
//                        or "public_key_credential"
//   prepareSecondFactor  POST /v1/client/sign_ins/<id>/prepare_second_factor  "strategy", "email_address_id"
//   attemptSecondFactor  POST /v1/client/sign_ins/<id>/attempt_second_factor  "strategy", "code"
//   get                  GET  /v1/client/sign_ins/<id>   "?rotating_token_nonce=" when a nonce is given
// The redirect operations run the web authentication ("webAuthentication") on the first-factor
// verification's external address and finish with SignIn::handleRedirectCallbackUrl; the passkey operation
// runs the passkey ceremony (PasskeyHelper over "passkeyAuthenticator") and gives the credential as JSON text; the ID-token
// operations finish with SignIn::handleTransferFlow.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>
#include <wiring/container.hpp>

#include "vadar/models/id_token_provider.hpp"
#include "vadar/sessions/passkey_authenticator.hpp"
#include "vadar/models/sign_in.hpp"
#include "vadar/models/transfer_flow_result.hpp"
#include "vadar/infra/web_authentication.hpp"

namespace vadar {

struct SignInService {
  std::function<SignIn(const SignIn::CreateStrategy& strategy, const std::optional<std::string>& locale)> create;
  std::function<SignIn(const nlohmann::json& params)> createWithParams;
  std::function<SignIn(const std::string& signInId, const SignIn::ResetPasswordParams& params)> resetPassword;
  std::function<SignIn(const std::string& signInId, const SignIn::PrepareFirstFactorStrategy& strategy,
                       const SignIn& signIn)>
      prepareFirstFactor;
  std::function<SignIn(const std::string& signInId, const SignIn::AttemptFirstFactorStrategy& strategy)>
      attemptFirstFactor;
  std::function<SignIn(const std::string& signInId, const SignIn::PrepareSecondFactorStrategy& strategy,
                       const SignIn& signIn)>
      prepareSecondFactor;
  std::function<SignIn(const std::string& signInId, const SignIn::AttemptSecondFactorStrategy& strategy)>
      attemptSecondFactor;
  std::function<SignIn(const std::string& signInId, const std::optional<std::string>& rotatingTokenNonce)> get;
  std::function<TransferFlowResult(const SignIn::AuthenticateWithRedirectStrategy& strategy,
                                   bool prefersEphemeralWebBrowserSession)>
      authenticateWithRedirectStatic;
  std::function<TransferFlowResult(const SignIn& signIn, bool prefersEphemeralWebBrowserSession)>
      authenticateWithRedirect;
  // Throws VadarClientError "Unable to get the challenge for the passkey." when the first-factor
  // verification's nonce holds no base64url "challenge", and "Invalid credential type." when the ceremony
  // gives anything but an assertion.
  std::function<std::string(const SignIn& signIn, bool autofill, bool preferImmediatelyAvailableCredentials)>
      getCredentialForPasskey;
  std::function<TransferFlowResult(IDTokenProvider provider, const std::string& idToken)>
      authenticateWithIdTokenStatic;
  std::function<TransferFlowResult(const SignIn& signIn)> authenticateWithIdToken;

  // The record the container gives by default.
  static SignInService live();
};

inline constexpr const char* signInServiceKey = "signInService";
inline constexpr const char* webAuthenticationKey = "webAuthentication";

// "signInService", a new live record at each resolution unless another maker is registered.
wiring::Factory<SignInService> signInServiceFactory();

// "webAuthentication": the browser session of the redirect sign-in; by default a HeadlessWebAuthentication
// reading the settings of `Vadar::shared()`. Tests register a ScriptedWebAuthentication.
wiring::Factory<std::shared_ptr<WebAuthentication>> webAuthenticationFactory();

// The passkey credential as the frontend API takes it: {"id", "rawId", "type": "public-key", "response":
// {"authenticatorData", "clientDataJSON", "signature", "userHandle"}}, every binary value base64url without
// padding. The keys are written exactly so (they are not record fields and never pass the snake-case coders).
std::string passkeyCredentialJSON(const PasskeyAuthenticator::AssertionCredential& credential);

}  // namespace vadar
