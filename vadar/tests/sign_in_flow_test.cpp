// Sign-in against the fake frontend API: the exact bodies of every strategy and step, the e-mail and password
// road to a current session and its tokens, second factors, the redirect, transfer, ID-token and passkey roads,
// and the errors that reach the caller.
#include <gtest/gtest.h>

#include <map>

#include <foundation/base64.hpp>
#include <httpkit/errors.hpp>

#include "vadar/sessions/get_token_options.hpp"
#include "vadar/infra/locale_identifier.hpp"
#include "vadar/models/transfer_flow_result.hpp"
#include "vadar/models/vadar_api_error.hpp"
#include "vadar/models/vadar_client_error.hpp"
#include "sessions_harness.hpp"

namespace vadar {
namespace {

using testing::SessionsHarness;
using namespace std::chrono_literals;
using Form = std::map<std::string, std::string>;
using fake_frontend_api::Answer;

Form formOf(const fake_frontend_api::RecordedRequest& request) {
  const auto pairs = request.form();
  return Form(pairs.begin(), pairs.end());
}

SignIn::CreateStrategy emailAndPassword(const std::string& password) {
  return {SignIn::CreateStrategy::Identifier{SessionsHarness::email, password, std::nullopt}};
}

// An answer the library accepts for any sign-in step, so that a test sees only what was sent.
Answer cannedSignIn() {
  return Answer::json(200, {{"response", {{"id", "sia_canned"}, {"status", "needs_first_factor"}}}, {"client", nullptr}});
}

// The form the next request to `path` sends when `step` runs.
template <class Step>
Form sent(SessionsHarness& harness, const std::string& method, const std::string& path, Step step) {
  harness.api().failNext(method, path, cannedSignIn());
  step();
  auto request = harness.api().lastRequest(method, path);
  if (!request) throw std::runtime_error("nothing was sent to " + path);
  return formOf(*request);
}

// A sign-in with factors to look ids up in: e-mail code and phone code for its identifier.
SignIn signInWithFactors() {
  return decodeJSON<SignIn>(R"({"id":"sia_7","status":"needs_first_factor","identifier":"ada@example.test",
    "supported_first_factors":[
      {"strategy":"email_code","email_address_id":"idn_other","safe_identifier":"someone@example.test"},
      {"strategy":"email_code","email_address_id":"idn_ada","safe_identifier":"ada@example.test"},
      {"strategy":"phone_code","phone_number_id":"idn_phone","safe_identifier":"ada@example.test"}],
    "supported_second_factors":[
      {"strategy":"email_code","email_address_id":"idn_second","safe_identifier":"ada@example.test"}]})");
}

TEST(SignInBodies, CreateSendsExactlyTheStrategysParametersAndTheLocale) {
  SessionsHarness harness;
  const std::string path = "/v1/client/sign_ins";
  const std::string device = currentLocaleIdentifier();
  const std::string settingsRedirect = vadarSettingsFactory().resolve().redirectConfig.redirectUrl;
  using S = SignIn::CreateStrategy;
  const auto create = [&](S strategy, std::optional<std::string> locale = std::nullopt) {
    return sent(harness, "POST", path, [&] { SignIn::create(strategy, locale); });
  };

  EXPECT_EQ(create(emailAndPassword("pw")),
            (Form{{"identifier", "ada@example.test"}, {"password", "pw"}, {"locale", device}}));
  EXPECT_EQ(create(S{S::Identifier{"ada", std::nullopt, SignIn::PrepareFirstFactorStrategy::emailCode("x")}}, "fr-FR"),
            (Form{{"identifier", "ada"}, {"strategy", "email_code"}, {"locale", "fr-FR"}}));
  EXPECT_EQ(create(S{S::Identifier{"ada", std::nullopt, SignIn::PrepareFirstFactorStrategy::oauth(OAuthProvider::github)}}),
            (Form{{"identifier", "ada"}, {"strategy", "oauth_github"}, {"locale", device}}));
  EXPECT_EQ(create(S{S::EnterpriseSSO{"ada@corp.test", std::nullopt}}),
            (Form{{"strategy", "enterprise_sso"}, {"identifier", "ada@corp.test"}, {"redirect_url", settingsRedirect},
                  {"locale", device}}));
  EXPECT_EQ(create(S{S::EnterpriseSSO{"ada@corp.test", "app://sso"}})["redirect_url"], "app://sso");
  EXPECT_EQ(create(S{S::IdToken{IDTokenProvider::apple, "id.token"}}),
            (Form{{"strategy", "oauth_token_apple"}, {"token", "id.token"}, {"locale", device}}));
  EXPECT_EQ(create(S{S::OAuth{OAuthProvider::google, std::nullopt}}),
            (Form{{"strategy", "oauth_google"}, {"redirect_url", settingsRedirect}, {"locale", device}}));
  EXPECT_EQ(create(S{S::OAuth{OAuthProvider::custom("oauth_custom_acme"), "app://cb"}}),
            (Form{{"strategy", "oauth_custom_acme"}, {"redirect_url", "app://cb"}, {"locale", device}}));
  EXPECT_EQ(create(S{S::Ticket{"tkt_1"}}), (Form{{"strategy", "ticket"}, {"ticket", "tkt_1"}, {"locale", device}}));
  EXPECT_EQ(create(S{S::Passkey{}}), (Form{{"strategy", "passkey"}, {"locale", device}}));
  EXPECT_EQ(create(S{S::Transfer{}}), (Form{{"transfer", "1"}, {"locale", device}}));
  EXPECT_EQ(create(S{S::None{}}, "de"), (Form{{"locale", "de"}}));

  // The parameters form: the locale is added only where it is missing or null.
  EXPECT_EQ(sent(harness, "POST", path, [] { SignIn::create(nlohmann::json{{"identifier", "ada"}, {"locale", nullptr}}); }),
            (Form{{"identifier", "ada"}, {"locale", device}}));
  EXPECT_EQ(sent(harness, "POST", path, [] { SignIn::create(nlohmann::json{{"identifier", "ada"}, {"locale", "sv"}}); }),
            (Form{{"identifier", "ada"}, {"locale", "sv"}}));

  // The e-mail and password road, byte for byte.
  harness.api().failNext("POST", path, cannedSignIn());
  SignIn::create(emailAndPassword("p@ss word"), "en_GB");
  EXPECT_EQ(harness.api().lastRequest("POST", path)->body,
            "identifier=ada%40example.test&locale=en_GB&password=p%40ss%20word");

  // A password or name that is not UTF-8 would reach the server with U+FFFD in its place: refused, unsent.
  harness.api().clearRequests();
  EXPECT_THROW(SignIn::create(emailAndPassword("pa\xffss"), "en_GB"), httpkit::EncodingError);
  EXPECT_THROW(SignIn::create({SignIn::CreateStrategy::Identifier{"\xc3(", std::nullopt, std::nullopt}}),
               httpkit::EncodingError);
  EXPECT_TRUE(harness.api().requests().empty());
}

TEST(SignInBodies, EveryStepSendsItsStrategyAndTheIdsItFound) {
  SessionsHarness harness;
  const SignIn signIn = signInWithFactors();
  const std::string base = "/v1/client/sign_ins/" + signIn.id;
  const std::string vadarRedirect = harness.vadar().settings().redirectConfig.redirectUrl;
  using P = SignIn::PrepareFirstFactorStrategy;
  const auto prepare = [&](P strategy) {
    return sent(harness, "POST", base + "/prepare_first_factor", [&] { signIn.prepareFirstFactor(strategy); });
  };
  EXPECT_EQ(prepare(P::emailCode()), (Form{{"strategy", "email_code"}, {"email_address_id", "idn_ada"}}));
  EXPECT_EQ(prepare(P::emailCode("idn_own")), (Form{{"strategy", "email_code"}, {"email_address_id", "idn_own"}}));
  EXPECT_EQ(prepare(P::phoneCode()), (Form{{"strategy", "phone_code"}, {"phone_number_id", "idn_phone"}}));
  EXPECT_EQ(prepare(P::resetPasswordEmailCode()), (Form{{"strategy", "reset_password_email_code"}}));
  EXPECT_EQ(prepare(P::resetPasswordPhoneCode("idn_p")),
            (Form{{"strategy", "reset_password_phone_code"}, {"phone_number_id", "idn_p"}}));
  EXPECT_EQ(prepare(P::oauth(OAuthProvider::google)), (Form{{"strategy", "oauth_google"}, {"redirect_url", vadarRedirect}}));
  EXPECT_EQ(prepare(P::enterpriseSSO("app://x")), (Form{{"strategy", "enterprise_sso"}, {"redirect_url", "app://x"}}));
  EXPECT_EQ(prepare(P::passkey()), (Form{{"strategy", "passkey"}}));

  using A = SignIn::AttemptFirstFactorStrategy;
  const auto attempt = [&](A strategy) {
    return sent(harness, "POST", base + "/attempt_first_factor", [&] { signIn.attemptFirstFactor(strategy); });
  };
  EXPECT_EQ(attempt(A{A::Password{"pw"}}), (Form{{"strategy", "password"}, {"password", "pw"}}));
  EXPECT_EQ(attempt(A{A::EmailCode{"111"}}), (Form{{"strategy", "email_code"}, {"code", "111"}}));
  EXPECT_EQ(attempt(A{A::PhoneCode{"222"}}), (Form{{"strategy", "phone_code"}, {"code", "222"}}));
  EXPECT_EQ(attempt(A{A::Passkey{"{\"id\":\"x\"}"}}),
            (Form{{"strategy", "passkey"}, {"public_key_credential", "{\"id\":\"x\"}"}}));
  EXPECT_EQ(attempt(A{A::ResetPasswordEmailCode{"333"}}), (Form{{"strategy", "reset_password_email_code"}, {"code", "333"}}));
  EXPECT_EQ(attempt(A{A::ResetPasswordPhoneCode{"444"}}), (Form{{"strategy", "reset_password_phone_code"}, {"code", "444"}}));

  using PS = SignIn::PrepareSecondFactorStrategy;
  const auto prepareSecond = [&](PS strategy) {
    return sent(harness, "POST", base + "/prepare_second_factor", [&] { signIn.prepareSecondFactor(strategy); });
  };
  EXPECT_EQ(prepareSecond(PS::emailCode()), (Form{{"strategy", "email_code"}, {"email_address_id", "idn_second"}}));
  EXPECT_EQ(prepareSecond(PS::emailCode("idn_x")), (Form{{"strategy", "email_code"}, {"email_address_id", "idn_x"}}));
  EXPECT_EQ(prepareSecond(PS::phoneCode()), (Form{{"strategy", "phone_code"}}));

  using AS = SignIn::AttemptSecondFactorStrategy;
  const auto attemptSecond = [&](AS strategy) {
    return sent(harness, "POST", base + "/attempt_second_factor", [&] { signIn.attemptSecondFactor(strategy); });
  };
  EXPECT_EQ(attemptSecond(AS{AS::PhoneCode{"1"}}), (Form{{"strategy", "phone_code"}, {"code", "1"}}));
  EXPECT_EQ(attemptSecond(AS{AS::EmailCode{"2"}}), (Form{{"strategy", "email_code"}, {"code", "2"}}));
  EXPECT_EQ(attemptSecond(AS{AS::TOTP{"3"}}), (Form{{"strategy", "totp"}, {"code", "3"}}));
  EXPECT_EQ(attemptSecond(AS{AS::BackupCode{"4"}}), (Form{{"strategy", "backup_code"}, {"code", "4"}}));

  const auto reset = [&](SignIn::ResetPasswordParams params) {
    return sent(harness, "POST", base + "/reset_password", [&] { signIn.resetPassword(params); });
  };
  EXPECT_EQ(reset({"new pw", std::nullopt}), (Form{{"password", "new pw"}}));
  EXPECT_EQ(reset({"new pw", true}), (Form{{"password", "new pw"}, {"sign_out_of_other_sessions", "1"}}));

  harness.api().failNext("GET", base, cannedSignIn());
  signIn.get("nonce 1");
  EXPECT_EQ(harness.api().lastRequest("GET", base)->queryValue("rotating_token_nonce"), "nonce 1");
  harness.api().failNext("GET", base, cannedSignIn());
  signIn.get();
  EXPECT_FALSE(harness.api().lastRequest("GET", base)->queryValue("rotating_token_nonce"));
}

TEST(SignInBodies, IdsThatAreNoPathSegmentAreEncodedOrRefused) {
  SessionsHarness harness;
  SignIn signIn = signInWithFactors();
  signIn.id = "a/../b?c";
  EXPECT_THROW(signIn.get(), VadarAPIError);  // unknown to the fake, but asked for under one segment
  EXPECT_EQ(harness.api().requests().back().rawPath, "/__proxy/v1/client/sign_ins/a%2F..%2Fb%3Fc");

  const auto before = harness.api().requests().size();
  for (const std::string id : {"..", ".", ""}) {
    signIn.id = id;
    EXPECT_THROW(signIn.get(), VadarClientError) << id;
    EXPECT_THROW(signIn.attemptFirstFactor({SignIn::AttemptFirstFactorStrategy::Password{"x"}}), VadarClientError);
    EXPECT_THROW(signIn.resetPassword({"x", std::nullopt}), VadarClientError);
  }
  EXPECT_EQ(harness.api().requests().size(), before);
}

TEST(SignInRoads, EmailAndPasswordMakeTheSessionCurrentAndHandOutTokens) {
  SessionsHarness harness;
  const SignIn signIn = SignIn::create(emailAndPassword(fake_frontend_api::password));
  EXPECT_EQ(signIn.status, SignIn::Status::complete);
  ASSERT_TRUE(signIn.createdSessionId);
  SessionsHarness::settle();

  const auto session = harness.vadar().session();
  ASSERT_TRUE(session);
  EXPECT_EQ(session->id, *signIn.createdSessionId);
  ASSERT_TRUE(harness.vadar().user());
  EXPECT_EQ(harness.vadar().user()->id, harness.userId());

  const std::string tokens = "/v1/client/sessions/" + session->id + "/tokens";
  const auto fetched = session->getToken();
  const auto cached = session->getToken();
  ASSERT_TRUE(fetched);
  EXPECT_EQ(cached, fetched);
  EXPECT_EQ(harness.api().requestCount("POST", tokens), 1u);

  harness.vadar().signOut();
  SessionsHarness::settle();
  EXPECT_FALSE(harness.vadar().session());
  EXPECT_FALSE(harness.vadar().user());
}

// An answer the server made before the sign-out, but that comes back after it (a sign-in step slower on the
// way back than the sign-out sent behind it), carries a client older than the one installed: it must not bring
// back the session the server has ended. A client the server changed since is installed as before.
TEST(SignInRoads, AnAnswerOlderThanTheInstalledClientDoesNotUndoASignOut) {
  SessionsHarness harness;
  const SignIn signIn = SignIn::create(emailAndPassword(fake_frontend_api::password));
  ASSERT_EQ(signIn.status, SignIn::Status::complete);
  SessionsHarness::settle();
  ASSERT_TRUE(harness.vadar().session());
  const nlohmann::json beforeSignOut = harness.api().clientJson();

  harness.vadar().signOut();
  SessionsHarness::settle();
  ASSERT_FALSE(harness.vadar().session());

  const std::string path = "/v1/client/sign_ins/" + signIn.id;
  harness.api().failNext("GET", path,
                         Answer::json(200, {{"response", {{"id", signIn.id}, {"status", "complete"}}},
                                            {"client", beforeSignOut}}));
  ASSERT_NO_THROW(signIn.get());
  SessionsHarness::settle();
  EXPECT_FALSE(harness.vadar().session()) << "a stale answer signed the user back in";

  // Signed in again on the server: that newer client is installed.
  ASSERT_EQ(SignIn::create(emailAndPassword(fake_frontend_api::password)).status, SignIn::Status::complete);
  SessionsHarness::settle();
  EXPECT_TRUE(harness.vadar().session());
}

TEST(SignInRoads, ACompletedSignInReturnsWithItsSessionCurrent) {
  SessionsHarness harness;
  // The application's main thread is busy for a moment while the answer comes in.
  testing::MainQueueHold busy(1s);
  ASSERT_TRUE(busy.held());
  const SignIn signIn = SignIn::create(emailAndPassword(fake_frontend_api::password));
  ASSERT_EQ(signIn.status, SignIn::Status::complete);
  const auto session = harness.vadar().session();
  ASSERT_TRUE(session) << "the sign-in returned before its session was installed";
  EXPECT_EQ(session->id, signIn.createdSessionId);
}

// A refused step changes the client too (its sign-in now names the identifier, a verification failed): the
// error reaches the caller only once that client is installed, as a success does, and not some time later.
TEST(SignInRoads, ARefusedStepThrowsOnlyOnceItsClientIsInstalled) {
  SessionsHarness harness;
  ASSERT_FALSE(harness.vadar().client());
  testing::MainQueueHold busy(1s);
  ASSERT_TRUE(busy.held());
  EXPECT_THROW(SignIn::create(emailAndPassword("wrong")), VadarAPIError);
  ASSERT_TRUE(harness.vadar().client()) << "the error came before the client of its answer";
  ASSERT_TRUE(harness.vadar().client()->signIn);
  EXPECT_EQ(harness.vadar().client()->signIn->identifier, SessionsHarness::email);
}

// The application quits while a sign-in waits on a stalled frontend API: the step ends with the shutdown, as
// cancelled, and the answer that comes later installs nothing.
TEST(SignInRoads, ShutdownEndsAStepWaitingOnAStalledServer) {
  SessionsHarness harness;
  harness.api().holdAnswers("POST", "/v1/client/sign_ins");
  auto signingIn = testing_support::launch(
      [] { return outcomeOf([] { SignIn::create(emailAndPassword(fake_frontend_api::password)); }, "signed in"); });
  ASSERT_TRUE(harness.api().waitForHeld(1, 20s));
  harness.vadar().shutdown();
  const bool ended = signingIn.wait_for(5s) == std::future_status::ready;
  harness.api().releaseAnswers();
  ASSERT_TRUE(ended) << "the sign-in went on waiting for the server after shutdown()";
  EXPECT_EQ(signingIn.get(), "cancelled");
  SessionsHarness::settle();
  EXPECT_FALSE(harness.vadar().session());
}

TEST(SignInRoads, AWrongPasswordThrowsTheAPIErrorAfterTheAnswerWasProcessed) {
  SessionsHarness harness;
  try {
    SignIn::create(emailAndPassword("wrong"));
    FAIL() << "no error";
  } catch (const VadarAPIError& error) {
    EXPECT_EQ(error.code, "form_password_incorrect");
    EXPECT_EQ(error.message, "Password is incorrect. Try again, or use another method.");
  }
  SessionsHarness::settle();
  // The device token of the answer was stored and its client installed; nobody is signed in.
  EXPECT_EQ(harness.keychain().string("vadarDeviceToken"), "fake_device_token_1");
  ASSERT_TRUE(harness.vadar().client());
  ASSERT_TRUE(harness.vadar().client()->signIn);
  EXPECT_EQ(harness.vadar().client()->signIn->identifier, SessionsHarness::email);
  EXPECT_FALSE(harness.vadar().session());

  SignIn unknown;
  unknown.id = "sia_unknown";
  EXPECT_EQ(apiErrorCode([&] { unknown.get(); }), "resource_not_found");
}

TEST(SignInRoads, ASecondFactorCodeCompletesTheSignInAndAnExpiredOneDoesNot) {
  SessionsHarness harness;
  harness.api().withState([&](fake_frontend_api::State& state) { state.users[harness.userId()]["two_factor_enabled"] = true; });
  SignIn signIn = SignIn::create(emailAndPassword(fake_frontend_api::password));
  ASSERT_EQ(signIn.status, SignIn::Status::needsSecondFactor);
  signIn = signIn.prepareSecondFactor(SignIn::PrepareSecondFactorStrategy::phoneCode());
  ASSERT_TRUE(signIn.secondFactorVerification);
  EXPECT_EQ(signIn.secondFactorVerification->status, Verification::Status::unverified);

  using AS = SignIn::AttemptSecondFactorStrategy;
  EXPECT_EQ(apiErrorCode([&] { signIn.attemptSecondFactor(AS{AS::PhoneCode{"000000"}}); }), "form_code_incorrect");
  const SignIn done = signIn.attemptSecondFactor(AS{AS::PhoneCode{fake_frontend_api::secondFactorCode}});
  EXPECT_EQ(done.status, SignIn::Status::complete);
  SessionsHarness::settle();
  ASSERT_TRUE(harness.vadar().session());
  EXPECT_EQ(harness.vadar().session()->id, done.createdSessionId);

  // Once the verification's ten minutes are over the right code no longer helps.
  harness.vadar().signOut();
  SignIn late = SignIn::create(emailAndPassword(fake_frontend_api::password));
  late = late.prepareSecondFactor(SignIn::PrepareSecondFactorStrategy::phoneCode());
  harness.api().withState([](fake_frontend_api::State& state) { state.clock += 11 * 60 * 1000; });
  EXPECT_EQ(apiErrorCode([&] { late.attemptSecondFactor(AS{AS::PhoneCode{fake_frontend_api::secondFactorCode}}); }),
            "verification_expired");
  SessionsHarness::settle();
  EXPECT_FALSE(harness.vadar().session());
  EXPECT_EQ(harness.vadar().client()->signIn->secondFactorVerification->status, Verification::Status::expired);
}

std::shared_ptr<ScriptedWebAuthentication> scriptWebAuthentication(std::function<std::string(const std::string&)> callback) {
  auto web = std::make_shared<ScriptedWebAuthentication>(
      std::make_shared<FixedSettingsProvider>(Vadar::shared()->settings()),
      [callback](const WebAuthentication::SessionRequest& request) { return callback(request.url); });
  webAuthenticationFactory().register_([web] { return std::shared_ptr<WebAuthentication>(web); });
  return web;
}

TEST(SignInRoads, ARedirectCallbackWithANonceCompletesTheSignIn) {
  SessionsHarness harness;
  auto web = scriptWebAuthentication([](const std::string&) { return "app://callback?rotating_token_nonce=n0nce"; });
  using R = SignIn::AuthenticateWithRedirectStrategy;
  const TransferFlowResult result =
      SignIn::authenticateWithRedirect(R{R::OAuth{OAuthProvider::google, "app://callback"}}, true);
  ASSERT_TRUE(result.signIn());
  EXPECT_EQ(result.signIn()->status, SignIn::Status::complete);

  ASSERT_EQ(web->requests().size(), 1u);
  EXPECT_EQ(web->requests()[0].url.rfind("https://oauth.example.test/authorize?", 0), 0u);
  EXPECT_TRUE(web->requests()[0].prefersEphemeralWebBrowserSession);
  EXPECT_EQ(web->requests()[0].callbackUrlScheme, harness.vadar().settings().redirectConfig.callbackUrlScheme);
  const auto reload = harness.api().lastRequest("GET", "/v1/client/sign_ins/" + result.signIn()->id);
  ASSERT_TRUE(reload);
  EXPECT_EQ(reload->queryValue("rotating_token_nonce"), "n0nce");
  EXPECT_EQ(harness.api().requestCount("POST", "/v1/client/sign_ups"), 0u);
  SessionsHarness::settle();
  EXPECT_TRUE(harness.vadar().session());
}

TEST(SignInRoads, ARedirectCallbackWithoutANonceTransfersToASignUp) {
  SessionsHarness harness;
  scriptWebAuthentication([](const std::string&) { return "app://callback"; });
  SignIn started = SignIn::create(SignIn::CreateStrategy{SignIn::CreateStrategy::OAuth{OAuthProvider::google, std::nullopt}});
  const TransferFlowResult result = started.authenticateWithRedirect(false);
  ASSERT_TRUE(result.signUp());
  EXPECT_EQ(result.signUp()->status, SignUp::Status::complete);
  EXPECT_EQ(formOf(*harness.api().lastRequest("POST", "/v1/client/sign_ups")),
            (Form{{"transfer", "1"}, {"locale", currentLocaleIdentifier()}}));
  SessionsHarness::settle();
  ASSERT_TRUE(harness.vadar().session());
  EXPECT_EQ(harness.vadar().session()->id, result.signUp()->createdSessionId);
}

TEST(SignInRoads, ARedirectNeedsAnExternalAddress) {
  SessionsHarness harness;
  auto web = scriptWebAuthentication([](const std::string&) { return "app://callback"; });
  const std::string message = "Redirect URL is missing or invalid. Unable to start external authentication flow.";
  SignIn signIn = signInWithFactors();
  for (std::optional<std::string> address : {std::optional<std::string>(), std::optional<std::string>("not a url")}) {
    signIn.firstFactorVerification = Verification{};
    signIn.firstFactorVerification->externalVerificationRedirectUrl = address;
    EXPECT_EQ(errorText<VadarClientError>([&] { signIn.authenticateWithRedirect(); }), message);
  }
  EXPECT_TRUE(web->requests().empty());
}

TEST(SignInRoads, TheTransferStepAsksForASignUpOnlyForATransferableVerification) {
  SessionsHarness harness;
  int created = 0;
  signUpServiceFactory().register_([&created] {
    SignUpService service;
    service.create = [&created](const SignUp::CreateStrategy& strategy, const std::optional<bool>& legal,
                                const std::optional<std::string>& locale) {
      EXPECT_TRUE(std::holds_alternative<SignUp::CreateStrategy::Transfer>(strategy.value));
      EXPECT_FALSE(legal);
      EXPECT_FALSE(locale);
      ++created;
      return SignUp::sample();
    };
    return service;
  });
  using Status = Verification::Status;
  SignIn signIn = signInWithFactors();
  EXPECT_TRUE(signIn.handleTransferFlow().signIn());
  signIn.firstFactorVerification = Verification{};
  signIn.firstFactorVerification->status = Status::verified;
  signIn.secondFactorVerification = Verification{};
  signIn.secondFactorVerification->status = Status::failed;
  EXPECT_TRUE(signIn.handleTransferFlow().signIn());
  EXPECT_EQ(created, 0);
  EXPECT_TRUE(harness.api().requests().empty());

  // A transferable second factor wins even with the first one verified.
  signIn.secondFactorVerification->status = Status::transferable;
  EXPECT_TRUE(signIn.handleTransferFlow().signUp());
  signIn.secondFactorVerification.reset();
  signIn.firstFactorVerification->status = Status::transferable;
  EXPECT_TRUE(signIn.handleTransferFlow().signUp());
  EXPECT_EQ(created, 2);
}

TEST(SignInRoads, AnAppleIdTokenOfANewAccountBecomesASignUp) {
  SessionsHarness harness;
  const TransferFlowResult result = SignIn::authenticateWithIdToken(IDTokenProvider::apple, "apple.id.token");
  ASSERT_TRUE(result.signUp());
  EXPECT_EQ(harness.api().requestCount("POST", "/v1/client/sign_ups"), 1u);
}

TEST(SignUpRoads, AnIdTokenSignUpOfAnExistingAccountIsTransferredBackToASignIn) {
  SessionsHarness harness;
  std::string verificationStatus = "verified";
  signUpServiceFactory().register_([&verificationStatus] {
    SignUpService service;
    service.create = [&verificationStatus](const SignUp::CreateStrategy& strategy, const std::optional<bool>&,
                                           const std::optional<std::string>&) {
      const auto* idToken = std::get_if<SignUp::CreateStrategy::IdToken>(&strategy.value);
      EXPECT_TRUE(idToken && idToken->token == "apple.id.token" && idToken->firstName == "Ada" && !idToken->lastName);
      SignUp signUp = SignUp::sample();
      signUp.otherMembers["verifications"] =
          JSON::object({{"external_account", JSON::object({{"status", JSON(verificationStatus)}})}});
      return signUp;
    };
    return service;
  });
  std::vector<bool> transfers;
  signInServiceFactory().register_([&transfers] {
    SignInService service = SignInService::live();
    service.create = [&transfers](const SignIn::CreateStrategy& strategy, const std::optional<std::string>&) {
      transfers.push_back(std::holds_alternative<SignIn::CreateStrategy::Transfer>(strategy.value));
      return SignIn::sample();
    };
    return service;
  });
  EXPECT_TRUE(SignUp::authenticateWithIdToken(IDTokenProvider::apple, "apple.id.token", "Ada").signUp());
  EXPECT_TRUE(transfers.empty());
  verificationStatus = "transferable";
  EXPECT_TRUE(SignUp::authenticateWithIdToken(IDTokenProvider::apple, "apple.id.token", "Ada").signIn());
  EXPECT_EQ(transfers, std::vector<bool>{true});
}

foundation::Bytes bytes(const std::string& text) { return foundation::toBytes(text); }

TEST(PasskeyCredentials, TheCeremonysAssertionIsSentAndCompletesTheSignIn) {
  SessionsHarness harness;
  auto authenticator = std::make_shared<ScriptedPasskeyAuthenticator>([&](const PasskeyAuthenticator::AssertionRequest&) {
    return PasskeyAuthenticator::AssertionCredential{bytes("cred-1"), bytes("auth-data"), bytes("{\"type\":\"webauthn.get\"}"),
                                                     bytes("sig"), bytes(harness.userId())};
  });
  passkeyAuthenticatorFactory().register_([authenticator] { return std::shared_ptr<PasskeyAuthenticator>(authenticator); });

  const SignIn started = SignIn::create(SignIn::CreateStrategy{SignIn::CreateStrategy::Passkey{}});
  const std::string credential = started.getCredentialForPasskey(false, true);
  const auto requests = authenticator->requests();
  ASSERT_EQ(requests.size(), 1u);
  const auto& request = requests[0];
  EXPECT_EQ(foundation::toString(request.challenge), "challenge:" + started.id);
  EXPECT_EQ(request.relyingPartyIdentifier, SessionsHarness::host);
  EXPECT_FALSE(request.autofill);
  EXPECT_TRUE(request.preferImmediatelyAvailableCredentials);

  const auto b64 = [](const std::string& text) { return foundation::base64UrlEncode(foundation::toBytes(text)); };
  EXPECT_EQ(credential, "{\"id\":\"" + b64("cred-1") + "\",\"rawId\":\"" + b64("cred-1") +
                            "\",\"type\":\"public-key\",\"response\":{\"authenticatorData\":\"" + b64("auth-data") +
                            "\",\"clientDataJSON\":\"" + b64("{\"type\":\"webauthn.get\"}") + "\",\"signature\":\"" +
                            b64("sig") + "\",\"userHandle\":\"" + b64(harness.userId()) + "\"}}");
  EXPECT_EQ(credential.find('='), std::string::npos);

  const SignIn done = started.attemptFirstFactor({SignIn::AttemptFirstFactorStrategy::Passkey{credential}});
  EXPECT_EQ(done.status, SignIn::Status::complete);
  SessionsHarness::settle();
  ASSERT_TRUE(harness.vadar().session());
  EXPECT_EQ(harness.vadar().session()->user->id, harness.userId());
}

TEST(PasskeyCredentials, AMissingChallengeOrAnotherCredentialKindIsRefused) {
  SessionsHarness harness;
  auto kind = std::make_shared<int>(0);
  auto authenticator = std::make_shared<ScriptedPasskeyAuthenticator>(
      [kind](const PasskeyAuthenticator::AssertionRequest&) -> PasskeyAuthenticator::Credential {
        if (*kind == 0) return PasskeyAuthenticator::PasswordCredential{"ada", "pw"};
        return PasskeyAuthenticator::RegistrationCredential{};
      });
  passkeyAuthenticatorFactory().register_([authenticator] { return std::shared_ptr<PasskeyAuthenticator>(authenticator); });
  const auto messageOf = [](const SignIn& signIn) {
    return errorText<VadarClientError>([&] { signIn.getCredentialForPasskey(true, false); });
  };

  SignIn signIn = signInWithFactors();
  const std::string noChallenge = "Unable to get the challenge for the passkey.";
  EXPECT_EQ(messageOf(signIn), noChallenge);  // no verification
  for (const char* nonce : {"", "not json", "[]", "{}", "{\"challenge\":7}", "{\"challenge\":\"a=b\"}"}) {
    signIn.firstFactorVerification = Verification{};
    signIn.firstFactorVerification->nonce = nonce;
    EXPECT_EQ(messageOf(signIn), noChallenge) << nonce;
  }
  EXPECT_TRUE(authenticator->requests().empty());

  signIn.firstFactorVerification->nonce = "{\"challenge\":\"" + foundation::base64UrlEncode(bytes("c")) + "\"}";
  EXPECT_EQ(messageOf(signIn), "Invalid credential type.");
  *kind = 1;
  EXPECT_EQ(messageOf(signIn), "Invalid credential type.");
  ASSERT_EQ(authenticator->requests().size(), 2u);
  EXPECT_TRUE(authenticator->requests()[0].autofill);
  EXPECT_EQ(authenticator->requests()[0].challenge, bytes("c"));
}

TEST(SessionRevocation, RevokeNamesTheCurrentSessionOrSendsTheBareItem) {
  SessionsHarness harness(/*signedIn=*/true);
  const Session current = harness.currentSession();
  const std::string path = "/v1/me/sessions/" + current.id + "/revoke";

  const Session revoked = current.revoke();
  EXPECT_EQ(revoked.id, current.id);
  EXPECT_EQ(revoked.status, Session::SessionStatus::revoked);
  const auto sent = harness.api().lastRequest("POST", path);
  ASSERT_TRUE(sent);
  EXPECT_EQ(sent->queryValue("_vadar_session_id"), current.id);
  EXPECT_EQ(sent->body, "");
  SessionsHarness::settle();
  EXPECT_FALSE(harness.vadar().session());

  // No current session: the item goes as a bare name.
  harness.api().failNext("POST", path, Answer::json(200, {{"response", encodeValue(revoked)}}));
  current.revoke();
  const std::string target = harness.api().lastRequest("POST", path)->target;
  EXPECT_NE(target.find("?_vadar_session_id&"), std::string::npos) << target;

  Session dotted = current;
  dotted.id = "..";
  EXPECT_THROW(dotted.revoke(), VadarClientError);
}

TEST(SessionRevocation, CoreSessionCallsRefuseDotSegments) {
  SessionsHarness harness(true);
  for (const std::string id : {"..", "."}) {
    EXPECT_THROW(harness.vadar().signOut(id), VadarClientError) << id;
    EXPECT_THROW(harness.vadar().setActive(id), VadarClientError) << id;
  }
  EXPECT_TRUE(harness.api().requests().empty());
  // Any other text stays inside its segment.
  EXPECT_THROW(harness.vadar().signOut("a/b"), VadarAPIError);
  EXPECT_EQ(harness.api().requests().back().rawPath, "/__proxy/v1/client/sessions/a%2Fb/remove");
}

}  // namespace
}  // namespace vadar
