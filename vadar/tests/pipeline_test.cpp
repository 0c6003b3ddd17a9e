// What crosses the wire through the library's HTTP client, and what each answer does to the library, against
// the fake frontend API on loopback behind a proxy path.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <future>
#include <random>

#include <httpkit/url_error.hpp>
#include <testing/loopback_server.hpp>

#include "testing/bounded_task.hpp"
#include "core/response_processors.hpp"
#include "vadar/core/assertion_manager.hpp"
#include "vadar/core/vadar_api_client_delegate.hpp"
#include "vadar/models/vadar_api_error.hpp"
#include "vadar_harness.hpp"

namespace vadar {
namespace {

using fake_frontend_api::Answer;
using fake_frontend_api::Pairs;
using testing::LogCapture;
using testing::VadarHarness;
using namespace std::chrono_literals;

httpkit::RawResponse send(httpkit::AnyRequest request) { return apiClientFactory().resolve()->data(request); }

// A route that answers whatever the test queues with failNext, 200 {} otherwise.
void addEcho(fake_frontend_api::FakeFrontendAPI& api) {
  api.route("POST", "/v1/echo", [](const auto&, const auto&, auto&) { return Answer::json(200, nlohmann::json::object()); });
}

nlohmann::json errorsBody(std::vector<std::pair<std::string, std::string>> codesAndTraces,
                          std::optional<std::string> traceId) {
  nlohmann::json errors = nlohmann::json::array();
  for (const auto& [code, trace] : codesAndTraces) errors.push_back({{"code", code}, {"vadar_trace_id", trace}});
  nlohmann::json body = {{"errors", errors}};
  if (traceId) body["vadar_trace_id"] = *traceId;
  return body;
}

TEST(RequestPipeline, ClientFetchCarriesTheSessionHeadersTheProxyPathAndLaterTheDeviceToken) {
  VadarHarness harness;
  harness.vadar().configure(VadarHarness::publishableKey(), harness.settings(/*debugMode=*/true));
  Client::get();
  auto first = harness.api().lastRequest("GET", "/v1/client");
  ASSERT_TRUE(first);
  EXPECT_EQ(first->rawPath, "/__proxy/v1/client");
  EXPECT_EQ(first->query, (Pairs{{"_is_native", "true"}}));
  EXPECT_EQ(first->header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(first->header("vadar-api-version"), "2025-11-10");
  EXPECT_EQ(first->header("x-ios-sdk-version"), "0.71.4");
  EXPECT_EQ(first->header("x-mobile"), "1");
  EXPECT_EQ(first->header("x-native-device-id"), "uidevice-unsupported");
  EXPECT_FALSE(first->header("Authorization"));  // no device token yet
  EXPECT_FALSE(first->header("x-vadar-client-id"));  // debug mode, but no client yet
  EXPECT_TRUE(first->body.empty());

  VadarHarness::settle();  // the answer's client is installed
  Client::get();
  auto second = harness.api().lastRequest("GET", "/v1/client");
  EXPECT_EQ(second->header("Authorization"), "fake_device_token_1");
  EXPECT_EQ(second->header("x-vadar-client-id"), harness.api().clientJson()["id"].get<std::string>());
  EXPECT_EQ(harness.keychain().string("vadarDeviceToken"), "fake_device_token_1");

  harness.vadar().configure(VadarHarness::publishableKey(), harness.settings(/*debugMode=*/false));
  Client::get();
  EXPECT_FALSE(harness.api().lastRequest("GET", "/v1/client")->header("x-vadar-client-id"));

  // Once read or received, the token is kept in memory: no request reads the keychain again.
  harness.keychain().setString("token-set-elsewhere", "vadarDeviceToken");
  Client::get();
  EXPECT_EQ(harness.api().lastRequest("GET", "/v1/client")->header("Authorization"), "fake_device_token_1");
}

TEST(RequestPipeline, QueryItemComesLastAndJsonObjectBodiesLeaveAsFormText) {
  VadarHarness harness;
  addEcho(harness.api());
  send(httpkit::AnyRequest("/v1/echo", httpkit::HTTPMethod::post, {{"a", "1"}, {"flag", std::nullopt}},
                           nlohmann::json{{"last_name", "Li"},
                                          {"first_name", "Ann Marie"},
                                          {"note", "a:b"},
                                          {"on", true},
                                          {"off", false},
                                          {"gone", nullptr},
                                          {"outer", {{"inner", "v"}}}}));
  auto request = harness.api().lastRequest("POST", "/v1/echo");
  ASSERT_TRUE(request);
  EXPECT_EQ(request->query, (Pairs{{"a", "1"}, {"flag", ""}, {"_is_native", "true"}}));
  EXPECT_EQ(request->body, "first_name=Ann%20Marie&last_name=Li&note=a%3Ab&off=0&on=1&outer%5Binner%5D=v");
  EXPECT_EQ(request->header("Content-Type"), "application/x-www-form-urlencoded");

  // A query written into the path keeps its bytes; the proxy's segments go in front once, even when the path
  // already names them, and empty segments are dropped.
  send(httpkit::AnyRequest("/v1/echo?x=%20y&z", httpkit::HTTPMethod::post));
  request = harness.api().lastRequest("POST", "/v1/echo");
  EXPECT_EQ(request->target, "/__proxy/v1/echo?x=%20y&z&_is_native=true");
  send(httpkit::AnyRequest("/__proxy//v1/echo/", httpkit::HTTPMethod::post, {{"q", "a b&c"}}));
  EXPECT_EQ(harness.api().lastRequest("POST", "/v1/echo")->target, "/__proxy/v1/echo?q=a%20b%26c&_is_native=true");

  // A body that is no object is dropped, with an error line.
  LogCapture logs;
  send(httpkit::AnyRequest("/v1/echo", httpkit::HTTPMethod::post, {}, nlohmann::json::array({1, 2})));
  EXPECT_TRUE(harness.api().lastRequest("POST", "/v1/echo")->body.empty());
  EXPECT_TRUE(logs.contains("cannot be form-encoded"));

  LogCapture quiet;
  send(httpkit::AnyRequest("/v1/echo", httpkit::HTTPMethod::post));
  EXPECT_TRUE(harness.api().lastRequest("POST", "/v1/echo")->body.empty());
  EXPECT_FALSE(quiet.contains("cannot be form-encoded"));
}

TEST(ResponseProcessors, StatusesBelow400PassAndFrom400OnThrowTheUnknownUrlError) {
  VadarHarness harness;
  LogCapture logs;
  harness.api().failNext("GET", "/v1/client", Answer::json(399, {{"response", nullptr}}));
  EXPECT_EQ(Client::get(), std::nullopt);

  harness.api().failNext("GET", "/v1/client", Answer::json(400, {{"errors", nlohmann::json::array()}}));
  try {
    Client::get();
    FAIL() << "400 passed";
  } catch (const httpkit::URLError& error) {
    EXPECT_EQ(error.code(), httpkit::URLError::Code::unknown);
  }
  harness.api().failNext("GET", "/v1/client", Answer::raw(500, "<html>oops</html>", "text/html"));
  EXPECT_THROW(Client::get(), httpkit::URLError);
  const std::string endpoint = harness.proxyUrl() + "/v1/client?_is_native=true";
  EXPECT_TRUE(logs.contains("Network request failed for endpoint: " + endpoint + " (Status: 400)"));
  EXPECT_TRUE(logs.contains("Network request failed for endpoint: " + endpoint + " (Status: 500)"));
}

TEST(ResponseProcessors, ThrowsTheFirstErrorCarryingTheAnswersTraceId) {
  VadarHarness harness;
  harness.api().failNext("GET", "/v1/client", Answer::json(422, errorsBody({{"code_a", "X"}, {"code_b", "Z"}}, "Y")));
  try {
    Client::get();
    FAIL() << "422 passed";
  } catch (const VadarAPIError& error) {
    EXPECT_EQ(error.code, "code_a");
    EXPECT_EQ(error.vadarTraceId, "Y");
  }
  harness.api().failNext("GET", "/v1/client", Answer::json(422, errorsBody({{"code_a", "X"}}, std::nullopt)));
  try {
    Client::get();
    FAIL() << "422 passed";
  } catch (const VadarAPIError& error) {
    EXPECT_EQ(error.vadarTraceId, std::nullopt);  // the item's own trace id is not kept
  }
}

TEST(ResponseProcessors, DeviceTokenIsStoredFromAnErrorAnswerToo) {
  VadarHarness harness;
  Answer unauthorized = Answer::error(401, "signed_out", "You are signed out");
  unauthorized.headers = {{"authorization", "token-from-401"}};
  harness.api().failNext("GET", "/v1/client", unauthorized);
  EXPECT_THROW(Client::get(), VadarAPIError);
  VadarHarness::settle();  // kept off the request path
  EXPECT_EQ(harness.keychain().string("vadarDeviceToken"), "token-from-401");
  Client::get();
  EXPECT_EQ(harness.api().lastRequest("GET", "/v1/client")->header("Authorization"), "token-from-401");
}

// A redirect followed to another origin (another port here) brings an answer that carries a device token and a
// client, as the frontend API's own answers do: the call gets its answer, the instance takes neither.
TEST(ResponseProcessors, AnAnswerFromAnotherOriginPlantsNoDeviceTokenAndInstallsNoClient) {
  VadarHarness harness;
  Client::get();
  VadarHarness::settle();
  const std::string ownClientId = harness.api().clientJson()["id"].get<std::string>();
  ASSERT_EQ(harness.keychain().string("vadarDeviceToken"), "fake_device_token_1");

  testing_support::LoopbackServer elsewhere;
  nlohmann::json foreign = harness.api().clientJson();
  foreign["id"] = "client_from_elsewhere";
  elsewhere.on("POST", "/moved",
               testing_support::Reply{200, nlohmann::json{{"response", foreign}, {"client", foreign}}.dump(),
                                      "application/json", {{"Authorization", "token_from_elsewhere"}}, {}, {}});
  elsewhere.start();
  harness.api().route("POST", "/v1/moving", [&](const auto&, const auto&, auto&) {
    Answer moved = Answer::raw(307, "");
    moved.headers = {{"Location", elsewhere.baseURL() + "/moved"}};
    return moved;
  });
  const auto answer = send(httpkit::AnyRequest("/v1/moving", httpkit::HTTPMethod::post));
  VadarHarness::settle();
  ASSERT_EQ(elsewhere.requests().size(), 1u);
  EXPECT_FALSE(elsewhere.requests().front().header("Authorization"));
  EXPECT_EQ(answer.response.statusCode, 200);

  EXPECT_EQ(harness.keychain().string("vadarDeviceToken"), "fake_device_token_1");
  ASSERT_TRUE(harness.vadar().client());
  EXPECT_EQ(harness.vadar().client()->id, ownClientId);
  Client::get();
  EXPECT_EQ(harness.api().lastRequest("GET", "/v1/client")->header("Authorization"), "fake_device_token_1");
}

TEST(ResponseProcessors, AuthenticationInvalidRefreshesOnlyBelow400AndNotForTheClientFetch) {
  VadarHarness harness;
  addEcho(harness.api());
  const auto invalid = errorsBody({{"authentication_invalid", ""}}, std::nullopt);

  harness.api().failNext("POST", "/v1/echo", Answer::json(200, invalid));
  send(httpkit::AnyRequest("/v1/echo", httpkit::HTTPMethod::post));
  VadarHarness::settle();
  EXPECT_EQ(harness.api().requestCount("GET", "/v1/client"), 1u);  // the refresh

  harness.api().failNext("GET", "/v1/client", Answer::json(200, invalid));
  EXPECT_ANY_THROW(Client::get());  // no "response": the envelope does not decode
  VadarHarness::settle();
  EXPECT_EQ(harness.api().requestCount("GET", "/v1/client"), 2u);  // no refresh of the refresh

  harness.api().failNext("POST", "/v1/echo", Answer::json(401, invalid));
  EXPECT_THROW(send(httpkit::AnyRequest("/v1/echo", httpkit::HTTPMethod::post)), VadarAPIError);
  VadarHarness::settle();
  EXPECT_EQ(harness.api().requestCount("GET", "/v1/client"), 2u);
}

TEST(ResponseProcessors, ABurstOfAuthenticationInvalidAnswersRefreshesTheClientOnceMore) {
  VadarHarness harness;
  addEcho(harness.api());
  // Fewer than the fake's threads, which the held refreshes would otherwise all take.
  constexpr int answers = 6;
  harness.api().failNext("POST", "/v1/echo", Answer::json(200, errorsBody({{"authentication_invalid", ""}}, std::nullopt)),
                         answers);
  harness.api().holdAnswers("GET", "/v1/client");
  for (int i = 0; i < answers; ++i) send(httpkit::AnyRequest("/v1/echo", httpkit::HTTPMethod::post));
  ASSERT_TRUE(harness.api().waitForHeld(1, 20s));
  harness.api().releaseAnswers();
  VadarHarness::settle();
  // One refresh was in flight when the others asked; one more runs after it, for all of them.
  EXPECT_EQ(harness.api().requestCount("GET", "/v1/client"), 2u);
  EXPECT_TRUE(harness.vadar().client());
}

TEST(ResponseProcessors, InstallsTheClientTheAnswerCarriesAndNeverClearsIt) {
  VadarHarness harness;
  Client::get();
  VadarHarness::settle();
  const auto installed = harness.vadar().client();
  ASSERT_TRUE(installed);
  EXPECT_EQ(installed->id, harness.api().clientJson()["id"].get<std::string>());

  // A session answer carries the client under "client".
  const std::string sessionId = installed->sessions.at(0).id;
  harness.vadar().setActive(sessionId, "org_1");
  VadarHarness::settle();
  EXPECT_EQ(harness.vadar().session()->lastActiveOrganizationId, "org_1");

  const auto before = harness.vadar().client();
  harness.api().failNext("GET", "/v1/client", Answer::json(200, {{"response", {{"id", "sess_9"}}}, {"client", nullptr}}));
  EXPECT_ANY_THROW(Client::get());
  harness.api().failNext("GET", "/v1/client", Answer::raw(200, "not json"));
  EXPECT_ANY_THROW(Client::get());
  VadarHarness::settle();
  EXPECT_EQ(harness.vadar().client(), before);
}

// An answer whose client equals the one installed queues nothing, but only when nothing queued before it can
// change that client: the answers land in the order they came, whatever the main queue is doing.
TEST(ResponseProcessors, AnswersInstallInOrderWhenOneEqualsTheClientHeldMeanwhile) {
  VadarHarness harness;
  Client::get();
  VadarHarness::settle();
  const auto original = harness.vadar().client();
  ASSERT_TRUE(original);
  std::atomic<int> announced{0};
  auto subscription = harness.vadar().observe(Vadar::Member::client, [&announced] { ++announced; });

  // The same client again, many times: nothing to announce, and the object keeps what it holds.
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Client::get(), original);
  VadarHarness::settle();
  EXPECT_EQ(harness.vadar().client(), original);
  EXPECT_EQ(announced, 0);

  // A changed client is queued behind a busy main queue, then the original comes back: it equals what the
  // object holds now, yet must be installed after the changed one. (The same update time: an answer older than
  // one installed before it is stale, and not installed at all.)
  nlohmann::json changed = harness.api().clientJson();
  changed["last_active_session_id"] = nullptr;
  {
    testing::MainQueueHold hold;
    ASSERT_TRUE(hold.held());
    harness.api().failNext("GET", "/v1/client", Answer::json(200, {{"response", changed}, {"client", nullptr}}));
    ASSERT_NE(Client::get(), original);
    EXPECT_EQ(Client::get(), original);
  }
  VadarHarness::settle();
  EXPECT_EQ(harness.vadar().client(), original);
  EXPECT_EQ(announced, 2);

  // What the keychain keeps is the client installed last.
  EXPECT_EQ(harness.startAgain()->client(), original);
}

// The fetch and the install share one decoded client: whichever way it goes (queued for the install, or not
// kept because the object holds its equal), the caller and the object each end up with the whole client.
TEST(ResponseProcessors, FetchedAndInstalledClientsAreEachWholeWhetherOrNotTheAnswerIsQueued) {
  VadarHarness harness;
  const auto expected = decodeJSON<Client>(harness.api().clientJson().dump());
  ASSERT_FALSE(expected.sessions.empty());
  {
    testing::MainQueueHold hold;
    ASSERT_TRUE(hold.held());
    EXPECT_EQ(Client::get(), expected);  // queued behind the held main queue
  }
  VadarHarness::settle();
  ASSERT_TRUE(harness.vadar().client());
  EXPECT_EQ(*harness.vadar().client(), expected);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Client::get(), expected);  // equal to the one held: not kept
  VadarHarness::settle();
  EXPECT_EQ(*harness.vadar().client(), expected);
}

TEST(ResponseProcessors, SendsAuthEventsForCompletedSignInsAndSignUpsAndRemovedSessions) {
  VadarHarness harness;
  addEcho(harness.api());
  auto events = harness.vadar().authEventEmitter().subscribe();
  auto answer = [&](nlohmann::json response) {
    harness.api().failNext("POST", "/v1/echo", Answer::json(200, {{"response", response}, {"client", nullptr}}));
    send(httpkit::AnyRequest("/v1/echo", httpkit::HTTPMethod::post));
  };
  answer({{"object", "sign_in"}, {"id", "sia_1"}, {"status", "needs_first_factor"}});
  // Named by "object", a complete sign-in is not also taken for a complete sign-up (and the reverse).
  answer({{"object", "sign_in"}, {"id", "sia_2"}, {"status", "complete"}});
  answer({{"object", "sign_up"}, {"id", "sua_1"}, {"status", "complete"}});
  const std::string sessionId = harness.api().clientJson()["sessions"][0]["id"];
  harness.vadar().signOut(sessionId);

  auto signIn = events.next(5s);
  ASSERT_TRUE(signIn);
  ASSERT_TRUE(std::holds_alternative<AuthEvent::SignInCompleted>(signIn->value));
  EXPECT_EQ(std::get<AuthEvent::SignInCompleted>(signIn->value).signIn.id, "sia_2");
  auto signUp = events.next(5s);
  ASSERT_TRUE(signUp && std::holds_alternative<AuthEvent::SignUpCompleted>(signUp->value));
  auto signedOut = events.next(5s);
  ASSERT_TRUE(signedOut && std::holds_alternative<AuthEvent::SignedOut>(signedOut->value));
  EXPECT_EQ(std::get<AuthEvent::SignedOut>(signedOut->value).session.id, sessionId);
  VadarHarness::settle();
  EXPECT_FALSE(events.tryNext());
}

class CountingAssertionManager : public AssertionManager {
 public:
  void performAssertion() override { ++runs; }
  std::atomic<int> runs{0};
};

TEST(ResponseProcessors, RequiresAssertionIsRetriedOnceAfterAnAssertion) {
  VadarHarness harness;
  auto manager = std::make_shared<CountingAssertionManager>();
  assertionManagerFactory().register_([manager] { return manager; });
  const auto requiresAssertion = Answer::error(403, "requires_assertion", "Assert the device");

  harness.api().failNext("GET", "/v1/client", requiresAssertion);
  EXPECT_TRUE(Client::get());
  EXPECT_EQ(manager->runs, 1);
  EXPECT_EQ(harness.api().requestCount("GET", "/v1/client"), 2u);

  harness.api().failNext("GET", "/v1/client", requiresAssertion, 2);
  EXPECT_THROW(Client::get(), VadarAPIError);  // the second attempt is not retried again
  EXPECT_EQ(manager->runs, 2);
  EXPECT_EQ(harness.api().requestCount("GET", "/v1/client"), 4u);

  harness.api().failNext("GET", "/v1/client", Answer::error(403, "other_code", "No"));
  EXPECT_THROW(Client::get(), VadarAPIError);
  EXPECT_EQ(manager->runs, 2);

  // Without device attestation on this platform the assertion fails and that error reaches the caller.
  assertionManagerFactory().register_([] { return std::make_shared<UnsupportedAssertionManager>(); });
  harness.api().failNext("GET", "/v1/client", requiresAssertion);
  try {
    Client::get();
    FAIL() << "no assertion error";
  } catch (const AttestationError& error) {
    EXPECT_EQ(error.code(), AttestationError::Code::unsupportedDevice);
  }
  EXPECT_EQ(harness.api().requestCount("GET", "/v1/client"), 6u);
}

TEST(ResponseProcessors, UntrustedAnswersNeverCrashNorInstallPartOfAClient) {
  VadarHarness harness;
  const std::string valid = nlohmann::json{{"response", harness.api().clientJson()}, {"client", nullptr}}.dump();
  std::mt19937 random(20261206);
  VadarAPIClientDelegate delegate;
  auto client = apiClientFactory().resolve();
  for (int round = 0; round < 300; ++round) {
    std::string body = valid.substr(0, random() % (valid.size() + 1));
    for (int flips = random() % 4; flips > 0 && !body.empty(); --flips) body[random() % body.size()] = char(random());
    const int status = round % 3 == 0 ? 500 : 200;
    httpkit::HTTPURLResponse response{status, {}, harness.proxyUrl() + "/v1/client"};
    const httpkit::Bytes bytes(body.begin(), body.end());
    try {
      delegate.validateResponse(*client, response, bytes, httpkit::DataTask{});
      EXPECT_LT(status, 400);
    } catch (const VadarAPIError&) {
      EXPECT_GE(status, 400);
    } catch (const httpkit::URLError&) {
      EXPECT_GE(status, 400);
    }
  }
  VadarHarness::settle();
  // Whatever got installed was a complete client: the only candidate is the valid answer's client.
  if (auto installed = harness.vadar().client()) {
    EXPECT_EQ(installed->id, harness.api().clientJson()["id"].get<std::string>());
  }
}

TEST(RequestPipelineConcurrency, RequestsInFlightNeverWaitOnTheMainQueue) {
  VadarHarness harness;
  testing::MainQueueHold hold;
  ASSERT_TRUE(hold.held());
  auto fetched = testing_support::launch([] {
    auto client = Client::get();
    return client.has_value();
  });
  const bool finished = fetched.wait_for(20s) == std::future_status::ready;
  hold.release();
  ASSERT_TRUE(finished) << "a request waited for the main queue";
  EXPECT_TRUE(fetched.get());
  VadarHarness::settle();
  EXPECT_TRUE(harness.vadar().client());
}

}  // namespace
}  // namespace vadar
