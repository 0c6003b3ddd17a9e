#include <gtest/gtest.h>

#include <cstdlib>

#include "vadar/infra/locale_identifier.hpp"
#include "vadar/infra/rotating_token_nonce.hpp"
#include "vadar/infra/web_authentication.hpp"

namespace vadar {
namespace {

std::shared_ptr<FixedSettingsProvider> settingsWithScheme(std::string scheme) {
  VadarSettings settings;
  settings.redirectConfig.callbackUrlScheme = std::move(scheme);
  return std::make_shared<FixedSettingsProvider>(settings);
}

TEST(WebAuthentications, HeadlessIsNotSupportedAndScriptedReadsTheSettingsInForce) {
  try {
    HeadlessWebAuthentication(settingsWithScheme("com.example")).authenticate("https://start", false);
    FAIL() << "authenticated";
  } catch (const WebAuthenticationError& error) {
    EXPECT_EQ(error.kind(), WebAuthenticationError::Kind::notSupported);
    EXPECT_STREQ(error.what(), "Web authentication is not supported on this platform.");
  }

  auto settings = settingsWithScheme("com.example.first");
  ScriptedWebAuthentication web(settings, [](const WebAuthentication::SessionRequest& request) {
    return request.url == "https://empty" ? std::string() : request.callbackUrlScheme + "://callback";
  });
  EXPECT_EQ(web.authenticate("https://start", true), "com.example.first://callback");
  settings->setSettings(settingsWithScheme("com.example.second")->currentSettings());
  EXPECT_EQ(web.authenticate("https://start", false), "com.example.second://callback");
  EXPECT_THROW(web.authenticate("https://empty", false), WebAuthenticationError);  // no callback
}

TEST(RotatingTokenNonces, ReadFromTheQuery) {
  EXPECT_EQ(rotatingTokenNonce("app://callback?rotating_token_nonce=abc%2Fd&x=1"), "abc/d");
  EXPECT_EQ(rotatingTokenNonce("app://callback?x=1&rotating_token_nonce=first&rotating_token_nonce=second"), "first");
  EXPECT_EQ(rotatingTokenNonce("app://callback?rotating_token_nonce="), "");
  for (const char* url : {"app://callback?rotating_token_nonce", "app://callback", "app://call back?rotating_token_nonce=x",
                          "app://callback?rotating_token_nonce=%zz"})
    EXPECT_FALSE(rotatingTokenNonce(url)) << url;
}

TEST(LocaleIdentifiers, FromTheFirstVariableSetAndNeverThrows) {
  static constexpr const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  std::vector<std::pair<std::string, std::string>> saved;
  for (const char* name : names) {
    if (const char* value = std::getenv(name)) saved.emplace_back(name, value);
    unsetenv(name);
  }
  EXPECT_EQ(currentLocaleIdentifier(), "en_US");
  setenv("LANG", "de_DE.UTF-8", 1);
  EXPECT_EQ(currentLocaleIdentifier(), "de_DE");
  setenv("LC_MESSAGES", "fr_CA@euro", 1);
  EXPECT_EQ(currentLocaleIdentifier(), "fr_CA");
  for (const auto& [value, expected] : std::vector<std::pair<std::string, std::string>>{
           {"es_419", "es_419"}, {"C.UTF-8", "en_US"}, {"POSIX", "en_US"}, {"xx_not installed/../", "en_US"}}) {
    setenv("LC_ALL", value.c_str(), 1);
    EXPECT_EQ(currentLocaleIdentifier(), expected) << value;
  }
  for (const char* name : names) unsetenv(name);
  for (const auto& [name, value] : saved) setenv(name.c_str(), value.c_str(), 1);
}

}  // namespace
}  // namespace vadar
