#include "vadar/models/oauth_provider.hpp"

#include <boost/url/parse.hpp>

#include "one_key_coding.hpp"

namespace vadar {

namespace {

struct Entry {
  std::string_view codingKey;
  std::string_view strategy;
  std::string_view name;
};

constexpr std::array<Entry, 27> table{{
    {"facebook", "oauth_facebook", "Facebook"},
    {"google", "oauth_google", "Google"},
    {"hubspot", "oauth_hubspot", "HubSpot"},
    {"github", "oauth_github", "GitHub"},
    {"tiktok", "oauth_tiktok", "TikTok"},
    {"gitlab", "oauth_gitlab", "GitLab"},
    {"discord", "oauth_discord", "Discord"},
    {"twitter", "oauth_twitter", "Twitter"},
    {"twitch", "oauth_twitch", "Twitch"},
    {"linkedin", "oauth_linkedin", "LinkedIn"},
    {"linkedin_oidc", "oauth_linkedin_oidc", "LinkedIn"},
    {"dropbox", "oauth_dropbox", "Dropbox"},
    {"atlassian", "oauth_atlassian", "Atlassian"},
    {"bitbucket", "oauth_bitbucket", "Bitbucket"},
    {"microsoft", "oauth_microsoft", "Microsoft"},
    {"notion", "oauth_notion", "Notion"},
    {"apple", "oauth_apple", "Apple"},
    {"line", "oauth_line", "LINE"},
    {"instagram", "oauth_instagram", "Instagram"},
    {"coinbase", "oauth_coinbase", "Coinbase"},
    {"spotify", "oauth_spotify", "Spotify"},
    {"xero", "oauth_xero", "Xero"},
    {"box", "oauth_box", "Box"},
    {"slack", "oauth_slack", "Slack"},
    {"linear", "oauth_linear", "Linear"},
    {"huggingFace", "oauth_huggingface", "Hugging Face"},
    {"vercel", "oauth_vercel", "Vercel"},
}};

constexpr std::string_view customKey = "custom";

const Entry* entryOf(OAuthProvider::Case c) {
  auto index = static_cast<std::size_t>(c);
  return index < table.size() ? &table[index] : nullptr;
}

bool isBlank(std::string_view text) {
  for (char c : text)
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\v' && c != '\f') return false;
  return true;
}

}  // namespace

const std::array<OAuthProvider, 27>& OAuthProvider::allCases() {
  static const std::array<OAuthProvider, 27> cases = [] {
    std::array<OAuthProvider, 27> result;
    for (std::size_t i = 0; i < result.size(); ++i) result[i] = OAuthProvider(static_cast<Case>(i));
    return result;
  }();
  return cases;
}

OAuthProvider OAuthProvider::custom(std::string strategy) {
  OAuthProvider provider(Case::custom);
  provider.customStrategy_ = std::move(strategy);
  return provider;
}

OAuthProvider OAuthProvider::fromStrategy(std::string_view strategy) {
  for (std::size_t i = 0; i < table.size(); ++i)
    if (table[i].strategy == strategy) return OAuthProvider(static_cast<Case>(i));
  return custom(std::string(strategy));
}

std::string OAuthProvider::strategy() const {
  if (const Entry* entry = entryOf(case_)) return std::string(entry->strategy);
  return customStrategy_;
}

std::string_view OAuthProvider::codingKey() const {
  if (const Entry* entry = entryOf(case_)) return entry->codingKey;
  return customKey;
}

std::string_view OAuthProvider::tableName() const {
  if (const Entry* entry = entryOf(case_)) return entry->name;
  return {};
}

std::string OAuthProvider::name(const VadarEnvironment& environment) const {
  if (!isCustom()) return std::string(tableName());
  if (!environment.userSettings) return {};
  for (const auto& [key, social] : environment.userSettings->social)
    if (social.strategy == customStrategy_) return social.name;
  return {};
}

std::optional<std::string> OAuthProvider::iconImageUrl(bool darkMode, const VadarEnvironment& environment) const {
  if (!environment.userSettings) return std::nullopt;
  const std::string ownStrategy = strategy();
  for (const auto& [key, social] : environment.userSettings->social) {
    if (social.strategy != ownStrategy || !social.logoUrl || isBlank(*social.logoUrl)) continue;
    std::string logo = *social.logoUrl;
    if (!isCustom() && darkMode) {
      std::string replaced;
      std::size_t start = 0;
      for (std::size_t hit; (hit = logo.find(".png", start)) != std::string::npos; start = hit + 4)
        replaced.append(logo, start, hit - start).append("-dark.png");
      replaced.append(logo, start);
      logo = std::move(replaced);
    }
    if (!boost::urls::parse_uri_reference(logo)) return std::nullopt;
    return logo;
  }
  return std::nullopt;
}

bool operator<(const OAuthProvider& a, const OAuthProvider& b) {
  const std::string_view left = a.tableName();
  const std::string_view right = b.tableName();
  if (left.empty()) return false;
  if (right.empty()) return true;
  return left < right;  // byte order equals Unicode scalar order for these ASCII names
}

std::size_t OAuthProvider::hash() const {
  if (!isCustom()) return static_cast<std::size_t>(case_);
  std::size_t seed = 0x5c;
  hashCombine(seed, std::hash<std::string>{}(customStrategy_));
  return seed;
}

void decodeValue(const Decoder& d, OAuthProvider& out) {
  const std::string key = detail::singleCaseKey(d, [](const std::string& k) {
    if (k == customKey) return true;
    for (const auto& entry : table)
      if (entry.codingKey == k) return true;
    return false;
  });
  if (key == customKey) {
    std::string strategy;
    d.member(key).required("_0", strategy);
    out = OAuthProvider::custom(std::move(strategy));
    return;
  }
  for (std::size_t i = 0; i < table.size(); ++i)
    if (table[i].codingKey == key) out = OAuthProvider(static_cast<OAuthProvider::Case>(i));
}

nlohmann::json encodeValue(const OAuthProvider& value) {
  if (value.isCustom()) return {{std::string(customKey), {{"_0", value.strategy()}}}};
  return {{std::string(value.codingKey()), nlohmann::json::object()}};
}

}  // namespace vadar
