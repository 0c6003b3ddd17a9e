#pragma once
// SignUpService: creating a sign-up, as the sign-in's transfer to a sign-up needs it. A record of operations
// resolved from the container under "signUpService" at each use.
//
// Example (off the main queue):
//   vadar::SignUp signUp = vadar::signUpServiceFactory().resolve().create(
//       vadar::SignUp::CreateStrategy{vadar::SignUp::CreateStrategy::Transfer{}}, std::nullopt, std::nullopt);
//
// The live `create` sends "POST /v1/client/sign_ups", the sign-ups collection of the client, with the
// strategy's parameters, "legal_accepted" when given and "locale" (the given one, else the device's, see
// currentLocaleIdentifier), and gives the sign-up of the client-response envelope. The transfer strategy sends
// "transfer" (the form writes it as 1): the frontend API makes the sign-up from the client's sign-in whose
// external verification is transferable. The ID-token strategy sends "strategy" (the provider's, e.g.
// "oauth_token_apple"), "token" and the optional "first_name" and "last_name".
// It blocks the calling thread and refuses to run on the main queue (VadarClientError).
#include <functional>
#include <optional>
#include <string>
#include <variant>

#include <wiring/container.hpp>

#include "vadar/models/id_token_provider.hpp"
#include "vadar/models/sign_up.hpp"

namespace vadar {

struct SignUp::CreateStrategy {
  struct Transfer {};
  struct IdToken {
    IDTokenProvider provider;
    std::string token;
    std::optional<std::string> firstName;
    std::optional<std::string> lastName;
  };
  using Value = std::variant<Transfer, IdToken>;

  Value value;
};

struct SignUpService {
  std::function<SignUp(const SignUp::CreateStrategy& strategy, const std::optional<bool>& legalAccepted,
                       const std::optional<std::string>& locale)>
      create;

  // The record the container gives by default.
  static SignUpService live();
};

inline constexpr const char* signUpServiceKey = "signUpService";

// "signUpService", a new live record at each resolution unless another maker is registered.
wiring::Factory<SignUpService> signUpServiceFactory();

}  // namespace vadar
