#pragma once
// SignUp: the frontend API's sign-up attempt. The fields the library reads are typed; every other member
// received is kept as sent in `otherMembers`, so equality and round trips lose nothing.
#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "vadar/infra/coding.hpp"
#include "vadar/models/id_token_provider.hpp"
#include "vadar/infra/json.hpp"

namespace vadar {

struct TransferFlowResult;

struct SignUp {
  enum class Status { abandoned, missingRequirements, complete, unknown };
  // Defined with the sign-up service (sign_up_service.hpp).
  struct CreateStrategy;

  std::string id;
  Status status = Status::unknown;
  std::optional<std::string> emailAddress;
  std::optional<std::string> phoneNumber;
  std::optional<std::string> username;
  std::optional<std::string> firstName;
  std::optional<std::string> lastName;
  std::optional<std::string> createdSessionId;
  std::optional<std::string> createdUserId;
  std::map<std::string, JSON> otherMembers;  // every member not named above, as sent

  // Signs up with an ID token the app obtained natively (the strategy "oauth_token_apple" for Apple). When the
  // answer's external-account verification is "transferable" (the account already exists on the instance),
  // the sign-up is transferred back to a sign-in, which is the result; otherwise the sign-up is. Blocking;
  // never on the main queue.
  static TransferFlowResult authenticateWithIdToken(IDTokenProvider provider, const std::string& idToken,
                                                    std::optional<std::string> firstName = std::nullopt,
                                                    std::optional<std::string> lastName = std::nullopt);

  // The sample sign-up: id "1", status missing requirements, nothing else.
  static SignUp sample();

  friend bool operator==(const SignUp&, const SignUp&) = default;
};

template <>
struct TextEnum<SignUp::Status> {
  using E = SignUp::Status;
  static constexpr std::array<std::pair<E, std::string_view>, 4> cases{{
      {E::abandoned, "abandoned"},
      {E::missingRequirements, "missing_requirements"},
      {E::complete, "complete"},
      {E::unknown, "unknown"},
  }};
  static constexpr E unknown = E::unknown;
};

void decodeValue(const Decoder& d, SignUp& out);
nlohmann::json encodeValue(const SignUp& value);

}  // namespace vadar
