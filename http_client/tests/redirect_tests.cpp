// Redirects as a server sends them: what arrives at the new address for each redirect status and method,
// what leaves with a request that moves to another origin, and where following stops.
#include <gtest/gtest.h>

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
      {"Authorization", "Bearer secret"}, {"Cookie", "s=1"}, {"Proxy-Authorization", "Basic cHJveHk="}, {"X-Other", "1"}};

  const auto away = client->send(Request<void>{"/away", HTTPMethod::get, {}, std::nullopt, credentials});
  EXPECT_EQ(away.response.url, other.baseURL() + "/elsewhere");
  ASSERT_EQ(other.requests().size(), 1u);
  EXPECT_FALSE(other.requests()[0].header("Authorization"));
  EXPECT_FALSE(other.requests()[0].header("Cookie"));
  EXPECT_FALSE(other.requests()[0].header("Proxy-Authorization"));
  EXPECT_EQ(other.requests()[0].header("X-Other"), "1");

  client->send(Request<void>{"/near", HTTPMethod::get, {}, std::nullopt, credentials});
  EXPECT_EQ(server.requests().back().header("Authorization"), "Bearer secret");
  EXPECT_EQ(server.requests().back().header("Cookie"), "s=1");
  EXPECT_EQ(server.requests().back().header("Proxy-Authorization"), "Basic cHJveHk=");
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

}  // namespace
