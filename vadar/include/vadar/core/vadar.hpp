#pragma once
// Vadar: the one central object of the authentication library. It holds what the library knows about this
// installation's signed-in state (the frontend API's client with its sessions, the instance environment) and
// its configuration (publishable key, settings, frontend API address, proxy).
//
// Example (off the main queue), given const std::string& publishableKey:
//   auto vadar = vadar::Vadar::shared();
//   vadar->configure(publishableKey, vadar::Vadar::Settings());
//   vadar->load();                                   // blocking; never on the main queue
//   std::optional<std::string> sessionId;
//   if (auto session = vadar->session()) sessionId = session->id;
//   auto subscription = vadar->observe(vadar::Vadar::Member::client, [] { /* on the main queue */ });
//   vadar->signOut();
//
// Threads. Every write of the object's state, the side effects of that write and the observers' callbacks run
// on foundation::MainQueue: a setter called there runs inline, called elsewhere it runs there and waits. Any
// thread reads a consistent snapshot of any member at once, without waiting for the main queue, so a request
// in flight never waits on it. The blocking operations (`load`, `signOut`, `setActive`) throw
// VadarClientError when called on the main queue instead of blocking it.
//
// Side effects of writes, run after every write (announced or not), in this order:
//   publishableKey      -> the frontend API address is derived again (a key of the wrong form keeps it)
//   frontendApiUrl      -> "apiClient" is registered again
//   proxyConfiguration  -> "apiClient" is registered again
//   proxyUrl            -> proxyConfiguration is remade from it
//   settings            -> "vadarSettings" and "keychain" are registered again, proxyUrl takes settings.proxyUrl
//   client              -> saved to the keychain item "cachedClient" (absent: the item is deleted; the last tokens
//                          of sessions neither active nor pending are left out; a refused save deletes it) by a writer
//                          thread, so no request waits on the keychain; a write superseded before it ran is
//                          skipped, never the last one. A write that loses sessions (a sign-out, an absent
//                          client) is done before the setter returns instead (a few seconds at most). Then the
//                          pending-session line is logged when the last active session turned pending. Before
//                          all that, the session tokens of sessions gone, in another status or in another
//                          organization are forgotten (SessionTokenFetcher::forget)
//   environment         -> saved to the keychain item "cachedEnvironment" by the same writer
// Each write goes to the keychain registered when it was made, marked for the instance it belongs to.
//
// Instances. The frontend API address the key names is the instance the object serves. What it holds of one
// instance is never sent to another: when `frontendApiUrl` changes to another instance, the client (with its
// sessions) and the environment are let go (observers are told), `isLoaded` turns false until a load of the new
// instance, answers still arriving from the old instance install nothing, and the device token of one instance
// is never sent to another's host. A keychain marked for another instance gives nothing back.
//
// Restore. Once configured (after `configure`, `setPublishableKey`, `setSettings` or `setFrontendApiUrl`), the
// object restores the client and environment cached in the keychain it was configured with, for its instance,
// whenever that pair changes; the keychain is read off the main queue, and a restored value never replaces one
// already there.
//
// Observers of a member are told after the write and its side effects: for isLoaded, publishableKey,
// frontendApiUrl, proxyUrl, client, environment and sessionsByUserId only when the value changed; for
// settings and proxyConfiguration at every write; for telemetry when the collector is replaced.
//
// Lifetime. `shared()` is made once (container key "vadar", singleton scope) and is never destroyed, so no
// static destructor does work; `shutdown()` stops and joins every background thread of the library.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <tuple>
#include <vector>

#include "vadar/infra/auth_event.hpp"
#include "vadar/models/client.hpp"
#include "vadar/models/environment.hpp"
#include "vadar/infra/event_emitter.hpp"
#include "vadar/infra/proxy_configuration.hpp"
#include "vadar/models/session.hpp"
#include "vadar/infra/settings.hpp"
#include "vadar/infra/settings_provider.hpp"
#include "vadar/infra/telemetry_collector.hpp"
#include "vadar/models/user.hpp"

namespace vadar {

class Vadar : public std::enable_shared_from_this<Vadar> {
 public:
  using Settings = VadarSettings;
  using Environment = VadarEnvironment;

  // The members observers can follow.
  enum class Member {
    isLoaded,
    client,
    telemetry,
    proxyUrl,
    sessionsByUserId,
    publishableKey,
    environment,
    frontendApiUrl,
    settings,
    proxyConfiguration,
  };

  // Keeps an observation alive; destroying or cancelling it stops the callbacks. Once `cancel()` has
  // returned the callback never starts again. A callback already running when another thread cancels finishes
  // first: `cancel()` waits for it, for kCallbackEndWait at most and no longer than the caller's stop
  // (core::StopTokenScope), so never cancel while holding something the callback waits for: that costs the
  // wait, and the callback then ends after `cancel()` returned (logged). Cancelling on the main queue (from
  // inside a callback too) never waits.
  class Subscription {
   public:
    static constexpr std::chrono::seconds kCallbackEndWait{5};
    Subscription() = default;
    Subscription(Subscription&&) noexcept = default;
    Subscription& operator=(Subscription&& other) noexcept;
    ~Subscription();
    void cancel();

   private:
    friend class Vadar;
    Subscription(std::weak_ptr<Vadar> owner, std::uint64_t id) : owner_(std::move(owner)), id_(id) {}
    std::weak_ptr<Vadar> owner_;
    std::uint64_t id_ = 0;
  };

  // The process's object (container key "vadar").
  static std::shared_ptr<Vadar> shared();
  // A new object in its initial state. `shared()`'s default maker.
  static std::shared_ptr<Vadar> make();
  // Preview objects: sample client, sample environment and (for `sample`) sample sessions by user. They
  // have no side effects: no keychain access, no registration, no restore.
  static std::shared_ptr<Vadar> sample();
  static std::shared_ptr<Vadar> sample2();

  ~Vadar();
  Vadar(const Vadar&) = delete;
  Vadar& operator=(const Vadar&) = delete;

  // ---- snapshot reads (any thread, never waiting on the main queue) ----
  bool isLoaded() const;
  std::optional<Client> client() const;
  std::shared_ptr<TelemetryCollector> telemetry() const;
  std::optional<std::string> proxyUrl() const;
  std::map<std::string, std::vector<Session>> sessionsByUserId() const;
  std::string publishableKey() const;
  Environment environment() const;
  std::string frontendApiUrl() const;
  Settings settings() const;
  std::optional<ProxyConfiguration> proxyConfiguration() const;
  // The active session whose id is the client's last active session id; none otherwise (a pending session
  // is never current).
  std::optional<Session> session() const;
  std::optional<User> user() const;
  // True unless the key begins with "pk_live_".
  bool hasNonLiveKey() const;
  EventEmitter<AuthEvent>& authEventEmitter() { return authEventEmitter_; }

  // What the request pipeline reads of the object, taken together under one lock.
  struct RequestContext {
    std::optional<ProxyConfiguration> proxyConfiguration;
    bool debugMode = false;
    std::optional<std::string> clientId;
    std::string frontendApiUrl;  // the instance the client belongs to
  };
  RequestContext requestContext() const;

  // ---- writes (on the main queue; from another thread they wait for it) ----
  void setClient(std::optional<Client> client);
  void setEnvironment(Environment environment);
  void setPublishableKey(std::string key);
  void setSettings(Settings settings);
  void setProxyUrl(std::optional<std::string> url);
  void setProxyConfiguration(std::optional<ProxyConfiguration> configuration);
  void setFrontendApiUrl(std::string url);
  void setSessionsByUserId(std::map<std::string, std::vector<Session>> sessions);
  // Installs a client that an answer of `instance` (a frontend API address) carried, as `setClient` does,
  // unless the object serves another instance by then, or holds the same client in a later update (the answer
  // is stale). The object keeps `client` itself (no copy).
  void installClient(std::shared_ptr<const Client> client, const std::string& instance);
  // The same for an environment an answer of `instance` carried.
  void installEnvironment(Environment environment, const std::string& instance);
  // The same from the request pipeline: queued on the main queue, never waited for. An answer that would change
  // nothing (the object serves `instance` and holds an equal client, and none of its writes is queued or under
  // way) queues nothing, so a stream of requests costs the main queue no work while the client stays the same.
  // Returns whether the client was queued: only then does the object hold a reference to it.
  bool offerClient(std::shared_ptr<const Client> client, const std::string& instance);

  // Stores the key exactly as given, then the settings; both writes' side effects run, in that order.
  void configure(std::string publishableKey, Settings settings = Settings());

  // ---- blocking operations (never on the main queue) ----
  // A blank key logs and returns. Otherwise starts the session-token polling (once), fetches client and
  // environment at the same time, starts a background device attestation when the environment asks for one,
  // and marks the object loaded with a new telemetry collector. Throws the client fetch's error (the
  // environment fetch is then cancelled) or the environment fetch's error; URLError `cancelled` when
  // shutdown() comes first, or when configure() switches to another instance meanwhile (nothing is loaded).
  // What it fetched is installed into this object, whether or not it is the shared one.
  void load();
  // With a session id removes that session, without one signs out of every session ("vadarService"). When it
  // returns, the client of the answer is installed and in the keychain (each within a few seconds; a busy main
  // queue or a stalled keychain only delays the return): the application may quit at once.
  void signOut(const std::optional<std::string>& sessionId = std::nullopt);
  // Touches the session and sets its active organization (the empty text when none).
  void setActive(const std::string& sessionId, const std::optional<std::string>& organizationId = std::nullopt);

  // `callback` runs on the main queue after each announced write of `member`. What it throws is logged: the
  // write stands and the observers after it are told all the same.
  [[nodiscard]] Subscription observe(Member member, std::function<void()> callback);

  // Stops and joins the library's background threads (token polling, client refreshes, device attestation,
  // fetches in flight, device assertion runs) and this object's telemetry flush, then waits (a few seconds at
  // most) until the keychain holds the client last installed. Call it before the process ends, off the main
  // queue (the threads it joins may wait for the main queue; there it throws VadarClientError). Nothing it
  // stops waits for a server: requests in flight are cancelled (a load() in progress ends with URLError
  // `cancelled`), except a session-token fetch the application also waits for, which goes on for it.
  // Afterwards `load()` throws VadarClientError. Without it, the client installed last may be missing from
  // the keychain at the next start (sign-outs excepted).
  void shutdown();

  // A settings provider that reads this object's settings and key at each use (the telemetry collector and
  // the web authentication take one).
  std::shared_ptr<const SettingsProvider> settingsProvider();

 private:
  enum class Mode { live, preview };
  struct State;
  explicit Vadar(Mode mode);

  template <class F>
  void write(F&& change);
  void announce(Member member);

  void writeClient(std::shared_ptr<const Client> client);
  void writeEnvironment(Environment environment);
  void writePublishableKey(std::string key);
  void writeSettings(Settings settings);
  void writeProxyUrl(std::optional<std::string> url);
  void writeProxyConfiguration(std::optional<ProxyConfiguration> configuration);
  void writeFrontendApiUrl(std::string url);
  void writeIsLoaded(bool loaded);
  void writeTelemetry(std::shared_ptr<TelemetryCollector> collector);

  void registerAPIClient();
  // A keychain's service and access group, and the instance its items are read for.
  using CacheOrigin = std::tuple<std::string, std::string, std::string>;
  CacheOrigin cacheOrigin() const;
  void restoreIfNeeded();
  void installRestored(const CacheOrigin& origin, std::optional<Client> client, std::optional<Environment> environment);
  std::shared_ptr<TelemetryCollector> makeTelemetryCollector();
  void removeObserver(std::uint64_t id);

  const Mode mode_;
  mutable std::mutex mutex_;  // guards state_ and writesUnderWay_ (held only to copy or store)
  std::unique_ptr<State> state_;
  // Writes queued for the main queue or running there: while there are any, the state an answer's client is
  // compared with may be about to change.
  int writesUnderWay_ = 0;
  EventEmitter<AuthEvent> authEventEmitter_;

  struct Observer {
    std::uint64_t id;
    Member member;
    std::shared_ptr<std::function<void()>> callback;
  };
  std::mutex observersMutex_;
  std::condition_variable_any callbackEnded_;
  std::vector<Observer> observers_;
  std::uint64_t nextObserverId_ = 1;
  // The observers whose callbacks run now, on the main queue: a stack, since a callback may write a member
  // and so announce in turn.
  std::vector<std::uint64_t> runningObservers_;

  std::optional<CacheOrigin> restoredFrom_;  // main queue only

  std::mutex lifecycleMutex_;  // orders load()'s starts against shutdown()
  bool shutDown_ = false;
  std::stop_source loadStop_;  // the client fetches of load(), stopped by shutdown()
};

}  // namespace vadar
