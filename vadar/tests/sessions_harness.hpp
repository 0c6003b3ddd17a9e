#pragma once
// A `Vadar` wired to the fake frontend API as in vadar_harness.hpp, for the session, token and sign-in tests:
// the fake knows Ada (signed in or not). Ids of the fake start at a base of their own in every harness, so
// session keys never meet tokens another test cached in the process-wide cache.
#include <fake_frontend_api/sessions.hpp>
#include <foundation/clock.hpp>

#include "vadar/sessions/passkey_authenticator.hpp"
#include "vadar/sessions/session_service.hpp"
#include "vadar/sessions/session_token_poller.hpp"
#include "vadar/sessions/sign_in_service.hpp"
#include "vadar/sessions/sign_up_service.hpp"
#include "vadar_harness.hpp"

namespace vadar::testing {

class SessionsHarness : public VadarHarness {
 public:
  static constexpr const char* email = "ada@example.test";

  // `signedIn`: the fake's client starts with an active session of Ada's (else Ada exists, signed out).
  explicit SessionsHarness(bool signedIn = false, std::shared_ptr<std::string> id = std::make_shared<std::string>())
      : VadarHarness(true, false,
                     [signedIn, id](fake_frontend_api::State& state) {
                       static std::atomic<std::uint64_t> nextBase{1000};
                       state.nextId = nextBase.fetch_add(1000);
                       *id = state.addUser("Ada", "Lovelace", email)["id"].get<std::string>();
                       if (signedIn) state.addSession(*id);
                     }),
        userId_(*id) {}

  ~SessionsHarness() {
    SessionTokenPoller::shared().stop();
    settle();
    vadar().shutdown();
    foundation::Clock::setSource(nullptr);
    // Seams a test may have replaced go back to the live records.
    signInServiceFactory().register_([] { return SignInService::live(); });
    signUpServiceFactory().register_([] { return SignUpService::live(); });
    sessionServiceFactory().register_([] { return SessionService::live(); });
    webAuthenticationFactory().register_([] {
      return std::shared_ptr<WebAuthentication>(
          std::make_shared<HeadlessWebAuthentication>(Vadar::shared()->settingsProvider()));
    });
    passkeyAuthenticatorFactory().register_(
        [] { return std::shared_ptr<PasskeyAuthenticator>(std::make_shared<HeadlessPasskeyAuthenticator>()); });
  }

  // The fake's current session as the library decodes it (the client is fetched once).
  Session currentSession() {
    Client::get();
    settle();
    auto session = vadar().session();
    if (!session) throw std::runtime_error("the fake has no current session");
    return *session;
  }

  const std::string& userId() const { return userId_; }

 private:
  std::string userId_;
};

// The wall clock the library reads, fixed at a whole second, for freshness cases.
inline foundation::Date fixClock(std::int64_t secondsSince1970) {
  const foundation::Date now{std::chrono::seconds(secondsSince1970)};
  foundation::Clock::setSource([now] { return now; });
  return now;
}

}  // namespace vadar::testing
