#include "vadar/infra/settings.hpp"

#include <boost/url/parse.hpp>

#include "foundation/app_info.hpp"

namespace vadar {

std::string KeychainConfig::defaultService() { return foundation::AppInfo::bundleIdentifier(); }

std::string RedirectConfig::defaultRedirectUrl() { return foundation::AppInfo::bundleIdentifier() + "://callback"; }

std::string RedirectConfig::defaultCallbackUrlScheme() { return foundation::AppInfo::bundleIdentifier(); }

VadarSettings::VadarSettings(bool debugMode, bool telemetryEnabled, KeychainConfig keychainConfig,
                             const std::optional<std::string>& proxyUrl, RedirectConfig redirectConfig)
    : debugMode(debugMode),
      telemetryEnabled(telemetryEnabled),
      keychainConfig(std::move(keychainConfig)),
      redirectConfig(std::move(redirectConfig)) {
  if (proxyUrl && !proxyUrl->empty()) {
    auto parsed = boost::urls::parse_uri_reference(*proxyUrl);
    if (parsed)
      this->proxyUrl = std::string(parsed->buffer());
    else
      unparsedProxyUrl = *proxyUrl;
  }
}

}  // namespace vadar
