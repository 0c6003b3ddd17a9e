// Scenarios against a loopback server: what the client sends, what it gives back, and how the delegate's
// hooks and the retry loop see each attempt.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <latch>
#include <mutex>
#include <thread>

#include <foundation/log.hpp>
#include <foundation/serial_queue.hpp>

#include "testing/bounded_task.hpp"
#include "test_support.hpp"

namespace {

using httpkit::AnyRequest;
using httpkit::APIClient;
using httpkit::APIClientDelegate;
using httpkit::DataTask;
using httpkit::HTTPMethod;
using httpkit::Request;
using httpkit::URLError;
using httpkit::URLRequest;
using httpkit_tests::kDeadline;
using httpkit_tests::makeClient;
using httpkit_tests::text;
using httpkit_tests::thrown;
using testing_support::Gate;
using testing_support::LoopbackServer;
using testing_support::Reply;

struct User {
  std::string id;
  std::string firstName;
};
void from_json(const nlohmann::json& json, User& user) {
  json.at("id").get_to(user.id);
  json.at("firstName").get_to(user.firstName);
}


// A delegate whose hooks the test scripts, recording how they were called.
class ScriptedDelegate : public APIClientDelegate {
 public:
  std::function<void(APIClient&, URLRequest&)> onWillSend;
  std::function<bool(APIClient&, const DataTask&, const std::exception_ptr&, int)> onShouldRetry;
  std::function<void(const httpkit::HTTPURLResponse&)> onValidate;
  std::function<std::optional<std::string>(const AnyRequest&)> onMakeURL;

  std::mutex mutex;
  std::vector<int> retryAttempts;
  std::vector<std::exception_ptr> retryErrors;
  std::vector<DataTask> retryTasks;

  void willSendRequest(APIClient& client, URLRequest& request) override { if (onWillSend) onWillSend(client, request); }
  void validateResponse(APIClient& client, const httpkit::HTTPURLResponse& response, const httpkit::Bytes& data,
                        const DataTask& task) override {
    if (onValidate) return onValidate(response);
    APIClientDelegate::validateResponse(client, response, data, task);
  }
  bool shouldRetry(APIClient& client, const DataTask& task, const std::exception_ptr& error, int attempts) override {
    {
      std::lock_guard lock(mutex);
      retryAttempts.push_back(attempts);
      retryErrors.push_back(error);
      retryTasks.push_back(task);
    }
    return onShouldRetry ? onShouldRetry(client, task, error, attempts) : false;
  }
  std::optional<std::string> makeURLForRequest(APIClient& client, const AnyRequest& request) override {
    return onMakeURL ? onMakeURL(request) : APIClientDelegate::makeURLForRequest(client, request);
  }
};

class APIClientTest : public ::testing::Test {
 protected:
  void SetUp() override { server.start(); }
  LoopbackServer server;  // declared first: clients close their connections before the server stops
  std::shared_ptr<ScriptedDelegate> delegate = std::make_shared<ScriptedDelegate>();
  // Answers of GET `path` wait until the returned gate opens.
  std::shared_ptr<Gate> holdAnswers(const std::string& path) {
    auto gate = std::make_shared<Gate>();
    Reply held = Reply::json(200, "{}");
    held.gate = gate;
    server.on("GET", path, held);
    return gate;
  }
};

using Decoding = APIClientTest;

TEST_F(Decoding, DecodedOptionalAndUndecoded) {
  server.on("GET", "/user", Reply::json(200, R"({"id":"u1","firstName":"Ann"})"));
  server.on("GET", "/empty", Reply::json(204, ""));
  server.on("GET", "/plain", Reply::text(200, "not json"));
  auto client = makeClient(server.baseURL());

  auto user = client->send(Request<User>{"/user"});
  EXPECT_EQ(user.value.firstName, "Ann");
  EXPECT_EQ(text(user.data), R"({"id":"u1","firstName":"Ann"})");
  EXPECT_EQ(user.task.originalRequest.url, server.baseURL() + "/user");

  EXPECT_FALSE(client->send(Request<std::optional<User>>{"/empty"}).value.has_value());
  auto present = client->send(Request<std::optional<User>>{"/user"});
  ASSERT_TRUE(present.value.has_value());
  EXPECT_EQ(present.value->firstName, "Ann");

  auto undecoded = client->send(Request<void>{"/plain"});
  EXPECT_EQ(text(undecoded.data), "not json");
}

TEST_F(Decoding, FailuresNameTheTypeAndAreNotRetried) {
  server.on("GET", "/plain", Reply::text(200, "not json"));
  server.on("GET", "/partial", Reply::json(200, R"({"id":"u1"})"));
  server.on("GET", "/empty", Reply::json(200, ""));
  delegate->onShouldRetry = [](auto&&...) { return true; };
  auto client = makeClient(server.baseURL(), delegate);

  for (const char* path : {"/plain", "/partial", "/empty"}) {
    const auto error = thrown<httpkit::DecodingError>([&] { client->send(Request<User>{path}); });
    ASSERT_TRUE(error) << path << " decoded";
    EXPECT_NE(error->typeName().find("User"), std::string::npos) << error->typeName();
    EXPECT_FALSE(error->reason().empty());
  }
  EXPECT_EQ(server.totalHits(), 3);
  EXPECT_TRUE(delegate->retryAttempts.empty());
}

TEST_F(Decoding, ConfiguredCodersAreUsed) {  // snake_case on the wire, camelCase in the values
  server.on("GET", "/user", Reply::json(200, R"({"id":"u2","first_name":"Li"})"));
  server.on("POST", "/echo", [](const testing_support::RecordedRequest& r) { return Reply::json(200, r.body); });
  auto client = makeClient(server.baseURL(), nullptr, [](APIClient::Configuration& c) {
    c.decoder = [](const httpkit::Bytes& data) {
      nlohmann::json in = nlohmann::json::parse(data.begin(), data.end()), out;
      for (auto& [key, value] : in.items()) out[key == "first_name" ? "firstName" : key] = value;
      return out;
    };
    c.encoder = [](const nlohmann::json& json) {
      nlohmann::json out;
      for (auto& [key, value] : json.items()) out[key == "firstName" ? "first_name" : key] = value;
      const std::string s = out.dump();
      return httpkit::Bytes(s.begin(), s.end());
    };
  });
  EXPECT_EQ(client->send(Request<User>{"/user"}).value.firstName, "Li");
  auto echoed = client->send(Request<nlohmann::json>{"/echo", HTTPMethod::post, {}, nlohmann::json{{"firstName", "Bo"}}});
  EXPECT_EQ(server.requests().back().body, R"({"first_name":"Bo"})");
  EXPECT_EQ(echoed.value, (nlohmann::json{{"firstName", "Bo"}}));
}

// nlohmann::json copies, compares and prints a value by recursing into it, so an answer nested deep enough
// would overflow the stack of whoever reads it (a vector of values is read by copying each): the default
// decoder refuses such nesting, and a value it gives back can be copied and printed.
TEST_F(Decoding, AnswersNestedTooDeeplyToReadAreDecodingErrors) {
  const auto nested = [](std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  server.on("GET", "/deep", Reply::json(200, nested(100'000)));
  server.on("GET", "/deep-in-text", Reply::json(200, "[\"" + std::string(100'000, '[') + "\"]"));
  server.on("GET", "/at-the-limit", Reply::json(200, nested(512)));
  server.on("GET", "/past-the-limit", Reply::json(200, "{\"a\":" + nested(512) + "}"));
  auto client = makeClient(server.baseURL());

  for (const char* path : {"/deep", "/past-the-limit"}) {
    const auto error = thrown<httpkit::DecodingError>([&] { client->send(Request<std::vector<nlohmann::json>>{path}); });
    ASSERT_TRUE(error) << path << " decoded";
    EXPECT_NE(error->reason().find("nest"), std::string::npos) << error->reason();
  }
  const auto inText = client->send(Request<std::vector<std::string>>{"/deep-in-text"}).value;
  ASSERT_EQ(inText.size(), 1u);
  EXPECT_EQ(inText[0].size(), 100'000u);
  const auto atLimit = client->send(Request<std::vector<nlohmann::json>>{"/at-the-limit"}).value;
  EXPECT_EQ(nlohmann::json(atLimit).dump(), nested(512));
}

// Coders are the application's: whatever they throw, exception or not, the caller gets the library's error
// for it, and nothing is sent for a body that could not be encoded.
TEST_F(Decoding, WhateverTheCodersThrowIsTheLibrarysError) {
  server.on("GET", "/user", Reply::json(200, R"({"id":"u1","firstName":"Ann"})"));
  server.on("POST", "/user", Reply::json(200, "{}"));
  auto client = makeClient(server.baseURL(), nullptr, [](APIClient::Configuration& c) {
    c.decoder = [](const httpkit::Bytes&) -> nlohmann::json { throw 404; };
    c.encoder = [](const nlohmann::json&) -> httpkit::Bytes { throw "no"; };
  });
  const auto decoding = thrown<httpkit::DecodingError>([&] { client->send(Request<User>{"/user"}); });
  ASSERT_TRUE(decoding);
  EXPECT_NE(decoding->typeName().find("User"), std::string::npos) << decoding->typeName();
  EXPECT_FALSE(decoding->reason().empty());
  const auto encoding = thrown<httpkit::EncodingError>([&] {
    client->send(Request<void>{"/user", HTTPMethod::post, {}, nlohmann::json{{"id", "u1"}}});
  });
  ASSERT_TRUE(encoding);
  EXPECT_EQ(server.hits("POST", "/user"), 0);
}

using Wire = APIClientTest;

TEST_F(Wire, MethodQueryHeadersAndBody) {
  server.on("DELETE", "/v1/sessions/s%2F1", Reply::json(200, "{}"));
  server.on("POST", "/v1/sign_ins", Reply::json(200, "{}"));
  server.on("PATCH", "/v1/me", Reply::json(200, "{}"));
  auto client = makeClient(server.baseURL() + "/", nullptr, [](APIClient::Configuration& c) {
    c.sessionConfiguration.additionalHTTPHeaders = {{"x-mobile", "1"}, {"vadar-api-version", "2025-11-10"}};
  });

  client->send(Request<void>{"v1/sessions/s%2F1", HTTPMethod::delete_, {{"force", std::nullopt}, {"a", "b c"}}});
  client->send(Request<void>{"/v1/sign_ins", HTTPMethod::post, {}, nlohmann::json{{"identifier", "ann"}},
                             {{"X-Mobile", "2"}}});
  client->send(Request<void>{"/v1/me", HTTPMethod::patch});
  // One thread's sends reuse one handle: what a method set must not reach the next request.
  server.on("GET", "/v1/me", Reply::json(200, R"({"id":"u1"})"));
  EXPECT_TRUE(client->send(Request<void>{"/v1/me", HTTPMethod::head}).data.empty());
  client->send(Request<void>{"/v1/sign_ins", HTTPMethod::post, {}, nlohmann::json{{"after", "head"}}});
  EXPECT_EQ(httpkit_tests::text(client->send(Request<void>{"/v1/me"}).data), R"({"id":"u1"})");

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 6u);
  EXPECT_EQ(requests[0].method, "DELETE");
  EXPECT_EQ(requests[0].path, "/v1/sessions/s%2F1");
  EXPECT_EQ(requests[0].query, "force&a=b%20c");
  EXPECT_EQ(requests[0].header("x-mobile"), "1");
  EXPECT_EQ(requests[0].header("vadar-api-version"), "2025-11-10");
  EXPECT_EQ(requests[1].body, R"({"identifier":"ann"})");
  EXPECT_EQ(requests[1].header("Content-Type"), "application/json");
  EXPECT_EQ(requests[1].header("x-mobile"), "2");  // the request's own field wins over the session's
  EXPECT_FALSE(requests[1].header("Expect"));

  EXPECT_EQ(requests[2].header("Content-Length"), "0");
  EXPECT_FALSE(requests[2].header("Content-Type"));
  EXPECT_EQ(requests[3].method, "HEAD");
  EXPECT_EQ(requests[4].method, "POST");
  EXPECT_EQ(requests[4].body, R"({"after":"head"})");
  EXPECT_EQ(requests[5].method, "GET");
  EXPECT_EQ(requests[5].body, "");
}

TEST_F(Wire, AnswerHeadersChunkedBodiesAndConnectionReuse) {
  server.on("GET", "/head", Reply{200, "{}", "application/json", {{"Authorization", "token-1"}, {"X-Many", "a"}}, {}, {}});
  server.on("GET", "/chunked", Reply{200, "", "application/json", {}, {R"({"id":"u3",)", R"("firstName":)", R"("Chunk"})"}, {}});
  auto client = makeClient(server.baseURL());

  auto head = client->send(Request<void>{"/head"});
  EXPECT_EQ(head.response.value("AUTHORIZATION"), "token-1");
  EXPECT_EQ(head.response.url, server.baseURL() + "/head");

  auto chunked = client->send(Request<User>{"/chunked"});
  EXPECT_EQ(chunked.value.firstName, "Chunk");
  ASSERT_TRUE(chunked.metrics);
  EXPECT_TRUE(chunked.metrics->reusedConnection);
  EXPECT_EQ(server.connections(), 1);

  // A scheme in capitals names the same server.
  const std::string shouted = "HTTP" + server.baseURL().substr(4);
  EXPECT_EQ(makeClient(shouted)->send(Request<void>{"/head"}).statusCode(), 200);
  EXPECT_EQ(client->send(Request<void>{shouted + "/head"}).statusCode(), 200);
}

TEST_F(Wire, OversizedAnswersAndUnsendableHeadersAreErrors) {
  server.on("GET", "/big", Reply::text(200, std::string(4096, 'x')));
  auto client = makeClient(server.baseURL(), delegate,
                           [](APIClient::Configuration& c) { c.sessionConfiguration.maximumResponseSize = 1000; });
  const auto error = thrown<URLError>([&] { client->send(Request<void>{"/big"}); });
  ASSERT_TRUE(error) << "no allocation limit";
  EXPECT_EQ(error->code(), URLError::Code::dataLengthExceedsMaximum);

  delegate->onWillSend = [](APIClient&, URLRequest& r) { r.headers.set("X-Injected", "a\r\nX-Evil: 1"); };
  EXPECT_THROW(client->send(Request<void>{"/x"}), httpkit::EncodingError);
  EXPECT_EQ(server.hits("GET", "/x"), 0);  // refused before sending, and not offered for a retry
  EXPECT_EQ(delegate->retryAttempts, std::vector<int>{1});
}

using RetryLoop = APIClientTest;

TEST_F(RetryLoop, DefaultValidationAcceptsOnly2xx) {
  server.on("GET", "/missing", Reply::json(404, R"({"errors":[]})"));
  server.on("GET", "/created", Reply::json(201, "{}"));
  auto client = makeClient(server.baseURL(), delegate);
  EXPECT_EQ(client->send(Request<void>{"/created"}).statusCode(), 201);
  const auto error = thrown<httpkit::APIError>([&] { client->send(Request<void>{"/missing"}); });
  ASSERT_TRUE(error) << "404 accepted";
  EXPECT_EQ(error->statusCode(), 404);
  ASSERT_EQ(delegate->retryAttempts, std::vector<int>{1});
  EXPECT_EQ(delegate->retryTasks[0].originalRequest.method, HTTPMethod::get);
  EXPECT_EQ(delegate->retryTasks[0].originalRequest.url, server.baseURL() + "/missing");

  // A delegate's own validation replaces the default one.
  server.on("GET", "/odd", Reply::json(399, R"({"id":"u4","firstName":"Odd"})"));
  delegate->onValidate = [](const httpkit::HTTPURLResponse& r) {
    if (r.statusCode >= 400) throw URLError(URLError::Code::unknown);
  };
  EXPECT_EQ(client->send(Request<User>{"/odd"}).value.firstName, "Odd");
}

TEST_F(RetryLoop, RetriesEachFromAFreshCopyUntilTheDelegateStops) {
  server.on("GET", "/flaky", Reply::json(503, "{}"));
  delegate->onWillSend = [](APIClient&, URLRequest& r) {
    r.url += "&step=1";
    r.headers.append("X-Step", "1");
  };
  delegate->onShouldRetry = [](APIClient&, const DataTask&, const std::exception_ptr&, int n) { return n < 3; };
  auto client = makeClient(server.baseURL(), delegate);
  EXPECT_THROW(client->send(Request<void>{"/flaky", HTTPMethod::get, {{"q", "1"}}}), httpkit::APIError);

  EXPECT_EQ(server.hits("GET", "/flaky"), 3);
  EXPECT_EQ(delegate->retryAttempts, (std::vector<int>{1, 2, 3}));
  for (const auto& request : server.requests()) {
    EXPECT_EQ(request.query, "q=1&step=1");  // the preprocessor's change is applied once per attempt
    EXPECT_EQ(request.header("x-step"), "1");
  }
  // Each attempt is a task of its own, showing the request as it left.
  EXPECT_NE(delegate->retryTasks[0].taskIdentifier, delegate->retryTasks[1].taskIdentifier);
  EXPECT_EQ(delegate->retryTasks[2].originalRequest.url, server.baseURL() + "/flaky?q=1&step=1");
}

TEST_F(RetryLoop, ASuccessfulRetryIsTheAnswer) {
  std::atomic<int> calls = 0;
  server.on("GET", "/second", [&calls](const testing_support::RecordedRequest&) {
    return ++calls == 1 ? Reply::json(500, "{}") : Reply::json(200, R"({"id":"u5","firstName":"Again"})");
  });
  delegate->onShouldRetry = [](auto&&...) { return true; };
  auto client = makeClient(server.baseURL(), delegate);
  EXPECT_EQ(client->send(Request<User>{"/second"}).value.firstName, "Again");
  EXPECT_EQ(delegate->retryAttempts, std::vector<int>{1});
}

TEST_F(RetryLoop, TransportFailuresAreOfferedWithTheirTask) {
  LoopbackServer closed;
  closed.start();
  const std::string deadURL = closed.baseURL();
  closed.stop();  // the port now refuses connections
  auto client = makeClient(deadURL, delegate);
  const auto error = thrown<URLError>([&] { client->send(Request<void>{"/v1/client", HTTPMethod::post}); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), URLError::Code::cannotConnectToHost);
  ASSERT_EQ(delegate->retryAttempts, std::vector<int>{1});
  const auto offered = thrown<URLError>([&] { std::rethrow_exception(delegate->retryErrors[0]); });
  EXPECT_EQ(offered->code(), URLError::Code::cannotConnectToHost);
  EXPECT_EQ(delegate->retryTasks[0].originalRequest.method, HTTPMethod::post);
}

TEST_F(RetryLoop, ErrorsWithoutATaskAreThrownAtOnce) {
  auto client = makeClient(server.baseURL(), delegate);
  struct HookError : std::runtime_error {
    using std::runtime_error::runtime_error;
  };
  delegate->onShouldRetry = [](auto&&...) { return true; };

  delegate->onWillSend = [](APIClient&, URLRequest&) { throw HookError("willSend"); };
  EXPECT_THROW(client->send(Request<void>{"/x"}), HookError);
  delegate->onWillSend = nullptr;

  delegate->onMakeURL = [](const AnyRequest&) -> std::optional<std::string> { throw HookError("makeURL"); };
  EXPECT_THROW(client->send(Request<void>{"/x"}), HookError);
  delegate->onMakeURL = [](const AnyRequest&) { return std::optional<std::string>("relative/only"); };
  EXPECT_THROW(client->send(Request<void>{"/x"}), URLError);
  delegate->onMakeURL = nullptr;

  EXPECT_THROW(client->send(Request<void>{"/bad path"}), URLError);
  auto noBase = makeClient(std::nullopt, delegate);
  EXPECT_THROW(noBase->send(Request<void>{"/x"}), URLError);
  auto badBase = makeClient("mailto:someone", delegate);
  EXPECT_THROW(badBase->send(Request<void>{"/x"}), URLError);
  EXPECT_THROW(client->send(Request<void>{"/x", HTTPMethod::post, {}, nlohmann::json(std::string("\xc3"))}),
               httpkit::EncodingError);

  EXPECT_EQ(server.totalHits(), 0);
  EXPECT_TRUE(delegate->retryAttempts.empty());
}

TEST_F(RetryLoop, AThrowFromShouldRetryFailsTheSendWithIt) {
  server.on("GET", "/fail", Reply::json(500, "{}"));
  delegate->onShouldRetry = [](auto&&...) -> bool { throw std::logic_error("no assertion"); };
  auto client = makeClient(server.baseURL(), delegate);
  EXPECT_THROW(client->send(Request<void>{"/fail"}), std::logic_error);
  EXPECT_EQ(server.hits("GET", "/fail"), 1);
}

TEST_F(RetryLoop, IdleTimeoutIsATimedOutTransportError) {
  auto gate = holdAnswers("/slow");
  auto client = makeClient(server.baseURL(), delegate, [](APIClient::Configuration& c) {
    c.sessionConfiguration.timeoutIntervalForRequest = std::chrono::seconds(1);
  });
  const auto error = thrown<URLError>([&] { client->send(Request<void>{"/slow"}); });
  ASSERT_TRUE(error) << "no timeout";
  EXPECT_EQ(error->code(), URLError::Code::timedOut);
  EXPECT_EQ(delegate->retryAttempts, std::vector<int>{1});
  gate->open();
}

using SendConcurrency = APIClientTest;

TEST_F(SendConcurrency, AHookSendsThroughTheSameClient) {
  // As an authentication retry does: the first answer asks for an assertion, the retry decision posts it
  // through the same client and then lets the request go again.
  std::atomic<int> calls = 0;
  server.on("GET", "/v1/client", [&calls](const testing_support::RecordedRequest&) {
    return ++calls == 1 ? Reply::json(403, R"({"code":"requires_assertion"})") : Reply::json(200, R"({"id":"c","firstName":"C"})");
  });
  server.on("POST", "/v1/client/verify", Reply::json(200, "{}"));
  server.on("GET", "/token", Reply::json(200, "{}"));
  delegate->onWillSend = [](APIClient& client, URLRequest& request) {
    if (request.url.find("/v1/client") != std::string::npos && request.url.find("verify") == std::string::npos) {
      client.send(Request<void>{"/token"});  // a nested send from inside a hook
    }
  };
  delegate->onShouldRetry = [](APIClient& client, const DataTask& task, const std::exception_ptr&, int attempts) {
    if (attempts != 1 || task.originalRequest.url.find("verify") != std::string::npos) return false;
    client.send(Request<void>{"/v1/client/verify", HTTPMethod::post, {}, nlohmann::json{{"token", "t"}}});
    return true;
  };
  auto client = makeClient(server.baseURL(), delegate);
  auto result = testing_support::launch([&] { return client->send(Request<User>{"/v1/client"}).value.id; });
  ASSERT_EQ(result.wait_for(kDeadline), std::future_status::ready) << "deadlocked";
  EXPECT_EQ(result.get(), "c");
  EXPECT_EQ(server.hits("POST", "/v1/client/verify"), 1);
  EXPECT_EQ(server.hits("GET", "/token"), 2);
  EXPECT_EQ(server.hits("GET", "/v1/client"), 2);
}

TEST_F(SendConcurrency, StopTokenCancelsAHeldTransfer) {
  auto gate = holdAnswers("/held");
  delegate->onShouldRetry = [](auto&&...) { return true; };
  auto client = makeClient(server.baseURL(), delegate);

  std::stop_source stop;
  auto result = testing_support::launch([&] {
    return thrown<URLError>([&] { client->send(Request<void>{"/held"}, stop.get_token()); });
  });
  ASSERT_TRUE(gate->waitForArrivals(1, kDeadline));
  stop.request_stop();
  ASSERT_EQ(result.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(result.get().value().code(), URLError::Code::cancelled);
  EXPECT_TRUE(delegate->retryAttempts.empty());  // a cancelled send is not offered for a retry
  gate->open();

  // Already stopped: nothing is sent.
  std::stop_source early;
  early.request_stop();
  EXPECT_THROW(client->send(Request<void>{"/never"}, early.get_token()), URLError);
  EXPECT_EQ(server.hits("GET", "/never"), 0);
}

TEST_F(SendConcurrency, ManyThreadsShareOneClient) {
  server.on("POST", "/echo", [](const testing_support::RecordedRequest& r) { return Reply::json(200, r.body); });
  auto client = makeClient(server.baseURL());
  constexpr int kThreads = 8, kEach = 20;
  std::latch go(kThreads);
  std::vector<testing_support::BoundedTask<int>> results;
  for (int t = 0; t < kThreads; ++t) {
    results.push_back(testing_support::launch([&, t] {
      go.arrive_and_wait();
      int correct = 0;
      for (int i = 0; i < kEach; ++i) {
        const nlohmann::json body{{"thread", t}, {"i", i}};
        if (client->send(Request<nlohmann::json>{"/echo", HTTPMethod::post, {}, body}).value == body) ++correct;
      }
      return correct;
    }));
  }
  for (auto& result : results) {
    ASSERT_EQ(result.wait_for(kDeadline), std::future_status::ready);
    EXPECT_EQ(result.get(), kEach);
  }
  // Connections are kept between sends: never more than the senders at any one time.
  EXPECT_LE(server.connections(), kThreads);
}

TEST_F(SendConcurrency, SixtyFourHeldSendsAreServedAtOnce) {
  auto gate = holdAnswers("/held");
  auto client = makeClient(server.baseURL());
  constexpr int kSends = 64;
  std::vector<std::future<int>> results;
  for (int i = 0; i < kSends; ++i) {
    results.push_back(std::async(std::launch::async, [&] { return client->send(Request<void>{"/held"}).statusCode(); }));
  }
  const bool allArrived = gate->waitForArrivals(kSends, kDeadline);
  gate->open();
  EXPECT_TRUE(allArrived) << gate->arrivals() << " of " << kSends << " requests reached the server";
  for (auto& result : results) {
    ASSERT_EQ(result.wait_for(kDeadline), std::future_status::ready);
    EXPECT_EQ(result.get(), 200);
  }
}

// Records what the engine's worker reports about one transfer.
struct WorkerObserver : httpkit::TransferObserver {
  std::promise<std::optional<URLError>> done;
  httpkit::HTTPURLResponse response;
  std::string body;
  void didReceiveResponse(const httpkit::HTTPURLResponse& r) override { response = r; }
  void didReceiveData(std::span<const std::uint8_t> bytes) override { body.append(bytes.begin(), bytes.end()); }
  void didComplete(const std::optional<URLError>& error, const httpkit::TaskMetrics&) override { done.set_value(error); }
};

TEST_F(SendConcurrency, WorkerTransfersFollowRedirectsAndTimeOutAsSendsDo) {
  server.on("PUT", "/old", Reply{308, "", "text/plain", {{"Location", "/new"}}, {}, {}});
  server.on("PUT", "/new", Reply::json(200, R"({"stored":true})"));
  auto gate = holdAnswers("/held");
  httpkit::TransferEngine engine;

  auto moved = std::make_shared<WorkerObserver>();
  auto movedDone = moved->done.get_future();
  engine.start(URLRequest{server.baseURL() + "/old", HTTPMethod::put, {}, httpkit::Bytes{'4', '2'}}, {}, moved);
  ASSERT_EQ(movedDone.wait_for(kDeadline), std::future_status::ready);
  EXPECT_FALSE(movedDone.get());
  EXPECT_EQ(moved->response.url, server.baseURL() + "/new");
  EXPECT_EQ(moved->body, R"({"stored":true})");
  EXPECT_EQ(server.requests().back().body, "42");

  httpkit::TransferOptions options;
  options.idleTimeout = std::chrono::milliseconds(300);
  auto stalled = std::make_shared<WorkerObserver>();
  auto stalledDone = stalled->done.get_future();
  engine.start(URLRequest{server.baseURL() + "/held", HTTPMethod::get, {}, std::nullopt}, options, stalled);
  ASSERT_EQ(stalledDone.wait_for(kDeadline), std::future_status::ready);
  const auto error = stalledDone.get();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), URLError::Code::timedOut);
  gate->open();
}

TEST_F(SendConcurrency, DestroyingTheEngineEndsItsStreamingTransfers) {
  auto gate = holdAnswers("/held");
  auto engine = std::make_shared<httpkit::TransferEngine>();
  auto observer = std::make_shared<WorkerObserver>();
  auto completed = observer->done.get_future();
  engine->start(URLRequest{server.baseURL() + "/held", HTTPMethod::get, {}, std::nullopt}, {}, observer);
  ASSERT_TRUE(gate->waitForArrivals(1, kDeadline));
  engine.reset();
  ASSERT_EQ(completed.wait_for(kDeadline), std::future_status::ready);
  auto error = completed.get();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), URLError::Code::cancelled);
  gate->open();
}

// An application that replaces its client while sends are under way on other threads: the sends end as
// cancelled, the client is gone only once they have returned, and nothing is offered for a retry.
TEST_F(SendConcurrency, DestroyingTheClientEndsHeldSends) {
  auto gate = holdAnswers("/held");
  std::promise<void> inHook, hookMayReturn;
  delegate->onWillSend = [&, mayReturn = hookMayReturn.get_future().share()](APIClient&, URLRequest& request) {
    if (request.url.find("/hooked") == std::string::npos) return;
    inHook.set_value();
    // Past the deadline the test has failed already; the hook returns so that the send can end.
    mayReturn.wait_for(kDeadline);
  };
  delegate->onShouldRetry = [](auto&&...) { return true; };
  auto client = makeClient(server.baseURL(), delegate);
  APIClient* const shared = client.get();  // the senders never read `client` itself, which the test resets

  constexpr int kHeld = 4;
  std::vector<testing_support::BoundedTask<std::optional<URLError>>> sends;
  for (int i = 0; i < kHeld; ++i) {
    sends.push_back(testing_support::launch(
        [shared] { return thrown<URLError>([&] { shared->send(Request<void>{"/held"}); }); }));
  }
  sends.push_back(testing_support::launch(
      [shared] { return thrown<URLError>([&] { shared->send(Request<void>{"/hooked"}); }); }));
  ASSERT_TRUE(gate->waitForArrivals(kHeld, kDeadline));
  ASSERT_EQ(inHook.get_future().wait_for(kDeadline), std::future_status::ready) << "the hook was never called";

  std::atomic<bool> destroyed = false;
  auto destroying = testing_support::launch([&] {
    client.reset();
    destroyed = true;
  });
  // The send in the hook has not returned, so the client is still there; once the hook returns, that
  // send ends without going out.
  EXPECT_NE(destroying.wait_for(std::chrono::milliseconds(200)), std::future_status::ready);
  EXPECT_FALSE(destroyed);
  hookMayReturn.set_value();
  ASSERT_EQ(destroying.wait_for(kDeadline), std::future_status::ready) << "the destructor did not return";
  for (auto& send : sends) {
    ASSERT_EQ(send.wait_for(kDeadline), std::future_status::ready);
    const auto error = send.get();
    ASSERT_TRUE(error) << "a send succeeded without its answer";
    EXPECT_EQ(error->code(), URLError::Code::cancelled);
  }
  EXPECT_TRUE(delegate->retryAttempts.empty());
  EXPECT_EQ(server.hits("GET", "/hooked"), 0);
  gate->open();
}

// Lines the library logs while the test runs.
class CapturedLog {
 public:
  CapturedLog()
      : previous_(foundation::setLogSink([this](foundation::LogLevel, std::string_view line) {
          std::lock_guard lock(mutex_);
          lines_.emplace_back(line);
        })) {}
  ~CapturedLog() { foundation::setLogSink(previous_); }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  foundation::LogSink previous_;
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

using ReleasedInAHook = APIClientTest;

// An application may let go of its client from any of the client's calls into it, on the thread of the send
// that made the call: the destructor does not wait for that send, which ends as cancelled without another
// call into the application (an answer already validated is still handed over).
TEST_F(ReleasedInAHook, TheSendEndsWithoutTheClient) {
  server.on("POST", "/ok", Reply::json(200, R"({"id":"u1","firstName":"Ann"})"));
  server.on("POST", "/failing", Reply::json(500, "{}"));
  enum class Hook { makeURL, encoder, willSend, validateAccepting, validateThrowing, shouldRetry, decoder };
  struct Case {
    const char* what;
    Hook hook;
    const char* path;
    bool answered;  // the send gives the answer, not `cancelled`
  };
  const std::vector<Case> cases{
      {"making the URL", Hook::makeURL, "/ok", false},
      {"encoding the body", Hook::encoder, "/ok", false},
      {"before the send", Hook::willSend, "/ok", false},
      {"validating, then accepting", Hook::validateAccepting, "/ok", true},
      {"validating, then refusing", Hook::validateThrowing, "/ok", false},
      {"deciding on a retry", Hook::shouldRetry, "/failing", false},
      {"decoding the body", Hook::decoder, "/ok", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CapturedLog log;
    auto hooks = std::make_shared<ScriptedDelegate>();
    std::unique_ptr<APIClient> client;
    std::atomic<bool> released = false;
    const auto release = [&](Hook hook) {
      if (hook != c.hook) return;
      client.reset();
      released = true;
    };
    hooks->onMakeURL = [&](const AnyRequest&) {
      release(Hook::makeURL);
      return std::optional<std::string>();
    };
    hooks->onWillSend = [&](APIClient&, URLRequest&) { release(Hook::willSend); };
    hooks->onValidate = [&](const httpkit::HTTPURLResponse& response) {
      release(Hook::validateAccepting);
      release(Hook::validateThrowing);
      if (c.hook == Hook::validateThrowing || response.statusCode != 200) {
        throw httpkit::APIError::unacceptableStatusCode(response.statusCode);
      }
    };
    hooks->onShouldRetry = [&](auto&&...) {
      release(Hook::shouldRetry);
      return c.hook == Hook::shouldRetry;
    };
    client = makeClient(server.baseURL(), hooks, [&](APIClient::Configuration& configuration) {
      configuration.encoder = [&](const nlohmann::json& body) {
        release(Hook::encoder);
        const std::string encoded = body.dump();
        return httpkit::Bytes(encoded.begin(), encoded.end());
      };
      configuration.decoder = [&](const httpkit::Bytes& data) {
        release(Hook::decoder);
        return nlohmann::json::parse(data.begin(), data.end());
      };
    });
    APIClient* const sender = client.get();
    const auto outcome = testing_support::runWithin(kDeadline, [&] {
      return thrown<URLError>([&] {
        const auto user = sender->send(Request<User>{c.path, HTTPMethod::post, {}, nlohmann::json{{"a", 1}}});
        EXPECT_EQ(user.value.firstName, "Ann");
      });
    });
    ASSERT_TRUE(outcome);
    EXPECT_TRUE(released);
    if (c.answered) {
      EXPECT_FALSE(*outcome) << (*outcome)->what();
    } else {
      ASSERT_TRUE(*outcome) << "the send succeeded without its client";
      EXPECT_EQ((*outcome)->code(), URLError::Code::cancelled) << (*outcome)->what();
    }
    EXPECT_LE(hooks->retryAttempts.size(), 1u) << "asked again after the client was gone";
    EXPECT_TRUE(log.lines().empty()) << log.lines().front();
  }
}

// The session delegate is told on its queue, which may be the client's own: releasing the client there
// ends the client and its queue once the event has returned.
TEST_F(ReleasedInAHook, TheSessionDelegateMayReleaseTheClient) {
  server.on("GET", "/ok", Reply::json(200, "{}"));
  struct Releasing : httpkit::URLSessionDelegate {
    std::shared_ptr<APIClient> client;
    std::promise<void> released;
    void didCompleteWithError(const DataTask&, const std::optional<URLError>&) override {
      client.reset();
      released.set_value();
    }
  };
  for (const bool ownQueue : {true, false}) {
    SCOPED_TRACE(ownQueue ? "on the client's own queue" : "on the application's queue");
    CapturedLog log;
    auto watcher = std::make_shared<Releasing>();
    auto queue = std::make_shared<foundation::SerialQueue>("test.releasing-delegate");
    std::shared_ptr<APIClient> client = makeClient(server.baseURL(), nullptr, [&](APIClient::Configuration& c) {
      c.sessionDelegate = watcher;
      if (!ownQueue) c.sessionDelegateQueue = queue;
    });
    watcher->client = client;
    client->send(Request<void>{"/ok"});
    client.reset();
    ASSERT_EQ(watcher->released.get_future().wait_for(kDeadline), std::future_status::ready);
    queue->sync([] {});
    EXPECT_TRUE(log.lines().empty()) << log.lines().front();
  }
}

// What the session delegate is told, in order, and where: bodies as one text, other events by name.
struct SessionWatcher : httpkit::URLSessionDelegate {
  std::shared_ptr<foundation::SerialQueue> expectedQueue;
  std::vector<std::string> events;  // written on the delegate queue only
  std::vector<std::uint64_t> tasks;
  bool offQueue = false;

  void note(const DataTask& task, std::string event) {
    if (expectedQueue && !expectedQueue->isCurrent()) offQueue = true;
    tasks.push_back(task.taskIdentifier);
    if (event.rfind("data ", 0) == 0 && !events.empty() && events.back().rfind("data ", 0) == 0) {
      events.back() += event.substr(5);
      return;
    }
    events.push_back(std::move(event));
  }
  void didReceiveResponse(const DataTask& task, const httpkit::HTTPURLResponse& response) override {
    note(task, "response " + std::to_string(response.statusCode));
  }
  void didReceiveData(const DataTask& task, const httpkit::Bytes& data) override { note(task, "data " + text(data)); }
  void didFinishCollectingMetrics(const DataTask& task, const httpkit::TaskMetrics& metrics) override {
    note(task, "metrics " + std::to_string(metrics.redirectCount));
  }
  void didCompleteWithError(const DataTask& task, const std::optional<URLError>& error) override {
    note(task, error ? "end " + std::to_string(static_cast<int>(error->code())) : "end");
  }
};

using SessionEvents = APIClientTest;

TEST_F(SessionEvents, EachAttemptIsToldOnTheDelegateQueueInOrder) {
  server.on("GET", "/moved", Reply{302, "", "text/plain", {{"Location", "/chunked"}}, {}, {}});
  server.on("GET", "/chunked", Reply{200, "", "text/plain", {}, {"ab", "cd"}, {}});
  auto queue = std::make_shared<foundation::SerialQueue>("test.session-delegate");
  auto watcher = std::make_shared<SessionWatcher>();
  watcher->expectedQueue = queue;
  auto client = makeClient(server.baseURL(), delegate, [&](APIClient::Configuration& c) {
    c.sessionDelegate = watcher;
    c.sessionDelegateQueue = queue;
  });
  const auto sent = client->send(Request<void>{"/moved"});
  LoopbackServer closed;
  closed.start();
  const std::string refusing = closed.baseURL() + "/gone";
  closed.stop();
  delegate->onMakeURL = [&](const AnyRequest&) { return std::optional<std::string>(refusing); };
  EXPECT_THROW(client->send(Request<void>{"/gone"}), URLError);
  queue->sync([] {});

  const auto refused = std::to_string(static_cast<int>(URLError::Code::cannotConnectToHost));
  EXPECT_EQ(watcher->events,
            (std::vector<std::string>{"response 200", "data abcd", "metrics 1", "end", "metrics 0", "end " + refused}));
  EXPECT_FALSE(watcher->offQueue);
  ASSERT_FALSE(watcher->tasks.empty());
  EXPECT_EQ(watcher->tasks.front(), sent.task.taskIdentifier);
  EXPECT_NE(watcher->tasks.back(), sent.task.taskIdentifier);

  // Without a queue of the caller's, the client makes one: events never run on the sending thread.
  auto own = std::make_shared<SessionWatcher>();
  auto ownQueueClient =
      makeClient(server.baseURL(), nullptr, [&](APIClient::Configuration& c) { c.sessionDelegate = own; });
  const auto& ownQueue = ownQueueClient->configuration().sessionDelegateQueue;
  ASSERT_TRUE(ownQueue);
  own->expectedQueue = ownQueue;
  ownQueueClient->send(Request<void>{"/chunked"});
  ownQueue->sync([] {});
  EXPECT_EQ(own->events, (std::vector<std::string>{"response 200", "data abcd", "metrics 0", "end"}));
  EXPECT_FALSE(own->offQueue);
}

}  // namespace
