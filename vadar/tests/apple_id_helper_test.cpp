// The Apple ID helper over a scripted authorizer: the nonce each request carries, what the caller gets, and
// that a waiting caller is resumed exactly once.
#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <set>

#include "testing/bounded_task.hpp"
#include "vadar/attestation/sign_in_with_apple_helper.hpp"
#include "expect_error.hpp"
#include "vadar/models/vadar_client_error.hpp"

namespace vadar {
namespace {

using namespace std::chrono_literals;
using Scope = AppleIdAuthorizer::Scope;
using Credential = AppleIdAuthorizer::Credential;

AppleIdAuthorizer::AppleIdCredential appleId(std::string user) {
  AppleIdAuthorizer::AppleIdCredential credential;
  credential.user = std::move(user);
  return credential;
}

struct CancelledSheet : std::runtime_error {
  CancelledSheet() : std::runtime_error("The user cancelled the sheet.") {}
};

void useAuthorizer(std::shared_ptr<AppleIdAuthorizer> authorizer) {
  appleIdAuthorizerFactory().register_([authorizer] { return authorizer; });
}

TEST(SignInWithAppleHelper, EveryRequestCarriesAFreshNonceAndOnlyAnAppleIdCredentialIsGivenBack) {
  auto authorizer = std::make_shared<ScriptedAppleIdAuthorizer>([](const auto&) { return Credential{appleId("001")}; });
  useAuthorizer(authorizer);
  EXPECT_EQ(SignInWithAppleHelper::getAppleIdCredential({Scope::email, Scope::fullName}).user, "001");
  for (int i = 0; i < 20; ++i) SignInWithAppleHelper::getAppleIdCredential({});
  const auto requests = authorizer->requests();
  EXPECT_EQ(requests[0].requestedScopes, (std::vector<Scope>{Scope::email, Scope::fullName}));
  std::set<std::string> nonces;
  for (const auto& request : requests) {
    EXPECT_EQ(request.nonce.size(), 43u);
    EXPECT_EQ(request.nonce.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos)
        << request.nonce;
    nonces.insert(request.nonce);
  }
  EXPECT_EQ(nonces.size(), requests.size());

  useAuthorizer(std::make_shared<ScriptedAppleIdAuthorizer>(
      [](const auto&) { return Credential{AppleIdAuthorizer::PasswordCredential{"ada", "secret"}}; }));
  EXPECT_EQ(errorText<VadarClientError>([&] { SignInWithAppleHelper::getAppleIdCredential({Scope::email}); }),
            "Unable to get your Apple ID credential.");
  useAuthorizer(std::make_shared<ScriptedAppleIdAuthorizer>([](const auto&) -> Credential { throw CancelledSheet(); }));
  EXPECT_THROW(SignInWithAppleHelper::getAppleIdCredential({Scope::email}), CancelledSheet);
  useAuthorizer(std::make_shared<UnsupportedAppleIdAuthorizer>());
  EXPECT_EQ(errorText<AppleIdAuthorizerError>([&] { SignInWithAppleHelper::getAppleIdCredential({Scope::email}); }),
            "Sign in with Apple is not supported on this platform.");
}

TEST(SignInWithAppleHelperConcurrency, ResumedOnceByTheFirstCallbackAndNeverLeftWaiting) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  // Owned by the ceremonies too: a ceremony that has not returned may outlive the helper and the test.
  struct Started {
    std::mutex mutex;
    std::condition_variable changed;
    int count = 0;
  };
  auto started = std::make_shared<Started>();
  const auto waitForStarted = [started](int count) {
    std::unique_lock lock(started->mutex);
    return started->changed.wait_for(lock, 20s, [&] { return started->count >= count; });
  };
  SignInWithAppleHelper helper(std::make_shared<ScriptedAppleIdAuthorizer>([started, released](const auto&) {
    {
      std::lock_guard lock(started->mutex);
      ++started->count;
    }
    started->changed.notify_all();
    released.wait_for(20s);  // bounded: a failed test never leaves a ceremony behind for long
    return Credential{appleId("from-the-sheet")};
  }));
  auto first = testing_support::launch([&] { return helper.start({}); });
  ASSERT_TRUE(waitForStarted(1));
  auto second = testing_support::launch([&] { return helper.start({Scope::email}); });

  // The first caller is replaced, not left waiting.
  ASSERT_EQ(first.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(errorText<VadarClientError>([&] { first.get(); }), "The Apple ID request was replaced by a newer one.");
  ASSERT_TRUE(waitForStarted(2));

  // The delegate's first callback resumes the second caller; everything after it is ignored.
  helper.authorizationControllerDidComplete(Credential{appleId("from-the-callback")});
  helper.authorizationControllerDidCompleteWithError(std::make_exception_ptr(CancelledSheet()));
  release.set_value();
  ASSERT_EQ(second.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(std::get<AppleIdAuthorizer::AppleIdCredential>(second.get()).user, "from-the-callback");
}

// A sheet nobody answers holds its caller no longer than the helper's wait.
TEST(SignInWithAppleHelperConcurrency, ASheetNobodyAnswersHoldsItsCallerOnlyUntilTheWait) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  SignInWithAppleHelper helper(std::make_shared<ScriptedAppleIdAuthorizer>([released](const auto&) {
                                 released.wait_for(20s);  // bounded, as above
                                 return Credential{appleId("from-the-sheet")};
                               }),
                               300ms);
  auto caller = testing_support::launch([&] { return helper.start({}); });
  ASSERT_EQ(caller.wait_for(10s), std::future_status::ready) << "the caller waited past the sheet's wait";
  release.set_value();
  EXPECT_EQ(errorText<VadarClientError>([&] { caller.get(); }), "The Apple ID request was not answered in time.");
}

}  // namespace
}  // namespace vadar
