#include "vadar/core/vadar.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <utility>

#include <boost/url/parse.hpp>
#include <foundation/main_queue.hpp>
#include <httpkit/url_error.hpp>
#include <future>
#include <wiring/container.hpp>

#include "core/api_client_setup.hpp"
#include "core/background_tasks.hpp"
#include "core/device_token_store.hpp"
#include "core/instance_marker.hpp"
#include "core/keychain_reads.hpp"
#include "core/keychain_writer.hpp"
#include "core/frontend_api_address.hpp"
#include "vadar/attestation/app_attest_helper.hpp"
#include "vadar/core/assertion_manager.hpp"
#include "vadar/core/container_keys.hpp"
#include "vadar/sessions/session_token_fetcher.hpp"
#include "vadar/sessions/session_token_poller.hpp"
#include "vadar/models/vadar_client_error.hpp"
#include "vadar/infra/vadar_logger.hpp"
#include "vadar/core/vadar_service.hpp"

namespace vadar {

struct Vadar::State {
  bool isLoaded = false;
  std::shared_ptr<const Client> client;
  // The client of the last answer installed or found equal to the one held, and the instance that gave it.
  std::pair<std::shared_ptr<const Client>, std::string> newestAnswered;
  std::shared_ptr<TelemetryCollector> telemetry;
  std::optional<std::string> proxyUrl;
  std::map<std::string, std::vector<Session>> sessionsByUserId;
  std::string publishableKey;
  std::shared_ptr<const Environment> environment = std::make_shared<const Environment>();
  std::string frontendApiUrl;
  Settings settings;
  std::optional<ProxyConfiguration> proxyConfiguration;

  // False when the server changed this client after it made the answer that carries it (the answer came back
  // later than a newer one); otherwise the answer's client becomes the newest seen. Compared with answers only: a
  // client restored from the keychain says nothing of the server's order. REQUIRES: the object's mutex held.
  bool admitAnswered(const std::shared_ptr<const Client>& answered, const std::string& instance) {
    auto& [newest, newestInstance] = newestAnswered;
    if (newest && answered && newestInstance == instance && newest->id == answered->id &&
        answered->updatedAt < newest->updatedAt)
      return false;
    if (answered) newestAnswered = {answered, instance};
    return true;
  }
};

namespace {

// Reads the owning object's settings at each use; the defaults once the object is gone.
class VadarSettingsProvider : public SettingsProvider {
 public:
  explicit VadarSettingsProvider(std::weak_ptr<const Vadar> vadar) : vadar_(std::move(vadar)) {}
  VadarSettings currentSettings() const override {
    if (auto vadar = vadar_.lock()) return vadar->settings();
    return VadarSettings();
  }
  std::optional<std::string> publishableKey() const override {
    auto vadar = vadar_.lock();
    if (!vadar || vadar->publishableKey().empty()) return std::nullopt;
    return vadar->publishableKey();
  }

 private:
  std::weak_ptr<const Vadar> vadar_;
};

// Without a proxy every request, a sign-in's password included, goes to the host the publishable key names: a
// proxy address that gives no proxy must not pass unnoticed.
void logNoProxy(const std::string& url) {
  VadarLogger::error("The proxy URL \"" + url +
                     "\" gives no proxy: it needs a scheme and a host, as in \"https://proxy.example.com/__proxy\". "
                     "Requests go to the frontend API that the publishable key names.");
}

// White space and line breaks as Unicode counts them (the space separators, U+2028, U+2029, U+0085 and the
// ASCII controls), so a key pasted with a no-break space or a line separator still counts as blank.
bool isWhiteSpaceOrLineBreak(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// True when the text holds nothing but white space and line breaks. Bytes that are not UTF-8 are content.
bool isBlank(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    char32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = (c << 6) | (next & 0x3F);
    }
    if (!isWhiteSpaceOrLineBreak(c)) return false;
    i += length;
  }
  return true;
}

template <class T>
bool samePointee(const std::shared_ptr<const T>& a, const std::shared_ptr<const T>& b) {
  if (!a || !b) return !a && !b;
  return a == b || *a == *b;
}

const Session* lastActiveSession(const Client& client) {
  if (!client.lastActiveSessionId) return nullptr;
  for (const auto& session : client.sessions)
    if (session.id == *client.lastActiveSessionId) return &session;
  return nullptr;
}

// What replacing `previous` by `next` (none: no client) does to the sessions of `previous`.
struct SessionChanges {
  // A session is gone or no longer active: a sign-out, which the keychain must hold before anyone quits on it.
  bool lost = false;
  // The sessions whose tokens no longer hold: those, and those now in another status (a pending session that
  // ended while still listed among them) or working in another organization (a token names both).
  std::vector<std::string> lapsed;
};

// Linear in both: a client may carry many thousands of sessions, and this runs on the main queue for every
// install.
SessionChanges sessionChanges(const Client* previous, const Client* next) {
  SessionChanges changes;
  if (previous == nullptr) return changes;
  std::unordered_map<std::string_view, const Session*> after;
  if (next != nullptr) {
    after.reserve(next->sessions.size());
    for (const auto& session : next->sessions) after.emplace(session.id, &session);
  }
  for (const auto& before : previous->sessions) {
    const auto found = after.find(before.id);
    const bool lost = found == after.end() || (before.status == Session::SessionStatus::active &&
                                               found->second->status != Session::SessionStatus::active);
    changes.lost = changes.lost || lost;
    if (lost || found->second->status != before.status ||
        found->second->lastActiveOrganizationId != before.lastActiveOrganizationId)
      changes.lapsed.push_back(before.id);
  }
  return changes;
}

// Logs once per change when the client's last active session is pending: a new pending session, or a
// change of its remaining tasks.
void logPendingSessionStatusIfNeeded(const Client* previousClient, const Client& currentClient) {
  const Session* current = lastActiveSession(currentClient);
  if (current == nullptr || current->status != Session::SessionStatus::pending) return;
  const auto tasksOf = [](const Session& session) { return session.tasks.value_or(std::vector<Session::Task>{}); };
  if (previousClient != nullptr) {
    const Session* previous = lastActiveSession(*previousClient);
    if (previous != nullptr && previous->id == current->id &&
        previous->status == Session::SessionStatus::pending && tasksOf(*previous) == tasksOf(*current))
      return;
  }
  std::string message = "Your session is currently pending. Complete the remaining session tasks to activate it.";
  const auto tasks = tasksOf(*current);
  if (!tasks.empty()) {
    message += " Remaining session tasks: [";
    for (std::size_t i = 0; i < tasks.size(); ++i) message += (i == 0 ? "" : ", ") + tasks[i].key;
    message += "].";
  }
  VadarLogger::info(message, true,
                    {__FILE__, __LINE__, "logPendingSessionStatusIfNeeded(previousClient:currentClient:)"});
}

// Logs the exception in flight; `where` names the operation the reader knows, not this helper.
void logFailure(std::string_view message, const SourceLocation& where) {
  try {
    throw;
  } catch (const std::exception& error) {
    VadarLogger::logError(error, message, where);
  } catch (...) {
    const std::runtime_error error("unknown error");
    VadarLogger::logError(error, message, where);
  }
}

}  // namespace

// ---- creation ----

Vadar::Vadar(Mode mode) : mode_(mode), state_(std::make_unique<State>()) {}

Vadar::~Vadar() = default;

std::shared_ptr<Vadar> Vadar::shared() { return vadarFactory().resolve(); }

std::shared_ptr<Vadar> Vadar::make() {
  std::shared_ptr<Vadar> vadar(new Vadar(Mode::live));
  vadar->state_->telemetry = vadar->makeTelemetryCollector();
  return vadar;
}

std::shared_ptr<Vadar> Vadar::sample() {
  std::shared_ptr<Vadar> vadar(new Vadar(Mode::preview));
  vadar->state_->telemetry = vadar->makeTelemetryCollector();
  vadar->setClient(Client::sample());
  vadar->setEnvironment(Environment::sample());
  vadar->setSessionsByUserId({{User::mock().id, {Session::mockSession1(), Session::mockSession2()}}});
  return vadar;
}

std::shared_ptr<Vadar> Vadar::sample2() {
  std::shared_ptr<Vadar> vadar(new Vadar(Mode::preview));
  vadar->state_->telemetry = vadar->makeTelemetryCollector();
  vadar->setClient(Client::sample2());
  vadar->setEnvironment(Environment::sample());
  vadar->setSessionsByUserId({});
  return vadar;
}

std::shared_ptr<TelemetryCollector> Vadar::makeTelemetryCollector() {
  TelemetryCollector::Config config;
  config.samplingRate = 1.0;
  config.maxBufferSize = 5;
  config.disableThrottling = false;
  config.flushInterval = std::chrono::seconds(30);
  // No endpoint: the library has no telemetry address of its own, so nothing is ever sent.
  return std::make_shared<TelemetryCollector>(config, settingsProvider());
}

std::shared_ptr<const SettingsProvider> Vadar::settingsProvider() {
  return std::make_shared<VadarSettingsProvider>(weak_from_this());
}

// ---- reads ----

bool Vadar::isLoaded() const {
  std::lock_guard lock(mutex_);
  return state_->isLoaded;
}

std::optional<Client> Vadar::client() const {
  std::shared_ptr<const Client> client;
  {
    std::lock_guard lock(mutex_);
    client = state_->client;
  }
  if (!client) return std::nullopt;
  return *client;
}

std::shared_ptr<TelemetryCollector> Vadar::telemetry() const {
  std::lock_guard lock(mutex_);
  return state_->telemetry;
}

std::optional<std::string> Vadar::proxyUrl() const {
  std::lock_guard lock(mutex_);
  return state_->proxyUrl;
}

std::map<std::string, std::vector<Session>> Vadar::sessionsByUserId() const {
  std::lock_guard lock(mutex_);
  return state_->sessionsByUserId;
}

std::string Vadar::publishableKey() const {
  std::lock_guard lock(mutex_);
  return state_->publishableKey;
}

Vadar::Environment Vadar::environment() const {
  std::shared_ptr<const Environment> environment;
  {
    std::lock_guard lock(mutex_);
    environment = state_->environment;
  }
  return *environment;
}

std::string Vadar::frontendApiUrl() const {
  std::lock_guard lock(mutex_);
  return state_->frontendApiUrl;
}

Vadar::Settings Vadar::settings() const {
  std::lock_guard lock(mutex_);
  return state_->settings;
}

std::optional<ProxyConfiguration> Vadar::proxyConfiguration() const {
  std::lock_guard lock(mutex_);
  return state_->proxyConfiguration;
}

std::optional<Session> Vadar::session() const {
  std::shared_ptr<const Client> client;
  {
    std::lock_guard lock(mutex_);
    client = state_->client;
  }
  if (!client || !client->lastActiveSessionId) return std::nullopt;
  for (const auto& session : client->sessions)
    if (session.status == Session::SessionStatus::active && session.id == *client->lastActiveSessionId)
      return session;
  return std::nullopt;
}

std::optional<User> Vadar::user() const {
  auto current = session();
  if (!current) return std::nullopt;
  return current->user;
}

bool Vadar::hasNonLiveKey() const { return publishableKey().rfind("pk_live_", 0) != 0; }

Vadar::RequestContext Vadar::requestContext() const {
  std::lock_guard lock(mutex_);
  RequestContext context;
  context.proxyConfiguration = state_->proxyConfiguration;
  context.debugMode = state_->settings.debugMode;
  if (state_->client) context.clientId = state_->client->id;
  context.frontendApiUrl = state_->frontendApiUrl;
  return context;
}

// ---- writes ----

// Counted from before the write is queued until it has run (offerClient).
template <class F>
void Vadar::write(F&& change) {
  // An observer may drop the application's last reference to this object: it lives until the write, its side
  // effects and its announcements have ended, and is then let go on the writer's thread.
  const std::shared_ptr<Vadar> keepAlive = weak_from_this().lock();
  struct UnderWay {
    Vadar& vadar;
    explicit UnderWay(Vadar& v) : vadar(v) {
      std::lock_guard lock(vadar.mutex_);
      ++vadar.writesUnderWay_;
    }
    ~UnderWay() {
      std::lock_guard lock(vadar.mutex_);
      --vadar.writesUnderWay_;
    }
  } underWay(*this);
  core::runOnMainQueue(std::forward<F>(change));
}

void Vadar::setClient(std::optional<Client> client) {
  write([&] { writeClient(client ? std::make_shared<const Client>(std::move(*client)) : nullptr); });
}
void Vadar::setEnvironment(Environment environment) {
  write([&] { writeEnvironment(std::move(environment)); });
}
void Vadar::setPublishableKey(std::string key) {
  write([&] {
    writePublishableKey(std::move(key));
    restoreIfNeeded();
  });
}
void Vadar::setSettings(Settings settings) {
  write([&] {
    writeSettings(std::move(settings));
    restoreIfNeeded();
  });
}
void Vadar::setProxyUrl(std::optional<std::string> url) {
  write([&] { writeProxyUrl(std::move(url)); });
}
void Vadar::setProxyConfiguration(std::optional<ProxyConfiguration> configuration) {
  write([&] { writeProxyConfiguration(std::move(configuration)); });
}
void Vadar::setFrontendApiUrl(std::string url) {
  write([&] {
    writeFrontendApiUrl(std::move(url));
    restoreIfNeeded();
  });
}
void Vadar::setSessionsByUserId(std::map<std::string, std::vector<Session>> sessions) {
  write([&] {
    bool changed;
    {
      std::lock_guard lock(mutex_);
      changed = state_->sessionsByUserId != sessions;
      state_->sessionsByUserId = std::move(sessions);
    }
    if (changed) announce(Member::sessionsByUserId);
  });
}

void Vadar::configure(std::string publishableKey, Settings settings) {
  write([&] {
    writePublishableKey(std::move(publishableKey));
    writeSettings(std::move(settings));
    // Only now: restoring between the two writes would read the new instance's items from the old keychain.
    restoreIfNeeded();
  });
}

void Vadar::installClient(std::shared_ptr<const Client> client, const std::string& instance) {
  write([&] {
    if (frontendApiUrl() != instance) return;
    // A stale answer (a sign-in step slower on the way than the sign-out sent behind it) would bring back what
    // has ended.
    {
      std::lock_guard lock(mutex_);
      if (!state_->admitAnswered(client, instance)) return;
    }
    writeClient(std::move(client));
  });
}

void Vadar::installEnvironment(Environment environment, const std::string& instance) {
  write([&] {
    if (frontendApiUrl() == instance) writeEnvironment(std::move(environment));
  });
}

bool Vadar::offerClient(std::shared_ptr<const Client> client, const std::string& instance) {
  std::shared_ptr<const Client> held;
  {
    std::lock_guard lock(mutex_);
    if (writesUnderWay_ == 0 && state_->frontendApiUrl == instance) held = state_->client;
  }
  // Installing an equal client would replace it by its twin and rewrite the same keychain item; nothing queued
  // before this answer can change the client it is compared with. Compared outside the lock: a client may be large.
  if (held && client && *held == *client) {
    // Still the server's word on the order: an answer made before this one must not bring back an older client.
    std::lock_guard lock(mutex_);
    if (state_->client == held && state_->frontendApiUrl == instance) state_->admitAnswered(held, instance);
    return false;
  }
  {
    std::lock_guard lock(mutex_);
    ++writesUnderWay_;  // from now, not when the main queue gets to it: later answers must not pass this one
  }
  struct Posted {
    std::weak_ptr<Vadar> target;
    std::shared_ptr<const Client> client;
    std::string instance;
  };
  auto posted = std::make_shared<Posted>(Posted{weak_from_this(), std::move(client), instance});
  foundation::MainQueue::post(wiring::Container::propagating([posted] {
    auto vadar = posted->target.lock();
    if (!vadar) return;
    struct Ended {
      Vadar& vadar;
      ~Ended() {
        std::lock_guard lock(vadar.mutex_);
        --vadar.writesUnderWay_;
      }
    } ended{*vadar};
    vadar->installClient(std::move(posted->client), posted->instance);
  }));
  return true;
}

void Vadar::writeClient(std::shared_ptr<const Client> next) {
  std::shared_ptr<const Client> previous;
  {
    std::lock_guard lock(mutex_);
    previous = state_->client;
    state_->client = next;
  }
  if (mode_ == Mode::live) {
    const SessionChanges changes = sessionChanges(previous.get(), next.get());
    // Before anyone is told, and before a sign-out returns: a cached token of a session signed out, or of its
    // former organization, would be handed out as current until it expired.
    SessionTokenFetcher::shared().forget(changes.lapsed);
    // The keychain, the instance and the service are the ones of now; the write itself runs on the writer
    // thread (its failures, a missing item when deleting included, only cost the restore at the next start).
    core::KeychainWriter::Write write{keychainFactory().resolve(), frontendApiUrl(), cachedClientKey, nullptr};
    if (next) {
      write.perform = [service = vadarServiceFactory().resolve(), next](const keychain::KeychainStore& store) {
        try {
          core::withKeychain(store, [&] { service.saveClientToKeychain(*next); });
        } catch (const keychain::KeychainStoreError& error) {
          // The client before it must not stay in its place (one the keychain refuses as too large, say): its
          // sessions may have been signed out since, and the next start would bring them back. A keychain that
          // does not answer would not answer the removal either.
          if (error.code() != keychain::KeychainStoreError::Code::timedOut) {
            try {
              store.deleteItem(cachedClientKey);
            } catch (...) {
            }
          }
          throw;
        }
      };
    } else {
      write.perform = [](const keychain::KeychainStore& store) { store.deleteItem(cachedClientKey); };
    }
    // The cache goes with the stored device token, which the next start sends: a client of a token kept in
    // memory only waits.
    write = core::DeviceTokenStore::shared().heldUntilStored(std::move(write));
    // A sign-out must be in the keychain before anyone can quit on it: a process that ends with the write
    // still waiting would come back signed in. Other writes stay spaced; shutdown() drains them.
    auto& writer = core::KeychainWriter::shared();
    if (!next || changes.lost) {
      if (!writer.writeNow(std::move(write), core::signedInStateWait))
        VadarLogger::error("The keychain is busy; the signed-out client is cached later.");
    } else {
      writer.submit(std::move(write));
    }
    if (next) logPendingSessionStatusIfNeeded(previous.get(), *next);
  }
  if (!samePointee(previous, next)) announce(Member::client);
}

void Vadar::writeEnvironment(Environment environment) {
  auto next = std::make_shared<const Environment>(std::move(environment));
  std::shared_ptr<const Environment> previous;
  {
    std::lock_guard lock(mutex_);
    previous = state_->environment;
    state_->environment = next;
  }
  if (mode_ == Mode::live) {
    // As for the client: off the main queue, and a failure only costs the next start's restore.
    core::KeychainWriter::shared().submit(
        {keychainFactory().resolve(), frontendApiUrl(), cachedEnvironmentKey,
         [service = vadarServiceFactory().resolve(), next](const keychain::KeychainStore& store) {
           core::withKeychain(store, [&] { service.saveEnvironmentToKeychain(*next); });
         }});
  }
  if (!samePointee(previous, next)) announce(Member::environment);
}

void Vadar::writePublishableKey(std::string key) {
  bool changed;
  {
    std::lock_guard lock(mutex_);
    changed = state_->publishableKey != key;
    state_->publishableKey = key;
  }
  if (mode_ == Mode::live) {
    const auto derived = core::deriveFrontendApiUrl(key);
    if (derived.rejectedHost)
      VadarLogger::error(
          "The publishable key does not name a valid frontend API host; the frontend API address is unchanged.");
    if (derived.url) writeFrontendApiUrl(*derived.url);
  }
  if (changed) announce(Member::publishableKey);
}

void Vadar::writeFrontendApiUrl(std::string url) {
  bool changed;
  bool anotherInstance;
  std::shared_ptr<const Client> droppedClient;
  std::shared_ptr<const Environment> droppedEnvironment;
  bool wasLoaded = false;
  {
    std::lock_guard lock(mutex_);
    changed = state_->frontendApiUrl != url;
    // What an unconfigured object holds was set by the application itself, for the instance it configures.
    anotherInstance = changed && !state_->frontendApiUrl.empty();
    state_->frontendApiUrl = std::move(url);
    if (anotherInstance) {
      // The old instance's client, sessions and environment: never shown as, nor sent to, the new one. Their
      // keychain copies stay the old instance's. Nothing of the new one is loaded yet.
      droppedClient = std::exchange(state_->client, nullptr);
      droppedEnvironment = std::exchange(state_->environment, std::make_shared<const Environment>());
      wasLoaded = std::exchange(state_->isLoaded, false);
    }
  }
  if (mode_ == Mode::live) {
    // The old instance's sessions are none of this object's any more: neither are their tokens.
    SessionTokenFetcher::shared().forget(sessionChanges(droppedClient.get(), nullptr).lapsed);
    registerAPIClient();
  }
  if (changed) announce(Member::frontendApiUrl);
  if (droppedClient) announce(Member::client);
  if (droppedEnvironment && !droppedEnvironment->isEmpty()) announce(Member::environment);
  if (wasLoaded) announce(Member::isLoaded);
}

void Vadar::writeProxyConfiguration(std::optional<ProxyConfiguration> configuration) {
  {
    std::lock_guard lock(mutex_);
    state_->proxyConfiguration = std::move(configuration);
  }
  if (mode_ == Mode::live) registerAPIClient();
  announce(Member::proxyConfiguration);
}

void Vadar::writeProxyUrl(std::optional<std::string> url) {
  bool changed;
  {
    std::lock_guard lock(mutex_);
    changed = state_->proxyUrl != url;
    state_->proxyUrl = url;
  }
  if (mode_ == Mode::live) {
    auto configuration = ProxyConfiguration::make(url);
    if (url && !configuration) logNoProxy(*url);
    writeProxyConfiguration(std::move(configuration));
  }
  if (changed) announce(Member::proxyUrl);
}

void Vadar::writeSettings(Settings settings) {
  {
    std::lock_guard lock(mutex_);
    state_->settings = settings;
  }
  if (mode_ == Mode::live) {
    vadarSettingsFactory().register_([settings] { return settings; });
    const KeychainConfig keychainConfig = settings.keychainConfig;
    keychainFactory().register_([keychainConfig] { return makeKeychainStore(keychainConfig); });
    if (settings.unparsedProxyUrl) logNoProxy(*settings.unparsedProxyUrl);
    writeProxyUrl(settings.proxyUrl);
  }
  announce(Member::settings);
}

void Vadar::writeIsLoaded(bool loaded) {
  bool changed;
  {
    std::lock_guard lock(mutex_);
    changed = state_->isLoaded != loaded;
    state_->isLoaded = loaded;
  }
  if (changed) announce(Member::isLoaded);
}

void Vadar::writeTelemetry(std::shared_ptr<TelemetryCollector> collector) {
  std::shared_ptr<TelemetryCollector> previous;
  {
    std::lock_guard lock(mutex_);
    previous = std::move(state_->telemetry);
    state_->telemetry = std::move(collector);
  }
  announce(Member::telemetry);
  // The replaced collector stops its flush when the last holder lets go of it.
}

void Vadar::registerAPIClient() {
  std::optional<std::string> baseURL;
  std::string instance;
  {
    std::lock_guard lock(mutex_);
    instance = state_->frontendApiUrl;
    if (state_->proxyConfiguration) {
      baseURL = state_->proxyConfiguration->baseURL;
    } else if (auto parsed = boost::urls::parse_absolute_uri(state_->frontendApiUrl);
               parsed && parsed->has_authority() && !parsed->host().empty()) {
      baseURL = state_->frontendApiUrl;
    }
  }
  apiClientFactory().register_([baseURL, instance] { return core::makeVadarAPIClient(baseURL, instance); });
}

// ---- restore ----

Vadar::CacheOrigin Vadar::cacheOrigin() const {
  const keychain::KeychainStore store = keychainFactory().resolve();
  return {store.service(), store.accessGroup().value_or(""), frontendApiUrl()};
}

void Vadar::restoreIfNeeded() {
  if (mode_ != Mode::live) return;
  const keychain::KeychainStore store = keychainFactory().resolve();
  const std::string instance = frontendApiUrl();
  CacheOrigin origin{store.service(), store.accessGroup().value_or(""), instance};
  if (restoredFrom_ == origin) return;
  restoredFrom_ = origin;
  core::DeviceTokenStore::shared().preload(store, instance);
  // Off the main queue: a keychain that does not answer must not hold the writes the network brings.
  core::KeychainReads::start([weak = weak_from_this(), service = vadarServiceFactory().resolve(), store, instance,
                              origin = std::move(origin)] {
    if (!core::InstanceMarker::admits(store, instance)) return;  // another instance's items
    std::optional<Client> client;
    std::optional<Environment> environment;
    core::withKeychain(store, [&] {
      try {
        client = service.loadClientFromKeychain();
      } catch (...) {
        logFailure("Failed to load cached client", {__FILE__, __LINE__, "loadCachedClient()"});
      }
      try {
        environment = service.loadEnvironmentFromKeychain();
      } catch (...) {
        logFailure("Failed to load cached environment", {__FILE__, __LINE__, "loadCachedEnvironment()"});
      }
    });
    if (!client && !environment) return;
    foundation::MainQueue::post(wiring::Container::propagating(
        [weak, origin, client = std::move(client), environment = std::move(environment)]() mutable {
          if (auto self = weak.lock()) self->installRestored(origin, std::move(client), std::move(environment));
        }));
  });
}

void Vadar::installRestored(const CacheOrigin& origin, std::optional<Client> client,
                            std::optional<Environment> environment) {
  // Configured for another keychain or instance since the read: these values are not its own.
  if (cacheOrigin() != origin) return;
  bool clientPresent, environmentPresent;
  {
    std::lock_guard lock(mutex_);
    clientPresent = state_->client != nullptr;
    environmentPresent = !state_->environment->isEmpty();
  }
  // A value the network delivered first always wins.
  if (client && !clientPresent) writeClient(std::make_shared<const Client>(std::move(*client)));
  if (environment && !environmentPresent) writeEnvironment(std::move(*environment));
}

// ---- blocking operations ----

void Vadar::load() {
  core::requireOffMainQueue("Vadar::load()");
  const std::shared_ptr<Vadar> keepAlive = weak_from_this().lock();  // an observer may let go of it meanwhile
  if (isBlank(publishableKey())) {
    VadarLogger::error(
        "Vadar loaded without a publishable key. Please call configure() with a valid publishable key first.",
        nullptr, {__FILE__, __LINE__, "load()"});
    return;
  }

  // What this load fetches is of the instance served now: one configured meanwhile takes none of it.
  const std::string instance = frontendApiUrl();
  // The environment fetch's outcome, shared with its task, so that the load can leave at its own stop (a
  // shutdown) without waiting for a fetch that does not heed its own.
  struct EnvironmentFetch {
    std::mutex mutex;
    std::condition_variable_any ended;
    std::optional<Environment> value;
    std::exception_ptr error;
    bool done = false;
  };
  auto environmentFetch = std::make_shared<EnvironmentFetch>();
  std::stop_source environmentStop;
  std::stop_token loadStop;
  {
    // Under the lock a shutdown() cannot slip in between the check and the starts: it either comes first and
    // nothing starts, or it comes after and stops what started.
    std::lock_guard lock(lifecycleMutex_);
    if (shutDown_) throw VadarClientError("Vadar::load() was called after shutdown(); nothing was started.");
    loadStop = loadStop_.get_token();

    // Keeps the current session's token fresh from now on; one loop however often load runs.
    SessionTokenPoller::shared().start();

    // The environment is fetched on a thread of its own while this one fetches the client; a failed client
    // fetch cancels it through the send's stop token.
    environmentStop = core::BackgroundTasks::shared().start([environmentFetch](std::stop_token stop) {
      core::StopTokenScope scope(std::move(stop));
      std::optional<Environment> value;
      std::exception_ptr error;
      try {
        value = Environment::get();
      } catch (...) {
        error = std::current_exception();
      }
      {
        std::lock_guard lock(environmentFetch->mutex);
        environmentFetch->value = std::move(value);
        environmentFetch->error = error;
        environmentFetch->done = true;
      }
      environmentFetch->ended.notify_all();
    });
  }

  std::optional<Client> client;
  try {
    core::StopTokenScope scope(loadStop);
    client = Client::get();
  } catch (...) {
    environmentStop.request_stop();
    // Its outcome is not wanted any more: a fetch deaf to the stop costs the load's error a bounded wait only.
    std::unique_lock lock(environmentFetch->mutex);
    environmentFetch->ended.wait_for(lock, loadStop, std::chrono::seconds(5), [&] { return environmentFetch->done; });
    throw;
  }
  std::optional<Environment> fetched;
  {
    std::unique_lock lock(environmentFetch->mutex);
    if (!environmentFetch->ended.wait(lock, loadStop, [&] { return environmentFetch->done; }))
      throw httpkit::URLError(httpkit::URLError::Code::cancelled, "shutdown() stopped the load");
    if (environmentFetch->error) std::rethrow_exception(environmentFetch->error);
    fetched = std::move(environmentFetch->value);
  }
  const Environment environment = std::move(*fetched);

  // Loaded nothing for the instance served now: the caller must not take it for a load.
  const auto overtaken = [] {
    return httpkit::URLError(httpkit::URLError::Code::cancelled,
                             "configure() switched to another instance during load(); nothing was loaded");
  };
  if (frontendApiUrl() != instance) throw overtaken();
  {
    std::lock_guard lock(lifecycleMutex_);
    if (!shutDown_) attestDeviceIfNeeded(environment);  // in the background; its failure is only logged
  }
  bool loaded = false;
  write([&] {
    if (frontendApiUrl() != instance) return;
    // The fetches install what they bring into the shared object; an object the application made for itself
    // takes it here.
    if (Vadar::shared().get() != this) {
      if (client) installClient(std::make_shared<const Client>(std::move(*client)), instance);
      installEnvironment(environment, instance);
    }
    writeIsLoaded(true);
    writeTelemetry(makeTelemetryCollector());
    loaded = true;
  });
  if (!loaded) throw overtaken();
}

void Vadar::signOut(const std::optional<std::string>& sessionId) {
  core::requireOffMainQueue("Vadar::signOut()");
  vadarServiceFactory().resolve().signOut(sessionId);
  core::settleSignedInState();
}

void Vadar::setActive(const std::string& sessionId, const std::optional<std::string>& organizationId) {
  core::requireOffMainQueue("Vadar::setActive()");
  vadarServiceFactory().resolve().setActive(sessionId, organizationId);
}

void Vadar::shutdown() {
  // The threads it joins may be waiting for the main queue themselves.
  core::requireOffMainQueue("Vadar::shutdown()");
  {
    std::lock_guard lock(lifecycleMutex_);
    shutDown_ = true;
    loadStop_.request_stop();  // a load() in progress: its client fetch ends now, with URLError cancelled
  }
  // First the assertion runs, whose requests no single caller may cancel: the threads joined below may be
  // waiting on one.
  assertionManagerFactory().resolve()->cancelRuns();
  SessionTokenPoller::shared().stop();
  core::BackgroundTasks::shared().shutdown();
  if (auto collector = telemetry()) collector->stop();
  // The next start restores the client last installed. The keychain answers locally; the deadline only
  // keeps a wedged Secret Service from holding the application's exit.
  if (!core::KeychainWriter::shared().drain(core::signedInStateWait))
    VadarLogger::error("The keychain did not take the cached client in time; the next start may restore an older one.");
}

// ---- observation ----

Vadar::Subscription Vadar::observe(Member member, std::function<void()> callback) {
  std::lock_guard lock(observersMutex_);
  const std::uint64_t id = nextObserverId_++;
  observers_.push_back({id, member, std::make_shared<std::function<void()>>(std::move(callback))});
  return Subscription(weak_from_this(), id);
}

void Vadar::removeObserver(std::uint64_t id) {
  std::unique_lock lock(observersMutex_);
  std::erase_if(observers_, [id](const Observer& observer) { return observer.id == id; });
  // Callbacks run only on the main queue: there the running one (if any) is the caller itself.
  if (foundation::MainQueue::isCurrent()) return;
  // A callback that waits for something the caller holds would otherwise hold it for ever.
  const bool ended = callbackEnded_.wait_for(
      lock, core::StopTokenScope::current(), Subscription::kCallbackEndWait,
      [&] { return std::ranges::find(runningObservers_, id) == runningObservers_.end(); });
  if (!ended) {
    lock.unlock();
    VadarLogger::error("An observer's callback was still running when its subscription was cancelled; it ends on its own.");
  }
}

void Vadar::announce(Member member) {
  std::vector<Observer> targets;
  {
    std::lock_guard lock(observersMutex_);
    for (const auto& observer : observers_)
      if (observer.member == member) targets.push_back(observer);
  }
  for (const auto& target : targets) {
    {
      // Checked and marked running in one step, so a cancel either comes first and the callback never starts,
      // or waits for it to end.
      std::lock_guard lock(observersMutex_);
      const bool stillObserving = std::any_of(observers_.begin(), observers_.end(),
                                              [&](const Observer& observer) { return observer.id == target.id; });
      if (!stillObserving) continue;
      runningObservers_.push_back(target.id);
    }
    struct Ended {
      Vadar& vadar;
      ~Ended() {
        {
          std::lock_guard lock(vadar.observersMutex_);
          vadar.runningObservers_.pop_back();
        }
        vadar.callbackEnded_.notify_all();
      }
    } ended{*this};
    // The application's code: what it throws is its own failure, so the write stands and the observers after
    // it are told all the same.
    try {
      (*target.callback)();
    } catch (...) {
      logFailure("An observer of the Vadar object failed; the change stands and the other observers are told.",
                 {__FILE__, __LINE__, "announce(_:)"});
    }
  }
}

Vadar::Subscription& Vadar::Subscription::operator=(Subscription&& other) noexcept {
  if (this != &other) {
    cancel();
    owner_ = std::move(other.owner_);
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

Vadar::Subscription::~Subscription() { cancel(); }

void Vadar::Subscription::cancel() {
  if (auto owner = owner_.lock()) owner->removeObserver(id_);
  owner_.reset();
  id_ = 0;
}

}  // namespace vadar
