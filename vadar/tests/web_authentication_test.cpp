#include <gtest/gtest.h>

#include <cstdlib>

#include "vadar/locale_identifier.hpp"
#include "vadar/rotating_token_nonce.hpp"
#include "vadar/web_authentication.hpp"

namespace vadar {
namespace {

std::shared_ptr<FixedSettingsProvider> settingsWithScheme(std::string scheme) {
  VadarSettings settings;
  settings.redirectConfig.callbackUrlScheme = std::move(scheme);
  return std::make_shared<FixedSettingsProvider>(settings);
}

TEST(WebAuthentications, HeadlessIsNotSupported) {
  HeadlessWebAuthentication web(settingsWithScheme("com.example"));
  try {
    web.authenticate("https://accounts.example.com/start", false);
    FAIL() << "authenticated";
  } catch (const WebAuthenticationError& error) {
    EXPECT_EQ(error.kind(), WebAuthenticationError::Kind::notSupported);
    EXPECT_STREQ(error.what(), "Web authentication is not supported on this platform.");
  }
}

TEST(WebAuthentications, ScriptedSessionGetsTheSettingsInForce) {
  auto settings = settingsWithScheme("com.example.first");
  ScriptedWebAuthentication web(settings, [](const WebAuthentication::SessionRequest& request) {
    return request.callbackUrlScheme + "://callback?rotating_token_nonce=n1";
  });
  EXPECT_EQ(web.authenticate("https://start", true), "com.example.first://callback?rotating_token_nonce=n1");
  VadarSettings changed;
  changed.redirectConfig.callbackUrlScheme = "com.example.second";
  settings->setSettings(changed);
  web.authenticate("https://start2", false);
  const auto requests = web.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_TRUE(requests[0].prefersEphemeralWebBrowserSession);
  EXPECT_EQ(requests[1].callbackUrlScheme, "com.example.second");
  EXPECT_EQ(requests[1].url, "https://start2");
}

TEST(WebAuthentications, SessionWithoutCallbackFails) {
  ScriptedWebAuthentication web(settingsWithScheme("s"), [](const auto&) { return std::string(); });
  EXPECT_THROW(web.authenticate("https://start", false), WebAuthenticationError);
}

TEST(RotatingTokenNonces, ReadFromTheQuery) {
  EXPECT_EQ(rotatingTokenNonce("app://callback?rotating_token_nonce=abc%2Fd&x=1"), "abc/d");
  EXPECT_EQ(rotatingTokenNonce("app://callback?x=1&rotating_token_nonce=first&rotating_token_nonce=second"), "first");
  EXPECT_EQ(rotatingTokenNonce("app://callback?rotating_token_nonce="), "");
  EXPECT_FALSE(rotatingTokenNonce("app://callback?rotating_token_nonce"));
  EXPECT_FALSE(rotatingTokenNonce("app://callback?other=1"));
  EXPECT_FALSE(rotatingTokenNonce("app://callback"));
  EXPECT_FALSE(rotatingTokenNonce("app://call back?rotating_token_nonce=x"));
  EXPECT_FALSE(rotatingTokenNonce("app://callback?rotating_token_nonce=%zz"));
}

class LocaleEnvironment : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : names_)
      if (const char* value = std::getenv(name)) saved_.emplace_back(name, value);
    for (const char* name : names_) unsetenv(name);
  }
  void TearDown() override {
    for (const char* name : names_) unsetenv(name);
    for (const auto& [name, value] : saved_) setenv(name.c_str(), value.c_str(), 1);
  }

 private:
  static constexpr const char* names_[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  std::vector<std::pair<std::string, std::string>> saved_;
};

TEST_F(LocaleEnvironment, IdentifierFromTheFirstVariableSet) {
  EXPECT_EQ(currentLocaleIdentifier(), "en_US");
  setenv("LANG", "de_DE.UTF-8", 1);
  EXPECT_EQ(currentLocaleIdentifier(), "de_DE");
  setenv("LC_MESSAGES", "fr_CA@euro", 1);
  EXPECT_EQ(currentLocaleIdentifier(), "fr_CA");
  setenv("LC_ALL", "pt", 1);
  EXPECT_EQ(currentLocaleIdentifier(), "pt");
  setenv("LC_ALL", "C.UTF-8", 1);
  EXPECT_EQ(currentLocaleIdentifier(), "en_US");
  setenv("LC_ALL", "POSIX", 1);
  EXPECT_EQ(currentLocaleIdentifier(), "en_US");
  setenv("LC_ALL", "xx_not installed/../", 1);
  EXPECT_EQ(currentLocaleIdentifier(), "en_US");
  setenv("LC_ALL", "es_419", 1);
  EXPECT_EQ(currentLocaleIdentifier(), "es_419");
}

}  // namespace
}  // namespace vadar
