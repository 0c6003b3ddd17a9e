// Redirects as a server sends them: what arrives at the new address for each redirect status and method,
// what leaves with a request that moves to another origin, and where following stops.
#include <gtest/gtest.h>

#include <testing/bounded_task.hpp>
#include <testing/scripted_server.hpp>

#include "framing_server.hpp"
#include "test_support.hpp"

namespace {

using httpkit::HTTPMethod;
using httpkit::Request;
using httpkit::URLError;
using httpkit_tests::makeClient;
using httpkit_tests::thrown;
using testing_support::LoopbackServer;
using testing_support::Reply;

Reply redirectTo(int status, std::string location) {
  return Reply{status, "moved", "text/plain", {{"Location", std::move(location)}}, {}, {}};
}

class Redirects : public ::testing::Test {
 protected:
  void SetUp() override {
    // The server answers a HEAD as its GET, head only.
    for (const char* method : {"GET", "POST", "PUT", "PATCH", "DELETE"}) {
      for (int status : {301, 302, 303, 307, 308}) {
        server.on(method, "/from/" + std::to_string(status), redirectTo(status, "/to"));
      }
      server.on(method, "/to", Reply::json(200, R"({"arrived":true})"));
    }
    server.start();
  }
  LoopbackServer server;
};

TEST_F(Redirects, AMethodIsSentAgainOnlyWithItsBody) {
  struct Case {
    const char* method;
    bool withBody;
    // What arrives at the new address for 301, 302, 303, 307 and 308, in that order.
    std::array<const char*, 5> arrives;
  };
  const std::vector<Case> cases{
      {"GET", false, {"GET", "GET", "GET", "GET", "GET"}},
      {"HEAD", false, {"HEAD", "HEAD", "HEAD", "HEAD", "HEAD"}},
      {"POST", true, {"GET", "GET", "GET", "POST", "POST"}},
      {"PUT", true, {"PUT", "PUT", "GET", "PUT", "PUT"}},
      {"PATCH", true, {"PATCH", "PATCH", "GET", "PATCH", "PATCH"}},
      {"DELETE", true, {"DELETE", "DELETE", "GET", "DELETE", "DELETE"}},
      {"DELETE", false, {"DELETE", "DELETE", "GET", "DELETE", "DELETE"}},
  };
  const std::array<int, 5> statuses{301, 302, 303, 307, 308};
  auto client = makeClient(server.baseURL());
  const nlohmann::json body{{"name", "kept"}};

  for (const auto& c : cases) {
    for (std::size_t i = 0; i < statuses.size(); ++i) {
      SCOPED_TRACE(std::string(c.method) + (c.withBody ? " with a body" : "") + " answered " +
                   std::to_string(statuses[i]));
      const std::size_t before = server.requests().size();
      Request<void> request{"/from/" + std::to_string(statuses[i]), HTTPMethod(c.method)};
      if (c.withBody) request.body = body;
      const auto response = client->send(request);
      EXPECT_EQ(response.statusCode(), 200);
      EXPECT_EQ(response.response.url, server.baseURL() + "/to");
      // A HEAD's answer announces the GET's body but carries none.
      const bool head = std::string_view(c.method) == "HEAD";
      EXPECT_EQ(response.data.size(), head ? 0u : std::string_view(R"({"arrived":true})").size());

      const auto requests = server.requests();
      ASSERT_EQ(requests.size(), before + 2);
      const auto& arrived = requests.back();
      EXPECT_EQ(arrived.path, "/to");
      EXPECT_EQ(arrived.method, c.arrives[i]);
      if (c.withBody && arrived.method == c.method) {
        EXPECT_EQ(arrived.body, body.dump());
        EXPECT_EQ(arrived.header("Content-Type"), "application/json");
      } else {
        EXPECT_EQ(arrived.body, "");
        EXPECT_FALSE(arrived.header("Content-Type"));
        EXPECT_EQ(arrived.header("Content-Length").value_or("0"), "0");
      }
    }
  }
}

TEST_F(Redirects, CredentialsStayWithTheirOrigin) {
  LoopbackServer other;
  other.on("GET", "/elsewhere", Reply::json(200, "{}"));
  other.start();
  server.on("GET", "/away", redirectTo(302, other.baseURL() + "/elsewhere"));
  server.on("GET", "/near", redirectTo(302, "/to"));
  auto client = makeClient(server.baseURL());
  const httpkit::HTTPHeaders credentials{
      {"Authorization", "Bearer secret"}, {"Cookie", "s=1"}, {"Proxy-Authorization", "Basic cHJveHk="}, {"X-Other", "1"},
      {"Host", "api.example.test"}};

  const auto away = client->send(Request<void>{"/away", HTTPMethod::get, {}, std::nullopt, credentials});
  EXPECT_EQ(away.response.url, other.baseURL() + "/elsewhere");
  ASSERT_EQ(other.requests().size(), 1u);
  EXPECT_FALSE(other.requests()[0].header("Authorization"));
  EXPECT_FALSE(other.requests()[0].header("Cookie"));
  EXPECT_FALSE(other.requests()[0].header("Proxy-Authorization"));
  EXPECT_EQ(other.requests()[0].header("X-Other"), "1");
  // The other server is asked for its own resource, not for the first origin's.
  EXPECT_EQ(other.requests()[0].header("Host"), other.baseURL().substr(std::string_view("http://").size()));

  client->send(Request<void>{"/near", HTTPMethod::get, {}, std::nullopt, credentials});
  EXPECT_EQ(server.requests().back().header("Authorization"), "Bearer secret");
  EXPECT_EQ(server.requests().back().header("Cookie"), "s=1");
  EXPECT_EQ(server.requests().back().header("Proxy-Authorization"), "Basic cHJveHk=");
  EXPECT_EQ(server.requests().back().header("Host"), "api.example.test");
}

TEST_F(Redirects, FollowingIsBoundedAndCounted) {
  server.on("GET", "/loop", redirectTo(307, "/loop"));
  server.on("GET", "/twice", redirectTo(301, "/from/308"));
  server.on("GET", "/ftp", redirectTo(302, "ftp://127.0.0.1/file"));
  server.on("GET", "/nowhere", Reply{302, "no location", "text/plain", {}, {}, {}});
  auto client = makeClient(server.baseURL());

  const auto looping = thrown<URLError>([&] { client->send(Request<void>{"/loop"}); });
  ASSERT_TRUE(looping) << "an endless redirect succeeded";
  EXPECT_EQ(looping->code(), URLError::Code::httpTooManyRedirects);
  EXPECT_EQ(server.hits("GET", "/loop"), 17);  // the request and 16 redirects

  const auto twice = client->send(Request<void>{"/twice"});
  ASSERT_TRUE(twice.metrics);
  EXPECT_EQ(twice.metrics->redirectCount, 2);
  EXPECT_EQ(httpkit_tests::text(twice.data), R"({"arrived":true})");

  const auto ftp = thrown<URLError>([&] { client->send(Request<void>{"/ftp"}); });
  ASSERT_TRUE(ftp);
  EXPECT_EQ(ftp->code(), URLError::Code::unsupportedURL);

  // Without a Location the redirect is the answer, and the default validation refuses it.
  const auto unfollowed = thrown<httpkit::APIError>([&] { client->send(Request<void>{"/nowhere"}); });
  ASSERT_TRUE(unfollowed);
  EXPECT_EQ(unfollowed->statusCode(), 302);
}

// A redirect that names two different targets leaves the client to guess which one the server meant (and a
// value folded from both is neither): it is a bad answer, and nothing is sent to either address. The same
// target named twice is clear, and followed.
TEST_F(Redirects, ARedirectWithTwoTargetsIsNotGuessedAt) {
  server.on("GET", "/elsewhere", Reply::json(200, R"({"elsewhere":true})"));
  server.on("GET", "/two/relative", Reply{302, "moved", "text/plain", {{"Location", "/to"}, {"Location", "/elsewhere"}}, {}, {}});
  server.on("GET", "/two/absolute", Reply{302, "moved", "text/plain",
                                          {{"Location", server.baseURL() + "/to"}, {"Location", server.baseURL() + "/elsewhere"}},
                                          {}, {}});
  server.on("GET", "/repeated", Reply{307, "moved", "text/plain", {{"Location", "/to"}, {"Location", "/to"}}, {}, {}});
  auto client = makeClient(server.baseURL());

  for (const char* path : {"/two/relative", "/two/absolute"}) {
    SCOPED_TRACE(path);
    const auto outcome = testing_support::runWithin(httpkit_tests::kDeadline, [&]() -> std::string {
      try {
        client->send(Request<void>{path});
        return "the send succeeded";
      } catch (const URLError& e) {
        return e.code() == URLError::Code::badServerResponse ? "bad server response" : e.what();
      } catch (const std::exception& e) {
        return e.what();
      }
    });
    ASSERT_TRUE(outcome);
    EXPECT_EQ(*outcome, "bad server response") << "then asked for " << server.requests().back().path;
    EXPECT_EQ(server.requests().back().path, path);
  }
  EXPECT_EQ(server.hits("GET", "/to"), 0);
  EXPECT_EQ(server.hits("GET", "/elsewhere"), 0);

  EXPECT_EQ(httpkit_tests::text(client->send(Request<void>{"/repeated"}).data), R"({"arrived":true})");
  EXPECT_EQ(server.hits("GET", "/to"), 1);
}

// A redirect's body is not what the caller asked for: it is read only while it is short (so that the
// connection can carry the next hop), and neither its length nor its announced length counts against the
// answer's limit.
TEST_F(Redirects, ARedirectsBodyIsNotReadWithoutBound) {
  using testing_support::ScriptedServer;
  using std::chrono::milliseconds;
  const std::string redirect = "HTTP/1.1 302 Found\r\nLocation: " + server.baseURL() + "/to\r\n";
  const std::string chunk = "1000\r\n" + std::string(0x1000, 'x') + "\r\n";
  struct Case {
    const char* what;
    std::vector<ScriptedServer::Step> script;
  };
  const std::vector<Case> cases{
      {"an endless chunked body", {{milliseconds(0), redirect + "Transfer-Encoding: chunked\r\n\r\n"},
                                   {milliseconds(0), chunk, false, true}}},
      {"an announced length above the limit, never sent",
       {{milliseconds(0), redirect + "Content-Length: 2000000\r\n\r\n", true}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedServer moving(c.script);
    auto client = makeClient(moving.baseURL(), nullptr, [](httpkit::APIClient::Configuration& configuration) {
      configuration.sessionConfiguration.maximumResponseSize = 1 << 20;
      // Reading on, the send would end here as timed out.
      configuration.sessionConfiguration.timeoutIntervalForResource = std::chrono::seconds(8);
    });
    const auto sent = testing_support::runWithin(httpkit_tests::kDeadline, [&] {
      return httpkit_tests::text(client->send(Request<void>{"/moving"}).data);
    });
    ASSERT_TRUE(sent);
    EXPECT_EQ(*sent, R"({"arrived":true})");
    EXPECT_TRUE(moving.waitForPeerClosures(1, httpkit_tests::kDeadline)) << "the redirect's connection was kept";
  }

  // A short body is read to its end, and the next hop goes over the same connection.
  auto client = makeClient(server.baseURL());
  const int before = server.connections();
  EXPECT_EQ(httpkit_tests::text(client->send(Request<void>{"/from/302"}).data), R"({"arrived":true})");
  EXPECT_EQ(server.connections(), before + 1);
}

// Once a redirect's head is complete, where it leads is known and its body is of no use: a body that stalls
// or is cut short neither fails the send nor costs it the idle limit (30 s here, three times the test's own
// deadline; a shorter one is not met either). A stalled redirect's connection is closed.
TEST_F(Redirects, ARedirectsBodyNeverHoldsUpTheNextHop) {
  using testing_support::ScriptedServer;
  using std::chrono::milliseconds;
  const std::string redirect = "HTTP/1.1 302 Found\r\nLocation: " + server.baseURL() + "/to\r\n";
  struct Case {
    const char* what;
    std::string answer;
    bool held;  // the connection stays open after the answer, or the server closes it
    std::chrono::milliseconds idle = std::chrono::seconds(30);
  };
  const std::vector<Case> cases{
      {"a length it stops short of", redirect + "Content-Length: 20\r\n\r\n12345", true},
      {"a length it stops short of, under a short idle limit", redirect + "Content-Length: 20\r\n\r\n12345", true,
       milliseconds(200)},
      {"an announced length and no body at all", redirect + "Content-Length: 20\r\n\r\n", true},
      {"a chunk it stops inside", redirect + "Transfer-Encoding: chunked\r\n\r\n14\r\n12345", true},
      {"a length cut by the close", redirect + "Content-Length: 20\r\n\r\n12345", false},
      {"a chunk size that is not one", redirect + "Transfer-Encoding: chunked\r\n\r\nzz\r\n12345", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScriptedServer moving({{milliseconds(0), c.answer, c.held}});
    auto client = makeClient(moving.baseURL(), nullptr, [&](httpkit::APIClient::Configuration& configuration) {
      configuration.sessionConfiguration.timeoutIntervalForRequest = c.idle;
      configuration.sessionConfiguration.timeoutIntervalForResource = std::chrono::seconds(60);
    });
    const auto arrived = testing_support::runWithin(httpkit_tests::kDeadline, [&] {
      try {
        return httpkit_tests::text(client->send(Request<void>{"/moving"}).data);
      } catch (const std::exception& e) {
        return std::string("the send failed: ") + e.what();
      }
    });
    ASSERT_TRUE(arrived) << "the send waited on the redirect's body";
    EXPECT_EQ(*arrived, R"({"arrived":true})");
    if (c.held) {
      EXPECT_TRUE(moving.waitForPeerClosures(1, httpkit_tests::kDeadline)) << "the redirect's connection was kept";
    }
  }
}

// A Location that is not quite a URL (a space anywhere, UTF-8 text) is followed to its percent-encoded
// address, as browsers follow it; an escape the server already wrote is not encoded again.
TEST(RedirectTargets, ALocationWithSpacesOrNonASCIIIsFollowedPercentEncoded) {
  httpkit_tests::FramingServer target;
  const std::vector<std::pair<std::string, std::string>> cases{
      {"/a b", "/a%20b"},
      {"/caf\xc3\xa9", "/caf%c3%a9"},
      {"/done%20already", "/done%20already"},
      // A "+" would be read as a plus sign; a space left in the fragment would make the address unsendable.
      {"/q?a b=c d", "/q?a%20b=c%20d"},
      {"/frag#x y", "/frag"},
  };
  for (const auto& [location, sent] : cases) {
    SCOPED_TRACE(location);
    testing_support::ScriptedServer moving({{std::chrono::milliseconds(0), "HTTP/1.1 302 Found\r\nLocation: " +
                                                                               target.baseURL() + location +
                                                                               "\r\nContent-Length: 0\r\n\r\n"}});
    auto client = makeClient(moving.baseURL());
    const auto outcome = testing_support::runWithin(httpkit_tests::kDeadline, [&]() -> std::string {
      try {
        return httpkit_tests::text(client->send(Request<void>{"/moving"}).data);
      } catch (const std::exception& e) {
        return e.what();
      }
    });
    ASSERT_TRUE(outcome);
    EXPECT_EQ(*outcome, "{}");
    ASSERT_FALSE(target.requests().empty());
    // Hex digits in either case name the same byte.
    const std::string line = target.requests().back().requestLine();
    EXPECT_EQ(httpkit_tests::FramingServer::Request::lower(line), "get " + sent + " http/1.1") << line;
  }
  // Relative references too, which is how the image downloader meets them.
  EXPECT_EQ(httpkit::resolveURL("http://h.example/a/b", "c d"), "http://h.example/a/c%20d");
  EXPECT_EQ(httpkit::resolveURL("http://h.example/a/b", "/\xc3\xa9"), "http://h.example/%c3%a9");
}

}  // namespace
