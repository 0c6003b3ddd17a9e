// The passkey helper over a scripted authenticator: what the ceremony is handed, what the caller gets, and
// that a waiting caller is resumed exactly once. The passkey sign-in road is in sign_in_flow_test.
#include <gtest/gtest.h>

#include <future>


#include <httpkit/url_error.hpp>

#include "core/background_tasks.hpp"
#include "testing/bounded_task.hpp"
#include "vadar/attestation/passkey_helper.hpp"
#include "vadar/models/vadar_client_error.hpp"
#include "vadar_harness.hpp"

namespace vadar {
namespace {

using testing::Finishing;
using testing::LogCapture;
using testing::VadarHarness;
using namespace std::chrono_literals;
using Credential = PasskeyAuthenticator::Credential;

PasskeyAuthenticator::AssertionCredential assertionFor(const std::string& userId) {
  return {foundation::toBytes("credential-1"), foundation::toBytes("authenticator-data"),
          foundation::toBytes(R"({"type":"webauthn.get"})"), foundation::toBytes("signature"),
          foundation::toBytes(userId)};
}

class CancelledSheet : public std::runtime_error {
 public:
  CancelledSheet() : std::runtime_error("The user cancelled the sheet.") {}
};

TEST(PasskeyHelper, RelyingPartyIsTheHostWithoutALeadingWww) {
  EXPECT_EQ(PasskeyHelper::relyingParty("https://www.example.com"), "example.com");
  EXPECT_EQ(PasskeyHelper::relyingParty("https://a.www.b.example"), "a.www.b.example");
  EXPECT_EQ(PasskeyHelper::relyingParty("https://www.www.example"), "www.example");
  EXPECT_EQ(PasskeyHelper::relyingParty("https://wwwexample.com"), "wwwexample.com");
  EXPECT_EQ(PasskeyHelper::relyingParty("not an address"), "");
}

TEST(PasskeyHelper, HandsTheCeremonyItsRequestAndLogsTheOutcome) {
  VadarHarness harness;
  harness.vadar().setFrontendApiUrl("https://www.frontend.example.test");
  auto authenticator = std::make_shared<ScriptedPasskeyAuthenticator>(
      [](const auto&) { return assertionFor("user_1"); },
      [](const auto&) -> Credential {
        return PasskeyAuthenticator::RegistrationCredential{foundation::toBytes("new-credential"),
                                                            foundation::toBytes("attestation"),
                                                            foundation::toBytes(R"({"type":"webauthn.create"})")};
      });
  LogCapture log;
  PasskeyHelper helper(authenticator);
  EXPECT_TRUE(std::holds_alternative<PasskeyAuthenticator::AssertionCredential>(
      helper.signIn(foundation::toBytes("challenge"), /*prefer=*/true)));
  const auto requests = authenticator->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].relyingPartyIdentifier, "frontend.example.test");
  EXPECT_EQ(requests[0].challenge, foundation::toBytes("challenge"));
  EXPECT_TRUE(requests[0].preferImmediatelyAvailableCredentials);
  EXPECT_TRUE(log.contains("A passkey was used to sign in: "));

  EXPECT_TRUE(std::holds_alternative<PasskeyAuthenticator::RegistrationCredential>(
      helper.createPasskey(foundation::toBytes("challenge"), "Ada", foundation::toBytes("user_1"))));
  const auto registrations = authenticator->registrationRequests();
  ASSERT_EQ(registrations.size(), 1u);
  EXPECT_EQ(registrations[0].relyingPartyIdentifier, "frontend.example.test");
  EXPECT_EQ(registrations[0].userId, foundation::toBytes("user_1"));
  EXPECT_TRUE(log.contains("A new passkey was registered: "));
}

TEST(PasskeyHelper, FailuresReachTheCallerUnchanged) {
  VadarHarness harness;
  LogCapture log;
  auto cancelled = std::make_shared<ScriptedPasskeyAuthenticator>([](const auto&) -> Credential { throw CancelledSheet(); });
  EXPECT_THROW(PasskeyHelper(cancelled).signIn(foundation::toBytes("c"), false), CancelledSheet);
  EXPECT_FALSE(log.contains("passkey"));

  passkeyAuthenticatorFactory().register_([] { return std::make_shared<HeadlessPasskeyAuthenticator>(); });
  EXPECT_EQ(errorText<PasskeyAuthenticatorError>([&] { PasskeyHelper().signIn(foundation::toBytes("c"), false); }),
            "Passkeys are not supported on this platform.");

  // A credential of no kind the helper knows is an error, not a stop of the process.
  struct Unconvertible {
    operator PasskeyAuthenticator::AssertionCredential() const { throw std::runtime_error("no value"); }
  };
  auto unknown = std::make_shared<ScriptedPasskeyAuthenticator>([](const auto&) {
    Credential credential = PasskeyAuthenticator::PasswordCredential{"ada", "secret"};
    try {
      credential.emplace<PasskeyAuthenticator::AssertionCredential>(Unconvertible{});
    } catch (const std::runtime_error&) {
    }
    return credential;
  });
  EXPECT_EQ(errorText<VadarClientError>([&] { PasskeyHelper(unknown).signIn(foundation::toBytes("c"), false); }),
            "Received unknown authorization type.");
}

// A ceremony that waits until the test lets it finish, and says when it has started.
struct HeldCeremony {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  // Owned by the ceremonies too: a ceremony may outlive the test that started it.
  struct Started {
    std::mutex mutex;
    std::condition_variable changed;
    int running = 0;
  };
  std::shared_ptr<Started> started = std::make_shared<Started>();

  std::shared_ptr<ScriptedPasskeyAuthenticator> authenticator(std::string userId) {
    return std::make_shared<ScriptedPasskeyAuthenticator>([started = started, released = released, userId](const auto&) {
      {
        std::lock_guard lock(started->mutex);
        ++started->running;
      }
      started->changed.notify_all();
      released.wait_for(20s);  // bounded: a failed test never leaves a ceremony behind for long
      return Credential{assertionFor(userId)};
    });
  }
  bool waitForStarted(int count) {
    std::unique_lock lock(started->mutex);
    return started->changed.wait_for(lock, 20s, [&] { return started->running >= count; });
  }
};

// A shared object without side effects: these tests need no keychain and no server.
void useSampleVadar() {
  vadarFactory().register_([vadar = Vadar::sample()] { return vadar; });
}

TEST(PasskeyHelperConcurrency, TheFirstCallbackResumesTheCallerAndLaterOnesAreIgnored) {
  useSampleVadar();
  HeldCeremony ceremony;
  PasskeyHelper helper(ceremony.authenticator("from_the_ceremony"));
  auto caller = testing_support::launch([&] { return helper.signIn(foundation::toBytes("c"), false); });
  ASSERT_TRUE(ceremony.waitForStarted(1));

  helper.authorizationControllerDidCompleteWithError(std::make_exception_ptr(CancelledSheet()));
  helper.authorizationControllerDidComplete(assertionFor("second_callback"));
  ASSERT_EQ(caller.wait_for(20s), std::future_status::ready);
  EXPECT_THROW(caller.get(), CancelledSheet);
  ceremony.release.set_value();  // the ceremony's own late outcome is ignored too
}

TEST(PasskeyHelperConcurrency, ACallerReplacedByANewOperationGetsAnError) {
  useSampleVadar();
  HeldCeremony ceremony;
  PasskeyHelper helper(ceremony.authenticator("user_1"));
  auto first = testing_support::launch([&] { return helper.signIn(foundation::toBytes("one"), false); });
  ASSERT_TRUE(ceremony.waitForStarted(1));
  auto second = testing_support::launch([&] { return helper.signIn(foundation::toBytes("two"), false); });

  ASSERT_EQ(first.wait_for(20s), std::future_status::ready);  // before any ceremony ends
  EXPECT_EQ(errorText<VadarClientError>([&] { first.get(); }), "The passkey request was replaced by a newer one.");
  ASSERT_TRUE(ceremony.waitForStarted(2));
  ceremony.release.set_value();
  ASSERT_EQ(second.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(std::get<PasskeyAuthenticator::AssertionCredential>(second.get()).userHandle,
            foundation::toBytes("user_1"));
}

TEST(PasskeyHelperConcurrency, DestroyingTheHelperNeverWaitsForAnAuthenticatorThatHasNotReturned) {
  useSampleVadar();
  HeldCeremony ceremony;
  auto helper = std::make_shared<PasskeyHelper>(ceremony.authenticator("user_1"));
  Finishing caller([raw = helper.get()] {
    try {
      raw->signIn(foundation::toBytes("c"), false);
    } catch (...) {
    }
  });
  ASSERT_TRUE(ceremony.waitForStarted(1));
  // The sheet is dismissed; its authenticator is still out and never answers in time.
  helper->authorizationControllerDidCompleteWithError(std::make_exception_ptr(CancelledSheet()));
  ASSERT_TRUE(caller.within(20s));

  Finishing destroy([helper = std::move(helper)]() mutable { helper.reset(); });
  // The authenticator answers only after this wait: a destruction that waited for it could not end within it.
  const bool prompt = destroy.within(20s);
  ceremony.release.set_value();
  EXPECT_TRUE(prompt);
}

// A sheet nobody answers holds its caller no longer than the helper's wait, and a stop (the caller's own, or a
// shutdown) ends the wait at once; the ceremony's late outcome is dropped.
TEST(PasskeyHelperConcurrency, ASheetNobodyAnswersHoldsItsCallerOnlyUntilTheWaitOrAStop) {
  VadarHarness harness;
  HeldCeremony ceremony;
  const auto signIn = [](PasskeyHelper& helper, std::stop_token stop = {}) {
    return testing_support::launch([&helper, stop] {
      const core::StopTokenScope scope(stop);
      return helper.signIn(foundation::toBytes("c"), false);
    });
  };
  PasskeyHelper hurried(ceremony.authenticator("user_1"), 300ms);
  auto expired = signIn(hurried);
  ASSERT_EQ(expired.wait_for(10s), std::future_status::ready) << "the caller waited past the sheet's wait";
  EXPECT_EQ(errorText<VadarClientError>([&] { expired.get(); }), "The passkey request was not answered in time.");

  const auto cancelled = [](auto& caller) {
    try {
      caller.get();
      ADD_FAILURE() << "a stopped caller got a credential";
    } catch (const httpkit::URLError& error) {
      EXPECT_EQ(error.code(), httpkit::URLError::Code::cancelled);
    }
  };
  std::stop_source stop;
  PasskeyHelper stoppable(ceremony.authenticator("user_1"));
  auto stopped = signIn(stoppable, stop.get_token());
  ASSERT_TRUE(ceremony.waitForStarted(2));
  stop.request_stop();
  ASSERT_EQ(stopped.wait_for(10s), std::future_status::ready) << "a stop did not end the wait";
  cancelled(stopped);
  // A caller stopped before it starts shows no sheet at all.
  auto late = signIn(stoppable, stop.get_token());
  ASSERT_EQ(late.wait_for(10s), std::future_status::ready);
  cancelled(late);

  PasskeyHelper open(ceremony.authenticator("user_1"));
  auto shutDown = signIn(open);
  ASSERT_TRUE(ceremony.waitForStarted(3));
  harness.vadar().shutdown();
  ASSERT_EQ(shutDown.wait_for(10s), std::future_status::ready) << "a shutdown did not end the wait";
  cancelled(shutDown);
  ceremony.release.set_value();
  std::lock_guard lock(ceremony.started->mutex);
  EXPECT_EQ(ceremony.started->running, 3) << "a stopped caller's sheet was shown";
}

}  // namespace
}  // namespace vadar
