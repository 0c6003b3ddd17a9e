// The Vadar service's requests and keychain caches, external accounts, and the provider look-ups that read
// the shared object's environment.
#include <gtest/gtest.h>

#include "vadar/models/id_token_provider.hpp"
#include "vadar/models/oauth_provider.hpp"
#include "vadar/core/vadar_service.hpp"
#include "vadar_harness.hpp"

namespace vadar {
namespace {

using fake_frontend_api::Pairs;
using testing::VadarHarness;

std::string currentSessionId(VadarHarness& harness) {
  return harness.api().clientJson()["last_active_session_id"].get<std::string>();
}

TEST(VadarServiceRequests, SignOutRemovesOneSessionOrAllOfThem) {
  VadarHarness harness;
  const std::string sessionId = currentSessionId(harness);
  harness.vadar().signOut(sessionId);
  auto removal = harness.api().lastRequest("POST", "/v1/client/sessions/" + sessionId + "/remove");
  ASSERT_TRUE(removal);
  EXPECT_TRUE(removal->body.empty());

  harness.vadar().signOut();
  auto all = harness.api().lastRequest("DELETE", "/v1/client/sessions");
  ASSERT_TRUE(all);
  EXPECT_TRUE(all->body.empty());
  VadarHarness::settle();
  EXPECT_TRUE(harness.vadar().client()->sessions.empty());
  EXPECT_FALSE(harness.vadar().session());
}

TEST(VadarServiceRequests, SetActiveAlwaysSendsTheOrganizationMember) {
  VadarHarness harness;
  const std::string sessionId = currentSessionId(harness);
  const std::string path = "/v1/client/sessions/" + sessionId + "/touch";
  harness.vadar().setActive(sessionId);
  EXPECT_EQ(harness.api().lastRequest("POST", path)->body, "active_organization_id=");
  harness.vadar().setActive(sessionId, "org_7");
  EXPECT_EQ(harness.api().lastRequest("POST", path)->body, "active_organization_id=org_7");
}

TEST(VadarServiceCaches, MissingCachesAreAbsentAndUndecodableOnesFail) {
  VadarHarness harness;
  const VadarService service = VadarService::live();
  EXPECT_EQ(service.loadClientFromKeychain(), std::nullopt);
  EXPECT_EQ(service.loadEnvironmentFromKeychain(), std::nullopt);

  service.saveClientToKeychain(Client::sample());
  service.saveEnvironmentToKeychain(VadarEnvironment::sample());
  EXPECT_EQ(service.loadClientFromKeychain(), Client::sample());
  EXPECT_EQ(service.loadEnvironmentFromKeychain(), VadarEnvironment::sample());

  harness.keychain().setData(foundation::toBytes("[]"), "cachedEnvironment");
  EXPECT_THROW(service.loadEnvironmentFromKeychain(), DecodingError);
  EXPECT_TRUE(harness.keychain().hasItem("cachedEnvironment"));  // the item stays as it is
}

TEST(ExternalAccounts, OAuthAndIdTokenFormsSendTheirBodiesForTheCurrentSession) {
  VadarHarness harness;
  harness.vadar().load();
  VadarHarness::settle();
  const User user = *harness.vadar().user();
  const std::string sessionId = harness.vadar().session()->id;

  JSON account = user.createExternalAccount(OAuthProvider::google, std::nullopt, std::vector<std::string>{"drive"});
  EXPECT_EQ(account["verification"]["status"].stringValue(), "unverified");
  auto oauth = harness.api().lastRequest("POST", "/v1/me/external_accounts");
  ASSERT_TRUE(oauth);
  EXPECT_EQ(oauth->query, (Pairs{{"_vadar_session_id", sessionId}, {"_is_native", "true"}}));
  EXPECT_EQ(oauth->formValue("strategy"), "oauth_google");
  EXPECT_EQ(oauth->formValue("redirect_url"), harness.vadar().settings().redirectConfig.redirectUrl);
  EXPECT_EQ(oauth->formValue("additional_scope[]"), "drive");

  user.createExternalAccount(OAuthProvider::github, std::string("app://done"));
  EXPECT_EQ(harness.api().lastRequest("POST", "/v1/me/external_accounts")->formValue("redirect_url"), "app://done");

  account = user.createExternalAccount(IDTokenProvider::apple, "id-token-1");
  EXPECT_EQ(account["verification"]["status"].stringValue(), "verified");
  auto idToken = harness.api().lastRequest("POST", "/v1/me/external_accounts");
  EXPECT_EQ(idToken->form(), (Pairs{{"strategy", "oauth_token_apple"}, {"token", "id-token-1"}}));
  VadarHarness::settle();
  EXPECT_EQ(harness.vadar().user()->otherMembers.at("external_accounts").size(), 3u);
}

TEST(ExternalAccounts, ProviderNamesAndLogosComeFromTheSharedEnvironment) {
  VadarHarness harness;
  EXPECT_EQ(OAuthProvider::custom("oauth_custom_tolvaran").name(), "");
  harness.vadar().load();
  EXPECT_EQ(OAuthProvider::custom("oauth_custom_tolvaran").name(), "Tolvaran SSO");
  EXPECT_EQ(OAuthProvider::google.iconImageUrl(true), "https://img.example.test/google-dark.png");
  EXPECT_EQ(OAuthProvider::github.iconImageUrl(false), std::nullopt);
}

}  // namespace
}  // namespace vadar
