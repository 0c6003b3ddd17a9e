// The passkey helper over a scripted authenticator: what the ceremony is handed, what the caller gets, and
// that a waiting caller is resumed exactly once; then the passkey sign-in road end to end.
#include <gtest/gtest.h>

#include <future>

#include <fake_frontend_api/sessions.hpp>
#include <foundation/base64.hpp>
#include <foundation/crypto.hpp>

#include "vadar/passkey_helper.hpp"
#include "vadar/sign_in.hpp"
#include "vadar/vadar_client_error.hpp"
#include "vadar_harness.hpp"

namespace vadar {
namespace {

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
  EXPECT_EQ(PasskeyHelper::relyingParty("https://auth.example.com:8443/path"), "auth.example.com");
  EXPECT_EQ(PasskeyHelper::relyingParty("https://a.www.b.example"), "a.www.b.example");
  EXPECT_EQ(PasskeyHelper::relyingParty("https://www.www.example"), "www.example");
  EXPECT_EQ(PasskeyHelper::relyingParty("https://wwwexample.com"), "wwwexample.com");
  EXPECT_EQ(PasskeyHelper::relyingParty("not an address"), "");
  EXPECT_EQ(PasskeyHelper::relyingParty(""), "");
}

TEST(PasskeyHelper, HandsTheCeremonyItsRequestAndGivesBackTheCredential) {
  VadarHarness harness;
  harness.vadar().setFrontendApiUrl("https://www.frontend.example.test");
  auto authenticator = std::make_shared<ScriptedPasskeyAuthenticator>([](const auto&) { return assertionFor("user_1"); });
  LogCapture log;

  PasskeyHelper helper(authenticator);
  const Credential credential = helper.signIn(foundation::toBytes("challenge"), /*prefer=*/true);
  ASSERT_TRUE(std::holds_alternative<PasskeyAuthenticator::AssertionCredential>(credential));
  const auto requests = authenticator->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].relyingPartyIdentifier, "frontend.example.test");
  EXPECT_EQ(requests[0].challenge, foundation::toBytes("challenge"));
  EXPECT_TRUE(requests[0].preferImmediatelyAvailableCredentials);
  EXPECT_FALSE(requests[0].autofill);
  EXPECT_TRUE(log.contains("A passkey was used to sign in: "));
}

TEST(PasskeyHelper, RegistrationGivesTheCeremonyTheUserAndLogsTheNewPasskey) {
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
  const Credential credential =
      PasskeyHelper(authenticator).createPasskey(foundation::toBytes("challenge"), "Ada", foundation::toBytes("user_1"));
  EXPECT_TRUE(std::holds_alternative<PasskeyAuthenticator::RegistrationCredential>(credential));
  const auto requests = authenticator->registrationRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].relyingPartyIdentifier, "frontend.example.test");
  EXPECT_EQ(requests[0].name, "Ada");
  EXPECT_EQ(requests[0].userId, foundation::toBytes("user_1"));
  EXPECT_TRUE(log.contains("A new passkey was registered: "));
}

TEST(PasskeyHelper, FailuresReachTheCallerUnchanged) {
  VadarHarness harness;
  LogCapture log;
  auto cancelled = std::make_shared<ScriptedPasskeyAuthenticator>([](const auto&) -> Credential { throw CancelledSheet(); });
  EXPECT_THROW(PasskeyHelper(cancelled).signIn(foundation::toBytes("c"), false), CancelledSheet);
  EXPECT_FALSE(log.contains("passkey"));

  passkeyAuthenticatorFactory().register_([] { return std::make_shared<HeadlessPasskeyAuthenticator>(); });
  try {
    PasskeyHelper().signIn(foundation::toBytes("c"), false);
    FAIL() << "this platform has no passkeys";
  } catch (const PasskeyAuthenticatorError& error) {
    EXPECT_STREQ(error.what(), "Passkeys are not supported on this platform.");
  }

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
  try {
    PasskeyHelper(unknown).signIn(foundation::toBytes("c"), false);
    FAIL() << "an unknown credential kind passed";
  } catch (const VadarClientError& error) {
    EXPECT_STREQ(error.what(), "Received unknown authorization type.");
  }
}

// A ceremony that waits until the test lets it finish, and says when it has started.
struct HeldCeremony {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::mutex mutex;
  std::condition_variable started;
  int running = 0;

  std::shared_ptr<ScriptedPasskeyAuthenticator> authenticator(std::string userId) {
    return std::make_shared<ScriptedPasskeyAuthenticator>([this, userId](const auto&) {
      {
        std::lock_guard lock(mutex);
        ++running;
        started.notify_all();
      }
      released.wait_for(20s);  // bounded: a failed test never hangs in the helper's destructor
      return Credential{assertionFor(userId)};
    });
  }
  bool waitForStarted(int count) {
    std::unique_lock lock(mutex);
    return started.wait_for(lock, 20s, [&] { return running >= count; });
  }
};

std::string userOf(const Credential& credential) {
  return foundation::toString(std::get<PasskeyAuthenticator::AssertionCredential>(credential).userHandle);
}

// A shared object without side effects: these tests need no keychain and no server.
void useSampleVadar() {
  vadarFactory().register_([vadar = Vadar::sample()] { return vadar; });
}

TEST(PasskeyHelperConcurrency, TheFirstCallbackResumesTheCallerAndLaterOnesAreIgnored) {
  useSampleVadar();
  HeldCeremony ceremony;
  PasskeyHelper helper(ceremony.authenticator("from_the_ceremony"));
  auto caller = std::async(std::launch::async, [&] { return helper.signIn(foundation::toBytes("c"), false); });
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
  auto first = std::async(std::launch::async, [&] { return helper.signIn(foundation::toBytes("one"), false); });
  ASSERT_TRUE(ceremony.waitForStarted(1));
  auto second = std::async(std::launch::async, [&] { return helper.signIn(foundation::toBytes("two"), false); });

  ASSERT_EQ(first.wait_for(20s), std::future_status::ready);  // before any ceremony ends
  try {
    first.get();
    FAIL() << "the replaced caller got a credential";
  } catch (const VadarClientError& error) {
    EXPECT_STREQ(error.what(), "The passkey request was replaced by a newer one.");
  }
  ASSERT_TRUE(ceremony.waitForStarted(2));
  ceremony.release.set_value();
  ASSERT_EQ(second.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(userOf(second.get()), "user_1");
}

TEST(PasskeySignIn, ThePasskeyRoadSignsInEndToEnd) {
  VadarHarness harness;
  harness.vadar().load();
  // A device that holds a passkey of the fake's first user, answering in WebAuthn's shape.
  std::string userId;
  harness.api().withState([&](fake_frontend_api::State& state) { userId = state.users.begin()->first; });
  harness.api().withState([&](fake_frontend_api::State& state) {
    state.client["sessions"] = nlohmann::json::array();
    state.client["last_active_session_id"] = nullptr;
  });
  auto authenticator = std::make_shared<ScriptedPasskeyAuthenticator>([userId](const auto& request) {
    const auto rpHash = foundation::sha256(request.relyingPartyIdentifier);
    foundation::Bytes authenticatorData(37, 0);  // relying party hash, flags, signature count
    std::copy(rpHash.begin(), rpHash.end(), authenticatorData.begin());
    authenticatorData[32] = 0x05;  // user present and verified
    authenticatorData[36] = 1;
    const nlohmann::json clientData = {{"type", "webauthn.get"},
                                       {"challenge", foundation::base64UrlEncode(request.challenge)},
                                       {"origin", "https://" + request.relyingPartyIdentifier}};
    return Credential{PasskeyAuthenticator::AssertionCredential{
        foundation::toBytes("credential-1"), authenticatorData, foundation::toBytes(clientData.dump()),
        foundation::toBytes("signature"), foundation::toBytes(userId)}};
  });
  passkeyAuthenticatorFactory().register_([authenticator] { return authenticator; });

  const SignIn signIn = SignIn::create(SignIn::CreateStrategy{SignIn::CreateStrategy::Passkey{}});
  const std::string credential = signIn.getCredentialForPasskey(false, true);
  const SignIn done = signIn.attemptFirstFactor(
      SignIn::AttemptFirstFactorStrategy{SignIn::AttemptFirstFactorStrategy::Passkey{credential}});
  EXPECT_EQ(done.status, SignIn::Status::complete);

  const auto requests = authenticator->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].relyingPartyIdentifier, VadarHarness::host);
  EXPECT_EQ(foundation::toString(requests[0].challenge), "challenge:" + signIn.id);
  EXPECT_TRUE(requests[0].preferImmediatelyAvailableCredentials);
  const auto json = nlohmann::json::parse(credential);
  EXPECT_EQ(json["type"], "public-key");
  EXPECT_EQ(json["response"]["userHandle"], foundation::base64UrlEncode(foundation::toBytes(userId)));
  VadarHarness::settle();
  ASSERT_TRUE(harness.vadar().session());
  EXPECT_EQ(harness.vadar().session()->user->id, userId);
  passkeyAuthenticatorFactory().register_([] { return std::make_shared<HeadlessPasskeyAuthenticator>(); });
}

}  // namespace
}  // namespace vadar
