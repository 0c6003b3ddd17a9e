// The live sign-in service: one request per operation, and the redirect, passkey and ID-token roads built on
// the web authentication, the passkey ceremony and the SignIn operations.
#include "vadar/sessions/sign_in_service.hpp"

#include <boost/url/parse.hpp>
#include <foundation/base64.hpp>
#include <httpkit/request.hpp>

#include "core/background_tasks.hpp"
#include "core/live_services.hpp"
#include "sessions/request_path.hpp"
#include "vadar/models/client_response.hpp"
#include "vadar/core/container_keys.hpp"
#include "vadar/infra/json.hpp"
#include "vadar/infra/locale_identifier.hpp"
#include "vadar/attestation/passkey_helper.hpp"
#include "vadar/core/vadar.hpp"
#include "vadar/models/vadar_client_error.hpp"

namespace vadar {
namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

// The redirect address the settings registered under "vadarSettings" give.
std::string registeredRedirectUrl() { return vadarSettingsFactory().resolve().redirectConfig.redirectUrl; }
// The redirect address of the shared Vadar object's settings.
std::string vadarRedirectUrl() { return Vadar::shared()->settings().redirectConfig.redirectUrl; }

SignIn sendForSignIn(const std::string& path, httpkit::HTTPMethod method, std::vector<httpkit::QueryItem> query,
                     std::optional<nlohmann::json> body) {
  const auto answer = core::sendChangingSignedInState(httpkit::AnyRequest(path, std::move(method), std::move(query),
                                                                    std::move(body)));
  return core::decodeBody<ClientResponse<SignIn>>(answer.data).response;
}

std::string signInPath(const std::string& signInId, const char* action) {
  return "/v1/client/sign_ins/" + sessions::idPathSegment(signInId) + "/" + action;
}

nlohmann::json signInCreateParams(const SignIn::CreateStrategy& strategy, const std::optional<std::string>& locale) {
  using S = SignIn::CreateStrategy;
  nlohmann::json body = nlohmann::json::object();
  std::visit(Overloaded{
                 [&](const S::EnterpriseSSO& s) {
                   body["strategy"] = "enterprise_sso";
                   body["identifier"] = s.identifier;
                   body["redirect_url"] = s.redirectUrl ? *s.redirectUrl : registeredRedirectUrl();
                 },
                 [&](const S::IdToken& s) {
                   body["strategy"] = std::string(idTokenStrategy(s.provider));
                   body["token"] = s.token;
                 },
                 [&](const S::Identifier& s) {
                   body["identifier"] = s.identifier;
                   if (s.password) body["password"] = *s.password;
                   if (s.strategy) body["strategy"] = s.strategy->strategy();
                 },
                 [&](const S::OAuth& s) {
                   body["strategy"] = s.provider.strategy();
                   body["redirect_url"] = s.redirectUrl ? *s.redirectUrl : registeredRedirectUrl();
                 },
                 [&](const S::Ticket& s) {
                   body["strategy"] = "ticket";
                   body["ticket"] = s.ticket;
                 },
                 [&](const S::Passkey&) { body["strategy"] = "passkey"; },
                 [&](const S::Transfer&) { body["transfer"] = true; },
                 [&](const S::None&) {},
             },
             strategy.value);
  body["locale"] = locale ? *locale : currentLocaleIdentifier();
  return body;
}

nlohmann::json prepareFirstFactorParams(const SignIn::PrepareFirstFactorStrategy& strategy, const SignIn& signIn) {
  using S = SignIn::PrepareFirstFactorStrategy;
  nlohmann::json body = {{"strategy", strategy.strategy()}};
  const auto factorEmail = [&] {
    const auto factor = signIn.firstFactor(strategy);
    return factor ? factor->emailAddressId : std::nullopt;
  };
  const auto factorPhone = [&] {
    const auto factor = signIn.firstFactor(strategy);
    return factor ? factor->phoneNumberId : std::nullopt;
  };
  const auto put = [&](const char* key, const std::optional<std::string>& value) {
    if (value) body[key] = *value;
  };
  std::visit(Overloaded{
                 [&](const S::EmailCode& s) { put("email_address_id", s.emailAddressId ? s.emailAddressId : factorEmail()); },
                 [&](const S::ResetPasswordEmailCode& s) {
                   put("email_address_id", s.emailAddressId ? s.emailAddressId : factorEmail());
                 },
                 [&](const S::PhoneCode& s) { put("phone_number_id", s.phoneNumberId ? s.phoneNumberId : factorPhone()); },
                 [&](const S::ResetPasswordPhoneCode& s) {
                   put("phone_number_id", s.phoneNumberId ? s.phoneNumberId : factorPhone());
                 },
                 [&](const S::OAuth& s) { body["redirect_url"] = s.redirectUrl ? *s.redirectUrl : vadarRedirectUrl(); },
                 [&](const S::EnterpriseSSO& s) {
                   body["redirect_url"] = s.redirectUrl ? *s.redirectUrl : vadarRedirectUrl();
                 },
                 [&](const S::Passkey&) {},
             },
             strategy.value);
  return body;
}

nlohmann::json attemptFirstFactorParams(const SignIn::AttemptFirstFactorStrategy& strategy) {
  using S = SignIn::AttemptFirstFactorStrategy;
  nlohmann::json body = {{"strategy", strategy.strategy()}};
  std::visit(Overloaded{
                 [&](const S::Password& s) { body["password"] = s.password; },
                 [&](const S::EmailCode& s) { body["code"] = s.code; },
                 [&](const S::PhoneCode& s) { body["code"] = s.code; },
                 [&](const S::Passkey& s) { body["public_key_credential"] = s.publicKeyCredential; },
                 [&](const S::ResetPasswordEmailCode& s) { body["code"] = s.code; },
                 [&](const S::ResetPasswordPhoneCode& s) { body["code"] = s.code; },
             },
             strategy.value);
  return body;
}

nlohmann::json prepareSecondFactorParams(const SignIn::PrepareSecondFactorStrategy& strategy, const SignIn& signIn) {
  nlohmann::json body = {{"strategy", strategy.strategy()}};
  if (const auto* email = std::get_if<SignIn::PrepareSecondFactorStrategy::EmailCode>(&strategy.value)) {
    std::optional<std::string> id = email->emailAddressId;
    if (!id) {
      if (const auto factor = signIn.secondFactor(strategy)) id = factor->emailAddressId;
    }
    if (id) body["email_address_id"] = *id;
  }
  return body;
}

// The address the browser session starts at: the first-factor verification's external address, which must be
// an absolute URL.
std::string externalRedirectUrl(const SignIn& signIn) {
  static const char* const missing =
      "Redirect URL is missing or invalid. Unable to start external authentication flow.";
  if (!signIn.firstFactorVerification || !signIn.firstFactorVerification->externalVerificationRedirectUrl)
    throw VadarClientError(missing);
  const std::string& url = *signIn.firstFactorVerification->externalVerificationRedirectUrl;
  const auto parsed = boost::urls::parse_uri(url);
  if (!parsed || parsed->scheme().empty()) throw VadarClientError(missing);
  return url;
}

TransferFlowResult completeRedirect(const SignIn& signIn, bool prefersEphemeralWebBrowserSession) {
  const std::string start = externalRedirectUrl(signIn);
  const std::string callback = webAuthenticationFactory().resolve()->authenticate(start, prefersEphemeralWebBrowserSession);
  return signIn.handleRedirectCallbackUrl(callback);
}

// The "challenge" of the JSON text in the first-factor verification's nonce, decoded from base64url.
foundation::Bytes passkeyChallenge(const SignIn& signIn) {
  static const char* const missing = "Unable to get the challenge for the passkey.";
  if (!signIn.firstFactorVerification || !signIn.firstFactorVerification->nonce) throw VadarClientError(missing);
  nlohmann::json nonce;
  try {
    nonce = parseJSONText(*signIn.firstFactorVerification->nonce);
  } catch (const DecodingError&) {
    throw VadarClientError(missing);
  }
  if (!nonce.is_object() || !nonce.contains("challenge") || !nonce["challenge"].is_string())
    throw VadarClientError(missing);
  auto challenge = foundation::base64UrlDecode(nonce["challenge"].get<std::string>());
  if (!challenge) throw VadarClientError(missing);
  return std::move(*challenge);
}

}  // namespace

std::string passkeyCredentialJSON(const PasskeyAuthenticator::AssertionCredential& credential) {
  const auto encode = [](const foundation::Bytes& bytes) { return foundation::base64UrlEncode(bytes, false); };
  nlohmann::ordered_json json = {
      {"id", encode(credential.credentialId)},
      {"rawId", encode(credential.credentialId)},
      {"type", "public-key"},
      {"response",
       {{"authenticatorData", encode(credential.authenticatorData)},
        {"clientDataJSON", encode(credential.clientDataJSON)},
        {"signature", encode(credential.signature)},
        {"userHandle", encode(credential.userHandle)}}},
  };
  return json.dump();
}

SignInService SignInService::live() {
  SignInService service;
  service.create = [](const SignIn::CreateStrategy& strategy, const std::optional<std::string>& locale) {
    core::requireOffMainQueue("SignIn::create");
    return sendForSignIn("/v1/client/sign_ins", httpkit::HTTPMethod::post, {}, signInCreateParams(strategy, locale));
  };
  service.createWithParams = [](const nlohmann::json& params) {
    core::requireOffMainQueue("SignIn::create");
    nlohmann::json body = params;
    if (body.is_object() && (!body.contains("locale") || body["locale"].is_null()))
      body["locale"] = currentLocaleIdentifier();
    return sendForSignIn("/v1/client/sign_ins", httpkit::HTTPMethod::post, {}, std::move(body));
  };
  service.resetPassword = [](const std::string& id, const SignIn::ResetPasswordParams& params) {
    core::requireOffMainQueue("SignIn::resetPassword");
    return sendForSignIn(signInPath(id, "reset_password"), httpkit::HTTPMethod::post, {}, encodeValue(params));
  };
  service.prepareFirstFactor = [](const std::string& id, const SignIn::PrepareFirstFactorStrategy& strategy,
                                  const SignIn& signIn) {
    core::requireOffMainQueue("SignIn::prepareFirstFactor");
    const std::string path = signInPath(id, "prepare_first_factor");
    return sendForSignIn(path, httpkit::HTTPMethod::post, {}, prepareFirstFactorParams(strategy, signIn));
  };
  service.attemptFirstFactor = [](const std::string& id, const SignIn::AttemptFirstFactorStrategy& strategy) {
    core::requireOffMainQueue("SignIn::attemptFirstFactor");
    const std::string path = signInPath(id, "attempt_first_factor");
    return sendForSignIn(path, httpkit::HTTPMethod::post, {}, attemptFirstFactorParams(strategy));
  };
  service.prepareSecondFactor = [](const std::string& id, const SignIn::PrepareSecondFactorStrategy& strategy,
                                   const SignIn& signIn) {
    core::requireOffMainQueue("SignIn::prepareSecondFactor");
    const std::string path = signInPath(id, "prepare_second_factor");
    return sendForSignIn(path, httpkit::HTTPMethod::post, {}, prepareSecondFactorParams(strategy, signIn));
  };
  service.attemptSecondFactor = [](const std::string& id, const SignIn::AttemptSecondFactorStrategy& strategy) {
    core::requireOffMainQueue("SignIn::attemptSecondFactor");
    const std::string path = signInPath(id, "attempt_second_factor");
    return sendForSignIn(path, httpkit::HTTPMethod::post, {},
                         nlohmann::json{{"strategy", strategy.strategy()}, {"code", strategy.code()}});
  };
  service.get = [](const std::string& id, const std::optional<std::string>& rotatingTokenNonce) {
    core::requireOffMainQueue("SignIn::get");
    std::vector<httpkit::QueryItem> query;
    if (rotatingTokenNonce) query.push_back({"rotating_token_nonce", *rotatingTokenNonce});
    return sendForSignIn("/v1/client/sign_ins/" + sessions::idPathSegment(id), httpkit::HTTPMethod::get,
                         std::move(query), std::nullopt);
  };
  service.authenticateWithRedirectStatic = [](const SignIn::AuthenticateWithRedirectStrategy& strategy,
                                              bool prefersEphemeralWebBrowserSession) {
    core::requireOffMainQueue("SignIn::authenticateWithRedirect");
    using R = SignIn::AuthenticateWithRedirectStrategy;
    using C = SignIn::CreateStrategy;
    const C create = std::visit(
        Overloaded{
            [](const R::OAuth& s) { return C{C::OAuth{s.provider, s.redirectUrl ? s.redirectUrl : vadarRedirectUrl()}}; },
            [](const R::EnterpriseSSO& s) {
              return C{C::EnterpriseSSO{s.identifier, s.redirectUrl ? s.redirectUrl : vadarRedirectUrl()}};
            },
        },
        strategy.value);
    const SignIn signIn = SignIn::create(create, std::nullopt);
    return completeRedirect(signIn, prefersEphemeralWebBrowserSession);
  };
  service.authenticateWithRedirect = [](const SignIn& signIn, bool prefersEphemeralWebBrowserSession) {
    core::requireOffMainQueue("SignIn::authenticateWithRedirect");
    return completeRedirect(signIn, prefersEphemeralWebBrowserSession);
  };
  service.getCredentialForPasskey = [](const SignIn& signIn, bool autofill,
                                       bool preferImmediatelyAvailableCredentials) -> std::string {
    core::requireOffMainQueue("SignIn::getCredentialForPasskey");
    const foundation::Bytes challenge = passkeyChallenge(signIn);
    // A new helper for every ceremony; it works out the relying party and runs the authenticator.
    PasskeyHelper helper;
    const auto credential = helper.signIn(challenge, preferImmediatelyAvailableCredentials, autofill);
    const auto* assertion = std::get_if<PasskeyAuthenticator::AssertionCredential>(&credential);
    if (assertion == nullptr) throw VadarClientError("Invalid credential type.");
    return passkeyCredentialJSON(*assertion);
  };
  service.authenticateWithIdTokenStatic = [](IDTokenProvider provider, const std::string& idToken) {
    core::requireOffMainQueue("SignIn::authenticateWithIdToken");
    const SignIn signIn =
        SignIn::create(SignIn::CreateStrategy{SignIn::CreateStrategy::IdToken{provider, idToken}}, std::nullopt);
    return signIn.handleTransferFlow();
  };
  service.authenticateWithIdToken = [](const SignIn& signIn) {
    core::requireOffMainQueue("SignIn::authenticateWithIdToken");
    return signIn.handleTransferFlow();
  };
  return service;
}

wiring::Factory<SignInService> signInServiceFactory() {
  return wiring::Factory<SignInService>(signInServiceKey, [] { return SignInService::live(); });
}

wiring::Factory<std::shared_ptr<WebAuthentication>> webAuthenticationFactory() {
  return wiring::Factory<std::shared_ptr<WebAuthentication>>(webAuthenticationKey, [] {
    return std::shared_ptr<WebAuthentication>(
        std::make_shared<HeadlessWebAuthentication>(Vadar::shared()->settingsProvider()));
  });
}

}  // namespace vadar
