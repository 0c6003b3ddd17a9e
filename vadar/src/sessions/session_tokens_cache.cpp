#include "vadar/sessions/session_tokens_cache.hpp"

#include <chrono>
#include <mutex>
#include <string_view>
#include <unordered_set>

#include "vadar/infra/jwt.hpp"

namespace vadar {

SessionTokensCache& SessionTokensCache::shared() {
  static SessionTokensCache* cache = new SessionTokensCache();  // outlives every user; never destroyed
  return *cache;
}

std::optional<TokenResource> SessionTokensCache::token(const SessionTokenKey& key) const {
  std::shared_lock lock(mutex_);
  auto it = cache_.find(key);
  if (it == cache_.end()) return std::nullopt;
  return it->second->token;
}

void SessionTokensCache::insert(const TokenResource& token, const SessionTokenKey& key) {
  auto entry = std::make_shared<Entry>();
  entry->token = token;
  // Decoded quietly here: the failure is logged when a look-up meets it, as often as that happens.
  try {
    entry->expiresAt = decodeJWT(token.jwt).expiresAt();
    entry->decodable = true;
  } catch (const JWTDecodeError&) {
    entry->decodable = false;
  }
  std::shared_ptr<const Entry> previous;
  {
    std::unique_lock lock(mutex_);
    auto& slot = cache_[key];
    previous = std::move(slot);  // released outside the lock
    slot = std::move(entry);
  }
}

void SessionTokensCache::removeSessions(const std::vector<std::string>& sessionIds) {
  if (sessionIds.empty()) return;
  const std::unordered_set<std::string_view> gone(sessionIds.begin(), sessionIds.end());
  std::vector<std::shared_ptr<const Entry>> removed;  // released outside the lock
  std::unique_lock lock(mutex_);
  for (auto it = cache_.begin(); it != cache_.end();) {
    if (gone.contains(it->first.sessionId)) {
      removed.push_back(std::move(it->second));
      it = cache_.erase(it);
    } else {
      ++it;
    }
  }
  lock.unlock();
}

std::optional<TokenResource> SessionTokensCache::freshToken(const SessionTokenKey& key, double expirationBuffer, Date now,
                                                            bool logUndecodable) const {
  std::shared_ptr<const Entry> entry;
  {
    std::shared_lock lock(mutex_);
    auto it = cache_.find(key);
    if (it == cache_.end()) return std::nullopt;
    entry = it->second;
  }
  if (!entry->decodable) {
    if (logUndecodable) entry->token.decodedJWT();  // writes "Failed to decode JWT" with the decoder's error
    return std::nullopt;
  }
  if (!entry->expiresAt) return std::nullopt;
  const double remaining = std::chrono::duration<double>(*entry->expiresAt - now).count();
  // Strictly less: a token with exactly the buffer left is fetched anew. A NaN on either side is never fresh.
  if (!(expirationBuffer < remaining)) return std::nullopt;
  return entry->token;
}

}  // namespace vadar
