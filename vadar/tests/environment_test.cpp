#include <gtest/gtest.h>

#include "vadar/models/environment.hpp"

namespace vadar {
namespace {

using Mode = VadarEnvironment::FraudSettings::Native::DeviceAttestationMode;
using Strategy = VadarEnvironment::DisplayConfig::PreferredSignInStrategy;

TEST(EnvironmentRecord, EmptyObjectIsTheEmptyEnvironment) {
  const auto environment = decodeJSON<VadarEnvironment>("{}");
  EXPECT_TRUE(environment.isEmpty());
  EXPECT_EQ(encodeJSON(environment), "{}");
  EXPECT_FALSE(decodeJSON<VadarEnvironment>(R"({"fraud_settings":{"native":{"device_attestation_mode":"enforced"}}})")
                   .isEmpty());
  EXPECT_THROW(decodeJSON<VadarEnvironment>(R"({"fraud_settings":{}})"), DecodingError);
}

TEST(EnvironmentRecord, EveryFieldTravelsUnderItsWireName) {
  const char* text = R"({"auth_config":{"single_session_mode":true},
    "display_config":{"application_name":"Acme Co","branded":false,"home_url":"https://acme.example.com",
      "instance_environment_type":"production","logo_image_url":"https://img.example.com/logo.png",
      "preferred_sign_in_strategy":"password","privacy_policy_url":"https://acme.example.com/privacy",
      "support_email":"help@acme.example.com","terms_url":"https://acme.example.com/terms"},
    "fraud_settings":{"native":{"device_attestation_mode":"onboarding"}}})";
  const auto environment = decodeJSON<VadarEnvironment>(text);
  EXPECT_TRUE(environment.authConfig->singleSessionMode);
  EXPECT_EQ(environment.displayConfig->instanceEnvironmentType, InstanceEnvironmentType::production);
  EXPECT_EQ(environment.displayConfig->preferredSignInStrategy, Strategy::password);
  EXPECT_EQ(environment.displayConfig->supportEmail, "help@acme.example.com");
  EXPECT_EQ(environment.fraudSettings->native.deviceAttestationMode, Mode::onboarding);
  EXPECT_FALSE(environment.userSettings);
  EXPECT_EQ(toJSON(environment), nlohmann::json::parse(text));

  const auto sample = toJSON(VadarEnvironment::sample());
  EXPECT_EQ(sample["display_config"]["preferred_sign_in_strategy"], "otp");
  EXPECT_EQ(sample["display_config"]["instance_environment_type"], "development");
  EXPECT_EQ(sample["display_config"]["application_name"], "Acme Co");
  EXPECT_FALSE(sample.contains("fraud_settings"));
}

TEST(EnvironmentEnumerations, UnknownTextsDecodeToUnknownButFromRawIsExact) {
  const auto environment = decodeJSON<VadarEnvironment>(
      R"({"display_config":{"instance_environment_type":"staging","application_name":"App",
          "preferred_sign_in_strategy":"email_code","branded":true,"logo_image_url":"","home_url":""},
          "fraud_settings":{"native":{"device_attestation_mode":"Enforced"}}})");
  EXPECT_EQ(environment.displayConfig->instanceEnvironmentType, InstanceEnvironmentType::unknown);
  EXPECT_EQ(environment.displayConfig->preferredSignInStrategy, Strategy::unknown);
  EXPECT_EQ(environment.fraudSettings->native.deviceAttestationMode, Mode::unknown);
  EXPECT_FALSE(fromRaw<InstanceEnvironmentType>("Production"));
  EXPECT_EQ(fromRaw<InstanceEnvironmentType>("production"), InstanceEnvironmentType::production);
  EXPECT_THROW(decodeJSON<VadarEnvironment>(R"({"fraud_settings":{"native":{"device_attestation_mode":1}}})"),
               DecodingError);
}

TEST(EnvironmentUserSettingsRecord, MapsKeepMemberNamesAndOptionalListsStayDistinct) {
  const char* text = R"({"attributes":{"email_address":{"enabled":true,"required":false,"used_for_first_factor":true,
      "used_for_second_factor":false,"verify_at_sign_up":true,"first_factors":[]},
      "authenticator_app":{"enabled":true,"required":false,"used_for_first_factor":false,
      "used_for_second_factor":true,"verify_at_sign_up":false}},
    "sign_up":{"custom_action_required":false,"progressive":true,"mode":"public","legal_consent_enabled":false},
    "social":{"oauth_google":{"enabled":true,"required":false,"authenticatable":true,"strategy":"oauth_google",
      "not_selectable":false,"name":"Google"}},
    "actions":{"delete_self":true,"create_organization":false},"passkey_settings":null})";
  const auto settings = decodeJSON<EnvironmentUserSettings>(text);
  EXPECT_EQ(settings.attributes.at("email_address").firstFactors, std::vector<std::string>{});
  EXPECT_FALSE(settings.attributes.at("authenticator_app").firstFactors);
  const auto json = toJSON(settings);
  EXPECT_FALSE(json["attributes"]["authenticator_app"].contains("first_factors"));
  EXPECT_EQ(json["attributes"]["email_address"]["first_factors"], nlohmann::json::array());
  EXPECT_FALSE(json.contains("passkey_settings"));
  EXPECT_EQ(decodeJSON<EnvironmentUserSettings>(json.dump()), settings);
  EXPECT_THROW(decodeJSON<EnvironmentUserSettings>(R"({"attributes":{},"social":{},"actions":{}})"), DecodingError);
}

}  // namespace
}  // namespace vadar
