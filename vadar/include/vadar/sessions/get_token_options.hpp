#pragma once
// Session::GetTokenOptions: how a session token is asked for: which JWT template (none for the session's
// default token), how much life a cached token must have left to be handed out, and whether to skip the cache.
//
// Example (off the main queue), given const vadar::Session& session:
//   auto token = session.getToken(vadar::Session::GetTokenOptions(std::nullopt, 10.0, false));
//   auto shaped = session.getToken(vadar::Session::GetTokenOptions("supabase", 10.0, false));
//
// The expiration buffer is kept within 0...60 seconds. Above 60 it is 60. Below 0 it is 0: a negative buffer
// would hand out a token that has already expired as if it were fresh.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "vadar/models/session.hpp"

namespace vadar {

struct Session::GetTokenOptions {
  static constexpr double maximumExpirationBuffer = 60.0;

  explicit GetTokenOptions(std::optional<std::string> templateName = std::nullopt, double buffer = 10.0,
                           bool skip = false)
      : template_(std::move(templateName)), expirationBuffer(clampBuffer(buffer)), skipCache(skip) {}

  // The name of a JWT template; none asks for the session's default token.
  std::optional<std::string> template_;
  // Seconds: a cached token is handed out only while it has strictly more life left than this.
  double expirationBuffer;
  // True: the cache is not read (the new token is still stored).
  bool skipCache;

  friend bool operator==(const GetTokenOptions&, const GetTokenOptions&) = default;

 private:
  static double clampBuffer(double seconds) {
    if (std::isnan(seconds)) return 0.0;
    return std::clamp(seconds, 0.0, maximumExpirationBuffer);
  }
};

// The text form of a token's key: the session id, or with a template the id, "-" and the template. Only for
// reading (logs, join observers): two keys may share one text ("sess_1-b" alone, "sess_1" with "b").
std::string sessionTokenCacheKey(std::string_view sessionId, const std::optional<std::string>& template_);

// The key under which a session's token is fetched and cached: the session id and the template, kept apart.
struct SessionTokenKey {
  std::string sessionId;
  std::optional<std::string> template_;

  std::string text() const { return sessionTokenCacheKey(sessionId, template_); }
  friend bool operator==(const SessionTokenKey&, const SessionTokenKey&) = default;
};

}  // namespace vadar

template <>
struct std::hash<vadar::SessionTokenKey> {
  std::size_t operator()(const vadar::SessionTokenKey& key) const {
    std::size_t seed = std::hash<std::string>()(key.sessionId);
    const std::size_t shape = key.template_ ? std::hash<std::string>()(*key.template_) + 1 : 0;
    seed ^= shape + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
    return seed;
  }
};

template <>
struct std::hash<vadar::Session::GetTokenOptions> {
  std::size_t operator()(const vadar::Session::GetTokenOptions& options) const {
    std::size_t seed = options.template_ ? std::hash<std::string>()(*options.template_) : 0x51ed;
    seed ^= std::hash<double>()(options.expirationBuffer) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
    seed ^= std::hash<bool>()(options.skipCache) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
    return seed;
  }
};
