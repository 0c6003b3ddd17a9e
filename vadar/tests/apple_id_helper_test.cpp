// The Apple ID helper over a scripted authorizer: the nonce and scopes each request carries, what the caller
// gets, and that a waiting caller is resumed exactly once.
#include <gtest/gtest.h>

#include <future>
#include <set>

#include <foundation/main_queue.hpp>

#include "vadar/sign_in_with_apple_helper.hpp"
#include "vadar/vadar_client_error.hpp"

namespace vadar {
namespace {

using namespace std::chrono_literals;
using Scope = AppleIdAuthorizer::Scope;
using Credential = AppleIdAuthorizer::Credential;

AppleIdAuthorizer::AppleIdCredential appleId(std::string user) {
  AppleIdAuthorizer::AppleIdCredential credential;
  credential.user = std::move(user);
  credential.identityToken = foundation::toBytes("header.claims.signature");
  return credential;
}

class CancelledSheet : public std::runtime_error {
 public:
  CancelledSheet() : std::runtime_error("The user cancelled the sheet.") {}
};

// Registers `authorizer` as the container's for the test's life.
struct UseAuthorizer {
  explicit UseAuthorizer(std::shared_ptr<AppleIdAuthorizer> authorizer) {
    appleIdAuthorizerFactory().register_([authorizer] { return authorizer; });
  }
  ~UseAuthorizer() {
    appleIdAuthorizerFactory().register_([] { return std::make_shared<UnsupportedAppleIdAuthorizer>(); });
  }
};

TEST(SignInWithAppleHelper, EveryRequestCarriesAFreshNonceAndTheScopesAsGiven) {
  auto authorizer = std::make_shared<ScriptedAppleIdAuthorizer>([](const auto&) { return Credential{appleId("001")}; });
  UseAuthorizer use(authorizer);
  EXPECT_EQ(SignInWithAppleHelper::getAppleIdCredential({Scope::email, Scope::fullName}).user, "001");
  SignInWithAppleHelper::getAppleIdCredential({});
  for (int i = 0; i < 50; ++i) SignInWithAppleHelper::getAppleIdCredential({Scope::fullName});

  const auto requests = authorizer->requests();
  ASSERT_EQ(requests.size(), 52u);
  EXPECT_EQ(requests[0].requestedScopes, (std::vector<Scope>{Scope::email, Scope::fullName}));
  EXPECT_TRUE(requests[1].requestedScopes.empty());
  std::set<std::string> nonces;
  for (const auto& request : requests) {
    EXPECT_EQ(request.nonce.size(), 43u);
    EXPECT_EQ(request.nonce.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos)
        << request.nonce;
    nonces.insert(request.nonce);
  }
  EXPECT_EQ(nonces.size(), requests.size());
}

TEST(SignInWithAppleHelper, OnlyAnAppleIdCredentialIsGivenBackAndFailuresPassUnchanged) {
  {
    UseAuthorizer use(std::make_shared<ScriptedAppleIdAuthorizer>(
        [](const auto&) { return Credential{AppleIdAuthorizer::PasswordCredential{"ada", "secret"}}; }));
    try {
      SignInWithAppleHelper::getAppleIdCredential({Scope::email});
      FAIL() << "a password credential passed as an Apple ID";
    } catch (const VadarClientError& error) {
      EXPECT_STREQ(error.what(), "Unable to get your Apple ID credential.");
    }
  }
  {
    UseAuthorizer use(
        std::make_shared<ScriptedAppleIdAuthorizer>([](const auto&) -> Credential { throw CancelledSheet(); }));
    EXPECT_THROW(SignInWithAppleHelper::getAppleIdCredential({Scope::email}), CancelledSheet);
  }
  try {
    SignInWithAppleHelper::getAppleIdCredential({Scope::email});
    FAIL() << "this platform has no Sign in with Apple";
  } catch (const AppleIdAuthorizerError& error) {
    EXPECT_STREQ(error.what(), "Sign in with Apple is not supported on this platform.");
  }
}

TEST(SignInWithAppleHelper, RefusesToBlockTheMainQueue) {
  auto authorizer = std::make_shared<ScriptedAppleIdAuthorizer>([](const auto&) { return Credential{appleId("1")}; });
  std::promise<bool> refused;
  foundation::MainQueue::post([&] {
    try {
      SignInWithAppleHelper(authorizer).start({});
      refused.set_value(false);
    } catch (const VadarClientError&) {
      refused.set_value(true);
    }
  });
  auto result = refused.get_future();
  ASSERT_EQ(result.wait_for(20s), std::future_status::ready);
  EXPECT_TRUE(result.get());
  EXPECT_TRUE(authorizer->requests().empty());
}

// An authorizer that waits until the test lets it finish, and says when it has started.
struct HeldSheet {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::mutex mutex;
  std::condition_variable started;
  int running = 0;

  std::shared_ptr<ScriptedAppleIdAuthorizer> authorizer() {
    return std::make_shared<ScriptedAppleIdAuthorizer>([this](const AppleIdAuthorizer::Request& request) {
      {
        std::lock_guard lock(mutex);
        ++running;
        started.notify_all();
      }
      released.wait_for(20s);  // bounded: a failed test never hangs in the helper's destructor
      return Credential{appleId(request.requestedScopes.empty() ? "no-scopes" : "with-scopes")};
    });
  }
  bool waitForStarted(int count) {
    std::unique_lock lock(mutex);
    return started.wait_for(lock, 20s, [&] { return running >= count; });
  }
};

TEST(SignInWithAppleHelperConcurrency, ResumedOnceByTheFirstCallbackAndNeverLeftWaiting) {
  HeldSheet sheet;
  SignInWithAppleHelper helper(sheet.authorizer());
  auto first = std::async(std::launch::async, [&] { return helper.start({}); });
  ASSERT_TRUE(sheet.waitForStarted(1));
  auto second = std::async(std::launch::async, [&] { return helper.start({Scope::email}); });

  // The first caller is replaced, not left waiting.
  ASSERT_EQ(first.wait_for(20s), std::future_status::ready);
  try {
    first.get();
    FAIL() << "the replaced caller got a credential";
  } catch (const VadarClientError& error) {
    EXPECT_STREQ(error.what(), "The Apple ID request was replaced by a newer one.");
  }
  ASSERT_TRUE(sheet.waitForStarted(2));

  // The delegate's first callback resumes the second caller; everything after it is ignored.
  helper.authorizationControllerDidComplete(Credential{appleId("from-the-callback")});
  helper.authorizationControllerDidCompleteWithError(std::make_exception_ptr(CancelledSheet()));
  sheet.release.set_value();
  ASSERT_EQ(second.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(std::get<AppleIdAuthorizer::AppleIdCredential>(second.get()).user, "from-the-callback");
}

}  // namespace
}  // namespace vadar
