#pragma once
// Factor: one way to complete a step of a sign-in ("password", "email_code", "oauth_google", ...), as the
// frontend API offers it in a sign-in's supported first and second factors.
#include <cstddef>
#include <optional>
#include <string>

#include "vadar/infra/coding.hpp"

namespace vadar {

struct Factor {
  std::string strategy;
  std::optional<std::string> emailAddressId;
  std::optional<std::string> phoneNumberId;
  std::optional<std::string> web3WalletId;
  std::optional<std::string> safeIdentifier;  // the identifier the factor is for, as the API shows it
  std::optional<bool> primary;

  friend bool operator==(const Factor&, const Factor&) = default;
  std::size_t hash() const;
};

void decodeValue(const Decoder& d, Factor& out);
nlohmann::json encodeValue(const Factor& value);

}  // namespace vadar

template <>
struct std::hash<vadar::Factor> {
  std::size_t operator()(const vadar::Factor& value) const { return value.hash(); }
};
