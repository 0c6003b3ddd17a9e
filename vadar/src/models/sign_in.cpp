#include "vadar/models/sign_in.hpp"

#include "vadar/models/user.hpp"

namespace vadar {

namespace {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

void hashText(std::size_t& seed, const std::optional<std::string>& value) {
  hashCombine(seed, value ? 1 : 0);
  if (value) hashCombine(seed, std::hash<std::string>{}(*value));
}

std::optional<Factor> findFactor(const std::optional<std::vector<Factor>>& factors, const std::string& strategy,
                                 const std::optional<std::string>& identifier) {
  if (!factors) return std::nullopt;
  for (const auto& factor : *factors)
    if (factor.strategy == strategy && factor.safeIdentifier == identifier) return factor;
  return std::nullopt;
}

}  // namespace

std::string SignIn::PrepareFirstFactorStrategy::strategy() const {
  return std::visit(Overloaded{
                        [](const EmailCode&) { return std::string("email_code"); },
                        [](const PhoneCode&) { return std::string("phone_code"); },
                        [](const OAuth& o) { return o.provider.strategy(); },
                        [](const EnterpriseSSO&) { return std::string("enterprise_sso"); },
                        [](const ResetPasswordEmailCode&) { return std::string("reset_password_email_code"); },
                        [](const ResetPasswordPhoneCode&) { return std::string("reset_password_phone_code"); },
                        [](const Passkey&) { return std::string("passkey"); },
                    },
                    value);
}

std::string SignIn::PrepareSecondFactorStrategy::strategy() const {
  return std::holds_alternative<EmailCode>(value) ? "email_code" : "phone_code";
}

std::string SignIn::AttemptFirstFactorStrategy::strategy() const {
  return std::visit(Overloaded{
                        [](const Password&) { return std::string("password"); },
                        [](const EmailCode&) { return std::string("email_code"); },
                        [](const PhoneCode&) { return std::string("phone_code"); },
                        [](const Passkey&) { return std::string("passkey"); },
                        [](const ResetPasswordEmailCode&) { return std::string("reset_password_email_code"); },
                        [](const ResetPasswordPhoneCode&) { return std::string("reset_password_phone_code"); },
                    },
                    value);
}

std::string SignIn::AttemptSecondFactorStrategy::strategy() const {
  return std::visit(Overloaded{
                        [](const PhoneCode&) { return std::string("phone_code"); },
                        [](const EmailCode&) { return std::string("email_code"); },
                        [](const TOTP&) { return std::string("totp"); },
                        [](const BackupCode&) { return std::string("backup_code"); },
                    },
                    value);
}

const std::string& SignIn::AttemptSecondFactorStrategy::code() const {
  return std::visit([](const auto& v) -> const std::string& { return v.code; }, value);
}

std::optional<Factor> SignIn::firstFactor(const PrepareFirstFactorStrategy& strategy) const {
  return findFactor(supportedFirstFactors, strategy.strategy(), identifier);
}

std::optional<Factor> SignIn::secondFactor(const PrepareSecondFactorStrategy& strategy) const {
  return findFactor(supportedSecondFactors, strategy.strategy(), identifier);
}

std::size_t SignIn::UserData::hash() const {
  std::size_t seed = 0;
  hashText(seed, firstName);
  hashText(seed, lastName);
  hashText(seed, imageUrl);
  hashCombine(seed, hasImage ? (*hasImage ? 2 : 1) : 0);
  return seed;
}

std::size_t SignIn::hash() const {
  std::size_t seed = std::hash<std::string>{}(id);
  hashCombine(seed, std::hash<std::string_view>{}(rawValue(status)));
  hashCombine(seed, supportedIdentifiers ? 1 : 0);
  if (supportedIdentifiers)
    for (auto identifierCase : *supportedIdentifiers)
      hashCombine(seed, std::hash<std::string_view>{}(rawValue(identifierCase)));
  hashText(seed, identifier);
  for (const auto* factors : {&supportedFirstFactors, &supportedSecondFactors}) {
    hashCombine(seed, *factors ? 1 : 0);
    if (*factors)
      for (const auto& factor : **factors) hashCombine(seed, factor.hash());
  }
  for (const auto* verification : {&firstFactorVerification, &secondFactorVerification}) {
    hashCombine(seed, *verification ? 1 : 0);
    if (*verification) hashCombine(seed, (*verification)->hash());
  }
  hashCombine(seed, userData ? 1 : 0);
  if (userData) hashCombine(seed, userData->hash());
  hashText(seed, createdSessionId);
  return seed;
}

void decodeValue(const Decoder& d, SignIn::UserData& out) {
  d.expectObject();
  d.optional("first_name", out.firstName);
  d.optional("last_name", out.lastName);
  d.optional("image_url", out.imageUrl);
  d.optional("has_image", out.hasImage);
}

nlohmann::json encodeValue(const SignIn::UserData& value) {
  Encoder e;
  e.optional("first_name", value.firstName);
  e.optional("last_name", value.lastName);
  e.optional("image_url", value.imageUrl);
  e.optional("has_image", value.hasImage);
  return std::move(e).json();
}

void decodeValue(const Decoder& d, SignIn& out) {
  d.expectObject();
  d.required("id", out.id);
  d.required("status", out.status);
  d.optional("supported_identifiers", out.supportedIdentifiers);
  d.optional("identifier", out.identifier);
  d.optional("supported_first_factors", out.supportedFirstFactors);
  d.optional("supported_second_factors", out.supportedSecondFactors);
  d.optional("first_factor_verification", out.firstFactorVerification);
  d.optional("second_factor_verification", out.secondFactorVerification);
  d.optional("user_data", out.userData);
  d.optional("created_session_id", out.createdSessionId);
}

nlohmann::json encodeValue(const SignIn& value) {
  Encoder e;
  e.required("id", value.id);
  e.required("status", value.status);
  e.optional("supported_identifiers", value.supportedIdentifiers);
  e.optional("identifier", value.identifier);
  e.optional("supported_first_factors", value.supportedFirstFactors);
  e.optional("supported_second_factors", value.supportedSecondFactors);
  e.optional("first_factor_verification", value.firstFactorVerification);
  e.optional("second_factor_verification", value.secondFactorVerification);
  e.optional("user_data", value.userData);
  e.optional("created_session_id", value.createdSessionId);
  return std::move(e).json();
}

nlohmann::json encodeValue(const SignIn::ResetPasswordParams& value) {
  Encoder e;
  e.required("password", value.password);
  e.optional("sign_out_of_other_sessions", value.signOutOfOtherSessions);
  return std::move(e).json();
}

SignIn SignIn::sample() {
  SignIn signIn;
  signIn.id = "1";
  signIn.status = Status::needsIdentifier;
  signIn.supportedIdentifiers = std::vector<Identifier>{Identifier::emailAddress, Identifier::phoneNumber};
  const User user = User::mock();
  if (!user.emailAddresses.empty()) signIn.identifier = user.emailAddresses.front().emailAddress;
  std::vector<Factor> factors;
  for (const char* strategy : {"email_code", "phone_code", "oauth_google", "oauth_apple", "passkey", "password"})
    factors.push_back(Factor{strategy, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt});
  signIn.supportedFirstFactors = std::move(factors);
  Verification verification;
  verification.status = Verification::Status::unverified;
  verification.strategy = "email_code";
  verification.expireAt = dateSinceReferenceDate(1'234'567'890);
  signIn.firstFactorVerification = verification;
  return signIn;
}

}  // namespace vadar
