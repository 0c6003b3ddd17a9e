#pragma once
// A `Vadar` wired to the fake frontend API (through a proxy URL with a path segment, keychain service of its
// own), for the session, token and sign-in tests. Ids of the fake start at a base of their own in every
// harness, so session keys never meet tokens another test cached in the process-wide cache.
#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include <fake_frontend_api/fake_frontend_api.hpp>
#include <fake_frontend_api/sessions.hpp>
#include <foundation/clock.hpp>
#include <foundation/main_queue.hpp>

#include "core/background_tasks.hpp"
#include "vadar/container_keys.hpp"
#include "vadar/passkey_authenticator.hpp"
#include "vadar/session_service.hpp"
#include "vadar/session_token_poller.hpp"
#include "vadar/sign_in_service.hpp"
#include "vadar/sign_up_service.hpp"
#include "vadar/vadar.hpp"
#include "vadar_harness.hpp"

namespace vadar::testing {

using namespace std::chrono_literals;

class SessionsHarness {
 public:
  static constexpr const char* host = "frontend.example.test";
  static constexpr const char* email = "ada@example.test";

  // `signedIn`: the fake's client starts with an active session of Ada's (else Ada exists, signed out).
  explicit SessionsHarness(bool signedIn = false) : api_(makeOptions()), service_(uniqueKeychainService()) {
    static std::atomic<std::uint64_t> nextBase{1000};
    const std::uint64_t base = nextBase.fetch_add(1000);
    api_.withState([&](fake_frontend_api::State& state) {
      state.nextId = base;
      userId_ = state.addUser("Ada", "Lovelace", email)["id"].get<std::string>();
      if (signedIn) state.addSession(userId_);
    });
    api_.start();
    keychainFactory().register_([service = service_] { return makeKeychainStore(KeychainConfig(service)); });
    vadar_ = Vadar::make();
    vadarFactory().register_([vadar = vadar_] { return vadar; });
    foundation::MainQueue::drain();
    vadar_->configure(fake_frontend_api::FakeFrontendAPI::publishableKeyFor(host), settings());
  }

  ~SessionsHarness() {
    SessionTokenPoller::shared().stop();
    settle();
    vadar_->shutdown();
    foundation::Clock::setSource(nullptr);
    // Seams a test may have replaced go back to the live records.
    signInServiceFactory().register_([] { return SignInService::live(); });
    signUpServiceFactory().register_([] { return SignUpService::live(); });
    sessionServiceFactory().register_([] { return SessionService::live(); });
    webAuthenticationFactory().register_(
        [] {
      return std::shared_ptr<WebAuthentication>(
          std::make_shared<HeadlessWebAuthentication>(Vadar::shared()->settingsProvider()));
    });
    passkeyAuthenticatorFactory().register_(
        [] { return std::shared_ptr<PasskeyAuthenticator>(std::make_shared<HeadlessPasskeyAuthenticator>()); });
    const auto store = keychain();
    for (const char* key : {"vadarDeviceToken", "cachedClient", "cachedEnvironment"}) {
      try {
        store.deleteItem(key);
      } catch (...) {
      }
    }
  }

  Vadar::Settings settings() const {
    return Vadar::Settings(false, true, KeychainConfig(service_), api_.baseUrl() + "/__proxy");
  }
  keychain::KeychainStore keychain() const { return makeKeychainStore(KeychainConfig(service_)); }

  // Lets the writes the response pipeline queued land.
  static void settle() {
    core::BackgroundTasks::shared().drain();
    foundation::MainQueue::drain();
  }

  // The fake's current session as the library decodes it (the client is fetched once).
  Session currentSession() {
    Client::get();
    settle();
    auto session = vadar_->session();
    if (!session) throw std::runtime_error("the fake has no current session");
    return *session;
  }

  fake_frontend_api::FakeFrontendAPI& api() { return api_; }
  Vadar& vadar() { return *vadar_; }
  const std::string& userId() const { return userId_; }

 private:
  static fake_frontend_api::Options makeOptions() {
    fake_frontend_api::Options options;
    options.mountPrefixes = {"/__proxy"};
    options.signedIn = false;
    return options;
  }

  fake_frontend_api::FakeFrontendAPI api_;
  std::string service_;
  std::string userId_;
  std::shared_ptr<Vadar> vadar_;
};

// The wall clock the library reads, fixed at a whole second, for freshness cases.
inline foundation::Date fixClock(std::int64_t secondsSince1970) {
  const foundation::Date now{std::chrono::seconds(secondsSince1970)};
  foundation::Clock::setSource([now] { return now; });
  return now;
}

}  // namespace vadar::testing
