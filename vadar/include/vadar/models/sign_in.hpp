#pragma once
// SignIn: the frontend API's sign-in attempt, with its vocabulary (status, identifiers, user data) and the
// strategy types the sign-in operations take. The operations themselves come with the sign-in service.
//
// Example, given std::string_view body:
//   auto signIn = vadar::decodeJSON<vadar::SignIn>(body);
//   bool done = signIn.status == vadar::SignIn::Status::complete;
//   auto factor = signIn.firstFactor(vadar::SignIn::PrepareFirstFactorStrategy::emailCode());
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "vadar/infra/coding.hpp"
#include "vadar/models/factor.hpp"
#include "vadar/models/id_token_provider.hpp"
#include "vadar/models/oauth_provider.hpp"
#include "vadar/models/verification.hpp"

namespace vadar {

struct TransferFlowResult;

struct SignIn {
  enum class Status {
    complete, needsIdentifier, needsFirstFactor, needsSecondFactor, needsNewPassword, needsClientTrust, unknown
  };
  enum class Identifier { emailAddress, phoneNumber, web3Wallet, username, passkey, unknown };

  struct UserData {
    std::optional<std::string> firstName;
    std::optional<std::string> lastName;
    std::optional<std::string> imageUrl;
    std::optional<bool> hasImage;
    friend bool operator==(const UserData&, const UserData&) = default;
    std::size_t hash() const;
  };

  struct PrepareFirstFactorStrategy;
  struct PrepareSecondFactorStrategy;
  struct AttemptFirstFactorStrategy;
  struct AttemptSecondFactorStrategy;
  struct CreateStrategy;
  struct AuthenticateWithRedirectStrategy;
  struct ResetPasswordParams;

  std::string id;
  Status status = Status::unknown;
  std::optional<std::vector<Identifier>> supportedIdentifiers;
  std::optional<std::string> identifier;
  std::optional<std::vector<Factor>> supportedFirstFactors;
  std::optional<std::vector<Factor>> supportedSecondFactors;
  std::optional<Verification> firstFactorVerification;
  std::optional<Verification> secondFactorVerification;
  std::optional<UserData> userData;
  std::optional<std::string> createdSessionId;

  // The first supported first factor whose strategy is the strategy's text and whose safe identifier equals
  // this sign-in's identifier (two absent values match); none when there is none.
  std::optional<Factor> firstFactor(const PrepareFirstFactorStrategy& strategy) const;
  // The same over the supported second factors ("phone_code" / "email_code").
  std::optional<Factor> secondFactor(const PrepareSecondFactorStrategy& strategy) const;

  // Operations: blocking, never on the main queue; defined with the sign-in service (src/sessions/).
  static SignIn create(const CreateStrategy& strategy, std::optional<std::string> locale = std::nullopt);
  static SignIn create(const nlohmann::json& params);  // the parameters form (any encodable, as JSON)
  SignIn resetPassword(const ResetPasswordParams& params) const;
  SignIn prepareFirstFactor(const PrepareFirstFactorStrategy& strategy) const;
  SignIn attemptFirstFactor(const AttemptFirstFactorStrategy& strategy) const;
  SignIn prepareSecondFactor(const PrepareSecondFactorStrategy& strategy) const;
  SignIn attemptSecondFactor(const AttemptSecondFactorStrategy& strategy) const;
  static TransferFlowResult authenticateWithRedirect(const AuthenticateWithRedirectStrategy& strategy,
                                                     bool prefersEphemeralWebBrowserSession = false);
  TransferFlowResult authenticateWithRedirect(bool prefersEphemeralWebBrowserSession = false) const;
  std::string getCredentialForPasskey(bool autofill, bool preferImmediatelyAvailableCredentials) const;
  static TransferFlowResult authenticateWithIdToken(IDTokenProvider provider, const std::string& idToken);
  TransferFlowResult authenticateWithIdToken() const;
  SignIn get(std::optional<std::string> rotatingTokenNonce = std::nullopt) const;
  TransferFlowResult handleRedirectCallbackUrl(const std::string& callbackUrl) const;
  TransferFlowResult handleTransferFlow() const;

  // Id "1", needs identifier, identifier the first e-mail address of User::mock(), six first factors.
  static SignIn sample();

  friend bool operator==(const SignIn&, const SignIn&) = default;
  std::size_t hash() const;
};

struct SignIn::PrepareFirstFactorStrategy {
  struct EmailCode { std::optional<std::string> emailAddressId; };
  struct PhoneCode { std::optional<std::string> phoneNumberId; };
  struct OAuth { OAuthProvider provider; std::optional<std::string> redirectUrl; };
  struct EnterpriseSSO { std::optional<std::string> redirectUrl; };
  struct ResetPasswordEmailCode { std::optional<std::string> emailAddressId; };
  struct ResetPasswordPhoneCode { std::optional<std::string> phoneNumberId; };
  struct Passkey {};
  using Value = std::variant<EmailCode, PhoneCode, OAuth, EnterpriseSSO, ResetPasswordEmailCode,
                             ResetPasswordPhoneCode, Passkey>;

  static PrepareFirstFactorStrategy emailCode(std::optional<std::string> emailAddressId = std::nullopt) {
    return {EmailCode{std::move(emailAddressId)}};
  }
  static PrepareFirstFactorStrategy phoneCode(std::optional<std::string> phoneNumberId = std::nullopt) {
    return {PhoneCode{std::move(phoneNumberId)}};
  }
  static PrepareFirstFactorStrategy oauth(OAuthProvider provider,
                                          std::optional<std::string> redirectUrl = std::nullopt) {
    return {OAuth{std::move(provider), std::move(redirectUrl)}};
  }
  static PrepareFirstFactorStrategy enterpriseSSO(std::optional<std::string> redirectUrl = std::nullopt) {
    return {EnterpriseSSO{std::move(redirectUrl)}};
  }
  static PrepareFirstFactorStrategy resetPasswordEmailCode(std::optional<std::string> id = std::nullopt) {
    return {ResetPasswordEmailCode{std::move(id)}};
  }
  static PrepareFirstFactorStrategy resetPasswordPhoneCode(std::optional<std::string> id = std::nullopt) {
    return {ResetPasswordPhoneCode{std::move(id)}};
  }
  static PrepareFirstFactorStrategy passkey() { return {Passkey{}}; }

  // "email_code", "phone_code", the provider's strategy, "enterprise_sso", "reset_password_email_code",
  // "reset_password_phone_code" or "passkey".
  std::string strategy() const;

  Value value;
};

struct SignIn::PrepareSecondFactorStrategy {
  struct EmailCode { std::optional<std::string> emailAddressId; };
  struct PhoneCode {};
  using Value = std::variant<EmailCode, PhoneCode>;

  static PrepareSecondFactorStrategy emailCode(std::optional<std::string> emailAddressId = std::nullopt) {
    return {EmailCode{std::move(emailAddressId)}};
  }
  static PrepareSecondFactorStrategy phoneCode() { return {PhoneCode{}}; }

  // "email_code" or "phone_code".
  std::string strategy() const;

  Value value;
};

struct SignIn::AttemptFirstFactorStrategy {
  struct Password { std::string password; };
  struct EmailCode { std::string code; };
  struct PhoneCode { std::string code; };
  struct Passkey { std::string publicKeyCredential; };
  struct ResetPasswordEmailCode { std::string code; };
  struct ResetPasswordPhoneCode { std::string code; };
  using Value = std::variant<Password, EmailCode, PhoneCode, Passkey, ResetPasswordEmailCode, ResetPasswordPhoneCode>;

  // "password", "email_code", "phone_code", "passkey", "reset_password_email_code", "reset_password_phone_code".
  std::string strategy() const;

  Value value;
};

struct SignIn::AttemptSecondFactorStrategy {
  struct PhoneCode { std::string code; };
  struct EmailCode { std::string code; };
  struct TOTP { std::string code; };
  struct BackupCode { std::string code; };
  using Value = std::variant<PhoneCode, EmailCode, TOTP, BackupCode>;

  // "phone_code", "email_code", "totp" or "backup_code".
  std::string strategy() const;
  const std::string& code() const;

  Value value;
};

struct SignIn::CreateStrategy {
  struct EnterpriseSSO { std::string identifier; std::optional<std::string> redirectUrl; };
  struct IdToken { IDTokenProvider provider; std::string token; };
  struct Identifier {
    std::string identifier;
    std::optional<std::string> password;
    std::optional<PrepareFirstFactorStrategy> strategy;
  };
  struct OAuth { OAuthProvider provider; std::optional<std::string> redirectUrl; };
  struct Ticket { std::string ticket; };
  struct Passkey {};
  struct Transfer {};
  struct None {};
  using Value = std::variant<EnterpriseSSO, IdToken, Identifier, OAuth, Ticket, Passkey, Transfer, None>;

  Value value;
};

struct SignIn::AuthenticateWithRedirectStrategy {
  struct OAuth { OAuthProvider provider; std::optional<std::string> redirectUrl; };
  struct EnterpriseSSO { std::string identifier; std::optional<std::string> redirectUrl; };
  using Value = std::variant<OAuth, EnterpriseSSO>;

  Value value;
};

struct SignIn::ResetPasswordParams {
  std::string password;
  std::optional<bool> signOutOfOtherSessions;
};

// {"password": ..., "sign_out_of_other_sessions": ...} (the flag only when present).
nlohmann::json encodeValue(const SignIn::ResetPasswordParams& value);

template <>
struct TextEnum<SignIn::Status> {
  using E = SignIn::Status;
  static constexpr std::array<std::pair<E, std::string_view>, 7> cases{{
      {E::complete, "complete"},
      {E::needsIdentifier, "needs_identifier"},
      {E::needsFirstFactor, "needs_first_factor"},
      {E::needsSecondFactor, "needs_second_factor"},
      {E::needsNewPassword, "needs_new_password"},
      {E::needsClientTrust, "needs_client_trust"},
      {E::unknown, "unknown"},
  }};
  static constexpr E unknown = E::unknown;
};

template <>
struct TextEnum<SignIn::Identifier> {
  using E = SignIn::Identifier;
  static constexpr std::array<std::pair<E, std::string_view>, 6> cases{{
      {E::emailAddress, "email_address"},
      {E::phoneNumber, "phone_number"},
      {E::web3Wallet, "web3_wallet"},
      {E::username, "username"},
      {E::passkey, "passkey"},
      {E::unknown, "unknown"},
  }};
  static constexpr E unknown = E::unknown;
};

void decodeValue(const Decoder& d, SignIn& out);
nlohmann::json encodeValue(const SignIn& value);
void decodeValue(const Decoder& d, SignIn::UserData& out);
nlohmann::json encodeValue(const SignIn::UserData& value);

}  // namespace vadar

template <>
struct std::hash<vadar::SignIn> {
  std::size_t operator()(const vadar::SignIn& value) const { return value.hash(); }
};
