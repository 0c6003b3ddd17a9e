#pragma once
// The instance environment's user settings (`Vadar::Environment::UserSettings`): user attributes, sign-up rules,
// social providers, self-service actions and passkey options. The two maps keep their member names exactly
// as sent ("email_address", "oauth_google"); only record members are snake-case.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "vadar/infra/coding.hpp"

namespace vadar {

struct EnvironmentUserSettings {
  struct AttributesConfig {
    bool enabled = false;
    bool required = false;
    bool usedForFirstFactor = false;
    std::optional<std::vector<std::string>> firstFactors;
    bool usedForSecondFactor = false;
    std::optional<std::vector<std::string>> secondFactors;
    std::optional<std::vector<std::string>> verifications;
    bool verifyAtSignUp = false;
    friend bool operator==(const AttributesConfig&, const AttributesConfig&) = default;
  };

  struct SignUp {
    bool customActionRequired = false;
    bool progressive = false;
    std::string mode;
    bool legalConsentEnabled = false;
    friend bool operator==(const SignUp&, const SignUp&) = default;
  };

  struct SocialConfig {
    bool enabled = false;
    bool required = false;
    bool authenticatable = false;
    std::string strategy;  // e.g. "oauth_google"; the OAuth provider table matches on it
    bool notSelectable = false;
    std::string name;
    std::optional<std::string> logoUrl;
    friend bool operator==(const SocialConfig&, const SocialConfig&) = default;
  };

  struct Actions {
    bool deleteSelf = false;
    bool createOrganization = false;
    friend bool operator==(const Actions&, const Actions&) = default;
  };

  struct PasskeySettings {
    bool allowAutofill = false;
    bool showSignInButton = false;
    friend bool operator==(const PasskeySettings&, const PasskeySettings&) = default;
  };

  std::map<std::string, AttributesConfig> attributes;
  SignUp signUp;
  std::map<std::string, SocialConfig> social;
  Actions actions;
  std::optional<PasskeySettings> passkeySettings;

  // The user settings of the sample environment.
  static EnvironmentUserSettings sample();

  friend bool operator==(const EnvironmentUserSettings&, const EnvironmentUserSettings&) = default;
};

void decodeValue(const Decoder& d, EnvironmentUserSettings& out);
nlohmann::json encodeValue(const EnvironmentUserSettings& value);
void decodeValue(const Decoder& d, EnvironmentUserSettings::AttributesConfig& out);
nlohmann::json encodeValue(const EnvironmentUserSettings::AttributesConfig& value);
void decodeValue(const Decoder& d, EnvironmentUserSettings::SignUp& out);
nlohmann::json encodeValue(const EnvironmentUserSettings::SignUp& value);
void decodeValue(const Decoder& d, EnvironmentUserSettings::SocialConfig& out);
nlohmann::json encodeValue(const EnvironmentUserSettings::SocialConfig& value);
void decodeValue(const Decoder& d, EnvironmentUserSettings::Actions& out);
nlohmann::json encodeValue(const EnvironmentUserSettings::Actions& value);
void decodeValue(const Decoder& d, EnvironmentUserSettings::PasskeySettings& out);
nlohmann::json encodeValue(const EnvironmentUserSettings::PasskeySettings& value);

}  // namespace vadar
