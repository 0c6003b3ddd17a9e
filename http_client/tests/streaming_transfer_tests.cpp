// Streaming transfers on the engine's worker, against loopback servers that hold, redirect and speak TLS.
#include <gtest/gtest.h>

#include <boost/asio/post.hpp>
#include <curl/curl.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <foundation/thread_pool.hpp>
#include <httpkit/transfer_engine.hpp>
#include <testing/bounded_task.hpp>
#include <testing/loopback_server.hpp>
#include <testing/scripted_server.hpp>

#include "test_support.hpp"

namespace {

using httpkit::HTTPMethod;
using httpkit::TransferEngine;
using httpkit::TransferOptions;
using httpkit::URLError;
using httpkit::URLRequest;
using httpkit_tests::kDeadline;
using std::chrono::milliseconds;
using testing_support::LoopbackServer;
using testing_support::Reply;
using testing_support::ScriptedServer;

// What the worker reported about one transfer, with a signal for the head.
struct Stream : httpkit::TransferObserver {
  std::promise<httpkit::HTTPURLResponse> head;
  std::promise<std::optional<URLError>> done;
  std::future<httpkit::HTTPURLResponse> headArrived = head.get_future();
  std::future<std::optional<URLError>> ended = done.get_future();
  std::string body;
  bool headSeen = false;
  void didReceiveResponse(const httpkit::HTTPURLResponse& response) override {
    headSeen = true;
    head.set_value(response);
  }
  void didReceiveData(std::span<const std::uint8_t> bytes) override { body.append(bytes.begin(), bytes.end()); }
  void didComplete(const std::optional<URLError>& error, const httpkit::TaskMetrics&) override {
    if (!headSeen) head.set_value({});
    done.set_value(error);
  }
  // The end, or a failure (never a hang) when it does not come within the deadline.
  std::optional<URLError> wait() {
    if (ended.wait_for(kDeadline) == std::future_status::ready) return ended.get();
    ADD_FAILURE() << "the transfer did not end";
    return URLError(URLError::Code::unknown, "the test saw no end");
  }
};

URLRequest get(const std::string& url) { return URLRequest{url, HTTPMethod::get, {}, std::nullopt}; }

std::string head(const std::string& fields) { return "HTTP/1.1 200 OK\r\n" + fields + "\r\n"; }

TEST(StreamingTransfer, HeadArrivesWhileTheBodyIsHeldAndChunksFollow) {
  ScriptedServer server({{milliseconds(0), head("Content-Length: 8\r\n") + "abcd", true}, {milliseconds(0), "efgh"}});
  TransferEngine engine;
  auto stream = std::make_shared<Stream>();
  engine.start(get(server.baseURL() + "/a"), {}, stream);
  ASSERT_EQ(stream->headArrived.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(stream->headArrived.get().value("Content-Length"), "8");
  ASSERT_TRUE(server.waitForHolds(1, kDeadline));
  server.release();
  EXPECT_FALSE(stream->wait());
  EXPECT_EQ(stream->body, "abcdefgh");
}

TEST(StreamingTransfer, AHeadCutByTheCloseEndsAsALostConnectionWithNoResponse) {
  for (const auto& [where, answer] : httpkit_tests::headsCutByTheClose()) {
    SCOPED_TRACE(where);
    ScriptedServer server({{milliseconds(0), answer, false}});
    TransferEngine engine;
    auto stream = std::make_shared<Stream>();
    engine.start(get(server.baseURL() + "/cut"), {}, stream);
    const auto error = stream->wait();
    ASSERT_TRUE(error) << "a cut head ended as a success";
    EXPECT_EQ(error->code(), URLError::Code::networkConnectionLost) << error->what();
    EXPECT_FALSE(stream->headSeen) << "a response with no status was handed on";
  }
}

TEST(StreamingTransfer, UnfollowedRedirectIsTheAnswerAndNothingAsksForCompression) {
  LoopbackServer server;
  server.on("GET", "/old", Reply{302, "moved", "text/plain", {{"Location", "/new"}}, {}, {}});
  server.on("GET", "/new", Reply::text(200, "new"));
  server.start();
  TransferEngine engine;
  TransferOptions options;
  options.followRedirects = false;
  options.decodeContent = false;
  auto stream = std::make_shared<Stream>();
  engine.start(get(server.baseURL() + "/old"), options, stream);
  EXPECT_FALSE(stream->wait());
  EXPECT_EQ(stream->headArrived.get().statusCode, 302);
  EXPECT_EQ(stream->body, "moved");
  EXPECT_EQ(server.hits("GET", "/new"), 0);
  EXPECT_FALSE(server.requests().front().header("Accept-Encoding"));
}

// A followed redirect whose body stalls is left unread at once, as a blocking send leaves it: the target's
// answer arrives long before the idle limit (three times the test's deadline), and the stalled connection
// is closed.
TEST(StreamingTransfer, AStalledRedirectBodyIsLeftAndTheRedirectFollowed) {
  LoopbackServer target;
  target.on("GET", "/to", Reply::text(200, "arrived"));
  target.start();
  ScriptedServer moving({{milliseconds(0),
                          "HTTP/1.1 302 Found\r\nLocation: " + target.baseURL() + "/to\r\nContent-Length: 20\r\n\r\n12345",
                          true}});
  TransferEngine engine;
  TransferOptions options;
  options.idleTimeout = std::chrono::seconds(30);
  auto stream = std::make_shared<Stream>();
  engine.start(get(moving.baseURL() + "/moving"), options, stream);
  const auto error = stream->wait();
  EXPECT_FALSE(error) << error->what();
  EXPECT_EQ(stream->body, "arrived");
  EXPECT_EQ(stream->headArrived.get().statusCode, 200);
  EXPECT_TRUE(moving.waitForPeerClosures(1, kDeadline)) << "the redirect's connection was kept";
}

TEST(StreamingTransfer, CancelEndsTheTransferAndClosesItsConnection) {
  ScriptedServer server({{milliseconds(0), head("Content-Length: 100\r\n") + "abc", true}});
  TransferEngine engine;
  auto stream = std::make_shared<Stream>();
  const auto id = engine.start(get(server.baseURL() + "/a"), {}, stream);
  ASSERT_TRUE(server.waitForHolds(1, kDeadline));
  engine.cancel(id);
  const auto error = stream->wait();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), URLError::Code::cancelled);
  EXPECT_TRUE(server.waitForPeerClosures(1, kDeadline));
}

TEST(StreamingTransfer, PausedTransferReadsNothingAndMeetsOnlyItsWholeTransferLimit) {
  const std::string interim = "HTTP/1.1 100 Continue\r\n\r\n";
  // The answer waits for the pause: a transfer may be read to its end before a pause asked after its start
  // reaches the engine.
  ScriptedServer ready({{milliseconds(0), "", true},
                        {milliseconds(0), interim + head("Content-Length: 4\r\nX-Kept: yes\r\n") + "abcd"}});
  ScriptedServer stalled({{milliseconds(0), head("Content-Length: 4\r\n"), true}});
  TransferEngine engine;
  TransferOptions options;
  options.idleTimeout = milliseconds(200);
  auto paused = std::make_shared<Stream>();
  const auto id = engine.start(get(ready.baseURL() + "/a"), options, paused);
  engine.pause(id);
  // The stalled transfer's timeout is the clock: by then the paused one would have timed out too. The engine
  // takes up what was asked in order, so once the clock's request is out the pause has been applied.
  auto clock = std::make_shared<Stream>();
  engine.start(get(stalled.baseURL() + "/b"), options, clock);
  ASSERT_TRUE(stalled.waitForHolds(1, kDeadline));
  ready.release();
  const auto timedOut = clock->wait();
  ASSERT_TRUE(timedOut);
  EXPECT_EQ(timedOut->code(), URLError::Code::timedOut);
  EXPECT_EQ(paused->ended.wait_for(milliseconds(0)), std::future_status::timeout);
  EXPECT_EQ(paused->body, "");
  engine.resume(id);
  const auto ended = paused->wait();
  EXPECT_FALSE(ended) << ended->what();
  EXPECT_EQ(paused->body, "abcd");
  // A head held back by the pause is still read as the server sent it, the interim one apart.
  ASSERT_EQ(paused->headArrived.wait_for(milliseconds(0)), std::future_status::ready);
  const auto response = paused->headArrived.get();
  EXPECT_EQ(response.statusCode, 200);
  EXPECT_EQ(response.value("X-Kept"), "yes");

  TransferOptions bounded = options;
  bounded.resourceTimeout = milliseconds(300);
  auto held = std::make_shared<Stream>();
  engine.pause(engine.start(get(stalled.baseURL() + "/c"), bounded, held));
  const auto expired = held->wait();
  ASSERT_TRUE(expired) << "a paused transfer outlived its whole-transfer limit";
  EXPECT_EQ(expired->code(), URLError::Code::timedOut);
}

// Returns once the engine has taken up every start and change asked before the call: it takes them up in
// order, so they have been applied once a transfer started after them has its request out.
void waitUntilTakenUp(TransferEngine& engine) {
  ScriptedServer marker({{milliseconds(0), "", true}});
  auto stream = std::make_shared<Stream>();
  const auto id = engine.start(get(marker.baseURL() + "/marker"), {}, stream);
  ASSERT_TRUE(marker.waitForHolds(1, kDeadline));
  engine.cancel(id);
  stream->wait();
}

// Paused once its request is out and its head has begun: the rest of the head, interim one and all, is still
// read and handed over line by line; the body waits for the resume.
TEST(StreamingTransfer, APauseWhileTheHeadArrivesHoldsBackOnlyTheBody) {
  ScriptedServer server({{milliseconds(0), "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n", true},
                         {milliseconds(0), "Content-Length: 4\r\nX-Kept: yes\r\n\r\nabcd"}});
  TransferEngine engine;
  auto stream = std::make_shared<Stream>();
  const auto id = engine.start(get(server.baseURL() + "/a"), {}, stream);
  ASSERT_TRUE(server.waitForHolds(1, kDeadline));
  engine.pause(id);
  waitUntilTakenUp(engine);
  server.release();
  ASSERT_EQ(stream->headArrived.wait_for(kDeadline), std::future_status::ready) << "the pause held the head back";
  const auto response = stream->headArrived.get();
  EXPECT_EQ(response.statusCode, 200);
  EXPECT_EQ(response.value("X-Kept"), "yes");
  EXPECT_EQ(stream->body, "");
  engine.resume(id);
  const auto ended = stream->wait();
  EXPECT_FALSE(ended) << ended->what();
  EXPECT_EQ(stream->body, "abcd");

  // The handle whose body was held back is reset before it carries another transfer, and one that was not
  // keeps what every transfer sets alike: either way the next transfers, one at a time so that each takes
  // the handle the one before gave back, read their whole answers.
  LoopbackServer plain;
  plain.on("GET", "/b", Reply{200, "hello", "text/plain", {{"X-Kept", "yes"}}, {}, {}});
  plain.start();
  for (int i = 0; i < 3; ++i) {
    auto next = std::make_shared<Stream>();
    engine.start(get(plain.baseURL() + "/b"), {}, next);
    const auto error = next->wait();
    EXPECT_FALSE(error) << error->what();
    ASSERT_EQ(next->headArrived.wait_for(milliseconds(0)), std::future_status::ready);
    const auto answer = next->headArrived.get();
    EXPECT_EQ(answer.statusCode, 200);
    EXPECT_EQ(answer.value("X-Kept"), "yes");
    EXPECT_EQ(next->body, "hello");
  }
}

TEST(StreamingTransfer, CertificateChecksStayOnUnlessTurnedOffForTheTransfer) {
  LoopbackServer::Options serverOptions;
  serverOptions.tls = testing_support::makeSelfSignedIdentity("127.0.0.1");
  LoopbackServer server(serverOptions);
  server.on("GET", "/a", Reply::text(200, "secret"));
  server.start();
  TransferEngine engine;

  auto checked = std::make_shared<Stream>();
  engine.start(get(server.baseURL() + "/a"), {}, checked);
  const auto error = checked->wait();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), URLError::Code::serverCertificateUntrusted);

  TransferOptions trusting;
  trusting.verifyPeer = false;
  auto trusted = std::make_shared<Stream>();
  engine.start(get(server.baseURL() + "/a"), trusting, trusted);
  EXPECT_FALSE(trusted->wait());
  EXPECT_EQ(trusted->body, "secret");
  EXPECT_EQ(server.hits("GET", "/a"), 1);
  // The secure connection is kept for the next transfer that trusts the host (and only for one that does).
  const int connections = server.connections();
  auto again = std::make_shared<Stream>();
  engine.start(get(server.baseURL() + "/a"), trusting, again);
  EXPECT_FALSE(again->wait());
  EXPECT_EQ(server.connections(), connections);
  // A connection made without the checks is never lent to a transfer that checks, streaming or blocking.
  auto checkedAgain = std::make_shared<Stream>();
  engine.start(get(server.baseURL() + "/a"), {}, checkedAgain);
  const auto refused = checkedAgain->wait();
  ASSERT_TRUE(refused) << "a checked transfer went out on an unchecked connection";
  EXPECT_EQ(refused->code(), URLError::Code::serverCertificateUntrusted);
  Stream blockingTrusted, blockingChecked;
  engine.perform(get(server.baseURL() + "/a"), trusting, blockingTrusted);
  EXPECT_FALSE(blockingTrusted.wait());
  engine.perform(get(server.baseURL() + "/a"), {}, blockingChecked);
  const auto blockingRefused = blockingChecked.wait();
  ASSERT_TRUE(blockingRefused) << "a checked transfer went out on an unchecked connection";
  EXPECT_EQ(blockingRefused->code(), URLError::Code::serverCertificateUntrusted);
  EXPECT_EQ(server.hits("GET", "/a"), 3);
}

// The parts a session checks are curl's reading of the address, whichever way they are found: compared here
// with curl's own parser on the plain addresses downloads name and on the near misses around them.
TEST(StreamingTransfer, UrlPartsAgreeWithCurl) {
  const auto curlParts = [](const std::string& url) -> std::optional<httpkit::URLParts> {
    CURLU* parsed = curl_url();
    std::optional<httpkit::URLParts> result;
    if (curl_url_set(parsed, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
      httpkit::URLParts parts;
      char* text = nullptr;
      if (curl_url_get(parsed, CURLUPART_SCHEME, &text, 0) == CURLUE_OK) parts.scheme = text;
      curl_free(std::exchange(text, nullptr));
      if (curl_url_get(parsed, CURLUPART_HOST, &text, 0) == CURLUE_OK) parts.host = text;
      curl_free(text);
      for (char& c : parts.scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      const bool web = parts.scheme == "http" || parts.scheme == "https";
      if (!parts.scheme.empty() && (!web || !parts.host.empty())) result = parts;
    }
    curl_url_cleanup(parsed);
    return result;
  };
  for (const std::string url : {
           "http://example.com/img/1.png", "HTTPS://Example.COM/a?b=c#d", "http://127.0.0.1:8080/a.png",
           "http://127.1/a", "http://0x7f.0.0.1/a", "http://0177.0.0.1/a", "http://127.0.0.01/a",
           "http://256.1.1.1/a", "http://1.2.3.4.5/a", "http://1example.test/a", "http://a_b.example.test/",
           "http://example.test:0/a", "http://example.test:65535/a", "http://example.test:65536/a",
           "http://example.test:/a", "http://example.test:08/a", "http://user:pw@example.test/a",
           "http://example.test?q", "http://example.test#f", "http:///a", "http://[::1]:80/a",
           "http://ex ample.test/a", "http://example.test/a b", "http://example.test/%zz{}|",
           "http:/example.test/a", "ftp://example.test/a", "http://exa%6dple.test/a", "http://.../a",
           "http://example.test\\a", "httpx://example.test/a", "http://ex\xc3\xa4mple.test/a"}) {
    const auto ours = httpkit::parseURL(url);
    const auto theirs = curlParts(url);
    ASSERT_EQ(ours.has_value(), theirs.has_value()) << url;
    if (!ours) continue;
    EXPECT_EQ(ours->scheme, theirs->scheme) << url;
    EXPECT_EQ(ours->host, theirs->host) << url;
  }
}

TEST(StreamingTransfer, UrlPartsAndResolution) {
  EXPECT_EQ(httpkit::parseURL("HTTPS://Example.com/a")->scheme, "https");
  EXPECT_EQ(httpkit::parseURL("http://example.com/a")->host, "example.com");
  EXPECT_EQ(httpkit::parseURL("file:///tmp/a.png")->scheme, "file");
  EXPECT_FALSE(httpkit::parseURL("http://"));
  EXPECT_FALSE(httpkit::parseURL("not a url"));
  EXPECT_EQ(httpkit::resolveURL("http://h/a/b.png?x=1", "c.png"), "http://h/a/c.png");
  EXPECT_EQ(httpkit::resolveURL("http://h/a/b.png", "/z"), "http://h/z");
  EXPECT_EQ(httpkit::resolveURL("http://h/a", "ftp://other/f"), "ftp://other/f");
  EXPECT_FALSE(httpkit::resolveURL("http://h/a", "http://[bad"));
  // RFC 3986's own examples (section 5.4): a reference of a fragment alone, or none at all, is the base itself.
  for (const auto& [reference, resolved] : std::vector<std::pair<std::string, std::string>>{
           {"g", "http://a/b/c/g"}, {"?y", "http://a/b/c/d;p?y"}, {"g?y#s", "http://a/b/c/g?y#s"},
           {"../../g", "http://a/g"}, {"#s", "http://a/b/c/d;p?q#s"}, {"", "http://a/b/c/d;p?q"}}) {
    EXPECT_EQ(httpkit::resolveURL("http://a/b/c/d;p?q", reference), resolved) << reference;
  }
  EXPECT_EQ(httpkit::resolveURL("http://a/b/c/d;p?q#f", "#s"), "http://a/b/c/d;p?q#s");
  // An origin is scheme, host and port, the port a scheme implies counted as written.
  EXPECT_TRUE(httpkit::sameOrigin("https://h.test/a", "HTTPS://h.test:443/b?c"));
  EXPECT_TRUE(httpkit::sameOrigin("https://H.Test/a", "https://h.test/b"));  // a host in any letter case
  EXPECT_FALSE(httpkit::sameOrigin("https://h.test/a", "http://h.test/a"));
  EXPECT_FALSE(httpkit::sameOrigin("http://h.test:8080/", "http://h.test:8081/"));
  EXPECT_FALSE(httpkit::sameOrigin("http://h.test/", "http://g.test/"));
  EXPECT_FALSE(httpkit::sameOrigin("not a url", "not a url"));
}

// An observer that holds the engine, and lets go of it in one of its calls: the engine's last owner may be
// the code it calls back.
struct OwningObserver : httpkit::TransferObserver {
  enum class Call { response, data, complete };
  Call releaseIn;
  std::shared_ptr<TransferEngine> engine;
  std::promise<std::optional<URLError>> done;
  std::string body;
  OwningObserver(Call call, std::shared_ptr<TransferEngine> owned) : releaseIn(call), engine(std::move(owned)) {}
  void didReceiveResponse(const httpkit::HTTPURLResponse&) override {
    if (releaseIn == Call::response) engine.reset();
  }
  void didReceiveData(std::span<const std::uint8_t> bytes) override {
    body.append(bytes.begin(), bytes.end());
    if (releaseIn == Call::data) engine.reset();
  }
  void didComplete(const std::optional<URLError>& error, const httpkit::TaskMetrics&) override {
    if (releaseIn == Call::complete) engine.reset();
    done.set_value(error);
  }
};

const std::vector<std::pair<const char*, OwningObserver::Call>> kReleasingCalls{
    {"on the head", OwningObserver::Call::response},
    {"on the body", OwningObserver::Call::data},
    {"on the end", OwningObserver::Call::complete}};

// Released on its own worker, the engine still ends what it was running, and the transfer that let go of it
// completes as it would have.
TEST(StreamingTransferLifetime, TheEngineMayBeReleasedFromAStreamingObserver) {
  for (const auto& [where, call] : kReleasingCalls) {
    SCOPED_TRACE(where);
    ScriptedServer server({{milliseconds(0), "", true}, {milliseconds(0), head("Content-Length: 2\r\n") + "ok"}});
    ScriptedServer stalled({{milliseconds(0), "", true}});
    auto engine = std::make_shared<TransferEngine>();
    auto other = std::make_shared<Stream>();
    engine->start(get(stalled.baseURL() + "/other"), {}, other);
    auto owner = std::make_shared<OwningObserver>(call, engine);
    auto ended = owner->done.get_future();
    engine->start(get(server.baseURL() + "/a"), {}, owner);
    ASSERT_TRUE(server.waitForHolds(1, kDeadline));
    ASSERT_TRUE(stalled.waitForHolds(1, kDeadline));
    engine.reset();  // the observer holds the only reference now
    server.release();
    ASSERT_EQ(ended.wait_for(kDeadline), std::future_status::ready);
    EXPECT_FALSE(ended.get());
    EXPECT_EQ(owner->body, "ok");
    const auto cancelled = other->wait();
    ASSERT_TRUE(cancelled) << "the engine's other transfer outlived it";
    EXPECT_EQ(cancelled->code(), URLError::Code::cancelled);
  }
}

// The same on a thread blocked in `perform`: the transfer runs to its end, though the engine is gone.
TEST(StreamingTransferLifetime, TheEngineMayBeReleasedFromABlockingObserver) {
  LoopbackServer server;
  server.on("GET", "/a", Reply::text(200, "ok"));
  server.start();
  for (const auto& [where, call] : kReleasingCalls) {
    SCOPED_TRACE(where);
    auto engine = std::make_shared<TransferEngine>();
    TransferEngine* const raw = engine.get();
    OwningObserver owner(call, std::move(engine));
    auto ended = owner.done.get_future();
    ASSERT_TRUE(testing_support::runWithin(kDeadline, [&] { raw->perform(get(server.baseURL() + "/a"), {}, owner); }));
    ASSERT_EQ(ended.wait_for(milliseconds(0)), std::future_status::ready);
    EXPECT_FALSE(ended.get());
    EXPECT_EQ(owner.body, "ok");
  }
}

// A loopback address nothing listens on: a transfer there is refused at once, its request built all the same.
std::string refusingURL() {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(listener);
  return "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/a";
}

// A transfer still running on the shared pool while the process exits (it has the pool's grace to end) builds
// its request as any other: exit has not freed what the engine writes into every request's head.
TEST(StreamingTransferLifetime, ATransferOnThePoolAtExitStillBuildsItsRequest) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  static std::atomic<bool> exiting{false};
  EXPECT_EXIT(
      {
        ::alarm(10);  // the child's deadline: a hang ends it by signal
        (void)httpkit::parseURL("http://127.0.0.1/");  // libcurl's own exit work first, so it runs last
        boost::asio::post(foundation::ThreadPool::shared(), [] {});  // then the pool's
        auto* engine = new TransferEngine;
        const std::string url = refusingURL();
        Stream first;
        engine->perform(get(url), {}, first);
        if (!first.wait()) std::_Exit(3);
        std::atexit([] {  // registered last, so it runs first
          exiting = true;
          exiting.notify_all();
        });
        auto started = std::make_shared<std::promise<void>>();
        boost::asio::post(foundation::ThreadPool::shared(), [engine, url, started] {
          started->set_value();
          exiting.wait(false);
          // Well within the pool's grace at exit, so exit waits for these transfers.
          const auto until = std::chrono::steady_clock::now() + milliseconds(300);
          while (std::chrono::steady_clock::now() < until) {
            Stream atExit;
            engine->perform(get(url), {}, atExit);
            if (!atExit.wait()) std::_Exit(4);
          }
        });
        if (started->get_future().wait_for(kDeadline) != std::future_status::ready) std::_Exit(5);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

// An observer that does not return holds its own transfer, not the thread that destroys the engine: the
// destructor waits for the worker a while only, and the worker ends on its own once the observer returns.
TEST(StreamingTransferLifetime, AnObserverThatHangsDoesNotHoldTheEnginesDestructor) {
  LoopbackServer server;
  server.on("GET", "/a", Reply::text(200, "ok"));
  server.start();
  struct Hanging : Stream {
    std::promise<void> entered;
    std::shared_future<void> gate;
    void didReceiveResponse(const httpkit::HTTPURLResponse& response) override {
      entered.set_value();
      gate.wait_for(std::chrono::seconds(60));
      Stream::didReceiveResponse(response);
    }
  };
  auto gate = std::make_shared<std::promise<void>>();
  auto observer = std::make_shared<Hanging>();
  observer->gate = gate->get_future().share();
  auto entered = observer->entered.get_future();
  auto engine = std::make_unique<TransferEngine>();
  engine->start(get(server.baseURL() + "/a"), {}, observer);
  ASSERT_EQ(entered.wait_for(kDeadline), std::future_status::ready);
  const bool destroyed = testing_support::runWithin(kDeadline, [&] { engine.reset(); });
  gate->set_value();
  EXPECT_TRUE(destroyed) << "the engine's destructor waited for an observer that did not return";
  observer->wait();  // the transfer still completes, on the worker left to end on its own
}

// Released from its own observer just before the process exits, the engine's worker ends on its own: it
// closes the secure connection it kept while exit runs, and meets no TLS library that exit tore down.
TEST(StreamingTransferLifetime, AnEngineReleasedByItsObserverAsTheProcessExitsEndsCleanly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  static std::atomic<bool> exiting{false};
  EXPECT_EXIT(
      {
        ::alarm(10);  // the child's deadline: a hang ends it by signal
        struct Releasing : httpkit::TransferObserver {
          std::shared_ptr<TransferEngine> engine;
          std::promise<void> released;
          void didReceiveResponse(const httpkit::HTTPURLResponse&) override {}
          void didReceiveData(std::span<const std::uint8_t>) override {}
          void didComplete(const std::optional<URLError>&, const httpkit::TaskMetrics&) override {
            engine.reset();
            released.set_value();
            // The application's code returns only once the process is exiting.
            const auto until = std::chrono::steady_clock::now() + kDeadline;
            while (!exiting && std::chrono::steady_clock::now() < until) exiting.wait(false);
          }
        };
        LoopbackServer::Options serverOptions;
        serverOptions.tls = testing_support::makeSelfSignedIdentity("127.0.0.1");
        auto server = std::make_unique<LoopbackServer>(serverOptions);
        server->on("GET", "/a", Reply::text(200, "ok"));
        server->start();
        auto observer = std::make_shared<Releasing>();
        observer->engine = std::make_shared<TransferEngine>();
        TransferOptions trusting;
        trusting.verifyPeer = false;
        auto released = observer->released.get_future();
        observer->engine->start(get(server->baseURL() + "/a"), trusting, observer);
        if (released.wait_for(kDeadline) != std::future_status::ready) std::_Exit(3);
        server.reset();  // the worker keeps its connection; only the client side is left to close
        std::atexit([] {  // registered last, so it runs first
          exiting = true;
          exiting.notify_all();
        });
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

// An observer that throws from one of its calls: its transfer ends there, and `didComplete` still comes.
struct ThrowingObserver : httpkit::TransferObserver {
  enum class Call { response, data, complete };
  Call throwIn;
  bool throwAnException;  // else a value of a type that is none
  int completions = 0;
  std::promise<std::optional<URLError>> done;
  explicit ThrowingObserver(Call call, bool exception) : throwIn(call), throwAnException(exception) {}
  void raise() {
    if (throwAnException) throw std::runtime_error("the application's own failure");
    throw 42;
  }
  void didReceiveResponse(const httpkit::HTTPURLResponse&) override {
    if (throwIn == Call::response) raise();
  }
  void didReceiveData(std::span<const std::uint8_t>) override {
    if (throwIn == Call::data) raise();
  }
  void didComplete(const std::optional<URLError>& error, const httpkit::TaskMetrics&) override {
    if (++completions == 1) done.set_value(error);
    if (throwIn == Call::complete) raise();
  }
};

// What a throwing observer's transfer ended with, and whether the engine then still carries a transfer.
void expectOnlyItsTransferFailed(ThrowingObserver::Call call, std::future<std::optional<URLError>>& ended,
                                 const std::function<std::optional<URLError>()>& next) {
  ASSERT_EQ(ended.wait_for(kDeadline), std::future_status::ready) << "no end was told";
  const auto error = ended.get();
  if (call == ThrowingObserver::Call::complete) {
    EXPECT_FALSE(error);
  } else {
    ASSERT_TRUE(error) << "the transfer went on past its observer's throw";
    EXPECT_EQ(error->code(), URLError::Code::unknown);
    EXPECT_NE(std::string(error->detail()).find("observer"), std::string::npos) << error->detail();
  }
  const auto after = next();
  EXPECT_FALSE(after) << "the engine's next transfer failed: " << after->what();
}

const std::vector<std::pair<const char*, ThrowingObserver::Call>> kThrowingCalls{
    {"on the head", ThrowingObserver::Call::response},
    {"on the body", ThrowingObserver::Call::data},
    {"on the end", ThrowingObserver::Call::complete}};

// A throw must not unwind through the transfer library's frames (which ends the process on the worker) nor
// leave the engine's handles behind: it fails that transfer alone.
TEST(StreamingTransferLifetime, AnObserverThatThrowsEndsOnlyItsOwnTransfer) {
  LoopbackServer server;
  server.on("GET", "/a", Reply::text(200, "ok"));
  server.start();
  const URLRequest request = get(server.baseURL() + "/a");
  for (const bool exception : {true, false}) {
    for (const auto& [where, call] : kThrowingCalls) {
      SCOPED_TRACE(std::string(where) + (exception ? ", an exception" : ", a value"));
      TransferEngine engine;
      auto streaming = std::make_shared<ThrowingObserver>(call, exception);
      auto streamingEnded = streaming->done.get_future();
      engine.start(request, {}, streaming);
      expectOnlyItsTransferFailed(call, streamingEnded, [&] {
        auto stream = std::make_shared<Stream>();
        engine.start(request, {}, stream);
        return stream->wait();
      });
      EXPECT_EQ(streaming->completions, 1);

      ThrowingObserver blocking(call, exception);
      auto blockingEnded = blocking.done.get_future();
      ASSERT_TRUE(testing_support::runWithin(kDeadline, [&] { engine.perform(request, {}, blocking); }));
      expectOnlyItsTransferFailed(call, blockingEnded, [&] {
        Stream stream;
        engine.perform(request, {}, stream);
        return stream.wait();
      });
      EXPECT_EQ(blocking.completions, 1);
    }
  }
}

// A call the hook after observer calls does not follow would sit unhanded while the worker sleeps.
TEST(StreamingTransferConcurrency, TheHookAfterObserverCallsFollowsEveryCallOnItsThread) {
  struct Counted : Stream {
    std::atomic<int> calls{0};
    std::atomic<std::thread::id> thread{};
    void count() {
      thread = std::this_thread::get_id();
      ++calls;
    }
    void didReceiveResponse(const httpkit::HTTPURLResponse& r) override { count(); Stream::didReceiveResponse(r); }
    void didReceiveData(std::span<const std::uint8_t> b) override { count(); Stream::didReceiveData(b); }
    void didComplete(const std::optional<URLError>& e, const httpkit::TaskMetrics& m) override {
      count();
      Stream::didComplete(e, m);
    }
  };
  std::mutex mutex;
  std::condition_variable seen;
  auto counted = std::make_shared<Counted>();
  int followed = 0;  // the calls made before the hook's latest run on their thread
  TransferEngine::Configuration configuration;
  configuration.afterObserverCalls = [&] {
    std::lock_guard lock(mutex);
    if (counted->thread.load() == std::this_thread::get_id()) followed = counted->calls.load();
    seen.notify_all();
    if (followed > 3) throw std::runtime_error("a hook that fails");  // changes nothing
  };
  const auto followedAll = [&](int least) {
    std::unique_lock lock(mutex);
    return seen.wait_for(lock, kDeadline, [&] { return followed == counted->calls.load() && followed >= least; });
  };
  ScriptedServer server({{milliseconds(0), head("Content-Length: 8\r\n") + "abcd", true}, {milliseconds(0), "efgh"}});
  TransferEngine engine(configuration);
  engine.start(get(server.baseURL() + "/a"), {}, counted);
  ASSERT_TRUE(server.waitForHolds(1, kDeadline));
  ASSERT_TRUE(followedAll(2));  // the head and the first bytes, before the worker waits for the rest
  server.release();
  EXPECT_FALSE(counted->wait());
  EXPECT_TRUE(followedAll(4));
  EXPECT_EQ(counted->body, "abcdefgh");

  // A blocking transfer's calls are followed before `perform` returns.
  LoopbackServer loopback;
  loopback.on("GET", "/b", Reply::text(200, "ok"));
  loopback.start();
  auto blocking = std::make_shared<Counted>();
  {
    std::lock_guard lock(mutex);  // the worker's hook may be reading it
    counted = blocking;
  }
  ASSERT_TRUE(testing_support::runWithin(kDeadline, [&] { engine.perform(get(loopback.baseURL() + "/b"), {}, *blocking); }));
  std::lock_guard lock(mutex);
  EXPECT_EQ(followed, 3);
  EXPECT_EQ(blocking->body, "ok");
}

TEST(StreamingTransferConcurrency, PerHostLimitKeepsConnectionsToTheLimit) {
  LoopbackServer server;
  auto gate = std::make_shared<testing_support::Gate>();
  server.on("GET", "/held", Reply{200, "x", "text/plain", {}, {}, gate});
  server.start();
  TransferEngine engine(TransferEngine::Configuration{2});
  std::vector<std::shared_ptr<Stream>> streams;
  for (int i = 0; i < 6; ++i) {
    streams.push_back(std::make_shared<Stream>());
    engine.start(get(server.baseURL() + "/held"), {}, streams.back());
  }
  ASSERT_TRUE(gate->waitForArrivals(2, kDeadline));
  gate->open();
  for (auto& stream : streams) EXPECT_FALSE(stream->wait());
  EXPECT_EQ(server.hits("GET", "/held"), 6);
  EXPECT_LE(server.connections(), 2);
}

// Transfers that wait for a free connection only wait their turn: the idle limit is for a connection that
// stalls, so it starts when the transfer has one.
TEST(StreamingTransferConcurrency, WaitingForAFreeConnectionIsNotIdleness) {
  std::vector<ScriptedServer::Step> drip{{milliseconds(0), head("Content-Length: 6\r\nConnection: close\r\n")}};
  for (char c : std::string("abcdef")) drip.push_back({milliseconds(250), std::string(1, c)});
  ScriptedServer server(drip, ScriptedServer::Connections::concurrently);
  TransferEngine engine(TransferEngine::Configuration{2});
  TransferOptions options;
  options.idleTimeout = milliseconds(1000);
  std::vector<std::shared_ptr<Stream>> streams;
  for (int i = 0; i < 4; ++i) {
    streams.push_back(std::make_shared<Stream>());
    engine.start(get(server.baseURL() + "/drip"), options, streams.back());
  }
  for (auto& stream : streams) {
    const auto error = stream->wait();
    EXPECT_FALSE(error) << error->what();
    EXPECT_EQ(stream->body, "abcdef");
  }
  EXPECT_EQ(server.connections(), 4);
}

}  // namespace
