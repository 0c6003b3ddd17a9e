#pragma once
// SessionTokenFetcher: hands out session tokens, with at most one request per cache key in flight.
//
// Example (off the main queue), given const vadar::Session& session:
//   auto token = vadar::SessionTokenFetcher::shared().getToken(session, vadar::Session::GetTokenOptions());
//
// Session::getToken and the load-started polling go through the shared instance. A call answers from the
// cache while the cached token has more life left than the options' buffer (unless `skipCache`); otherwise it
// sends "POST /v1/client/sessions/<id>/tokens" (with a template ".../tokens/<template>") and stores the
// answer in the cache. An empty answer gives none and leaves the cache as it was.
//
// Single flight: callers that ask for a key while a request for it is in flight wait for that request and get
// its outcome, value or error (their own buffer and skip-cache flag play no part). Each waiter receives its own
// copy of the error (the library's and the HTTP client's error types), so no two threads share one exception
// object. The in-flight entry is removed before the outcome is published, so a caller that comes after it
// starts afresh, from the cache or with a new request; an error is never remembered.
//
// Stopping: the request runs on a thread of the fetcher's, and every caller, the one that started it
// included, waits for it. A caller whose own stop token (core::StopTokenScope: the poller's, a background
// task's) is stopped leaves with URLError `cancelled` at once; the request goes on for the others, even when
// the caller that left had started it (the poller stopped by `Vadar::shutdown()` while the application waits
// on its refresh). Once every caller has left so, nobody wants the answer: the request is cancelled, the
// last one out waits (briefly) for it to end, and the next caller starts afresh. Whatever the request still
// ends with is dropped, uncached (`forget` no longer reaches it); one that does not end within that wait (an
// application hook deaf to the stop) is left to end on its own: the fetcher and its cache may be destroyed
// meanwhile.
//
// Keys: a session id and a template, kept apart (see SessionTokenKey), so that no session can be handed the
// token of another session whose id and template happen to spell the same text.
//
// Threads: `getToken` blocks the calling thread until the request's thread has an outcome. Any thread may
// call it; on the main queue only a cache hit is answered (whatever other keys are
// being fetched), anything that would wait for the network throws VadarClientError (Session::getToken refuses
// the main queue altogether).
// Session ids and templates go into the path as one percent-encoded segment each; "." and "..", an empty
// session id and an empty template are refused with VadarClientError before anything is sent.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "vadar/sessions/get_token_options.hpp"
#include "vadar/models/session.hpp"
#include "vadar/sessions/session_tokens_cache.hpp"
#include "vadar/models/token_resource.hpp"

namespace vadar {

class SessionTokenFetcher {
 public:
  // REQUIRES (destruction): nobody waits in getToken.
  explicit SessionTokenFetcher(SessionTokensCache& cache);
  SessionTokenFetcher(const SessionTokenFetcher&) = delete;
  SessionTokenFetcher& operator=(const SessionTokenFetcher&) = delete;

  // The process's fetcher over SessionTokensCache::shared(); made on first use and never destroyed.
  static SessionTokenFetcher& shared();

  // The token for `session` and `options`, from the cache or fetched; none when the frontend API answered
  // without a token. Throws what the request throws (VadarAPIError, URLError, DecodingError) and
  // VadarClientError for an id or template that cannot be a path segment. A token whose "sid" claim names
  // another session is refused with DecodingError and not cached.
  std::optional<TokenResource> getToken(const Session& session, const Session::GetTokenOptions& options);

  // The tokens of these sessions no longer hold: the sessions left the client (a sign-out), changed status or
  // now work in another organization, which a token names. Their cached tokens go, and a request of theirs in flight keeps
  // its answer from the cache: its waiters still get it, as they asked before, and later callers ask anew.
  void forget(const std::vector<std::string>& sessionIds);

 // The callers waiting right now on a request another caller started. For tests and diagnostics.
  std::size_t joined() const;
  // Waits until at least `count` callers wait on a request another caller started; false on timeout.
  bool waitForJoined(std::size_t count, std::chrono::milliseconds timeout) const;

 private:
  // A request's outcome as its waiters read it: the token, or a thrower that throws a fresh copy of the error.
  struct Result {
    std::optional<TokenResource> token;
    std::function<void()> throwError;
  };
  struct Flight {
    explicit Flight(SessionTokenKey k) : key(std::move(k)) {}
    const SessionTokenKey key;
    std::optional<Result> result;  // set once, under the state's mutex
    std::size_t waiters = 1;       // callers waiting for the result, under the mutex; the first one counts from the start
    std::stop_source stop;         // cancels the request
    std::thread thread;            // sends it; joined by the last waiter to leave, under the mutex, or detached
  };
  // What a request's thread shares with the fetcher: it holds its own reference, so that a request that
  // outlives the fetcher still has somewhere to leave its outcome.
  struct State {
    std::mutex mutex;                     // guards tokenTasks, the flights' results and joined
    std::condition_variable_any changed;  // a flight settled or a caller joined
    std::atomic<std::size_t> inFlight{0};  // tokenTasks.size(), readable without the lock
    std::unordered_map<SessionTokenKey, std::shared_ptr<Flight>> tokenTasks;
    std::size_t joined = 0;
  };

  static std::optional<TokenResource> take(const Result& result);

  // Sends the flight's request on a thread of its own (`flight.thread`); its outcome settles the flight.
  void startRequest(const std::shared_ptr<Flight>& flight, std::string path);
  // Waits for the flight's outcome as one of its `waiters` (`joined`: not the one that started it).
  std::optional<TokenResource> await(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Flight>& flight,
                                     bool joined);
  // Takes the flight out of the state's table if it is still there, and says whether it was; under the state's
  // mutex. A flight out of the table (retired, forgotten, left by every caller) never touches the cache again.
  static bool retire(State& state, const Flight& flight);
  // The token the frontend API answers `path` with; none for an empty answer or one without a token text.
  // Throws DecodingError for a token that names another session than `sessionId`.
  static std::optional<TokenResource> request(const std::string& path, const std::string& sessionId);

  SessionTokensCache& cache_;
  const std::shared_ptr<State> state_;
};

}  // namespace vadar
