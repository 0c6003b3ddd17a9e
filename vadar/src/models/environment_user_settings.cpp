#include "vadar/models/environment_user_settings.hpp"

namespace vadar {

using US = EnvironmentUserSettings;

void decodeValue(const Decoder& d, US& out) {
  d.expectObject();
  d.required("attributes", out.attributes);
  d.required("sign_up", out.signUp);
  d.required("social", out.social);
  d.required("actions", out.actions);
  d.optional("passkey_settings", out.passkeySettings);
}

nlohmann::json encodeValue(const US& value) {
  Encoder e;
  e.required("attributes", value.attributes);
  e.required("sign_up", value.signUp);
  e.required("social", value.social);
  e.required("actions", value.actions);
  e.optional("passkey_settings", value.passkeySettings);
  return std::move(e).json();
}

void decodeValue(const Decoder& d, US::AttributesConfig& out) {
  d.expectObject();
  d.required("enabled", out.enabled);
  d.required("required", out.required);
  d.required("used_for_first_factor", out.usedForFirstFactor);
  d.optional("first_factors", out.firstFactors);
  d.required("used_for_second_factor", out.usedForSecondFactor);
  d.optional("second_factors", out.secondFactors);
  d.optional("verifications", out.verifications);
  d.required("verify_at_sign_up", out.verifyAtSignUp);
}

nlohmann::json encodeValue(const US::AttributesConfig& value) {
  Encoder e;
  e.required("enabled", value.enabled);
  e.required("required", value.required);
  e.required("used_for_first_factor", value.usedForFirstFactor);
  e.optional("first_factors", value.firstFactors);
  e.required("used_for_second_factor", value.usedForSecondFactor);
  e.optional("second_factors", value.secondFactors);
  e.optional("verifications", value.verifications);
  e.required("verify_at_sign_up", value.verifyAtSignUp);
  return std::move(e).json();
}

void decodeValue(const Decoder& d, US::SignUp& out) {
  d.expectObject();
  d.required("custom_action_required", out.customActionRequired);
  d.required("progressive", out.progressive);
  d.required("mode", out.mode);
  d.required("legal_consent_enabled", out.legalConsentEnabled);
}

nlohmann::json encodeValue(const US::SignUp& value) {
  Encoder e;
  e.required("custom_action_required", value.customActionRequired);
  e.required("progressive", value.progressive);
  e.required("mode", value.mode);
  e.required("legal_consent_enabled", value.legalConsentEnabled);
  return std::move(e).json();
}

void decodeValue(const Decoder& d, US::SocialConfig& out) {
  d.expectObject();
  d.required("enabled", out.enabled);
  d.required("required", out.required);
  d.required("authenticatable", out.authenticatable);
  d.required("strategy", out.strategy);
  d.required("not_selectable", out.notSelectable);
  d.required("name", out.name);
  d.optional("logo_url", out.logoUrl);
}

nlohmann::json encodeValue(const US::SocialConfig& value) {
  Encoder e;
  e.required("enabled", value.enabled);
  e.required("required", value.required);
  e.required("authenticatable", value.authenticatable);
  e.required("strategy", value.strategy);
  e.required("not_selectable", value.notSelectable);
  e.required("name", value.name);
  e.optional("logo_url", value.logoUrl);
  return std::move(e).json();
}

void decodeValue(const Decoder& d, US::Actions& out) {
  d.expectObject();
  d.required("delete_self", out.deleteSelf);
  d.required("create_organization", out.createOrganization);
}

nlohmann::json encodeValue(const US::Actions& value) {
  Encoder e;
  e.required("delete_self", value.deleteSelf);
  e.required("create_organization", value.createOrganization);
  return std::move(e).json();
}

void decodeValue(const Decoder& d, US::PasskeySettings& out) {
  d.expectObject();
  d.required("allow_autofill", out.allowAutofill);
  d.required("show_sign_in_button", out.showSignInButton);
}

nlohmann::json encodeValue(const US::PasskeySettings& value) {
  Encoder e;
  e.required("allow_autofill", value.allowAutofill);
  e.required("show_sign_in_button", value.showSignInButton);
  return std::move(e).json();
}

US US::sample() {
  US settings;
  struct Row {
    const char* name;
    bool enabled, firstFactor, secondFactor, verifyAtSignUp;
  };
  static constexpr Row rows[] = {
      {"email_address", true, true, false, true},  {"phone_number", true, true, true, true},
      {"username", true, true, false, false},      {"first_name", true, false, false, false},
      {"last_name", true, false, false, false},    {"password", true, true, false, true},
      {"passkey", true, true, false, true},        {"authenticator_app", true, false, true, true},
      {"backup_code", true, false, true, true},
  };
  for (const auto& row : rows) {
    AttributesConfig attribute;
    attribute.enabled = row.enabled;
    attribute.required = false;
    attribute.usedForFirstFactor = row.firstFactor;
    attribute.usedForSecondFactor = row.secondFactor;
    attribute.verifyAtSignUp = row.verifyAtSignUp;
    settings.attributes.emplace(row.name, attribute);
  }
  settings.signUp = SignUp{false, false, "", true};
  for (const auto& [strategy, name] : {std::pair{"oauth_google", "Google"}, std::pair{"oauth_apple", "Apple"},
                                       std::pair{"oauth_slack", "Slack"}}) {
    SocialConfig social{true, false, true, strategy, false, name, std::string()};
    settings.social.emplace(strategy, social);
  }
  settings.actions = Actions{true, true};
  settings.passkeySettings = PasskeySettings{true, true};
  return settings;
}

}  // namespace vadar
