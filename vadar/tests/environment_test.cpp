#include <gtest/gtest.h>

#include "vadar/environment.hpp"

namespace vadar {
namespace {

using Mode = VadarEnvironment::FraudSettings::Native::DeviceAttestationMode;
using Strategy = VadarEnvironment::DisplayConfig::PreferredSignInStrategy;

constexpr const char* displayConfig = R"({"instance_environment_type":"production","application_name":"App",
  "preferred_sign_in_strategy":"password","branded":false,"logo_image_url":"l","home_url":"h"})";

TEST(EnvironmentRecord, EmptyObjectIsTheEmptyEnvironment) {
  const auto environment = decodeJSON<VadarEnvironment>("{}");
  EXPECT_TRUE(environment.isEmpty());
  EXPECT_EQ(encodeJSON(environment), "{}");
  const auto fraudOnly = decodeJSON<VadarEnvironment>(R"({"fraud_settings":{"native":{"device_attestation_mode":"enforced"}}})");
  EXPECT_FALSE(fraudOnly.isEmpty());
  EXPECT_EQ(fraudOnly.fraudSettings->native.deviceAttestationMode, Mode::enforced);
}

TEST(EnvironmentRecord, SampleRoundTrips) {
  const auto sample = VadarEnvironment::sample();
  EXPECT_FALSE(sample.fraudSettings);
  const auto wire = encodeJSON(sample);
  EXPECT_EQ(decodeJSON<VadarEnvironment>(wire), sample);
  EXPECT_EQ(encodeJSON(decodeJSON<VadarEnvironment>(wire)), wire);
  const auto json = toJSON(sample);
  EXPECT_EQ(json["display_config"]["preferred_sign_in_strategy"], "otp");
  EXPECT_EQ(json["display_config"]["instance_environment_type"], "development");
  EXPECT_EQ(json["user_settings"]["social"]["oauth_google"]["logo_url"], "");
  EXPECT_EQ(json["user_settings"]["attributes"]["authenticator_app"]["used_for_second_factor"], true);
  EXPECT_FALSE(json["user_settings"]["attributes"]["email_address"].contains("first_factors"));
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
  EXPECT_EQ(fromRaw<Mode>("unknown"), Mode::unknown);
  EXPECT_EQ(rawValue(Mode::onboarding), "onboarding");
  EXPECT_THROW(decodeJSON<VadarEnvironment>(R"({"fraud_settings":{"native":{"device_attestation_mode":1}}})"),
               DecodingError);
}

TEST(EnvironmentRecord, OptionalAndRequiredDisplayMembers) {
  const auto environment = decodeJSON<VadarEnvironment>(std::string(R"({"display_config":)") + displayConfig + "}");
  EXPECT_FALSE(environment.displayConfig->supportEmail);
  EXPECT_FALSE(toJSON(environment)["display_config"].contains("support_email"));
  nlohmann::json withNull = nlohmann::json::parse(displayConfig);
  withNull["support_email"] = nullptr;
  EXPECT_FALSE(fromJSON<VadarEnvironment::DisplayConfig>(withNull).supportEmail);
  withNull["home_url"] = nullptr;
  EXPECT_THROW(fromJSON<VadarEnvironment::DisplayConfig>(withNull), DecodingError);
  nlohmann::json missing = nlohmann::json::parse(displayConfig);
  missing.erase("application_name");
  EXPECT_THROW(fromJSON<VadarEnvironment::DisplayConfig>(missing), DecodingError);
  EXPECT_THROW(decodeJSON<VadarEnvironment>(R"({"fraud_settings":{}})"), DecodingError);
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
  ASSERT_TRUE(settings.attributes.count("email_address"));
  ASSERT_TRUE(settings.attributes.count("authenticator_app"));
  EXPECT_EQ(settings.attributes.at("email_address").firstFactors, std::vector<std::string>{});
  EXPECT_FALSE(settings.attributes.at("authenticator_app").firstFactors);
  EXPECT_NE(settings.attributes.at("email_address"), [&] {
    auto copy = settings.attributes.at("email_address");
    copy.firstFactors.reset();
    return copy;
  }());
  EXPECT_FALSE(settings.social.at("oauth_google").logoUrl);
  EXPECT_FALSE(settings.passkeySettings);
  const auto json = toJSON(settings);
  EXPECT_TRUE(json["attributes"].contains("authenticator_app"));
  EXPECT_FALSE(json["attributes"]["authenticator_app"].contains("first_factors"));
  EXPECT_EQ(json["attributes"]["email_address"]["first_factors"], nlohmann::json::array());
  EXPECT_FALSE(json["social"]["oauth_google"].contains("logo_url"));
  EXPECT_FALSE(json.contains("passkey_settings"));
  EXPECT_EQ(decodeJSON<EnvironmentUserSettings>(json.dump()), settings);

  VadarEnvironment environment;
  environment.userSettings = decodeJSON<EnvironmentUserSettings>(
      R"({"attributes":{},"sign_up":{"custom_action_required":false,"progressive":false,"mode":"",
          "legal_consent_enabled":false},"social":{},"actions":{"delete_self":false,"create_organization":false}})");
  EXPECT_FALSE(environment.isEmpty());
  EXPECT_THROW(decodeJSON<EnvironmentUserSettings>(R"({"attributes":{},"social":{},"actions":{}})"), DecodingError);
  nlohmann::json badPasskeys = json;
  badPasskeys["passkey_settings"] = {{"allow_autofill", true}};
  EXPECT_THROW(fromJSON<EnvironmentUserSettings>(badPasskeys), DecodingError);
}

}  // namespace
}  // namespace vadar
