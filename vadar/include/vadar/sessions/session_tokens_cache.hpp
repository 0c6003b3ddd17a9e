#pragma once
// SessionTokensCache: the session tokens the library has fetched, in memory, by session id and template (see
// SessionTokenKey). One shared instance lives for the whole process. A token stays until a newer token for the
// same key replaces it, or until its session's tokens are removed: a token names its session and the session's
// active organization, so once the session leaves the client or changes organization it is no longer true
// (SessionTokenFetcher::forget). A new session has a new id and so new keys.
//
// Example, given const vadar::Session& session, const vadar::TokenResource& token:
//   auto& cache = vadar::SessionTokensCache::shared();
//   const vadar::SessionTokenKey key{session.id, std::nullopt};
//   cache.insert(token, key);
//   std::optional<std::string> jwt;
//   if (auto fresh = cache.freshToken(key, 10.0, foundation::Clock::now())) jwt = fresh->jwt;
//
// Thread safety: every member may be called from any thread. A token's expiry is read once, when it is
// inserted, so a look-up costs a hash-map find and a copy of the token text.
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "vadar/infra/coding.hpp"
#include "vadar/sessions/get_token_options.hpp"
#include "vadar/models/token_resource.hpp"

namespace vadar {

class SessionTokensCache {
 public:
  SessionTokensCache() = default;
  SessionTokensCache(const SessionTokensCache&) = delete;
  SessionTokensCache& operator=(const SessionTokensCache&) = delete;

  // The process's cache, made on first use and never destroyed.
  static SessionTokensCache& shared();

  // The token under `key`, fresh or not; none when there is none.
  std::optional<TokenResource> token(const SessionTokenKey& key) const;
  // Puts `token` under `key`, replacing what was there.
  void insert(const TokenResource& token, const SessionTokenKey& key);
  // Removes the tokens of these sessions, under every template.
  void removeSessions(const std::vector<std::string>& sessionIds);

  // The token under `key` when it can be handed out: its "exp" claim lies strictly more than
  // `expirationBuffer` seconds after `now`. None when there is no token, when its expiry is absent or not a
  // number, when its life left is at most the buffer, and when it cannot be decoded (then the line "Failed to
  // decode JWT" is logged with the error, at every such look-up unless `logUndecodable` is false).
  std::optional<TokenResource> freshToken(const SessionTokenKey& key, double expirationBuffer, Date now,
                                          bool logUndecodable = true) const;

 private:
  struct Entry {
    TokenResource token;
    bool decodable = false;
    std::optional<Date> expiresAt;
  };

  mutable std::shared_mutex mutex_;  // guards cache_; held only to find or replace an entry
  std::unordered_map<SessionTokenKey, std::shared_ptr<const Entry>> cache_;
};

}  // namespace vadar
