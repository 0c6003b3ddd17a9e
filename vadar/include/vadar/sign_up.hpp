#pragma once
// SignUp: the frontend API's sign-up attempt. The fields the library reads are typed; every other member
// received is kept as sent in `otherMembers`, so equality and round trips lose nothing.
#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "vadar/coding.hpp"
#include "vadar/json.hpp"

namespace vadar {

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
