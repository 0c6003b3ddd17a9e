#pragma once
// Verification: the state of one verification step of a sign-in or sign-up.
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "vadar/infra/coding.hpp"
#include "vadar/models/vadar_api_error.hpp"

namespace vadar {

struct Verification {
  enum class Status { unverified, verified, transferable, failed, expired, unknown };

  std::optional<Status> status;
  std::optional<std::string> strategy;
  std::optional<std::int64_t> attempts;
  std::optional<Date> expireAt;
  std::optional<VadarAPIError> error;
  std::optional<std::string> externalVerificationRedirectUrl;
  std::optional<std::string> nonce;

  friend bool operator==(const Verification&, const Verification&) = default;
  std::size_t hash() const;
};

template <>
struct TextEnum<Verification::Status> {
  using E = Verification::Status;
  static constexpr std::array<std::pair<E, std::string_view>, 6> cases{{
      {E::unverified, "unverified"},
      {E::verified, "verified"},
      {E::transferable, "transferable"},
      {E::failed, "failed"},
      {E::expired, "expired"},
      {E::unknown, "unknown"},
  }};
  static constexpr E unknown = E::unknown;
};

void decodeValue(const Decoder& d, Verification& out);
nlohmann::json encodeValue(const Verification& value);

}  // namespace vadar
