#include "vadar/models/environment.hpp"

namespace vadar {

void decodeValue(const Decoder& d, VadarEnvironment& out) {
  d.expectObject();
  d.optional("auth_config", out.authConfig);
  d.optional("user_settings", out.userSettings);
  d.optional("display_config", out.displayConfig);
  d.optional("fraud_settings", out.fraudSettings);
}

nlohmann::json encodeValue(const VadarEnvironment& value) {
  Encoder e;
  e.optional("auth_config", value.authConfig);
  e.optional("user_settings", value.userSettings);
  e.optional("display_config", value.displayConfig);
  e.optional("fraud_settings", value.fraudSettings);
  return std::move(e).json();
}

void decodeValue(const Decoder& d, VadarEnvironment::AuthConfig& out) {
  d.expectObject();
  d.required("single_session_mode", out.singleSessionMode);
}

nlohmann::json encodeValue(const VadarEnvironment::AuthConfig& value) {
  Encoder e;
  e.required("single_session_mode", value.singleSessionMode);
  return std::move(e).json();
}

void decodeValue(const Decoder& d, VadarEnvironment::DisplayConfig& out) {
  d.expectObject();
  d.required("instance_environment_type", out.instanceEnvironmentType);
  d.required("application_name", out.applicationName);
  d.required("preferred_sign_in_strategy", out.preferredSignInStrategy);
  d.optional("support_email", out.supportEmail);
  d.required("branded", out.branded);
  d.required("logo_image_url", out.logoImageUrl);
  d.required("home_url", out.homeUrl);
  d.optional("privacy_policy_url", out.privacyPolicyUrl);
  d.optional("terms_url", out.termsUrl);
}

nlohmann::json encodeValue(const VadarEnvironment::DisplayConfig& value) {
  Encoder e;
  e.required("instance_environment_type", value.instanceEnvironmentType);
  e.required("application_name", value.applicationName);
  e.required("preferred_sign_in_strategy", value.preferredSignInStrategy);
  e.optional("support_email", value.supportEmail);
  e.required("branded", value.branded);
  e.required("logo_image_url", value.logoImageUrl);
  e.required("home_url", value.homeUrl);
  e.optional("privacy_policy_url", value.privacyPolicyUrl);
  e.optional("terms_url", value.termsUrl);
  return std::move(e).json();
}

void decodeValue(const Decoder& d, VadarEnvironment::FraudSettings& out) {
  d.expectObject();
  d.required("native", out.native);
}

nlohmann::json encodeValue(const VadarEnvironment::FraudSettings& value) {
  Encoder e;
  e.required("native", value.native);
  return std::move(e).json();
}

void decodeValue(const Decoder& d, VadarEnvironment::FraudSettings::Native& out) {
  d.expectObject();
  d.required("device_attestation_mode", out.deviceAttestationMode);
}

nlohmann::json encodeValue(const VadarEnvironment::FraudSettings::Native& value) {
  Encoder e;
  e.required("device_attestation_mode", value.deviceAttestationMode);
  return std::move(e).json();
}

VadarEnvironment VadarEnvironment::sample() {
  VadarEnvironment environment;
  environment.authConfig = AuthConfig{false};
  environment.userSettings = UserSettings::sample();
  DisplayConfig display;
  display.instanceEnvironmentType = InstanceEnvironmentType::development;
  display.applicationName = "Acme Co";
  display.preferredSignInStrategy = DisplayConfig::PreferredSignInStrategy::otp;
  display.supportEmail = "support@example.com";
  display.branded = true;
  display.logoImageUrl = "";
  display.homeUrl = "";
  display.privacyPolicyUrl = "privacy";
  display.termsUrl = "terms";
  environment.displayConfig = display;
  return environment;
}

}  // namespace vadar
