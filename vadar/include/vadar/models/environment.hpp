#pragma once
// The instance environment (`Vadar::Environment`, fetched with "GET" "/v1/environment"): auth configuration,
// user settings, display configuration and fraud settings, each optional. `{}` is the empty environment.
//
// Example, given std::string_view body:
//   auto env = vadar::decodeJSON<vadar::VadarEnvironment>(body);
//   bool enforced = env.fraudSettings && env.fraudSettings->native.deviceAttestationMode ==
//       vadar::VadarEnvironment::FraudSettings::Native::DeviceAttestationMode::enforced;
//
// Unknown enumeration texts decode to `unknown`; `fromRaw<E>(text)` is exact. The live `EnvironmentService`
// and `VadarEnvironment::get()` come with the `Vadar` object (the core), which registers the service under
// `environmentServiceKey`.
#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "vadar/infra/coding.hpp"
#include "vadar/models/environment_user_settings.hpp"

namespace vadar {

enum class InstanceEnvironmentType { production, development, unknown };

template <>
struct TextEnum<InstanceEnvironmentType> {
  static constexpr std::array<std::pair<InstanceEnvironmentType, std::string_view>, 3> cases{{
      {InstanceEnvironmentType::production, "production"},
      {InstanceEnvironmentType::development, "development"},
      {InstanceEnvironmentType::unknown, "unknown"},
  }};
  static constexpr InstanceEnvironmentType unknown = InstanceEnvironmentType::unknown;
};

struct VadarEnvironment {
  using UserSettings = EnvironmentUserSettings;

  struct AuthConfig {
    bool singleSessionMode = false;
    friend bool operator==(const AuthConfig&, const AuthConfig&) = default;
  };

  struct DisplayConfig {
    enum class PreferredSignInStrategy { password, otp, unknown };

    InstanceEnvironmentType instanceEnvironmentType = InstanceEnvironmentType::unknown;
    std::string applicationName;
    PreferredSignInStrategy preferredSignInStrategy = PreferredSignInStrategy::unknown;
    std::optional<std::string> supportEmail;
    bool branded = false;
    std::string logoImageUrl;
    std::string homeUrl;
    std::optional<std::string> privacyPolicyUrl;
    std::optional<std::string> termsUrl;
    friend bool operator==(const DisplayConfig&, const DisplayConfig&) = default;
  };

  struct FraudSettings {
    struct Native {
      enum class DeviceAttestationMode { disabled, onboarding, enforced, unknown };
      DeviceAttestationMode deviceAttestationMode = DeviceAttestationMode::unknown;
      friend bool operator==(const Native&, const Native&) = default;
    };
    Native native;
    friend bool operator==(const FraudSettings&, const FraudSettings&) = default;
  };

  std::optional<AuthConfig> authConfig;
  std::optional<UserSettings> userSettings;
  std::optional<DisplayConfig> displayConfig;
  std::optional<FraudSettings> fraudSettings;

  // True when all four parts are absent.
  bool isEmpty() const { return !authConfig && !userSettings && !displayConfig && !fraudSettings; }

  // The environment of the sample `Vadar` objects.
  static VadarEnvironment sample();

  // Resolves the EnvironmentService under `environmentServiceKey` and runs its `get` (defined by the core).
  static VadarEnvironment get();

  friend bool operator==(const VadarEnvironment&, const VadarEnvironment&) = default;
};

template <>
struct TextEnum<VadarEnvironment::DisplayConfig::PreferredSignInStrategy> {
  using E = VadarEnvironment::DisplayConfig::PreferredSignInStrategy;
  static constexpr std::array<std::pair<E, std::string_view>, 3> cases{{
      {E::password, "password"},
      {E::otp, "otp"},
      {E::unknown, "unknown"},
  }};
  static constexpr E unknown = E::unknown;
};

template <>
struct TextEnum<VadarEnvironment::FraudSettings::Native::DeviceAttestationMode> {
  using E = VadarEnvironment::FraudSettings::Native::DeviceAttestationMode;
  static constexpr std::array<std::pair<E, std::string_view>, 4> cases{{
      {E::disabled, "disabled"},
      {E::onboarding, "onboarding"},
      {E::enforced, "enforced"},
      {E::unknown, "unknown"},
  }};
  static constexpr E unknown = E::unknown;
};

void decodeValue(const Decoder& d, VadarEnvironment& out);
nlohmann::json encodeValue(const VadarEnvironment& value);
void decodeValue(const Decoder& d, VadarEnvironment::AuthConfig& out);
nlohmann::json encodeValue(const VadarEnvironment::AuthConfig& value);
void decodeValue(const Decoder& d, VadarEnvironment::DisplayConfig& out);
nlohmann::json encodeValue(const VadarEnvironment::DisplayConfig& value);
void decodeValue(const Decoder& d, VadarEnvironment::FraudSettings& out);
nlohmann::json encodeValue(const VadarEnvironment::FraudSettings& value);
void decodeValue(const Decoder& d, VadarEnvironment::FraudSettings::Native& out);
nlohmann::json encodeValue(const VadarEnvironment::FraudSettings::Native& value);

// The environment service record: its `get` fetches the environment. Registered (live) by the core.
struct EnvironmentService {
  std::function<VadarEnvironment()> get;
};

inline constexpr std::string_view environmentServiceKey = "environmentService";

}  // namespace vadar
