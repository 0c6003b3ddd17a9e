#pragma once
// OAuthProvider: the OAuth identity providers (27 known ones and `custom` with its own strategy text).
//
// Example, given const vadar::VadarEnvironment& environment, std::vector<vadar::OAuthProvider> list:
//   std::string strategy = vadar::OAuthProvider::google.strategy();                // "oauth_google"
//   auto linkedin = vadar::OAuthProvider::fromStrategy("oauth_linkedin_oidc");     // OAuthProvider::linkedin_oidc
//   auto acme = vadar::OAuthProvider::fromStrategy("oauth_acme");     // OAuthProvider::custom("oauth_acme")
//   std::string shown = acme.name(environment);   // display name, custom ones from the environment
//   std::sort(list.begin(), list.end());          // by display name, custom ones last
//
// Coding is a one-key object: {"google": {}}, {"custom": {"_0": "oauth_acme"}}. An object in which the number
// of keys naming a case is not one fails with "Invalid number of keys found, expected one.".
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vadar/infra/coding.hpp"
#include "vadar/models/environment.hpp"

namespace vadar {

class OAuthProvider {
 public:
  enum class Case : std::uint8_t {
    facebook, google, hubspot, github, tiktok, gitlab, discord, twitter, twitch, linkedin, linkedin_oidc,
    dropbox, atlassian, bitbucket, microsoft, notion, apple, line, instagram, coinbase, spotify, xero, box,
    slack, linear, huggingFace, vercel, custom
  };

  static const OAuthProvider facebook, google, hubspot, github, tiktok, gitlab, discord, twitter, twitch,
      linkedin, linkedin_oidc, dropbox, atlassian, bitbucket, microsoft, notion, apple, line, instagram, coinbase,
      spotify, xero, box, slack, linear, huggingFace, vercel;

  // The 27 cases without payload, in table order (custom is never among them).
  static const std::array<OAuthProvider, 27>& allCases();

  OAuthProvider() : case_(Case::facebook) {}
  explicit OAuthProvider(Case c) : case_(c) {}
  static OAuthProvider custom(std::string strategy);
  // The first known case whose strategy equals `strategy` exactly; otherwise custom(strategy).
  static OAuthProvider fromStrategy(std::string_view strategy);

  Case kind() const { return case_; }
  bool isCustom() const { return case_ == Case::custom; }
  // The table's strategy text; the payload for custom.
  std::string strategy() const;
  std::string id() const { return strategy(); }
  // The coding key ("google", "huggingFace", "custom").
  std::string_view codingKey() const;
  // The table's display name; empty for custom.
  std::string_view tableName() const;
  // The display name; for custom the `name` of the first social entry of `environment` whose strategy equals
  // the custom text (empty when none or when the environment has no user settings).
  std::string name(const VadarEnvironment& environment) const;
  // The provider's logo address from `environment`'s social entries (first entry with this strategy and a
  // logo text that is not blank). For a known provider with `darkMode`, every ".png" becomes "-dark.png".
  // None when no entry qualifies or the text is not a URL.
  std::optional<std::string> iconImageUrl(bool darkMode, const VadarEnvironment& environment) const;
  // The same two, reading the shared `Vadar` object's environment (defined by the core, vadar/src/core/).
  std::string name() const;
  std::optional<std::string> iconImageUrl(bool darkMode) const;

  friend bool operator==(const OAuthProvider& a, const OAuthProvider& b) {
    return a.case_ == b.case_ && (a.case_ != Case::custom || a.customStrategy_ == b.customStrategy_);
  }
  // By table display name, byte order ("LINE" < "Linear"); custom values have the empty name and come last.
  friend bool operator<(const OAuthProvider& a, const OAuthProvider& b);
  friend bool operator>(const OAuthProvider& a, const OAuthProvider& b) { return b < a; }
  friend bool operator<=(const OAuthProvider& a, const OAuthProvider& b) { return !(b < a); }
  friend bool operator>=(const OAuthProvider& a, const OAuthProvider& b) { return !(a < b); }
  std::size_t hash() const;

 private:
  Case case_;
  std::string customStrategy_;
};

inline const OAuthProvider OAuthProvider::facebook{Case::facebook};
inline const OAuthProvider OAuthProvider::google{Case::google};
inline const OAuthProvider OAuthProvider::hubspot{Case::hubspot};
inline const OAuthProvider OAuthProvider::github{Case::github};
inline const OAuthProvider OAuthProvider::tiktok{Case::tiktok};
inline const OAuthProvider OAuthProvider::gitlab{Case::gitlab};
inline const OAuthProvider OAuthProvider::discord{Case::discord};
inline const OAuthProvider OAuthProvider::twitter{Case::twitter};
inline const OAuthProvider OAuthProvider::twitch{Case::twitch};
inline const OAuthProvider OAuthProvider::linkedin{Case::linkedin};
inline const OAuthProvider OAuthProvider::linkedin_oidc{Case::linkedin_oidc};
inline const OAuthProvider OAuthProvider::dropbox{Case::dropbox};
inline const OAuthProvider OAuthProvider::atlassian{Case::atlassian};
inline const OAuthProvider OAuthProvider::bitbucket{Case::bitbucket};
inline const OAuthProvider OAuthProvider::microsoft{Case::microsoft};
inline const OAuthProvider OAuthProvider::notion{Case::notion};
inline const OAuthProvider OAuthProvider::apple{Case::apple};
inline const OAuthProvider OAuthProvider::line{Case::line};
inline const OAuthProvider OAuthProvider::instagram{Case::instagram};
inline const OAuthProvider OAuthProvider::coinbase{Case::coinbase};
inline const OAuthProvider OAuthProvider::spotify{Case::spotify};
inline const OAuthProvider OAuthProvider::xero{Case::xero};
inline const OAuthProvider OAuthProvider::box{Case::box};
inline const OAuthProvider OAuthProvider::slack{Case::slack};
inline const OAuthProvider OAuthProvider::linear{Case::linear};
inline const OAuthProvider OAuthProvider::huggingFace{Case::huggingFace};
inline const OAuthProvider OAuthProvider::vercel{Case::vercel};

void decodeValue(const Decoder& d, OAuthProvider& out);
nlohmann::json encodeValue(const OAuthProvider& value);

}  // namespace vadar

template <>
struct std::hash<vadar::OAuthProvider> {
  std::size_t operator()(const vadar::OAuthProvider& value) const { return value.hash(); }
};
