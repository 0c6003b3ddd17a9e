#include "vadar/session_token_fetcher.hpp"

#include <exception>

#include <foundation/clock.hpp>
#include <httpkit/errors.hpp>
#include <httpkit/request.hpp>
#include <httpkit/url_error.hpp>

#include "core/background_tasks.hpp"
#include "core/error_copies.hpp"
#include "core/live_services.hpp"
#include "sessions/request_path.hpp"
#include "vadar/vadar_api_error.hpp"
#include "vadar/vadar_client_error.hpp"

namespace vadar {

std::string sessionTokenCacheKey(std::string_view sessionId, const std::optional<std::string>& template_) {
  std::string key(sessionId);
  if (template_) {
    key += '-';
    key += *template_;
  }
  return key;
}

std::optional<TokenResource> SessionTokenFetcher::take(const Result& result) {
  if (result.throwError) result.throwError();
  return result.token;
}

SessionTokenFetcher::SessionTokenFetcher(SessionTokensCache& cache, JoinObserver onJoin)
    : cache_(cache), onJoin_(std::move(onJoin)) {}

SessionTokenFetcher& SessionTokenFetcher::shared() {
  static SessionTokenFetcher* fetcher = new SessionTokenFetcher(SessionTokensCache::shared());  // never destroyed
  return *fetcher;
}

std::optional<TokenResource> SessionTokenFetcher::getToken(const Session& session,
                                                           const Session::GetTokenOptions& options) {
  // Checked first, so a refused id or template leaves no trace.
  sessions::checkIdPathSegment(session.id);
  if (options.template_) sessions::checkPathSegment(*options.template_);
  const std::string key = sessionTokenCacheKey(session.id, options.template_);

  // A hit while nothing is in flight is what a fetch that only reads the cache would give, without the
  // bookkeeping of one.
  const bool lookedUp = !options.skipCache && inFlight_.load(std::memory_order_acquire) == 0;
  if (lookedUp) {
    if (auto fresh = cache_.freshToken(key, options.expirationBuffer, foundation::Clock::now())) return fresh;
  }

  // Past this point the caller may wait for the network.
  core::requireOffMainQueue("SessionTokenFetcher::getToken()");
  std::promise<Result> promise;
  {
    std::unique_lock lock(mutex_);
    if (auto it = tokenTasks_.find(key); it != tokenTasks_.end()) {
      Outcome outcome = it->second;
      lock.unlock();
      if (onJoin_) onJoin_(key);
      return take(outcome.get());
    }
    // Again under the lock: a fetch may have ended since (an undecodable token was already logged above).
    if (!options.skipCache) {
      if (auto fresh = cache_.freshToken(key, options.expirationBuffer, foundation::Clock::now(), !lookedUp))
        return fresh;
    }
    tokenTasks_.emplace(key, promise.get_future().share());
    inFlight_.fetch_add(1, std::memory_order_release);
  }

  std::optional<TokenResource> value;
  std::exception_ptr error;
  try {
    std::string path = "/v1/client/sessions/" + sessions::idPathSegment(session.id) + "/tokens";
    if (options.template_) path += "/" + sessions::pathSegment(*options.template_);
    value = request(path, key);
  } catch (...) {
    error = std::current_exception();
  }

  // Out of the table before anyone learns the outcome: whoever asks next starts afresh.
  {
    std::lock_guard lock(mutex_);
    tokenTasks_.erase(key);
    inFlight_.fetch_sub(1, std::memory_order_release);
  }
  if (error) {
    promise.set_value(Result{std::nullopt, core::copyingThrower(error)});
    std::rethrow_exception(error);  // the first caller keeps the original
  }
  promise.set_value(Result{value, nullptr});
  return value;
}

std::optional<TokenResource> SessionTokenFetcher::request(const std::string& path, const std::string& key) {
  const auto answer = core::sendThroughPipeline(httpkit::AnyRequest(path, httpkit::HTTPMethod::post));
  if (answer.data.empty()) return std::nullopt;
  auto token = core::decodeBody<std::optional<TokenResource>>(answer.data);
  // An answer without a token text is no token either; the cache keeps what it had.
  if (!token || token->jwt.empty()) return std::nullopt;
  cache_.insert(*token, key);
  return token;
}

}  // namespace vadar
