// The SignIn operations: each finds the sign-in service under "signInService" at the moment of the call and
// calls one of its operations; the redirect completion and the transfer to a sign-up are decided here.
#include "vadar/infra/rotating_token_nonce.hpp"
#include "vadar/models/sign_in.hpp"
#include "vadar/sessions/sign_in_service.hpp"
#include "vadar/sessions/sign_up_service.hpp"
#include "vadar/models/transfer_flow_result.hpp"

namespace vadar {

SignIn SignIn::create(const CreateStrategy& strategy, std::optional<std::string> locale) {
  return signInServiceFactory().resolve().create(strategy, locale);
}

SignIn SignIn::create(const nlohmann::json& params) { return signInServiceFactory().resolve().createWithParams(params); }

SignIn SignIn::resetPassword(const ResetPasswordParams& params) const {
  return signInServiceFactory().resolve().resetPassword(id, params);
}

SignIn SignIn::prepareFirstFactor(const PrepareFirstFactorStrategy& strategy) const {
  return signInServiceFactory().resolve().prepareFirstFactor(id, strategy, *this);
}

SignIn SignIn::attemptFirstFactor(const AttemptFirstFactorStrategy& strategy) const {
  return signInServiceFactory().resolve().attemptFirstFactor(id, strategy);
}

SignIn SignIn::prepareSecondFactor(const PrepareSecondFactorStrategy& strategy) const {
  return signInServiceFactory().resolve().prepareSecondFactor(id, strategy, *this);
}

SignIn SignIn::attemptSecondFactor(const AttemptSecondFactorStrategy& strategy) const {
  return signInServiceFactory().resolve().attemptSecondFactor(id, strategy);
}

TransferFlowResult SignIn::authenticateWithRedirect(const AuthenticateWithRedirectStrategy& strategy,
                                                    bool prefersEphemeralWebBrowserSession) {
  return signInServiceFactory().resolve().authenticateWithRedirectStatic(strategy, prefersEphemeralWebBrowserSession);
}

TransferFlowResult SignIn::authenticateWithRedirect(bool prefersEphemeralWebBrowserSession) const {
  return signInServiceFactory().resolve().authenticateWithRedirect(*this, prefersEphemeralWebBrowserSession);
}

std::string SignIn::getCredentialForPasskey(bool autofill, bool preferImmediatelyAvailableCredentials) const {
  return signInServiceFactory().resolve().getCredentialForPasskey(*this, autofill,
                                                                  preferImmediatelyAvailableCredentials);
}

TransferFlowResult SignIn::authenticateWithIdToken(IDTokenProvider provider, const std::string& idToken) {
  return signInServiceFactory().resolve().authenticateWithIdTokenStatic(provider, idToken);
}

TransferFlowResult SignIn::authenticateWithIdToken() const {
  return signInServiceFactory().resolve().authenticateWithIdToken(*this);
}

SignIn SignIn::get(std::optional<std::string> rotatingTokenNonce) const {
  return signInServiceFactory().resolve().get(id, rotatingTokenNonce);
}

TransferFlowResult SignIn::handleRedirectCallbackUrl(const std::string& callbackUrl) const {
  // With a nonce the reloaded sign-in is the answer as it stands; without one it may still become a sign-up.
  if (auto nonce = rotatingTokenNonce(callbackUrl)) return TransferFlowResult{get(std::move(nonce))};
  return get(std::nullopt).handleTransferFlow();
}

TransferFlowResult SignIn::handleTransferFlow() const {
  const auto transferable = [](const std::optional<Verification>& verification) {
    return verification && verification->status == Verification::Status::transferable;
  };
  if (!transferable(firstFactorVerification) && !transferable(secondFactorVerification))
    return TransferFlowResult{*this};
  SignUp signUp = signUpServiceFactory().resolve().create(
      SignUp::CreateStrategy{SignUp::CreateStrategy::Transfer{}}, std::nullopt, std::nullopt);
  return TransferFlowResult{std::move(signUp)};
}

}  // namespace vadar
