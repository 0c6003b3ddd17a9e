#include "vadar/models/factor.hpp"

namespace vadar {

namespace {

void hashOptional(std::size_t& seed, const std::optional<std::string>& value) {
  hashCombine(seed, value ? 1 : 0);
  if (value) hashCombine(seed, std::hash<std::string>{}(*value));
}

}  // namespace

std::size_t Factor::hash() const {
  std::size_t seed = std::hash<std::string>{}(strategy);
  hashOptional(seed, emailAddressId);
  hashOptional(seed, phoneNumberId);
  hashOptional(seed, web3WalletId);
  hashOptional(seed, safeIdentifier);
  hashCombine(seed, primary ? (*primary ? 2 : 1) : 0);
  return seed;
}

void decodeValue(const Decoder& d, Factor& out) {
  d.expectObject();
  d.required("strategy", out.strategy);
  d.optional("email_address_id", out.emailAddressId);
  d.optional("phone_number_id", out.phoneNumberId);
  d.optional("web3_wallet_id", out.web3WalletId);
  d.optional("safe_identifier", out.safeIdentifier);
  d.optional("primary", out.primary);
}

nlohmann::json encodeValue(const Factor& value) {
  Encoder e;
  e.required("strategy", value.strategy);
  e.optional("email_address_id", value.emailAddressId);
  e.optional("phone_number_id", value.phoneNumberId);
  e.optional("web3_wallet_id", value.web3WalletId);
  e.optional("safe_identifier", value.safeIdentifier);
  e.optional("primary", value.primary);
  return std::move(e).json();
}

}  // namespace vadar
