// Where a request ends is the client's to say: framing fields a caller sets (on the request or for the whole
// session) must never make a strict server read a body other than the one sent. A raw server frames each
// request as such a server would and records what it read.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <memory>

#include <httpkit/transfer_engine.hpp>
#include <testing/bounded_task.hpp>

#include "framing_server.hpp"
#include "test_support.hpp"

namespace {

using httpkit::APIClient;
using httpkit::HTTPHeaders;
using httpkit::HTTPMethod;
using httpkit::Request;
using httpkit_tests::FramingServer;
using httpkit_tests::kDeadline;
using httpkit_tests::makeClient;

// 30 bytes once encoded as JSON text.
const nlohmann::json kBody = std::string(28, 'b');

std::unique_ptr<APIClient> clientFor(const FramingServer& server, const HTTPHeaders& sessionFields = {}) {
  return makeClient(server.baseURL(), nullptr, [&](APIClient::Configuration& c) {
    // A request whose framing the server still waits on ends here instead of hanging the test.
    c.sessionConfiguration.timeoutIntervalForRequest = std::chrono::seconds(2);
    c.sessionConfiguration.additionalHTTPHeaders = sessionFields;
  });
}

void send(APIClient& client, const Request<void>& request) {
  ASSERT_TRUE(testing_support::runWithin(kDeadline, [&] { client.send(request); }));
}

// A length that contradicts the body, set where a caller can set it: the server reads the body that was
// sent and nothing else, and the next request on the same connection arrives as sent.
TEST(RequestFraming, AContradictingContentLengthNeverReachesTheWire) {
  struct Case {
    const char* what;
    HTTPMethod method;
    bool withBody;
    HTTPHeaders requestFields;
    HTTPHeaders sessionFields;
  };
  const std::vector<Case> cases{
      {"a POST whose field is shorter than its body", HTTPMethod::post, true, {{"Content-Length", "2"}}, {}},
      {"a POST whose field is longer than its body", HTTPMethod::post, true, {{"content-length", "100"}}, {}},
      {"a GET with a length", HTTPMethod::get, false, {{"Content-Length", "30"}}, {}},
      {"a length in the session's fields", HTTPMethod::post, true, {}, {{"Content-Length", "2"}}},
      {"a GET with the session's length", HTTPMethod::get, false, {}, {{"Content-Length", "30"}}},
      {"a GET with a chunked coding", HTTPMethod::get, false, {{"Transfer-Encoding", "chunked"}}, {}},
      // A HEAD carries no body, even one the caller gave it, so it has nothing to frame.
      {"a HEAD given a body and a chunked coding", HTTPMethod::head, true, {{"Transfer-Encoding", "chunked"}}, {}},
      {"a HEAD given a body and a length", HTTPMethod::head, true, {{"Content-Length", "30"}}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FramingServer server;
    auto client = clientFor(server, c.sessionFields);
    Request<void> first{"/first", c.method, {}, std::nullopt, c.requestFields};
    if (c.withBody) first.body = kBody;
    send(*client, first);
    send(*client, Request<void>{"/second"});

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2u) << "the server framed another number of requests than were sent";
    EXPECT_EQ(requests[0].requestLine(), std::string(c.method.rawValue) + " /first HTTP/1.1");
    const bool sent = c.withBody && c.method.rawValue != "HEAD";
    EXPECT_EQ(requests[0].body, sent ? kBody.dump() : "");
    EXPECT_EQ(requests[0].field("Content-Length"), sent ? std::optional<std::string>("30") : std::nullopt);
    EXPECT_FALSE(requests[0].field("Transfer-Encoding"));
    EXPECT_EQ(requests[1].requestLine(), "GET /second HTTP/1.1");
    EXPECT_EQ(server.connections(), 1) << "the requests did not share the connection";
  }
}

// A caller may ask for its body to be sent in chunks; the framing is then the chunked coding alone. Any
// other transfer coding is one the client does not apply, so such a request is refused before it is sent.
TEST(RequestFraming, AChunkedBodyIsFramedByItsChunksAndOtherCodingsAreRefused) {
  FramingServer server;
  auto client = clientFor(server);
  send(*client, Request<void>{"/chunked", HTTPMethod::put, {}, kBody,
                              {{"Transfer-Encoding", "chunked"}, {"Content-Length", "2"}}});
  send(*client, Request<void>{"/second"});
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].field("Transfer-Encoding"), "chunked");
  EXPECT_FALSE(requests[0].field("Content-Length")) << "a chunked body was framed twice";
  EXPECT_EQ(requests[0].body, kBody.dump());
  EXPECT_EQ(requests[1].requestLine(), "GET /second HTTP/1.1");

  for (const char* coding : {"gzip", "gzip, chunked", "identity"}) {
    SCOPED_TRACE(coding);
    const auto refused = httpkit_tests::thrown<httpkit::EncodingError>([&] {
      client->send(Request<void>{"/coded", HTTPMethod::post, {}, kBody, {{"Transfer-Encoding", coding}}});
    });
    ASSERT_TRUE(refused) << "sent with a coding it does not have";
    EXPECT_NE(std::string(refused->what()).find("Transfer-Encoding"), std::string::npos) << refused->what();
  }
  EXPECT_EQ(server.requests().size(), 2u);
}

// A method longer than the transfer library takes is refused as it is, never sent as another method.
TEST(RequestFraming, AMethodThatCannotBeSentIsRefusedNotReplaced) {
  FramingServer server;
  auto client = clientFor(server);
  const std::string method(9 << 20, 'M');
  const auto refused = httpkit_tests::thrown<httpkit::EncodingError>([&] {
    client->send(Request<void>{"/long", HTTPMethod(method), {}, kBody});
  });
  ASSERT_TRUE(refused) << "a method it could not send was replaced";
  send(*client, Request<void>{"/next"});
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].requestLine(), "GET /next HTTP/1.1");
}

// Bytes a kept connection received while it sat idle were asked for by nobody (the rest of a body longer
// than its announced length, or an answer slipped in by whoever broke into the stream): the next request
// on that connection must not take them for its answer. It goes out on a fresh connection instead.
TEST(KeptConnections, BytesThatArriveOnAnIdleConnectionAreNeverTheNextAnswer) {
  const std::string unasked = "HTTP/1.1 200 OK\r\nContent-Length: 16\r\n\r\n{\"unasked\":true}";
  struct Body : httpkit::TransferObserver {
    std::promise<std::optional<httpkit::URLError>> done;
    std::string body;
    void didReceiveResponse(const httpkit::HTTPURLResponse&) override {}
    void didReceiveData(std::span<const std::uint8_t> bytes) override { body.append(bytes.begin(), bytes.end()); }
    void didComplete(const std::optional<httpkit::URLError>& error, const httpkit::TaskMetrics&) override {
      done.set_value(error);
    }
  };
  for (const bool streaming : {false, true}) {
    SCOPED_TRACE(streaming ? "a streaming transfer" : "a blocking send");
    FramingServer server;
    auto client = clientFor(server);
    // The answer's body, or what went wrong. A POST too: its body must go out again on the fresh connection.
    auto send = [&](const std::string& path, bool post = false) {
      const std::string body = post ? kBody.dump() : "";
      if (streaming) {
        auto stream = std::make_shared<Body>();
        auto ended = stream->done.get_future();
        httpkit::URLRequest request{server.baseURL() + path, post ? HTTPMethod::post : HTTPMethod::get, {}, std::nullopt};
        if (post) request.body = httpkit::Bytes(body.begin(), body.end());
        client->engine()->start(request, {}, stream);
        if (ended.wait_for(kDeadline) != std::future_status::ready) return std::string("no end");
        const auto error = ended.get();
        return error ? std::string(error->what()) : stream->body;
      }
      std::string answer;
      EXPECT_TRUE(testing_support::runWithin(kDeadline, [&] {
        Request<void> request{path, post ? HTTPMethod::post : HTTPMethod::get};
        if (post) request.body = kBody;
        answer = httpkit_tests::text(client->send(request).data);
      }));
      return answer;
    };
    EXPECT_EQ(send("/first"), "{}");
    ASSERT_TRUE(server.sendUnasked(unasked, kDeadline));
    EXPECT_EQ(send("/second"), "{}") << "the bytes nobody asked for were taken for the answer";
    ASSERT_TRUE(server.sendUnasked(unasked, kDeadline));
    EXPECT_EQ(send("/third", true), "{}");
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1].requestLine(), "GET /second HTTP/1.1");
    EXPECT_EQ(requests[2].requestLine(), "POST /third HTTP/1.1");
    EXPECT_EQ(requests[2].body, kBody.dump());
    EXPECT_EQ(server.connections(), 3);
    // A connection that carried nothing unasked is still kept.
    EXPECT_EQ(send("/fourth"), "{}");
    EXPECT_EQ(server.connections(), 3);
  }
}

}  // namespace

// A kept connection the server closes after reading a request, without a byte of answer: the request reached
// the server, which may have acted on it. An idempotent one may go out again on a fresh connection; a POST or
// a PATCH (a sign-in step, a code to verify) must not reach the server twice, so it fails as a lost
// connection and the caller decides.
TEST(KeptConnections, ARequestWhoseConnectionDiesUnansweredIsSentAgainOnlyWhenIdempotent) {
  static const std::string kAnswer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}";
  struct Case {
    HTTPMethod method;
    bool sentAgain;
  };
  for (const auto& c : {Case{HTTPMethod::get, true}, Case{HTTPMethod::put, true}, Case{HTTPMethod::delete_, true},
                        Case{HTTPMethod::post, false}, Case{HTTPMethod::patch, false}}) {
    SCOPED_TRACE(c.method.rawValue);
    FramingServer server;
    auto client = clientFor(server);
    server.answerWith({kAnswer, FramingServer::kClose});
    send(*client, Request<void>{"/first"});
    Request<void> second{"/second", c.method};
    if (c.method != HTTPMethod::get && c.method != HTTPMethod::delete_) second.body = kBody;
    std::optional<httpkit::URLError> error;
    ASSERT_TRUE(testing_support::runWithin(kDeadline, [&] {
      error = httpkit_tests::thrown<httpkit::URLError>([&] { client->send(second); });
    }));

    const auto requests = server.requests();
    const std::string line = std::string(c.method.rawValue) + " /second HTTP/1.1";
    const auto seen = std::count_if(requests.begin(), requests.end(),
                                    [&](const FramingServer::Request& r) { return r.requestLine() == line; });
    if (c.sentAgain) {
      EXPECT_FALSE(error) << error->what();
      EXPECT_EQ(seen, 2) << "an idempotent request was not sent again on a fresh connection";
    } else {
      ASSERT_TRUE(error) << "the server received the request " << seen << " times";
      EXPECT_EQ(error->code(), httpkit::URLError::Code::networkConnectionLost) << error->what();
      EXPECT_EQ(seen, 1) << "a request that must not be repeated reached the server again";
    }
    // The client goes on with a fresh connection either way.
    send(*client, Request<void>{"/third"});
    EXPECT_EQ(server.requests().back().requestLine(), "GET /third HTTP/1.1");
  }
}

// The same on the engine's worker, which streams: a POST fails there too instead of going out twice.
TEST(KeptConnections, AStreamedRequestWhoseConnectionDiesUnansweredIsSentAgainOnlyWhenIdempotent) {
  struct Ended : httpkit::TransferObserver {
    std::promise<std::optional<httpkit::URLError>> done;
    void didReceiveResponse(const httpkit::HTTPURLResponse&) override {}
    void didReceiveData(std::span<const std::uint8_t>) override {}
    void didComplete(const std::optional<httpkit::URLError>& error, const httpkit::TaskMetrics&) override {
      done.set_value(error);
    }
  };
  for (const auto& method : {HTTPMethod::get, HTTPMethod::post}) {
    SCOPED_TRACE(method.rawValue);
    FramingServer server;
    auto client = clientFor(server);
    server.answerWith({"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}", FramingServer::kClose});
    auto stream = [&](const std::string& path) {
      auto observer = std::make_shared<Ended>();
      auto ended = observer->done.get_future();
      httpkit::URLRequest request{server.baseURL() + path, method, {}, std::nullopt};
      if (method == HTTPMethod::post) request.body = httpkit::Bytes{'{', '}'};
      client->engine()->start(request, {}, observer);
      EXPECT_EQ(ended.wait_for(kDeadline), std::future_status::ready);
      return ended.get();
    };
    EXPECT_FALSE(stream("/first"));
    const auto error = stream("/second");
    const auto requests = server.requests();
    const auto seen = std::count_if(requests.begin(), requests.end(), [&](const FramingServer::Request& r) {
      return r.requestLine() == method.rawValue + " /second HTTP/1.1";
    });
    if (method == HTTPMethod::get) {
      EXPECT_FALSE(error) << error->what();
      EXPECT_EQ(seen, 2);
    } else {
      ASSERT_TRUE(error);
      EXPECT_EQ(error->code(), httpkit::URLError::Code::networkConnectionLost) << error->what();
      EXPECT_EQ(seen, 1) << "a request that must not be repeated reached the server again";
    }
  }
}
