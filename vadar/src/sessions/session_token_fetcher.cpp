#include "vadar/sessions/session_token_fetcher.hpp"

#include <exception>
#include <string_view>
#include <unordered_set>

#include <foundation/clock.hpp>
#include <foundation/main_queue.hpp>
#include <httpkit/errors.hpp>
#include <httpkit/request.hpp>
#include <httpkit/url_error.hpp>
#include <wiring/container.hpp>

#include "core/background_tasks.hpp"
#include "core/error_copies.hpp"
#include "core/live_services.hpp"
#include "sessions/request_path.hpp"
#include "vadar/infra/coding.hpp"
#include "vadar/infra/jwt.hpp"
#include "vadar/models/vadar_api_error.hpp"
#include "vadar/models/vadar_client_error.hpp"

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

SessionTokenFetcher::SessionTokenFetcher(SessionTokensCache& cache) : cache_(cache), state_(std::make_shared<State>()) {}

SessionTokenFetcher& SessionTokenFetcher::shared() {
  static SessionTokenFetcher* fetcher = new SessionTokenFetcher(SessionTokensCache::shared());  // never destroyed
  return *fetcher;
}

std::optional<TokenResource> SessionTokenFetcher::getToken(const Session& session,
                                                           const Session::GetTokenOptions& options) {
  // Checked first, so a refused id or template leaves no trace. An empty template would ask for the path
  // ".../tokens/", which a proxy's path joining turns into the default token's path.
  sessions::checkIdPathSegment(session.id);
  if (options.template_) {
    if (options.template_->empty()) throw VadarClientError("An empty template cannot name a session token.");
    sessions::checkPathSegment(*options.template_);
  }
  const SessionTokenKey key{session.id, options.template_};

  // A hit while nothing is in flight is what a fetch that only reads the cache would give, without the
  // bookkeeping of one.
  const bool lookedUp = !options.skipCache && state_->inFlight.load(std::memory_order_acquire) == 0;
  if (lookedUp) {
    if (auto fresh = cache_.freshToken(key, options.expirationBuffer, foundation::Clock::now())) return fresh;
  }

  State& state = *state_;
  std::unique_lock lock(state.mutex);
  if (auto it = state.tokenTasks.find(key); it != state.tokenTasks.end()) {
    core::requireOffMainQueue("SessionTokenFetcher::getToken()");
    const std::shared_ptr<Flight> flight = it->second;
    ++flight->waiters;
    ++state.joined;
    state.changed.notify_all();
    return await(lock, flight, /*joined=*/true);
  }
  // Again under the lock: a fetch of this key may have ended since, or another key's fetch kept the first
  // look from happening (an undecodable token was already logged above).
  if (!options.skipCache) {
    if (auto fresh = cache_.freshToken(key, options.expirationBuffer, foundation::Clock::now(), !lookedUp))
      return fresh;
  }
  // Past this point the caller waits for the network.
  core::requireOffMainQueue("SessionTokenFetcher::getToken()");
  auto flight = std::make_shared<Flight>(key);
  state.tokenTasks.emplace(key, flight);
  state.inFlight.fetch_add(1, std::memory_order_release);

  std::string path = "/v1/client/sessions/" + sessions::idPathSegment(session.id) + "/tokens";
  if (options.template_) path += "/" + sessions::pathSegment(*options.template_);
  // On a thread of its own, so that the caller that started it can leave on its own stop without taking the
  // request from the others, and without waiting for the server either.
  try {
    startRequest(flight, std::move(path));
  } catch (...) {
    retire(state, *flight);  // no thread: nobody else may join a request that never starts
    throw;
  }
  return await(lock, flight, /*joined=*/false);
}

void SessionTokenFetcher::startRequest(const std::shared_ptr<Flight>& flight, std::string path) {
  // The request resolves "apiClient" as its first caller would. It reaches the fetcher only through the state
  // it holds, and the cache only while someone still waits for it.
  flight->thread = std::thread(wiring::Container::propagating(
      [state = state_, cache = &cache_, flight, path = std::move(path)] {
        std::optional<TokenResource> value;
        std::exception_ptr error;
        try {
          core::StopTokenScope scope(flight->stop.get_token());
          value = request(path, flight->key.sessionId);
        } catch (...) {
          error = std::current_exception();
        }
        // Out of the table before anyone learns the outcome: whoever asks next starts afresh. Only a flight
        // still in the table keeps its answer: one taken out since (its session forgotten, or every caller gone,
        // after which the fetcher and its cache may be gone too) is no longer where `forget` can reach it.
        {
          std::lock_guard lock(state->mutex);
          if (retire(*state, *flight) && value) cache->insert(*value, flight->key);
          flight->result = error ? Result{std::nullopt, core::copyingThrower(error)} : Result{value, nullptr};
        }
        state->changed.notify_all();
      }));
}

std::optional<TokenResource> SessionTokenFetcher::await(std::unique_lock<std::mutex>& lock,
                                                        const std::shared_ptr<Flight>& flight, bool joined) {
  State& state = *state_;
  const bool settled =
      state.changed.wait(lock, core::StopTokenScope::current(), [&] { return flight->result.has_value(); });
  --flight->waiters;
  if (joined) --state.joined;
  if (!settled && flight->waiters == 0 && !flight->result) {
    // Nobody wants the answer any more. Whoever asks next starts afresh; the request ends now, and this
    // caller, whose stop may be a shutdown, sees it end rather than leave it running behind.
    retire(state, *flight);
    flight->stop.request_stop();
    state.changed.wait_for(lock, std::chrono::seconds(5), [&] { return flight->result.has_value(); });
  }
  // The last one out joins the thread; it has published the outcome, only its return is left.
  std::thread finished;
  if (flight->waiters == 0) {
    finished = std::move(flight->thread);
    if (!flight->result) finished.detach();  // a send deaf to its cancellation, out of the table; it ends on its own
  }
  const std::optional<Result> result = settled ? flight->result : std::nullopt;
  lock.unlock();
  if (finished.joinable()) finished.join();
  if (!result) throw httpkit::URLError(httpkit::URLError::Code::cancelled, "the wait for a session token was cancelled");
  return take(*result);
}

bool SessionTokenFetcher::retire(State& state, const Flight& flight) {
  auto it = state.tokenTasks.find(flight.key);
  if (it == state.tokenTasks.end() || it->second.get() != &flight) return false;
  state.tokenTasks.erase(it);
  state.inFlight.fetch_sub(1, std::memory_order_release);
  return true;
}

void SessionTokenFetcher::forget(const std::vector<std::string>& sessionIds) {
  if (sessionIds.empty()) return;
  const std::unordered_set<std::string_view> gone(sessionIds.begin(), sessionIds.end());
  State& state = *state_;
  // Under the state's lock, as a request's end stores its answer: either it stored it before, and the cache
  // removal below takes it, or it finds its flight out of the table and keeps nothing.
  std::lock_guard lock(state.mutex);
  for (auto it = state.tokenTasks.begin(); it != state.tokenTasks.end();) {
    if (gone.contains(it->first.sessionId)) {
      it = state.tokenTasks.erase(it);
      state.inFlight.fetch_sub(1, std::memory_order_release);
    } else {
      ++it;
    }
  }
  cache_.removeSessions(sessionIds);
}

std::size_t SessionTokenFetcher::joined() const {
  std::lock_guard lock(state_->mutex);
  return state_->joined;
}

bool SessionTokenFetcher::waitForJoined(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(state_->mutex);
  return state_->changed.wait_for(lock, timeout, [&] { return state_->joined >= count; });
}

std::optional<TokenResource> SessionTokenFetcher::request(const std::string& path, const std::string& sessionId) {
  const auto answer = core::sendThroughPipelinePastShutdown(httpkit::AnyRequest(path, httpkit::HTTPMethod::post));
  if (answer.data.empty()) return std::nullopt;
  auto token = core::decodeBody<std::optional<TokenResource>>(answer.data);
  // An answer without a token text is no token either; the cache keeps what it had.
  if (!token || token->jwt.empty()) return std::nullopt;
  // Its holder acts as the session the token names: one naming another session is not this session's. A token
  // that does not decode, or names none, is taken as it comes (its decoding fails, and is logged, where it is
  // read).
  std::optional<std::string> named;
  try {
    const JSON claim = decodeJWT(token->jwt).body["sid"];
    if (claim.isString()) named = claim.stringValue();
  } catch (const JWTDecodeError&) {
  }
  if (named && *named != sessionId)
    throw DecodingError(DecodingError::Kind::dataCorrupted, "sid",
                        "The frontend API answered with a token of another session.");
  return token;
}

}  // namespace vadar
