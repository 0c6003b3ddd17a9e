// Servers that behave oddly but within what HTTP allows, or not at all, played byte for byte: answers whose
// end is unusual (the next request on the kept connection shows whether the client read each one where the
// server meant it to end), bodies that decode to far more than they take, resets, floods and trickles,
// addresses that are not quite URLs.
#include <gtest/gtest.h>

#include <future>
#include <span>

#include <foundation/serial_queue.hpp>
#include <httpkit/transfer_engine.hpp>
#include <testing/bounded_task.hpp>
#include <testing/scripted_server.hpp>

#include "framing_server.hpp"
#include "test_support.hpp"

namespace {

using httpkit::APIClient;
using httpkit::HTTPMethod;
using httpkit::Request;
using httpkit::URLError;
using httpkit_tests::FramingServer;
using httpkit_tests::makeClient;
using httpkit_tests::text;
using httpkit_tests::thrown;
using testing_support::ScriptedServer;
using std::chrono::milliseconds;

// Every status is an answer here: what is looked at is where each one ends.
struct AcceptEveryStatus : httpkit::APIClientDelegate {
  void validateResponse(APIClient&, const httpkit::HTTPURLResponse&, const httpkit::Bytes&,
                        const httpkit::DataTask&) override {}
};

std::unique_ptr<APIClient> clientFor(const std::string& baseURL, std::size_t cap = 1 << 20) {
  return makeClient(baseURL, std::make_shared<AcceptEveryStatus>(), [&](APIClient::Configuration& c) {
    c.sessionConfiguration.timeoutIntervalForRequest = std::chrono::seconds(5);
    c.sessionConfiguration.maximumResponseSize = cap;
  });
}

// The error a send of `path` ends with; none when it succeeds. Fails the test when the send is still going at
// the deadline.
std::optional<URLError> failureWithinDeadline(APIClient& client, const std::string& path) {
  std::optional<URLError> error;
  EXPECT_TRUE(testing_support::runWithin(httpkit_tests::kDeadline, [&] {
    error = thrown<URLError>([&] { client.send(Request<void>{path}); });
  })) << "the send of " << path << " did not end";
  return error;
}

// Every answer that ends where the server meant it to is followed by a second request on the same
// connection; that one must get its own answer, never bytes left over from the first.
TEST(OddAnswers, EachEndsWhereTheServerMeantAndTheConnectionCarriesTheNext) {
  struct Case {
    const char* what;
    HTTPMethod method;
    std::string answer;
    int status;
    std::string body;
  };
  const std::vector<Case> cases{
      {"a status line without a reason", HTTPMethod::get, "HTTP/1.1 200 \r\nContent-Length: 2\r\n\r\n{}", 200, "{}"},
      {"a status line without the space", HTTPMethod::get, "HTTP/1.1 200\r\nContent-Length: 2\r\n\r\n{}", 200, "{}"},
      {"early hints first", HTTPMethod::get,
       "HTTP/1.1 103 Early Hints\r\nLink: </a>; rel=preload\r\n\r\n"
       "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}",
       200, "{}"},
      {"chunk extensions and trailers", HTTPMethod::get,
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTrailer: X-Sum\r\n\r\n"
       "1;name=value\r\n{\r\n1 ; q=\"a;b\"\r\n}\r\n0;last\r\nX-Sum: 2\r\n\r\n",
       200, "{}"},
      {"a length beside chunks", HTTPMethod::get,
       "HTTP/1.1 200 OK\r\nContent-Length: 40\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n", 200, "{}"},
      {"a length of zero and a coding", HTTPMethod::get,
       "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nContent-Encoding: gzip\r\n\r\n", 200, ""},
      {"a 204 with a coding", HTTPMethod::get,
       "HTTP/1.1 204 No Content\r\nContent-Encoding: br\r\n\r\n", 204, ""},
      {"a HEAD announcing a coded body", HTTPMethod::head,
       "HTTP/1.1 200 OK\r\nContent-Length: 30\r\nContent-Encoding: gzip\r\n\r\n", 200, ""},
      {"a 304 announcing a length", HTTPMethod::get, "HTTP/1.1 304 Not Modified\r\nContent-Length: 30\r\n\r\n", 304,
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FramingServer server;
    server.answerWith({c.answer});
    auto client = clientFor(server.baseURL());
    const auto first = testing_support::runWithin(httpkit_tests::kDeadline, [&] {
      return client->data(httpkit::AnyRequest{"/odd", c.method});
    });
    ASSERT_TRUE(first);
    EXPECT_EQ(first->response.statusCode, c.status);
    EXPECT_EQ(text(first->data), c.body);
    const auto second = testing_support::runWithin(httpkit_tests::kDeadline, [&] {
      return client->data(httpkit::AnyRequest{"/next"});
    });
    ASSERT_TRUE(second);
    EXPECT_EQ(second->response.statusCode, 200);
    EXPECT_EQ(text(second->data), "{}");
    EXPECT_EQ(server.requests().size(), 2u);
  }
}

// Bodies a server sends where HTTP says there is none: they are not the next answer.
TEST(OddAnswers, ABodyWhereNoneBelongsIsNeverTheNextAnswer) {
  const std::string lie = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n[]";
  struct Case {
    const char* what;
    HTTPMethod method;
    std::string answer;
  };
  const std::vector<Case> cases{
      {"a 204 with a body", HTTPMethod::get, "HTTP/1.1 204 No Content\r\nContent-Length: 2\r\n\r\n" + lie},
      {"a 304 with a body", HTTPMethod::get, "HTTP/1.1 304 Not Modified\r\n\r\n" + lie},
      {"a HEAD answered with a body", HTTPMethod::head, "HTTP/1.1 200 OK\r\nContent-Length: 40\r\n\r\n" + lie},
      {"a length shorter than the body", HTTPMethod::get, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}" + lie},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    FramingServer server;
    server.answerWith({c.answer});
    auto client = clientFor(server.baseURL());
    ASSERT_TRUE(testing_support::runWithin(httpkit_tests::kDeadline, [&] {
      client->data(httpkit::AnyRequest{"/odd", c.method});
    }));
    const auto second = testing_support::runWithin(httpkit_tests::kDeadline, [&] {
      return text(client->data(httpkit::AnyRequest{"/next"}).data);
    });
    ASSERT_TRUE(second);
    EXPECT_EQ(*second, "{}");
  }
}

// A head with a line that is no field (a second status line) or a field holding a NUL byte is not read in
// part: a field lost before or after such a line (the coding of the body, the target of a redirect, a
// field of the caller's) would change what the answer means. The whole answer is refused.
TEST(OddAnswers, AHeadThatCannotBeReadWholeIsRefusedNotReadInPart) {
  const std::string coded = httpkit_tests::gzip("{\"plain\":true}", 15 + 16);
  const std::string length = "Content-Length: " + std::to_string(coded.size()) + "\r\n";
  const std::vector<std::pair<const char*, std::string>> cases{
      {"a status line after the coding",
       "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nHTTP/1.1 200 OK\r\n" + length + "\r\n" + coded},
      {"a status line after the target", "HTTP/1.1 302 Found\r\nLocation: /there\r\nHTTP/1.1 302 Found\r\n"
                                         "Content-Length: 0\r\n\r\n"},
      {"a NUL in the coding", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip" + std::string(1, '\0') + "\r\n" + length +
                                  "\r\n" + coded},
      {"a NUL in a field of the caller's",
       "HTTP/1.1 200 OK\r\nX-Session: a" + std::string(1, '\0') + "b\r\nContent-Length: 2\r\n\r\n{}"},
  };
  for (const auto& [what, answer] : cases) {
    SCOPED_TRACE(what);
    ScriptedServer server({{milliseconds(0), answer}});
    const auto error = failureWithinDeadline(*clientFor(server.baseURL()), "/odd");
    ASSERT_TRUE(error) << "a head read in part was taken for the answer";
    EXPECT_EQ(error->code(), URLError::Code::badServerResponse) << error->what();
  }
}

// A body that decodes to far more than the limit fails as too long, whatever its coding: decoding stops at
// the limit rather than filling memory with the rest.
TEST(OddBodies, ADecompressionBombIsRefusedAtTheLimit) {
  const std::string zeros(16 << 20, '\0');
  for (const auto& [coding, coded] :
       std::vector<std::pair<std::string, std::string>>{{"gzip", httpkit_tests::gzip(zeros, 15 + 16)},
                                                        {"deflate", httpkit_tests::gzip(zeros, -15)},
                                                        {"br", httpkit_tests::brotli(zeros)}}) {
    SCOPED_TRACE(coding);
    ScriptedServer server({{milliseconds(0),
                            "HTTP/1.1 200 OK\r\nContent-Encoding: " + coding + "\r\nContent-Length: " +
                                std::to_string(coded.size()) + "\r\n\r\n" + coded}});
    auto client = clientFor(server.baseURL(), 1 << 20);
    const auto error = failureWithinDeadline(*client, "/bomb");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), URLError::Code::dataLengthExceedsMaximum) << error->what();
  }
}

// A server killed mid-answer, one that sends interim heads without end, one that sends a chunk extension
// without end: each ends the send with its own error, never a wait.
TEST(OddTiming, AResetMidBodyIsALostConnection) {
  ScriptedServer server(
      {{milliseconds(0), "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n{\"a\"", false, false, /*reset=*/true}});
  auto client = clientFor(server.baseURL());
  const auto error = failureWithinDeadline(*client, "/reset");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), URLError::Code::networkConnectionLost) << error->what();
}

// A server that refuses an upload by its head answers at once, then goes away while the body is still
// coming: it closes with the body unread (which resets the connection) or resets it outright. The refusal
// it sent whole, read before the reset, is the answer and not a lost connection.
TEST(OddTiming, AnUploadRefusedByItsHeadGetsTheRefusalThoughTheServerThenResets) {
  struct Refusal : httpkit::TransferObserver {
    ScriptedServer* server = nullptr;
    int status = 0;
    std::string body;
    std::optional<URLError> error;
    void didReceiveResponse(const httpkit::HTTPURLResponse& response) override {
      status = response.statusCode;
      server->release();  // the server goes away once the client holds the whole refusal
    }
    void didReceiveData(std::span<const std::uint8_t> bytes) override { body.append(bytes.begin(), bytes.end()); }
    void didComplete(const std::optional<URLError>& e, const httpkit::TaskMetrics&) override { error = e; }
  };
  const std::string refusal =
      "HTTP/1.1 413 Content Too Large\r\nConnection: close\r\nContent-Length: 9\r\n\r\ntoo large";
  for (const bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "closed with the body unread");
    ScriptedServer server({{milliseconds(0), refusal, /*hold=*/true}, {milliseconds(0), "", false, false, reset}});
    auto client = clientFor(server.baseURL());
    Refusal observer;
    observer.server = &server;
    const std::string upload(8 << 20, 'u');
    const httpkit::URLRequest request{server.baseURL() + "/upload", HTTPMethod::post, {},
                                      httpkit::Bytes(upload.begin(), upload.end())};
    ASSERT_TRUE(testing_support::runWithin(httpkit_tests::kDeadline,
                                           [&] { client->engine()->perform(request, {}, observer); }));
    EXPECT_FALSE(observer.error) << observer.error->what();
    EXPECT_EQ(observer.status, 413);
    EXPECT_EQ(observer.body, "too large");
  }
}

TEST(OddTiming, AFloodOfInterimHeadsIsRefused) {
  std::string flood;
  for (int i = 0; i < 20000; ++i) flood += "HTTP/1.1 100 Continue\r\n\r\n";
  ScriptedServer server({{milliseconds(0), flood + "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}", true}});
  auto client = clientFor(server.baseURL());
  const auto error = failureWithinDeadline(*client, "/flood");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), URLError::Code::badServerResponse) << error->what();
}

TEST(OddTiming, AnEndlessChunkExtensionEnds) {
  ScriptedServer server({{milliseconds(0), "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1;ext="},
                         {milliseconds(0), std::string(4096, 'e'), false, true}});
  auto client = makeClient(server.baseURL(), nullptr, [&](APIClient::Configuration& c) {
    c.sessionConfiguration.timeoutIntervalForRequest = std::chrono::seconds(2);
  });
  const auto error = failureWithinDeadline(*client, "/ext");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), URLError::Code::timedOut) << error->what();
  // Bytes kept coming, but none of them carried the answer on: the text says no more than that.
  EXPECT_EQ(error->detail(), "the transfer made no progress for 2000 ms");
}

// A body that has begun and then stalls, far inside its idle limit: a stop, or the client's destruction on
// another thread, is then the only way the send can end within the deadline, and it ends as cancelled.
TEST(OddTiming, CancelAndDestroyMidBodyEndTheSend) {
  for (bool destroy : {false, true}) {
    SCOPED_TRACE(destroy ? "destroyed" : "cancelled");
    ScriptedServer server({{milliseconds(0), "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nxx", true}});
    auto client = makeClient(server.baseURL(), nullptr, [](APIClient::Configuration& c) {
      c.sessionConfiguration.timeoutIntervalForRequest = std::chrono::seconds(60);
      c.sessionConfiguration.timeoutIntervalForResource = std::chrono::seconds(60);
    });
    std::stop_source stop;
    APIClient& sender = *client;  // the sending thread holds the client, not its owner, which releases it
    auto sent = testing_support::launch([&] {
      return thrown<URLError>([&] { sender.send(Request<void>{"/stalled"}, stop.get_token()); });
    });
    ASSERT_TRUE(server.waitForHolds(1, httpkit_tests::kDeadline));
    if (destroy) {
      client.reset();
    } else {
      stop.request_stop();
    }
    ASSERT_EQ(sent.wait_for(httpkit_tests::kDeadline), std::future_status::ready);
    const auto error = sent.get();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), URLError::Code::cancelled) << error->what();
  }
}

// A target that names only the host keeps the scheme; one where nobody listens fails as such.
TEST(OddRedirects, SchemeRelativeAndDeadTargets) {
  FramingServer target;
  const std::string authority = target.baseURL().substr(5);  // "//127.0.0.1:port"
  ScriptedServer moving(
      {{milliseconds(0), "HTTP/1.1 301 Moved\r\nLocation: " + authority + "/x\r\nContent-Length: 0\r\n\r\n"}});
  EXPECT_FALSE(failureWithinDeadline(*clientFor(moving.baseURL()), "/m"));
  ASSERT_EQ(target.requests().size(), 1u);
  EXPECT_EQ(target.requests().back().requestLine(), "GET /x HTTP/1.1");

  ScriptedServer dead(
      {{milliseconds(0), "HTTP/1.1 307 Moved\r\nLocation: http://127.0.0.1:1/x\r\nContent-Length: 0\r\n\r\n"}});
  const auto error = failureWithinDeadline(*clientFor(dead.baseURL()), "/m");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), URLError::Code::cannotConnectToHost) << error->what();
}

// Targets written oddly but followable: a scheme in capitals, a fragment (never sent), dot segments, no path
// at all.
TEST(OddRedirects, OddButFollowableLocations) {
  FramingServer target;
  const std::string hostPort = target.baseURL().substr(7);
  const std::vector<std::pair<std::string, std::string>> cases{
      {"HTTP://" + hostPort + "/upper", "GET /upper HTTP/1.1"},
      {"http://" + hostPort + "/frag#caf\xc3\xa9", "GET /frag HTTP/1.1"},
      {"http://" + hostPort + "/dots/../up", "GET /up HTTP/1.1"},
      {"http://" + hostPort, "GET / HTTP/1.1"},
      {"http://" + hostPort + "?only", "GET /?only HTTP/1.1"},
  };
  for (const auto& [location, line] : cases) {
    SCOPED_TRACE(location);
    ScriptedServer moving(
        {{milliseconds(0), "HTTP/1.1 302 Found\r\nLocation: " + location + "\r\nContent-Length: 0\r\n\r\n"}});
    auto client = clientFor(moving.baseURL());
    const auto outcome = testing_support::runWithin(httpkit_tests::kDeadline, [&]() -> std::string {
      try {
        return text(client->send(Request<void>{"/m"}).data);
      } catch (const std::exception& e) {
        return e.what();
      }
    });
    ASSERT_TRUE(outcome);
    EXPECT_EQ(*outcome, "{}");
    ASSERT_FALSE(target.requests().empty());
    EXPECT_EQ(target.requests().back().requestLine(), line);
  }
}

// A watcher that throws at every event it is told: it only watches, so the sends go on unharmed.
struct ThrowingWatcher : httpkit::URLSessionDelegate {
  void didReceiveResponse(const httpkit::DataTask&, const httpkit::HTTPURLResponse&) override {
    throw std::runtime_error("head");
  }
  void didReceiveData(const httpkit::DataTask&, const httpkit::Bytes&) override { throw std::runtime_error("data"); }
};

TEST(OddCallers, AThrowingSessionDelegateDoesNotFailTheSend) {
  FramingServer server;
  auto client = makeClient(server.baseURL(), nullptr, [](APIClient::Configuration& c) {
    c.sessionDelegate = std::make_shared<ThrowingWatcher>();
  });
  EXPECT_EQ(text(client->send(Request<void>{"/watched"}).data), "{}");
  EXPECT_EQ(text(client->send(Request<void>{"/watched"}).data), "{}");
}


// A watcher busy with the head while a body arrives in a great many small chunks: what waits for it is the
// body, once, not a queued event per chunk, each costing many times its one byte.
struct BusyWatcher : httpkit::URLSessionDelegate {
  std::shared_future<void> free;
  std::string data;
  int pieces = 0;
  void didReceiveResponse(const httpkit::DataTask&, const httpkit::HTTPURLResponse&) override {
    free.wait_for(httpkit_tests::kDeadline);
  }
  void didReceiveData(const httpkit::DataTask&, const httpkit::Bytes& piece) override {
    data.append(piece.begin(), piece.end());
    ++pieces;
  }
};

TEST(OddCallers, ABodyOfTinyChunksQueuesNoEventPerChunkForABusyWatcher) {
  constexpr int kChunks = 64 * 1024;
  std::string chunks;
  std::string body;
  for (int i = 0; i < kChunks; ++i) {
    const char c = static_cast<char>('a' + i % 26);
    chunks += std::string("1\r\n") + c + "\r\n";
    body += c;
  }
  ScriptedServer server(
      {{milliseconds(0), "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + chunks + "0\r\n\r\n"}});
  std::promise<void> release;
  auto watcher = std::make_shared<BusyWatcher>();
  watcher->free = release.get_future().share();
  auto queue = std::make_shared<foundation::SerialQueue>("test.busy-watcher");
  auto client = makeClient(server.baseURL(), nullptr, [&](APIClient::Configuration& c) {
    c.sessionDelegate = watcher;
    c.sessionDelegateQueue = queue;
  });
  const auto sent = testing_support::runWithin(httpkit_tests::kDeadline, [&] {
    return text(client->send(Request<void>{"/tiny"}).data);
  });
  release.set_value();
  ASSERT_TRUE(sent);
  EXPECT_EQ(*sent, body);
  queue->sync([] {});
  EXPECT_EQ(watcher->data, body);
  // Pieces that came while the watcher was busy are told together.
  EXPECT_LE(watcher->pieces, 2) << "one event was queued per chunk";
}

}  // namespace
