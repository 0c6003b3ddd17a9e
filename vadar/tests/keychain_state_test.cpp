// What the library keeps for an instance (the cached client and environment, the device token) across
// reconfiguration, restarts, hostile stored values and a keychain that stops answering: each instance gets
// its own back, never another's, and no request waits on the keychain.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdlib>
#include <sstream>

#include <foundation/base64.hpp>

#include "testing/bounded_task.hpp"
#include "child_process.hpp"
#include "vadar/attestation/app_attest_helper.hpp"
#include "vadar/attestation/attestation_provider.hpp"
#include "vadar_harness.hpp"

namespace vadar {
namespace {

using fake_frontend_api::FakeFrontendAPI;
using testing::VadarHarness;
using namespace std::chrono_literals;

// A second instance of the frontend API, on its own host name and loopback server.
struct OtherInstance {
  static constexpr const char* host = "other.example.test";
  static constexpr const char* deviceToken = "device_token_of_the_other_instance";

  OtherInstance() : api(options()) { api.start(); }
  static fake_frontend_api::Options options() {
    fake_frontend_api::Options options;
    options.mountPrefixes = {"/__proxy"};
    options.deviceToken = deviceToken;
    options.signedIn = false;
    return options;
  }
  static std::string key() { return FakeFrontendAPI::publishableKeyFor(host); }
  Vadar::Settings settings(const std::string& service) const {
    return Vadar::Settings(false, true, KeychainConfig(service), api.baseUrl() + "/__proxy");
  }

  FakeFrontendAPI api;
};

std::optional<Client> cachedClient(const keychain::KeychainStore& store) {
  if (!store.hasItem("cachedClient")) return std::nullopt;
  return decodeJSON<Client>(foundation::toString(store.data("cachedClient")));
}

Client clientNamed(std::string id) {
  Client client = Client::sample2();
  client.id = std::move(id);
  return client;
}

TEST(KeychainState, AWriteQueuedForOneKeychainLandsThereAfterTheNextConfigure) {
  VadarHarness harness(/*configureNow=*/false);
  OtherInstance other;
  const std::string otherService = testing::uniqueKeychainService();
  const keychain::KeychainStore otherStore = makeKeychainStore(KeychainConfig(otherService));
  Vadar& vadar = harness.vadar();

  vadar.configure(VadarHarness::publishableKey(), harness.settings());
  vadar.setClient(clientNamed("client_of_a_1"));  // written at once
  vadar.setClient(clientNamed("client_of_a_2"));  // waits for the writer's turn
  vadar.configure(OtherInstance::key(), other.settings(otherService));
  VadarHarness::settle();

  EXPECT_EQ(cachedClient(harness.keychain()), clientNamed("client_of_a_2"));
  EXPECT_EQ(cachedClient(otherStore), std::nullopt);

  // Signed out of the other instance and started again under it: nothing of the first instance comes back.
  vadar.setClient(std::nullopt);
  auto next = harness.freshVadar();
  next->configure(OtherInstance::key(), other.settings(otherService));
  VadarHarness::settle();
  EXPECT_FALSE(next->client());
  VadarHarness::forgetLibraryItems(otherStore);
}

TEST(KeychainState, ANewInstanceInTheSameKeychainGetsNothingOfTheOldOnesClientSessionOrDeviceToken) {
  VadarHarness harness;  // the first instance, signed in
  OtherInstance other;
  Vadar& vadar = harness.vadar();
  vadar.load();
  VadarHarness::settle();
  ASSERT_TRUE(vadar.session());
  const std::string oldSession = vadar.session()->id;
  const std::string oldClient = vadar.client()->id;
  const std::string oldToken = "fake_device_token_1";
  ASSERT_EQ(harness.keychain().string("vadarDeviceToken"), oldToken);

  // The same keychain service, a key for another instance, while an answer of the first is on its way.
  harness.api().holdAnswers("GET", "/v1/client");
  auto late = testing_support::launch([] { return Client::get().has_value(); });
  ASSERT_TRUE(harness.api().waitForHeld(1, 20s));
  vadar.configure(OtherInstance::key(), other.settings(harness.service()));
  EXPECT_FALSE(vadar.session());  // what the token poller reads
  harness.api().releaseAnswers();
  ASSERT_EQ(late.wait_for(20s), std::future_status::ready);
  EXPECT_TRUE(late.get());
  VadarHarness::settle();
  EXPECT_FALSE(vadar.client());  // the late answer installed nothing
  Client::get();
  VadarHarness::settle();
  ASSERT_TRUE(vadar.client());
  EXPECT_EQ(vadar.client()->id, other.api.clientJson()["id"].get<std::string>());

  // Started again under the new instance: its own client and device token, none of the old ones.
  auto next = harness.freshVadar();
  next->configure(OtherInstance::key(), other.settings(harness.service()));
  VadarHarness::settle();
  ASSERT_TRUE(next->client());
  EXPECT_EQ(next->client()->id, other.api.clientJson()["id"].get<std::string>());
  Client::get();
  EXPECT_EQ(other.api.lastRequest("GET", "/v1/client")->header("Authorization"), OtherInstance::deviceToken);

  for (const auto& request : other.api.requests()) {
    EXPECT_NE(request.header("Authorization"), oldToken) << request.target;
    EXPECT_EQ(request.target.find(oldSession), std::string::npos) << request.target;
    EXPECT_EQ(request.target.find(oldClient), std::string::npos) << request.target;
  }
}

// A load of the first instance whose environment arrives after the switch: that environment (its strategies, its
// demand for device attestation) is the first instance's, and is neither shown, nor cached, nor acted on under
// the new one, directly fetched or through load().
TEST(KeychainState, AnEnvironmentOfTheOldInstanceArrivingAfterTheSwitchInstallsAndStartsNothing) {
  VadarHarness harness;
  OtherInstance other;
  Vadar& vadar = harness.vadar();
  const keychain::KeychainStore keys = makeKeychainStore(KeychainConfig(harness.service() + ".attestation-keys"));
  attestationProviderFactory().register_([keys] { return std::make_shared<SoftwareAttestationProvider>(keys); });
  harness.api().withState([](fake_frontend_api::State& state) {
    state.environment["fraud_settings"] = {{"native", {{"device_attestation_mode", "enforced"}}}};
  });
  harness.api().holdAnswers("GET", "/v1/environment");
  auto loading = testing_support::launch([&vadar] {
    try {
      vadar.load();
    } catch (...) {
    }
  });
  auto fetching = testing_support::launch([] {
    try {
      VadarEnvironment::get();
    } catch (...) {
    }
  });
  ASSERT_TRUE(harness.api().waitForHeld(2, 20s));
  vadar.configure(OtherInstance::key(), other.settings(harness.service()));
  harness.api().releaseAnswers();
  ASSERT_EQ(loading.wait_for(20s), std::future_status::ready);
  ASSERT_EQ(fetching.wait_for(20s), std::future_status::ready);
  VadarHarness::settle();

  EXPECT_TRUE(vadar.environment().isEmpty());
  EXPECT_FALSE(vadar.isLoaded());
  EXPECT_EQ(other.api.requestCount("POST", "/v1/client/device_attestation/challenges"), 0u);
  auto next = harness.freshVadar();
  next->configure(OtherInstance::key(), other.settings(harness.service()));
  VadarHarness::settle();
  EXPECT_TRUE(next->environment().isEmpty());

  attestationProviderFactory().register_([] { return std::make_shared<UnsupportedAttestationProvider>(); });
  try {
    harness.keychain().deleteItem(AppAttestHelper::keyIdItem);
  } catch (...) {
  }
}

// A load of the first instance overtaken by a switch to another: it loaded nothing for the instance now served,
// and says so instead of returning as if it had.
TEST(KeychainState, ALoadOvertakenByASwitchOfInstanceEndsAsCancelled) {
  VadarHarness harness;
  OtherInstance other;
  Vadar& vadar = harness.vadar();
  harness.api().holdAnswers("GET", "/v1/client");
  auto loading = testing_support::launch([&vadar] { return outcomeOf([&] { vadar.load(); }, "loaded"); });
  ASSERT_TRUE(harness.api().waitForHeld(1, 20s));
  vadar.configure(OtherInstance::key(), other.settings(harness.service()));
  harness.api().releaseAnswers();
  ASSERT_EQ(loading.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(loading.get(), "cancelled");
  VadarHarness::settle();
  EXPECT_FALSE(vadar.isLoaded());
  EXPECT_FALSE(vadar.client());
}

// Loaded under one instance, then switched to another: until a load of the new one, the object says it is not
// loaded, since it holds neither client nor environment of the instance it serves.
TEST(KeychainState, ASwitchOfInstanceLeavesTheObjectNotLoadedUntilItsNextLoad) {
  VadarHarness harness;
  OtherInstance other;
  Vadar& vadar = harness.vadar();
  vadar.load();
  VadarHarness::settle();
  ASSERT_TRUE(vadar.isLoaded());
  std::vector<bool> seen;
  auto subscription = vadar.observe(Vadar::Member::isLoaded, [&] { seen.push_back(vadar.isLoaded()); });
  vadar.configure(OtherInstance::key(), other.settings(harness.service()));
  EXPECT_FALSE(vadar.isLoaded());
  EXPECT_TRUE(vadar.environment().isEmpty());
  vadar.load();
  VadarHarness::settle();
  EXPECT_TRUE(vadar.isLoaded());
  EXPECT_FALSE(vadar.environment().isEmpty());
  EXPECT_EQ(seen, (std::vector<bool>{false, true}));
}

// The device key an instance registered is known to that instance only: another one, served from the same
// keychain, attests the device for itself and asserts with its own key.
TEST(KeychainState, ANewInstanceInTheSameKeychainAttestsTheDeviceForItselfAndAssertsWithItsOwnKey) {
  VadarHarness harness;
  const keychain::KeychainStore keys = makeKeychainStore(KeychainConfig(harness.service() + ".attestation-keys"));
  attestationProviderFactory().register_([keys] { return std::make_shared<SoftwareAttestationProvider>(keys); });
  constexpr const char* registration = "/v1/client/device_attestation/verify";
  Client::get();
  VadarHarness::settle();
  const std::string firstKey = AppAttestHelper::performDeviceAttestation();
  VadarHarness::settle();

  OtherInstance other;
  other.api.withState([](fake_frontend_api::State& state) {
    state.environment["fraud_settings"] = {{"native", {{"device_attestation_mode", "onboarding"}}}};
  });
  Vadar& vadar = harness.vadar();
  vadar.configure(OtherInstance::key(), other.settings(harness.service()));
  vadar.load();
  VadarHarness::settle();
  EXPECT_EQ(other.api.requestCount("POST", registration), 1u) << "the load did not attest the device";

  other.api.failNext("GET", "/v1/client", fake_frontend_api::Answer::error(403, "requires_assertion", "Assert"));
  EXPECT_NO_THROW(Client::get());
  const auto asserted = other.api.lastRequest("POST", "/v1/client/verify");
  ASSERT_TRUE(asserted);
  const auto assertion = nlohmann::json::parse(foundation::toString(
      foundation::base64Decode(asserted->formValue("assertion").value_or("")).value_or(foundation::Bytes{})));
  EXPECT_NE(assertion.value("key_id", ""), firstKey);

  attestationProviderFactory().register_([] { return std::make_shared<UnsupportedAttestationProvider>(); });
  for (const auto& api : {&harness.api(), &other.api})
    for (const auto& request : api->requests("POST", registration)) {
      try {
        keys.deleteItem(SoftwareAttestationProvider::itemKey(request.formValue("key_id").value_or("")));
      } catch (...) {
      }
    }
  try {
    harness.keychain().deleteItem(AppAttestHelper::keyIdItem);
  } catch (...) {
  }
}

// An answer may still list a session signed out elsewhere, with the last token it was given: the keychain copy
// of the client, which outlives the process, keeps the tokens of live sessions only.
TEST(KeychainState, TheCachedClientKeepsNoTokenOfASessionSignedOut) {
  VadarHarness harness;
  Session live = Session::mockSession1();
  live.lastActiveToken = TokenResource{"token.of.the.live.session"};
  Session pending = Session::mockSession2();
  pending.id = "pending_session";
  pending.status = Session::SessionStatus::pending;
  pending.lastActiveToken = TokenResource{"token.of.the.pending.session"};
  Client client = clientNamed("client_with_tokens");
  client.sessions = {live, pending};
  client.lastActiveSessionId = live.id;
  for (const auto status : {Session::SessionStatus::ended, Session::SessionStatus::revoked,
                            Session::SessionStatus::removed, Session::SessionStatus::unknown}) {
    Session signedOut = Session::mockSession2();
    signedOut.id = "signed_out_" + std::to_string(client.sessions.size());
    signedOut.status = status;
    signedOut.lastActiveToken = TokenResource{"token.of.a.signed.out.session"};
    client.sessions.push_back(signedOut);
  }
  harness.vadar().setClient(client);
  VadarHarness::drainMainQueue();

  const std::string cached = harness.keychain().string("cachedClient");
  EXPECT_NE(cached.find("token.of.the.live.session"), std::string::npos);
  EXPECT_NE(cached.find("token.of.the.pending.session"), std::string::npos);
  EXPECT_EQ(cached.find("token.of.a.signed.out.session"), std::string::npos)
      << "a signed-out session's token was cached";
  auto next = harness.startAgain();
  ASSERT_TRUE(next->client());
  ASSERT_EQ(next->client()->sessions.size(), client.sessions.size());
  EXPECT_EQ(next->session(), live);
  EXPECT_FALSE(next->client()->sessions.back().lastActiveToken);
}

TEST(KeychainState, TheStartUpRestoreReadsTheKeychainTheApplicationConfigures) {
  VadarHarness harness;
  harness.vadar().load();
  VadarHarness::settle();
  const auto client = harness.vadar().client();
  const auto environment = harness.vadar().environment();
  ASSERT_TRUE(client);
  ASSERT_FALSE(environment.isEmpty());

  // A new process: the container holds the default keychain until the application configures its own,
  // right after making the object.
  keychainFactory().register_([] { return makeKeychainStore(KeychainConfig()); });
  auto next = harness.freshVadar();
  next->configure(VadarHarness::publishableKey(), harness.settings());
  VadarHarness::settle();
  EXPECT_EQ(next->client(), client);
  EXPECT_EQ(next->environment(), environment);
}

TEST(DeviceTokens, AStoredValueThatCannotBeSentCountsAsNoToken) {
  for (const std::string& stored : {std::string("tok\nen"), std::string("tok\r\nen"), std::string("tok\0en", 6)}) {
    VadarHarness harness(/*configureNow=*/false);
    harness.keychain().setString(stored, "vadarDeviceToken");
    harness.vadar().configure(VadarHarness::publishableKey(), harness.settings());
    ASSERT_NO_THROW(Client::get());
    EXPECT_FALSE(harness.api().lastRequest("GET", "/v1/client")->header("Authorization"));
    // The answer's token replaces it, in the requests and in the keychain.
    Client::get();
    EXPECT_EQ(harness.api().lastRequest("GET", "/v1/client")->header("Authorization"), "fake_device_token_1");
    VadarHarness::settle();
    EXPECT_EQ(harness.keychain().string("vadarDeviceToken"), "fake_device_token_1");
  }
}

// An instance mark whose bytes are not text names no instance: the next token handed out is stored in its place
// under a mark of this instance, and the next start sends it, instead of every write failing on the mark for good.
TEST(DeviceTokens, AnInstanceMarkThatIsNotTextGivesWayToTheNextTokenHandedOut) {
  VadarHarness harness(/*configureNow=*/false);
  harness.keychain().setString("token_beside_a_damaged_mark", "vadarDeviceToken");
  harness.keychain().setData(foundation::Bytes{'t', 0xff, 0xfe, 'k'}, "vadarInstance");
  harness.vadar().configure(VadarHarness::publishableKey(), harness.settings());
  ASSERT_NO_THROW(Client::get());
  EXPECT_FALSE(harness.api().lastRequest("GET", "/v1/client")->header("Authorization"));  // nobody's token
  VadarHarness::settle();
  EXPECT_EQ(errorText<keychain::KeychainStoreError>(
                [&] { EXPECT_EQ(harness.keychain().string("vadarDeviceToken"), "fake_device_token_1"); }),
            "no error");

  harness.startAgain();
  Client::get();
  EXPECT_EQ(harness.api().lastRequest("GET", "/v1/client")->header("Authorization"), "fake_device_token_1");
}

// The child half of the test below: another process of the application, for the other instance, signs in with
// the same keychain service and quits.
[[noreturn]] void otherInstanceSignsIn(const std::string& service) {
  keychainFactory().register_([service] { return makeKeychainStore(KeychainConfig(service)); });
  auto vadar = Vadar::make();
  vadarFactory().register_([vadar] { return vadar; });
  vadar->configure(OtherInstance::key(), Vadar::Settings(false, true, KeychainConfig(service)));
  vadar->setClient(clientNamed("client_of_the_other_instance"));
  vadar->shutdown();  // the keychain holds that client when it returns
  const auto stored = cachedClient(makeKeychainStore(KeychainConfig(service)));
  std::_Exit(stored && stored->id == "client_of_the_other_instance" ? 0 : 3);
}

// Two processes of the application (a development and a production build) share the keychain service, one
// instance each. Whichever writes last owns the keychain; a process that claimed it once must not go on writing
// its instance's items under the other's mark, where the other would restore them as its own.
TEST(KeychainState, AnotherProcessServingAnotherInstanceNeverRestoresThisOnesClient) {
  constexpr const char* childVariable = "VADAR_OTHER_INSTANCE_PROCESS";
  if (const char* service = std::getenv(childVariable)) otherInstanceSignsIn(service);

  VadarHarness harness;
  Vadar& vadar = harness.vadar();
  vadar.setClient(clientNamed("client_of_this_instance_1"));
  VadarHarness::settle();
  ASSERT_EQ(cachedClient(harness.keychain()), clientNamed("client_of_this_instance_1"));

  const auto status = testing::runChildTest("KeychainState.AnotherProcessServingAnotherInstanceNeverRestoresThisOnesClient",
                                            {{childVariable, harness.service()}});
  ASSERT_TRUE(testing::exitedWith(status, 0)) << "child status " << status.value_or(-1);

  vadar.setClient(clientNamed("client_of_this_instance_2"));
  VadarHarness::settle();

  // The other process starts again.
  OtherInstance other;
  auto next = harness.freshVadar();
  next->configure(OtherInstance::key(), other.settings(harness.service()));
  VadarHarness::settle();
  const auto restored = next->client();
  EXPECT_TRUE(!restored || restored->id == "client_of_the_other_instance")
      << "the other instance restored " << restored->id;
}

// The child half of the test below: requests, token fetches and a load with a Secret Service that never
// answers (its session bus accepts the connection and then says nothing).
[[noreturn]] void requestWithAStalledKeychain(const std::string& instructions) {
  std::istringstream lines(instructions);
  std::string proxyUrl, service;
  std::getline(lines, proxyUrl);
  std::getline(lines, service);
  keychainFactory().register_([service] { return makeKeychainStore(KeychainConfig(service)); });
  auto vadar = Vadar::make();
  vadarFactory().register_([vadar] { return vadar; });
  vadar->configure(VadarHarness::publishableKey(), Vadar::Settings(false, true, KeychainConfig(service), proxyUrl));

  const auto allWithin = [](std::vector<testing_support::BoundedTask<bool>>& tasks, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool all = true;
    for (auto& task : tasks)
      all = task.wait_for(deadline - std::chrono::steady_clock::now()) == std::future_status::ready && task.get() && all;
    return all;
  };
  std::vector<testing_support::BoundedTask<bool>> fetches;
  for (int i = 0; i < 8; ++i) fetches.push_back(testing_support::launch([] { return Client::get().has_value(); }));
  if (!allWithin(fetches, 30s)) std::_Exit(3);

  auto installed = testing_support::launch([] { foundation::MainQueue::drain(); });
  if (installed.wait_for(10s) != std::future_status::ready) std::_Exit(4);
  const auto session = vadar->session();
  if (!session) std::_Exit(5);
  std::vector<testing_support::BoundedTask<bool>> tokens;
  for (int i = 0; i < 8; ++i)
    tokens.push_back(testing_support::launch([session] { return session->getToken().has_value(); }));
  if (!allWithin(tokens, 30s)) std::_Exit(6);

  auto loaded = testing_support::launch([vadar] {
    vadar->load();
    return vadar->isLoaded();
  });
  if (loaded.wait_for(30s) != std::future_status::ready || !loaded.get()) std::_Exit(7);
  std::_Exit(0);  // the keychain calls still waiting would hold an orderly exit
}

TEST(DeviceTokens, AKeychainThatStopsAnsweringHoldsNoRequest) {
  constexpr const char* childVariable = "VADAR_STALLED_KEYCHAIN";
  if (const char* instructions = std::getenv(childVariable)) requestWithAStalledKeychain(instructions);

  VadarHarness harness(/*configureNow=*/false);
  // A session bus that takes connections and never answers them.
  char folder[] = "/tmp/vadar-stalled-bus.XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  const std::string path = std::string(folder) + "/bus";
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 64), 0);

  const auto status = testing::runChildTest(
      "DeviceTokens.AKeychainThatStopsAnsweringHoldsNoRequest",
      {{childVariable, harness.proxyUrl() + "\n" + harness.service()},
       {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + path}});
  ::close(listener);
  std::filesystem::remove_all(folder);
  EXPECT_TRUE(testing::exitedWith(status, 0)) << "child status " << status.value_or(-1);
  EXPECT_GE(harness.api().requestCount("GET", "/v1/client"), 8u);
}

}  // namespace
}  // namespace vadar

