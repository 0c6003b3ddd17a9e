#include <gtest/gtest.h>

#include "foundation/app_info.hpp"
#include "vadar/infra/proxy_configuration.hpp"
#include "vadar/infra/settings.hpp"

namespace vadar {
namespace {

TEST(VadarSettingsDefaults, ComeFromTheBundleIdentifierWhenMade) {
  const std::string previous = foundation::AppInfo::bundleIdentifier();
  foundation::AppInfo::setBundleIdentifier("com.tolvaran.attendant");
  const VadarSettings settings;
  EXPECT_EQ(settings.keychainConfig.service, "com.tolvaran.attendant");
  EXPECT_EQ(settings.redirectConfig.redirectUrl, "com.tolvaran.attendant://callback");
  foundation::AppInfo::setBundleIdentifier("com.example.other");
  EXPECT_EQ(RedirectConfig().callbackUrlScheme, "com.example.other");
  EXPECT_EQ(settings.redirectConfig.callbackUrlScheme, "com.tolvaran.attendant");

  foundation::AppInfo::setBundleIdentifier("");
  const VadarSettings bare;
  EXPECT_EQ(bare.keychainConfig.service, "");
  EXPECT_EQ(bare.redirectConfig.redirectUrl, "://callback");
  foundation::AppInfo::setBundleIdentifier(previous);
  EXPECT_FALSE(VadarSettings(false, true, KeychainConfig(), "not a url").proxyUrl);
}

TEST(ProxyConfigurations, MadeFromSchemeHostAndPath) {
  const auto proxy = ProxyConfiguration::make("https://example.com:8443/api//__proxy/?q=1");
  ASSERT_TRUE(proxy);
  EXPECT_EQ(proxy->baseURL, "https://example.com:8443");
  EXPECT_EQ(proxy->pathSegments, (std::vector<std::string>{"api", "__proxy"}));
  EXPECT_TRUE(ProxyConfiguration::make("https://example.com")->pathSegments.empty());
  EXPECT_TRUE(ProxyConfiguration::make("https://example.com/")->pathSegments.empty());
  for (const char* text : {"/relative/path", "mailto:someone@example.com", "not a url"})
    EXPECT_FALSE(ProxyConfiguration::make(text)) << text;
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
