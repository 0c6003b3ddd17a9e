#include <gtest/gtest.h>

#include "vadar/models/sign_in.hpp"
#include "vadar/models/user.hpp"

namespace vadar {
namespace {

using FirstFactor = SignIn::PrepareFirstFactorStrategy;
using SecondFactor = SignIn::PrepareSecondFactorStrategy;

Factor factor(std::string strategy, std::optional<std::string> safeIdentifier = std::nullopt,
              std::optional<std::string> emailAddressId = std::nullopt) {
  return Factor{std::move(strategy), std::move(emailAddressId), std::nullopt, std::nullopt, std::move(safeIdentifier),
                std::nullopt};
}

TEST(SignInRecord, TheSampleTravelsAsWrittenOut) {
  const char* text = R"({"first_factor_verification":{"expire_at":2212875090000,"status":"unverified",
      "strategy":"email_code"},"id":"1","identifier":"ann.li@example.com","status":"needs_identifier",
    "supported_first_factors":[{"strategy":"email_code"},{"strategy":"phone_code"},{"strategy":"oauth_google"},
      {"strategy":"oauth_apple"},{"strategy":"passkey"},{"strategy":"password"}],
    "supported_identifiers":["email_address","phone_number"]})";
  EXPECT_EQ(toJSON(SignIn::sample()), nlohmann::json::parse(text));
  EXPECT_EQ(decodeJSON<SignIn>(text), SignIn::sample());
}

TEST(SignInRecord, IdAndStatusAreRequiredAndUnknownTextsFallBack) {
  EXPECT_EQ(encodeJSON(decodeJSON<SignIn>(R"({"id":"si","status":"needs_first_factor","identifier":null})")),
            R"({"id":"si","status":"needs_first_factor"})");
  EXPECT_THROW(decodeJSON<SignIn>(R"({"status":"complete"})"), DecodingError);
  EXPECT_THROW(decodeJSON<SignIn>(R"({"id":"si"})"), DecodingError);
  EXPECT_THROW(decodeJSON<SignIn>(R"({"id":"si","status":"complete","supported_first_factors":[{}]})"),
               DecodingError);
  EXPECT_EQ(decodeJSON<SignIn>(R"({"id":"si","status":"needs_passkey_upgrade","supported_identifiers":["x","username"]})")
                .supportedIdentifiers,
            (std::vector<SignIn::Identifier>{SignIn::Identifier::unknown, SignIn::Identifier::username}));
  EXPECT_EQ(decodeJSON<SignIn>(R"({"id":"si","status":"needs_passkey_upgrade"})").status, SignIn::Status::unknown);
  EXPECT_FALSE(fromRaw<SignIn::Status>("Complete"));
  EXPECT_EQ(fromRaw<SignIn::Status>("needs_client_trust"), SignIn::Status::needsClientTrust);
}

TEST(SignInRecord, VerificationWithAnErrorRoundTrips) {
  const auto signIn = decodeJSON<SignIn>(
      R"({"id":"si","status":"needs_first_factor","first_factor_verification":{"status":"transferable",
          "strategy":"oauth_apple","attempts":2,"expire_at":1700000000000,
          "error":{"code":"external_account_not_found","long_message":"Not found"},
          "external_verification_redirect_url":"https://idp.example/auth","nonce":"{\"challenge\":\"abc\"}"},
          "second_factor_verification":{"status":"weird"},
          "user_data":{"first_name":"Ann","has_image":false}})");
  EXPECT_EQ(signIn.firstFactorVerification->status, Verification::Status::transferable);
  EXPECT_EQ(signIn.firstFactorVerification->error->code, "external_account_not_found");
  EXPECT_EQ(signIn.secondFactorVerification->status, Verification::Status::unknown);
  EXPECT_EQ(decodeJSON<SignIn>(encodeJSON(signIn)), signIn);
}

TEST(SignInFactorLookup, MatchesStrategyAndSafeIdentifier) {
  SignIn signIn;
  signIn.supportedFirstFactors = std::vector<Factor>{factor("email_code", "other@example.com", "idn_other"),
                                                     factor("email_code", std::nullopt, "idn_none"),
                                                     factor("email_code", "ann@example.com", "idn_ann"),
                                                     factor("oauth_google"), factor("reset_password_email_code")};
  EXPECT_EQ(signIn.firstFactor(FirstFactor::emailCode())->emailAddressId, "idn_none");
  signIn.identifier = "ann@example.com";
  EXPECT_EQ(signIn.firstFactor(FirstFactor::emailCode("ignored"))->emailAddressId, "idn_ann");
  EXPECT_FALSE(signIn.firstFactor(FirstFactor::oauth(OAuthProvider::google)));
  signIn.identifier.reset();
  EXPECT_TRUE(signIn.firstFactor(FirstFactor::oauth(OAuthProvider::google)));
  EXPECT_FALSE(signIn.firstFactor(FirstFactor::oauth(OAuthProvider::custom("oauth_acme"))));
  EXPECT_FALSE(signIn.firstFactor(FirstFactor::passkey()));
  EXPECT_FALSE(SignIn().firstFactor(FirstFactor::emailCode()));

  signIn.supportedSecondFactors = std::vector<Factor>{factor("phone_code"), factor("email_code", std::nullopt, "e")};
  EXPECT_EQ(signIn.secondFactor(SecondFactor::emailCode())->emailAddressId, "e");
  EXPECT_EQ(signIn.secondFactor(SecondFactor::phoneCode())->strategy, "phone_code");
}

}  // namespace
}  // namespace vadar
