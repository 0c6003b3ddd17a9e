// Session tokens: the cache key and options, the freshness rule at its boundary, the fetch through the
// pipeline and its path, what an empty or failed answer leaves behind, and the single flight under load.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <future>
#include <latch>
#include <thread>
#include <vector>

#include <foundation/base64.hpp>
#include <foundation/main_queue.hpp>
#include <httpkit/api_client.hpp>
#include <httpkit/url_error.hpp>
#include <wiring/container.hpp>

#include "testing/bounded_task.hpp"
#include "core/background_tasks.hpp"
#include "vadar/core/container_keys.hpp"
#include "vadar/core/vadar_api_client_delegate.hpp"
#include "vadar/sessions/get_token_options.hpp"
#include "vadar/infra/jwt.hpp"
#include "vadar/sessions/session_token_fetcher.hpp"
#include "vadar/sessions/session_tokens_cache.hpp"
#include "vadar/models/vadar_api_error.hpp"
#include "vadar/models/vadar_client_error.hpp"
#include "sessions_harness.hpp"

namespace vadar {
namespace {

using testing::Finishing;
using testing::SessionsHarness;
using namespace std::chrono_literals;
using Options = Session::GetTokenOptions;

std::string tokensPath(const Session& session) { return "/v1/client/sessions/" + session.id + "/tokens"; }

// The wall-clock second `ahead` from now, for token expiries relative to the real clock.
std::int64_t secondsFromNow(std::chrono::milliseconds ahead) {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch() + ahead)
      .count();
}

// A token of `sessionId` (none: no "sid" claim) that expires a minute from now, as the frontend API would sign
// it; the signature is not read.
std::string tokenForAMinute(const std::optional<std::string>& sessionId) {
  const auto part = [](const std::string& text) { return foundation::base64UrlEncode(foundation::toBytes(text)); };
  const std::string exp = R"("exp":)" + std::to_string(secondsFromNow(std::chrono::minutes(1)));
  return part(R"({"alg":"RS256"})") + "." +
         part(sessionId ? R"({"sid":")" + *sessionId + R"(",)" + exp + "}" : "{" + exp + "}") + ".sig";
}

TEST(SessionTokenOptions, BufferIsKeptWithinZeroAndSixtySeconds) {
  EXPECT_EQ(Options(std::nullopt, 90.0, false).expirationBuffer, 60.0);
  EXPECT_EQ(Options(std::nullopt, 10.0, false).expirationBuffer, 10.0);
  // A negative buffer would hand out expired tokens as fresh.
  EXPECT_EQ(Options(std::nullopt, -30.0, false).expirationBuffer, 0.0);
  EXPECT_EQ(Options(std::nullopt, std::nan(""), false).expirationBuffer, 0.0);
}

TEST(SessionTokens, FirstCallFetchesLaterCallsUseTheCacheAndSkipCacheFetchesAnew) {
  SessionsHarness harness(/*signedIn=*/true);
  const Session session = harness.currentSession();

  const auto fetched = session.getToken(Options(std::nullopt, 10.0, false));
  ASSERT_TRUE(fetched);
  EXPECT_EQ(harness.api().requestCount("POST", tokensPath(session)), 1u);
  EXPECT_EQ(decodeJWT(fetched->jwt).body.nlohmann().at("sid"), session.id);

  EXPECT_EQ(session.getToken(), fetched);
  EXPECT_EQ(harness.api().requestCount("POST", tokensPath(session)), 1u);

  const auto renewed = session.getToken(Options(std::nullopt, 10.0, true));
  ASSERT_TRUE(renewed);
  EXPECT_NE(renewed->jwt, fetched->jwt);
  EXPECT_EQ(harness.api().requestCount("POST", tokensPath(session)), 2u);
  EXPECT_EQ(session.getToken(), renewed);  // the fresh token replaced the cached one
}

TEST(SessionTokens, ATokenWithExactlyTheBufferLeftIsFetchedAnew) {
  SessionsHarness harness(true);
  const Session session = harness.currentSession();
  const std::int64_t now = 2'000'000'000;
  testing::fixClock(now);
  std::atomic<std::int64_t> expiry = now + 10;  // read on the fake server's thread
  fake_frontend_api::setTokenExpiry(harness.api(), [&expiry] { return expiry.load(); });
  const auto requests = [&] { return harness.api().requestCount("POST", tokensPath(session)); };

  session.getToken(Options(std::nullopt, 10.0, false));
  ASSERT_EQ(requests(), 1u);
  session.getToken(Options(std::nullopt, 10.0, false));  // 10 s left, buffer 10: not fresh
  EXPECT_EQ(requests(), 2u);
  session.getToken(Options(std::nullopt, 9.5, false));  // 10 s left, buffer 9.5: fresh
  EXPECT_EQ(requests(), 2u);

  // Buffer 0: usable up to, not at, the expiry instant.
  testing::fixClock(now + 9);
  session.getToken(Options(std::nullopt, 0.0, false));
  EXPECT_EQ(requests(), 2u);
  expiry = now + 100;
  testing::fixClock(now + 10);
  session.getToken(Options(std::nullopt, 0.0, false));
  EXPECT_EQ(requests(), 3u);

  // A negative buffer counts as 0: an expired token is never handed out.
  testing::fixClock(now + 100);
  const auto token = session.getToken(Options(std::nullopt, -50.0, false));
  EXPECT_EQ(requests(), 4u);
  ASSERT_TRUE(token);
}

TEST(SessionTokens, TemplatesHaveTheirOwnKeyAndOneEncodedPathSegment) {
  SessionsHarness harness(true);
  const Session session = harness.currentSession();

  const auto plain = session.getToken(Options(std::nullopt, 10.0, false));
  const auto shaped = session.getToken(Options("supabase", 10.0, false));
  ASSERT_TRUE(plain && shaped);
  EXPECT_EQ(harness.api().requestCount("POST", tokensPath(session) + "/supabase"), 1u);
  EXPECT_EQ(SessionTokensCache::shared().token({session.id, "supabase"}), shaped);

  EXPECT_EQ(SessionTokensCache::shared().token({session.id, std::nullopt}), plain);

  // Whatever the template holds stays inside its segment.
  const auto odd = session.getToken(Options("a/b?c#d", 10.0, false));
  EXPECT_EQ(harness.api().requests().back().rawPath, "/__proxy" + tokensPath(session) + "/a%2Fb%3Fc%23d");
  EXPECT_EQ(decodeJWT(odd->jwt).body.nlohmann().at("tmpl"), "a/b?c#d");

  const auto before = harness.api().requests().size();
  Session dotted = session;
  // An empty template's path ends in "/tokens/", whose empty last segment a proxy's path joining drops: it
  // would fetch the default token and keep it as the template's.
  EXPECT_THROW(session.getToken(Options("", 10.0, false)), VadarClientError);
  EXPECT_FALSE(SessionTokensCache::shared().token({session.id, ""}));
  for (const std::string text : {"..", "."}) {
    EXPECT_THROW(session.getToken(Options(text, 10.0, false)), VadarClientError);
    dotted.id = text;
    EXPECT_THROW(dotted.getToken(), VadarClientError);
  }
  EXPECT_EQ(harness.api().requests().size(), before);
}

TEST(SessionTokens, ASessionWhoseIdSpellsAnotherSessionsTemplateKeyIsNeverGivenThatToken) {
  SessionsHarness harness(true);
  const Session session = harness.currentSession();
  const auto shaped = session.getToken(Options("b", 10.0, false));
  ASSERT_TRUE(shaped);

  // "<id>-b" without a template and "<id>" with template "b" once shared one cache entry.
  Session other = session;
  other.id = session.id + "-b";
  std::optional<TokenResource> answer;
  try {
    answer = other.getToken();
  } catch (const std::exception&) {
    // The fake knows no such session; what matters is that it was asked.
  }
  EXPECT_NE(answer, shaped);
  EXPECT_EQ(harness.api().requestCount("POST", tokensPath(other)), 1u);
  EXPECT_NE(SessionTokensCache::shared().token({other.id, std::nullopt}), shaped);
  EXPECT_EQ(SessionTokensCache::shared().token({session.id, "b"}), shaped);
}

TEST(SessionTokens, EmptyOrFailedAnswersGiveNoneOrThrowAndLeaveTheCacheAsItWas) {
  SessionsHarness harness(true);
  const Session session = harness.currentSession();
  const auto first = session.getToken();
  ASSERT_TRUE(first);

  harness.api().failNext("POST", tokensPath(session), fake_frontend_api::Answer::raw(200, ""));
  EXPECT_EQ(session.getToken(Options(std::nullopt, 10.0, true)), std::nullopt);
  harness.api().failNext("POST", tokensPath(session), fake_frontend_api::Answer::json(200, {{"jwt", ""}}));
  EXPECT_EQ(session.getToken(Options(std::nullopt, 10.0, true)), std::nullopt);
  EXPECT_EQ(SessionTokensCache::shared().token({session.id, std::nullopt}), first);
  EXPECT_EQ(session.getToken(), first);

  // Failures reach the caller and are not remembered.
  harness.api().failNext("POST", tokensPath(session),
                         fake_frontend_api::Answer::error(401, "signed_out", "You are signed out", "trace_9"));
  const Options skipCache(std::nullopt, 10.0, true);
  EXPECT_THROW(session.getToken(skipCache), VadarAPIError);
  harness.api().failNext("POST", tokensPath(session), fake_frontend_api::Answer::raw(500, "boom"));
  EXPECT_THROW(session.getToken(skipCache), httpkit::URLError);
  EXPECT_EQ(SessionTokensCache::shared().token({session.id, std::nullopt}), first);
  EXPECT_TRUE(session.getToken(skipCache));
  EXPECT_EQ(harness.api().requestCount("POST", tokensPath(session)), 6u);
}

// An answer is one session's token. A token naming another session (a cache in front of the frontend API that
// mixed two answers up) would let its holder act as that session, perhaps another user: it is neither handed out
// nor kept, and the cache keeps what it had.
TEST(SessionTokens, ATokenNamingAnotherSessionIsRefusedAndNotKept) {
  SessionsHarness harness(true);
  const Session session = harness.currentSession();
  const auto first = session.getToken();
  ASSERT_TRUE(first);
  const Options skipCache(std::nullopt, 10.0, true);

  harness.api().failNext("POST", tokensPath(session),
                         fake_frontend_api::Answer::json(200, {{"jwt", tokenForAMinute("sess_of_someone_else")}}));
  EXPECT_THROW(session.getToken(skipCache), DecodingError);
  EXPECT_EQ(SessionTokensCache::shared().token({session.id, std::nullopt}), first);
  EXPECT_EQ(session.getToken(), first);

  // One that names no session, or this one, is taken as before.
  const std::string unnamed = tokenForAMinute(std::nullopt);
  harness.api().failNext("POST", tokensPath(session), fake_frontend_api::Answer::json(200, {{"jwt", unnamed}}));
  EXPECT_EQ(session.getToken(skipCache).value().jwt, unnamed);
  const std::string named = tokenForAMinute(session.id);
  harness.api().failNext("POST", tokensPath(session), fake_frontend_api::Answer::json(200, {{"jwt", named}}));
  EXPECT_EQ(session.getToken(skipCache).value().jwt, named);
  EXPECT_EQ(SessionTokensCache::shared().token({session.id, std::nullopt}).value().jwt, named);
}

TEST(SessionTokens, AnUndecodableCachedTokenIsLoggedAndFetchedAnew) {
  SessionsHarness harness(true);
  const Session session = harness.currentSession();
  SessionTokensCache::shared().insert(TokenResource{"not.a-jwt"}, {session.id, std::nullopt});
  testing::LogCapture log;

  const auto token = session.getToken();
  ASSERT_TRUE(token);
  EXPECT_NE(token->jwt, "not.a-jwt");
  EXPECT_EQ(harness.api().requestCount("POST", tokensPath(session)), 1u);
  EXPECT_TRUE(log.contains("Failed to decode JWT"));

  // Without an "exp" claim a cached token is not fresh either, and nothing is logged for it.
  const auto part = [](const std::string& text) { return foundation::base64UrlEncode(foundation::toBytes(text)); };
  SessionTokensCache::shared().insert(TokenResource{part("{\"alg\":\"none\"}") + "." + part("{\"sid\":\"x\"}") + ".sig"},
                                      {session.id, std::nullopt});
  testing::LogCapture quiet;
  EXPECT_TRUE(session.getToken());
  EXPECT_EQ(harness.api().requestCount("POST", tokensPath(session)), 2u);
  EXPECT_FALSE(quiet.contains("Failed to decode JWT"));
}

// A token names its session and that session's active organization, and anyone it is shown to takes it at its
// word until it expires: once the session is signed out or works in another organization, the cached one lies.
TEST(SessionTokensAfterChanges, ASignedOutSessionIsNeverHandedItsCachedToken) {
  for (const bool everySession : {false, true}) {
    SessionsHarness harness(true);
    const Session session = harness.currentSession();
    ASSERT_TRUE(session.getToken());
    if (everySession) {
      harness.vadar().signOut();
    } else {
      harness.vadar().signOut(session.id);
    }
    ASSERT_FALSE(harness.vadar().session());

    // Asked again, the frontend API knows the session no more.
    EXPECT_EQ(apiErrorCode([&] { session.getToken(); }), "resource_not_found") << "every session: " << everySession;
    EXPECT_EQ(harness.api().requestCount("POST", tokensPath(session)), 2u);
  }
}

TEST(SessionTokensAfterChanges, AnOrganizationSwitchIsFollowedByATokenOfTheNewOrganization) {
  SessionsHarness harness(true);
  const Session session = harness.currentSession();
  const auto organizationOf = [](const std::optional<TokenResource>& token) {
    return decodeJWT(token.value().jwt).body.nlohmann().value("org_id", "none");
  };
  EXPECT_EQ(organizationOf(session.getToken()), "none");

  harness.vadar().setActive(session.id, "org_2");
  ASSERT_EQ(harness.vadar().session().value().lastActiveOrganizationId, "org_2");
  EXPECT_EQ(organizationOf(session.getToken()), "org_2");
  EXPECT_EQ(organizationOf(harness.vadar().session()->getToken()), "org_2");
  EXPECT_EQ(harness.api().requestCount("POST", tokensPath(session)), 2u);

  // Other sessions, and touches that change nothing of the session's organization, keep their tokens.
  harness.vadar().setActive(session.id, "org_2");
  EXPECT_EQ(organizationOf(session.getToken()), "org_2");
  EXPECT_EQ(harness.api().requestCount("POST", tokensPath(session)), 2u);
}

// Two organizations chosen one after the other, the first answer slower on the way than the second: the first
// is stale when it lands, and a token fetched while it was on its way (of the organization the server then
// had) is not handed out once the second organization is the session's.
TEST(SessionTokensAfterChanges, TwoSwitchesAnsweredOutOfOrderLeaveTheLastOrganizationAndItsToken) {
  SessionsHarness harness(true);
  const Session session = harness.currentSession();
  const auto organizationOf = [](const std::optional<TokenResource>& token) {
    return decodeJWT(token.value().jwt).body.nlohmann().value("org_id", "none");
  };
  struct SlowFirstSwitch : VadarAPIClientDelegate {
    using VadarAPIClientDelegate::VadarAPIClientDelegate;
    std::promise<void> entered;
    std::shared_future<void> release;
    void validateResponse(httpkit::APIClient& client, const httpkit::HTTPURLResponse& response,
                          const httpkit::Bytes& data, const httpkit::DataTask& task) override {
      const auto& body = task.originalRequest.body;
      if (body && foundation::toString(*body).find("org_first") != std::string::npos) {
        entered.set_value();
        release.wait_for(30s);
      }
      VadarAPIClientDelegate::validateResponse(client, response, data, task);
    }
  };
  auto delegate = std::make_shared<SlowFirstSwitch>(harness.vadar().frontendApiUrl());
  std::promise<void> release;
  delegate->release = release.get_future().share();
  auto configuration = apiClientFactory().resolve()->configuration();
  configuration.delegate = delegate;
  apiClientFactory().register_([configuration] { return std::make_shared<httpkit::APIClient>(configuration); });

  auto first = testing_support::launch([&vadar = harness.vadar(), id = session.id] {
    return outcomeOf([&] { vadar.setActive(id, "org_first"); }, "done");
  });
  ASSERT_EQ(delegate->entered.get_future().wait_for(20s), std::future_status::ready);
  EXPECT_EQ(organizationOf(session.getToken(Options(std::nullopt, 10.0, true))), "org_first");
  harness.vadar().setActive(session.id, "org_second");
  release.set_value();
  ASSERT_EQ(first.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(first.get(), "done");
  SessionsHarness::settle();

  ASSERT_TRUE(harness.vadar().session());
  EXPECT_EQ(harness.vadar().session()->lastActiveOrganizationId, "org_second");
  EXPECT_EQ(organizationOf(harness.vadar().session()->getToken()), "org_second");
}

// A session may end while the client still lists it, in its final status: its token lies as much as that of a
// session gone from the list. A pending session's token is the case where nothing else would let it go.
TEST(SessionTokensAfterChanges, ASessionEndedWhileStillListedIsNeverHandedItsCachedToken) {
  SessionsHarness harness(true);
  const Session active = harness.currentSession();
  const auto serverSetsStatus = [&](const char* status) {
    harness.api().withState([&](fake_frontend_api::State& state) {
      (*state.findSession(active.id))["status"] = status;
      state.touchClient();
    });
    Client::get();
    SessionsHarness::settle();
  };
  const auto listed = [&]() -> Session {
    const Client client = harness.vadar().client().value();
    for (const auto& session : client.sessions)
      if (session.id == active.id) return session;
    throw std::runtime_error("the session left the client");
  };
  serverSetsStatus("pending");
  const Session pending = listed();
  ASSERT_EQ(pending.status, Session::SessionStatus::pending);
  const std::string issued = tokenForAMinute(active.id);
  harness.api().failNext("POST", tokensPath(active), fake_frontend_api::Answer::json(200, {{"jwt", issued}}));
  ASSERT_EQ(pending.getToken().value().jwt, issued);

  serverSetsStatus("ended");
  ASSERT_EQ(listed().status, Session::SessionStatus::ended);
  EXPECT_EQ(apiErrorCode([&] { pending.getToken(); }), "signed_out");
  EXPECT_EQ(harness.api().requestCount("POST", tokensPath(active)), 2u);
}

// An answer may describe a session without carrying the client (a revocation answered with the session alone):
// a session the frontend API says is over is no more handed its cached token than one the client drops.
TEST(SessionTokensAfterChanges, ASessionAnAnswerDescribesAsRevokedIsNeverHandedItsCachedToken) {
  SessionsHarness harness(true);
  const Session session = harness.currentSession();
  ASSERT_TRUE(session.getToken());
  Session revoked = session;
  revoked.status = Session::SessionStatus::revoked;
  harness.api().withState(
      [&](fake_frontend_api::State& state) { (*state.findSession(session.id))["status"] = "revoked"; });
  harness.api().failNext("POST", "/v1/me/sessions/" + session.id + "/revoke",
                         fake_frontend_api::Answer::json(200, {{"response", encodeValue(revoked)}}));
  EXPECT_EQ(session.revoke().status, Session::SessionStatus::revoked);

  EXPECT_EQ(apiErrorCode([&] { session.getToken(); }), "signed_out");
  EXPECT_EQ(harness.api().requestCount("POST", tokensPath(session)), 2u);
}

TEST(SessionTokensAfterChanges, ATokenArrivingAfterItsSessionWasSignedOutIsNotKept) {
  SessionsHarness harness(true);
  const Session session = harness.currentSession();
  // The server issued the token before it took the sign-out; its answer comes after.
  harness.api().holdAnswers("POST", tokensPath(session));
  const std::string issued = tokenForAMinute(session.id);
  harness.api().failNext("POST", tokensPath(session), fake_frontend_api::Answer::json(200, {{"jwt", issued}}));
  auto early = testing_support::launch([&] { return session.getToken(); });
  ASSERT_TRUE(harness.api().waitForHeld(1, 20s));
  harness.vadar().signOut();
  harness.api().releaseAnswers();
  ASSERT_EQ(early.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(early.get().value().jwt, issued);  // asked while signed in

  EXPECT_EQ(apiErrorCode([&] { session.getToken(); }), "resource_not_found");
}


TEST(TokenFetchConcurrency, AHundredCallersShareOneRequestAndOneToken) {
  SessionsHarness harness(true);
  const Session session = harness.currentSession();
  SessionTokensCache cache;
  SessionTokenFetcher fetcher(cache);
  harness.api().holdAnswers("POST", tokensPath(session));

  constexpr int callers = 100;
  std::vector<std::optional<TokenResource>> tokens(callers);
  std::vector<std::string> errors(callers);
  std::latch ready(callers);
  std::vector<std::thread> threads;
  for (int i = 0; i < callers; ++i) {
    threads.emplace_back([&, i] {
      ready.count_down();
      try {
        tokens[i] = fetcher.getToken(session, Options(std::nullopt, 10.0, i % 2 == 0));
      } catch (const std::exception& error) {
        errors[i] = error.what();
      }
    });
  }
  const bool held = harness.api().waitForHeld(1, 20s);
  const bool allJoined = fetcher.waitForJoined(callers - 1, 20s);
  harness.api().releaseAnswers();
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(held);
  ASSERT_TRUE(allJoined);

  EXPECT_EQ(harness.api().requestCount("POST", tokensPath(session)), 1u);
  ASSERT_TRUE(tokens[0]);
  for (int i = 0; i < callers; ++i) {
    EXPECT_EQ(errors[i], "");
    EXPECT_EQ(tokens[i], tokens[0]);
  }
  EXPECT_EQ(cache.token({session.id, std::nullopt}), tokens[0]);
}

TEST(TokenFetchConcurrency, AFailureReachesEveryWaiterAndTheNextCallStartsAfresh) {
  SessionsHarness harness(true);
  const Session session = harness.currentSession();
  SessionTokensCache cache;
  SessionTokenFetcher fetcher(cache);
  harness.api().holdAnswers("POST", tokensPath(session));
  harness.api().failNext("POST", tokensPath(session), fake_frontend_api::Answer::error(422, "session_expired", "gone"));

  auto ask = [&] { return apiErrorCode([&] { fetcher.getToken(session, Options(std::nullopt, 10.0, false)); }); };
  auto first = testing_support::launch(ask);
  ASSERT_TRUE(harness.api().waitForHeld(1, 20s));
  auto second = testing_support::launch(ask);
  const bool joined = fetcher.waitForJoined(1, 20s);
  harness.api().releaseAnswers();
  ASSERT_TRUE(joined);
  ASSERT_EQ(first.wait_for(20s), std::future_status::ready);
  ASSERT_EQ(second.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(first.get(), "session_expired");
  EXPECT_EQ(second.get(), "session_expired");
  EXPECT_EQ(cache.token({session.id, std::nullopt}), std::nullopt);

  EXPECT_TRUE(fetcher.getToken(session, Options(std::nullopt, 10.0, false)));
  EXPECT_EQ(harness.api().requestCount("POST", tokensPath(session)), 2u);
}

TEST(TokenFetchConcurrency, CallersOfOtherKeysDoNotWaitForEachOther) {
  SessionsHarness harness(true);
  const Session session = harness.currentSession();
  SessionTokensCache cache;
  SessionTokenFetcher fetcher(cache);
  harness.api().holdAnswers("POST", tokensPath(session));
  auto held = testing_support::launch([&] { return fetcher.getToken(session, Options()); });
  ASSERT_TRUE(harness.api().waitForHeld(1, 20s));
  // The template's fetch is answered while the default token's is still held.
  const auto shaped = fetcher.getToken(session, Options("other", 10.0, false));
  harness.api().releaseAnswers();
  ASSERT_EQ(held.wait_for(20s), std::future_status::ready);
  EXPECT_TRUE(shaped);
  EXPECT_TRUE(held.get());
}

TEST(TokenFetchConcurrency, TheMainQueueIsAnsweredFromTheCacheWhileAnotherKeyIsFetched) {
  SessionsHarness harness(true);
  const Session session = harness.currentSession();
  auto cache = std::make_shared<SessionTokensCache>();
  auto fetcher = std::make_shared<SessionTokenFetcher>(*cache);
  const auto cached = fetcher->getToken(session, Options());
  ASSERT_TRUE(cached);
  harness.api().holdAnswers("POST", tokensPath(session) + "/held");
  Finishing held([cache, fetcher, session] {
    try {
      fetcher->getToken(session, Options("held", 10.0, false));
    } catch (...) {
    }
  });
  ASSERT_TRUE(harness.api().waitForHeld(1, 20s));

  std::optional<TokenResource> onMainQueue;
  std::string refused, heldRefused;
  foundation::MainQueue::sync([&] {
    try {
      onMainQueue = fetcher->getToken(session, Options());
    } catch (const std::exception& error) {
      refused = error.what();
    }
    // The key in flight itself would wait for the network: still refused there.
    heldRefused = errorText<VadarClientError>([&] { fetcher->getToken(session, Options("held", 10.0, false)); });
  });
  harness.api().releaseAnswers();
  EXPECT_TRUE(held.within(20s));
  EXPECT_EQ(refused, "");
  EXPECT_EQ(onMainQueue, cached);
  EXPECT_NE(heldRefused.find("cannot run on the main queue"), std::string::npos);
}

TEST(TokenFetchConcurrency, ShutdownIsPromptWhileThePollerWaitsOnAnApplicationsFetch) {
  SessionsHarness harness(true);
  const Session session = harness.currentSession();
  harness.api().holdAnswers("POST", tokensPath(session));
  Finishing application([session] {
    try {
      session.getToken();
    } catch (...) {
    }
  });
  ASSERT_TRUE(harness.api().waitForHeld(1, 20s));
  harness.vadar().load();  // the poller's first pass joins the application's fetch
  ASSERT_TRUE(SessionTokenFetcher::shared().waitForJoined(1, 20s));

  Finishing shutdown([vadar = Vadar::shared()] { vadar->shutdown(); });
  // The answer stays held until after this wait: a shutdown that waited for the server could not end within it.
  const bool prompt = shutdown.within(20s);
  harness.api().releaseAnswers();
  EXPECT_TRUE(prompt);
  EXPECT_TRUE(application.within(20s));
  EXPECT_FALSE(SessionTokenPoller::shared().isRunning());
  EXPECT_EQ(SessionTokenFetcher::shared().joined(), 0u);
}

TEST(TokenFetchConcurrency, AFetchThePollerStartedGoesOnForTheApplicationWhenShutdownStopsThePoller) {
  SessionsHarness harness(true);
  const Session session = harness.currentSession();
  harness.api().holdAnswers("POST", tokensPath(session));
  harness.vadar().load();  // the poller's first pass starts the fetch
  ASSERT_TRUE(harness.api().waitForHeld(1, 20s));
  auto application = testing_support::launch([session]() -> std::string {
    try {
      const auto token = session.getToken();
      return token ? token->jwt : "no token";
    } catch (const std::exception& error) {
      return error.what();
    }
  });
  ASSERT_TRUE(SessionTokenFetcher::shared().waitForJoined(1, 20s));

  Finishing shutdown([vadar = Vadar::shared()] { vadar->shutdown(); });
  const bool prompt = shutdown.within(5s);
  harness.api().releaseAnswers();
  EXPECT_TRUE(prompt) << "shutdown waited for the server";
  ASSERT_EQ(application.wait_for(20s), std::future_status::ready);
  const std::string answer = application.get();
  EXPECT_EQ(answer.rfind("ey", 0), 0u) << answer;
  EXPECT_EQ(harness.api().requestCount("POST", tokensPath(session)), 1u);
  const auto cached = SessionTokensCache::shared().token({session.id, std::nullopt});
  ASSERT_TRUE(cached);
  EXPECT_EQ(cached->jwt, answer);
}

TEST(TokenFetchConcurrency, AFetchNobodyWaitsForAnyMoreIsCancelledAndTheNextCallStartsAfresh) {
  SessionsHarness harness(true);
  const Session session = harness.currentSession();
  harness.api().holdAnswers("POST", tokensPath(session));
  harness.vadar().load();  // the poller's first pass starts the fetch, and only the poller waits for it
  ASSERT_TRUE(harness.api().waitForHeld(1, 20s));
  Finishing stop([] { SessionTokenPoller::shared().stop(); });
  const bool prompt = stop.within(5s);
  harness.api().releaseAnswers();
  EXPECT_TRUE(prompt) << "stopping the only caller waited for the server";

  EXPECT_TRUE(session.getToken());
  EXPECT_EQ(harness.api().requestCount("POST", tokensPath(session)), 2u);
}

// A request whose application hook waits on something else than its stop is left to end on its own once every
// caller has gone; by then the fetcher that started it (and its cache) may be gone too, which its end must not touch.
TEST(TokenFetchConcurrency, ARequestDeafToItsStopEndsWithoutTouchingTheFetcherItOutlived) {
  // Set when the request's last trace is gone: the error it ended with is released with its thread's state.
  struct Released {
    std::promise<void> gone;
    ~Released() { gone.set_value(); }
  };
  struct DeafHookError : std::runtime_error {
    explicit DeafHookError(std::shared_ptr<Released> r) : std::runtime_error("deaf hook"), released(std::move(r)) {}
    std::shared_ptr<Released> released;
  };
  struct DeafHook : httpkit::APIClientDelegate {
    std::promise<void> entered;
    std::shared_future<void> release;
    std::shared_ptr<Released> released;
    void willSendRequest(httpkit::APIClient&, httpkit::URLRequest&) override {
      entered.set_value();
      release.wait_for(20s);
      throw DeafHookError(std::exchange(released, nullptr));
    }
  };
  auto hook = std::make_shared<DeafHook>();
  std::promise<void> release;
  hook->release = release.get_future().share();
  hook->released = std::make_shared<Released>();
  auto gone = hook->released->gone.get_future();
  auto entered = hook->entered.get_future();

  wiring::Container container;  // outlives the request's thread, which reads it until its end
  {
    wiring::Container::Scope bound(container);
    apiClientFactory().register_([hook]() -> std::shared_ptr<httpkit::APIClient> {
      return std::make_shared<httpkit::APIClient>("https://frontend.example.test",
                                                  [&](httpkit::APIClient::Configuration& c) { c.delegate = hook; });
    });
  }
  auto cache = std::make_unique<SessionTokensCache>();
  auto fetcher = std::make_unique<SessionTokenFetcher>(*cache);
  Session session;
  session.id = "sess_deaf";
  std::stop_source stop;
  auto caller = testing_support::launch([&]() -> std::string {
    wiring::Container::Scope bound(container);
    core::StopTokenScope scope(stop.get_token());
    try {
      fetcher->getToken(session, Options());
      return "a token";
    } catch (const httpkit::URLError& error) {
      return error.code() == httpkit::URLError::Code::cancelled ? "cancelled" : error.what();
    }
  });
  ASSERT_EQ(entered.wait_for(20s), std::future_status::ready);
  stop.request_stop();
  ASSERT_EQ(caller.wait_for(20s), std::future_status::ready) << "the stopped caller waited for the hook";
  EXPECT_EQ(caller.get(), "cancelled");

  fetcher.reset();
  cache.reset();
  release.set_value();
  EXPECT_EQ(gone.wait_for(20s), std::future_status::ready) << "the request did not end";
}

// The only caller stopped waiting, but the answer was already on its way through the client's checks; it ends
// after its session was signed out, and must not leave that session's token for whoever asks next.
TEST(TokenFetchConcurrency, AnAnswerEndingAfterEveryCallerLeftAndItsSessionWasForgottenIsNotKept) {
  struct SlowCheck : httpkit::APIClientDelegate {
    std::promise<void> entered;
    std::promise<void> stopped;  // the request's own stop was seen
    std::shared_future<void> release;
    void validateResponse(httpkit::APIClient&, const httpkit::HTTPURLResponse&, const httpkit::Bytes&,
                          const httpkit::DataTask&) override {
      std::stop_callback seen(core::StopTokenScope::current(), [this] { stopped.set_value(); });
      entered.set_value();
      release.wait_for(20s);  // deaf to that stop, as an application's check may be
    }
  };
  fake_frontend_api::FakeFrontendAPI api;
  api.start();
  Session session;
  session.id = "sess_left_behind";
  const std::string issued = tokenForAMinute(std::nullopt);
  api.failNext("POST", tokensPath(session), fake_frontend_api::Answer::json(200, {{"jwt", issued}}));
  auto check = std::make_shared<SlowCheck>();
  std::promise<void> release;
  check->release = release.get_future().share();
  auto entered = check->entered.get_future();
  auto stopped = check->stopped.get_future();
  wiring::Container container;
  {
    wiring::Container::Scope bound(container);
    apiClientFactory().register_([check, base = api.baseUrl()]() -> std::shared_ptr<httpkit::APIClient> {
      return std::make_shared<httpkit::APIClient>(base, [&](httpkit::APIClient::Configuration& c) { c.delegate = check; });
    });
  }
  SessionTokensCache cache;
  SessionTokenFetcher fetcher(cache);
  std::stop_source stop;
  auto caller = testing_support::launch([&]() -> std::string {
    wiring::Container::Scope bound(container);
    core::StopTokenScope scope(stop.get_token());
    try {
      fetcher.getToken(session, Options());
      return "a token";
    } catch (const httpkit::URLError& error) {
      return error.code() == httpkit::URLError::Code::cancelled ? "cancelled" : error.what();
    }
  });
  ASSERT_EQ(entered.wait_for(20s), std::future_status::ready);
  stop.request_stop();
  ASSERT_EQ(stopped.wait_for(20s), std::future_status::ready) << "nobody stopped the request";
  fetcher.forget({session.id});  // the sign-out
  release.set_value();
  ASSERT_EQ(caller.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(caller.get(), "cancelled");

  EXPECT_FALSE(cache.token({session.id, std::nullopt})) << "the signed-out session's token was kept";
}

TEST(TokenFetchConcurrency, CallersAndThePollerShareTheCacheSafely) {
  SessionsHarness harness(true);
  const Session session = harness.currentSession();
  // Tokens that are never fresh for a ten-second buffer keep every caller and the poller fetching.
  fake_frontend_api::setTokenExpiry(harness.api(), [] { return secondsFromNow(5s); });
  SessionTokenPoller poller([session] { return std::optional<Session>(session); }, 1ms);
  poller.start();
  std::vector<std::thread> threads;
  std::atomic<int> tokens{0};
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      for (int j = 0; j < 20; ++j) {
        if (session.getToken(Options(std::nullopt, j % 3 == 0 ? 0.0 : 10.0, j % 5 == 0))) ++tokens;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  poller.stop();
  EXPECT_EQ(tokens.load(), 160);
  EXPECT_FALSE(poller.isRunning());
}

TEST(TokenPolling, FirstPassAtOnceThenRefreshesBeforeExpiry) {
  SessionsHarness harness(true);
  const Session session = harness.currentSession();
  // Each token has between 10.3 and 11.3 s of life: fresh for a ten-second buffer during about a second.
  fake_frontend_api::setTokenExpiry(harness.api(), [] { return secondsFromNow(11'299ms); });
  SessionTokenPoller poller([&harness] { return harness.vadar().session(); }, 100ms);
  ASSERT_TRUE(poller.start());
  EXPECT_FALSE(poller.start());  // one loop at a time
  EXPECT_TRUE(harness.api().waitForRequests("POST", tokensPath(session), 3, 20s));
  poller.stop();
  EXPECT_TRUE(SessionTokensCache::shared().token({session.id, std::nullopt}));
}

TEST(TokenPolling, StopEndsTheWaitAndStartBeginsAnotherLoop) {
  SessionsHarness harness(true);
  const Session session = harness.currentSession();
  SessionTokenPoller poller([&harness] { return harness.vadar().session(); }, std::chrono::hours(1));
  ASSERT_TRUE(poller.start());
  ASSERT_TRUE(harness.api().waitForRequests("POST", tokensPath(session), 1, 20s));
  poller.stop();  // returns without waiting out the hour
  EXPECT_FALSE(poller.isRunning());
  poller.stop();

  // Without a current session a pass asks for nothing.
  SessionTokenPoller idle([] { return std::optional<Session>(); }, std::chrono::hours(1));
  idle.start();
  idle.stop();
  EXPECT_EQ(harness.api().requestCount("POST", tokensPath(session)), 1u);
}

// An interval past the clock's range means "no further pass", never a spin of passes.
TEST(TokenPolling, AnIntervalPastTheClocksRangeMeansNoFurtherPass) {
  for (const auto interval : {std::chrono::steady_clock::duration::max(),
                              std::chrono::steady_clock::duration::max() - std::chrono::seconds(1)}) {
    std::atomic<int> passes{0};
    SessionTokenPoller poller(
        [&passes] {
          ++passes;
          return std::optional<Session>();
        },
        interval);
    ASSERT_TRUE(poller.start());
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(testing_support::runWithin(10s, [&] { poller.stop(); }));
    EXPECT_EQ(passes.load(), 1) << interval.count();
  }
}

// The source is the application's code: it may stop the poller, or release it, from inside a pass. The loop then
// ends after that pass, and its thread never joins itself.
TEST(TokenPolling, ASourceMayStopOrReleaseItsOwnPoller) {
  for (const bool release : {false, true}) {
    SCOPED_TRACE(release ? "released" : "stopped");
    auto holder = std::make_shared<std::unique_ptr<SessionTokenPoller>>();
    auto passed = std::make_shared<std::promise<void>>();
    *holder = std::make_unique<SessionTokenPoller>(
        [weak = std::weak_ptr(holder), passed, release]() -> std::optional<Session> {
          // Held here: releasing the poller releases this source, and with it what it captured.
          const auto told = passed;
          if (const auto owner = weak.lock()) {
            if (release) {
              owner->reset();
            } else {
              (*owner)->stop();
            }
          }
          told->set_value();
          return std::nullopt;
        },
        1ms);
    ASSERT_TRUE((*holder)->start());
    ASSERT_EQ(passed->get_future().wait_for(20s), std::future_status::ready);
    EXPECT_EQ(*holder == nullptr, release);
    if (!release) {
      EXPECT_FALSE((*holder)->isRunning());
    }
  }
}

// A source that blocks (the application's code, which no stop reaches) holds its pass: stop() waits for it a
// bounded time only, and a loop that outlives the poller ends after its pass without touching it.
TEST(TokenPolling, StopWaitsOnlySoLongForASourceThatBlocks) {
  auto entered = std::make_shared<std::promise<void>>();
  auto release = std::make_shared<std::promise<void>>();
  auto returned = std::make_shared<std::promise<void>>();
  auto poller = std::make_unique<SessionTokenPoller>(
      [entered, held = release->get_future().share(), returned]() -> std::optional<Session> {
        entered->set_value();
        held.wait();
        returned->set_value();
        return std::nullopt;
      },
      1ms);
  ASSERT_TRUE(poller->start());
  ASSERT_EQ(entered->get_future().wait_for(20s), std::future_status::ready);
  auto stopped = std::async(std::launch::async, [&poller] { poller->stop(); });
  const bool stopReturned = stopped.wait_for(20s) == std::future_status::ready;
  release->set_value();  // whatever happened, the source is let go before the test ends
  ASSERT_TRUE(stopReturned) << "stop() waited for a source that blocks";
  EXPECT_FALSE(poller->isRunning());
  poller.reset();
  EXPECT_EQ(returned->get_future().wait_for(20s), std::future_status::ready) << "the pass did not end";
}

TEST(TokenPolling, LoadStartsThePollingAndShutdownStopsIt) {
  SessionsHarness harness(true);
  const Session session = harness.currentSession();
  harness.vadar().load();
  EXPECT_TRUE(SessionTokenPoller::shared().isRunning());
  // The first pass runs at once and finds the current session.
  EXPECT_TRUE(harness.api().waitForRequests("POST", tokensPath(session), 1, 20s));
  // The server has the request; its answer may still be on the way. A caller now joins that fetch or finds
  // its token cached, and sends nothing of its own.
  EXPECT_TRUE(session.getToken());
  EXPECT_EQ(harness.api().requestCount("POST", tokensPath(session)), 1u);
  EXPECT_TRUE(SessionTokensCache::shared().token({session.id, std::nullopt}));
  harness.vadar().shutdown();
  EXPECT_FALSE(SessionTokenPoller::shared().isRunning());

  // Without a key nothing starts.
  auto unconfigured = Vadar::make();
  unconfigured->load();
  EXPECT_FALSE(SessionTokenPoller::shared().isRunning());
}

}  // namespace
}  // namespace vadar
