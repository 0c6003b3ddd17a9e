#include "vadar/sessions/sign_up_service.hpp"

#include <httpkit/request.hpp>

#include "core/background_tasks.hpp"
#include "core/live_services.hpp"
#include "vadar/models/client_response.hpp"
#include "vadar/infra/locale_identifier.hpp"

namespace vadar {
namespace {

nlohmann::json signUpCreateParams(const SignUp::CreateStrategy& strategy, const std::optional<bool>& legalAccepted,
                                  const std::optional<std::string>& locale) {
  nlohmann::json body = nlohmann::json::object();
  if (std::holds_alternative<SignUp::CreateStrategy::Transfer>(strategy.value)) {
    body["transfer"] = true;
  } else {
    const auto& idToken = std::get<SignUp::CreateStrategy::IdToken>(strategy.value);
    body["strategy"] = std::string(idTokenStrategy(idToken.provider));
    body["token"] = idToken.token;
    if (idToken.firstName) body["first_name"] = *idToken.firstName;
    if (idToken.lastName) body["last_name"] = *idToken.lastName;
  }
  if (legalAccepted) body["legal_accepted"] = *legalAccepted;
  body["locale"] = locale ? *locale : currentLocaleIdentifier();
  return body;
}

}  // namespace

SignUpService SignUpService::live() {
  SignUpService service;
  service.create = [](const SignUp::CreateStrategy& strategy, const std::optional<bool>& legalAccepted,
                      const std::optional<std::string>& locale) -> SignUp {
    core::requireOffMainQueue("SignUp::create");
    const auto answer = core::sendChangingSignedInState(httpkit::AnyRequest(
        "/v1/client/sign_ups", httpkit::HTTPMethod::post, {}, signUpCreateParams(strategy, legalAccepted, locale)));
    return core::decodeBody<ClientResponse<SignUp>>(answer.data).response;
  };
  return service;
}

wiring::Factory<SignUpService> signUpServiceFactory() {
  return wiring::Factory<SignUpService>(signUpServiceKey, [] { return SignUpService::live(); });
}

}  // namespace vadar
