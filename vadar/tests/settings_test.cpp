#include <gtest/gtest.h>

#include "foundation/app_info.hpp"
#include "vadar/proxy_configuration.hpp"
#include "vadar/settings.hpp"

namespace vadar {
namespace {

class BundleIdentifier {
 public:
  explicit BundleIdentifier(std::string identifier) : previous_(foundation::AppInfo::bundleIdentifier()) {
    foundation::AppInfo::setBundleIdentifier(std::move(identifier));
  }
  ~BundleIdentifier() { foundation::AppInfo::setBundleIdentifier(previous_); }

 private:
  std::string previous_;
};

TEST(VadarSettingsDefaults, ComeFromTheBundleIdentifierWhenMade) {
  BundleIdentifier bundle("com.tolvaran.attendant");
  const VadarSettings settings;
  EXPECT_FALSE(settings.debugMode);
  EXPECT_TRUE(settings.telemetryEnabled);
  EXPECT_EQ(settings.keychainConfig.service, "com.tolvaran.attendant");
  EXPECT_FALSE(settings.keychainConfig.accessGroup);
  EXPECT_FALSE(settings.proxyUrl);
  EXPECT_EQ(settings.redirectConfig.redirectUrl, "com.tolvaran.attendant://callback");
  EXPECT_EQ(settings.redirectConfig.callbackUrlScheme, "com.tolvaran.attendant");

  foundation::AppInfo::setBundleIdentifier("com.example.other");
  EXPECT_EQ(RedirectConfig().callbackUrlScheme, "com.example.other");
  EXPECT_EQ(settings.redirectConfig.callbackUrlScheme, "com.tolvaran.attendant");
}

TEST(VadarSettingsDefaults, NoBundleIdentifierGivesEmptyTexts) {
  BundleIdentifier bundle("");
  const VadarSettings settings;
  EXPECT_EQ(settings.keychainConfig.service, "");
  EXPECT_EQ(settings.redirectConfig.callbackUrlScheme, "");
  EXPECT_EQ(settings.redirectConfig.redirectUrl, "://callback");
}

TEST(VadarSettingsDefaults, ProxyTextThatIsNoURLGivesNoProxy) {
  EXPECT_EQ(VadarSettings(false, true, KeychainConfig(), "https://example.com/__proxy").proxyUrl,
            "https://example.com/__proxy");
  EXPECT_FALSE(VadarSettings(false, true, KeychainConfig(), "not a url").proxyUrl);
  EXPECT_FALSE(VadarSettings(false, true, KeychainConfig(), "").proxyUrl);
  EXPECT_FALSE(VadarSettings(false, true, KeychainConfig(), std::nullopt).proxyUrl);
}

TEST(ProxyConfigurations, MadeFromSchemeHostAndPath) {
  const auto proxy = ProxyConfiguration::make("https://example.com:8443/api//__proxy/?q=1");
  ASSERT_TRUE(proxy);
  EXPECT_EQ(proxy->baseURL, "https://example.com:8443");
  EXPECT_EQ(proxy->pathSegments, (std::vector<std::string>{"api", "__proxy"}));

  const auto bare = ProxyConfiguration::make("https://example.com");
  ASSERT_TRUE(bare);
  EXPECT_TRUE(bare->pathSegments.empty());
  EXPECT_TRUE(ProxyConfiguration::make("https://example.com/")->pathSegments.empty());

  EXPECT_FALSE(ProxyConfiguration::make(std::nullopt));
  EXPECT_FALSE(ProxyConfiguration::make("/relative/path"));
  EXPECT_FALSE(ProxyConfiguration::make("mailto:someone@example.com"));
  EXPECT_FALSE(ProxyConfiguration::make("not a url"));
}

TEST(ProxyConfigurations, PrefixedPath) {
  const ProxyConfiguration proxy{"https://example.com", {"__proxy"}};
  EXPECT_EQ(proxy.prefixedPath("/v1/client"), "/__proxy/v1/client");
  EXPECT_EQ(proxy.prefixedPath("/__proxy/v1/client"), "/__proxy/v1/client");
  EXPECT_EQ(proxy.prefixedPath("v1//client/"), "/__proxy/v1/client");
  EXPECT_EQ(proxy.prefixedPath(""), "/__proxy");
  EXPECT_EQ(proxy.prefixedPath("/__proxyx/v1"), "/__proxy/__proxyx/v1");

  const ProxyConfiguration nested{"https://example.com", {"a", "b"}};
  EXPECT_EQ(nested.prefixedPath("/a/v1"), "/a/b/a/v1");
  EXPECT_EQ(nested.prefixedPath("/a/b/v1"), "/a/b/v1");

  const ProxyConfiguration none{"https://example.com", {}};
  EXPECT_EQ(none.prefixedPath("v1/client"), "/v1/client");
  EXPECT_EQ(none.prefixedPath("/v1//client/"), "/v1//client/");
  EXPECT_EQ(none.prefixedPath(""), "/");
}

}  // namespace
}  // namespace vadar
