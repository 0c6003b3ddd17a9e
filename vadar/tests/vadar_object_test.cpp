// The Vadar object: configuration, load against the fake frontend API, the keychain caches and their
// restore, the pending-session line, observation, samples and the main-queue rules.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <future>
#include <source_location>
#include <sstream>
#include <thread>

#include <foundation/base64.hpp>
#include <wiring/container.hpp>

#include <httpkit/api_client.hpp>
#include <httpkit/url_error.hpp>

#include "testing/bounded_task.hpp"
#include "core/keychain_failures.hpp"
#include "vadar/attestation/app_attest_helper.hpp"
#include "vadar/attestation/passkey_helper.hpp"
#include "vadar/sessions/session_token_poller.hpp"
#include "vadar/models/sign_in.hpp"
#include "vadar/attestation/sign_in_with_apple_helper.hpp"
#include "vadar/core/vadar_api_client_delegate.hpp"
#include "vadar/models/vadar_api_error.hpp"
#include "vadar/models/vadar_client_error.hpp"
#include "child_process.hpp"
#include "vadar_harness.hpp"

namespace vadar {
namespace {

using testing::Finishing;
using testing::LogCapture;
using testing::VadarHarness;
using namespace std::chrono_literals;

// Sanitizers slow each step and keep freed memory apart: the large cases shrink there and check only the run.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

Session sessionWith(std::string id, Session::SessionStatus status, std::vector<std::string> tasks = {}) {
  Session session = Session::mockSession1();
  session.id = std::move(id);
  session.status = status;
  session.tasks = std::vector<Session::Task>{};
  for (auto& key : tasks) session.tasks->push_back({std::move(key)});
  return session;
}

Client clientWith(std::vector<Session> sessions, std::optional<std::string> lastActive) {
  Client client = Client::sample2();
  client.sessions = std::move(sessions);
  client.lastActiveSessionId = std::move(lastActive);
  return client;
}

std::size_t countLines(const LogCapture& logs, const std::string& text) {
  std::size_t count = 0;
  for (const auto& line : logs.lines()) count += line.find(text) != std::string::npos;
  return count;
}

TEST(VadarObject, TheCurrentSessionIsTheActiveSessionLastActive) {
  VadarHarness harness;
  Vadar& vadar = harness.vadar();
  const auto active = sessionWith("s1", Session::SessionStatus::active);
  const auto pending = sessionWith("s2", Session::SessionStatus::pending);
  vadar.setClient(clientWith({active, pending}, "s2"));
  EXPECT_FALSE(vadar.session());  // a pending session is never current
  vadar.setClient(clientWith({active, pending}, std::nullopt));
  EXPECT_FALSE(vadar.session());
  vadar.setClient(clientWith({active, pending}, "s1"));
  EXPECT_EQ(vadar.session()->id, "s1");
  EXPECT_EQ(vadar.user(), active.user);
}

TEST(VadarObject, ConfigureDerivesTheAddressChecksTheHostAndTheProxyDecidesWhereRequestsGo) {
  VadarHarness harness;
  Vadar& vadar = harness.vadar();
  EXPECT_EQ(vadar.frontendApiUrl(), "https://frontend.example.test");
  const auto proxied = apiClientFactory().resolve();
  EXPECT_EQ(proxied->configuration().baseURL, harness.api().baseUrl());

  Vadar::Settings direct = harness.settings();
  direct.proxyUrl.reset();
  vadar.configure(VadarHarness::publishableKey(), direct);
  EXPECT_EQ(apiClientFactory().resolve()->configuration().baseURL, "https://frontend.example.test");
  EXPECT_FALSE(vadar.proxyConfiguration());

  // Stored untrimmed; a trailing blank breaks the key's base64, so the address and client stay.
  const auto client = apiClientFactory().resolve();
  vadar.configure(VadarHarness::publishableKey() + " ", direct);
  EXPECT_EQ(vadar.publishableKey(), VadarHarness::publishableKey() + " ");
  EXPECT_EQ(vadar.frontendApiUrl(), "https://frontend.example.test");

  // The same key again registers a new HTTP client.
  vadar.configure(VadarHarness::publishableKey(), direct);
  EXPECT_NE(apiClientFactory().resolve(), client);
  EXPECT_TRUE(vadar.hasNonLiveKey());

  // A key whose host would send credentials elsewhere keeps the address and says so.
  LogCapture logs;
  vadar.configure("pk_live_" + foundation::base64UrlEncode(foundation::toBytes("evil.test/steal?$")), direct);
  EXPECT_EQ(vadar.frontendApiUrl(), "https://frontend.example.test");
  EXPECT_TRUE(logs.contains("does not name a valid frontend API host"));
  EXPECT_FALSE(vadar.hasNonLiveKey());
}

TEST(VadarObject, ARequestBeforeConfigureFailsSayingTheClientIsNotConfigured) {
  VadarHarness harness(/*configureNow=*/false);
  wiring::Container unconfigured;  // what a process that never called configure() holds
  wiring::Container::Scope bound(unconfigured);
  try {
    Client::get();
    ADD_FAILURE() << "a request went out without a frontend API address";
  } catch (const VadarClientError& error) {
    EXPECT_STREQ(error.what(),
                 "The client is not configured: call Vadar::configure() with a valid publishable key before making "
                 "requests. Nothing was sent.");
  }
  EXPECT_TRUE(harness.api().requests().empty());
}

// Without a proxy every request, a sign-in's password included, goes to the key's own host: a proxy address
// that is no proxy must not go unnoticed.
TEST(VadarObject, AProxyUrlThatGivesNoProxyIsLoggedWhenTheSettingsAreApplied) {
  VadarHarness harness(/*configureNow=*/false);
  // No scheme (not even a URL), a scheme but no host, a path alone.
  for (const std::string text : {"127.0.0.1:8080", "localhost:8080", "/__proxy"}) {
    LogCapture logs;
    harness.vadar().configure(VadarHarness::publishableKey(),
                              Vadar::Settings(false, true, KeychainConfig(harness.service()), text));
    EXPECT_EQ(countLines(logs, "[Vadar] [ERROR]"), 1u) << text;
    EXPECT_EQ(countLines(logs, "The proxy URL \"" + text + "\" gives no proxy"), 1u) << text;
    EXPECT_FALSE(harness.vadar().proxyConfiguration()) << text;
    EXPECT_EQ(apiClientFactory().resolve()->configuration().baseURL, "https://frontend.example.test") << text;
  }
  LogCapture logs;
  harness.vadar().configure(VadarHarness::publishableKey(), harness.settings());
  EXPECT_FALSE(logs.contains("gives no proxy"));
  EXPECT_EQ(apiClientFactory().resolve()->configuration().baseURL, harness.api().baseUrl());
}

// Sign-in works without a keychain, but nothing persists: the first failure of the run says so, in the
// keychain's own words, and the many that follow add nothing.
TEST(VadarObject, TheFirstKeychainFailureOfARunIsLoggedWithTheKeychainsMessage) {
  VadarHarness harness(/*configureNow=*/false);
  core::KeychainFailures::forget();
  LogCapture logs;
  // A service name the Secret Service cannot take: every call of this store fails.
  const Vadar::Settings broken(false, true, KeychainConfig("tolvaran.vadar.\xff"), harness.proxyUrl());
  harness.vadar().configure(VadarHarness::publishableKey(), broken);
  harness.vadar().load();  // reads and writes the device token, caches the client and the environment
  VadarHarness::settle();
  EXPECT_TRUE(harness.vadar().isLoaded());
  const std::string keychainMessage = "The data is not valid UTF-8 text. (the service is not UTF-8 text without NUL)";
  EXPECT_EQ(countLines(logs, keychainMessage), 1u);
  for (const auto& line : logs.lines()) {
    if (line.find(keychainMessage) == std::string::npos) continue;
    EXPECT_NE(line.find("[Vadar] [ERROR]"), std::string::npos) << line;
  }

  harness.vadar().setClient(Client::sample2());
  VadarHarness::drainMainQueue();
  EXPECT_EQ(countLines(logs, keychainMessage), 1u);
}

TEST(VadarObject, LoadWithoutAKeyLogsAndFetchesNothing) {
  VadarHarness harness(/*configureNow=*/false);
  // ASCII blanks, then a no-break space with a line separator, then an ideographic space, a tab and a
  // paragraph separator: all of them blank.
  for (const char* key : {" \n", "\u00a0\u2028", "\u3000\t\u2029\u0085"}) {
    LogCapture logs;
    harness.vadar().configure(key, harness.settings());
    harness.vadar().load();
    EXPECT_TRUE(logs.contains(" load() - Vadar loaded without a publishable key. Please call configure() with a "
                              "valid publishable key first."))
        << key;
  }
  EXPECT_TRUE(harness.api().requests().empty());
  EXPECT_FALSE(harness.vadar().isLoaded());
}

TEST(VadarObject, LoadInstallsAndCachesBothAndAFreshObjectRestoresThemBeforeTheNetworkAnswers) {
  VadarHarness harness;
  harness.vadar().load();
  VadarHarness::settle();
  const auto client = harness.vadar().client();
  const auto environment = harness.vadar().environment();
  ASSERT_TRUE(client);
  EXPECT_EQ(client->id, harness.api().clientJson()["id"].get<std::string>());
  ASSERT_TRUE(environment.displayConfig);
  EXPECT_EQ(environment.displayConfig->applicationName, "Tolvaran Attendant");
  EXPECT_TRUE(harness.vadar().isLoaded());
  // The library has no telemetry address of its own: its collector never sends.
  EXPECT_FALSE(harness.vadar().telemetry()->config().endpoint);
  EXPECT_EQ(decodeJSON<Client>(foundation::toString(harness.keychain().data("cachedClient"))), *client);
  EXPECT_EQ(decodeJSON<VadarEnvironment>(foundation::toString(harness.keychain().data("cachedEnvironment"))),
            environment);

  // Next start: the network holds its answers, yet the cached values are there.
  harness.api().holdAnswers("GET", "/v1/client");
  harness.api().holdAnswers("GET", "/v1/environment");
  auto fresh = harness.startAgain();
  EXPECT_EQ(fresh->client(), client);
  EXPECT_EQ(fresh->environment(), environment);
  auto loading = testing_support::launch([fresh] { fresh->load(); });
  EXPECT_TRUE(harness.api().waitForHeld(2, 10s));
  EXPECT_FALSE(fresh->isLoaded());
  harness.api().releaseAnswers();
  ASSERT_EQ(loading.wait_for(20s), std::future_status::ready);
  loading.get();
  EXPECT_TRUE(fresh->isLoaded());
}

TEST(VadarObject, AClientFailureCancelsTheEnvironmentFetch) {
  VadarHarness harness;
  harness.api().holdAnswers("GET", "/v1/environment");
  harness.api().failNext("GET", "/v1/client", fake_frontend_api::Answer::error(500, "server_error", "Down"));
  auto loading = testing_support::launch([&] { harness.vadar().load(); });
  const bool returned = loading.wait_for(20s) == std::future_status::ready;
  harness.api().releaseAnswers();
  ASSERT_TRUE(returned) << "load waited for the held environment";
  EXPECT_THROW(loading.get(), VadarAPIError);
  EXPECT_FALSE(harness.vadar().isLoaded());
  EXPECT_TRUE(harness.vadar().environment().isEmpty());
}

TEST(VadarObject, AnEnvironmentFailureFailsTheLoadAndIsLoadedIsAnnouncedOnce) {
  VadarHarness harness;
  int announced = 0;
  auto subscription = harness.vadar().observe(Vadar::Member::isLoaded, [&] { ++announced; });
  harness.api().failNext("GET", "/v1/environment", fake_frontend_api::Answer::error(503, "unavailable", "Later"));
  EXPECT_THROW(harness.vadar().load(), VadarAPIError);
  EXPECT_FALSE(harness.vadar().isLoaded());
  harness.vadar().load();
  harness.vadar().load();
  VadarHarness::settle();
  EXPECT_TRUE(harness.vadar().isLoaded());
  EXPECT_EQ(announced, 1);
}

// A client restored at start, then answered again unchanged: that answer is the server's word on the order, so
// an answer made before it (slower on the way) does not bring the older client back.
TEST(VadarObject, AnAnswerEqualToTheHeldClientStillCountsAsTheNewestSeen) {
  VadarHarness harness;
  const nlohmann::json older = harness.api().clientJson();
  harness.api().withState([](fake_frontend_api::State& state) { state.touchClient(); });
  Client::get();
  VadarHarness::settle();
  const auto newest = harness.vadar().client();
  ASSERT_TRUE(newest);
  ASSERT_LT(older["updated_at"].get<std::int64_t>(), harness.api().clientJson()["updated_at"].get<std::int64_t>());

  auto fresh = harness.startAgain();
  ASSERT_EQ(fresh->client(), newest);
  Client::get();  // the same client: nothing to install
  harness.api().failNext("GET", "/v1/client", fake_frontend_api::Answer::json(200, {{"response", older}}));
  Client::get();
  VadarHarness::settle();
  ASSERT_TRUE(fresh->client());
  EXPECT_EQ(fresh->client()->updatedAt, newest->updatedAt) << "an older answer replaced the newest client seen";
  EXPECT_EQ(decodeJSON<Client>(foundation::toString(harness.keychain().data("cachedClient"))), *newest);
}

// An object the application made for itself and never registered as the shared one: its load() fills that
// object, not another.
TEST(VadarObject, ALoadFillsTheObjectItRunsOn) {
  VadarHarness harness(/*configureNow=*/false);
  auto own = Vadar::make();
  own->configure(VadarHarness::publishableKey(), harness.settings());
  own->load();
  VadarHarness::settle();
  EXPECT_TRUE(own->isLoaded());
  ASSERT_TRUE(own->client());
  EXPECT_EQ(own->client()->id, harness.api().clientJson()["id"].get<std::string>());
  ASSERT_TRUE(own->environment().displayConfig);
  EXPECT_EQ(own->environment().displayConfig->applicationName, "Tolvaran Attendant");
  own->shutdown();
}

TEST(VadarObject, ClientWritesKeepTheCacheAndLogAPendingSessionOncePerChange) {
  VadarHarness harness;
  Vadar& vadar = harness.vadar();
  LogCapture logs;
  const std::string line =
      "Your session is currently pending. Complete the remaining session tasks to activate it. Remaining session "
      "tasks: [choose-organization, mfa].";
  const auto pending = clientWith({sessionWith("s1", Session::SessionStatus::pending, {"choose-organization", "mfa"})}, "s1");
  vadar.setClient(pending);
  EXPECT_EQ(countLines(logs, line), 1u);
  EXPECT_EQ(countLines(logs, " logPendingSessionStatusIfNeeded(previousClient:currentClient:) - " + line), 1u);

  VadarHarness::drainMainQueue();
  harness.keychain().deleteItem("cachedClient");
  vadar.setClient(pending);  // unchanged: cached again, nothing logged
  VadarHarness::drainMainQueue();
  EXPECT_TRUE(harness.keychain().hasItem("cachedClient"));
  EXPECT_EQ(countLines(logs, "Your session is currently pending."), 1u);

  vadar.setClient(clientWith({sessionWith("s1", Session::SessionStatus::pending, {"mfa"})}, "s1"));
  EXPECT_EQ(countLines(logs, "Remaining session tasks: [mfa]."), 1u);

  vadar.setClient(std::nullopt);
  VadarHarness::drainMainQueue();
  EXPECT_FALSE(harness.keychain().hasItem("cachedClient"));
  EXPECT_EQ(countLines(logs, "Your session is currently pending."), 2u);
}

TEST(VadarObjectConcurrency, AfterShutdownTheKeychainHoldsTheLastClientInstalledForTheNextStart) {
  VadarHarness harness;
  // Writes from two threads race; the main queue orders them, and the last one installed must be the one
  // the next start restores, whatever the writer skipped.
  std::vector<Client> clients;
  for (int i = 0; i < 40; ++i) {
    Client client = Client::sample2();
    client.id = "client_" + std::to_string(i);
    clients.push_back(client);
  }
  Finishing other([&vadar = harness.vadar(), clients] {
    for (std::size_t i = 0; i < clients.size(); i += 2) vadar.setClient(clients[i]);
  });
  for (std::size_t i = 1; i < clients.size(); i += 2) harness.vadar().setClient(clients[i]);
  ASSERT_TRUE(other.within(20s));
  const auto last = harness.vadar().client();
  ASSERT_TRUE(last);
  harness.vadar().shutdown();

  auto fresh = harness.startAgain();
  EXPECT_EQ(fresh->client(), last);
}

TEST(VadarObjectConcurrency, InstallingAClientWithManySessionsHoldsTheMainQueueOnlyBriefly) {
  VadarHarness harness;
  vadarServiceFactory().register_([] {
    VadarService service = VadarService::live();
    service.saveClientToKeychain = [](const Client&) {};  // the keychain copy is not what this is about
    return service;
  });
  Session session = sessionWith("", Session::SessionStatus::active);
  session.user.reset();
  session.latestActivity.reset();
  Client before = clientWith({}, "sess_0");
  // Comparing every old session with every new one takes minutes for this many (even under a sanitizer, for
  // the smaller count there); indexing them, moments.
  const int count = sanitized ? 50'000 : 150'000;
  for (int i = 0; i < count; ++i) {
    session.id = "sess_" + std::to_string(i);
    before.sessions.push_back(session);
  }
  Client after = before;
  after.updatedAt = after.updatedAt + std::chrono::milliseconds(1);
  harness.vadar().setClient(before);
  auto installed = testing_support::launch([&vadar = harness.vadar(), after] { vadar.setClient(after); });
  EXPECT_EQ(installed.wait_for(20s), std::future_status::ready) << "the install held the main queue";
  vadarServiceFactory().register_([] { return VadarService::live(); });
}

long peakResidentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// The child half of the test below: fetches, installs and caches the client, and exits with 0 when its peak
// resident size grew by at most `limit` KiB meanwhile.
[[noreturn]] void fetchAClientWithManySessions(const std::string& instructions) {
  std::istringstream lines(instructions);
  std::string proxyUrl, service;
  long limit = 0;
  std::size_t sessions = 0;
  std::getline(lines, proxyUrl);
  std::getline(lines, service);
  lines >> limit >> sessions;
  keychainFactory().register_([service] { return makeKeychainStore(KeychainConfig(service)); });
  auto vadar = Vadar::make();
  vadarFactory().register_([vadar] { return vadar; });
  vadar->configure(VadarHarness::publishableKey(), Vadar::Settings(false, true, KeychainConfig(service), proxyUrl));
  VadarHarness::drainMainQueue();
  std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from what is resident now
  const long before = peakResidentKiB();
  Client::get();
  VadarHarness::drainMainQueue();  // installed, and cached in the keychain
  const long growth = peakResidentKiB() - before;
  if (!vadar->client() || vadar->client()->sessions.size() < sessions) std::_Exit(3);
  std::fprintf(stderr, "peak growth %ld KiB, limit %ld KiB\n", growth, limit);
  std::_Exit(growth <= limit ? 0 : 4);
}

TEST(VadarObjectMemory, AClientWithManySessionsCostsASmallMultipleOfItsAnswer) {
  constexpr const char* childVariable = "VADAR_MANY_SESSIONS";
  if (const char* instructions = std::getenv(childVariable)) fetchAClientWithManySessions(instructions);

  VadarHarness harness(/*configureNow=*/false);
  const int sessionCount = sanitized ? 6'000 : 60'000;
  std::size_t answerBytes = 0;
  harness.api().withState([&](fake_frontend_api::State& state) {
    const std::int64_t at = 1'700'000'000'000;
    const nlohmann::json model = {
        {"object", "session"}, {"status", "active"}, {"expire_at", at}, {"abandon_at", at}, {"last_active_at", at},
        {"created_at", at}, {"updated_at", at}, {"last_active_organization_id", nullptr}, {"actor", nullptr},
        {"latest_activity",
         {{"id", "sess_activity_1"}, {"browser_name", "curl"}, {"device_type", "Linux"}, {"ip_address", "192.0.2.1"},
          {"is_mobile", false}}},
        {"public_user_data",
         {{"first_name", "Ada"}, {"last_name", "Lovelace"}, {"image_url", "https://img.example.test/user_1"},
          {"has_image", false}, {"identifier", "ada@example.test"}, {"user_id", "user_1"}}},
        {"tasks", nlohmann::json::array()}};
    auto& sessions = state.client["sessions"];
    for (int i = 0; i < sessionCount; ++i) {
      sessions.push_back(model);
      sessions.back()["id"] = "sess_" + std::to_string(i);
    }
    answerBytes = nlohmann::json{{"response", state.client}, {"client", nullptr}}.dump().size();
  });
  // Parsing and decoding cost several times the text; the keychain's own copies come on top.
  const long limit = sanitized ? std::numeric_limits<long>::max() : static_cast<long>(14 * answerBytes / 1024);
  const auto status = testing::runChildTest(
      "VadarObjectMemory.AClientWithManySessionsCostsASmallMultipleOfItsAnswer",
      {{childVariable, harness.proxyUrl() + "\n" + harness.service() + "\n" + std::to_string(limit) + "\n" +
                           std::to_string(sessionCount)}},
      240s);
  EXPECT_TRUE(testing::exitedWith(status, 0)) << "child status " << status.value_or(-1) << " for an answer of "
                                              << answerBytes << " bytes";
}

TEST(VadarObject, AWriteThatRemovesSessionsIsInTheKeychainWhenItReturnsAndStaysThere) {
  VadarHarness harness;
  Vadar& vadar = harness.vadar();
  const keychain::KeychainStore keychain = harness.keychain();
  const auto cached = [&] { return decodeJSON<Client>(foundation::toString(keychain.data("cachedClient"))); };
  const Client both = clientWith({sessionWith("s1", Session::SessionStatus::active),
                                  sessionWith("s2", Session::SessionStatus::active)}, "s1");
  Client renamed = both;
  renamed.id = "renamed";
  const Client ended = clientWith({sessionWith("s1", Session::SessionStatus::active),
                                   sessionWith("s2", Session::SessionStatus::ended)}, "s1");
  const Client none = clientWith({}, std::nullopt);

  // Each removal comes right behind a write that is still waiting for its turn: that one must neither delay
  // the removal nor land after it.
  vadar.setClient(both);
  vadar.setClient(renamed);
  vadar.setClient(ended);
  EXPECT_EQ(cached(), ended);
  vadar.setClient(both);
  vadar.setClient(none);
  EXPECT_EQ(cached(), none);
  vadar.setClient(both);
  vadar.setClient(std::nullopt);
  EXPECT_FALSE(keychain.hasItem("cachedClient"));
  VadarHarness::drainMainQueue();
  EXPECT_FALSE(keychain.hasItem("cachedClient"));

  vadar.setClient(none);
  vadar.setClient(both);
  vadar.setClient(none);
  VadarHarness::drainMainQueue();
  EXPECT_EQ(cached(), none);
}

// A client too large for a keychain item (a user's metadata grown past what the Secret Service takes) after a
// sign-out of another session: the item must not keep the client from before, whose signed-out session would
// come back as the current one at the next start.
TEST(VadarObject, AClientTooLargeForTheKeychainLeavesNoOlderClientToRestore) {
  VadarHarness harness;
  Vadar& vadar = harness.vadar();
  vadar.setClient(clientWith({sessionWith("s1", Session::SessionStatus::active),
                              sessionWith("s2", Session::SessionStatus::active)}, "s1"));
  VadarHarness::drainMainQueue();
  ASSERT_TRUE(harness.keychain().hasItem("cachedClient"));

  Session kept = sessionWith("s2", Session::SessionStatus::active);
  ASSERT_TRUE(kept.user);
  kept.user->otherMembers["unsafe_metadata"] = JSON(std::string(keychain::KeychainStore::kMaximumDataSize, 'x'));
  vadar.setClient(clientWith({std::move(kept)}, "s2"));  // s1 signed out
  VadarHarness::drainMainQueue();

  auto next = harness.startAgain();
  EXPECT_FALSE(next->session() && next->session()->id == "s1") << "the signed-out session came back at the next start";
  if (const auto restored = next->client()) {
    for (const auto& session : restored->sessions) EXPECT_NE(session.id, "s1");
  }
}

// The child half of the test below: the application that signs out and quits without shutdown().
[[noreturn]] void signOutAndExit(const std::string& instructions) {
  std::istringstream lines(instructions);
  std::string proxyUrl, service, idleWriter;
  std::getline(lines, proxyUrl);
  std::getline(lines, service);
  std::getline(lines, idleWriter);
  keychainFactory().register_([service] { return makeKeychainStore(KeychainConfig(service)); });
  auto vadar = Vadar::make();
  vadarFactory().register_([vadar] { return vadar; });
  vadar->configure(VadarHarness::publishableKey(), Vadar::Settings(false, true, KeychainConfig(service), proxyUrl));
  vadar->load();
  if (idleWriter == "idle") {
    // Some time passes: the cache writer has written the signed-in client and has nothing left to do.
    foundation::MainQueue::drain();
    core::KeychainWriter::shared().drain(std::chrono::seconds(20));
  }
  vadar->signOut();
  std::exit(vadar->session() ? 3 : 0);  // as returning from main at once would
}

TEST(VadarObject, ASignOutSurvivesAProcessThatExitsRightAfterIt) {
  constexpr const char* childVariable = "VADAR_SIGN_OUT_AND_EXIT";
  if (const char* instructions = std::getenv(childVariable)) signOutAndExit(instructions);

  for (const char* writer : {"busy", "idle"}) {
    SCOPED_TRACE(writer);
    VadarHarness harness(/*configureNow=*/false);
    const auto status = testing::runChildTest(
        "VadarObject.ASignOutSurvivesAProcessThatExitsRightAfterIt",
        {{childVariable, harness.proxyUrl() + "\n" + harness.service() + "\n" + writer}}, 60s);
    ASSERT_TRUE(testing::exitedWith(status, 0)) << "child status " << status.value_or(-1);
    ASSERT_EQ(harness.api().requestCount("DELETE", "/v1/client/sessions"), 1u);

    // The next start restores the signed-out client, not the signed-in one.
    auto next = harness.startAgain();
    const auto restored = next->client();
    ASSERT_TRUE(restored);
    EXPECT_EQ(restored->id, harness.api().clientJson()["id"].get<std::string>());
    EXPECT_TRUE(restored->sessions.empty());
    EXPECT_FALSE(next->session());
  }
}

// The child half of the test below: an application that returns from main, without shutdown(), while a request
// waits for its answer, the keychain writer has writes waiting their turn and the main queue has writes queued,
// either behind a long job of its own or running one after another as the process ends.
[[noreturn]] void leaveWithWorkUnderWay(const std::string& instructions) {
  std::istringstream lines(instructions);
  std::string proxyUrl, service, mainQueue;
  std::getline(lines, proxyUrl);
  std::getline(lines, service);
  std::getline(lines, mainQueue);
  keychainFactory().register_([service] { return makeKeychainStore(KeychainConfig(service)); });
  auto vadar = Vadar::make();
  vadarFactory().register_([vadar] { return vadar; });
  vadar->configure(VadarHarness::publishableKey(), Vadar::Settings(false, true, KeychainConfig(service), proxyUrl));
  std::thread([] {
    try {
      VadarEnvironment::get();  // held by the server
    } catch (...) {
    }
  }).detach();
  Client client = Client::sample2();
  for (int i = 0; i < 4; ++i) {
    client.id = "client_" + std::to_string(i);
    vadar->setClient(client);
  }
  if (mainQueue == "held") {
    auto* busy = new testing::MainQueueHold(60s);  // never released: the process ends while it holds the queue
    if (!busy->held()) std::exit(4);
  }
  for (int i = 0; i < 2000; ++i) {
    foundation::MainQueue::post([vadar, client, i]() mutable {
      client.id = "queued_" + std::to_string(i);
      vadar->setClient(client);
    });
  }
  std::exit(0);  // as returning from main would
}

TEST(VadarObject, AProcessThatLeavesMainWithWorkUnderWayEndsAtOnce) {
  constexpr const char* childVariable = "VADAR_LEAVE_WITH_WORK_UNDER_WAY";
  if (const char* instructions = std::getenv(childVariable)) leaveWithWorkUnderWay(instructions);

  for (const char* mainQueue : {"held", "running"}) {
    SCOPED_TRACE(mainQueue);
    VadarHarness harness(/*configureNow=*/false);
    harness.api().holdAnswers("GET", "/v1/environment");
    const auto started = std::chrono::steady_clock::now();
    const auto status =
        testing::runChildTest("VadarObject.AProcessThatLeavesMainWithWorkUnderWayEndsAtOnce",
                              {{childVariable, harness.proxyUrl() + "\n" + harness.service() + "\n" + mainQueue}}, 30s);
    harness.api().releaseAnswers();
    EXPECT_TRUE(testing::exitedWith(status, 0)) << "child status " << status.value_or(-1);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
  }
}

// API clients made from now on send their requests through `delegate`'s hooks.
void useRequestHooks(const std::shared_ptr<VadarAPIClientDelegate>& delegate) {
  auto configuration = apiClientFactory().resolve()->configuration();
  configuration.delegate = delegate;
  apiClientFactory().register_([configuration] { return std::make_shared<httpkit::APIClient>(configuration); });
}

// A load on a thread of its own, ending in "loaded" or the text of what it threw.
testing_support::BoundedTask<std::string> launchLoad(Vadar& vadar,
                                                     std::source_location where = std::source_location::current()) {
  return testing_support::launch([&vadar]() -> std::string {
    try {
      vadar.load();
      return "loaded";
    } catch (const std::exception& error) {
      return error.what();
    }
  }, where);
}

TEST(VadarObjectConcurrency, ShutdownCancelsTheClientFetchOfALoadInProgress) {
  VadarHarness harness;
  harness.api().holdAnswers("GET", "/v1/client");
  auto loading =
      testing_support::launch([&vadar = harness.vadar()] { return outcomeOf([&] { vadar.load(); }, "loaded"); });
  ASSERT_TRUE(harness.api().waitForHeld(1, 20s));
  harness.vadar().shutdown();
  const bool ended = loading.wait_for(5s) == std::future_status::ready;
  harness.api().releaseAnswers();
  ASSERT_TRUE(ended) << "load() went on waiting for the server";
  EXPECT_EQ(loading.get(), "cancelled");
  EXPECT_FALSE(harness.vadar().isLoaded());
}

// The application's own fetches (a client refresh on its thread, the environment) change no signed-in state,
// yet quitting must not wait on a stalled server for them either: shutdown() ends each as cancelled.
TEST(VadarObjectConcurrency, ShutdownEndsTheApplicationsOwnFetchesWaitingOnAStalledServer) {
  VadarHarness harness;
  harness.api().holdAnswers("GET", "/v1/client");
  harness.api().holdAnswers("GET", "/v1/environment");
  auto client = testing_support::launch([] { return outcomeOf([] { Client::get(); }, "fetched"); });
  auto environment = testing_support::launch([] { return outcomeOf([] { VadarEnvironment::get(); }, "fetched"); });
  ASSERT_TRUE(harness.api().waitForHeld(2, 20s));
  harness.vadar().shutdown();
  const bool clientEnded = client.wait_for(5s) == std::future_status::ready;
  const bool environmentEnded = environment.wait_for(5s) == std::future_status::ready;
  harness.api().releaseAnswers();
  ASSERT_TRUE(clientEnded) << "Client::get() went on waiting for the server after shutdown()";
  ASSERT_TRUE(environmentEnded) << "VadarEnvironment::get() went on waiting for the server after shutdown()";
  EXPECT_EQ(client.get(), "cancelled");
  EXPECT_EQ(environment.get(), "cancelled");
  VadarHarness::settle();
  EXPECT_FALSE(harness.vadar().client());
  EXPECT_TRUE(harness.vadar().environment().isEmpty());
}

// An application hook that waits on something else than its stop holds the environment fetch of a load past
// shutdown(): the load itself must still end with the shutdown, not with the hook.
TEST(VadarObjectConcurrency, ShutdownEndsALoadWhoseEnvironmentFetchIsDeafToItsStop) {
  VadarHarness harness;
  struct DeafToItsStop : VadarAPIClientDelegate {
    using VadarAPIClientDelegate::VadarAPIClientDelegate;
    std::promise<void> entered;
    std::shared_future<void> release;
    std::once_flag once;
    void willSendRequest(httpkit::APIClient& client, httpkit::URLRequest& request) override {
      if (request.url.find("/v1/environment") != std::string::npos) {
        std::call_once(once, [&] { entered.set_value(); });
        release.wait_for(30s);
      }
      VadarAPIClientDelegate::willSendRequest(client, request);
    }
  };
  auto delegate = std::make_shared<DeafToItsStop>(harness.vadar().frontendApiUrl());
  std::promise<void> release;
  delegate->release = release.get_future().share();
  useRequestHooks(delegate);

  auto loading = launchLoad(harness.vadar());
  ASSERT_EQ(delegate->entered.get_future().wait_for(20s), std::future_status::ready);
  Finishing shutdown([&vadar = harness.vadar()] { vadar.shutdown(); });
  const bool shutDown = shutdown.within(20s);
  const bool loadEnded = loading.wait_for(20s) == std::future_status::ready;
  release.set_value();
  EXPECT_TRUE(shutDown);
  EXPECT_TRUE(loadEnded) << "load waited for the fetch after shutdown";
  if (loadEnded) {
    EXPECT_NE(loading.get(), "loaded");
  }
}

// A failed client fetch leaves the environment's outcome unwanted: a hook holding that fetch, deaf to its stop,
// holds the load's error back a bounded time only, with no shutdown to end the wait.
TEST(VadarObjectConcurrency, AFailedClientFetchWaitsOnlySoLongForAnEnvironmentFetchDeafToItsStop) {
  VadarHarness harness;
  struct ClientRefusedEnvironmentHeld : VadarAPIClientDelegate {
    using VadarAPIClientDelegate::VadarAPIClientDelegate;
    std::shared_future<void> release;
    void willSendRequest(httpkit::APIClient& client, httpkit::URLRequest& request) override {
      if (request.url.find("/v1/environment") != std::string::npos) release.wait_for(30s);
      if (request.url.find("/v1/client") != std::string::npos) throw std::runtime_error("the client fetch is refused");
      VadarAPIClientDelegate::willSendRequest(client, request);
    }
  };
  auto delegate = std::make_shared<ClientRefusedEnvironmentHeld>(harness.vadar().frontendApiUrl());
  std::promise<void> release;
  delegate->release = release.get_future().share();
  useRequestHooks(delegate);

  auto loading = launchLoad(harness.vadar());
  const bool loadEnded = loading.wait_for(15s) == std::future_status::ready;
  release.set_value();
  EXPECT_TRUE(loadEnded) << "the load's error waited for the held environment fetch";
  if (loadEnded) {
    EXPECT_NE(loading.get(), "loaded");
  }
}

TEST(VadarObject, LoadAfterShutdownStartsNothing) {
  VadarHarness harness;
  harness.vadar().shutdown();
  EXPECT_THROW(harness.vadar().load(), VadarClientError);
  EXPECT_FALSE(SessionTokenPoller::shared().isRunning());
  EXPECT_TRUE(harness.api().requests().empty());
}

TEST(VadarObjectConcurrency, NoCallbackIsRunningOnceCancelHasReturned) {
  VadarHarness harness(/*configureNow=*/false);
  Vadar& vadar = harness.vadar();
  auto cancelled = std::make_shared<std::promise<void>>();
  std::shared_future<void> cancelReturned = cancelled->get_future().share();
  auto calledAfter = std::make_shared<std::atomic<int>>(0);
  auto started = std::make_shared<std::promise<void>>();
  auto subscription = std::make_shared<Vadar::Subscription>(
      vadar.observe(Vadar::Member::sessionsByUserId, [cancelReturned, calledAfter, started, first = true]() mutable {
        if (first) {
          first = false;
          started->set_value();
          // A cancel that does not wait for this callback returns meanwhile; one that waits cannot.
          cancelReturned.wait_for(200ms);
        }
        if (cancelReturned.wait_for(0s) == std::future_status::ready) ++*calledAfter;
      }));
  Finishing writer([&vadar] { vadar.setSessionsByUserId({{"user_1", {}}}); });
  ASSERT_EQ(started->get_future().wait_for(20s), std::future_status::ready);
  Finishing canceller([subscription, cancelled] {
    subscription->cancel();
    cancelled->set_value();
  });
  ASSERT_TRUE(canceller.within(20s));
  ASSERT_TRUE(writer.within(20s));
  vadar.setSessionsByUserId({});  // announced, but to nobody
  EXPECT_EQ(calledAfter->load(), 0);
}

// An application that tears an observation down while it holds what its callback waits for (a model it is
// changing): the callback waits for the model, the canceller for the callback. The canceller waits only so long,
// so both go on.
TEST(VadarObjectConcurrency, CancelWaitsOnlySoLongForACallbackThatWaitsOnTheCanceller) {
  VadarHarness harness(/*configureNow=*/false);
  Vadar& vadar = harness.vadar();
  struct Model {
    std::mutex mutex;
    std::condition_variable changed;
    bool busy = true;  // until the canceller is done with it
  };
  auto model = std::make_shared<Model>();
  auto entered = std::make_shared<std::promise<void>>();
  auto tookTheModel = std::make_shared<std::atomic<bool>>(false);
  auto subscription = std::make_shared<Vadar::Subscription>(
      vadar.observe(Vadar::Member::sessionsByUserId, [model, entered, tookTheModel] {
        entered->set_value();
        std::unique_lock lock(model->mutex);
        *tookTheModel = model->changed.wait_for(lock, 30s, [&] { return !model->busy; });
      }));
  std::shared_future<void> callbackEntered = entered->get_future().share();
  Finishing canceller([model, subscription, callbackEntered] {
    if (callbackEntered.wait_for(20s) == std::future_status::ready) subscription->cancel();
    std::lock_guard lock(model->mutex);
    model->busy = false;
    model->changed.notify_all();
  });
  Finishing writer([&vadar] { vadar.setSessionsByUserId({{"user_1", {}}}); });
  ASSERT_EQ(callbackEntered.wait_for(20s), std::future_status::ready);
  EXPECT_TRUE(canceller.within(20s)) << "cancel waited for a callback that waited for the canceller";
  ASSERT_TRUE(writer.within(40s));
  EXPECT_TRUE(tookTheModel->load());
}

TEST(VadarObject, CachedValuesNeverReplaceWhatTheNetworkDeliveredFirst) {
  VadarHarness harness(/*configureNow=*/false);
  VadarService::live().saveClientToKeychain(Client::sample());
  VadarService::live().saveEnvironmentToKeychain(VadarEnvironment::sample());
  VadarEnvironment own;
  own.authConfig = VadarEnvironment::AuthConfig{true};
  Vadar& vadar = harness.vadar();
  std::promise<void> configured;
  std::promise<void> readsEnded;
  foundation::MainQueue::post([&vadar, &harness, &configured, ended = readsEnded.get_future().share(), own] {
    vadar.configure(VadarHarness::publishableKey(), harness.settings());  // the restore reads the keychain
    configured.set_value();
    ended.wait_for(20s);  // the read's values wait on the main queue behind this task
    vadar.setClient(Client::sample2());  // the network's answer, installed first
    vadar.setEnvironment(own);
  });
  ASSERT_EQ(configured.get_future().wait_for(20s), std::future_status::ready);
  EXPECT_TRUE(core::KeychainReads::drain(20s));
  readsEnded.set_value();
  VadarHarness::drainMainQueue();
  EXPECT_EQ(vadar.client(), Client::sample2());
  EXPECT_EQ(vadar.environment(), own);
}

TEST(VadarObject, UndecodableCachesAreLoggedAndLeaveTheObjectAsItWas) {
  VadarHarness harness;
  harness.keychain().setData(foundation::toBytes("{\"id\": 1}"), "cachedClient");
  {
    LogCapture logs;
    auto fresh = harness.startAgain();
    EXPECT_FALSE(fresh->client());
    EXPECT_TRUE(logs.contains(" loadCachedClient() - Failed to load cached client"));
    EXPECT_FALSE(logs.contains("Failed to load cached environment"));  // a missing item is simply absent
  }
  harness.keychain().setData(foundation::toBytes("[1]"), "cachedEnvironment");
  LogCapture logs;
  auto fresh = harness.startAgain();
  EXPECT_TRUE(fresh->environment().isEmpty());
  EXPECT_TRUE(logs.contains(" loadCachedEnvironment() - Failed to load cached environment"));
}

TEST(VadarObject, WritesRegisterInTheContainerTheCallerHasBound) {
  VadarHarness harness(/*configureNow=*/false);
  wiring::Container mine;
  {
    wiring::Container::Scope bound(mine);
    harness.vadar().configure(VadarHarness::publishableKey(), harness.settings());
    EXPECT_EQ(apiClientFactory().resolve()->configuration().baseURL, harness.api().baseUrl());
    EXPECT_EQ(keychainFactory().resolve().service(), harness.service());
    EXPECT_EQ(vadarSettingsFactory().resolve().proxyUrl, harness.proxyUrl());
  }
  // The process's own container saw none of it.
  EXPECT_NE(apiClientFactory().resolve()->configuration().baseURL, harness.api().baseUrl());
}

TEST(VadarObject, SamplesHaveNoSideEffects) {
  VadarHarness harness(/*configureNow=*/false);
  const auto before = apiClientFactory().resolve();
  auto sample = Vadar::sample();
  EXPECT_EQ(sample->session()->id, "1");
  EXPECT_EQ(sample->sessionsByUserId().at(User::mock().id).size(), 2u);
  EXPECT_FALSE(Vadar::sample2()->session());
  VadarHarness::drainMainQueue();
  EXPECT_FALSE(harness.keychain().hasItem("cachedClient"));
  EXPECT_FALSE(harness.keychain().hasItem("cachedEnvironment"));
  EXPECT_EQ(apiClientFactory().resolve(), before);
}

TEST(VadarObject, ObserversAreToldOnTheMainQueueOnlyOfChanges) {
  VadarHarness harness;
  Vadar& vadar = harness.vadar();
  std::vector<bool> onMainQueue;
  auto subscription = vadar.observe(Vadar::Member::client, [&] { onMainQueue.push_back(foundation::MainQueue::isCurrent()); });
  int settingsWrites = 0;
  auto settingsSubscription = vadar.observe(Vadar::Member::settings, [&] { ++settingsWrites; });
  vadar.setClient(Client::sample2());
  vadar.setClient(Client::sample2());
  vadar.configure(VadarHarness::publishableKey(), harness.settings());
  vadar.configure(VadarHarness::publishableKey(), harness.settings());
  EXPECT_EQ(onMainQueue, (std::vector<bool>{true}));
  EXPECT_EQ(settingsWrites, 2);  // settings announce every write
  subscription.cancel();
  vadar.setClient(std::nullopt);
  EXPECT_EQ(onMainQueue.size(), 1u);
  EXPECT_EQ(vadar.settingsProvider()->publishableKey(), VadarHarness::publishableKey());
}

TEST(VadarObject, AnObserverThatThrowsFailsNeitherTheWriteNorTheOtherObservers) {
  VadarHarness harness;
  Vadar& vadar = harness.vadar();
  LogCapture log;
  int told = 0;
  auto throwsAnException = vadar.observe(Vadar::Member::client, [] { throw std::runtime_error("observer failed"); });
  auto throwsAnInt = vadar.observe(Vadar::Member::client, [] { throw 42; });
  auto counts = vadar.observe(Vadar::Member::client, [&] { ++told; });
  EXPECT_NO_THROW(vadar.setClient(Client::sample2()));
  EXPECT_EQ(told, 1);
  EXPECT_EQ(vadar.client(), Client::sample2());
  EXPECT_TRUE(log.contains("observer failed"));
  // An answer's client, installed by a task of the main queue, reaches the observers behind them as well.
  Client::get();
  VadarHarness::settle();
  EXPECT_EQ(told, 2);
}

TEST(VadarObject, AnObjectItsOwnObserverReleasesIsNotTouchedAfterwards) {
  VadarHarness harness;
  // The application's only reference, dropped from inside the observer it registered.
  auto holder = std::make_shared<std::shared_ptr<Vadar>>(Vadar::make());
  Vadar* const vadar = holder->get();
  auto subscription = vadar->observe(Vadar::Member::sessionsByUserId, [holder] { holder->reset(); });
  vadar->setSessionsByUserId({{"user_1", {}}});
  EXPECT_EQ(*holder, nullptr);
}

TEST(VadarObject, BlockingCallsRefuseToRunOnTheMainQueue) {
  VadarHarness harness;
  Vadar& vadar = harness.vadar();
  const std::vector<std::function<void()>> calls{
      [&] { vadar.load(); }, [&] { vadar.signOut(); }, [&] { vadar.setActive("s1"); }, [&] { vadar.shutdown(); },
      [] { Client::get(); }, [] { Session::mockSession1().getToken(); },
      [] { SignIn::create(SignIn::CreateStrategy{SignIn::CreateStrategy::Passkey{}}); },
      [] { SignInWithAppleHelper::getAppleIdCredential({}); },
      [] { PasskeyHelper().signIn(foundation::toBytes("c"), false); }, [] { AppAttestHelper::performAssertion(); },
      [] { AppAttestHelper::performDeviceAttestation(); }, [] { AppAttestHelper::getChallenge(); },
      [] { AppAttestHelper::verify("key", "challenge", foundation::toBytes("attestation")); },
      [] { AppAttestHelper::generateAssertion(foundation::toBytes("{}")); }};
  foundation::MainQueue::sync([&] {
    for (std::size_t i = 0; i < calls.size(); ++i)
      EXPECT_NE(errorText<VadarClientError>(calls[i]).find("cannot run on the main queue"), std::string::npos) << i;
  });
  EXPECT_TRUE(harness.api().requests().empty());
}

TEST(VadarObjectConcurrency, ReadersSeeWholeValuesWithoutWaitingForTheMainQueue) {
  VadarHarness harness;
  Vadar& vadar = harness.vadar();
  const Client first = Client::sample();
  const Client second = Client::sample2();
  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 4; ++i) {
    readers.emplace_back([&] {
      while (!stop) {
        auto client = vadar.client();
        if (client && *client != first && *client != second) ++torn;
        auto session = vadar.session();
        if (session && session->id != "1") ++torn;
        (void)vadar.requestContext();
      }
    });
  }
  for (int i = 0; i < 200; ++i) vadar.setClient(i % 2 ? first : second);

  // With the main queue busy, reads still answer at once.
  testing::MainQueueHold hold;
  ASSERT_TRUE(hold.held());
  auto read = testing_support::launch([&] { return vadar.client().has_value(); });
  const bool answered = read.wait_for(10s) == std::future_status::ready;
  hold.release();
  stop = true;
  for (auto& reader : readers) reader.join();
  ASSERT_TRUE(answered);
  EXPECT_EQ(torn, 0);
}

}  // namespace
}  // namespace vadar
