#pragma once
// The options with which the host application configures the library. `Vadar::Settings` is `VadarSettings`
// (the `Vadar` class declares the alias); `KeychainConfig` and `RedirectConfig` are its parts.
//
// Example:
//   #include <foundation/app_info.hpp>
//   foundation::AppInfo::setBundleIdentifier("com.tolvaran.attendant");
//   vadar::VadarSettings settings;                       // defaults from the bundle identifier
//   std::string redirect = settings.redirectConfig.redirectUrl;   // "com.tolvaran.attendant://callback"
//   vadar::VadarSettings proxied(false, true, vadar::KeychainConfig(), "https://example.com/__proxy");
//
// Defaults are computed from foundation::AppInfo::bundleIdentifier() each time a default value is made; with
// no identifier set they are the empty text (and the redirect address is "://callback" alone).
#include <optional>
#include <string>

namespace vadar {

struct KeychainConfig {
  // Default: the bundle identifier.
  static std::string defaultService();

  explicit KeychainConfig(std::string serviceName = defaultService(),
                          std::optional<std::string> group = std::nullopt)
      : service(std::move(serviceName)), accessGroup(std::move(group)) {}

  std::string service;                     // keychain service of the library's items
  std::optional<std::string> accessGroup;  // keychain access group, none by default
};

struct RedirectConfig {
  // Defaults: the bundle identifier followed by "://callback", and the bundle identifier.
  static std::string defaultRedirectUrl();
  static std::string defaultCallbackUrlScheme();

  explicit RedirectConfig(std::string redirect = defaultRedirectUrl(),
                          std::string callbackScheme = defaultCallbackUrlScheme())
      : redirectUrl(std::move(redirect)), callbackUrlScheme(std::move(callbackScheme)) {}

  std::string redirectUrl;        // sent as "redirect_url" when a caller gives none
  std::string callbackUrlScheme;  // the scheme that ends a browser authentication session
};

struct VadarSettings {
  // `proxyUrl` is parsed as a URL reference; text that does not parse leaves the proxy absent and is kept in
  // `unparsedProxyUrl`. Applied settings whose proxy text gives no proxy are logged as an error.
  explicit VadarSettings(bool debugMode = false, bool telemetryEnabled = true,
                         KeychainConfig keychainConfig = KeychainConfig(),
                         const std::optional<std::string>& proxyUrl = std::nullopt,
                         RedirectConfig redirectConfig = RedirectConfig());

  // Adds "x-vadar-client-id" to requests while a client is loaded; logs failed telemetry flushes.
  bool debugMode = false;
  // When false the telemetry collector records nothing.
  bool telemetryEnabled = true;
  KeychainConfig keychainConfig;
  // The parsed proxy address (normalised text), none without a proxy.
  std::optional<std::string> proxyUrl;
  RedirectConfig redirectConfig;
  // The proxy text given that is not a URL reference; none when it parsed or none was given.
  std::optional<std::string> unparsedProxyUrl;
};

}  // namespace vadar
