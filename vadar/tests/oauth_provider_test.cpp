#include <gtest/gtest.h>

#include <algorithm>
#include <unordered_set>

#include "vadar/id_token_provider.hpp"
#include "vadar/oauth_provider.hpp"

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

VadarEnvironment environmentWithSocial(std::vector<EnvironmentUserSettings::SocialConfig> entries) {
  VadarEnvironment environment;
  environment.userSettings = EnvironmentUserSettings{};
  int n = 0;
  for (auto& entry : entries) environment.userSettings->social.emplace("entry" + std::to_string(n++), std::move(entry));
  return environment;
}

EnvironmentUserSettings::SocialConfig social(std::string strategy, std::string name, std::optional<std::string> logo) {
  return {true, false, true, std::move(strategy), false, std::move(name), std::move(logo)};
}

TEST(OAuthProviderTable, StrategiesAndLookup) {
  const auto& all = OAuthProvider::allCases();
  ASSERT_EQ(all.size(), 27u);
  for (const auto& provider : all) {
    EXPECT_EQ(OAuthProvider::fromStrategy(provider.strategy()), provider);
    if (provider != OAuthProvider::huggingFace) {
      EXPECT_EQ(provider.strategy(), "oauth_" + std::string(provider.codingKey()));
    }
  }
  EXPECT_EQ(OAuthProvider::huggingFace.strategy(), "oauth_huggingface");
  EXPECT_EQ(OAuthProvider::fromStrategy("oauth_linkedin_oidc"), OAuthProvider::linkedin_oidc);
  EXPECT_EQ(OAuthProvider::fromStrategy("oauth_google"), OAuthProvider::google);
  EXPECT_EQ(OAuthProvider::fromStrategy("oauth_Google"), OAuthProvider::custom("oauth_Google"));
  EXPECT_EQ(OAuthProvider::fromStrategy("oauth_hugging_face"), OAuthProvider::custom("oauth_hugging_face"));
  const auto empty = OAuthProvider::fromStrategy("");
  EXPECT_TRUE(empty.isCustom());
  EXPECT_EQ(empty.strategy(), "");
  EXPECT_EQ(empty.id(), "");
  EXPECT_EQ(OAuthProvider::line.tableName(), "LINE");
  EXPECT_EQ(OAuthProvider::linkedin_oidc.tableName(), "LinkedIn");
}

TEST(OAuthProviderTable, CustomIsItsOwnValue) {
  const auto custom = OAuthProvider::custom("oauth_google");
  EXPECT_EQ(custom.strategy(), OAuthProvider::google.strategy());
  EXPECT_NE(custom, OAuthProvider::google);
  EXPECT_NE(encodeJSON(custom), encodeJSON(OAuthProvider::google));
  std::unordered_set<OAuthProvider> set{custom, OAuthProvider::google, OAuthProvider::custom("oauth_google")};
  EXPECT_EQ(set.size(), 2u);
}

TEST(OAuthProviderTable, OrderingByDisplayNameCustomLast) {
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
  EXPECT_TRUE(OAuthProvider::line < OAuthProvider::linear);
  EXPECT_TRUE(OAuthProvider::linkedin <= OAuthProvider::linkedin_oidc);
  EXPECT_TRUE(OAuthProvider::xero > OAuthProvider::apple);
  EXPECT_TRUE(OAuthProvider::custom("a") >= OAuthProvider::vercel);
}

TEST(OAuthProviderCoding, OneKeyObjects) {
  EXPECT_EQ(encodeJSON(OAuthProvider::google), R"({"google":{}})");
  EXPECT_EQ(encodeJSON(OAuthProvider::custom("oauth_acme")), R"({"custom":{"_0":"oauth_acme"}})");
  EXPECT_EQ(decodeJSON<OAuthProvider>(R"({"huggingFace":{}})"), OAuthProvider::huggingFace);
  EXPECT_EQ(decodeJSON<OAuthProvider>(R"({"custom":{"_0":"oauth_acme"},"unrelated":1})"),
            OAuthProvider::custom("oauth_acme"));
  for (const auto& provider : OAuthProvider::allCases())
    EXPECT_EQ(decodeJSON<OAuthProvider>(encodeJSON(provider)), provider);

  EXPECT_EQ(decodeError(R"({"google":{},"apple":{}})"), "Invalid number of keys found, expected one.");
  EXPECT_EQ(decodeError("{}"), "Invalid number of keys found, expected one.");
  EXPECT_EQ(decodeError(R"({"oauth_google":{}})"), "Invalid number of keys found, expected one.");
  EXPECT_NE(decodeError(R"({"google":true})"), "decoded");
  EXPECT_NE(decodeError(R"({"custom":{}})"), "decoded");
  EXPECT_NE(decodeError(R"({"custom":{"_0":5}})"), "decoded");
  EXPECT_NE(decodeError("[]"), "decoded");
}

TEST(OAuthProviderEnvironment, CustomNameComesFromSocialEntries) {
  const auto custom = OAuthProvider::custom("oauth_custom_acme");
  EXPECT_EQ(custom.name(VadarEnvironment{}), "");
  const auto environment = environmentWithSocial({social("oauth_custom_acme", "Acme", std::nullopt)});
  EXPECT_EQ(custom.name(environment), "Acme");
  EXPECT_EQ(OAuthProvider::custom("oauth_other").name(environment), "");
  EXPECT_EQ(OAuthProvider::google.name(environment), "Google");
  EXPECT_TRUE(OAuthProvider::xero < custom);
}

TEST(OAuthProviderEnvironment, LogoAddress) {
  const auto environment = environmentWithSocial({
      social("oauth_google", "Google", "  \n"),
      social("oauth_google", "Google", "https://img.example/google.png?v=.png"),
      social("oauth_custom_acme", "Acme", "https://img.example/acme.png"),
      social("oauth_apple", "Apple", "https://img.example/apple.svg"),
      social("oauth_slack", "Slack", "not a url"),
  });
  EXPECT_EQ(OAuthProvider::google.iconImageUrl(false, environment), "https://img.example/google.png?v=.png");
  EXPECT_EQ(OAuthProvider::google.iconImageUrl(true, environment), "https://img.example/google-dark.png?v=-dark.png");
  EXPECT_EQ(OAuthProvider::custom("oauth_custom_acme").iconImageUrl(true, environment), "https://img.example/acme.png");
  EXPECT_EQ(OAuthProvider::apple.iconImageUrl(true, environment), "https://img.example/apple.svg");
  EXPECT_FALSE(OAuthProvider::slack.iconImageUrl(false, environment));
  EXPECT_FALSE(OAuthProvider::github.iconImageUrl(false, environment));
  EXPECT_FALSE(OAuthProvider::google.iconImageUrl(false, VadarEnvironment{}));
}

TEST(IDTokenProviderCoding, OneKeyObject) {
  EXPECT_EQ(allIDTokenProviders.size(), 1u);
  EXPECT_EQ(encodeJSON(IDTokenProvider::apple), R"({"apple":{}})");
  EXPECT_EQ(decodeJSON<IDTokenProvider>(R"({"apple":{},"google":{}})"), IDTokenProvider::apple);
  EXPECT_EQ(decodeJSON<IDTokenProvider>(encodeJSON(IDTokenProvider::apple)), IDTokenProvider::apple);
  try {
    decodeJSON<IDTokenProvider>("{}");
    FAIL() << "decoded";
  } catch (const DecodingError& error) {
    EXPECT_EQ(error.kind(), DecodingError::Kind::typeMismatch);
    EXPECT_EQ(error.description(), "Invalid number of keys found, expected one.");
  }
  EXPECT_THROW(decodeJSON<IDTokenProvider>(R"({"apple":[]})"), DecodingError);
}

}  // namespace
}  // namespace vadar
