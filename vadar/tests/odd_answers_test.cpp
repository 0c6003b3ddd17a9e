// Odd but legal answers of the frontend API to the client and environment fetches of a load, and to sign-in
// steps: each gives the caller a typed error or the answer as it stands, and leaves the installed state whole.
#include <gtest/gtest.h>

#include <httpkit/errors.hpp>

#include "vadar/models/transfer_flow_result.hpp"
#include "vadar/models/vadar_api_error.hpp"
#include "vadar/models/vadar_client_error.hpp"
#include "sessions_harness.hpp"

namespace vadar {
namespace {

using testing::VadarHarness;
using fake_frontend_api::Answer;
using namespace std::chrono_literals;

TEST(OddClientAnswers, ACutShortEmptyOrHtmlAnswerFailsTheLoadAndKeepsTheInstalledClient) {
  VadarHarness harness;
  harness.vadar().load();
  VadarHarness::settle();
  const auto before = harness.vadar().client();
  ASSERT_TRUE(before);
  for (const Answer& answer : {Answer::raw(200, R"({"response":{"id":"cli_x","sessions":[)", "application/json"),
                               Answer::raw(200, "", "application/json"),
                               Answer::raw(503, "<html><body>Down</body></html>", "text/html"),
                               Answer::raw(200, "<html>ok</html>", "text/html"),
                               Answer::json(200, {{"response", {{"id", 5}}}})}) {
    harness.api().failNext("GET", "/v1/client", answer);
    auto loading = testing_support::launch([&] { harness.vadar().load(); });
    ASSERT_EQ(loading.wait_for(20s), std::future_status::ready);
    EXPECT_ANY_THROW(loading.get()) << answer.body;
    VadarHarness::settle();
    ASSERT_TRUE(harness.vadar().client());
    EXPECT_EQ(*harness.vadar().client(), *before);
  }
}

TEST(OddEnvironmentAnswers, WrongTypesFailTheLoadUnknownMembersAndLongListsDoNot) {
  VadarHarness harness(true, true);
  const auto fresh = [&] { return harness.vadar().isLoaded(); };
  harness.api().failNext("GET", "/v1/environment", Answer::json(200, {{"auth_config", "yes"}}));
  EXPECT_ANY_THROW(harness.vadar().load());
  EXPECT_FALSE(fresh());
  EXPECT_TRUE(harness.vadar().environment().isEmpty());

  nlohmann::json many = nlohmann::json::array();
  for (int i = 0; i < 20000; ++i) many.push_back(i);
  harness.api().failNext("GET", "/v1/environment",
                         Answer::json(200, {{"auth_config", {{"single_session_mode", true}, {"extra", many}}},
                                            {"novel", many}}));
  harness.vadar().load();
  VadarHarness::settle();
  EXPECT_TRUE(fresh());
  ASSERT_TRUE(harness.vadar().environment().authConfig);
  EXPECT_TRUE(harness.vadar().environment().authConfig->singleSessionMode);
}

// A user without names and with ten thousand addresses, beside a session in a status this library does not know:
// installed and cached as they stand. A user without its address list cannot be read: the fetch fails with a
// typed error and the installed client stays.
TEST(OddUserAnswers, ManyAddressesMissingNamesAndUnknownStatusesInstallAsTheyStand) {
  VadarHarness harness;
  harness.vadar().load();
  VadarHarness::settle();
  nlohmann::json client = harness.api().clientJson();
  ASSERT_TRUE(client["sessions"][0]["user"].is_object());
  nlohmann::json& user = client["sessions"][0]["user"];
  user.erase("first_name");
  user.erase("last_name");
  nlohmann::json addresses = nlohmann::json::array();
  for (int i = 0; i < 10000; ++i)
    addresses.push_back({{"id", "idn_" + std::to_string(i)},
                         {"email_address", "member" + std::to_string(i) + "@example.test"},
                         {"verification", {{"status", "in_some_new_state"}}}});
  user["email_addresses"] = addresses;
  nlohmann::json frozen = client["sessions"][0];
  frozen["id"] = "sess_in_a_new_status";
  frozen["status"] = "frozen";
  client["sessions"].push_back(frozen);
  client["updated_at"] = client["updated_at"].get<std::int64_t>() + 1;
  harness.api().failNext("GET", "/v1/client", Answer::json(200, {{"response", client}}));
  Client::get();
  VadarHarness::settle();

  const auto installed = harness.vadar().client();
  ASSERT_TRUE(installed);
  ASSERT_TRUE(harness.vadar().user());
  EXPECT_FALSE(harness.vadar().user()->firstName);
  EXPECT_EQ(harness.vadar().user()->emailAddresses.size(), 10000u);
  EXPECT_EQ(installed->sessions.back().status, Session::SessionStatus::unknown);
  EXPECT_EQ(decodeJSON<Client>(foundation::toString(harness.keychain().data("cachedClient"))), *installed);

  client["sessions"][0]["user"].erase("email_addresses");
  client["updated_at"] = client["updated_at"].get<std::int64_t>() + 1;
  harness.api().failNext("GET", "/v1/client", Answer::json(200, {{"response", client}}));
  EXPECT_THROW(Client::get(), DecodingError);
  VadarHarness::settle();
  EXPECT_EQ(harness.vadar().client(), installed);
}

TEST(OddSignInAnswers, ContradictoryAnswersReachTheCallerAsTheyStand) {
  testing::SessionsHarness harness;
  const std::string path = "/v1/client/sign_ins";
  harness.api().failNext("POST", path,
                         Answer::json(200, {{"response", {{"id", "sia_1"}, {"status", "complete"}}}, {"client", nullptr}}));
  const SignIn signIn = SignIn::create(SignIn::CreateStrategy{SignIn::CreateStrategy::None{}});
  EXPECT_EQ(signIn.status, SignIn::Status::complete);
  testing::SessionsHarness::settle();
  EXPECT_FALSE(harness.vadar().session());

  harness.api().failNext("POST", path,
                         Answer::json(200, {{"response", {{"id", "sia_2"}, {"status", "needs_first_factor"},
                                                          {"supported_first_factors", nullptr},
                                                          {"first_factor_verification", nullptr}}}}));
  const SignIn second = SignIn::create(SignIn::CreateStrategy{SignIn::CreateStrategy::None{}});
  EXPECT_FALSE(second.supportedFirstFactors);
  EXPECT_TRUE(second.handleTransferFlow().signIn());
  harness.api().failNext("POST", path, Answer::json(200, {{"response", {{"id", "sia_3"}, {"status", 3}}}}));
  EXPECT_ANY_THROW(SignIn::create(SignIn::CreateStrategy{SignIn::CreateStrategy::None{}}));
  harness.api().failNext("POST", path, Answer::json(200, {{"response", {{"id", "sia_3"}, {"status", "weird"}}}}));
  EXPECT_EQ(SignIn::create(SignIn::CreateStrategy{SignIn::CreateStrategy::None{}}).status, SignIn::Status::unknown);
}

}  // namespace
}  // namespace vadar
