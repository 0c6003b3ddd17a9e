// Device attestation and assertions against the fake frontend API, which checks every signature it receives
// with its own OpenSSL code: what crosses the wire, in which order, and what the keychain holds afterwards.
#include <gtest/gtest.h>

#include <future>

#include <foundation/app_info.hpp>
#include <foundation/base64.hpp>

#include "testing/bounded_task.hpp"
#include "core/background_tasks.hpp"
#include "vadar/attestation/app_attest_helper.hpp"
#include "vadar/attestation/attestation_provider.hpp"
#include "vadar/attestation/single_flight_assertion_manager.hpp"
#include "vadar/models/vadar_api_error.hpp"
#include "vadar/models/vadar_client_error.hpp"
#include "vadar/sessions/session_token_poller.hpp"
#include "vadar_harness.hpp"

namespace vadar {
namespace {

using fake_frontend_api::Answer;
using testing::Finishing;
using testing::LogCapture;
using testing::VadarHarness;
using namespace std::chrono_literals;

constexpr const char* challenges = "/v1/client/device_attestation/challenges";
constexpr const char* registration = "/v1/client/device_attestation/verify";
constexpr const char* assertion = "/v1/client/verify";

const Answer requiresAssertion = Answer::error(403, "requires_assertion", "Assert the device");
const Answer requiresAttestation = Answer::error(400, "requires_device_attestation", "Attest the device again");

// A configured library whose client is cached in the keychain, with the software provider (its keys in a
// keychain service of their own) and the single-flight manager registered.
class Attestation {
 public:
  explicit Attestation(bool softwareProvider = true)
      : keyStore_(makeKeychainStore(KeychainConfig(harness.service() + ".attestation-keys"))) {
    if (softwareProvider) {
      auto provider = std::make_shared<SoftwareAttestationProvider>(keyStore_);
      attestationProviderFactory().register_([provider] { return provider; });
    }
    assertionManagerFactory().register_([manager = manager] { return manager; });
    Client::get();
    VadarHarness::settle();  // the client is installed and cached
    harness.api().clearRequests();
  }

  ~Attestation() {
    VadarHarness::settle();
    for (const auto& request : harness.api().requests("POST", registration)) {
      try {
        keyStore_.deleteItem(SoftwareAttestationProvider::itemKey(request.formValue("key_id").value_or("")));
      } catch (...) {
      }
    }
    try {
      harness.keychain().deleteItem(AppAttestHelper::keyIdItem);
    } catch (...) {
    }
    attestationProviderFactory().register_([] { return std::make_shared<UnsupportedAttestationProvider>(); });
    assertionManagerFactory().register_([] { return std::make_shared<SingleFlightAssertionManager>(); });
  }

  std::string attestNow() {
    const std::string keyId = AppAttestHelper::performDeviceAttestation();
    VadarHarness::settle();  // the client the registration's answer carries is installed and cached
    harness.api().clearRequests();
    return keyId;
  }

  std::vector<std::string> wire() {
    std::vector<std::string> lines;
    for (const auto& request : harness.api().requests()) lines.push_back(request.method + " " + request.path);
    return lines;
  }

  std::string storedKeyId() { return harness.keychain().string(AppAttestHelper::keyIdItem); }

  VadarHarness harness;
  std::shared_ptr<SingleFlightAssertionManager> manager = std::make_shared<SingleFlightAssertionManager>();

 private:
  keychain::KeychainStore keyStore_;
};

std::string post(const char* path) { return std::string("POST ") + path; }

TEST(DeviceAssertion, RequiresAssertionIsAnsweredWithAVerifiedAssertionAndTheRequestIsSentAgain) {
  Attestation attestation;
  const std::string keyId = attestation.attestNow();
  auto& api = attestation.harness.api();

  api.failNext("GET", "/v1/client", requiresAssertion);
  EXPECT_TRUE(Client::get());
  EXPECT_EQ(attestation.wire(), (std::vector<std::string>{"GET /v1/client", post(challenges), post(assertion),
                                                          "GET /v1/client"}));

  // The challenge travels as the text received (the fake issues base64 with "+", "/" and "=" and accepts
  // only what it issued), and the signature verified over the client data text the fake received.
  const auto sent = api.lastRequest("POST", assertion);
  ASSERT_TRUE(sent);
  EXPECT_EQ(sent->rawPath, std::string("/__proxy") + assertion);
  EXPECT_EQ(sent->formValue("platform"), "ios");
  const auto clientData = nlohmann::json::parse(sent->formValue("client_data").value());
  EXPECT_EQ(clientData, (nlohmann::json{{"client_id", api.clientJson()["id"]}, {"challenge", *sent->formValue("challenge")}}));
  const auto assertionObject = foundation::base64Decode(sent->formValue("assertion").value());
  ASSERT_TRUE(assertionObject);
  EXPECT_EQ(nlohmann::json::parse(foundation::toString(*assertionObject))["key_id"], keyId);

  // A failure after the run ended starts a new run with a new challenge; the bundle identifier goes with the
  // assertion only when the application has one.
  const std::string bundleId = foundation::AppInfo::bundleIdentifier();
  EXPECT_EQ(sent->formValue("bundle_id").has_value(), !bundleId.empty());
  foundation::AppInfo::setBundleIdentifier("com.example.attest");
  api.failNext("GET", "/v1/client", requiresAssertion);
  EXPECT_TRUE(Client::get());
  foundation::AppInfo::setBundleIdentifier(bundleId);
  EXPECT_EQ(api.lastRequest("POST", assertion)->formValue("bundle_id"), "com.example.attest");
  EXPECT_EQ(api.requestCount("POST", challenges), 2u);
  EXPECT_EQ(api.requestCount("POST", assertion), 2u);
  EXPECT_NE(api.requests("POST", assertion)[0].formValue("challenge"),
            api.requests("POST", assertion)[1].formValue("challenge"));
}

// A start that could not read its device token goes on with the one it was handed and that token's client,
// which the keychain does not cache meanwhile: the assertion names the client the frontend API knows by the
// token sent with it, not the cached one of the stored token.
TEST(DeviceAssertion, ARunOnATokenKeptInMemoryOnlyNamesItsOwnClient) {
  Attestation attestation;
  attestation.attestNow();
  auto& harness = attestation.harness;
  auto& api = harness.api();
  const std::string cachedId = api.clientJson()["id"];
  harness.keychain().setData({0xff, 0xfe, 0x00}, "vadarDeviceToken");  // bytes that are no text: unreadable
  api.withState([](fake_frontend_api::State& state) {
    state.deviceToken = "handed_out_token";
    state.client["id"] = state.makeId("client");
    state.client["updated_at"] = state.tick();
  });
  harness.startAgain();
  ASSERT_NO_THROW(Client::get());
  VadarHarness::settle();
  ASSERT_NE(api.clientJson()["id"], cachedId);

  api.failNext("GET", "/v1/client", requiresAssertion);
  EXPECT_NO_THROW(Client::get());
  const auto sent = api.lastRequest("POST", assertion);
  ASSERT_TRUE(sent);
  EXPECT_EQ(nlohmann::json::parse(sent->formValue("client_data").value())["client_id"], api.clientJson()["id"]);
  EXPECT_EQ(sent->header("Authorization"), "handed_out_token");
}

TEST(DeviceAssertion, WithNoKeyStoredTheDeviceIsAttestedBeforeTheAssertionsChallenge) {
  Attestation attestation;
  auto& api = attestation.harness.api();
  EXPECT_FALSE(AppAttestHelper::hasKeyId());

  api.failNext("GET", "/v1/client", requiresAssertion);
  EXPECT_TRUE(Client::get());
  EXPECT_EQ(attestation.wire(), (std::vector<std::string>{"GET /v1/client", post(challenges), post(registration),
                                                          post(challenges), post(assertion), "GET /v1/client"}));
  const auto registered = api.lastRequest("POST", registration);
  ASSERT_TRUE(registered);
  EXPECT_EQ(attestation.storedKeyId(), registered->formValue("key_id"));
  EXPECT_TRUE(AppAttestHelper::hasKeyId());
}

TEST(DeviceAssertion, AnUntrustedKeyIsAttestedAgainOnceAndASecondRefusalFailsTheRun) {
  Attestation attestation;
  const std::string firstKey = attestation.attestNow();
  auto& api = attestation.harness.api();

  api.failNext("GET", "/v1/client", requiresAssertion);
  api.failNext("POST", assertion, requiresAttestation);
  EXPECT_TRUE(Client::get());
  EXPECT_EQ(attestation.wire(),
            (std::vector<std::string>{"GET /v1/client", post(challenges), post(assertion), post(challenges),
                                      post(registration), post(challenges), post(assertion), "GET /v1/client"}));
  const std::string secondKey = attestation.storedKeyId();
  EXPECT_NE(secondKey, firstKey);
  ASSERT_TRUE(api.lastRequest("POST", registration));
  EXPECT_EQ(api.lastRequest("POST", registration)->formValue("key_id"), secondKey);

  // Refused again after the new attestation: the run fails with that error and makes no third pass.
  api.clearRequests();
  api.failNext("GET", "/v1/client", requiresAssertion);
  api.failNext("POST", assertion, requiresAttestation, 2);
  EXPECT_EQ(apiErrorCode([&] { Client::get(); }), "requires_device_attestation");
  EXPECT_EQ(api.requestCount("POST", assertion), 2u);
  EXPECT_EQ(api.requestCount("POST", registration), 1u);
  EXPECT_EQ(api.requestCount("GET", "/v1/client"), 1u);

  // The demand may come from any request of the pass, the challenge included.
  api.clearRequests();
  api.failNext("POST", challenges, requiresAttestation);
  api.failNext("GET", "/v1/client", requiresAssertion);
  EXPECT_TRUE(Client::get());
  EXPECT_EQ(attestation.wire(), (std::vector<std::string>{"GET /v1/client", post(challenges), post(challenges),
                                                          post(registration), post(challenges), post(assertion),
                                                          "GET /v1/client"}));
}

TEST(DeviceAssertion, WithoutAnAttestationServiceNothingIsSent) {
  Attestation attestation(/*softwareProvider=*/false);
  auto& api = attestation.harness.api();
  api.failNext("GET", "/v1/client", requiresAssertion);
  try {
    Client::get();
    FAIL() << "the request should fail";
  } catch (const AttestationError& error) {
    EXPECT_EQ(error.code(), AttestationError::Code::unsupportedDevice);
  }
  EXPECT_THROW(AppAttestHelper::performDeviceAttestation(), AttestationError);
  EXPECT_EQ(attestation.wire(), (std::vector<std::string>{"GET /v1/client"}));
  EXPECT_FALSE(AppAttestHelper::hasKeyId());
}

// The key look-ups answer on the caller's thread: from the main queue itself, and from another thread while
// the main queue is busy with a long job of the application's, neither waits for a main-queue turn.
TEST(DeviceAssertion, TheKeyLookUpsNeverWaitForTheMainQueue) {
  Attestation attestation;
  const std::string keyId = attestation.attestNow();
  const std::string clientId = attestation.harness.api().clientJson()["id"];
  const auto lookUps = [keyId, clientId] {
    return AppAttestHelper::storedKeyId() == keyId && AppAttestHelper::hasKeyId() &&
           AppAttestHelper::cachedClientId() == clientId;
  };
  {
    testing::MainQueueHold hold;
    ASSERT_TRUE(hold.held());
    auto answered = testing_support::launch(lookUps);
    ASSERT_EQ(answered.wait_for(20s), std::future_status::ready) << "a look-up waited for the held main queue";
    EXPECT_TRUE(answered.get());
  }
  auto onMainQueue = std::make_shared<std::promise<bool>>();
  auto answered = onMainQueue->get_future();
  foundation::MainQueue::post([onMainQueue, lookUps] { onMainQueue->set_value(lookUps()); });
  ASSERT_EQ(answered.wait_for(20s), std::future_status::ready) << "a look-up on the main queue did not answer";
  EXPECT_TRUE(answered.get());
}

TEST(DeviceAssertion, RefusalsOfTheHelperItself) {
  Attestation attestation;
  attestation.attestNow();
  auto& api = attestation.harness.api();

  // No client cached: the run stops after its one challenge.
  attestation.harness.keychain().deleteItem("cachedClient");
  EXPECT_EQ(errorText<VadarClientError>([&] { AppAttestHelper::performAssertion(); }), "Client ID is unavailble.");
  EXPECT_EQ(attestation.wire(), (std::vector<std::string>{post(challenges)}));

  api.failNext("POST", challenges, Answer::json(200, {{"nonce", "abc"}}));
  try {
    AppAttestHelper::getChallenge();
    FAIL() << "no challenge";
  } catch (const AttestationError& error) {
    EXPECT_EQ(error.code(), AttestationError::Code::unableToGetChallengeFromServer);
  }
  api.failNext("POST", challenges, Answer::raw(200, "not json"));
  EXPECT_THROW(AppAttestHelper::getChallenge(), DecodingError);
}

TEST(DeviceAssertion, TheAttestationRequestsAreNeverRetriedForAnAssertion) {
  Attestation attestation;
  attestation.attestNow();
  auto& api = attestation.harness.api();
  // Retrying the challenge would wait for the very run that sent it.
  api.failNext("GET", "/v1/client", requiresAssertion);
  api.failNext("POST", challenges, requiresAssertion);
  auto result = testing_support::launch([] { return Client::get(); });
  ASSERT_EQ(result.wait_for(20s), std::future_status::ready) << "the assertion run waited for itself";
  EXPECT_EQ(apiErrorCode([&] { result.get(); }), "requires_assertion");
  EXPECT_EQ(attestation.wire(), (std::vector<std::string>{"GET /v1/client", post(challenges)}));
}

TEST(SoftwareAttestationProvider, KeysLiveInTheKeychainAndOnlyTheNamedKeySigns) {
  const auto store = makeKeychainStore(KeychainConfig(testing::uniqueKeychainService() + ".keys"));
  const foundation::Sha256Digest hash = foundation::sha256(std::string("client data"));
  std::string keyId;
  std::string otherKeyId;
  {
    SoftwareAttestationProvider provider(store);
    keyId = provider.generateKey();
    otherKeyId = provider.generateKey();
  }
  // A new provider over the same items signs with the stored key.
  SoftwareAttestationProvider provider(store);
  EXPECT_EQ(nlohmann::json::parse(foundation::toString(provider.attestKey(keyId, hash)))["key_id"], keyId);
  EXPECT_EQ(nlohmann::json::parse(foundation::toString(provider.generateAssertion(keyId, hash)))["key_id"], keyId);
  EXPECT_THROW(provider.generateAssertion("no-such-key", hash), SoftwareAttestationError);
  // An item that holds another key than its name says is refused rather than used.
  store.setString(store.string(SoftwareAttestationProvider::itemKey(otherKeyId)),
                  SoftwareAttestationProvider::itemKey(keyId));
  EXPECT_THROW(provider.generateAssertion(keyId, hash), SoftwareAttestationError);
  for (const auto& id : {keyId, otherKeyId}) store.deleteItem(SoftwareAttestationProvider::itemKey(id));
}

TEST(DeviceAssertionConcurrency, ConcurrentFailuresShareOneChallengeAndOneAssertion) {
  Attestation attestation;
  attestation.attestNow();
  auto& api = attestation.harness.api();
  api.failNext("GET", "/v1/client", requiresAssertion, 2);
  api.holdAnswers("POST", challenges);

  auto first = testing_support::launch([] { return Client::get(); });
  auto second = testing_support::launch([] { return Client::get(); });
  // Both requests wait on the one run, whose challenge is held back until then.
  EXPECT_TRUE(attestation.manager->waitForWaiters(2, 20s));
  api.releaseAnswers();
  ASSERT_EQ(first.wait_for(20s), std::future_status::ready);
  ASSERT_EQ(second.wait_for(20s), std::future_status::ready);
  EXPECT_TRUE(first.get());
  EXPECT_TRUE(second.get());
  EXPECT_EQ(api.requestCount("POST", challenges), 1u);
  EXPECT_EQ(api.requestCount("POST", assertion), 1u);
  EXPECT_EQ(api.requestCount("GET", "/v1/client"), 4u);  // each request sent again once
  EXPECT_EQ(attestation.manager->waiters(), 0u);
}

TEST(DeviceAssertionConcurrency, EveryWaiterOfAFailedRunReceivesItsError) {
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  std::atomic<int> passes{0};
  SingleFlightAssertionManager manager(
      [&] {
        ++passes;
        opened.wait_for(20s);
        throw VadarAPIError("assertion_refused");
      },
      [] { FAIL() << "no re-attestation for this code"; });

  std::vector<testing_support::BoundedTask<std::string>> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.push_back(
        testing_support::launch([&manager] { return apiErrorCode([&manager] { manager.performAssertion(); }); }));
  }
  ASSERT_TRUE(manager.waitForWaiters(4, 20s));
  gate.set_value();
  for (auto& waiter : waiters) {
    ASSERT_EQ(waiter.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(waiter.get(), "assertion_refused");
  }
  EXPECT_EQ(passes, 1);
}

// The provider is the application's and sees no stop: a shutdown cannot end the run that called it, but the
// callers waiting for that run (with no stop of their own) leave at once, cancelled.
TEST(DeviceAssertionConcurrency, CancellingRunsReleasesTheWaitersOfAProviderThatNeverAnswers) {
  std::promise<void> gate;
  std::shared_future<void> opened = gate.get_future().share();
  SingleFlightAssertionManager manager([&] { opened.wait_for(20s); }, [] {});
  auto owner = testing_support::launch([&manager] { manager.performAssertion(); });
  ASSERT_TRUE(manager.waitForWaiters(1, 20s));
  auto waiter = testing_support::launch([&manager] {
    try {
      manager.performAssertion();
    } catch (const httpkit::URLError& error) {
      return error.code() == httpkit::URLError::Code::cancelled;
    }
    return false;
  });
  ASSERT_TRUE(manager.waitForWaiters(2, 20s));
  manager.cancelRuns();
  const bool released = waiter.wait_for(5s) == std::future_status::ready;
  gate.set_value();
  ASSERT_TRUE(released) << "the waiter stayed until the provider answered";
  EXPECT_TRUE(waiter.get());
  ASSERT_EQ(owner.wait_for(20s), std::future_status::ready);
}

TEST(DeviceAssertionConcurrency, ShutdownIsPromptWhileARunIsHeldHalfWay) {
  Attestation attestation;
  attestation.attestNow();
  auto& api = attestation.harness.api();
  api.failNext("GET", "/v1/client", requiresAssertion, 2);
  api.holdAnswers("POST", challenges);

  // An application's request and one of the library's background tasks both wait on the held run.
  Finishing application([] {
    try {
      Client::get();
    } catch (...) {
    }
  });
  core::BackgroundTasks::shared().start([](std::stop_token stop) {
    core::StopTokenScope scope(std::move(stop));
    Client::get();
  });
  ASSERT_TRUE(attestation.manager->waitForWaiters(2, 20s));

  Finishing shutdown([vadar = Vadar::shared()] { vadar->shutdown(); });
  // The challenge stays held until after this wait: a shutdown that waited for it could not end within it.
  const bool prompt = shutdown.within(20s);
  api.releaseAnswers();
  EXPECT_TRUE(prompt);
  EXPECT_TRUE(application.within(20s));
  EXPECT_EQ(attestation.manager->waiters(), 0u);

  // The manager is not left cancelled: the next run is sent.
  api.failNext("GET", "/v1/client", requiresAssertion);
  EXPECT_TRUE(Client::get());
}

// ---- attestation at load ----

void setAttestationMode(fake_frontend_api::FakeFrontendAPI& api, const nlohmann::json& mode) {
  api.withState([&](fake_frontend_api::State& state) {
    if (mode.is_null())
      state.environment.erase("fraud_settings");
    else
      state.environment["fraud_settings"] = {{"native", {{"device_attestation_mode", mode}}}};
  });
}

TEST(DeviceAttestationAtLoad, LoadStartsTheAttestationWithoutWaitingForIt) {
  Attestation attestation;
  auto& api = attestation.harness.api();
  setAttestationMode(api, "onboarding");
  api.holdAnswers("POST", challenges);
  attestation.harness.vadar().load();  // returns while the attestation's challenge is held back
  EXPECT_TRUE(attestation.harness.vadar().isLoaded());
  EXPECT_TRUE(api.waitForHeld(1, 20s));
  api.releaseAnswers();
  VadarHarness::settle();
  EXPECT_EQ(api.requestCount("GET", "/v1/environment"), 1u);
  std::vector<std::string> attestationRequests;  // the token polling that load starts sends its own
  for (const auto& line : attestation.wire())
    if (line == post(challenges) || line == post(registration) || line == post(assertion))
      attestationRequests.push_back(line);
  EXPECT_EQ(attestationRequests, (std::vector<std::string>{post(challenges), post(registration)}));
  ASSERT_TRUE(api.lastRequest("POST", registration));
  EXPECT_EQ(attestation.storedKeyId(), api.lastRequest("POST", registration)->formValue("key_id"));
}

TEST(DeviceAttestationAtLoad, SkippedWithAKeyStoredOrAModeThatDoesNotAskForIt) {
  Attestation attestation;
  auto& api = attestation.harness.api();
  for (const nlohmann::json& mode : {nlohmann::json("disabled"), nlohmann::json("something_new"), nlohmann::json()}) {
    setAttestationMode(api, mode);
    attestation.harness.vadar().load();
    VadarHarness::settle();
    EXPECT_EQ(api.requestCount("POST", challenges), 0u) << mode;
  }
  attestation.harness.keychain().setString("key-from-an-earlier-run", AppAttestHelper::keyIdItem);
  setAttestationMode(api, "enforced");
  attestation.harness.vadar().load();
  VadarHarness::settle();
  EXPECT_EQ(api.requestCount("POST", challenges), 0u);
}

TEST(DeviceAttestationAtLoad, AFailureIsLoggedAndNeverFailsTheLoad) {
  Attestation attestation;
  auto& api = attestation.harness.api();
  setAttestationMode(api, "enforced");
  api.failNext("POST", registration, Answer::error(400, "device_attestation_invalid", "No"));
  LogCapture log;
  attestation.harness.vadar().load();
  VadarHarness::settle();
  EXPECT_TRUE(attestation.harness.vadar().isLoaded());
  EXPECT_TRUE(log.contains("Device attestation failed"));
  EXPECT_TRUE(log.contains("attestDeviceIfNeeded(environment:)"));
  EXPECT_FALSE(AppAttestHelper::hasKeyId());  // nothing stored for a key the server did not register
}


// A provider of the application's that shuts the library down from inside its own call, as an application
// that quits while the device is being attested would.
class ShuttingDownProvider : public SoftwareAttestationProvider {
 public:
  using SoftwareAttestationProvider::SoftwareAttestationProvider;
  std::string generateKey() override {
    Vadar::shared()->shutdown();
    shutDown.set_value();
    return SoftwareAttestationProvider::generateKey();
  }
  std::promise<void> shutDown;
};

// An application's attestation service that waits inside its call for something outside the process (a prompt,
// a daemon), until it is let go.
class WaitingProvider : public SoftwareAttestationProvider {
 public:
  using SoftwareAttestationProvider::SoftwareAttestationProvider;
  std::string generateKey() override {
    entered_.set_value();
    released_.wait_for(40s);
    std::string keyId = SoftwareAttestationProvider::generateKey();
    returned = true;
    return keyId;
  }
  foundation::Bytes attestKey(const std::string& keyId, const foundation::Sha256Digest& hash) override {
    attested = true;
    return SoftwareAttestationProvider::attestKey(keyId, hash);
  }
  bool entered() { return enteredFuture_.wait_for(20s) == std::future_status::ready; }
  void release() { release_.set_value(); }
  std::atomic<bool> attested{false};
  std::atomic<bool> returned{false};

 private:
  std::promise<void> entered_;
  std::future<void> enteredFuture_ = entered_.get_future();
  std::promise<void> release_;
  std::shared_future<void> released_ = release_.get_future().share();
};

// The application quits while the attestation load() started waits in the application's own service, which sees
// no stop: the shutdown waits for it a bounded time, not until the service answers. When the service answers at
// last, the stopped run uses nothing more, and the task is still the library's to join: no thread of it is left
// running into the process's exit.
TEST(DeviceAttestationAtLoad, AShutdownWaitsForAnAttestationServiceThatDoesNotAnswerOnlyABoundedTime) {
  Attestation attestation(/*softwareProvider=*/false);
  auto provider = std::make_shared<WaitingProvider>(
      makeKeychainStore(KeychainConfig(attestation.harness.service() + ".attestation-keys")));
  attestationProviderFactory().register_([provider] { return provider; });
  setAttestationMode(attestation.harness.api(), "enforced");
  attestation.harness.vadar().load();
  ASSERT_TRUE(provider->entered());
  Finishing shutdown([vadar = Vadar::shared()] { vadar->shutdown(); });
  const bool bounded = shutdown.within(core::BackgroundTasks::kShutdownWait + 10s);
  LogCapture log;
  provider->release();
  EXPECT_TRUE(bounded);
  EXPECT_TRUE(shutdown.within(20s));
  Finishing drained([] { core::BackgroundTasks::shared().drain(); });
  ASSERT_TRUE(drained.within(20s));
  EXPECT_TRUE(provider->returned) << "the drain did not wait for the task the shutdown left running";
  EXPECT_FALSE(provider->attested);
  EXPECT_FALSE(log.contains("Device attestation failed"));
}

TEST(DeviceAttestationAtLoad, AProviderThatShutsTheLibraryDownFromItsOwnCallStopsEverythingElse) {
  Attestation attestation(/*softwareProvider=*/false);
  auto provider = std::make_shared<ShuttingDownProvider>(
      makeKeychainStore(KeychainConfig(attestation.harness.service() + ".attestation-keys")));
  auto shutDown = provider->shutDown.get_future();
  attestationProviderFactory().register_([provider] { return provider; });
  setAttestationMode(attestation.harness.api(), "enforced");
  attestation.harness.vadar().load();
  // The shutdown joins every thread of the library but the one it runs on, which ends on its own.
  ASSERT_EQ(shutDown.wait_for(20s), std::future_status::ready);
  VadarHarness::settle();
  EXPECT_FALSE(SessionTokenPoller::shared().isRunning());
  EXPECT_THROW(attestation.harness.vadar().load(), VadarClientError);
}

}  // namespace
}  // namespace vadar
