#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <unordered_set>

#include "vadar/models/id_token_provider.hpp"
#include "vadar/models/oauth_provider.hpp"

namespace vadar {
namespace {

std::string decodeError(std::string_view text) {
  try {
    decodeJSON<OAuthProvider>(text);
  } catch (const DecodingError& error) {
    return error.description();
  }
  return "decoded";
}

VadarEnvironment environmentWithSocial(std::vector<std::tuple<std::string, std::string, std::optional<std::string>>> entries) {
  VadarEnvironment environment;
  environment.userSettings = EnvironmentUserSettings{};
  int n = 0;
  for (auto& [strategy, name, logo] : entries)
    environment.userSettings->social.emplace("entry" + std::to_string(n++),
                                             EnvironmentUserSettings::SocialConfig{true, false, true, strategy, false, name, logo});
  return environment;
}

TEST(OAuthProviderTable, StrategiesCustomValuesAndOrdering) {
  ASSERT_EQ(OAuthProvider::allCases().size(), 27u);
  for (const auto& provider : OAuthProvider::allCases()) EXPECT_EQ(OAuthProvider::fromStrategy(provider.strategy()), provider);
  EXPECT_EQ(OAuthProvider::huggingFace.strategy(), "oauth_huggingface");
  EXPECT_EQ(OAuthProvider::fromStrategy("oauth_Google"), OAuthProvider::custom("oauth_Google"));
  EXPECT_TRUE(OAuthProvider::fromStrategy("").isCustom());

  const auto custom = OAuthProvider::custom("oauth_google");
  EXPECT_EQ(custom.strategy(), OAuthProvider::google.strategy());
  EXPECT_NE(custom, OAuthProvider::google);
  EXPECT_EQ((std::unordered_set<OAuthProvider>{custom, OAuthProvider::google, OAuthProvider::custom("oauth_google")}).size(),
            2u);

  std::vector<OAuthProvider> sorted(OAuthProvider::allCases().begin(), OAuthProvider::allCases().end());
  sorted.insert(sorted.begin(), OAuthProvider::custom("oauth_aaa"));
  std::stable_sort(sorted.begin(), sorted.end());
  std::vector<std::string> names;
  for (const auto& provider : sorted) names.emplace_back(provider.tableName());
  const std::vector<std::string> expected{
      "Apple", "Atlassian", "Bitbucket", "Box", "Coinbase", "Discord", "Dropbox", "Facebook", "GitHub",
      "GitLab", "Google", "HubSpot", "Hugging Face", "Instagram", "LINE", "Linear", "LinkedIn", "LinkedIn",
      "Microsoft", "Notion", "Slack", "Spotify", "TikTok", "Twitch", "Twitter", "Vercel", "Xero", ""};
  EXPECT_EQ(names, expected);
  EXPECT_FALSE(OAuthProvider::linkedin < OAuthProvider::linkedin_oidc);
  EXPECT_FALSE(OAuthProvider::linkedin_oidc < OAuthProvider::linkedin);
}

TEST(OAuthProviderCoding, OneKeyObjects) {
  EXPECT_EQ(encodeJSON(OAuthProvider::google), R"({"google":{}})");
  EXPECT_EQ(encodeJSON(OAuthProvider::custom("oauth_acme")), R"({"custom":{"_0":"oauth_acme"}})");
  EXPECT_EQ(decodeJSON<OAuthProvider>(R"({"huggingFace":{}})"), OAuthProvider::huggingFace);
  EXPECT_EQ(decodeJSON<OAuthProvider>(R"({"custom":{"_0":"oauth_acme"},"unrelated":1})"),
            OAuthProvider::custom("oauth_acme"));
  for (const auto& provider : OAuthProvider::allCases())
    EXPECT_EQ(decodeJSON<OAuthProvider>(encodeJSON(provider)), provider);
  for (const char* text : {R"({"google":{},"apple":{}})", "{}", R"({"oauth_google":{}})"})
    EXPECT_EQ(decodeError(text), "Invalid number of keys found, expected one.") << text;
  for (const char* text : {R"({"google":true})", R"({"custom":{}})", R"({"custom":{"_0":5}})", "[]"})
    EXPECT_NE(decodeError(text), "decoded") << text;

  EXPECT_EQ(encodeJSON(IDTokenProvider::apple), R"({"apple":{}})");
  EXPECT_EQ(decodeJSON<IDTokenProvider>(R"({"apple":{},"google":{}})"), IDTokenProvider::apple);
  try {
    decodeJSON<IDTokenProvider>("{}");
    FAIL() << "decoded";
  } catch (const DecodingError& error) {
    EXPECT_EQ(error.description(), "Invalid number of keys found, expected one.");
  }
}

TEST(OAuthProviderEnvironment, NamesAndLogosComeFromTheSocialEntries) {
  const auto custom = OAuthProvider::custom("oauth_custom_acme");
  EXPECT_EQ(custom.name(VadarEnvironment{}), "");
  const auto environment = environmentWithSocial({
      {"oauth_custom_acme", "Acme", "https://img.example/acme.png"},
      {"oauth_google", "Google", "  \n"},
      {"oauth_google", "Google", "https://img.example/google.png?v=.png"},
      {"oauth_apple", "Apple", "https://img.example/apple.svg"},
      {"oauth_slack", "Slack", "not a url"},
  });
  EXPECT_EQ(custom.name(environment), "Acme");
  EXPECT_EQ(OAuthProvider::custom("oauth_other").name(environment), "");
  EXPECT_EQ(OAuthProvider::google.iconImageUrl(false, environment), "https://img.example/google.png?v=.png");
  EXPECT_EQ(OAuthProvider::google.iconImageUrl(true, environment), "https://img.example/google-dark.png?v=-dark.png");
  EXPECT_EQ(custom.iconImageUrl(true, environment), "https://img.example/acme.png");
  EXPECT_EQ(OAuthProvider::apple.iconImageUrl(true, environment), "https://img.example/apple.svg");
  EXPECT_FALSE(OAuthProvider::slack.iconImageUrl(false, environment));
  EXPECT_FALSE(OAuthProvider::github.iconImageUrl(false, environment));
}

}  // namespace
}  // namespace vadar
