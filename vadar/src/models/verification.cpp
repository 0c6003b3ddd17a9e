#include "vadar/models/verification.hpp"

namespace vadar {

std::size_t Verification::hash() const {
  std::size_t seed = 0;
  hashCombine(seed, status ? 1 + static_cast<std::size_t>(*status) : 0);
  auto text = [&seed](const std::optional<std::string>& value) {
    hashCombine(seed, value ? 1 : 0);
    if (value) hashCombine(seed, std::hash<std::string>{}(*value));
  };
  text(strategy);
  hashCombine(seed, attempts ? 1 : 0);
  if (attempts) hashCombine(seed, std::hash<std::int64_t>{}(*attempts));
  hashCombine(seed, expireAt ? 1 : 0);
  if (expireAt) hashCombine(seed, std::hash<std::int64_t>{}(expireAt->time_since_epoch().count()));
  hashCombine(seed, error ? 1 : 0);
  if (error) hashCombine(seed, error->hash());
  text(externalVerificationRedirectUrl);
  text(nonce);
  return seed;
}

void decodeValue(const Decoder& d, Verification& out) {
  d.expectObject();
  d.optional("status", out.status);
  d.optional("strategy", out.strategy);
  d.optional("attempts", out.attempts);
  d.optional("expire_at", out.expireAt);
  d.optional("error", out.error);
  d.optional("external_verification_redirect_url", out.externalVerificationRedirectUrl);
  d.optional("nonce", out.nonce);
}

nlohmann::json encodeValue(const Verification& value) {
  Encoder e;
  e.optional("status", value.status);
  e.optional("strategy", value.strategy);
  e.optional("attempts", value.attempts);
  e.optional("expire_at", value.expireAt);
  e.optional("error", value.error);
  e.optional("external_verification_redirect_url", value.externalVerificationRedirectUrl);
  e.optional("nonce", value.nonce);
  return std::move(e).json();
}

}  // namespace vadar
